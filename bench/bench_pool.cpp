// Measures the tile pool and the texture's filled and file-backed creation side
// by side with the plainest way a program could do the same, and prints ratios.
//
//   bench_pool           full sizes (8192^2 colour fill, 4096^2 half-float file)
//   bench_pool --quick   the two large sizes four times smaller on a side
//
// Contenders run in interleaved rounds (their order alternating) and the figure
// is the median of the per-round ratios.
#include <GL/glew.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>
#include <QDir>
#include <QTemporaryDir>
#include "Texture.h"
#include "VarnikTexturePool.h"
#include "VarnikImageIO.h"
#include "varnik/Error.h"
#include "varnik/GLContext.h"
#include "varnik/Image.h"
#include "varnik/Kernel.h"

namespace {

using varnik::AxisAlignedBoundingBox;
using varnik::Image;
using Clock = std::chrono::steady_clock;

double Seconds(const std::function<void()>& f)
{
    glFinish();
    const Clock::time_point t0 = Clock::now();
    f();
    glFinish();
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

double Median(std::vector<double> a)
{
    std::sort(a.begin(), a.end());
    return a.size() % 2 ? a[a.size() / 2] : 0.5 * (a[a.size() / 2 - 1] + a[a.size() / 2]);
}

struct Result
{
    double fRatio;   ///< median of module / bare
    double fModule;  ///< median seconds of the module
    double fBare;    ///< median seconds of the bare path
};

/// One warm-up call each, then `iRounds` rounds, order alternating per round.
Result Compare(int iRounds, const std::function<void()>& fModule, const std::function<void()>& fBare)
{
    fModule();
    fBare();
    std::vector<double> aRatios, aModule, aBare;
    for (int i = 0; i < iRounds; ++i) {
        double tm, tb;
        if (i % 2) {
            tb = Seconds(fBare);
            tm = Seconds(fModule);
        } else {
            tm = Seconds(fModule);
            tb = Seconds(fBare);
        }
        aRatios.push_back(tm / tb);
        aModule.push_back(tm);
        aBare.push_back(tb);
    }
    return {Median(aRatios), Median(aModule), Median(aBare)};
}

int s_iFailures = 0;

void Report(const char* sName, const Result& r, double fGoal)
{
    const bool bMet = r.fRatio <= fGoal;
    s_iFailures += bMet ? 0 : 1;
    std::printf("%-58s module %9.3f ms  bare %9.3f ms  ratio %6.3f (goal <= %.2f) %s\n", sName, r.fModule * 1e3,
                r.fBare * 1e3, r.fRatio, fGoal, bMet ? "met" : "NOT MET");
    std::fflush(stdout);
}

template <typename T>
std::unique_ptr<T> Make(const varnik::ClassDesc* pClass)
{
    varnik::Node* pNode = varnik::Kernel::CreateClassInstance(pClass);
    T* p = dynamic_cast<T*>(pNode);
    if (!p) {
        delete pNode;
        throw (new varnik::Error(QString(), 4, "bench_pool", "bench/bench_pool", __LINE__))
            ->Format("the class registry made the wrong class");
    }
    return std::unique_ptr<T>(p);
}

AxisAlignedBoundingBox Cell(int u, int v)
{
    return AxisAlignedBoundingBox(float(u) + 0.25f, float(v) + 0.25f, 0.f, float(u) + 0.75f, float(v) + 0.75f, 1.f);
}

/// An image file of the given size: a smooth gradient, four channels.
void WriteGradient(const QString& sFile, unsigned int iSize, Image::Format eFormat)
{
    Image c;
    c.create(iSize, iSize, 4, Image::e32float);
    std::vector<float> aRow(size_t(iSize) * 4);
    for (unsigned int y = 0; y < iSize; ++y) {
        for (unsigned int x = 0; x < iSize; ++x)
            for (unsigned int k = 0; k < 4; ++k)
                aRow[x * 4 + k] = float((x + y * 3 + k * 50) % 256) / 255.f;
        c.setTile(0, int(y), int(iSize), 1, aRow.data());
    }
    Image cOut;
    cOut.create(iSize, iSize, 4, eFormat);
    cOut.ConvertFrom(c);
    cOut.Save(sFile);
}

void Lookup()
{
    std::unique_ptr<VarnikTexturePool> pPool = Make<VarnikTexturePool>(VarnikTexturePool::StaticClass());
    pPool->SetDefaultTileDescriptor(
        varnik::TexturePool::TileDescriptor(4, 4, Image::e8integer, 4, "tif", varnik::Color::white));
    std::vector<AxisAlignedBoundingBox> aBoxes;
    std::unordered_map<uint64_t, int> aBare;
    std::vector<varnik::Texture*> aTextures;
    for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u) {
            aBoxes.push_back(Cell(u, v));
            aTextures.push_back(pPool->Tile(aBoxes.back(), false));
            aBare[(uint64_t(uint32_t(u)) << 32) | uint32_t(v)] = int(aTextures.size() - 1);
        }
    const int iPasses = 20000;
    uintptr_t iSink = 0;
    auto fModule = [&] {
        for (int i = 0; i < iPasses; ++i)
            for (const AxisAlignedBoundingBox& c : aBoxes)
                iSink += reinterpret_cast<uintptr_t>(pPool->Tile(c, false));
    };
    // The same cells through a hash map keyed by the floored corner.
    auto fBare = [&] {
        for (int i = 0; i < iPasses; ++i)
            for (const AxisAlignedBoundingBox& c : aBoxes) {
                const uint64_t iKey = (uint64_t(uint32_t(int(std::floor(c.m_fMinX)))) << 32) |
                                      uint32_t(int(std::floor(c.m_fMinY)));
                iSink += reinterpret_cast<uintptr_t>(aTextures[size_t(aBare.find(iKey)->second)]);
            }
    };
    const Result r = Compare(9, fModule, fBare);
    const double fPerSecond = double(iPasses) * double(aBoxes.size()) / r.fModule;
    std::printf("tile lookups by box on the fast path: %.1f million a second (goal >= 50) %s\n", fPerSecond / 1e6,
                fPerSecond >= 50e6 ? "met" : "NOT MET");
    s_iFailures += fPerSecond >= 50e6 ? 0 : 1;
    Report("tile lookup vs std::unordered_map lookup", r, 3.0);
    if (iSink == 42)
        std::printf(" ");
}

void OpenFolder(const QString& sFolder)
{
    QDir().mkpath(sFolder);
    for (int v = 1; v <= 10; ++v)
        for (int u = 1; u <= 10; ++u)
            WriteGradient(QString("%1/skin_u%2_v%3.tif").arg(sFolder).arg(u).arg(v), 64, Image::e8integer);
    std::unique_ptr<VarnikTexturePool> pPool = Make<VarnikTexturePool>(VarnikTexturePool::StaticClass());
    int iSink = 0;
    auto fModule = [&] {
        pPool->SetFileName(sFolder + "/skin.tif");
        iSink += int(pPool->DefaultTileDescriptor().m_iWidth);
    };
    auto fBare = [&] {
        iSink += QDir(sFolder).entryInfoList(QDir::Files | QDir::Readable | QDir::NoDotAndDotDot,
                                             QDir::Name | QDir::IgnoreCase).size();
    };
    Report("SetFileName on 100 tile files vs listing the folder (QDir)", Compare(15, fModule, fBare), 3.0);
    if (pPool->TileCount() != 0 || pPool->DefaultTileDescriptor().m_iWidth != 64)
        throw (new varnik::Error(QString(), 4, "bench_pool", "bench/bench_pool", __LINE__))
            ->Format("SetFileName loaded tiles or missed the probe file");
}

void SaveDirty(const QString& sFolder)
{
    QDir().mkpath(sFolder + "/all");
    std::unique_ptr<VarnikTexturePool> pPool = Make<VarnikTexturePool>(VarnikTexturePool::StaticClass());
    pPool->SetDefaultTileDescriptor(
        varnik::TexturePool::TileDescriptor(256, 256, Image::e8integer, 4, "tif", varnik::Color(0.2f, 0.4f, 0.6f, 1.f)));
    for (int v = 0; v < 8; ++v)
        for (int u = 0; u < 8; ++u)
            pPool->Tile(Cell(u, v), false);
    pPool->Save(sFolder + "/layer.tif", "", nullptr, true);
    auto fModule = [&] {
        for (unsigned int i : {3u, 30u, 60u})
            pPool->Tile(i)->SetDirty(true);
        pPool->Save("", "", nullptr, false);
    };
    auto fBare = [&] { pPool->Export(sFolder + "/all/layer.tif", "", nullptr); };
    Report("Save of 64 tiles with 3 dirty vs Export of all 64", Compare(5, fModule, fBare), 0.1);
}

void ColourCreate(unsigned int iSize)
{
    std::unique_ptr<VarnikTexture> pTexture = Make<VarnikTexture>(VarnikTexture::StaticClass());
    GLuint iTexture = 0, iFramebuffer = 0;
    glGenTextures(1, &iTexture);
    auto fModule = [&] { pTexture->Create(iSize, iSize, 4, Image::e8integer, varnik::Color(0.1f, 0.2f, 0.3f, 1.f)); };
    // Allocate and clear through a framebuffer: the least a program can do.
    auto fBare = [&] {
        GLint iSavedTexture = 0, iSavedFramebuffer = 0, aViewport[4];
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &iSavedTexture);
        glGetIntegerv(GL_FRAMEBUFFER_BINDING, &iSavedFramebuffer);
        glGetIntegerv(GL_VIEWPORT, aViewport);
        glBindTexture(GL_TEXTURE_2D, iTexture);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, GLsizei(iSize), GLsizei(iSize), 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        glGenFramebuffers(1, &iFramebuffer);
        glBindFramebuffer(GL_FRAMEBUFFER, iFramebuffer);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, iTexture, 0);
        glViewport(0, 0, GLsizei(iSize), GLsizei(iSize));
        glClearColor(0.1f, 0.2f, 0.3f, 1.f);
        glClear(GL_COLOR_BUFFER_BIT);
        glClearColor(0.f, 0.f, 0.f, 0.f);
        glBindFramebuffer(GL_FRAMEBUFFER, GLuint(iSavedFramebuffer));
        glDeleteFramebuffers(1, &iFramebuffer);
        glViewport(aViewport[0], aViewport[1], aViewport[2], aViewport[3]);
        glBindTexture(GL_TEXTURE_2D, GLuint(iSavedTexture));
    };
    char sName[96];
    std::snprintf(sName, sizeof sName, "colour Create %u^2 RGBA8 live vs allocate + glClear", iSize);
    Report(sName, Compare(5, fModule, fBare), 1.2);
    glDeleteTextures(1, &iTexture);
}

