#include <GL/glew.h>
#include <cstdio>
#include "FrameBufferObject.h"
#include "varnik/Kernel.h"

FrameBufferObject::FrameBufferObject()
{
    glGenFramebuffersEXT(1, &m_iId);
    m_iLastBinding = 0;
    EnsureBound();
}

FrameBufferObject::~FrameBufferObject()
{
    glDeleteFramebuffersEXT(1, &m_iId);
}

void FrameBufferObject::Bind()
{
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, m_iId);
}

void FrameBufferObject::EnsureBound()
{
    // The binding is read every time: other code binds freely between our calls.
    glGetIntegerv(GL_FRAMEBUFFER_BINDING_EXT, &m_iLastBinding);
    if (GLuint(m_iLastBinding) != m_iId) {
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, m_iId);
        m_iLastBinding = GLint(m_iId);
    }
}

void FrameBufferObject::SetTextureAttachment(GLenum eTextureTarget, GLuint iTextureName, GLenum eAttachment,
                                             int iMipLevel, int iZSlice)
{
    EnsureBound();
    // Re-attaching the same name would make the driver revalidate for nothing.
    if (GLuint(QueryAttachment(eAttachment, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME_EXT)) == iTextureName)
        return;
    switch (eTextureTarget) {
    case GL_TEXTURE_1D:
        glFramebufferTexture1DEXT(GL_FRAMEBUFFER_EXT, eAttachment, eTextureTarget, iTextureName, iMipLevel);
        break;
    case GL_TEXTURE_3D:
        glFramebufferTexture3DEXT(GL_FRAMEBUFFER_EXT, eAttachment, eTextureTarget, iTextureName, iMipLevel, iZSlice);
        break;
    default:
        glFramebufferTexture2DEXT(GL_FRAMEBUFFER_EXT, eAttachment, eTextureTarget, iTextureName, iMipLevel);
        break;
    }
}

void FrameBufferObject::SetTextureAttachments(int iCount, const GLenum aTextureTargets[], const GLuint aTextureNames[],
                                              const GLenum aAttachments[], const int aMipLevels[],
                                              const int aZSlices[])
{
    for (int i = 0; i < iCount; ++i) {
        GLenum eAttachment = aAttachments ? aAttachments[i] : GLenum(GL_COLOR_ATTACHMENT0_EXT + i);
        SetTextureAttachment(aTextureTargets[i], aTextureNames[i], eAttachment,
                             aMipLevels ? aMipLevels[i] : 0, aZSlices ? aZSlices[i] : 0);
    }
}

void FrameBufferObject::SetRenderBufferAttachment(GLuint iRenderBufferName, GLenum eAttachment)
{
    EnsureBound();
    if (GLuint(QueryAttachment(eAttachment, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME_EXT)) == iRenderBufferName)
        return;
    glFramebufferRenderbufferEXT(GL_FRAMEBUFFER_EXT, eAttachment, GL_RENDERBUFFER_EXT, iRenderBufferName);
}

void FrameBufferObject::SetRenderBufferAttachments(int iCount, const GLuint aRenderBufferNames[],
                                                   const GLenum aAttachments[])
{
    for (int i = 0; i < iCount; ++i)
        SetRenderBufferAttachment(aRenderBufferNames[i],
                                  aAttachments ? aAttachments[i] : GLenum(GL_COLOR_ATTACHMENT0_EXT + i));
}

void FrameBufferObject::ClearAttachment(GLenum eAttachment)
{
    EnsureBound();
    GLint iType = QueryAttachment(eAttachment, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE_EXT);
    if (iType == GL_TEXTURE)
        SetTextureAttachment(GL_TEXTURE_2D, 0, eAttachment, 0, 0);
    else if (iType == GL_RENDERBUFFER_EXT)
        SetRenderBufferAttachment(0, eAttachment);
}

void FrameBufferObject::ClearColorAttachments()
{
    GLint iMax = MaxColorAttachments();
    for (GLint i = 0; i < iMax; ++i)
        ClearAttachment(GLenum(GL_COLOR_ATTACHMENT0_EXT + i));
}

