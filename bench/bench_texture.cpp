// The texture module's transfers against the best raw path a user could take,
// contenders interleaved round by round (see BenchKit.h):
//   1. CopyFrom against one plain glTexSubImage2D from a contiguous buffer, and
//      CopyGLTextureToImage against one plain glReadPixels into one, at 4096^2
//      and 8192^2, RGBA8 and RGBA32F, with page faults per call; the byte swap
//      of the BGRA readback against memcpy;
//   2. a 16-tile stroke with the history kept (trimmed to a fixed depth as a
//      host's undo limit does) against bare reads of the same 16 tiles;
//   3. what a user waits for on an 8192^2 RGBA float layer, each beside its
//      raw floor and, where it applies, the module's GL call sequence fed from
//      plain memory: first upload, re-upload, readback, proxy 1 and back to 0,
//      first stroke, a stroke after the history was trimmed.
//
//   bench_texture           full sizes (run alone: the 8192^2 float cases hold ~11 GiB)
//   bench_texture --quick   every side four times smaller
#include <GL/glew.h>

#include <cmath>
#include <functional>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>
#include "BenchKit.h"
#include "Texture.h"
#include "varnik/Error.h"
#include "varnik/GLContext.h"
#include "varnik/Image.h"
#include "varnik/Kernel.h"
#include "varnik/ProcessAllocator.h"
#include "varnik/TexturePool.h"

namespace {

using varnik::Image;
using varnik::ImgTile;
using bench::Sample;
using bench::Spread;

const int s_iWarmRounds = 2;
const size_t s_iPage = 4096;
bench::Targets s_cTargets;

void Finish() { glFinish(); }

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

struct Layout
{
    Image::Format eFormat;
    const char* sName;
    GLint iInternal;
    GLenum iType;
    size_t iBytesPerPixel;
};

/// The module's own layout of a four-channel upload of `eFormat`: the bare
/// loops allocate and send what the module does.
Layout LayoutOf(Image::Format eFormat, const char* sName)
{
    TextureFormat::Layout c;
    TextureFormat::Upload(eFormat, 4, false, varnik::PixelDescriptor::eRGBA, c);
    return {eFormat, sName, c.m_iInternalFormat, c.m_iPixelType, c.m_iBytesPerPixel};
}

const Layout s_cRGBA8 = LayoutOf(Image::e8integer, "RGBA8");
const Layout s_cRGBA32F = LayoutOf(Image::e32float, "RGBA32F");

size_t Bytes(int iSize, const Layout& c) { return size_t(iSize) * size_t(iSize) * c.iBytesPerPixel; }

/// A four-channel image with content, and the same bytes contiguous.
std::unique_ptr<Image> MakeImage(int iSize, const Layout& c, std::vector<uint8_t>& aContiguous)
{
    aContiguous.resize(Bytes(iSize, c));
    if (c.eFormat == Image::e32float) {
        float* p = reinterpret_cast<float*>(aContiguous.data());
        for (size_t i = 0; i < aContiguous.size() / 4; ++i)
            p[i] = float(i % 251) / 250.f;
    } else {
        for (size_t i = 0; i < aContiguous.size(); ++i)
            aContiguous[i] = uint8_t(i * 7 + (i >> 12));
    }
    std::unique_ptr<Image> pImage = NewImage();
    pImage->create(unsigned(iSize), unsigned(iSize), 4, c.eFormat);
    pImage->setTile(0, 0, iSize, iSize, aContiguous.data());
    return pImage;
}

GLuint NewGLTexture(int iSize, const Layout& c)
{
    GLuint iName = 0;
    glGenTextures(1, &iName);
    glBindTexture(GL_TEXTURE_2D, iName);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexImage2D(GL_TEXTURE_2D, 0, c.iInternal, iSize, iSize, 0, GL_RGBA, c.iType, nullptr);
    return iName;
}

/// The raw upload: one glTexSubImage2D of the whole texture from client memory.
void RawUpload(GLuint iTexture, int iSize, const Layout& c, const uint8_t* pPixels)
{
    glBindTexture(GL_TEXTURE_2D, iTexture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, iSize, iSize, GL_RGBA, c.iType, pPixels);
}

/// The module's GL call sequence fed from a contiguous buffer: bands through
/// the shared ring of four re-specified unpack buffers. Not a yardstick (it
/// repeats the module's design); it shows what that sequence itself costs,
/// so that the rest of a CopyFrom is the module's own work.
void SameCallsUpload(GLuint iTexture, int iSize, const Layout& c, const uint8_t* pPixels)
{
    VarnikTexture::PBOPool& cPool = VarnikTexture::s_cPBOPool;  // gone with the last texture
    glBindTexture(GL_TEXTURE_2D, iTexture);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    const size_t iRowBytes = size_t(iSize) * c.iBytesPerPixel;
    const int iBand = std::min(VarnikTexture::UploadBandHeight(int64_t(iRowBytes)), iSize);
    for (int y0 = 0; y0 < iSize; y0 += iBand) {
        const int iRows = std::min(iBand, iSize - y0);
        glBindBufferARB(GL_PIXEL_UNPACK_BUFFER, cPool.Current());
        glBufferDataARB(GL_PIXEL_UNPACK_BUFFER, GLsizeiptr(iRowBytes * size_t(iRows)), nullptr, GL_STREAM_DRAW);
        if (void* pMapped = glMapBuffer(GL_PIXEL_UNPACK_BUFFER, GL_WRITE_ONLY)) {
            std::memcpy(pMapped, pPixels + iRowBytes * size_t(y0), iRowBytes * size_t(iRows));
            glUnmapBuffer(GL_PIXEL_UNPACK_BUFFER);
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, y0, iSize, iRows, GL_RGBA, c.iType, nullptr);
            cPool.Advance();
        }
    }
    glBindBufferARB(GL_PIXEL_UNPACK_BUFFER, 0);
}

