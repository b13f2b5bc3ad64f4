#include "varnik/Brush.h"
#include "GLProgram.h"
#include <GL/glew.h>
#include <cmath>
#include "varnik/Error.h"
#include "varnik/Texture.h"

namespace varnik {

namespace {

const char* const s_sFile = "src/framework/Brush";

// Shared by every brush of the process; made on first use.
GLuint s_iProgram = 0;
GLuint s_iFramebuffer = 0;
GLint s_iColorUniform = -1;
GLint s_iHardnessUniform = -1;

// Each dab is a quad; its texture coordinate is the offset from the centre in
// radii, so the falloff is a function of its length.
const char* const s_sVertexShader =
    "#version 130\n"
    "out vec2 vOffset;\n"
    "void main() { vOffset = gl_MultiTexCoord0.xy; gl_Position = gl_Vertex; }\n";

const char* const s_sFragmentShader =
    "#version 130\n"
    "in vec2 vOffset;\n"
    "uniform vec4 uColor;\n"
    "uniform float uHardness;\n"
    "void main() {\n"
    "    float t = length(vOffset);\n"
    "    if (t >= 1.0) discard;\n"
    "    float f = t <= uHardness ? 1.0 : 1.0 - smoothstep(uHardness, 1.0, t);\n"
    "    gl_FragColor = vec4(uColor.rgb, uColor.a * f);\n"
    "}\n";

[[noreturn]] void Fail(const char* sFunction, unsigned int iLine, const QString& sMessage)
{
    throw (new Error(QString(), 4, sFunction, s_sFile, iLine))->Format(sMessage);
}

void MakeSharedResources()
{
    if (!s_iProgram) {
        GLuint iProgram = BuildGLProgram(s_sVertexShader, s_sFragmentShader, "brush", "Brush::Paint", s_sFile);
        s_iProgram = iProgram;
        s_iColorUniform = glGetUniformLocation(iProgram, "uColor");
        s_iHardnessUniform = glGetUniformLocation(iProgram, "uHardness");
    }
    if (!s_iFramebuffer)
        glGenFramebuffersEXT(1, &s_iFramebuffer);
}

/// What drawing into a texture changes, saved on construction and put back on
/// destruction (so also when an error leaves the operation).
class SavedDrawState
{
public:
    SavedDrawState()
    {
        glGetIntegerv(GL_CURRENT_PROGRAM, &m_iProgram);
        glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING_EXT, &m_iDraw);
        glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING_EXT, &m_iRead);
        glGetIntegerv(GL_VIEWPORT, m_aViewport);
        glGetIntegerv(GL_SCISSOR_BOX, m_aScissor);
        glGetIntegerv(GL_BLEND_SRC_RGB, &m_aBlend[0]);
        glGetIntegerv(GL_BLEND_DST_RGB, &m_aBlend[1]);
        glGetIntegerv(GL_BLEND_SRC_ALPHA, &m_aBlend[2]);
        glGetIntegerv(GL_BLEND_DST_ALPHA, &m_aBlend[3]);
        glGetIntegerv(GL_BLEND_EQUATION_RGB, &m_aEquation[0]);
        glGetIntegerv(GL_BLEND_EQUATION_ALPHA, &m_aEquation[1]);
        glGetFloatv(GL_COLOR_CLEAR_VALUE, m_aClear);
        glGetBooleanv(GL_COLOR_WRITEMASK, m_aMask);
        for (int i = 0; i < s_iCaps; ++i)
            m_aCaps[i] = glIsEnabled(s_aCaps[i]);
        for (int i = 0; i < s_iCaps; ++i)
            glDisable(s_aCaps[i]);
        glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    }
    ~SavedDrawState()
    {
        for (int i = 0; i < s_iCaps; ++i)
            m_aCaps[i] ? glEnable(s_aCaps[i]) : glDisable(s_aCaps[i]);
        glColorMask(m_aMask[0], m_aMask[1], m_aMask[2], m_aMask[3]);
        glClearColor(m_aClear[0], m_aClear[1], m_aClear[2], m_aClear[3]);
        glBlendEquationSeparate(GLenum(m_aEquation[0]), GLenum(m_aEquation[1]));
        glBlendFuncSeparate(GLenum(m_aBlend[0]), GLenum(m_aBlend[1]), GLenum(m_aBlend[2]), GLenum(m_aBlend[3]));
        glScissor(m_aScissor[0], m_aScissor[1], m_aScissor[2], m_aScissor[3]);
        glViewport(m_aViewport[0], m_aViewport[1], m_aViewport[2], m_aViewport[3]);
        glUseProgram(GLuint(m_iProgram));
        if (s_iFramebuffer) {
            glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, s_iFramebuffer);
            glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, 0, 0);
        }
        glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER_EXT, GLuint(m_iDraw));
        glBindFramebufferEXT(GL_READ_FRAMEBUFFER_EXT, GLuint(m_iRead));
    }
    SavedDrawState(const SavedDrawState&) = delete;
    SavedDrawState& operator=(const SavedDrawState&) = delete;

