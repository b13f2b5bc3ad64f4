// A minimal plug-in: one descriptor and one action that fills a small GL
// texture and reports its video memory to the host while it exists.
#include <GL/glew.h>

#include "varnik/Action.h"
#include "varnik/ClassDesc.h"
#include "varnik/Kernel.h"
#include "varnik/Plugin.h"

namespace {

class HelloAction : public varnik::Action
{
public:
    HelloAction() { varnik::Node::SetName("Hello"); }
    static const varnik::ClassDesc* StaticClass();
    const varnik::ClassDesc* RuntimeClass() const override { return StaticClass(); }

    void Execute() override
    {
        const GLsizei iSize = 16;
        GLuint iName = 0;
        glGenTextures(1, &iName);
        glBindTexture(GL_TEXTURE_2D, iName);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, iSize, iSize, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        glBindTexture(GL_TEXTURE_2D, 0);
        varnik::Kernel::ReportVideoMemoryUsage(iSize * iSize * 4);
        varnik::Kernel::Log(QString("HelloPlugin: texture %1 made\n").arg(iName));
        glDeleteTextures(1, &iName);
        varnik::Kernel::ReportVideoMemoryUsage(-iSize * iSize * 4);
    }
};

varnik::ClassDesc s_cHelloClass(varnik::Action::StaticClass(), varnik::Action::StaticClass(), "HelloAction",
                                "Hello Action", &varnik::CreateInstancesOf<HelloAction>, 0, 0);

void InitializeHello() { varnik::Kernel::Log("HelloPlugin: initialised\n"); }

varnik::Plugin s_cPlugin("Hello", "SDK example plug-in", "SDK example", "https://example.invalid/hello",
                         __DATE__ " " __TIME__, &InitializeHello);

const varnik::ClassDesc* HelloAction::StaticClass() { return &s_cHelloClass; }

} // namespace