/// The readback's GL call sequence for the rectangle `r` into contiguous
/// memory: a framebuffer and one pack buffer made per call, strips read, mapped
/// and copied out. Like SameCallsUpload, it shows what the sequence itself costs.
void SameCallsReadback(GLuint iTexture, const ImgTile& r, const Layout& c, uint8_t* pOut)
{
    GLint iPrevious = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &iPrevious);
    GLuint iFbo = 0, iBuffer = 0;
    glGenFramebuffersEXT(1, &iFbo);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, iFbo);
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, iTexture, 0);
    glCheckFramebufferStatusEXT(GL_FRAMEBUFFER_EXT);
    glFlush();
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    const size_t iRowBytes = size_t(r.nx) * c.iBytesPerPixel;
    const int iStrip = std::min(VarnikTexture::ReadbackStripHeight(unsigned(c.iBytesPerPixel / 4)), r.ny);
    glGenBuffers(1, &iBuffer);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, iBuffer);
    glBufferData(GL_PIXEL_PACK_BUFFER, GLsizeiptr(iRowBytes * size_t(iStrip)), nullptr, GL_STREAM_READ);
    for (int y = 0; y < r.ny; y += iStrip) {
        const int iRows = std::min(iStrip, r.ny - y);
        glReadPixels(r.x, r.y + y, r.nx, iRows, GL_RGBA, c.iType, nullptr);
        const void* pMapped = glMapBuffer(GL_PIXEL_PACK_BUFFER, GL_READ_ONLY);
        if (!pMapped)
            break;
        std::memcpy(pOut + iRowBytes * size_t(y), pMapped, iRowBytes * size_t(iRows));
        glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
    }
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glDeleteBuffers(1, &iBuffer);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, GLuint(iPrevious));
    glDeleteFramebuffersEXT(1, &iFbo);
}

/// A framebuffer over a texture, made once and kept: what a program reading the
/// same texture again and again would do. Bound only inside Read and Paint.
class KeptFramebuffer
{
public:
    explicit KeptFramebuffer(GLuint iTexture)
    {
        glGenFramebuffersEXT(1, &m_iFbo);
        const Binding cBinding(m_iFbo);
        glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, iTexture, 0);
    }
    ~KeptFramebuffer() { glDeleteFramebuffersEXT(1, &m_iFbo); }
    KeptFramebuffer(const KeptFramebuffer&) = delete;
    KeptFramebuffer& operator=(const KeptFramebuffer&) = delete;

    /// The raw readback: one glReadPixels per rectangle into client memory.
    void Read(const std::vector<ImgTile>& aTiles, GLenum iType, size_t iBytesPerPixel, uint8_t* pOut) const
    {
        const Binding cBinding(m_iFbo);
        glPixelStorei(GL_PACK_ALIGNMENT, 4);
        for (const ImgTile& t : aTiles) {
            glReadPixels(t.x, t.y, t.nx, t.ny, GL_RGBA, iType, pOut);
            pOut += size_t(t.nx) * size_t(t.ny) * iBytesPerPixel;
        }
    }

    /// Paints rectangles (scissored clears), as a brush would.
    void Paint(const std::vector<ImgTile>& aTiles, float fValue) const
    {
        const Binding cBinding(m_iFbo);
        glEnable(GL_SCISSOR_TEST);
        glClearColor(fValue, 1.f - fValue, 0.5f, 1.f);
        for (const ImgTile& t : aTiles) {
            glScissor(t.x, t.y, t.nx, t.ny);
            glClear(GL_COLOR_BUFFER_BIT);
        }
        glDisable(GL_SCISSOR_TEST);
    }

