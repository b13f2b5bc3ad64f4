// Image storage figures, each measured side by side with its yardstick in one run:
//   1. version cost: bytes a 256 x 256 write adds after NewVersion, against the
//      bytes of the tiles it touches; NewVersion time on 1024^2 vs 8192^2;
//   2. getTile / setTile of whole rows (the tile gather and scatter of every
//      transfer) against memcpy of the same bytes, interleaved rounds;
//   3. proxy level 1 of an 8192^2 RGBA8 image, GB/s against memcpy;
//   4. loading a 4096^2 EXR through varnik::Image against OpenImageIO reading
//      the same file into a buffer it reuses, interleaved rounds.
// Ends with one line per target (see BenchKit.h). Pass --small for a quicker
// run on smaller images.
#include <OpenImageIO/imageio.h>
#include <QDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>
#include "BenchKit.h"
#include "VarnikImageIO.h"
#include "varnik/ProcessAllocator.h"
#include "varnik/Varnik.h"

using namespace varnik;

namespace {

bench::Targets s_cTargets;

double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

/// Best of `iRuns` timings of `f`, in seconds.
template <typename F>
double Best(int iRuns, F&& f)
{
    double dBest = 1e30;
    for (int i = 0; i < iRuns; ++i) {
        const double t0 = Now();
        f();
        dBest = std::min(dBest, Now() - t0);
    }
    return dBest;
}

void VersionCost(uint32_t iBig)
{
    std::printf("1. version cost (RGBA float)\n");
    Image c;
    c.create(iBig, iBig, 4, Image::e32float);
    const float aGray[4] = {0.5f, 0.5f, 0.5f, 1.0f};
    c.fillTile(0, 0, int(iBig), int(iBig), aGray);
    const size_t iBefore = c.MemoryUsage() + c.VersionMemoryUsage();
    c.NewVersion();
    std::vector<float> aRect(256 * 256 * 4, 0.25f);
    const int x = 1000, y = 1000;
    c.setTile(x, y, 256, 256, aRect.data());
    const size_t iAdded = c.MemoryUsage() + c.VersionMemoryUsage() - iBefore;
    // Storage tiles of images with 32-bit channels are 64 texels a side.
    const int iSide = 64;
    const size_t iTiles = size_t((x + 255) / iSide - x / iSide + 1) * size_t((y + 255) / iSide - y / iSide + 1);
    const size_t iTileBytes = iTiles * iSide * iSide * 16;
    std::printf("   %ux%u: 256x256 write at (%d,%d) added %.2f MiB; %zu tiles touched = %.2f MiB; "
                "ratio %.2f (want <= 1.5)\n",
                iBig, iBig, x, y, iAdded / 1048576.0, iTiles, iTileBytes / 1048576.0,
                double(iAdded) / double(iTileBytes));

    // NewVersion on a small and on the big image.
    Image cSmall;
    cSmall.create(1024, 1024, 4, Image::e32float);
    cSmall.fillTile(0, 0, 1024, 1024, aGray);
    const int iCalls = 200000;
    auto fVersions = [&](Image& cImage) {
        return Best(3, [&] {
                   for (int i = 0; i < iCalls; ++i)
                       cImage.NewVersion();
                   cImage.PurgeAllButCurrentVersion();
               }) / iCalls;
    };
    const double tSmall = fVersions(cSmall), tBig = fVersions(c);
    std::printf("   NewVersion: 1024^2 %.1f ns, %u^2 %.1f ns; ratio big/small %.2f (want ~1)\n", tSmall * 1e9,
                iBig, tBig * 1e9, tBig / tSmall);
}

void RowsVsMemcpy(uint32_t iSide)
{
    std::printf("2. whole rows through getTile/setTile vs memcpy (RGBA8 %ux%u)\n", iSide, iSide);
    Image c;
    c.create(iSide, iSide, 4, Image::e8integer);
    const size_t iBytes = size_t(iSide) * iSide * 4;
    std::vector<uint8_t> aSrc(iBytes, 7), aDst(iBytes, 1);
    c.setTile(0, 0, int(iSide), int(iSide), aSrc.data());  // tiles allocated before timing
    const int iBand = 64;
    const bench::Samples s = bench::Interleave(2, 9, {
        {"memcpy", [&] {
             for (uint32_t y = 0; y < iSide; y += iBand)
                 std::memcpy(aDst.data() + size_t(y) * iSide * 4, aSrc.data() + size_t(y) * iSide * 4,
                             size_t(iBand) * iSide * 4);
         }, nullptr},
        {"setTile", [&] {
             for (uint32_t y = 0; y < iSide; y += iBand)
                 c.setTile(0, int(y), int(iSide), iBand, aSrc.data() + size_t(y) * iSide * 4);
         }, nullptr},
        {"getTile", [&] {
             for (uint32_t y = 0; y < iSide; y += iBand)
                 c.getTile(0, int(y), int(iSide), iBand, aDst.data() + size_t(y) * iSide * 4);
         }, nullptr},
    });
    const double dGB = double(iBytes) / 1e9;
    std::printf("   memcpy %.2f GB/s, setTile %.2f GB/s, getTile %.2f GB/s (medians)\n",
                dGB / bench::Seconds(s[0]).fMedian, dGB / bench::Seconds(s[1]).fMedian,
                dGB / bench::Seconds(s[2]).fMedian);
    // At memory speed: at least half of memcpy's.
    s_cTargets.Add("setTile/memcpy " + std::to_string(iSide) + "^2 RGBA8", bench::Ratios(s[1], s[0]), 2.0);
    s_cTargets.Add("getTile/memcpy " + std::to_string(iSide) + "^2 RGBA8", bench::Ratios(s[2], s[0]), 2.0);
}

void ProxySpeed(uint32_t iSide)
{
    std::printf("3. proxy level 1 of RGBA8 %ux%u vs memcpy\n", iSide, iSide);
    Image c;
    c.create(iSide, iSide, 4, Image::e8integer);
    const size_t iBytes = size_t(iSide) * iSide * 4;
    std::vector<uint8_t> aSrc(iBytes), aDst(iBytes);
    for (size_t i = 0; i < iBytes; ++i)
        aSrc[i] = uint8_t(i * 13);
    c.setTile(0, 0, int(iSide), int(iSide), aSrc.data());
    const double tMemcpy = Best(3, [&] { std::memcpy(aDst.data(), aSrc.data(), iBytes); });
    const double tProxy = Best(3, [&] {
        c.clearProxyImages();
        c.ProxyImage(1);
    });
    // The proxy's pixels are fresh memory: a copy of its size into fresh memory
    // shows what first touches of pages cost on this machine.
    volatile uint8_t iSink = 0;
    const double tFresh = Best(3, [&] {
        std::unique_ptr<uint8_t[]> pFresh(new uint8_t[iBytes / 4]);
        std::memcpy(pFresh.get(), aSrc.data(), iBytes / 4);
        iSink = iSink + pFresh[iBytes / 8];
    });
    const double dGB = double(iBytes) / 1e9;
    std::printf("   memcpy %.2f GB/s, proxy %.2f GB/s of source read; proxy/memcpy %.2f\n"
                "   (a copy of the proxy's size into fresh memory alone takes %.3f s of the proxy's %.3f s)\n",
                dGB / tMemcpy, dGB / tProxy, tMemcpy / tProxy, tFresh, tProxy);
}

void ExrLoad(uint32_t iSide)
{
    std::printf("4. loading a %ux%u RGBA half EXR: varnik::Image vs OpenImageIO directly\n", iSide, iSide);
    const QString sFile = QDir::tempPath() + QString("/bench_image_%1.exr").arg(iSide);
    {
        Image c;
        c.create(iSide, iSide, 4, Image::e16float);
        std::vector<uint16_t> aRow(size_t(iSide) * 4);
        for (uint32_t y = 0; y < iSide; ++y) {
            for (uint32_t x = 0; x < iSide * 4; ++x)
                aRow[x] = half_(float((x * 7 + y * 3) % 1000) / 999.0f).Bits();
            c.setTile(0, int(y), int(iSide), 1, aRow.data());
        }
        c.Save(sFile);
    }
    // OpenImageIO's best: the whole image into one buffer that every round reuses.
    std::vector<uint16_t> aPixels(size_t(iSide) * iSide * 4);
    bool bDirectOk = true;
    Image cLoaded;
    const bench::Samples s = bench::Interleave(2, 11, {
        {"OpenImageIO", [&] {
             auto pIn = OIIO::ImageInput::open(sFile.toStdString());
             bDirectOk &= pIn && pIn->read_image(0, 0, 0, 4, OIIO::TypeDesc::HALF, aPixels.data());
         }, nullptr},
        {"varnik::Image", [&] { cLoaded.Load(sFile); }, nullptr},
    });
    // Only a load that gave the file's pixels counts.
    std::vector<uint16_t> aImage(aPixels.size());
    cLoaded.getTile(0, 0, int(iSide), int(iSide), aImage.data());
    const bool bOk = bDirectOk && aImage == aPixels;
    const bench::Spread cRatio = bench::Ratios(s[1], s[0]);
    std::printf("   OpenImageIO %.3f s, varnik::Image %.3f s (medians); ratio %.2f (min %.2f, max %.2f)%s\n",
                bench::Seconds(s[0]).fMedian, bench::Seconds(s[1]).fMedian, cRatio.fMedian, cRatio.fMin, cRatio.fMax,
                bOk ? "" : "\n   WARNING: the two loads disagree or one failed");
    // Fresh pages per load show up here: the reused buffer takes none.
    const size_t iPages = aPixels.size() * sizeof(uint16_t) / 4096;
    for (size_t k = 0; k < s.size(); ++k) {
        std::vector<double> aCpu;
        for (const bench::Sample& c : s[k])
            aCpu.push_back(c.fCpu);
        std::printf("   %-14s cpu %.3f s, %.0f faults/call (%.2f%% of %zu pages)\n", k ? "varnik::Image" : "OpenImageIO",
                    bench::SpreadOf(aCpu).fMedian, bench::Faults(s[k]).fMedian,
                    100.0 * bench::Faults(s[k]).fMedian / double(iPages), iPages);
    }
    const std::string sName = "varnik::Image EXR load/OpenImageIO " + std::to_string(iSide) + "^2 RGBA half";
    bOk ? s_cTargets.Add(sName, cRatio, 1.2) : s_cTargets.Failed(sName, 1.2);
    QFile::remove(sFile);
}

} // namespace

int main(int argc, char** argv)
{
    ProcessAllocator::Configure();
    const bool bSmall = argc > 1 && std::strcmp(argv[1], "--small") == 0;
    std::printf("allocator: %s\n", ProcessAllocator::Describe().toLocal8Bit().constData());
    RegisterImageIO();
    try {
        VersionCost(bSmall ? 2048 : 8192);
        RowsVsMemcpy(bSmall ? 2048 : 4096);
        ProxySpeed(bSmall ? 2048 : 8192);
        ExrLoad(bSmall ? 1024 : 4096);
    } catch (Error* pError) {
        std::printf("failed: %s\n", pError->Describe().toUtf8().constData());
        Error::Discard(pError);
        return 1;
    }
    return s_cTargets.Print() > 0 ? 3 : 0;
}
