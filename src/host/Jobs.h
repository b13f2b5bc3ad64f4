#pragma once
#include <QString>
#include <QTextStream>

namespace varnik {
class GLContext;
class PluginLoader;
}

// Jobs of the headless host. Each prints what it did to `out` and returns 0 on
// success, non-zero on failure. They run after the GL context is current and
// the plug-in folder is loaded.

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