private:
    /// Binds a framebuffer and the no-pack-buffer state for its lifetime.
    struct Binding
    {
        explicit Binding(GLuint iFbo)
        {
            glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &m_iPrevious);
            glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, iFbo);
        }
        ~Binding() { glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, GLuint(m_iPrevious)); }
        GLint m_iPrevious = 0;
    };
    GLuint m_iFbo = 0;
};

double Ms(double f) { return f * 1000.0; }

std::string Case(const char* sWhat, int iSize, const Layout& c)
{
    return std::string(sWhat) + " " + std::to_string(iSize) + "^2 " + c.sName;
}

/// One line of a contender: median time, speed and faults per call.
void PrintContender(const char* sName, const std::vector<Sample>& a, size_t iBytes)
{
    std::vector<double> aCpu;
    for (const Sample& c : a)
        aCpu.push_back(c.fCpu);
    const Spread t = bench::Seconds(a), f = bench::Faults(a), cpu = bench::SpreadOf(aCpu);
    std::printf("    %-20s %9.2f ms (min %.2f, max %.2f) %6.2f GB/s, cpu %8.2f ms, %7.0f faults/call (%.2f%% of %zu pages)\n",
                sName, Ms(t.fMedian), Ms(t.fMin), Ms(t.fMax), double(iBytes) / t.fMedian / 1e9, Ms(cpu.fMedian),
                f.fMedian, 100.0 * f.fMedian / double((iBytes + s_iPage - 1) / s_iPage), (iBytes + s_iPage - 1) / s_iPage);
}

/// Faults per call as a percentage of the pages the call moves.
Spread FaultShare(const std::vector<Sample>& a, size_t iBytes)
{
    Spread f = bench::Faults(a);
    const double fPages = double((iBytes + s_iPage - 1) / s_iPage) / 100.0;
    return Spread{f.fMin / fPages, f.fMedian / fPages, f.fMax / fPages};
}

/// A row of the table of what a user waits for.
struct Row
{
    std::string sName;
    std::vector<Sample> aModule, aRaw;
    std::string sRaw;             ///< what the raw floor is
    std::vector<Sample> aCalls;   ///< the module's GL calls fed from plain memory, where they apply
};
std::vector<Row> s_aTable;

// --- 1. whole-texture transfers -------------------------------------------

