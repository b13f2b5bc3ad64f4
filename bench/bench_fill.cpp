// Measures the colour fill of a live texture (the colour Create) against the
// least a program can do for the same result: allocate the storage and clear it
// through a framebuffer. GL only, so that it runs where no image codec is
// installed. Ends with one line per target (BenchKit.h), exit 3 when one missed.
//
//   bench_fill           8192^2 RGBA8
//   bench_fill --quick   2048^2
#include <GL/glew.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include "BenchKit.h"
#include "Texture.h"
#include "varnik/Error.h"
#include "varnik/GLContext.h"
#include "varnik/Kernel.h"
#include "varnik/ProcessAllocator.h"

namespace {

void ColourCreate(unsigned int iSize, bench::Targets& cTargets)
{
    varnik::Node* pNode = varnik::Kernel::CreateClassInstance(VarnikTexture::StaticClass());
    std::unique_ptr<VarnikTexture> pTexture(dynamic_cast<VarnikTexture*>(pNode));
    if (!pTexture) {
        delete pNode;
        throw (new varnik::Error(QString(), 4, "bench_fill", "bench/bench_fill", __LINE__))
            ->Format("the class registry made no VarnikTexture");
    }
    const varnik::Color cColour(0.1f, 0.2f, 0.3f, 1.f);
    GLuint iTexture = 0;
    glGenTextures(1, &iTexture);
    auto fBare = [&] {
        GLint iSavedTexture = 0, iSavedFramebuffer = 0, aViewport[4];
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &iSavedTexture);
        glGetIntegerv(GL_FRAMEBUFFER_BINDING, &iSavedFramebuffer);
        glGetIntegerv(GL_VIEWPORT, aViewport);
        glBindTexture(GL_TEXTURE_2D, iTexture);
        glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, GLsizei(iSize), GLsizei(iSize), 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
        GLuint iFramebuffer = 0;
        glGenFramebuffers(1, &iFramebuffer);
        glBindFramebuffer(GL_FRAMEBUFFER, iFramebuffer);
        glFramebufferTexture2D(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, iTexture, 0);
        glViewport(0, 0, GLsizei(iSize), GLsizei(iSize));
        glClearColor(cColour.r, cColour.g, cColour.b, cColour.a);
        glClear(GL_COLOR_BUFFER_BIT);
        glClearColor(0.f, 0.f, 0.f, 0.f);
        glBindFramebuffer(GL_FRAMEBUFFER, GLuint(iSavedFramebuffer));
        glDeleteFramebuffers(1, &iFramebuffer);
        glViewport(aViewport[0], aViewport[1], aViewport[2], aViewport[3]);
        glBindTexture(GL_TEXTURE_2D, GLuint(iSavedTexture));
    };
    const bench::Samples s = bench::Interleave(1, 7, {
        {"colour Create", [&] { pTexture->Create(iSize, iSize, 4, varnik::Image::e8integer, cColour); }, nullptr},
        {"allocate + glClear", fBare, nullptr},
    }, [] { glFinish(); });
    const bench::Spread cRatio = bench::Ratios(s[0], s[1]);
    std::printf("colour Create %u^2 RGBA8: %.3f ms, allocate + glClear %.3f ms (medians); ratio %.3f (min %.3f, max %.3f)\n",
                iSize, bench::Seconds(s[0]).fMedian * 1e3, bench::Seconds(s[1]).fMedian * 1e3, cRatio.fMedian,
                cRatio.fMin, cRatio.fMax);
    cTargets.Add("colour Create/allocate + glClear " + std::to_string(iSize) + "^2 RGBA8", cRatio, 1.2);
    glDeleteTextures(1, &iTexture);
}

} // namespace

int main(int argc, char** argv)
{
    varnik::ProcessAllocator::Configure();
    const bool bQuick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
    varnik::GLContext cContext;
    if (!cContext.Create()) {
        std::fprintf(stderr, "bench_fill: no GL context: %s\n", cContext.ErrorText().toLocal8Bit().constData());
        return 2;
    }
    std::printf("bench_fill on %s (%s, %s)\n", cContext.Renderer().toLocal8Bit().constData(),
                cContext.Version().toLocal8Bit().constData(), cContext.DeviceKind().toLocal8Bit().constData());
    VarnikTexture::InitializePlugin();
    bench::Targets cTargets;
    try {
        ColourCreate(bQuick ? 2048 : 8192, cTargets);
    } catch (varnik::Error* pError) {
        std::fprintf(stderr, "bench_fill: %s\n", pError->Describe().toLocal8Bit().constData());
        varnik::Error::Discard(pError);
        return 1;
    }
    if (varnik::Kernel::VideoMemoryUsage() != 0) {
        std::printf("WARNING: the video-memory ledger ends at %lld bytes, not 0\n",
                    static_cast<long long>(varnik::Kernel::VideoMemoryUsage()));
        return 1;
    }
    return cTargets.Print() > 0 ? 3 : 0;
}
