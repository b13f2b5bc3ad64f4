#include <GL/glew.h>
#include "GLProgram.h"
#include <algorithm>
#include <QByteArray>
#include "varnik/TextureMixer.h"
#include "varnik/Error.h"
#include "varnik/Store.h"

namespace varnik {

unsigned int TextureMixer::s_iCompositingFBO = 0;

namespace {

const char* const s_sFile = "src/framework/TextureMixer";

// Shared by every mixer of the process; made on first mix.
GLuint s_iProgram = 0;             // the blend program
// Box-sized textures in the target's own format: slots 0 and 1 hold a copy
// of the box of a layer that is also the target; slot 2 receives the drawing,
// which is then copied into the target's box. Drawing into a box-sized
// texture rather than the whole target keeps the cost of a mix independent
// of the target's size (drivers spend per-frame work on the framebuffer's size).
const int s_iOutputSlot = 2;
GLuint s_aScratch[3] = {0, 0, 0};
GLint s_aScratchSize[3][2] = {{0, 0}, {0, 0}, {0, 0}};  // allocated width, height of each
GLint s_aScratchFormat[3] = {0, 0, 0};                  // internal format of each
GLuint s_iNearestSampler = 0;      // layers of the target's size: one texel per fragment
GLuint s_iLinearSampler = 0;       // layers of another size are scaled

// Uniform locations of the blend program, looked up once when it is linked.
struct Uniforms
{
    GLint iLayer0 = -1, iLayer1 = -1, iFromScratch = -1, iBoxOrigin = -1, iTargetSize = -1, iAlphaScale = -1,
          iBrightness = -1, iMode = -1;
};
Uniforms s_cUniforms;

// The drawing covers the box only: a fragment's position in the target is its
// position plus the box origin. Layers are sampled at that relative position;
// a layer that is also the target is read from its box-sized copy. Colours are
// straight (not premultiplied).
const char* const s_sVertexShader =
    "#version 130\n"
    "void main() { gl_Position = gl_Vertex; }\n";

const char* const s_sFragmentShader =
    "#version 130\n"
    "uniform sampler2D uLayer0;\n"
    "uniform sampler2D uLayer1;\n"
    "uniform ivec2 uFromScratch;\n"
    "uniform ivec2 uBoxOrigin;\n"
    "uniform vec2 uTargetSize;\n"
    "uniform vec2 uAlphaScale;\n"
    "uniform vec2 uBrightness;\n"
    "uniform int uMode;\n"
    "vec4 Fetch(sampler2D s, int iFromScratch) {\n"
    "    if (iFromScratch != 0) return texelFetch(s, ivec2(gl_FragCoord.xy), 0);\n"
    "    return texture(s, (gl_FragCoord.xy + vec2(uBoxOrigin)) / uTargetSize);\n"
    "}\n"
    "void main() {\n"
    "    vec4 d = Fetch(uLayer0, uFromScratch.x);\n"
    "    vec4 s = Fetch(uLayer1, uFromScratch.y);\n"
    "    d.rgb *= uBrightness.x; d.a *= uAlphaScale.x;\n"
    "    s.rgb *= uBrightness.y; s.a *= uAlphaScale.y;\n"
    "    float a = s.a + d.a * (1.0 - s.a);\n"
    "    vec3 c;\n"
    "    if (uMode <= 3) {\n"
    "        vec3 b;\n"
    "        if (uMode == 0) b = s.rgb;\n"
    "        else if (uMode == 1) b = min(vec3(1.0), d.rgb + s.rgb);\n"
    "        else if (uMode == 2) b = d.rgb * s.rgb;\n"
    "        else b = d.rgb + s.rgb - d.rgb * s.rgb;\n"
    "        c = a > 0.0 ? (s.a * (1.0 - d.a) * s.rgb + s.a * d.a * b + (1.0 - s.a) * d.a * d.rgb) / a\n"
    "                    : vec3(0.0);\n"
    "    }\n"
    "    else if (uMode == 4) { c = d.rgb; a = d.a * (1.0 - s.a); }\n"
    "    else { c = s.rgb; a = s.a; }\n"
    "    a = clamp(a, 0.0, 1.0);\n"
    "    gl_FragColor = vec4(c, a);\n"
    "}\n";

[[noreturn]] void Fail(const char* sFunction, unsigned int iLine, const QString& sMessage)
{
    throw (new Error(QString(), 4, sFunction, s_sFile, iLine))->Format(sMessage);
}

// Makes the program, samplers and framebuffers; binds nothing.
void MakeSharedResources()
{
    if (!s_iProgram) {
        GLuint iProgram = BuildGLProgram(s_sVertexShader, s_sFragmentShader, "blend", "TextureMixer::MixIntoTexture",
                                         s_sFile);
        s_iProgram = iProgram;
        s_cUniforms.iLayer0 = glGetUniformLocation(iProgram, "uLayer0");
        s_cUniforms.iLayer1 = glGetUniformLocation(iProgram, "uLayer1");
        s_cUniforms.iFromScratch = glGetUniformLocation(iProgram, "uFromScratch");
        s_cUniforms.iBoxOrigin = glGetUniformLocation(iProgram, "uBoxOrigin");
        s_cUniforms.iTargetSize = glGetUniformLocation(iProgram, "uTargetSize");
        s_cUniforms.iAlphaScale = glGetUniformLocation(iProgram, "uAlphaScale");
        s_cUniforms.iBrightness = glGetUniformLocation(iProgram, "uBrightness");
        s_cUniforms.iMode = glGetUniformLocation(iProgram, "uMode");
    }
    if (!s_iNearestSampler) {
        // Samplers override the layers' own filters, so a layer with a mipmap
        // filter but no mipmaps still samples, and its parameters stay untouched.
        GLuint aSamplers[2];
        glGenSamplers(2, aSamplers);
        for (int i = 0; i < 2; ++i) {
            GLint iFilter = i == 0 ? GL_NEAREST : GL_LINEAR;
            glSamplerParameteri(aSamplers[i], GL_TEXTURE_MIN_FILTER, iFilter);
            glSamplerParameteri(aSamplers[i], GL_TEXTURE_MAG_FILTER, iFilter);
            glSamplerParameteri(aSamplers[i], GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
            glSamplerParameteri(aSamplers[i], GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
        }
        s_iNearestSampler = aSamplers[0];
        s_iLinearSampler = aSamplers[1];
    }
    if (!TextureMixer::s_iCompositingFBO)
        glGenFramebuffersEXT(1, &TextureMixer::s_iCompositingFBO);
}

// Makes scratch slot `i` at least iWidth x iHeight in `iInternal`; it only
// grows while the format stays, so small boxes after a large one cost nothing.
// Leaves the texture bound to the active unit: the caller has saved and
// restores that binding.
void EnsureScratch(int i, GLint iWidth, GLint iHeight, GLint iInternal)
{
    if (s_aScratch[i] && s_aScratchFormat[i] == iInternal && s_aScratchSize[i][0] >= iWidth &&
        s_aScratchSize[i][1] >= iHeight) {
        glBindTexture(GL_TEXTURE_2D, s_aScratch[i]);
        return;
    }
    GLint iNewWidth = iWidth, iNewHeight = iHeight;
    if (s_aScratchFormat[i] == iInternal) {
        iNewWidth = std::max(iWidth, s_aScratchSize[i][0]);
        iNewHeight = std::max(iHeight, s_aScratchSize[i][1]);
    }
    if (!s_aScratch[i])
        glGenTextures(1, &s_aScratch[i]);
    glBindTexture(GL_TEXTURE_2D, s_aScratch[i]);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    // The pixel format only has to suit the internal one: no data is given.
    bool bDepth = iInternal == GL_DEPTH_COMPONENT || iInternal == GL_DEPTH_COMPONENT16 ||
                  iInternal == GL_DEPTH_COMPONENT24 || iInternal == GL_DEPTH_COMPONENT32 ||
                  iInternal == GL_DEPTH_COMPONENT32F;
    glTexImage2D(GL_TEXTURE_2D, 0, iInternal, iNewWidth, iNewHeight, 0, bDepth ? GL_DEPTH_COMPONENT : GL_RGBA,
                 GL_FLOAT, nullptr);
    s_aScratchSize[i][0] = iNewWidth;
    s_aScratchSize[i][1] = iNewHeight;
    s_aScratchFormat[i] = iInternal;
}

} // namespace

TextureMixer::TextureMixer() = default;

TextureMixer::~TextureMixer() = default;

void TextureMixer::SetLayerCount(unsigned int iCount)
{
    m_aLayers.resize(iCount);
}

void TextureMixer::SetLayer(unsigned int iIndex, unsigned int iTextureName, float fOpacity, int iFlags,
                            float fBrightness)
{
    if (iIndex >= m_aLayers.size())
        Fail("TextureMixer::SetLayer", __LINE__,
             QString("Layer %1 does not exist (%2 layers)").arg(iIndex).arg(m_aLayers.size()));
    Layer& cLayer = m_aLayers[iIndex];
    cLayer.iName = iTextureName;
    cLayer.fOpacity = fOpacity;
    cLayer.iFlags = iFlags;
    cLayer.fBrightness = fBrightness;
}

void TextureMixer::SetBlendMode(unsigned int iMode)
{
    if (iMode > eReplace)
        Fail("TextureMixer::SetBlendMode", __LINE__, QString("Unknown blend mode %1").arg(iMode));
    m_iMode = iMode;
}

void TextureMixer::SetWeights(const Store<float>* pWeights)
{
    m_aWeights.clear();
    if (pWeights)
        m_aWeights.assign(pWeights->Data(), pWeights->Data() + pWeights->Count());
}

void TextureMixer::MixIntoTexture(unsigned int iTargetName, unsigned int iWidth, unsigned int iHeight,
                                  Image::Format eFormat)
{
    const char* sFunction = "TextureMixer::MixIntoTexture";
    // Everything that can be refused is refused before GL state changes.
    if (m_aLayers.size() < 2)
        Fail(sFunction, __LINE__, QString("Two layers are needed, %1 set").arg(m_aLayers.size()));
    if (eFormat == Image::e32integer || eFormat >= Image::e16depth)
        Fail(sFunction, __LINE__, QString("Cannot draw into a texture of format %1").arg(unsigned(eFormat)));
    if (iWidth == 0 || iHeight == 0)
        Fail(sFunction, __LINE__, QString("The target size %1 x %2 is empty").arg(iWidth).arg(iHeight));
    if (!iTargetName || !glIsTexture(iTargetName))
        Fail(sFunction, __LINE__, QString("The target %1 is not a texture").arg(iTargetName));
    for (int i = 0; i < 2; ++i)
        if (!m_aLayers[i].iName || !glIsTexture(m_aLayers[i].iName))
            Fail(sFunction, __LINE__, QString("Layer %1 has no texture (name %2)").arg(i).arg(m_aLayers[i].iName));
    if (!glCopyImageSubData)
        Fail(sFunction, __LINE__, "Texture copies (GL_ARB_copy_image) are not supported by the driver");
    MakeSharedResources();

    // The box drawn: the scissor box within the target, or the whole target.
    GLint aBox[4] = {0, 0, GLint(iWidth), GLint(iHeight)};
    GLboolean bScissor = glIsEnabled(GL_SCISSOR_TEST);
    if (bScissor) {
        GLint aScissor[4];
        glGetIntegerv(GL_SCISSOR_BOX, aScissor);
        GLint x0 = std::max(aScissor[0], 0), y0 = std::max(aScissor[1], 0);
        GLint x1 = std::min(aScissor[0] + aScissor[2], GLint(iWidth));
        GLint y1 = std::min(aScissor[1] + aScissor[3], GLint(iHeight));
        aBox[0] = x0;
        aBox[1] = y0;
        aBox[2] = std::max(x1 - x0, 0);
        aBox[3] = std::max(y1 - y0, 0);
    }
    if (aBox[2] == 0 || aBox[3] == 0)
        return;

    // Save what the mix changes.
    GLint iSavedProgram = 0, iSavedDraw = 0, iSavedRead = 0, iSavedUnit = 0;
    GLint aSavedViewport[4];
    GLint aSavedTexture[2], aSavedSampler[2];
    GLboolean aSavedColorMask[4];
    glGetIntegerv(GL_CURRENT_PROGRAM, &iSavedProgram);
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING_EXT, &iSavedDraw);
    glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING_EXT, &iSavedRead);
    glGetIntegerv(GL_VIEWPORT, aSavedViewport);
    glGetIntegerv(GL_ACTIVE_TEXTURE, &iSavedUnit);
    for (int i = 0; i < 2; ++i) {
        glActiveTexture(GL_TEXTURE0 + i);
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &aSavedTexture[i]);
        glGetIntegerv(GL_SAMPLER_BINDING, &aSavedSampler[i]);
    }
    glGetBooleanv(GL_COLOR_WRITEMASK, aSavedColorMask);
    // The scissor test is switched off while drawing the box-sized texture.
    const GLenum aCaps[] = {GL_BLEND, GL_DEPTH_TEST, GL_STENCIL_TEST, GL_CULL_FACE, GL_ALPHA_TEST,
                            GL_FRAMEBUFFER_SRGB, GL_COLOR_LOGIC_OP, GL_SCISSOR_TEST};
    const int iCapCount = int(sizeof(aCaps) / sizeof(aCaps[0]));
    GLboolean aSavedCaps[iCapCount];
    for (int i = 0; i < iCapCount; ++i)
        aSavedCaps[i] = glIsEnabled(aCaps[i]);

