// The texture mixer against a CPU model of its blend modes, on real textures.
#include "TextureTestKit.h"
#include <algorithm>
#include <array>
#include <cmath>
#include <type_traits>
#include <vector>
#include "varnik/Store.h"
#include "varnik/TextureMixer.h"
#include "TestTexture.h"

using texkit::MakeRGBA8;
using varnik::Image;
using varnik::TextureMixer;
using varnik::test::ErrorTextOf;
using varnik::test::GLStateSnapshot;

namespace {

typedef std::array<float, 4> Rgba;

/// Source-over of straight-alpha colours with the separable blends, on the CPU.
Rgba Blend(unsigned int iMode, Rgba d, Rgba s, float fAlpha0, float fAlpha1)
{
    d[3] *= fAlpha0;
    s[3] *= fAlpha1;
    const float sa = s[3], da = d[3];
    Rgba o;
    if (iMode >= 4) {
        o = iMode == 4 ? d : s;
        o[3] = iMode == 4 ? da * (1.f - sa) : sa;
        return o;
    }
    const float a = sa + da * (1.f - sa);
    for (int c = 0; c < 3; ++c) {
        const float fB = iMode == 0 ? s[c] : iMode == 1 ? std::min(1.f, d[c] + s[c])
                         : iMode == 2 ? d[c] * s[c] : d[c] + s[c] - d[c] * s[c];
        o[c] = a > 0.f ? (sa * (1.f - da) * s[c] + sa * da * fB + (1.f - sa) * da * d[c]) / a : 0.f;
    }
    o[3] = std::min(a, 1.f);
    return o;
}

/// A test texture with a mipmap filter but no mipmaps: the mixer must sample it anyway.
struct GLTexture : testtex::TestTexture
{
    GLTexture(int w, int h, const std::vector<uint8_t>& a) : GLTexture(w, h, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, a.data()) {}
    GLTexture(int w, int h, GLenum eInternal, GLenum eFormat, GLenum eType, const void* pData)
        : TestTexture(w, h, eInternal, eFormat, eType, pData), iName(OpenGLName())
    {
        glTextureParameteri(iName, GL_TEXTURE_MIN_FILTER, GL_LINEAR_MIPMAP_LINEAR);
    }
    const GLuint iName;
};

std::vector<float> PatternF(int w, int h, int iSeed)
{
    std::vector<float> a(size_t(w * h * 4));
    for (size_t i = 0; i < a.size(); ++i) {
        float f = float((i * 29 + size_t(iSeed) * 13) % 101) / 100.f;
        a[i] = i % 4 == 3 ? f : f * 1.5f;  // colours above 1 must survive in float
    }
    return a;
}

class TextureMixerTest : public varnik::test::GLTest
{
protected:
    /// Mixes `iSource` over `iLayer0` into `iTarget` inside `aBox` (or everywhere).
    void Mix(unsigned int iMode, GLuint iLayer0, GLuint iSource, GLuint iTarget, int w, int h, Image::Format eFormat,
             const int* aBox, const varnik::Store<float>* pWeights = nullptr, float fOpacity1 = 1.f)
    {
        TextureMixer cMixer;
        cMixer.SetLayerCount(2);
        cMixer.SetLayer(0, iLayer0, 1.f, 0, 1.f);
        cMixer.SetLayer(1, iSource, fOpacity1, 0, 1.f);
        cMixer.SetBlendMode(iMode);
        cMixer.SetWeights(pWeights);
        if (aBox) {
            glEnable(GL_SCISSOR_TEST);
            glScissor(aBox[0], aBox[1], aBox[2], aBox[3]);
        }
        cMixer.MixIntoTexture(iTarget, unsigned(w), unsigned(h), eFormat);
        glDisable(GL_SCISSOR_TEST);
    }
};

/// Checks a result against the model: inside the box `aBase` blended with `aSource`,
/// outside it `aOutside` unchanged. 8-bit within 1 step, float within `fTolerance`.
template <typename T>
void ExpectMix(const std::vector<T>& aResult, const std::vector<T>& aOutside, const std::vector<T>& aBase,
               const std::vector<T>& aSource, int w, int h, unsigned int iMode, const int* aBox,
               float fAlpha0 = 1.f, float fAlpha1 = 1.f, float fTolerance = 1.f)
{
    constexpr bool bBytes = std::is_same<T, uint8_t>::value;
    const float fScale = bBytes ? 255.f : 1.f;
    auto At = [&](const std::vector<T>& a, size_t i) {
        return Rgba{a[i] / fScale, a[i + 1] / fScale, a[i + 2] / fScale, a[i + 3] / fScale};
    };
    float fWorst = 0.f;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const size_t i = size_t(y * w + x) * 4;
            if (aBox && (x < aBox[0] || y < aBox[1] || x >= aBox[0] + aBox[2] || y >= aBox[1] + aBox[3])) {
                for (size_t c = 0; c < 4; ++c)
                    ASSERT_EQ(aResult[i + c], aOutside[i + c]) << "outside the box at " << x << "," << y;
                continue;
            }
            const Rgba o = Blend(iMode, At(aBase, i), At(aSource, i), fAlpha0, fAlpha1);
            for (size_t c = 0; c < 4; ++c) {
                const float fExpected = bBytes ? float(std::lround(std::min(std::max(o[c], 0.f), 1.f) * 255.f)) : o[c];
                fWorst = std::max(fWorst, std::fabs(float(aResult[i + c]) - fExpected));
            }
        }
    EXPECT_LE(fWorst, fTolerance) << "mode " << iMode;
}

} // namespace

