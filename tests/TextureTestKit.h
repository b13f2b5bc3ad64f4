#pragma once
// Helpers shared by the texture tests: images with known pixels, painting into
// a texture on the GPU the way a brush would (a framebuffer and a scissored
// clear), a probe that makes the texture's protected state readable, and
// recorders wrapped around GLEW entry points to count readbacks.
#include "VarnikTest.h"
#include <GL/glew.h>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>
#include "Texture.h"

namespace texkit {

using varnik::Image;
using varnik::ImgTile;

/// A texture whose protected state tests may read.
class TextureProbe : public VarnikTexture
{
public:
    using VarnikTexture::BackingImage;
    using VarnikTexture::HasCompositingAttachment;
    using VarnikTexture::IsBackingImageStale;
    using VarnikTexture::IsInUndoableOperation;
    using VarnikTexture::ProxyLevelMember;
    using VarnikTexture::ReportedVideoMemory;
    using VarnikTexture::TextureHeight;
    using VarnikTexture::TextureWidth;
};

/// A new, initialised probe texture.
inline std::unique_ptr<TextureProbe> NewProbe()
{
    TextureProbe* pTexture = new TextureProbe();
    static_cast<varnik::Node*>(pTexture)->Initialize();
    return std::unique_ptr<TextureProbe>(pTexture);
}

/// A new image made through the class registry, as the module makes its own.
inline std::unique_ptr<Image> NewImage()
{
    varnik::Node* pNode = varnik::Kernel::CreateClassInstance(Image::StaticClass());
    Image* pImage = dynamic_cast<Image*>(pNode);
    if (!pImage)
        delete pNode;
    return std::unique_ptr<Image>(pImage);
}

/// Deterministic 8-bit content; `iSeed` tells images apart.
inline uint8_t Pattern8(int x, int y, int c, int iSeed)
{
    return uint8_t((x * 7 + y * 13 + c * 61 + iSeed * 101) & 0xff);
}

/// Deterministic float content in [0, 1].
inline float PatternF(int x, int y, int c, int iSeed)
{
    return float((x * 3 + y * 5 + c * 11 + iSeed * 17) % 97) / 96.0f;
}

inline std::vector<uint8_t> MakeRGBA8(int iWidth, int iHeight, int iSeed)
{
    std::vector<uint8_t> a(size_t(iWidth) * size_t(iHeight) * 4);
    for (int y = 0; y < iHeight; ++y)
        for (int x = 0; x < iWidth; ++x)
            for (int c = 0; c < 4; ++c)
                a[(size_t(y) * size_t(iWidth) + size_t(x)) * 4 + size_t(c)] = Pattern8(x, y, c, iSeed);
    return a;
}

inline std::vector<float> MakeRGBA32F(int iWidth, int iHeight, int iSeed)
{
    std::vector<float> a(size_t(iWidth) * size_t(iHeight) * 4);
    for (int y = 0; y < iHeight; ++y)
        for (int x = 0; x < iWidth; ++x)
            for (int c = 0; c < 4; ++c)
                a[(size_t(y) * size_t(iWidth) + size_t(x)) * 4 + size_t(c)] = PatternF(x, y, c, iSeed);
    return a;
}

/// A four-channel image of the given format holding `pPixels` (rows packed,
/// the image's own layout).
inline std::unique_ptr<Image> ImageFrom(const void* pPixels, int iWidth, int iHeight, Image::Format eFormat)
{
    std::unique_ptr<Image> pImage = NewImage();
    pImage->create(unsigned(iWidth), unsigned(iHeight), 4, eFormat);
    pImage->setTile(0, 0, iWidth, iHeight, pPixels);
    return pImage;
}

/// The whole image in its own layout.
inline std::vector<uint8_t> ImageBytes(const Image& cImage)
{
    std::vector<uint8_t> a(size_t(cImage.Width()) * cImage.Height() * cImage.BytesPerPixel());
    cImage.getTile(0, 0, int(cImage.Width()), int(cImage.Height()), a.data());
    return a;
}

inline std::vector<float> ImageFloats(const Image& cImage)
{
    std::vector<float> a(size_t(cImage.Width()) * cImage.Height() * cImage.ChannelCount());
    cImage.getTile(0, 0, int(cImage.Width()), int(cImage.Height()), a.data());
    return a;
}

/// Sets the rectangle of an RGBA8 model buffer to one colour.
inline void FillModel(std::vector<uint8_t>& a, int iWidth, const ImgTile& t, const uint8_t aColor[4])
{
    for (int y = t.y; y < t.y + t.ny; ++y)
        for (int x = t.x; x < t.x + t.nx; ++x)
            std::memcpy(&a[(size_t(y) * size_t(iWidth) + size_t(x)) * 4], aColor, 4);
}

/// Copies a rectangle of one RGBA8 buffer into another of the same width.
inline void CopyModel(std::vector<uint8_t>& aDest, const std::vector<uint8_t>& aSrc, int iWidth, const ImgTile& t)
{
    for (int y = t.y; y < t.y + t.ny; ++y)
        std::memcpy(&aDest[(size_t(y) * size_t(iWidth) + size_t(t.x)) * 4],
                    &aSrc[(size_t(y) * size_t(iWidth) + size_t(t.x)) * 4], size_t(t.nx) * 4);
}

/// A 2x2 box filter of an RGBA8 buffer, rounded to nearest.
inline std::vector<uint8_t> HalveRGBA8(const std::vector<uint8_t>& a, int iWidth, int iHeight)
{
    int iW = iWidth / 2, iH = iHeight / 2;
    std::vector<uint8_t> r(size_t(iW) * size_t(iH) * 4);
    for (int y = 0; y < iH; ++y)
        for (int x = 0; x < iW; ++x)
            for (int c = 0; c < 4; ++c) {
                auto at = [&](int xx, int yy) { return int(a[(size_t(yy) * size_t(iWidth) + size_t(xx)) * 4 + size_t(c)]); };
                int iSum = at(2 * x, 2 * y) + at(2 * x + 1, 2 * y) + at(2 * x, 2 * y + 1) + at(2 * x + 1, 2 * y + 1);
                r[(size_t(y) * size_t(iW) + size_t(x)) * 4 + size_t(c)] = uint8_t((iSum + 2) / 4);
            }
    return r;
}

/// Largest absolute difference of two equally long byte buffers (256 when
/// the lengths differ).
inline int MaxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    if (a.size() != b.size())
        return 256;
    int iMax = 0;
    for (size_t i = 0; i < a.size(); ++i)
        iMax = std::max(iMax, std::abs(int(a[i]) - int(b[i])));
    return iMax;
}

