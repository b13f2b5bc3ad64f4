// Measures the texture module's upload, readback, undo and proxy paths side by
// side with bare GL loops doing the same work, and prints the ratios.
//
//   bench_texture           4096^2 uploads/readbacks, 8192^2 vs 1024^2 elsewhere
//   bench_texture --quick   everything four times smaller on a side
//
// Each figure is the fastest of a few runs after warm-up runs, module and bare
// measured in alternating blocks so that drift in the machine hits both alike.
#include <GL/glew.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>
#include "Texture.h"
#include "varnik/Error.h"
#include "varnik/GLContext.h"
#include "varnik/Image.h"
#include "varnik/Kernel.h"
#include "varnik/TexturePool.h"

namespace {

using varnik::Image;
using varnik::ImgTile;
using Clock = std::chrono::steady_clock;

/// Seconds taken by `f`, including the GL work it queued.
double Time(const std::function<void()>& f)
{
    glFinish();
    const Clock::time_point t0 = Clock::now();
    f();
    glFinish();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

/// Fastest run of each function. Each is measured in blocks: two untimed runs
/// first (the driver and the allocator settle on the buffer sizes in use, which
/// takes a few calls on a software renderer), then `iRuns` timed ones; the
/// blocks go round twice so that drift in the machine hits every function.
std::vector<double> Fastest(int iRuns, const std::vector<std::function<void()>>& aFunctions)
{
    std::vector<double> aBest(aFunctions.size(), 1e30);
    for (int iPass = 0; iPass < 2; ++iPass)
        for (size_t j = 0; j < aFunctions.size(); ++j) {
            aFunctions[j]();
            aFunctions[j]();
            for (int i = 0; i < iRuns; ++i)
                aBest[j] = std::min(aBest[j], Time(aFunctions[j]));
        }
    return aBest;
}

std::unique_ptr<VarnikTexture> NewTexture()
{
    return std::unique_ptr<VarnikTexture>(varnik::CreateInstanceAs<VarnikTexture>(VarnikTexture::StaticClass()));
}

std::unique_ptr<Image> NewImage()
{
    std::unique_ptr<Image> pImage(new Image());
    static_cast<varnik::Node*>(pImage.get())->Initialize();
    return pImage;
}

/// A four-channel image of `eFormat` with content, and the same bytes contiguous.
std::unique_ptr<Image> MakeImage(int iSize, Image::Format eFormat, std::vector<uint8_t>& aContiguous)
{
    const size_t iBytesPerPixel = 4 * Image::BytesPerChannel(eFormat);
    aContiguous.resize(size_t(iSize) * size_t(iSize) * iBytesPerPixel);
    if (eFormat == Image::e32float) {
        float* p = reinterpret_cast<float*>(aContiguous.data());
        for (size_t i = 0; i < aContiguous.size() / 4; ++i)
            p[i] = float(i % 251) / 250.f;
    } else {
        for (size_t i = 0; i < aContiguous.size(); ++i)
            aContiguous[i] = uint8_t(i * 7 + (i >> 12));
    }
    std::unique_ptr<Image> pImage = NewImage();
    pImage->create(unsigned(iSize), unsigned(iSize), 4, eFormat);
    pImage->setTile(0, 0, iSize, iSize, aContiguous.data());
    return pImage;
}

struct GLFormat { GLint iInternal; GLenum iType; size_t iBytesPerPixel; int iBytesPerComponent; };

/// The module's own layout of a four-channel upload of `eFormat`.
GLFormat FormatOf(Image::Format eFormat)
{
    TextureFormat::Layout cLayout;
    TextureFormat::Upload(eFormat, 4, false, varnik::PixelDescriptor::eRGBA, cLayout);
    return { cLayout.m_iInternalFormat, cLayout.m_iPixelType, cLayout.m_iBytesPerPixel, int(cLayout.m_iComponentBytes) };
}

/// The upload's band height for a row of `iRowBytes`.
int BandRows(size_t iRowBytes)
{
    return iRowBytes <= 8192 ? 1024 : iRowBytes <= 16384 ? 512 : 256;
}

/// The bare upload: the module's GL calls (band by band through its ring of
/// four orphaned pixel-unpack buffers) copying from a contiguous buffer. It uses
/// the module's own ring, so that both sides meet the same buffer allocations
/// in the driver: on a software renderer those dominate when they differ.
void BareUpload(GLuint iTexture, int iSize, const GLFormat& cFormat, const std::vector<uint8_t>& aPixels)
{
    VarnikTexture::PBOPool& cPool = VarnikTexture::s_cPBOPool;
    glBindTexture(GL_TEXTURE_2D, iTexture);
    glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    const size_t iRowBytes = size_t(iSize) * cFormat.iBytesPerPixel;
    const int iBand = std::min(BandRows(iRowBytes), iSize);
    for (int y0 = 0; y0 < iSize; y0 += iBand) {
        const int iRows = std::min(iBand, iSize - y0);
        glBindBufferARB(GL_PIXEL_UNPACK_BUFFER, cPool.m_aBuffers[cPool.m_iNextIndex]);
        glBufferDataARB(GL_PIXEL_UNPACK_BUFFER, GLsizeiptr(iRowBytes * size_t(iRows)), nullptr, GL_STREAM_DRAW);
        void* pMapped = glMapBuffer(GL_PIXEL_UNPACK_BUFFER, GL_WRITE_ONLY);
        if (!pMapped)
            continue;
        std::memcpy(pMapped, aPixels.data() + iRowBytes * size_t(y0), iRowBytes * size_t(iRows));
        glUnmapBuffer(GL_PIXEL_UNPACK_BUFFER);
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, y0, iSize, iRows, GL_RGBA, cFormat.iType, nullptr);
        cPool.m_iNextIndex = (cPool.m_iNextIndex + 1) % 4;
    }
    glBindBufferARB(GL_PIXEL_UNPACK_BUFFER, 0);
    glPopClientAttrib();
}

/// A GL texture of `iSize` squared in the given format, content undefined.
GLuint NewGLTexture(int iSize, const GLFormat& cFormat)
{
    GLuint iName = 0;
    glGenTextures(1, &iName);
    glBindTexture(GL_TEXTURE_2D, iName);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexImage2D(GL_TEXTURE_2D, 0, cFormat.iInternal, iSize, iSize, 0, GL_RGBA, cFormat.iType, nullptr);
    return iName;
}

/// A temporary framebuffer with `iTexture` as its colour attachment, bound for
/// its lifetime; the binding found is put back when it goes.
struct ScratchFramebuffer
{
    explicit ScratchFramebuffer(GLuint iTexture)
    {
        glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &iPrevFbo);
        glGenFramebuffersEXT(1, &iFbo);
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, iFbo);
        glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, iTexture, 0);
    }
    ~ScratchFramebuffer()
    {
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, GLuint(iPrevFbo));
        glDeleteFramebuffersEXT(1, &iFbo);
    }
    ScratchFramebuffer(const ScratchFramebuffer&) = delete;
    ScratchFramebuffer& operator=(const ScratchFramebuffer&) = delete;
    GLint iPrevFbo = 0;  ///< binding to restore
    GLuint iFbo = 0;     ///< the temporary framebuffer
};