// Layer 0 is the target: 8-bit within one step, and float keeping values
// above 1 (half keeps 11 bits).
TEST_F(TextureMixerTest, EveryModeOnEachTargetFormatWhenLayer0IsTheTarget)
{
    const int w = 32, h = 24;
    const int aBox[4] = {5, 7, 20, 11};
    auto aSource = MakeRGBA8(w, h, 2);
    auto aSourceF = PatternF(w, h, 5);
    GLTexture cSource(w, h, aSource), cSourceF(w, h, GL_RGBA32F, GL_RGBA, GL_FLOAT, aSourceF.data());
    for (unsigned int iMode = 0; iMode <= 5; ++iMode) {
        auto aBefore = MakeRGBA8(w, h, 1);
        GLTexture cTarget(w, h, aBefore);
        Mix(iMode, cTarget.iName, cSource.iName, cTarget.iName, w, h, Image::e8integer, aBox);
        ExpectMix(varnik::test::ReadTextureRGBA8(cTarget.iName, w, h), aBefore, aBefore, aSource, w, h, iMode, aBox);
        for (GLenum eInternal : {GLenum(GL_RGBA32F), GLenum(GL_RGBA16F)}) {
            const bool b32 = eInternal == GL_RGBA32F;
            SCOPED_TRACE(b32 ? "RGBA32F" : "RGBA16F");
            auto aBeforeF = PatternF(w, h, 3);
            GLTexture cTargetF(w, h, eInternal, GL_RGBA, GL_FLOAT, aBeforeF.data());
            auto aStored = varnik::test::ReadTextureRGBA32F(cTargetF.iName, w, h);  // as the format keeps it
            Mix(iMode, cTargetF.iName, cSourceF.iName, cTargetF.iName, w, h, b32 ? Image::e32float : Image::e16float,
                aBox);
            ExpectMix(varnik::test::ReadTextureRGBA32F(cTargetF.iName, w, h), aStored, aStored, aSourceF, w, h, iMode,
                      aBox, 1.f, 1.f, b32 ? 1e-3f : 2e-3f);
        }
    }
}

TEST_F(TextureMixerTest, WeightsAndOpacityScaleEachLayersAlpha)
{
    const int w = 16, h = 8;
    auto aSource = MakeRGBA8(w, h, 4);
    GLTexture cSource(w, h, aSource);
    struct Case { std::vector<float> aWeights; float fOpacity1; float fAlpha0; float fAlpha1; };
    const Case aCases[] = {
        {{0.75f}, 1.f, 0.75f, 1.f},        // a missing weight is 1
        {{}, 0.5f, 1.f, 0.5f},             // the layer's own opacity
        {{0.5f, 0.5f}, 0.5f, 0.5f, 0.25f}, // both together
    };
    for (const Case& c : aCases) {
        varnik::Store<float> cWeights("unknown", c.aWeights.size());
        for (size_t i = 0; i < c.aWeights.size(); ++i)
            cWeights[i] = c.aWeights[i];
        auto aBefore = MakeRGBA8(w, h, 9);
        GLTexture cTarget(w, h, aBefore);
        Mix(0, cTarget.iName, cSource.iName, cTarget.iName, w, h, Image::e8integer, nullptr,
            c.aWeights.empty() ? nullptr : &cWeights, c.fOpacity1);
        SCOPED_TRACE(testing::Message() << "alphas " << c.fAlpha0 << ", " << c.fAlpha1);
        ExpectMix(varnik::test::ReadTextureRGBA8(cTarget.iName, w, h), aBefore, aBefore, aSource, w, h, 0, nullptr,
                  c.fAlpha0, c.fAlpha1);
    }
}

