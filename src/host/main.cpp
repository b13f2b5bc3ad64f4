// The headless host: reads the command line, makes the GL context, loads the
// plug-in folder and runs one command.
#include <GL/glew.h>

#include <cstdio>
#include <exception>
#include <QDir>
#include <QStringList>
#include <QTextStream>
#include "Jobs.h"
#include "VarnikImageIO.h"
#include "varnik/Brush.h"
#include "varnik/Error.h"
#include "varnik/GLContext.h"
#include "varnik/Kernel.h"
#include "varnik/Plugin.h"
#include "varnik/Preferences.h"
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
QString s_sProjectFolder;

/// A command of the host: its name, how many arguments it takes, and what it does.
struct Command
{
    const char* sName;
    const char* sArguments;  ///< for the usage text
    int iMinArguments;
    int iMaxArguments;       ///< -1: any number
    CommandFunction fRun;
    const char* sHelp;
};

const Command s_aCommands[] = {
    { "demo", "", 0, 0, &RunDemoCommand,
      "the built-in demo job (the default): tiled and plain layers, strokes, proxies,\n"
      "                      undo and redo, composite-all, a scene saved and reopened, a contact sheet" },
    { "run", "JOB.json...", 1, -1, &RunJobCommand, "runs painting jobs; every file is checked before any runs" },
    { "selftest", "[GROUP...]", 0, -1, &RunSelfTestCommand,
      "runs the module's TextureTester node (all groups, or the ones named)" },
    { "info", "", 0, 0, &RunInfoCommand, "GL context, loaded modules and registered classes" },
    { "image-demo", "", 0, 0, &RunImageDemoCommand, "image files written in several formats and read back" },
    { "texture-demo", "", 0, 0, &RunTextureDemoCommand, "layer textures uploaded, read back, moved and proxied" },
    { "paint-demo", "", 0, 0, &RunPaintDemoCommand, "strokes, proxies, undo and composite-all on one layer, as a PNG" },
};

const Command* FindCommand(const QString& sName)
{
    for (const Command& c : s_aCommands)
        if (sName == QLatin1String(c.sName))
            return &c;
    return nullptr;
}

const char* const s_sUsageLine =
    "usage: varnik-host [--plugins DIR] [--log FILE] [--project DIR] [--two-channel-tiles] [--float-tiles]\n"
    "                   [COMMAND [ARGUMENT...]]\n";

void PrintHelp(QTextStream& out)
{
    out << s_sUsageLine << "\ncommands:\n";
    for (const Command& c : s_aCommands)
        out << "  " << QString("%1 %2").arg(c.sName, c.sArguments).leftJustified(20) << "  " << c.sHelp << "\n";
    out << "\noptions:\n"
        << "  --plugins DIR         plug-in folder (default " << VARNIK_DEFAULT_PLUGIN_DIR << ")\n"
        << "  --log FILE            append the host log to FILE instead of standard error\n"
        << "  --project DIR         project folder for relative tile and scene names (default: current folder)\n"
        << "  --two-channel-tiles   tile pools may keep two-channel tiles\n"
        << "  --float-tiles         tile pools raise 8- and 16-bit tiles to half float\n"
        << "  -h, --help            this text\n"
        << "\nexit status: 0 done, 1 bad command line or job file (nothing ran), 2 no OpenGL context,\n"
        << "             3 a command, step or check failed\n";
}

int UsageError(QTextStream& err, const QString& sMessage)
{
    err << "varnik-host: " << sMessage << "\n" << s_sUsageLine << "run \"varnik-host --help\" for the commands\n";
    return 1;
}

} // namespace

const varnik::GLContext& HostContext() { return *s_pContext; }
const varnik::PluginLoader& HostPlugins() { return *s_pLoader; }
const QString& HostPluginFolder() { return s_sPluginFolder; }
const QString& HostProjectFolder() { return s_sProjectFolder; }

