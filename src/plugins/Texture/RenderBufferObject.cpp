#include <GL/glew.h>
#include <QCoreApplication>
#include "RenderBufferObject.h"
#include "varnik/Error.h"

RenderBuffer::RenderBuffer(unsigned int iSamplingMode)
    : m_iSamplingMode(iSamplingMode)
{
    glGenRenderbuffersEXT(1, &m_iId);
}

RenderBuffer::RenderBuffer(GLenum eInternalFormat, int iWidth, int iHeight, unsigned int iSamplingMode)
    : RenderBuffer(iSamplingMode)
{
    // The delegated constructor has finished, so a throw from Set runs the
    // destructor and the name is not leaked.
    Set(eInternalFormat, iWidth, iHeight);
}

RenderBuffer::~RenderBuffer()
{
    glDeleteRenderbuffersEXT(1, &m_iId);
}

void RenderBuffer::Set(GLenum eInternalFormat, int iWidth, int iHeight)
{
    GLint iMax = MaxSize();
    if (iWidth > iMax || iHeight > iMax)
        throw (new varnik::Error(QString(), 4, "RenderBuffer::Set", "src/plugins/Texture/RenderBufferObject",
                                 __LINE__))
            ->Format(QCoreApplication::translate("RenderBuffer", "Renderbuffer::Renderbuffer() ERROR:\n\tSize too big (%1,%2)\n"),
                     QString::number(iWidth), QString::number(iHeight));

    GLint iSaved = 0;
    glGetIntegerv(GL_RENDERBUFFER_BINDING_EXT, &iSaved);
    if (GLuint(iSaved) != m_iId)
        glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, m_iId);
    if (m_iSamplingMode == eSingleSample)
        glRenderbufferStorageEXT(GL_RENDERBUFFER_EXT, eInternalFormat, iWidth, iHeight);
    else if (m_iSamplingMode == eMultisample4)
        glRenderbufferStorageMultisampleEXT(GL_RENDERBUFFER_EXT, 4, eInternalFormat, iWidth, iHeight);
    // The binding we found is put back, so callers never see ours.
    if (GLuint(iSaved) != m_iId)
        glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, GLuint(iSaved));
}

GLint RenderBuffer::MaxSize()
{
    GLint iMax = 0;
    glGetIntegerv(GL_MAX_RENDERBUFFER_SIZE_EXT, &iMax);
    return iMax;
}

GLuint RenderBuffer::GenerateId()
{
    GLuint iId = 0;
    glGenRenderbuffersEXT(1, &iId);
    return iId;
}
