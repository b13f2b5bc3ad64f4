#pragma once
#include <QString>
#include <QStringList>
#include <QTextStream>

namespace varnik {
class GLContext;
class PluginLoader;
}

// Commands of the headless host. Each prints what it did to `out` and returns
// the process's exit status: 0 done, 1 bad input (nothing ran), 3 a step or
// check failed. They run after the GL context is current and the plug-in
// folder is loaded; a `varnik::Error` pointer they throw counts as 3.
typedef int (*CommandFunction)(const QStringList& aArguments, QTextStream& out);

int RunDemoCommand(const QStringList& aArguments, QTextStream& out);
int RunJobCommand(const QStringList& aArguments, QTextStream& out);
int RunSelfTestCommand(const QStringList& aArguments, QTextStream& out);
int RunInfoCommand(const QStringList& aArguments, QTextStream& out);
int RunImageDemoCommand(const QStringList& aArguments, QTextStream& out);
int RunTextureDemoCommand(const QStringList& aArguments, QTextStream& out);
int RunPaintDemoCommand(const QStringList& aArguments, QTextStream& out);

/// The built-in demo job: needs no input files, writes into the project folder.
int RunDemoJob(QTextStream& out);
/// Vendor, renderer, version, loaded modules and registered classes.
int RunInfoJob(QTextStream& out);
/// Creates images, writes them in several formats, reads them back, compares.
int RunImageDemo(QTextStream& out);
/// Creates layer textures through the loaded module, uploads, reads back,
/// moves them between GPU and CPU, switches proxy levels, prints the ledger.
int RunTextureDemo(QTextStream& out);

/// Paints brush strokes at full resolution and on a proxy, undoes, redoes,
/// runs "Composite paint strokes", checks and writes the result as a PNG.
int RunPaintDemo(QTextStream& out);

/// The host's GL context and plug-in loader, for jobs that report on them.
/// Valid while the jobs run.
const varnik::GLContext& HostContext();
const varnik::PluginLoader& HostPlugins();
/// The plug-in folder the host loaded.
const QString& HostPluginFolder();
/// The folder given with --project, empty when none was.
const QString& HostProjectFolder();
/// GL_MAX_TEXTURE_SIZE of the host's context.
unsigned int HostMaxTextureSize();