/// The bare readback: a temporary framebuffer, one pixel-pack buffer, strips of
/// the module's height mapped and copied into a contiguous buffer.
void BareReadback(GLuint iTexture, int iSize, const GLFormat& cFormat, std::vector<uint8_t>& aOut)
{
    const ScratchFramebuffer cFbo(iTexture);
    glFlush();  // as the module does before its first read
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    const int iStrip = std::min(cFormat.iBytesPerComponent == 1 ? 2048 : cFormat.iBytesPerComponent == 2 ? 1024 : 512,
                                iSize);
    const size_t iRowBytes = size_t(iSize) * cFormat.iBytesPerPixel;
    aOut.resize(iRowBytes * size_t(iSize));
    GLuint iBuffer = 0;
    glGenBuffers(1, &iBuffer);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, iBuffer);
    glBufferData(GL_PIXEL_PACK_BUFFER, GLsizeiptr(iRowBytes * size_t(iStrip)), nullptr, GL_STREAM_READ);
    for (int y = 0; y < iSize; y += iStrip) {
        const int iRows = std::min(iStrip, iSize - y);
        glReadPixels(0, y, iSize, iRows, GL_RGBA, cFormat.iType, nullptr);
        const void* pMapped = glMapBuffer(GL_PIXEL_PACK_BUFFER, GL_READ_ONLY);
        if (!pMapped)
            break;
        std::memcpy(aOut.data() + iRowBytes * size_t(y), pMapped, iRowBytes * size_t(iRows));
        glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glDeleteBuffers(1, &iBuffer);
}