/// Index of the first differing byte, or -1: gives failing tests a place to look.
inline long FirstDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    if (a.size() != b.size())
        return 0;
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i])
            return long(i);
    return -1;
}

/// Width and height of level 0 of a GL texture, as GL holds it.
inline std::pair<int, int> GLTextureSize(GLuint iName)
{
    GLint iPrev = 0, iW = 0, iH = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &iPrev);
    glBindTexture(GL_TEXTURE_2D, iName);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &iW);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &iH);
    glBindTexture(GL_TEXTURE_2D, GLuint(iPrev));
    return std::make_pair(int(iW), int(iH));
}

/// Paints a rectangle of the texture in one colour on the GPU, as a stroke
/// would: a temporary framebuffer and a clear limited by the scissor box. The
/// framebuffer binding, scissor and clear colour are put back.
inline void PaintRect(GLuint iName, const ImgTile& t, float r, float g, float b, float a)
{
    GLint iPrevFbo = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &iPrevFbo);
    GLint aScissor[4];
    glGetIntegerv(GL_SCISSOR_BOX, aScissor);
    GLboolean bScissor = glIsEnabled(GL_SCISSOR_TEST);
    GLfloat aClear[4];
    glGetFloatv(GL_COLOR_CLEAR_VALUE, aClear);

    GLuint iFbo = 0;
    glGenFramebuffersEXT(1, &iFbo);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, iFbo);
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, iName, 0);
    glEnable(GL_SCISSOR_TEST);
    glScissor(t.x, t.y, t.nx, t.ny);
    glClearColor(r, g, b, a);
    glClear(GL_COLOR_BUFFER_BIT);

    glClearColor(aClear[0], aClear[1], aClear[2], aClear[3]);
    glScissor(aScissor[0], aScissor[1], aScissor[2], aScissor[3]);
    if (!bScissor)
        glDisable(GL_SCISSOR_TEST);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, GLuint(iPrevFbo));
    glDeleteFramebuffersEXT(1, &iFbo);
}