void Transfers(int iSize, const Layout& c, int iRounds, bool bHardware, bool bTable)
{
    std::vector<uint8_t> aContiguous;
    std::unique_ptr<Image> pImage = MakeImage(iSize, c, aContiguous);
    std::unique_ptr<VarnikTexture> pTexture = NewTexture();
    pTexture->CopyFrom(pImage.get(), nullptr);
    const GLuint iName = pTexture->OpenGLName();
    const KeptFramebuffer cFbo(iName);
    std::unique_ptr<Image> pRead = NewImage();
    std::vector<uint8_t> aRaw(aContiguous.size());
    const std::vector<ImgTile> aWhole{ImgTile(0, 0, iSize, iSize)};

    const bench::Samples s = bench::Interleave(s_iWarmRounds, iRounds, {
        {"CopyFrom", [&] { pTexture->CopyFrom(pImage.get(), nullptr); }, nullptr},
        {"glTexSubImage2D", [&] { RawUpload(iName, iSize, c, aContiguous.data()); }, nullptr},
        {"CopyGLTextureToImage",
         [&] { pTexture->CopyGLTextureToImage(pRead.get(), true, nullptr, Image::optimizedChannelOrder()); }, nullptr},
        {"glReadPixels", [&] { cFbo.Read(aWhole, c.iType, c.iBytesPerPixel, aRaw.data()); }, nullptr},
        {"same GL calls", [&] { SameCallsUpload(iName, iSize, c, aContiguous.data()); }, nullptr},
        {"same GL calls", [&] { SameCallsReadback(iName, ImgTile(0, 0, iSize, iSize), c, aRaw.data()); }, nullptr},
    }, Finish);

    const size_t iBytes = aContiguous.size();
    std::printf("%s\n", Case("transfers", iSize, c).c_str());
    PrintContender("CopyFrom", s[0], iBytes);
    PrintContender("glTexSubImage2D", s[1], iBytes);
    PrintContender("CopyGLTextureToImage", s[2], iBytes);
    PrintContender("glReadPixels", s[3], iBytes);
    PrintContender("same GL calls (upload)", s[4], iBytes);
    PrintContender("same GL calls (read)", s[5], iBytes);
    const Spread cUp = bench::Ratios(s[0], s[1]), cDown = bench::Ratios(s[2], s[3]);
    std::printf("    upload ratio %.2f (min %.2f, max %.2f; cpu %.2f), readback ratio %.2f (min %.2f, max %.2f; cpu %.2f)\n",
                cUp.fMedian, cUp.fMin, cUp.fMax, bench::Ratios(s[0], s[1], true).fMedian, cDown.fMedian, cDown.fMin,
                cDown.fMax, bench::Ratios(s[2], s[3], true).fMedian);
    std::printf("    the upload's GL calls alone / glTexSubImage2D %.2f; CopyFrom / its GL calls alone %.2f\n"
                "    the readback's GL calls alone / glReadPixels %.2f; CopyGLTextureToImage / its GL calls alone %.2f\n",
                bench::Ratios(s[4], s[1]).fMedian, bench::Ratios(s[0], s[4]).fMedian,
                bench::Ratios(s[5], s[3]).fMedian, bench::Ratios(s[2], s[5]).fMedian);

    // Plain glReadPixels now and then runs at a fraction of its usual speed
    // for a whole section (no faults, several times the CPU). A plain call
    // slower than the module's own calls is a disturbed yardstick whose
    // ratio flatters the module.
    for (int k = 0; k < 2; ++k)
        if (bench::Seconds(s[1 + 2 * k]).fMedian > bench::Seconds(s[4 + k]).fMedian)
            std::printf("    NOTE: plain %s ran slower than the module's own GL calls: a disturbed yardstick, "
                        "rerun before quoting the %s ratio\n",
                        k ? "glReadPixels" : "glTexSubImage2D", k ? "readback" : "upload");

    // Only a transfer that moved the right bytes counts.
    std::vector<uint8_t> aModule(iBytes);
    pRead->getTile(0, 0, iSize, iSize, aModule.data());
    const bool bUploadOk = aRaw == aContiguous, bReadOk = aModule == aRaw;
    if (!bUploadOk)
        std::printf("    WARNING: the texture does not hold the uploaded pixels\n");
    if (!bReadOk)
        std::printf("    WARNING: CopyGLTextureToImage differs from glReadPixels\n");
    const std::string sUp = Case("CopyFrom/glTexSubImage2D", iSize, c);
    const std::string sDown = Case("CopyGLTextureToImage/glReadPixels", iSize, c);
    bUploadOk ? s_cTargets.Add(sUp, cUp, 3.0) : s_cTargets.Failed(sUp, 3.0);
    bReadOk ? s_cTargets.Add(sDown, cDown, 2.0) : s_cTargets.Failed(sDown, 2.0);
    s_cTargets.Add(Case("CopyFrom faults % of pages", iSize, c), FaultShare(s[0], iBytes), 1.0);
    s_cTargets.Add(Case("CopyGLTextureToImage faults % of pages", iSize, c), FaultShare(s[2], iBytes), 1.0);
    if (bHardware) {
        // 70% of the raw path's speed or better.
        s_cTargets.Add(Case("GPU CopyFrom/glTexSubImage2D", iSize, c), cUp, 1.0 / 0.7);
        s_cTargets.Add(Case("GPU CopyGLTextureToImage/glReadPixels", iSize, c), cDown, 1.0 / 0.7);
    }
    if (bTable) {
        s_aTable.push_back({"re-upload", s[0], s[1], "glTexSubImage2D", s[4]});
        s_aTable.push_back({"readback", s[2], s[3], "glReadPixels", s[5]});
    }
    std::fflush(stdout);
}

