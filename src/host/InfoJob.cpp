// The "info" job: what the host runs on and what its modules brought.
#include <GL/glew.h>

#include "Jobs.h"
#include "varnik/ClassDesc.h"
#include "varnik/GLContext.h"
#include "varnik/Plugin.h"

namespace {

QString ParentName(const varnik::ClassDesc* pClass)
{
    return pClass->Parent() ? pClass->Parent()->Name() : QStringLiteral("-");
}

} // namespace

int RunInfoJob(QTextStream& out)
{
    const varnik::GLContext& cContext = HostContext();
    out << "OpenGL vendor:   " << cContext.Vendor() << "\n";
    out << "OpenGL renderer: " << cContext.Renderer() << "\n";
    out << "OpenGL version:  " << cContext.Version() << "\n";
    out << "EGL device:      " << cContext.DeviceKind() << "\n";

    const varnik::PluginLoader& cLoader = HostPlugins();
    out << "Plug-in folder:  " << HostPluginFolder() << "\n";
    out << "Modules loaded:  " << cLoader.Modules().size() << "\n";
    for (const varnik::PluginLoader::Module& cModule : cLoader.Modules()) {
        out << "  " << cModule.sFile << "\n";
        for (const varnik::Plugin* pPlugin : cModule.aPlugins) {
            out << "    name:        " << pPlugin->Name() << "\n";
            out << "    description: " << pPlugin->Description() << "\n";
            out << "    author:      " << pPlugin->Author() << "\n";
            out << "    web address: " << pPlugin->WebAddress() << "\n";
            out << "    build stamp: " << pPlugin->BuildStamp() << "\n";
            out << "    initialised: " << (pPlugin->IsInitialized() ? "yes" : "no") << "\n";
        }
    }

    const int iClasses = varnik::ClassDesc::Count();
    out << "Registered classes: " << iClasses << "\n";
    for (int i = 0; i < iClasses; ++i) {
        const varnik::ClassDesc* pClass = varnik::ClassDesc::At(i);
        if (!pClass)
            continue;
        out << "  " << pClass->Name().leftJustified(24)
            << " parent " << ParentName(pClass).leftJustified(16)
            << " version " << QString::number(pClass->Version()).leftJustified(4)
            << (pClass->CreatorFunction() ? " class    " : " interface")
            << "  \"" << pClass->DisplayName() << "\"\n";
    }
    return 0;
}
