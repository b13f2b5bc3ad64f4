#include <GL/glew.h>
#include "varnik/Texture.h"

#include "varnik/ClassDesc.h"
#include "varnik/Error.h"

namespace varnik {

namespace {

// Registered when the library loads, beside the host's other interfaces.
const ClassDesc* const s_pTextureRecord = Texture::StaticClass();

const char* const s_sSourceFile = "src/framework/Texture";

/// Level-0 size of a GL texture, read from GL with the 2D binding put back.
void TextureLevelSize(GLuint iName, GLint& iWidth, GLint& iHeight)
{
    GLint iBound = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &iBound);
    glBindTexture(GL_TEXTURE_2D, iName);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_WIDTH, &iWidth);
    glGetTexLevelParameteriv(GL_TEXTURE_2D, 0, GL_TEXTURE_HEIGHT, &iHeight);
    glBindTexture(GL_TEXTURE_2D, GLuint(iBound));
}

/// Draws texture `iSource` over the whole of the bound draw framebuffer of
/// `iWidth` x `iHeight` with a fixed-function quad; every state it sets is pushed
/// and popped here.
void DrawTexturedQuad(GLuint iSource, GLint iWidth, GLint iHeight)
{
    GLint iProgram = 0, iActiveTexture = 0, iBound = 0;
    glGetIntegerv(GL_CURRENT_PROGRAM, &iProgram);
    glGetIntegerv(GL_ACTIVE_TEXTURE, &iActiveTexture);
    glPushAttrib(GL_ENABLE_BIT | GL_TEXTURE_BIT | GL_VIEWPORT_BIT | GL_CURRENT_BIT | GL_COLOR_BUFFER_BIT |
                 GL_TRANSFORM_BIT);
    glUseProgram(0);
    glActiveTexture(GL_TEXTURE0);
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &iBound);
    glMatrixMode(GL_PROJECTION);
    glPushMatrix();
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glPushMatrix();
    glLoadIdentity();
    glViewport(0, 0, iWidth, iHeight);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_BLEND);
    glDisable(GL_SCISSOR_TEST);
    glDisable(GL_CULL_FACE);
    glEnable(GL_TEXTURE_2D);
    glBindTexture(GL_TEXTURE_2D, iSource);
    glTexEnvi(GL_TEXTURE_ENV, GL_TEXTURE_ENV_MODE, GL_REPLACE);
    glColor4f(1.f, 1.f, 1.f, 1.f);
    glBegin(GL_QUADS);
    glTexCoord2f(0.f, 0.f); glVertex2f(-1.f, -1.f);
    glTexCoord2f(1.f, 0.f); glVertex2f(1.f, -1.f);
    glTexCoord2f(1.f, 1.f); glVertex2f(1.f, 1.f);
    glTexCoord2f(0.f, 1.f); glVertex2f(-1.f, 1.f);
    glEnd();
    glBindTexture(GL_TEXTURE_2D, GLuint(iBound));
    glMatrixMode(GL_PROJECTION);
    glPopMatrix();
    glMatrixMode(GL_MODELVIEW);
    glPopMatrix();
    glPopAttrib();
    glActiveTexture(GLenum(iActiveTexture));
    glUseProgram(GLuint(iProgram));
}

} // namespace

Texture::Texture() = default;
Texture::~Texture() = default;

const ClassDesc* Texture::StaticClass()
{
    static const ClassDesc s_cClass(Node::StaticClass(), Node::StaticClass(), "Texture", "Texture", nullptr, 0, 0);
    return &s_cClass;
}

const ClassDesc* Texture::RuntimeClass() const { return StaticClass(); }

void Texture::NotSupported(const char* sOperation) const
{
    const ClassDesc* pClass = RuntimeClass();
    throw (new Error(QString(), 4, QStringLiteral("varnik::Texture::") + QString::fromLatin1(sOperation),
                     QString::fromLatin1(s_sSourceFile), __LINE__))
        ->Format("%1 is not supported by %2", QString::fromLatin1(sOperation),
                 pClass ? pClass->Name() : QStringLiteral("this texture"));
}

void Texture::Create(unsigned int, unsigned int, unsigned int, Image::Format, const Color&) { NotSupported("Create"); }

bool Texture::CreateFromFile(const QString&, unsigned int, Image::Format) { NotSupported("CreateFromFile"); }

bool Texture::SetAsRenderTarget() { NotSupported("SetAsRenderTarget"); }

bool Texture::RestoreRenderTarget() { NotSupported("RestoreRenderTarget"); }

AttributeInstance<bool>* Texture::getFilteringPref() const { NotSupported("getFilteringPref"); }

void Texture::Composite(const Texture*, ImgDirtyRegion*, unsigned int, const Store<float>*)
{
    NotSupported("Composite");
}