/// The byte swap of the BGRA readback against memcpy of the same bytes: both
/// read and write each byte once, so at memory speed they take the same time.
void ByteSwap(int iSize)
{
    const size_t iPixels = size_t(iSize) * 2048, iBytes = iPixels * 4;  // one strip of 8-bit rows
    std::unique_ptr<uint8_t, decltype(&std::free)> pFrom(static_cast<uint8_t*>(std::aligned_alloc(16, iBytes)), &std::free);
    std::unique_ptr<uint8_t, decltype(&std::free)> pTo(static_cast<uint8_t*>(std::aligned_alloc(16, iBytes)), &std::free);
    if (!pFrom || !pTo)
        throw (new varnik::Error(QString(), 4, "bench_texture", "bench/bench_texture", __LINE__))->Format("no memory");
    for (size_t i = 0; i < iBytes; ++i)
        pFrom.get()[i] = uint8_t(i * 13);
    const bench::Samples s = bench::Interleave(s_iWarmRounds, 31, {  // short calls: more rounds steady the median
        {"SwapRedBlue", [&] { VarnikTexture::SwapRedBlue(pFrom.get(), pTo.get(), iPixels); }, nullptr},
        {"memcpy", [&] { std::memcpy(pTo.get(), pFrom.get(), iBytes); }, nullptr},
    });
    // Only a swap that swapped counts (memcpy may have run last).
    VarnikTexture::SwapRedBlue(pFrom.get(), pTo.get(), iPixels);
    const uint8_t* f = pFrom.get();
    const uint8_t* t = pTo.get();
    const bool bOk = t[0] == f[2] && t[2] == f[0] && t[iBytes - 4] == f[iBytes - 2] && t[iBytes - 1] == f[iBytes - 1];
    std::printf("byte swap of a %d-wide strip of 2048 rows (RGBA8)\n", iSize);
    PrintContender("SwapRedBlue", s[0], iBytes);
    PrintContender("memcpy", s[1], iBytes);
    const std::string sName = "SwapRedBlue/memcpy " + std::to_string(iSize) + "x2048 RGBA8";
    bOk ? s_cTargets.Add(sName, bench::Ratios(s[0], s[1]), 1.5) : s_cTargets.Failed(sName, 1.5);
    std::fflush(stdout);
}

// --- 2. and 3. a paint layer ------------------------------------------------

/// Sixteen 64x64 strokes spread over the layer, each in a cell of its own.
std::vector<ImgTile> SixteenTiles(int iSize)
{
    std::vector<ImgTile> a;
    const int iStep = iSize / 4, iOffset = ((iStep - 64) / 2) & ~63;
    for (int i = 0; i < 16; ++i)
        a.emplace_back((i % 4) * iStep + iOffset, (i / 4) * iStep + iOffset, 64, 64);
    return a;
}

/// Paint values that a stroke can tell apart from the one before.
float PaintValue(int iStroke) { return float(iStroke % 7 + 1) / 8.f; }

/// Whether the backing image holds the paint value in the middle of `t`.
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

/// The undo depth the strokes keep, as a host's undo limit would.
const int s_iHistory = 16;

/// One stroke's bookkeeping around tiles already painted: begin, the dirty
/// tiles, end (reads them back into a new version), then the oldest version
/// merged away once the history is full.
bool Stroke(VarnikTexture& cLayer, const std::vector<ImgTile>& aTiles)
{
    bool bOk = cLayer.BeginUndoableOperation();
    for (const ImgTile& t : aTiles)
        cLayer.AddDirtyTile(t);
    bOk &= cLayer.EndUndoableOperation();
    while (cLayer.NumVersions() > s_iHistory)
        cLayer.MergeOldestVersions();
    return bOk;
}

/// A layer of `iSize` squared RGBA float on the GPU, filled, without backing image.
std::unique_ptr<VarnikTexture> NewLayer(int iSize)
{
    std::unique_ptr<VarnikTexture> pLayer = NewTexture();
    pLayer->Create(unsigned(iSize), unsigned(iSize), 4, Image::e32float);
    KeptFramebuffer(pLayer->OpenGLName()).Paint({ImgTile(0, 0, iSize, iSize)}, 0.25f);
    return pLayer;
}