private:
    static constexpr int s_iCaps = 8;
    static constexpr GLenum s_aCaps[s_iCaps] = {GL_BLEND, GL_SCISSOR_TEST, GL_DEPTH_TEST, GL_STENCIL_TEST,
                                                GL_CULL_FACE, GL_ALPHA_TEST, GL_FRAMEBUFFER_SRGB, GL_COLOR_LOGIC_OP};
    GLint m_iProgram = 0, m_iDraw = 0, m_iRead = 0;
    GLint m_aViewport[4], m_aScissor[4], m_aBlend[4], m_aEquation[2];
    GLfloat m_aClear[4];
    GLboolean m_aMask[4];
    GLboolean m_aCaps[s_iCaps];
};
constexpr GLenum SavedDrawState::s_aCaps[];

/// Binds the brush framebuffer with `cTarget` attached; throws when the
/// texture cannot be drawn into.
void BindTarget(const Texture& cTarget, const char* sFunction)
{
    const Image::Format eFormat = cTarget.Format();
    if (!cTarget.OpenGLName() || !glIsTexture(cTarget.OpenGLName()))
        Fail(sFunction, __LINE__, QString("The target \"%1\" has no GL texture").arg(cTarget.Name()));
    if (eFormat == Image::e32integer || eFormat >= Image::e16depth)
        Fail(sFunction, __LINE__, QString("Cannot paint into a texture of format %1").arg(unsigned(eFormat)));
    MakeSharedResources();
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, s_iFramebuffer);
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT, GL_TEXTURE_2D, cTarget.OpenGLName(), 0);
    glDrawBuffer(GL_COLOR_ATTACHMENT0_EXT);
    const GLenum eStatus = glCheckFramebufferStatusEXT(GL_FRAMEBUFFER_EXT);
    if (eStatus != GL_FRAMEBUFFER_COMPLETE_EXT)
        Fail(sFunction, __LINE__, QString("Cannot paint into \"%1\" (framebuffer status 0x%2)")
                                      .arg(cTarget.Name()).arg(eStatus, 4, 16, QChar('0')));
    glViewport(0, 0, GLsizei(cTarget.Width()), GLsizei(cTarget.Height()));
}

} // namespace

std::vector<Brush::Point> Brush::DabCentres(const std::vector<Point>& aPoints) const
{
    std::vector<Point> aDabs;
    if (aPoints.empty())
        return aDabs;
    const float fStep = m_fSpacing * m_fRadius;
    aDabs.push_back(aPoints[0]);
    float fCarried = 0.f;  // distance walked since the last dab
    for (size_t i = 1; i < aPoints.size(); ++i) {
        const Point a = aPoints[i - 1], b = aPoints[i];
        const float fLength = std::hypot(b.x - a.x, b.y - a.y);
        float fAt = fStep - fCarried;
        for (; fAt <= fLength; fAt += fStep) {
            const float t = fAt / fLength;
            aDabs.push_back(Point{a.x + (b.x - a.x) * t, a.y + (b.y - a.y) * t});
        }
        fCarried = fLength - (fAt - fStep);
    }
    return aDabs;
}

