// A painting job as the host runs it: open a scene holding one tiled layer of
// half-float tiles, then paint 50 strokes on one tile. The time until the first
// stroke is painted must not grow with the number of tiles: a 4x4 scene against
// a 2x2 one, in interleaved rounds, median ratio at most 1.3. Ends with one line
// per target (BenchKit.h) and exits with 3 when one missed.
//
//   bench_job             2048^2 tiles, 5 rounds
//   bench_job --quick     512^2 tiles, 3 rounds
#include <GL/glew.h>

#include <cstdio>
#include <cstring>
#include <QDir>
#include <QTemporaryDir>
#include <QTextStream>
#include "BenchKit.h"
#include "JobFile.h"
#include "JobRunner.h"
#include "Texture.h"
#include "VarnikImageIO.h"
#include "varnik/Brush.h"
#include "varnik/Error.h"
#include "varnik/GLContext.h"
#include "varnik/Kernel.h"
#include "varnik/ProcessAllocator.h"
#include "varnik/TextureMixer.h"

namespace {

/// Runs job text from `sFolder`; the step times of the run.
std::vector<double> RunJob(const QString& sText, const QString& sFolder, const char* sName)
{
    QString sDiscard;
    QTextStream cOut(&sDiscard);  // the step table is not wanted here
    const JobFile cJob = JobFile::Parse(sText.toUtf8(), sName, sFolder, 16384);
    JobRunner cRunner(cJob, cOut);
    cRunner.Run();
    glFinish();
    return cRunner.StepSeconds();
}

/// A scene of one `iSide` x `iSide` pool of half-float tiles, saved with its tiles.
void MakeScene(const QString& sFolder, int iSide, int iTileSize)
{
    QString sTiles;
    for (int v = 0; v < iSide; ++v)
        for (int u = 0; u < iSide; ++u)
            sTiles += QString("%1[%2, %3]").arg(sTiles.isEmpty() ? "" : ", ").arg(u).arg(v);
    RunJob(QString(R"({ "layers": [ { "name": "skin", "pool": "skin.exr", "tiles": [%1],
                        "tile": { "size": [%2, %2], "format": "16float", "color": [0.5, 0.4, 0.3, 1] } } ],
                        "steps": [ { "do": "save", "layer": "skin" }, { "do": "save-scene", "file": "scene.vks" } ] })")
               .arg(sTiles).arg(iTileSize),
           sFolder, "make-scene");
}

/// Opening the scene, then 50 strokes on tile (0, 0).
QString PaintJob(int iTileSize)
{
    QString sSteps = R"({ "do": "open-scene", "file": "scene.vks" })";
    for (int i = 0; i < 50; ++i) {
        const double a = 0.05 + 0.9 * double(i % 10) / 9.0, b = 0.05 + 0.9 * double(i / 10) / 4.0;
        sSteps += QString(R"(, { "do": "stroke", "layer": "skin", "tile": [0, 0], "points": [[%1, %2], [%3, %4]],
                                 "color": [0.9, 0.1, 0.1, 1], "radius": %5 })")
                      .arg(a * iTileSize).arg(b * iTileSize).arg((1.0 - a) * iTileSize).arg(b * iTileSize)
                      .arg(iTileSize / 64);
    }
    return QString(R"({ "steps": [ %1 ] })").arg(sSteps);
}

} // namespace

int main(int argc, char** argv)
{
    varnik::ProcessAllocator::Configure();
    const bool bQuick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    const int iTileSize = bQuick ? 512 : 2048, iRounds = bQuick ? 3 : 5;
    varnik::GLContext cContext;
    if (!cContext.Create()) {
        std::fprintf(stderr, "bench_job: no OpenGL context: %s\n", qPrintable(cContext.ErrorText()));
        return 2;
    }
    std::printf("bench_job on %s, %dx%d half-float tiles, %d rounds\n", qPrintable(cContext.Renderer()), iTileSize,
                iTileSize, iRounds);
    varnik::RegisterImageIO();
    VarnikTexture::InitializePlugin();

    bench::Targets cTargets;
    int iResult = 0;
    try {
        QTemporaryDir cSmall, cLarge;
        varnik::Kernel::SetLogFile(cSmall.filePath("log.txt"));  // missing-tile notes of the scene set-up
        MakeScene(cSmall.path(), 2, iTileSize);
        MakeScene(cLarge.path(), 4, iTileSize);
        const QString sPaint = PaintJob(iTileSize);

        // Interleaved: the first contender turns from round to round; round 0 warms up.
        std::vector<double> aFirst[2], aAll[2], aRatios;
        const QString aFolders[2] = { cLarge.path(), cSmall.path() };
        for (int r = 0; r <= iRounds; ++r) {
            double aRound[2] = { 0, 0 };
            for (int k = 0; k < 2; ++k) {
                const int j = (r + k) % 2;
                const std::vector<double> aSteps = RunJob(sPaint, aFolders[j], "paint");
                double fAll = 0;
                for (double f : aSteps)
                    fAll += f;
                aRound[j] = aSteps[0] + aSteps[1];
                if (r > 0) {
                    aFirst[j].push_back(aRound[j]);
                    aAll[j].push_back(fAll);
                }
            }
            if (r > 0)
                aRatios.push_back(aRound[0] / std::max(aRound[1], 1e-9));
        }
        const char* aNames[2] = { "4x4 tiles", "2x2 tiles" };
        for (int j = 0; j < 2; ++j)
            std::printf("%s: open + first stroke %.1f ms, open + 50 strokes %.1f ms (medians)\n", aNames[j],
                        bench::SpreadOf(aFirst[j]).fMedian * 1e3, bench::SpreadOf(aAll[j]).fMedian * 1e3);
        const bench::Spread cRatio = bench::SpreadOf(aRatios);
        std::printf("time to the first stroke, 4x4 over 2x2: %.3f (min %.3f, max %.3f)\n", cRatio.fMedian,
                    cRatio.fMin, cRatio.fMax);
        cTargets.Add("first stroke, 16 tiles over 4", cRatio, 1.3);
    } catch (varnik::Error* pError) {
        std::fprintf(stderr, "bench_job: %s\n", qPrintable(pError->Describe()));
        varnik::Error::Discard(pError);
        cTargets.Failed("first stroke, 16 tiles over 4", 1.3);
        iResult = 1;
    }
    const int iMissed = cTargets.Print();
    varnik::TextureMixer::ReleaseSharedResources();
    varnik::Brush::ReleaseSharedResources();
    cContext.Destroy();
    return iResult ? iResult : iMissed ? 3 : 0;
}