void Strokes(int iSize, int iRounds)
{
    std::unique_ptr<VarnikTexture> pLayer = NewLayer(iSize);
    const std::vector<ImgTile> aTiles = SixteenTiles(iSize);
    const KeptFramebuffer cFbo(pLayer->OpenGLName());
    std::vector<uint8_t> aRaw(aTiles.size() * 64 * 64 * 16);
    int iStroke = 0;
    bool bOk = Stroke(*pLayer, aTiles);  // the first stroke makes the backing image
    for (int i = 0; i < s_iHistory; ++i) {  // the history full before timing
        cFbo.Paint(aTiles, PaintValue(++iStroke));
        bOk &= Stroke(*pLayer, aTiles);
    }
    const bench::Samples s = bench::Interleave(s_iWarmRounds, iRounds, {
        {"stroke", [&] { bOk &= Stroke(*pLayer, aTiles); }, [&] { cFbo.Paint(aTiles, PaintValue(++iStroke)); }},
        {"bare reads", [&] { cFbo.Read(aTiles, GL_FLOAT, 16, aRaw.data()); },
         [&] { cFbo.Paint(aTiles, PaintValue(iStroke)); }},
        {"same GL calls", [&] {
             uint8_t* p = aRaw.data();
             for (const ImgTile& t : aTiles) {
                 SameCallsReadback(pLayer->OpenGLName(), t, s_cRGBA32F, p);
                 p += size_t(t.nx) * size_t(t.ny) * 16;
             }
         }, [&] { cFbo.Paint(aTiles, PaintValue(iStroke)); }},
    }, Finish);
    bOk &= Holds(*pLayer, aTiles.front(), PaintValue(iStroke)) && Holds(*pLayer, aTiles.back(), PaintValue(iStroke)) &&
           pLayer->NumVersions() == s_iHistory;
    const size_t iBytes = aRaw.size();
    std::printf("16-tile stroke, history of %d kept, %d^2 RGBA32F\n", s_iHistory, iSize);
    PrintContender("stroke", s[0], iBytes);
    PrintContender("bare reads", s[1], iBytes);
    PrintContender("same GL calls", s[2], iBytes);
    std::printf("    the readback's GL calls alone / bare reads %.2f; stroke / its GL calls alone %.2f\n",
                bench::Ratios(s[2], s[1]).fMedian, bench::Ratios(s[0], s[2]).fMedian);
    if (!bOk)
        std::printf("    WARNING: the strokes did not leave the painted texels and history in the backing image\n");
    const std::string sName = "16-tile stroke with history/bare reads " + std::to_string(iSize) + "^2 RGBA32F";
    bOk ? s_cTargets.Add(sName, bench::Ratios(s[0], s[1]), 3.0) : s_cTargets.Failed(sName, 3.0);
    s_aTable.push_back({"stroke after trim", s[0], s[1], "16 glReadPixels", s[2]});
    std::fflush(stdout);
}

/// Runs each step once, the first to run turning from round to round, so that
/// what one step leaves behind (freed memory, a warm cache) favours none.
void InTurn(int iRound, const std::vector<std::function<void()>>& aSteps)
{
    for (size_t k = 0; k < aSteps.size(); ++k)
        aSteps[(size_t(iRound) + k) % aSteps.size()]();
}

/// The raw proxy: a new half-size texture and one linear blit into it, the
/// half texture dropped afterwards as the module drops its former texture.
void RawHalf(GLuint iSource, int iSize, const Layout& c)
{
    GLuint iHalf = NewGLTexture(iSize / 2, c);
    GLuint aFbo[2] = {0, 0};
    GLint iRead = 0, iDraw = 0;
    glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &iRead);
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &iDraw);
    glGenFramebuffersEXT(2, aFbo);
    glBindFramebufferEXT(GL_READ_FRAMEBUFFER_EXT, aFbo[0]);
    glFramebufferTexture2DEXT(GL_READ_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, iSource, 0);
    glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER_EXT, aFbo[1]);
    glFramebufferTexture2DEXT(GL_DRAW_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, iHalf, 0);
    glBlitFramebufferEXT(0, 0, iSize, iSize, 0, 0, iSize / 2, iSize / 2, GL_COLOR_BUFFER_BIT, GL_LINEAR);
    glBindFramebufferEXT(GL_READ_FRAMEBUFFER_EXT, GLuint(iRead));
    glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER_EXT, GLuint(iDraw));
    glDeleteFramebuffersEXT(2, aFbo);
    glFinish();
    glDeleteTextures(1, &iHalf);
}