void Texture::AddDirtyPixel(int x, int y) { AddDirtyTile(ImgTile(x, y, 1, 1)); }

int64_t Texture::TotalMemoryUsage() const { return VideoMemoryUsage(-1.f); }

unsigned char Texture::ProxyLevel(float fFactor, unsigned int iSize)
{
    if (fFactor >= 1.f)
        return 0;
    unsigned int iLevel = 4;
    if (fFactor > 0.f) {
        // The smallest n with 4^-n <= factor, at most 4.
        iLevel = 0;
        float fScale = 1.f;
        while (iLevel < 4 && fScale > fFactor) {
            fScale *= 0.25f;
            ++iLevel;
        }
    }
    while (iLevel > 0 && (iSize >> iLevel) < 2)
        --iLevel;
    return static_cast<unsigned char>(iLevel);
}

unsigned int Texture::BitDepth(Image::Format eFormat)
{
    static const unsigned int s_aBits[] = {8, 16, 32, 16, 32, 16, 24, 32};
    return unsigned(eFormat) < 8 ? s_aBits[eFormat] : 8;
}

void Texture::CopyTo(Texture& cTarget) const
{
    const GLuint iSource = OpenGLName();
    const GLuint iTarget = cTarget.OpenGLName();
    if (iSource == 0 || iTarget == 0)
        throw (new Error(QString(), 4, "varnik::Texture::CopyTo", s_sSourceFile, __LINE__))
            ->Format("varnik::Texture::CopyTo -- both textures need OpenGL storage (source %1, target %2)",
                     iSource, iTarget);

    GLint iSourceWidth = 0, iSourceHeight = 0, iTargetWidth = 0, iTargetHeight = 0;
    TextureLevelSize(iSource, iSourceWidth, iSourceHeight);
    TextureLevelSize(iTarget, iTargetWidth, iTargetHeight);
    if (iSourceWidth <= 0 || iSourceHeight <= 0 || iTargetWidth <= 0 || iTargetHeight <= 0)
        return;  // nothing to draw from or into

    GLint iSavedDraw = 0, iSavedRead = 0;
    GLint aSavedViewport[4] = {0, 0, 0, 0};
    GLboolean aSavedColorMask[4] = {GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE};
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &iSavedDraw);
    glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &iSavedRead);
    glGetIntegerv(GL_VIEWPORT, aSavedViewport);
    glGetBooleanv(GL_COLOR_WRITEMASK, aSavedColorMask);
    const GLboolean bSavedScissor = glIsEnabled(GL_SCISSOR_TEST);
    while (glGetError() != GL_NO_ERROR) {}
    // A blit honours the scissor box and the colour mask: the whole target, every channel.
    glDisable(GL_SCISSOR_TEST);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);

    GLuint aFramebuffers[2] = {0, 0};
    glGenFramebuffersEXT(2, aFramebuffers);
    glBindFramebufferEXT(GL_READ_FRAMEBUFFER, aFramebuffers[0]);
    glFramebufferTexture2DEXT(GL_READ_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, iSource, 0);
    glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER, aFramebuffers[1]);
    glFramebufferTexture2DEXT(GL_DRAW_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, iTarget, 0);

    bool bBlitted = false;
    const bool bReadComplete = glCheckFramebufferStatusEXT(GL_READ_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    const bool bDrawComplete = glCheckFramebufferStatusEXT(GL_DRAW_FRAMEBUFFER) == GL_FRAMEBUFFER_COMPLETE;
    if (bReadComplete && bDrawComplete) {
        glBlitFramebufferEXT(0, 0, iSourceWidth, iSourceHeight, 0, 0, iTargetWidth, iTargetHeight,
                             GL_COLOR_BUFFER_BIT, GL_LINEAR);
        bBlitted = glGetError() == GL_NO_ERROR;
    }
    if (!bBlitted && bDrawComplete) {
        // The blit was refused (formats it cannot filter): draw a textured quad instead.
        glBindFramebufferEXT(GL_READ_FRAMEBUFFER, 0);
        DrawTexturedQuad(iSource, iTargetWidth, iTargetHeight);
    }

    glBindFramebufferEXT(GL_READ_FRAMEBUFFER, GLuint(iSavedRead));
    glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER, GLuint(iSavedDraw));
    glViewport(aSavedViewport[0], aSavedViewport[1], aSavedViewport[2], aSavedViewport[3]);
    glColorMask(aSavedColorMask[0], aSavedColorMask[1], aSavedColorMask[2], aSavedColorMask[3]);
    if (bSavedScissor)
        glEnable(GL_SCISSOR_TEST);
    glDeleteFramebuffersEXT(2, aFramebuffers);
    // An attachment the driver refused leaves an error behind; the copy just did not happen.
    while (glGetError() != GL_NO_ERROR) {}
}

} // namespace varnik