ImgDirtyRegion Brush::Paint(Texture& cTarget, const std::vector<Point>& aPoints)
{
    ImgDirtyRegion cRegion;
    const std::vector<Point> aDabs = DabCentres(aPoints);
    if (aDabs.empty())
        return cRegion;
    SavedDrawState cSaved;
    BindTarget(cTarget, "Brush::Paint");
    const float fWidth = float(cTarget.Width()), fHeight = float(cTarget.Height());
    const ImgTile cBounds(0, 0, int32_t(cTarget.Width()), int32_t(cTarget.Height()));

    glUseProgram(s_iProgram);
    glUniform4f(s_iColorUniform, m_cColor.r, m_cColor.g, m_cColor.b, m_cColor.a);
    glUniform1f(s_iHardnessUniform, m_fHardness);
    // Straight colour: the brush colour replaces what is there, alphas combine by source-over.
    glEnable(GL_BLEND);
    glBlendEquationSeparate(GL_FUNC_ADD, GL_FUNC_ADD);
    glBlendFuncSeparate(GL_ONE, GL_ZERO, GL_ONE, GL_ONE_MINUS_SRC_ALPHA);
    // A quad reaches one texel past the radius so that no covered texel centre is missed.
    const float fReach = m_fRadius + 1.f, fOffset = fReach / m_fRadius;
    glBegin(GL_QUADS);
    for (const Point& p : aDabs) {
        const float x0 = 2.f * (p.x - fReach) / fWidth - 1.f, x1 = 2.f * (p.x + fReach) / fWidth - 1.f;
        const float y0 = 2.f * (p.y - fReach) / fHeight - 1.f, y1 = 2.f * (p.y + fReach) / fHeight - 1.f;
        glTexCoord2f(-fOffset, -fOffset), glVertex2f(x0, y0);
        glTexCoord2f(fOffset, -fOffset), glVertex2f(x1, y0);
        glTexCoord2f(fOffset, fOffset), glVertex2f(x1, y1);
        glTexCoord2f(-fOffset, fOffset), glVertex2f(x0, y1);
        // Texels whose centre lies within the radius.
        const int32_t ix0 = int32_t(std::floor(p.x - m_fRadius)), iy0 = int32_t(std::floor(p.y - m_fRadius));
        const int32_t ix1 = int32_t(std::ceil(p.x + m_fRadius)), iy1 = int32_t(std::ceil(p.y + m_fRadius));
        cRegion.AddToDirtyRegion(ImgTile(ImgTile(ix0, iy0, ix1 - ix0, iy1 - iy0), cBounds));
    }
    glEnd();
    return cRegion;
}

void Brush::Clear(Texture& cTarget, const ImgDirtyRegion* pRegion)
{
    SavedDrawState cSaved;
    BindTarget(cTarget, "Brush::Clear");
    glClearColor(0.f, 0.f, 0.f, 0.f);
    if (!pRegion) {
        glClear(GL_COLOR_BUFFER_BIT);
        return;
    }
    glEnable(GL_SCISSOR_TEST);
    for (const ImgTile& cTile : pRegion->DirtyTiles()) {
        glScissor(cTile.x, cTile.y, cTile.nx, cTile.ny);
        glClear(GL_COLOR_BUFFER_BIT);
    }
}

void Brush::ReleaseSharedResources()
{
    if (s_iProgram)
        glDeleteProgram(s_iProgram);
    if (s_iFramebuffer)
        glDeleteFramebuffersEXT(1, &s_iFramebuffer);
    s_iProgram = 0;
    s_iFramebuffer = 0;
    s_iColorUniform = s_iHardnessUniform = -1;
}

} // namespace varnik