/// First upload, proxy 1 and back, first stroke: each round makes what it
/// measures afresh, its contenders in turn.
void Waits(int iSize, int iRounds)
{
    const Layout& c = s_cRGBA32F;
    std::vector<uint8_t> aContiguous;
    std::unique_ptr<Image> pImage = MakeImage(iSize, c, aContiguous);
    const std::vector<ImgTile> aTiles = SixteenTiles(iSize);
    std::vector<uint8_t> aRaw(aContiguous.size());
    Row cFirst{"first upload", {}, {}, "glTexImage2D+glTexSubImage2D", {}};
    Row cProxy{"proxy 1", {}, {}, "new half texture+blit", {}};
    Row cBack{"back to 0", {}, {}, "glTexImage2D+glTexSubImage2D", {}};
    Row cStroke{"first stroke", {}, {}, "glReadPixels of all", {}};
    // New storage filled by one glTexSubImage2D, or by the module's band
    // sequence: what a first upload and the way back to level 0 make.
    auto fNewTexture = [&](bool bCalls) {
        GLuint iName = 0;
        const Sample cSample = bench::Measure([&] {
            iName = NewGLTexture(iSize, c);
            bCalls ? SameCallsUpload(iName, iSize, c, aContiguous.data())
                   : RawUpload(iName, iSize, c, aContiguous.data());
        }, Finish);
        glDeleteTextures(1, &iName);
        return cSample;
    };
    bool bOk = true;
    for (int r = 0; r < iRounds + 1; ++r) {  // the first round warms up
        Sample cModuleUpload, cRawUpload, cCallsUpload, cModuleProxy, cModuleBack, cRawProxy, cRawBack, cCallsBack;
        std::unique_ptr<VarnikTexture> pLayer = NewTexture();
        InTurn(r, {
            [&] { cModuleUpload = bench::Measure([&] { pLayer->CopyFrom(pImage.get(), nullptr); }, Finish); },
            [&] { cRawUpload = fNewTexture(false); },
            [&] { cCallsUpload = fNewTexture(true); },
        });

        // Proxy 1 on the GPU and back to 0 from the backing image, with a
        // backing image made first as a painted layer has one.
        pLayer->BeginUndoableOperation();
        pLayer->EndUndoableOperation();
        InTurn(r, {
            [&] {
                bool bSet = true;
                cModuleProxy = bench::Measure([&] { bSet &= pLayer->setProxyLevel(1, false); }, Finish);
                cModuleBack = bench::Measure([&] { bSet &= pLayer->setProxyLevel(0, false); }, Finish);
                bOk &= bSet && pLayer->Width() == unsigned(iSize);
            },
            [&] { cRawProxy = bench::Measure([&] { RawHalf(pLayer->OpenGLName(), iSize, c); }, Finish); },
            [&] { cRawBack = fNewTexture(false); },
            [&] { cCallsBack = fNewTexture(true); },
        });
        pLayer.reset();

        // The first stroke on a fresh layer reads the whole layer into its new
        // backing image; its floor is one read of the whole texture.
        std::unique_ptr<VarnikTexture> pFresh = NewLayer(iSize);
        KeptFramebuffer(pFresh->OpenGLName()).Paint(aTiles, PaintValue(r));
        const KeptFramebuffer cFbo(pFresh->OpenGLName());
        const std::vector<ImgTile> aWhole{ImgTile(0, 0, iSize, iSize)};
        Sample cModuleStroke, cRawStroke, cCallsStroke;
        InTurn(r, {
            [&] { cModuleStroke = bench::Measure([&] { bOk &= Stroke(*pFresh, aTiles); }, Finish); },
            [&] { cRawStroke = bench::Measure([&] { cFbo.Read(aWhole, c.iType, 16, aRaw.data()); }, Finish); },
            [&] {
                cCallsStroke =
                    bench::Measure([&] { SameCallsReadback(pFresh->OpenGLName(), aWhole.front(), c, aRaw.data()); },
                                   Finish);
            },
        });
        bOk &= Holds(*pFresh, aTiles.front(), PaintValue(r));
        if (r > 0) {
            cFirst.aModule.push_back(cModuleUpload);
            cFirst.aRaw.push_back(cRawUpload);
            cFirst.aCalls.push_back(cCallsUpload);
            cProxy.aModule.push_back(cModuleProxy);
            cProxy.aRaw.push_back(cRawProxy);
            cBack.aModule.push_back(cModuleBack);
            cBack.aRaw.push_back(cRawBack);
            cBack.aCalls.push_back(cCallsBack);
            cStroke.aModule.push_back(cModuleStroke);
            cStroke.aRaw.push_back(cRawStroke);
            cStroke.aCalls.push_back(cCallsStroke);
        }
    }
    if (!bOk)
        std::printf("WARNING: a proxy change was refused or a first stroke lost its texels\n");
    const std::string sName = "proxy 0 from 1/new texture+glTexSubImage2D " + std::to_string(iSize) + "^2 RGBA32F";
    bOk ? s_cTargets.Add(sName, bench::Ratios(cBack.aModule, cBack.aRaw), 1.5) : s_cTargets.Failed(sName, 1.5);
    s_aTable.push_back(cFirst);
    s_aTable.push_back(cProxy);
    s_aTable.push_back(cBack);
    s_aTable.push_back(cStroke);
}