    // The drawing goes to a box-sized texture of the target's own format, so
    // that the result is rounded exactly as drawing into the target would be.
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, iTargetName);
    GLint iInternal = 0;
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_INTERNAL_FORMAT, &iInternal);
    // Texture copies refuse an incomplete texture; a mipmap filter without
    // mipmaps is common for layers, so only level 0 counts during the mix.
    GLint iSavedMaxLevel = 1000;
    glGetTexParameteriv(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, &iSavedMaxLevel);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, 0);
    EnsureScratch(s_iOutputSlot, aBox[2], aBox[3], iInternal);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, s_iCompositingFBO);
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D,
                              s_aScratch[s_iOutputSlot], 0);
    glDrawBuffer(GL_COLOR_ATTACHMENT0_EXT);
    glReadBuffer(GL_COLOR_ATTACHMENT0_EXT);
    GLenum eStatus = glCheckFramebufferStatusEXT(GL_FRAMEBUFFER_EXT);
    bool bComplete = eStatus == GL_FRAMEBUFFER_COMPLETE_EXT;

    if (bComplete) {
        // A layer that is also the target is read from a copy of its box: no
        // draw reads and writes one texture.
        int aFromScratch[2] = {0, 0};
        for (int i = 0; i < 2; ++i) {
            if (m_aLayers[i].iName != iTargetName)
                continue;
            aFromScratch[i] = 1;
            glActiveTexture(GL_TEXTURE0 + i);
            EnsureScratch(i, aBox[2], aBox[3], iInternal);
            glCopyImageSubData(iTargetName, GL_TEXTURE_2D, 0, aBox[0], aBox[1], 0, s_aScratch[i], GL_TEXTURE_2D, 0,
                               0, 0, 0, aBox[2], aBox[3], 1);
        }

        float aAlpha[2], aBrightness[2];
        for (int i = 0; i < 2; ++i) {
            glActiveTexture(GL_TEXTURE0 + i);
            GLuint iName = aFromScratch[i] ? s_aScratch[i] : m_aLayers[i].iName;
            glBindTexture(GL_TEXTURE_2D, iName);
            GLint iLayerWidth = 0, iLayerHeight = 0;
            glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &iLayerWidth);
            glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &iLayerHeight);
            bool bSameSize = aFromScratch[i] || (iLayerWidth == GLint(iWidth) && iLayerHeight == GLint(iHeight));
            glBindSampler(GLuint(i), bSameSize ? s_iNearestSampler : s_iLinearSampler);
            float fWeight = size_t(i) < m_aWeights.size() ? m_aWeights[size_t(i)] : 1.f;
            aAlpha[i] = m_aLayers[i].fOpacity * fWeight;
            aBrightness[i] = m_aLayers[i].fBrightness;
        }

        glUseProgram(s_iProgram);
        glUniform1i(s_cUniforms.iLayer0, 0);
        glUniform1i(s_cUniforms.iLayer1, 1);
        glUniform2i(s_cUniforms.iFromScratch, aFromScratch[0], aFromScratch[1]);
        glUniform2i(s_cUniforms.iBoxOrigin, aBox[0], aBox[1]);
        glUniform2f(s_cUniforms.iTargetSize, float(iWidth), float(iHeight));
        glUniform2f(s_cUniforms.iAlphaScale, aAlpha[0], aAlpha[1]);
        glUniform2f(s_cUniforms.iBrightness, aBrightness[0], aBrightness[1]);
        glUniform1i(s_cUniforms.iMode, GLint(m_iMode));

        for (int i = 0; i < iCapCount; ++i)
            glDisable(aCaps[i]);
        glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
        glViewport(0, 0, aBox[2], aBox[3]);
        glBegin(GL_QUADS);
        glVertex2f(-1.f, -1.f);
        glVertex2f(1.f, -1.f);
        glVertex2f(1.f, 1.f);
        glVertex2f(-1.f, 1.f);
        glEnd();
        // Some drivers (llvmpipe) copy from a texture without first finishing
        // drawing still queued into it; the flush covers only the small box.
        glFlush();
        glCopyImageSubData(s_aScratch[s_iOutputSlot], GL_TEXTURE_2D, 0, 0, 0, 0, iTargetName, GL_TEXTURE_2D, 0,
                           aBox[0], aBox[1], 0, aBox[2], aBox[3], 1);
    }

    // Leave nothing of ours attached to the shared framebuffer.
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, 0, 0);
    glActiveTexture(GL_TEXTURE0);
    glBindTexture(GL_TEXTURE_2D, iTargetName);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAX_LEVEL, iSavedMaxLevel);

    // Put back what was saved.
    for (int i = 0; i < iCapCount; ++i)
        if (aSavedCaps[i])
            glEnable(aCaps[i]);
    glColorMask(aSavedColorMask[0], aSavedColorMask[1], aSavedColorMask[2], aSavedColorMask[3]);
    for (int i = 0; i < 2; ++i) {
        glActiveTexture(GL_TEXTURE0 + i);
        glBindTexture(GL_TEXTURE_2D, GLuint(aSavedTexture[i]));
        glBindSampler(GLuint(i), GLuint(aSavedSampler[i]));
    }
    glActiveTexture(GLenum(iSavedUnit));
    glUseProgram(GLuint(iSavedProgram));
    glViewport(aSavedViewport[0], aSavedViewport[1], aSavedViewport[2], aSavedViewport[3]);
    glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER_EXT, GLuint(iSavedDraw));
    glBindFramebufferEXT(GL_READ_FRAMEBUFFER_EXT, GLuint(iSavedRead));

    if (!bComplete)
        Fail(sFunction, __LINE__,
             QString("Cannot draw into texture %1 (framebuffer status 0x%2)").arg(iTargetName).arg(eStatus, 4, 16, QChar('0')));
}

void TextureMixer::ReleaseSharedResources()
{
    if (s_iProgram)
        glDeleteProgram(s_iProgram);
    s_iProgram = 0;
    s_cUniforms = Uniforms();
    if (s_iNearestSampler) {
        GLuint aSamplers[2] = {s_iNearestSampler, s_iLinearSampler};
        glDeleteSamplers(2, aSamplers);
    }
    s_iNearestSampler = s_iLinearSampler = 0;
    for (int i = 0; i < 3; ++i) {
        if (s_aScratch[i])
            glDeleteTextures(1, &s_aScratch[i]);
        s_aScratch[i] = 0;
        s_aScratchSize[i][0] = s_aScratchSize[i][1] = 0;
        s_aScratchFormat[i] = 0;
    }
    if (TextureMixer::s_iCompositingFBO)
        glDeleteFramebuffersEXT(1, &TextureMixer::s_iCompositingFBO);
    TextureMixer::s_iCompositingFBO = 0;
}

} // namespace varnik