// Layer 0 apart from the target is only read, also when layer 1 is the
// target; a scissor box partly outside is clipped, and an empty one mixes nothing.
TEST_F(TextureMixerTest, SeparateLayer0AndScissorBoxesPartlyOutsideOrEmpty)
{
    const int w = 16, h = 16;
    const int aBox[4] = {0, 0, 8, 16};
    auto aBase = MakeRGBA8(w, h, 6), aSource = MakeRGBA8(w, h, 7), aTarget = MakeRGBA8(w, h, 8);
    GLTexture cBase(w, h, aBase), cSource(w, h, aSource), cTarget(w, h, aTarget);
    Mix(3, cBase.iName, cSource.iName, cTarget.iName, w, h, Image::e8integer, aBox);
    ExpectMix(varnik::test::ReadTextureRGBA8(cTarget.iName, w, h), aTarget, aBase, aSource, w, h, 3, aBox);
    EXPECT_EQ(varnik::test::ReadTextureRGBA8(cBase.iName, w, h), aBase);
    GLTexture cOver(w, h, aTarget);
    Mix(0, cBase.iName, cOver.iName, cOver.iName, w, h, Image::e8integer, nullptr);
    ExpectMix(varnik::test::ReadTextureRGBA8(cOver.iName, w, h), aTarget, aBase, aTarget, w, h, 0, nullptr);

    const int aEmpty[4] = {3, 3, 0, 5};
    Mix(5, cBase.iName, cSource.iName, cBase.iName, w, h, Image::e8integer, aEmpty);
    EXPECT_EQ(varnik::test::ReadTextureRGBA8(cBase.iName, w, h), aBase);
    const int aOver[4] = {-4, 5, 100, 100};
    Mix(5, cBase.iName, cSource.iName, cBase.iName, w, h, Image::e8integer, aOver);
    const int aClipped[4] = {0, 5, 16, 11};
    ExpectMix(varnik::test::ReadTextureRGBA8(cBase.iName, w, h), aBase, aBase, aSource, w, h, 5, aClipped);
}

