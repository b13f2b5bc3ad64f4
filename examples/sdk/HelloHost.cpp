// A minimal host: a headless GL context, the plug-ins of one folder, and the
// most recently registered action run once. Exits non-zero when any of it fails.
#include <GL/glew.h>

#include <cstdio>
#include <memory>
#include "varnik/Action.h"
#include "varnik/Error.h"
#include "varnik/GLContext.h"
#include "varnik/Kernel.h"
#include "varnik/Plugin.h"

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: hello-host PLUGIN_FOLDER\n");
        return 1;
    }
    varnik::GLContext cContext;
    if (!cContext.Create()) {
        std::fprintf(stderr, "hello-host: no OpenGL context: %s\n", qPrintable(cContext.ErrorText()));
        return 2;
    }
    int iResult = 0;
    {
        varnik::PluginLoader cLoader;
        if (cLoader.LoadFolder(QString::fromLocal8Bit(argv[1])) != 1) {
            std::fprintf(stderr, "hello-host: expected one module in %s\n", argv[1]);
            iResult = 3;
        } else {
            try {
                std::unique_ptr<varnik::Node> pNode(varnik::Kernel::CreateClassInstance(varnik::Action::StaticClass()));
                varnik::Action* pAction = dynamic_cast<varnik::Action*>(pNode.get());
                pAction->Execute();
                std::printf("hello-host: ran \"%s\" of %s; video memory now %lld bytes\n",
                            qPrintable(pNode->Name()), qPrintable(pNode->RuntimeClass()->Name()),
                            static_cast<long long>(varnik::Kernel::VideoMemoryUsage()));
                if (varnik::Kernel::VideoMemoryUsage() != 0 || glGetError() != GL_NO_ERROR)
                    iResult = 4;
            } catch (varnik::Error* pError) {
                std::fprintf(stderr, "hello-host: %s\n", qPrintable(pError->Describe()));
                varnik::Error::Discard(pError);
                iResult = 4;
            }
        }
        cLoader.UnloadAll();
    }
    cContext.Destroy();
    return iResult;
}