/// Paints a rectangle of a texture on the GPU (a scissored clear), as a brush would.
void PaintRect(GLuint iTexture, const ImgTile& t, float fValue)
{
    const ScratchFramebuffer cFbo(iTexture);
    glEnable(GL_SCISSOR_TEST);
    glScissor(t.x, t.y, t.nx, t.ny);
    glClearColor(fValue, 1.f - fValue, 0.5f, 1.f);
    glClear(GL_COLOR_BUFFER_BIT);
    glDisable(GL_SCISSOR_TEST);
}

const char* Verdict(double fRatio, double fTarget)
{
    return fRatio <= fTarget ? "ok" : "OVER TARGET";
}

double Ms(double f) { return f * 1000.0; }

// (1) and (2): whole-texture upload and readback against bare loops.
void UploadAndReadback(int iSize, int iRuns)
{
    for (Image::Format eFormat : {Image::e8integer, Image::e32float}) {
        const char* sName = eFormat == Image::e32float ? "RGBA32F" : "RGBA8";
        const GLFormat cFormat = FormatOf(eFormat);
        std::vector<uint8_t> aContiguous;
        std::unique_ptr<Image> pImage = MakeImage(iSize, eFormat, aContiguous);

        // Every contender writes the same texture; the first upload allocates it
        // and makes the module's buffer ring, the timed ones only replace texels.
        std::unique_ptr<VarnikTexture> pTexture = NewTexture();
        pTexture->CopyFrom(pImage.get(), nullptr);
        const GLuint iName = pTexture->OpenGLName();

        std::vector<double> t = Fastest(iRuns, {
            [&] { pTexture->CopyFrom(pImage.get(), nullptr); },
            [&] { BareUpload(iName, iSize, cFormat, aContiguous); },
            [&] {
                glBindTexture(GL_TEXTURE_2D, iName);
                glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, iSize, iSize, GL_RGBA, cFormat.iType, aContiguous.data());
            },
        });
        const double fUpload = t[0] / t[1];
        std::printf("(1) upload %dx%d %-7s  CopyFrom %8.1f ms   bare PBO loop %8.1f ms   plain glTexSubImage2D %8.1f ms"
                    "   CopyFrom/bare %.2fx (target <= 1.10) %s\n",
                    iSize, iSize, sName, Ms(t[0]), Ms(t[1]), Ms(t[2]), fUpload, Verdict(fUpload, 1.10));
        // Where the difference goes: the image's own copy of its rows against memcpy.
        std::vector<uint8_t> aRows(aContiguous.size());
        const std::vector<double> c = Fastest(iRuns, {
            [&] { pImage->getTile(0, 0, iSize, iSize, aRows.data()); },
            [&] { std::memcpy(aRows.data(), aContiguous.data(), aContiguous.size()); },
        });
        std::printf("    rows out of the image: getTile %8.1f ms   memcpy %8.1f ms\n", Ms(c[0]), Ms(c[1]));

        std::unique_ptr<Image> pRead = NewImage();
        std::vector<uint8_t> aRead;
        pTexture->CopyGLTextureToImage(pRead.get(), true, nullptr, Image::optimizedChannelOrder());
        t = Fastest(iRuns, {
            [&] { pTexture->CopyGLTextureToImage(pRead.get(), true, nullptr, Image::optimizedChannelOrder()); },
            [&] { BareReadback(pTexture->OpenGLName(), iSize, cFormat, aRead); },
        });
        const double fReadback = t[0] / t[1];
        std::printf("(2) readback %dx%d %-7s  CopyGLTextureToImage %8.1f ms   bare strip loop %8.1f ms"
                    "   ratio %.2fx (target <= 1.10) %s\n",
                    iSize, iSize, sName, Ms(t[0]), Ms(t[1]), fReadback, Verdict(fReadback, 1.10));

        // The comparison is only fair when both read the same thing.
        std::vector<uint8_t> aModule(aRead.size());
        pRead->getTile(0, 0, iSize, iSize, aModule.data());
        BareReadback(pTexture->OpenGLName(), iSize, cFormat, aRead);
        if (aModule != aRead)
            std::printf("    WARNING: the module's readback differs from the bare readback\n");

        std::fflush(stdout);
    }
}

