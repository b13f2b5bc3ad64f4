// The built-in demo job: a 2x2 tiled layer and a plain layer painted at full
// resolution and on a proxy, undo and redo, composite-all, the pool and a scene
// saved; then a second host process opens the scene and checks that every
// layer and tile holds exactly what this one painted.
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include "JobFile.h"
#include "JobRunner.h"
#include "Jobs.h"
#include "varnik/Error.h"
#include "varnik/Kernel.h"
#include "varnik/TexturePool.h"

namespace {

const char* const s_sDemoJob = R"({
  "settings": { "project": "." },
  "layers": [
    { "name": "paint", "pool": "tiles/paint.png",
      "tile": { "size": [256, 256], "format": "8integer", "channels": 4, "color": [0.92, 0.9, 0.84, 1] },
      "tiles": [[0, 0], [1, 0], [0, 1], [1, 1]] },
    { "name": "mask", "size": [320, 200], "format": "16float", "color": [0, 0, 0, 0] }
  ],
  "steps": [
    { "do": "stroke", "layer": "paint", "tile": [0, 0], "points": [[20, 30], [120, 200], [236, 40]],
      "color": [0.8, 0.1, 0.1, 1], "radius": 14 },
    { "do": "stroke", "layer": "paint", "uv": true, "points": [[1.1, 0.2], [1.9, 0.85]],
      "color": [0.1, 0.3, 0.9, 1], "radius": 10, "hardness": 0.5, "blend": "multiply" },
    { "do": "stroke", "layer": "mask", "points": [[30, 100], [290, 100]], "color": [1, 1, 1, 1],
      "radius": 24, "hardness": 0.3 },
    { "do": "proxy", "level": 1 },
    { "do": "stroke", "layer": "paint", "tile": [1, 1], "points": [[40, 40], [200, 90], [60, 220]],
      "color": [0.1, 0.7, 0.2, 1], "radius": 16 },
    { "do": "stroke", "layer": "mask", "points": [[160, 20], [160, 180]], "color": [1, 0.5, 0, 0.8], "radius": 12 },
    { "do": "composite-all" },
    { "do": "proxy", "level": 0 },
    { "do": "stroke", "layer": "paint", "tile": [0, 1], "points": [[128, 20], [128, 236]],
      "color": [0.95, 0.8, 0.1, 1], "radius": 20, "opacity": 0.7 },
    { "do": "stroke", "layer": "paint", "tile": [0, 1], "points": [[20, 128], [236, 128]],
      "color": [0.2, 0.2, 0.2, 1], "radius": 8 },
    { "do": "undo", "layer": "paint", "tile": [0, 1] },
    { "do": "redo", "layer": "paint", "tile": [0, 1] },
    { "do": "save", "layer": "paint" },
    { "do": "save-scene", "file": "demo.vks" }
  ]
})";

} // namespace

int RunDemoJob(QTextStream& out)
{
    const QString sProject = QDir::cleanPath(varnik::Kernel::ProjectFilesDirectory() + "/varnik-demo") + "/";
    if (!QDir().mkpath(sProject))
        throw (new varnik::Error(QString(), 3, "demo"))->Format("cannot make the demo folder %1", sProject);
    out << "demo: project folder " << sProject << "\n";
    const JobFile cJob = JobFile::Parse(s_sDemoJob, "demo", sProject, HostMaxTextureSize());
    JobRunner cRunner(cJob, out);
    cRunner.Run();

    // What was painted, as hashes the reopening process must find again.
    QString sChecks;
    for (const JobRunner::Layer& cLayer : cRunner.Layers()) {
        if (cLayer.pTexture) {
            sChecks += QString(",\n    { \"do\": \"check\", \"layer\": \"%1\", \"hash\": \"%2\" }")
                           .arg(cLayer.sName, JobRunner::ContentHash(cLayer.pTexture));
            continue;
        }
        for (unsigned int i = 0; i < cLayer.pPool->TileCount(); ++i) {
            const varnik::AxisAlignedBoundingBox cArea = cLayer.pPool->TileArea(i);
            sChecks += QString(",\n    { \"do\": \"check\", \"layer\": \"%1\", \"tile\": [%2, %3], \"hash\": \"%4\" }")
                           .arg(cLayer.sName).arg(int(cArea.m_fMinX)).arg(int(cArea.m_fMinY))
                           .arg(JobRunner::ContentHash(cLayer.pPool->Tile(i)));
        }
    }
    const QString sReopen = sProject + "reopen.json";
    QFile cFile(sReopen);
    const QByteArray aJob = QString("{\n  \"steps\": [\n    { \"do\": \"open-scene\", \"file\": \"demo.vks\" }%1,\n"
                                    "    { \"do\": \"preview\", \"file\": \"contact-sheet.png\" }\n  ]\n}\n")
                                .arg(sChecks).toUtf8();
    if (!cFile.open(QIODevice::WriteOnly | QIODevice::Truncate) || cFile.write(aJob) != aJob.size())
        throw (new varnik::Error(QString(), 3, "demo"))->Format("cannot write %1: %2", sReopen, cFile.errorString());
    cFile.close();

    out << "demo: reopening the scene in a fresh process\n";
    out.flush();
    QProcess cProcess;
    cProcess.setProcessChannelMode(QProcess::ForwardedChannels);
    cProcess.start(QFileInfo("/proc/self/exe").symLinkTarget(),
                   QStringList() << "--plugins" << HostPluginFolder() << "--project" << sProject << "run" << sReopen);
    if (!cProcess.waitForFinished(-1) || cProcess.exitStatus() != QProcess::NormalExit || cProcess.exitCode() != 0) {
        out << "demo: the reopened scene did not pass its checks (exit " << cProcess.exitCode() << ")\n";
        return 3;
    }
    out << "demo: reopened layers equal what was painted\n";
    out << "demo: contact sheet " << sProject << "contact-sheet.png\n";
    return 0;
}