TEST_F(TextureMixerTest, StatePutBackAfterMixAndAfterErrors)
{
    auto aPixels = MakeRGBA8(8, 8, 1), aSource = MakeRGBA8(8, 8, 2);
    GLTexture cTarget(8, 8, aPixels), cSource(8, 8, aSource);
    GLTexture cDepth(8, 8, GL_DEPTH_COMPONENT24, GL_DEPTH_COMPONENT, GL_UNSIGNED_INT, nullptr);
    GLTexture cBound(4, 4, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, nullptr);
    GLuint iFbo = 0, iSampler = 0;
    glGenFramebuffersEXT(1, &iFbo);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, iFbo);
    glGenSamplers(1, &iSampler);
    glActiveTexture(GL_TEXTURE1);
    glBindTexture(GL_TEXTURE_2D, cBound.iName);
    glBindSampler(1, iSampler);
    glEnable(GL_DEPTH_TEST);
    glColorMask(GL_TRUE, GL_FALSE, GL_TRUE, GL_FALSE);
    glViewport(1, 2, 3, 4);
    glEnable(GL_SCISSOR_TEST);
    glScissor(1, 1, 5, 5);
    const GLStateSnapshot cBefore;

    TextureMixer cMixer;
    EXPECT_EQ(ErrorTextOf([&] { cMixer.MixIntoTexture(cTarget.iName, 8, 8, Image::e8integer); }),
              QString("Two layers are needed, 0 set"));
    cMixer.SetLayerCount(2);
    EXPECT_FALSE(ErrorTextOf([&] { cMixer.SetLayer(2, cSource.iName, 1.f, 0, 1.f); }).isEmpty());
    EXPECT_EQ(ErrorTextOf([&] { cMixer.MixIntoTexture(cTarget.iName, 8, 8, Image::e8integer); }),
              QString("Layer 0 has no texture (name 0)"));
    cMixer.SetLayer(0, cTarget.iName, 1.f, 0, 1.f);
    cMixer.SetLayer(1, 987654, 1.f, 0, 1.f);
    EXPECT_EQ(ErrorTextOf([&] { cMixer.MixIntoTexture(cTarget.iName, 8, 8, Image::e8integer); }),
              QString("Layer 1 has no texture (name 987654)"));
    cMixer.SetLayer(1, cSource.iName, 1.f, 0, 1.f);
    EXPECT_EQ(ErrorTextOf([&] { cMixer.SetBlendMode(6); }), QString("Unknown blend mode 6"));
    for (Image::Format eFormat : {Image::e32integer, Image::e16depth})
        EXPECT_EQ(ErrorTextOf([&] { cMixer.MixIntoTexture(cTarget.iName, 8, 8, eFormat); }),
                  QString("Cannot draw into a texture of format %1").arg(unsigned(eFormat)));
    EXPECT_FALSE(ErrorTextOf([&] { cMixer.MixIntoTexture(0, 8, 8, Image::e8integer); }).isEmpty());
    EXPECT_FALSE(ErrorTextOf([&] { cMixer.MixIntoTexture(cTarget.iName, 0, 8, Image::e8integer); }).isEmpty());
    // A depth texture claimed to be colour: refused by the framebuffer check.
    QString sText = ErrorTextOf([&] { cMixer.MixIntoTexture(cDepth.iName, 8, 8, Image::e8integer); });
    EXPECT_TRUE(sText.startsWith("Cannot draw into texture")) << sText.toStdString();
    EXPECT_TRUE(GLStateSnapshot() == cBefore) << "state changed by a refused mix";

    cMixer.SetBlendMode(TextureMixer::eReplace);
    cMixer.MixIntoTexture(cTarget.iName, 8, 8, Image::e8integer);
    EXPECT_TRUE(GLStateSnapshot() == cBefore) << "state changed by a mix";
    // The target keeps its mipmap range.
    GLint iMaxLevel = 0;
    glGetTextureParameteriv(cTarget.iName, GL_TEXTURE_MAX_LEVEL, &iMaxLevel);
    EXPECT_EQ(iMaxLevel, 1000);
    // The mix honoured the caller's scissor box, not the colour mask.
    const int aScissor[4] = {1, 1, 5, 5};
    ExpectMix(varnik::test::ReadTextureRGBA8(cTarget.iName, 8, 8), aPixels, aPixels, aSource, 8, 8, 5, aScissor);

    glDisable(GL_SCISSOR_TEST);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glDisable(GL_DEPTH_TEST);
    glBindSampler(1, 0);
    glDeleteSamplers(1, &iSampler);
    glBindTexture(GL_TEXTURE_2D, 0);
    glActiveTexture(GL_TEXTURE0);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    glDeleteFramebuffersEXT(1, &iFbo);
}

TEST_F(TextureMixerTest, StrokeOnTransparentLayerKeepsItsColour)
{
    // Half-opaque red over an empty and over a half-transparent blue layer: the
    // stroke's own colour comes out, not a darkened one.
    struct Case { std::vector<uint8_t> aDest; unsigned int iMode; std::array<int, 4> aExpected; };
    const Case aCases[] = {
        {{0, 0, 0, 0}, 2, {255, 0, 0, 128}},
        // da = .5: A = .75, rgb = (.25 s + .25 B + .25 d) / .75
        {{0, 0, 255, 128}, 0, {170, 0, 85, 191}}, {{0, 0, 255, 128}, 2, {85, 0, 85, 191}},
    };
    GLTexture cSource(1, 1, std::vector<uint8_t>{255, 0, 0, 255});
    for (const Case& c : aCases) {
        GLTexture cTarget(1, 1, c.aDest);
        Mix(c.iMode, cTarget.iName, cSource.iName, cTarget.iName, 1, 1, Image::e8integer, nullptr, nullptr, 0.5f);
        const std::vector<uint8_t> aOut = varnik::test::ReadTextureRGBA8(cTarget.iName, 1, 1);
        for (size_t i = 0; i < 4; ++i)
            EXPECT_NEAR(aOut[i], c.aExpected[i], 1) << "mode " << c.iMode << " channel " << i << " over " << int(c.aDest[3]);
    }
}