/// A texture of `iSize` squared with a backing image (made by one undoable
/// operation), as a paint layer has after its first stroke.
std::unique_ptr<VarnikTexture> PaintLayer(int iSize, Image::Format eFormat)
{
    std::unique_ptr<VarnikTexture> pTexture = NewTexture();
    pTexture->Create(unsigned(iSize), unsigned(iSize), 4, eFormat);
    PaintRect(pTexture->OpenGLName(), ImgTile(0, 0, iSize, iSize), 0.25f);
    pTexture->BeginUndoableOperation();
    pTexture->EndUndoableOperation();
    return pTexture;
}

/// Sixteen 64x64 strokes spread over the texture, each on a cell of its own.
std::vector<ImgTile> SixteenTiles(int iSize)
{
    std::vector<ImgTile> a;
    const int iStep = iSize / 4, iOffset = ((iStep - 64) / 2) & ~63;
    for (int i = 0; i < 16; ++i)
        a.emplace_back((i % 4) * iStep + iOffset, (i / 4) * iStep + iOffset, 64, 64);
    return a;
}

/// Whether the backing image holds the paint value `fValue` in the middle of
/// `t`: a timing only counts when the operation timed did its work.
bool Holds(VarnikTexture& cTexture, const ImgTile& t, float fValue)
{
    const Image* pImage = cTexture.AsImage();
    if (!pImage || cTexture.Location() != varnik::TexturePool::locationGPU)
        return false;
    float aPixel[4] = {-1.f, -1.f, -1.f, -1.f};
    const varnik::PixelDescriptor cFloats(4, varnik::PixelDescriptor::eFloat32);
    pImage->getTile(t.x + t.nx / 2, t.y + t.ny / 2, 1, 1, aPixel, &cFloats);
    return std::fabs(aPixel[0] - fValue) < 1.f / 255.f && std::fabs(aPixel[1] - (1.f - fValue)) < 1.f / 255.f;
}

/// Paint values that a run can tell apart from the one before.
float PaintValue(int iRun) { return float(iRun % 7 + 1) / 8.f; }

/// Seconds of `EndUndoableOperation` reading back `aTiles` painted after a begin.
double DirtyReadback(VarnikTexture& cTexture, const std::vector<ImgTile>& aTiles, int iRun, bool& bOk)
{
    bOk &= cTexture.BeginUndoableOperation();
    for (const ImgTile& t : aTiles) {
        PaintRect(cTexture.OpenGLName(), t, PaintValue(iRun));
        cTexture.AddDirtyTile(t);
    }
    bool bEnded = false;
    const double f = Time([&] { bEnded = cTexture.EndUndoableOperation(); });
    bOk &= bEnded && Holds(cTexture, aTiles.front(), PaintValue(iRun)) && Holds(cTexture, aTiles.back(), PaintValue(iRun));
    cTexture.PurgeAllButCurrentVersion();  // keeps the history from growing across runs
    return f;
}

/// Seconds of a begin and an end around one small stroke (the stroke not counted).
double SmallOperation(VarnikTexture& cTexture, int iRun, bool& bOk)
{
    const ImgTile t(64, 64, 64, 64);
    bool bBegun = false, bEnded = false;
    double f = Time([&] { bBegun = cTexture.BeginUndoableOperation(); });
    PaintRect(cTexture.OpenGLName(), t, PaintValue(iRun));
    cTexture.AddDirtyTile(t);
    f += Time([&] { bEnded = cTexture.EndUndoableOperation(); });
    bOk &= bBegun && bEnded && Holds(cTexture, t, PaintValue(iRun));
    cTexture.PurgeAllButCurrentVersion();
    return f;
}

