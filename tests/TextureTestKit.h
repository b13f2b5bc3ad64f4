#pragma once
// Helpers shared by the texture tests: known pixels, GPU painting, a probe of
// the texture's protected state, and a recorder of buffer maps.
#include "VarnikTest.h"
#include <GL/glew.h>
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>
#include "CrashScope.h"
#include "Texture.h"

namespace texkit {

using varnik::Image;
using varnik::ImgTile;

/// A texture whose protected state tests may read.
class TextureProbe : public VarnikTexture
{
public:
    using VarnikTexture::BackingImage;
    using VarnikTexture::Free;
    using VarnikTexture::IsBackingImageStale;
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
    return std::unique_ptr<Image>(varnik::CreateInstanceAs<Image>(Image::StaticClass()));
}

/// Deterministic RGBA content, rows packed; `iSeed` tells images apart.
inline std::vector<uint8_t> MakeRGBA8(int iWidth, int iHeight, int iSeed)
{
    std::vector<uint8_t> a(size_t(iWidth) * size_t(iHeight) * 4);
    for (size_t i = 0; i < a.size(); ++i) {
        const int x = int(i / 4 % size_t(iWidth)), y = int(i / 4 / size_t(iWidth)), c = int(i % 4);
        a[i] = uint8_t((x * 7 + y * 13 + c * 61 + iSeed * 101) & 0xff);
    }
    return a;
}

/// Floats in [0, 1].
inline std::vector<float> MakeRGBA32F(int iWidth, int iHeight, int iSeed)
{
    std::vector<float> a(size_t(iWidth) * size_t(iHeight) * 4);
    for (size_t i = 0; i < a.size(); ++i) {
        const int x = int(i / 4 % size_t(iWidth)), y = int(i / 4 / size_t(iWidth)), c = int(i % 4);
        a[i] = float((x * 3 + y * 5 + c * 11 + iSeed * 17) % 97) / 96.0f;
    }
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

/// A live RGBA8 probe texture on the GPU holding `aPixels`.
inline std::unique_ptr<TextureProbe> UploadRGBA8(const std::vector<uint8_t>& aPixels, int iWidth, int iHeight)
{
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    pTexture->CopyFrom(ImageFrom(aPixels.data(), iWidth, iHeight, Image::e8integer).get(), nullptr);
    return pTexture;
}

/// Level 0 of the texture as GL holds it, read independently of the module.
inline std::vector<uint8_t> GpuPixels(const VarnikTexture& cTexture, int iWidth, int iHeight)
{
    return varnik::test::ReadTextureRGBA8(cTexture.OpenGLName(), unsigned(iWidth), unsigned(iHeight));
}

/// Sets the rectangle of an RGBA8 model buffer to one colour.
inline void FillModel(std::vector<uint8_t>& a, int iWidth, const ImgTile& t, const uint8_t aColor[4])
{
    for (int y = t.y; y < t.y + t.ny; ++y)
        for (int x = t.x; x < t.x + t.nx; ++x)
            std::memcpy(&a[(size_t(y) * size_t(iWidth) + size_t(x)) * 4], aColor, 4);
}

/// Largest absolute difference of two byte buffers (256 when the lengths differ);
/// compared instead of the buffers, which gtest prints badly when they are huge.
inline int MaxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    if (a.size() != b.size())
        return 256;
    int iMax = 0;
    for (size_t i = 0; i < a.size(); ++i)
        iMax = std::max(iMax, std::abs(int(a[i]) - int(b[i])));
    return iMax;
}

/// Width and height of level 0 of a GL texture, as GL holds it.
inline std::pair<int, int> GLTextureSize(GLuint iName)
{
    GLint iW = 0, iH = 0;
    glGetTextureLevelParameteriv(iName, 0, GL_TEXTURE_WIDTH, &iW);
    glGetTextureLevelParameteriv(iName, 0, GL_TEXTURE_HEIGHT, &iH);
    return std::make_pair(int(iW), int(iH));
}

/// Paints a rectangle of the texture in one colour on the GPU behind the
/// module's back, as a stroke would; no binding or other GL state is touched.
inline void PaintRect(GLuint iName, const ImgTile& t, float r, float g, float b, float a)
{
    const float aColor[4] = {r, g, b, a};
    glClearTexSubImage(iName, 0, t.x, t.y, 0, t.nx, t.ny, 1, GL_RGBA, GL_FLOAT, aColor);
}

/// Records, while it lives, every buffer map that upload and readback make
/// (one per band or strip), with the crash-reporter scopes open at the time.
class MapRecorder
{
public:
    MapRecorder()
    {
        s_aMaps.clear();
        s_fMap = std::exchange(glMapBuffer, &Map);
    }
    ~MapRecorder() { glMapBuffer = s_fMap; }
    MapRecorder(const MapRecorder&) = delete;
    MapRecorder& operator=(const MapRecorder&) = delete;

    /// Maps of `iTarget`; with `iScope`, only those made inside that scope.
    static int Maps(GLenum iTarget, uint32_t iScope = 0)
    {
        int n = 0;
        for (const auto& c : s_aMaps)
            n += c.first == iTarget && (c.second & iScope) == iScope;
        return n;
    }

private:
    static void* GLAPIENTRY Map(GLenum t, GLenum a)
    {
        s_aMaps.emplace_back(t, varnik::VKCrashReporterFlag::OpenBits(CrashScope::s_iCategory));
        return s_fMap(t, a);
    }
    static inline std::vector<std::pair<GLenum, uint32_t>> s_aMaps;  ///< target and open scopes
    static inline PFNGLMAPBUFFERPROC s_fMap = nullptr;
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