int RunDemoCommand(const QStringList&, QTextStream& out) { return RunDemoJob(out); }
int RunInfoCommand(const QStringList&, QTextStream& out) { return RunInfoJob(out); }
int RunImageDemoCommand(const QStringList&, QTextStream& out) { return RunImageDemo(out); }
int RunTextureDemoCommand(const QStringList&, QTextStream& out) { return RunTextureDemo(out); }
int RunPaintDemoCommand(const QStringList&, QTextStream& out) { return RunPaintDemo(out); }

int main(int argc, char** argv)
{
    // Checked first: every transfer relies on it.
    varnik::ProcessAllocator::Configure();
    varnik::VKCrashReporterFlag::InstallCrashHandler();
    QTextStream out(stdout);
    QTextStream err(stderr);

    QString sPluginFolder = QString::fromLocal8Bit(VARNIK_DEFAULT_PLUGIN_DIR);
    QString sLogFile, sProject;
    bool bTwoChannelTiles = false, bFloatTiles = false;
    QStringList aWords;
    for (int i = 1; i < argc; ++i) {
        const QString sArg = QString::fromLocal8Bit(argv[i]);
        // Options come before the command; after it every word is the command's.
        if (!aWords.isEmpty() || !sArg.startsWith("-")) {
            aWords << sArg;
        } else if (sArg == "--plugins" || sArg == "--log" || sArg == "--project") {
            if (i + 1 >= argc)
                return UsageError(err, QString("%1 needs an argument").arg(sArg));
            const QString sValue = QString::fromLocal8Bit(argv[++i]);
            (sArg == "--plugins" ? sPluginFolder : sArg == "--log" ? sLogFile : sProject) = sValue;
        } else if (sArg == "--two-channel-tiles") {
            bTwoChannelTiles = true;
        } else if (sArg == "--float-tiles") {
            bFloatTiles = true;
        } else if (sArg == "--help" || sArg == "-h") {
            PrintHelp(out);
            return 0;
        } else {
            return UsageError(err, QString("unknown option \"%1\"").arg(sArg));
        }
    }
    if (aWords.isEmpty())
        aWords << "demo";
    const Command* pCommand = FindCommand(aWords.first());
    if (!pCommand)
        return UsageError(err, QString("unknown command \"%1\"").arg(aWords.first()));
    const QStringList aArguments = aWords.mid(1);
    if (aArguments.size() < pCommand->iMinArguments ||
        (pCommand->iMaxArguments >= 0 && aArguments.size() > pCommand->iMaxArguments))
        return UsageError(err, QString("%1 takes %2").arg(pCommand->sName,
                                                          *pCommand->sArguments ? pCommand->sArguments : "no arguments"));

    if (!sLogFile.isEmpty() && !varnik::Kernel::SetLogFile(sLogFile)) {
        err << "varnik-host: cannot open log file \"" << sLogFile << "\"\n";
        return 1;
    }
    if (!sProject.isEmpty()) {
        s_sProjectFolder = QDir(sProject).absolutePath();
        varnik::Kernel::SetProjectFilesDirectory(s_sProjectFolder + "/");
    }
    varnik::Kernel()->Preferences()->m_bAllowTwoChannelTiles = bTwoChannelTiles;
    varnik::Kernel()->Preferences()->m_bUseFloatTiles = bFloatTiles;

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

        try {
            iResult = pCommand->fRun(aArguments, out);
        } catch (varnik::Error* pError) {
            out.flush();
            err << "varnik-host: " << pCommand->sName << " failed: " << pError->Describe() << "\n";
            varnik::Error::Discard(pError);
            iResult = 3;
        } catch (const std::exception& cException) {
            out.flush();
            err << "varnik-host: " << pCommand->sName << " failed: " << cException.what() << "\n";
            iResult = 3;
        }
        out.flush();
        err.flush();
        varnik::ProcessAllocator::Release();

        // The mixer's shared GL objects go while the modules that used them
        // and the context are still there; modules go in reverse load order.
        varnik::TextureMixer::ReleaseSharedResources();
        varnik::Brush::ReleaseSharedResources();
        cLoader.UnloadAll();
        s_pLoader = nullptr;
    }
    s_pContext = nullptr;
    cContext.Destroy();
    err.flush();
    return iResult;
}
