// Cost of mixing a small painted box into a large layer versus a small one.
// The mixer touches only the scissor box (and copies only that box of the
// layer it also writes), so the time should not grow with the layer's size.
// Prints the time per mix for each size and ends with the target line of
// their ratio (see BenchKit.h). Arguments: [--quick] [mixes per size].
#include <GL/glew.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>
#include "BenchKit.h"
#include "varnik/Error.h"
#include "varnik/GLContext.h"
#include "varnik/ProcessAllocator.h"
#include "varnik/TextureMixer.h"

namespace {

GLuint MakeTexture(int iSize, unsigned char iValue)
{
    GLuint iName = 0;
    glGenTextures(1, &iName);
    glBindTexture(GL_TEXTURE_2D, iName);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGBA8, iSize, iSize, 0, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    const unsigned char aColor[4] = {iValue, iValue, iValue, 255};
    glClearTexImage(iName, 0, GL_RGBA, GL_UNSIGNED_BYTE, aColor);  // real storage, not lazy
    glBindTexture(GL_TEXTURE_2D, 0);
    return iName;
}

/// Seconds per mix of a 64x64 box at a spot that moves over the layer.
double TimeMixes(varnik::TextureMixer& cMixer, GLuint iTarget, GLuint iSource, int iSize, int iCount)
{
    cMixer.SetLayer(0, iTarget, 1.f, 0, 1.f);
    cMixer.SetLayer(1, iSource, 1.f, 0, 1.f);
    glEnable(GL_SCISSOR_TEST);
    glFinish();
    auto tStart = std::chrono::steady_clock::now();
    for (int i = 0; i < iCount; ++i) {
        int x = (i * 977) % (iSize - 64), y = (i * 613) % (iSize - 64);
        glScissor(x, y, 64, 64);
        cMixer.MixIntoTexture(iTarget, unsigned(iSize), unsigned(iSize), varnik::Image::e8integer);
    }
    glFinish();
    auto tEnd = std::chrono::steady_clock::now();
    glDisable(GL_SCISSOR_TEST);
    return std::chrono::duration<double>(tEnd - tStart).count() / iCount;
}

} // namespace

int main(int argc, char** argv)
{
    varnik::ProcessAllocator::Configure();
    int iCount = 200;
    for (int i = 1; i < argc; ++i)
        iCount = std::strcmp(argv[i], "--quick") == 0 ? 40 : std::atoi(argv[i]);
    if (iCount < 1)
        iCount = 1;
    varnik::GLContext cContext;
    if (!cContext.Create()) {
        std::fprintf(stderr, "no GL context: %s\n", cContext.ErrorText().toLocal8Bit().constData());
        return 1;
    }
    std::printf("renderer: %s\n", cContext.Renderer().toLocal8Bit().constData());
    int iMissed = 0;
    try {
        GLuint iLarge = MakeTexture(8192, 40), iSmall = MakeTexture(1024, 40);
        GLuint iSource = MakeTexture(1024, 200);
        varnik::TextureMixer cMixer;
        cMixer.SetLayerCount(2);
        cMixer.SetBlendMode(varnik::TextureMixer::eNormal);
        // Warm up: program, scratch texture and framebuffers are made once.
        TimeMixes(cMixer, iSmall, iSource, 1024, 5);
        TimeMixes(cMixer, iLarge, iSource, 8192, 5);
        // Interleaved rounds so that a slow moment hits both sizes alike.
        const int iRounds = 5, iPerRound = iCount / iRounds + 1;
        std::vector<double> aSmall, aLarge, aRatios;
        for (int r = 0; r < iRounds; ++r) {
            aSmall.push_back(TimeMixes(cMixer, iSmall, iSource, 1024, iPerRound));
            aLarge.push_back(TimeMixes(cMixer, iLarge, iSource, 8192, iPerRound));
            aRatios.push_back(aLarge.back() / aSmall.back());
        }
        std::printf("64x64 box into 1024^2 layer: %.3f ms per mix (median)\n", bench::SpreadOf(aSmall).fMedian * 1e3);
        std::printf("64x64 box into 8192^2 layer: %.3f ms per mix (median)\n", bench::SpreadOf(aLarge).fMedian * 1e3);
        const GLenum eError = glGetError();
        if (eError != GL_NO_ERROR)
            std::printf("GL error 0x%04x: the figures are not valid\n", eError);
        bench::Targets cTargets;
        const char* sName = "mix 64x64 into 8192^2/into 1024^2";
        eError == GL_NO_ERROR ? cTargets.Add(sName, bench::SpreadOf(aRatios), 1.5) : cTargets.Failed(sName, 1.5);
        iMissed = cTargets.Print();
        varnik::TextureMixer::ReleaseSharedResources();
        GLuint aNames[3] = {iLarge, iSmall, iSource};
        glDeleteTextures(3, aNames);
    } catch (varnik::Error* pError) {
        std::fprintf(stderr, "%s\n", pError->Describe().toLocal8Bit().constData());
        varnik::Error::Discard(pError);
        return 1;
    }
    return iMissed > 0 ? 3 : 0;
}