void FileCreate(const QString& sFolder, unsigned int iSize)
{
    const QString sFile = sFolder + "/half.exr";
    WriteGradient(sFile, iSize, Image::e16float);
    std::unique_ptr<VarnikTexture> pTexture = Make<VarnikTexture>(VarnikTexture::StaticClass());
    std::unique_ptr<VarnikTexture> pBare = Make<VarnikTexture>(VarnikTexture::StaticClass());
    bool bLoaded = true;
    auto fModule = [&] { bLoaded = pTexture->CreateFromFile(sFile, 0, Image::eNoFormat) && bLoaded; };
    auto fBare = [&] {
        std::unique_ptr<Image> pImage = Make<Image>(Image::StaticClass());
        pImage->Load(sFile);
        pBare->CopyFrom(pImage.get(), nullptr);
    };
    char sName[96];
    std::snprintf(sName, sizeof sName, "CreateFromFile %u^2 half EXR vs Image::Load + CopyFrom", iSize);
    Report(sName, Compare(5, fModule, fBare), 1.2);
    if (!bLoaded)
        throw (new varnik::Error(QString(), 4, "bench_pool", "bench/bench_pool", __LINE__))
            ->Format("CreateFromFile failed");
}

} // namespace

int main(int argc, char** argv)
{
    bool bQuick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") == 0) {
            bQuick = true;
        } else {
            std::fprintf(stderr, "usage: bench_pool [--quick]\n");
            return 1;
        }
    }
    varnik::GLContext cContext;
    if (!cContext.Create()) {
        std::fprintf(stderr, "bench_pool: no GL context: %s\n", cContext.ErrorText().toLocal8Bit().constData());
        return 2;
    }
    std::printf("bench_pool on %s (%s, %s)%s\n", cContext.Renderer().toLocal8Bit().constData(),
                cContext.Version().toLocal8Bit().constData(), cContext.DeviceKind().toLocal8Bit().constData(),
                bQuick ? ", quick sizes" : "");
    std::fflush(stdout);
    varnik::RegisterImageIO();
    VarnikTexture::InitializePlugin();
    // The pool and the UI write progress and missing-tile notes: keep them out of the figures.
    varnik::Kernel::SetLogCapture([](const QString&) {});
    QTemporaryDir cFolder;
    const unsigned int iDivide = bQuick ? 4 : 1;
    int iResult = 0;
    try {
        Lookup();
        OpenFolder(cFolder.path() + "/open");
        SaveDirty(cFolder.path() + "/save");
        ColourCreate(8192 / iDivide);
        FileCreate(cFolder.path(), 4096 / iDivide);
    } catch (varnik::Error* pError) {
        std::fprintf(stderr, "bench_pool: %s\n", pError->Describe().toLocal8Bit().constData());
        varnik::Error::Discard(pError);
        iResult = 1;
    }
    varnik::Kernel::SetLogCapture(varnik::Kernel::LogCapture());
    if (varnik::Kernel::VideoMemoryUsage() != 0) {
        std::printf("WARNING: the video-memory ledger ends at %lld bytes, not 0\n",
                    static_cast<long long>(varnik::Kernel::VideoMemoryUsage()));
        iResult = 1;
    }
    std::printf("%d goal(s) not met\n", s_iFailures);
    return iResult;
}
