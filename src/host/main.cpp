// The headless host: makes the GL context, loads the plug-in folder and runs
// the jobs named on the command line.
#include <GL/glew.h>

#include <cstdio>
#include <exception>
#include <QStringList>
#include <QTextStream>
#include "Jobs.h"
#include "VarnikImageIO.h"
#include "varnik/Error.h"
#include "varnik/GLContext.h"
#include "varnik/Kernel.h"
#include "varnik/Plugin.h"
#include "varnik/ProcessAllocator.h"
#include "varnik/TextureMixer.h"
#include "varnik/VKCrashReporterFlag.h"

#ifndef VARNIK_DEFAULT_PLUGIN_DIR
#define VARNIK_DEFAULT_PLUGIN_DIR "plugins"
#endif

namespace {

varnik::GLContext* s_pContext = nullptr;
varnik::PluginLoader* s_pLoader = nullptr;
QString s_sPluginFolder;

typedef int (*JobFunction)(QTextStream&);

struct Job
{
    const char* sName;
    JobFunction fRun;
};

const Job s_aJobs[] = {
    { "info", &RunInfoJob },
    { "demo", nullptr },  // images, then textures
};

int RunDemo(QTextStream& out)
{
    const int iImages = RunImageDemo(out);
    out.flush();
    const int iTextures = RunTextureDemo(out);
    out.flush();
    const int iPaint = RunPaintDemo(out);
    return iImages != 0 ? iImages : iTextures != 0 ? iTextures : iPaint;
}

JobFunction FindJob(const QString& sName)
{
    for (const Job& cJob : s_aJobs)
        if (sName == QLatin1String(cJob.sName))
            return cJob.fRun ? cJob.fRun : &RunDemo;
    return nullptr;
}

void PrintUsage(QTextStream& err)
{
    err << "usage: varnik-host [--plugins DIR] [--log FILE] [JOB...]\n"
        << "  jobs: info (GL context, modules, classes), demo (image files, then textures)\n"
        << "  default jobs: info demo; default plug-in folder: " << VARNIK_DEFAULT_PLUGIN_DIR << "\n"
        << "  exit status: 0 done, 1 bad command line, 2 no OpenGL context, 3 a job failed\n";
}

} // namespace

const varnik::GLContext& HostContext() { return *s_pContext; }
const varnik::PluginLoader& HostPlugins() { return *s_pLoader; }
const QString& HostPluginFolder() { return s_sPluginFolder; }

int main(int argc, char** argv)
{
    // Checked first: every transfer relies on it.
    varnik::ProcessAllocator::Configure();
    varnik::VKCrashReporterFlag::InstallCrashHandler();
    QTextStream out(stdout);
    QTextStream err(stderr);

    QString sPluginFolder = QString::fromLocal8Bit(VARNIK_DEFAULT_PLUGIN_DIR);
    QString sLogFile;
    QStringList aJobs;
    for (int i = 1; i < argc; ++i) {
        const QString sArg = QString::fromLocal8Bit(argv[i]);
        if (sArg == "--plugins" || sArg == "--log") {
            if (i + 1 >= argc) {
                err << "varnik-host: " << sArg << " needs an argument\n";
                PrintUsage(err);
                return 1;
            }
            (sArg == "--plugins" ? sPluginFolder : sLogFile) = QString::fromLocal8Bit(argv[++i]);
        } else if (sArg == "--help" || sArg == "-h") {
            PrintUsage(out);
            return 0;
        } else if (sArg.startsWith("-")) {
            err << "varnik-host: unknown option \"" << sArg << "\"\n";
            PrintUsage(err);
            return 1;
        } else {
            aJobs << sArg;
        }
    }
    if (aJobs.isEmpty())
        aJobs << "info" << "demo";
    // Every name is checked before anything starts, so a typo costs nothing.
    for (const QString& sJob : aJobs) {
        if (!FindJob(sJob)) {
            err << "varnik-host: unknown job \"" << sJob << "\" (jobs: info, demo)\n";
            return 1;
        }
    }

    if (!sLogFile.isEmpty() && !varnik::Kernel::SetLogFile(sLogFile)) {
        err << "varnik-host: cannot open log file \"" << sLogFile << "\"\n";
        return 1;
    }

    varnik::GLContext cContext;
    if (!cContext.Create()) {
        err << "varnik-host: fatal: no OpenGL context: " << cContext.ErrorText() << "\n";
        err.flush();
        if (!sLogFile.isEmpty())  // the log goes to standard error otherwise: said once above
            varnik::Kernel::Log(QString("varnik-host: fatal: no OpenGL context: %1\n").arg(cContext.ErrorText()));
        return 2;
    }
    s_pContext = &cContext;
    varnik::RegisterImageIO();

    int iResult = 0;
    {
        varnik::PluginLoader cLoader;
        s_pLoader = &cLoader;
        s_sPluginFolder = sPluginFolder;
        const int iModules = cLoader.LoadFolder(sPluginFolder);
        varnik::Kernel::Log(QString("varnik-host: %1 module(s) loaded from %2\n").arg(iModules).arg(sPluginFolder));

        for (const QString& sJob : aJobs) {
            int iJob = 0;
            try {
                iJob = FindJob(sJob)(out);
            } catch (varnik::Error* pError) {
                out.flush();
                err << "varnik-host: job \"" << sJob << "\" failed: " << pError->Describe() << "\n";
                err.flush();
                varnik::Error::Discard(pError);
                iJob = 1;
            } catch (const std::exception& cException) {
                out.flush();
                err << "varnik-host: job \"" << sJob << "\" failed: " << cException.what() << "\n";
                iJob = 1;
            }
            out.flush();
            // Between jobs the host holds no memory it does not use.
            varnik::ProcessAllocator::Release();
            if (iJob != 0) {
                err << "varnik-host: job \"" << sJob << "\" failed (" << iJob << ")\n";
                iResult = 3;
            }
        }

        // The mixer's shared GL objects go while the modules that used them
        // and the context are still there; modules go in reverse load order.
        varnik::TextureMixer::ReleaseSharedResources();
        cLoader.UnloadAll();
        s_pLoader = nullptr;
    }
    s_pContext = nullptr;
    cContext.Destroy();
    err.flush();
    return iResult;
}