/// Counts the GPU reads a texture makes while it lives: every readback makes a
/// temporary framebuffer first and maps its pixel-pack buffer once a strip.
/// Both the extension and the core names are wrapped; each recorder forwards.
class ReadbackCounter
{
public:
    ReadbackCounter()
    {
        s_iFramebuffers = 0;
        s_iPackMaps = 0;
        s_fGenExt = glGenFramebuffersEXT;
        s_fGen = glGenFramebuffers;
        s_fMap = glMapBuffer;
        s_fMapArb = glMapBufferARB;
        glGenFramebuffersEXT = &GenExt;
        glGenFramebuffers = &Gen;
        glMapBuffer = &Map;
        glMapBufferARB = &MapArb;
    }
    ~ReadbackCounter()
    {
        glGenFramebuffersEXT = s_fGenExt;
        glGenFramebuffers = s_fGen;
        glMapBuffer = s_fMap;
        glMapBufferARB = s_fMapArb;
    }
    ReadbackCounter(const ReadbackCounter&) = delete;
    ReadbackCounter& operator=(const ReadbackCounter&) = delete;

    int Framebuffers() const { return s_iFramebuffers; }
    int PackMaps() const { return s_iPackMaps; }

private:
    static void GLAPIENTRY GenExt(GLsizei n, GLuint* p) { s_iFramebuffers += n; s_fGenExt(n, p); }
    static void GLAPIENTRY Gen(GLsizei n, GLuint* p) { s_iFramebuffers += n; s_fGen(n, p); }
    static void* GLAPIENTRY Map(GLenum iTarget, GLenum iAccess)
    {
        if (iTarget == GL_PIXEL_PACK_BUFFER)
            ++s_iPackMaps;
        return s_fMap(iTarget, iAccess);
    }
    static void* GLAPIENTRY MapArb(GLenum iTarget, GLenum iAccess)
    {
        if (iTarget == GL_PIXEL_PACK_BUFFER)
            ++s_iPackMaps;
        return s_fMapArb(iTarget, iAccess);
    }

    static inline int s_iFramebuffers = 0;                    ///< framebuffers generated
    static inline int s_iPackMaps = 0;                        ///< pack buffers mapped
    static inline PFNGLGENFRAMEBUFFERSEXTPROC s_fGenExt = nullptr;
    static inline PFNGLGENFRAMEBUFFERSPROC s_fGen = nullptr;
    static inline PFNGLMAPBUFFERPROC s_fMap = nullptr;
    static inline PFNGLMAPBUFFERARBPROC s_fMapArb = nullptr;
};

/// Counts the bands uploaded from CPU memory while it lives: each band of an
/// upload re-specifies a pixel-unpack buffer. Both entry names are wrapped.
class UploadCounter
{
public:
    UploadCounter()
    {
        s_iBands = 0;
        s_fDataArb = glBufferDataARB;
        s_fData = glBufferData;
        glBufferDataARB = &DataArb;
        glBufferData = &Data;
    }
    ~UploadCounter()
    {
        glBufferDataARB = s_fDataArb;
        glBufferData = s_fData;
    }
    UploadCounter(const UploadCounter&) = delete;
    UploadCounter& operator=(const UploadCounter&) = delete;

    int Bands() const { return s_iBands; }

private:
    static void GLAPIENTRY DataArb(GLenum t, GLsizeiptrARB n, const void* p, GLenum u)
    {
        if (t == GL_PIXEL_UNPACK_BUFFER)
            ++s_iBands;
        s_fDataArb(t, n, p, u);
    }
    static void GLAPIENTRY Data(GLenum t, GLsizeiptr n, const void* p, GLenum u)
    {
        if (t == GL_PIXEL_UNPACK_BUFFER)
            ++s_iBands;
        s_fData(t, n, p, u);
    }

    static inline int s_iBands = 0;                              ///< unpack buffers specified
    static inline PFNGLBUFFERDATAARBPROC s_fDataArb = nullptr;
    static inline PFNGLBUFFERDATAPROC s_fData = nullptr;
};

/// Sets one of the module's boolean preferences for the life of the object.
class PreferenceOverride
{
public:
    PreferenceOverride(varnik::AttributeInstance<bool>* pAttribute, bool bValue)
        : m_pAttribute(pAttribute), m_bOld(pAttribute->Value())
    {
        m_pAttribute->SetValue(bValue, true);
    }
    ~PreferenceOverride() { m_pAttribute->SetValue(m_bOld, true); }
    PreferenceOverride(const PreferenceOverride&) = delete;
    PreferenceOverride& operator=(const PreferenceOverride&) = delete;

private:
    varnik::AttributeInstance<bool>* m_pAttribute;  ///< the preference's attribute
    bool m_bOld;                                    ///< value to put back
};

} // namespace texkit