/// The bare counterpart of a dirty readback: per tile a temporary framebuffer,
/// a pack buffer, one read, one map, one copy.
void BareTileReads(GLuint iTexture, const std::vector<ImgTile>& aTiles, std::vector<uint8_t>& aOut)
{
    aOut.resize(64 * 64 * 4);
    GLint iPrevFbo = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &iPrevFbo);
    for (const ImgTile& t : aTiles) {
        GLuint iFbo = 0, iBuffer = 0;
        glGenFramebuffersEXT(1, &iFbo);
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, iFbo);
        glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, iTexture, 0);
        glFlush();
        glGenBuffers(1, &iBuffer);
        glBindBuffer(GL_PIXEL_PACK_BUFFER, iBuffer);
        glBufferData(GL_PIXEL_PACK_BUFFER, GLsizeiptr(t.nx) * t.ny * 4, nullptr, GL_STREAM_READ);
        glReadPixels(t.x, t.y, t.nx, t.ny, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        if (const void* p = glMapBuffer(GL_PIXEL_PACK_BUFFER, GL_READ_ONLY)) {
            std::memcpy(aOut.data(), p, size_t(t.nx) * size_t(t.ny) * 4);
            glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
        }
        glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
        glDeleteBuffers(1, &iBuffer);
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, GLuint(iPrevFbo));
        glDeleteFramebuffersEXT(1, &iFbo);
    }
}

const char* Checked(bool bOk)
{
    return bOk ? "" : "  (WARNING: the operation did not leave the painted texels in the backing image)";
}

// (3) and (4): the cost of undo bookkeeping must follow the painted area, not
// the texture size.
void DirtyWork(int iLarge, int iSmall, int iRuns)
{
    {
        std::unique_ptr<VarnikTexture> pLarge = PaintLayer(iLarge, Image::e8integer);
        std::unique_ptr<VarnikTexture> pSmall = PaintLayer(iSmall, Image::e8integer);
        const std::vector<ImgTile> aLarge = SixteenTiles(iLarge), aSmall = SixteenTiles(iSmall);
        double fLarge = 1e30, fSmall = 1e30;
        bool bOk = true;
        for (int i = 0; i < iRuns; ++i) {
            fLarge = std::min(fLarge, DirtyReadback(*pLarge, aLarge, i, bOk));
            fSmall = std::min(fSmall, DirtyReadback(*pSmall, aSmall, i, bOk));
        }
        const double fRatio = fLarge / fSmall;
        std::printf("(3) dirty readback of 16 64x64 tiles  %dx%d RGBA8 %7.2f ms   %dx%d RGBA8 %7.2f ms"
                    "   ratio %.2fx (target <= 1.5) %s%s\n",
                    iLarge, iLarge, Ms(fLarge), iSmall, iSmall, Ms(fSmall), fRatio, Verdict(fRatio, 1.5), Checked(bOk));
        // What the GL itself charges for the same reads, for comparison.
        std::vector<uint8_t> aScratch;
        const std::vector<double> t = Fastest(iRuns, {
            [&] { BareTileReads(pLarge->OpenGLName(), aLarge, aScratch); },
            [&] { BareTileReads(pSmall->OpenGLName(), aSmall, aScratch); },
        });
        std::printf("    bare reads of the same 16 tiles    %dx%d       %7.2f ms   %dx%d       %7.2f ms   ratio %.2fx\n",
                    iLarge, iLarge, Ms(t[0]), iSmall, iSmall, Ms(t[1]), t[0] / t[1]);
        std::fflush(stdout);
    }
    {
        std::unique_ptr<VarnikTexture> pLarge = PaintLayer(iLarge, Image::e32float);
        std::unique_ptr<VarnikTexture> pSmall = PaintLayer(iSmall, Image::e32float);
        double fLarge = 1e30, fSmall = 1e30;
        bool bOk = true;
        for (int i = 0; i < iRuns; ++i) {
            fLarge = std::min(fLarge, SmallOperation(*pLarge, i, bOk));
            fSmall = std::min(fSmall, SmallOperation(*pSmall, i, bOk));
        }
        const double fRatio = fLarge / fSmall;
        std::printf("(4) begin+end around a 64x64 stroke   %dx%d RGBA32F %7.2f ms   %dx%d RGBA32F %7.2f ms"
                    "   ratio %.2fx (target <= 1.5) %s%s\n",
                    iLarge, iLarge, Ms(fLarge), iSmall, iSmall, Ms(fSmall), fRatio, Verdict(fRatio, 1.5), Checked(bOk));
        std::fflush(stdout);
    }
}

