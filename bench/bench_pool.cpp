// Measures the tile pool and the texture's file-backed creation side by side
// with the plainest way a program could do the same, and prints ratios; ends
// with one line per target (BenchKit.h) and exits with 3 when one missed.
//
//   bench_pool           a 4096^2 half-float file
//   bench_pool --quick   a 1024^2 one
#include <GL/glew.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>
#include <QDir>
#include <QTemporaryDir>
#include "BenchKit.h"
#include "Texture.h"
#include "VarnikTexturePool.h"
#include "VarnikImageIO.h"
#include "varnik/Error.h"
#include "varnik/GLContext.h"
#include "varnik/Image.h"
#include "varnik/Kernel.h"
#include "varnik/ProcessAllocator.h"

namespace {

using varnik::AxisAlignedBoundingBox;
using varnik::Image;

bench::Targets s_cTargets;

void Finish() { glFinish(); }

/// Medians and the per-round ratio of `a` over `b`, printed; the ratio becomes a target.
bench::Spread Compare(const char* sTarget, double fLimit, int iRounds, const bench::Contender& a,
                      const bench::Contender& b)
{
    const bench::Samples s = bench::Interleave(1, iRounds, {a, b}, Finish);
    const bench::Spread cRatio = bench::Ratios(s[0], s[1]);
    // CPU time (all threads) waits least on a busy machine; faults show fresh memory.
    std::printf("%s: %s %.3f ms, %s %.3f ms (medians); ratio %.3f (min %.3f, max %.3f), CPU %.3f; "
                "faults a call %.0f and %.0f\n",
                sTarget, a.sName.c_str(), bench::Seconds(s[0]).fMedian * 1e3, b.sName.c_str(),
                bench::Seconds(s[1]).fMedian * 1e3, cRatio.fMedian, cRatio.fMin, cRatio.fMax,
                bench::Ratios(s[0], s[1], true).fMedian, bench::Faults(s[0]).fMedian, bench::Faults(s[1]).fMedian);
    std::fflush(stdout);
    s_cTargets.Add(sTarget, cRatio, fLimit);
    return bench::Seconds(s[0]);
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
    const double fLookups = double(iPasses) * double(aBoxes.size());
    const bench::Spread cModule = Compare("tile lookup/std::unordered_map lookup", 3.0, 9,
                                          {"VarnikTexturePool::Tile", fModule, nullptr},
                                          {"std::unordered_map", fBare, nullptr});
    // At least 50 million lookups a second: at most 20 ns each.
    s_cTargets.Add("tile lookup ns (fast path)",
                   bench::Spread{cModule.fMin * 1e9 / fLookups, cModule.fMedian * 1e9 / fLookups,
                                 cModule.fMax * 1e9 / fLookups}, 20.0);
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
    Compare("SetFileName on 100 tile files/QDir listing", 3.0, 15, {"SetFileName", fModule, nullptr},
            {"QDir::entryInfoList", fBare, nullptr});
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
    Compare("Save 3 dirty of 64 tiles/Export 64", 0.1, 5, {"Save", fModule, nullptr}, {"Export", fBare, nullptr});
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
    // The module must also prepare the proxy images down to level 4; a third
    // contender does that by hand, to show what is left beyond it.
    auto fBareWithProxies = [&] {
        std::unique_ptr<Image> pImage = Make<Image>(Image::StaticClass());
        pImage->Load(sFile);
        pImage->ProxyImage(Image::s_iMaxProxyLevel);
        pBare->CopyFrom(pImage.get(), nullptr);
    };
    const std::string sTarget = "CreateFromFile/Image::Load + CopyFrom " + std::to_string(iSize) + "^2 RGBA half EXR";
    const bench::Samples s = bench::Interleave(1, 15, {{"CreateFromFile", fModule, nullptr},
                                                      {"Image::Load + CopyFrom", fBare, nullptr},
                                                      {"the same + proxy images", fBareWithProxies, nullptr}}, Finish);
    const bench::Spread cRatio = bench::Ratios(s[0], s[1]);
    std::printf("%s: %.1f ms, %.1f ms (medians); ratio %.3f (min %.3f, max %.3f), CPU %.3f\n"
                "  against Load + proxy images + CopyFrom (%.1f ms): ratio %.3f, CPU %.3f\n",
                sTarget.c_str(), bench::Seconds(s[0]).fMedian * 1e3, bench::Seconds(s[1]).fMedian * 1e3, cRatio.fMedian,
                cRatio.fMin, cRatio.fMax, bench::Ratios(s[0], s[1], true).fMedian, bench::Seconds(s[2]).fMedian * 1e3,
                bench::Ratios(s[0], s[2]).fMedian, bench::Ratios(s[0], s[2], true).fMedian);
    std::fflush(stdout);
    s_cTargets.Add(sTarget, cRatio, 1.2);
    if (!bLoaded)
        throw (new varnik::Error(QString(), 4, "bench_pool", "bench/bench_pool", __LINE__))
            ->Format("CreateFromFile failed");
}

} // namespace

int main(int argc, char** argv)
{
    varnik::GLContext cContext;
    bool bQuick = false;
    if (int iExit = bench::Start(argc, argv, "bench_pool", cContext, bQuick))
        return iExit;
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
    const int iMissed = s_cTargets.Print();
    return iResult != 0 ? iResult : iMissed > 0 ? 3 : 0;
}