void PrintTable(int iSize)
{
    std::printf("what a user waits for, %d^2 RGBA32F layer (medians; ratio min-max over rounds)\n"
                "    (calls: the module's GL call sequence fed from plain memory, the floor of what it must call)\n",
                iSize);
    std::printf("    %-18s %10s %10s %10s %18s %9s %12s %12s  %s\n", "operation", "module ms", "calls ms", "raw ms",
                "ratio", "cpu ratio", "calls/raw", "module/calls", "raw floor");
    for (const char* sName : {"first upload", "re-upload", "readback", "proxy 1", "back to 0", "first stroke",
                              "stroke after trim"})
        for (const Row& c : s_aTable) {
            if (c.sName != sName)
                continue;
            const Spread r = bench::Ratios(c.aModule, c.aRaw);
            char aCalls[3][16] = {"-", "-", "-"};
            if (!c.aCalls.empty()) {
                std::snprintf(aCalls[0], sizeof(aCalls[0]), "%.1f", Ms(bench::Seconds(c.aCalls).fMedian));
                std::snprintf(aCalls[1], sizeof(aCalls[1]), "%.2f", bench::Ratios(c.aCalls, c.aRaw).fMedian);
                std::snprintf(aCalls[2], sizeof(aCalls[2]), "%.2f", bench::Ratios(c.aModule, c.aCalls).fMedian);
            }
            std::printf("    %-18s %10.1f %10s %10.1f %6.2f (%.2f-%.2f) %9.2f %12s %12s  %s; faults/call %.0f\n", sName,
                        Ms(bench::Seconds(c.aModule).fMedian), aCalls[0], Ms(bench::Seconds(c.aRaw).fMedian),
                        r.fMedian, r.fMin, r.fMax, bench::Ratios(c.aModule, c.aRaw, true).fMedian, aCalls[1],
                        aCalls[2], c.sRaw.c_str(), bench::Faults(c.aModule).fMedian);
        }
    std::fflush(stdout);
}

} // namespace

int main(int argc, char** argv)
{
    varnik::GLContext cContext;
    bool bQuick = false;
    if (int iExit = bench::Start(argc, argv, "bench_texture", cContext, bQuick))
        return iExit;
    const bool bHardware = cContext.DeviceKind() == "hardware";
    VarnikTexture::InitializePlugin();

    const int iDivide = bQuick ? 4 : 1, iLarge = 8192 / iDivide;
    int iResult = 0;
    try {
        for (int iSize : {4096 / iDivide, iLarge})
            for (const Layout* c : {&s_cRGBA8, &s_cRGBA32F})
                Transfers(iSize, *c, iSize == iLarge && c == &s_cRGBA32F ? 5 : 7, bHardware,
                          iSize == iLarge && c == &s_cRGBA32F);
        ByteSwap(4096 / iDivide);
        Strokes(iLarge, 15);
        Waits(iLarge, 5);
        PrintTable(iLarge);
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
    if (s_cTargets.Print() > 0 && iResult == 0)
        iResult = 3;
    return iResult;
}