/// The bare counterpart of a GPU proxy: a half-size texture allocated and a
/// linear blit into it between two temporary framebuffers; the copy is
/// deleted again as the module deletes its former texture.
void BareBlit(GLuint iSource, int iSize)
{
    const int iHalf = iSize / 2;
    GLuint iTarget = NewGLTexture(iHalf, FormatOf(Image::e8integer));
    GLint iRead = 0, iDraw = 0;
    glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &iRead);
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &iDraw);
    GLuint aFbo[2] = {0, 0};
    glGenFramebuffersEXT(2, aFbo);
    glBindFramebufferEXT(GL_READ_FRAMEBUFFER_EXT, aFbo[0]);
    glFramebufferTexture2DEXT(GL_READ_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, iSource, 0);
    glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER_EXT, aFbo[1]);
    glFramebufferTexture2DEXT(GL_DRAW_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, iTarget, 0);
    glBlitFramebufferEXT(0, 0, iSize, iSize, 0, 0, iHalf, iHalf, GL_COLOR_BUFFER_BIT, GL_LINEAR);
    glBindFramebufferEXT(GL_READ_FRAMEBUFFER_EXT, GLuint(iRead));
    glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER_EXT, GLuint(iDraw));
    glDeleteFramebuffersEXT(2, aFbo);
    glFinish();
    glDeleteTextures(1, &iTarget);
}

// (5): a GPU proxy against the blit it is made of.
void GpuProxy(int iSize, int iRuns)
{
    std::unique_ptr<VarnikTexture> pTexture = PaintLayer(iSize, Image::e8integer);
    double fModule = 1e30, fRaw = 1e30;
    bool bRefused = false;
    for (int i = 0; i < iRuns; ++i) {
        fModule = std::min(fModule, Time([&] { bRefused |= !pTexture->setProxyLevel(1, false); }));
        bRefused |= !pTexture->setProxyLevel(0, false);  // back to full size, not counted
        // The same full-size texture blitted by hand.
        fRaw = std::min(fRaw, Time([&] { BareBlit(pTexture->OpenGLName(), iSize); }));
    }
    const double fRatio = fModule / fRaw;
    std::printf("(5) proxy level 1 of %dx%d RGBA8     setProxyLevel %7.1f ms   bare allocate+blit %7.1f ms"
                "   ratio %.2fx (target <= 1.3) %s%s\n",
                iSize, iSize, Ms(fModule), Ms(fRaw), fRatio, Verdict(fRatio, 1.3),
                bRefused ? "  (WARNING: a level change was refused)" : "");
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    bool bQuick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            bQuick = true;
        } else {
            std::fprintf(stderr, "usage: bench_texture [--quick]\n");
            return 1;
        }
    }
    varnik::GLContext cContext;
    if (!cContext.Create()) {
        std::fprintf(stderr, "bench_texture: no GL context: %s\n", cContext.ErrorText().toLocal8Bit().constData());
        return 2;
    }
    std::printf("bench_texture on %s (%s, %s)%s\n", cContext.Renderer().toLocal8Bit().constData(),
                cContext.Version().toLocal8Bit().constData(), cContext.DeviceKind().toLocal8Bit().constData(),
                bQuick ? ", quick sizes" : "");
    std::fflush(stdout);
    VarnikTexture::InitializePlugin();

    const int iDivide = bQuick ? 4 : 1;
    int iResult = 0;
    try {
        UploadAndReadback(4096 / iDivide, 2);
        DirtyWork(8192 / iDivide, 1024, 20);  // the small side stays 1024: same storage-tile spread
        GpuProxy(8192 / iDivide, 3);
    } catch (varnik::Error* pError) {
        std::fprintf(stderr, "bench_texture: %s\n", pError->Describe().toLocal8Bit().constData());
        varnik::Error::Discard(pError);
        iResult = 1;
    }
    if (varnik::Kernel::VideoMemoryUsage() != 0) {
        std::printf("WARNING: the video-memory ledger ends at %lld bytes, not 0\n",
                    static_cast<long long>(varnik::Kernel::VideoMemoryUsage()));
        iResult = 1;
    }
    return iResult;
}