QString FrameBufferObject::StatusMessage(GLenum eStatus, const QString& sWhere)
{
    const char* sText = nullptr;
    switch (eStatus) {
    case GL_FRAMEBUFFER_COMPLETE_EXT:
    case 0:
        return QString();
    case GL_FRAMEBUFFER_INCOMPLETE_ATTACHMENT_EXT: sText = "Framebuffer incomplete: No attachment"; break;
    case GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT_EXT: sText = "Framebuffer incomplete: Missing attachment"; break;
    case GL_FRAMEBUFFER_INCOMPLETE_DIMENSIONS_EXT: sText = "Framebuffer incomplete: Missing dimensions"; break;
    case GL_FRAMEBUFFER_INCOMPLETE_FORMATS_EXT: sText = "Framebuffer incomplete: Missing format"; break;
    case GL_FRAMEBUFFER_INCOMPLETE_DRAW_BUFFER_EXT: sText = "Framebuffer incomplete: Missing drawbuffer"; break;
    case GL_FRAMEBUFFER_INCOMPLETE_READ_BUFFER_EXT: sText = "Framebuffer incomplete: Missing readbuffer"; break;
    case GL_FRAMEBUFFER_UNSUPPORTED_EXT: sText = "Framebuffer unsupported"; break;
    case GL_FRAMEBUFFER_INCOMPLETE_MULTISAMPLE_EXT: sText = "Framebuffer incomplete (Multisample)"; break;
    default:
        return QStringLiteral("Unknown framebuffer object error%1 (code: 0x%2)")
            .arg(sWhere)
            .arg(unsigned(eStatus), 4, 16, QChar('0'));
    }
    return QString::fromLatin1(sText) + sWhere;
}

GLenum FrameBufferObject::CheckStatus()
{
    GLenum eStatus = glCheckFramebufferStatusEXT(GL_FRAMEBUFFER_EXT);
    const QString sMessage = StatusMessage(eStatus, QString());
    if (!sMessage.isEmpty())
        varnik::Kernel::Log(sMessage);
    return eStatus;
}

GLint FrameBufferObject::AttachmentParameter(GLenum eAttachment, GLenum eParameter)
{
    EnsureBound();
    return QueryAttachment(eAttachment, eParameter);
}

GLint FrameBufferObject::QueryAttachment(GLenum eAttachment, GLenum eParameter)
{
    GLint iValue = 0;
    glGetFramebufferAttachmentParameterivEXT(GL_FRAMEBUFFER_EXT, eAttachment, eParameter, &iValue);
    return iValue;
}

GLint FrameBufferObject::AttachmentObjectType(GLenum eAttachment)
{
    return AttachmentParameter(eAttachment, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_TYPE_EXT);
}

GLint FrameBufferObject::AttachmentObjectName(GLenum eAttachment)
{
    return AttachmentParameter(eAttachment, GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME_EXT);
}

GLint FrameBufferObject::AttachmentTextureLevel(GLenum eAttachment)
{
    return AttachmentParameter(eAttachment, GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_LEVEL_EXT);
}

GLint FrameBufferObject::AttachmentCubeMapFace(GLenum eAttachment)
{
    return AttachmentParameter(eAttachment, GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_CUBE_MAP_FACE_EXT);
}

GLint FrameBufferObject::AttachmentZOffset(GLenum eAttachment)
{
    return AttachmentParameter(eAttachment, GL_FRAMEBUFFER_ATTACHMENT_TEXTURE_3D_ZOFFSET_EXT);
}

GLint FrameBufferObject::MaxColorAttachments()
{
    GLint iMax = 0;
    glGetIntegerv(GL_MAX_COLOR_ATTACHMENTS_EXT, &iMax);
    return iMax;
}

GLuint FrameBufferObject::GenerateId()
{
    GLuint iId = 0;
    glGenFramebuffersEXT(1, &iId);
    return iId;
}

void FrameBufferObject::BlitColor(GLuint iReadFramebuffer, GLuint iDrawFramebuffer, int iWidth, int iHeight)
{
    glBindFramebufferEXT(GL_READ_FRAMEBUFFER_EXT, iReadFramebuffer);
    glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER_EXT, iDrawFramebuffer);
    glBlitFramebufferEXT(0, 0, iWidth, iHeight, 0, 0, iWidth, iHeight, GL_COLOR_BUFFER_BIT, GL_LINEAR);
}
