#pragma once
#include <GL/glew.h>
#include <QString>

/// Owns one framebuffer name and attaches texture images and renderbuffers to
/// its attachment points. Every attach, detach and attachment query leaves this
/// framebuffer bound to GL_FRAMEBUFFER_EXT; the caller restores the binding it
/// needs afterwards.
class FrameBufferObject
{
public:
    /// Generates the framebuffer name and binds it.
    FrameBufferObject();
    /// Deletes the framebuffer name; the previous binding is not put back.
    virtual ~FrameBufferObject();                                             // 0
    FrameBufferObject(const FrameBufferObject&) = delete;
    FrameBufferObject& operator=(const FrameBufferObject&) = delete;

    /// Attaches level `iMipLevel` (slice `iZSlice` for 3D) of a texture, unless
    /// that texture name is already attached at `eAttachment`.
    virtual void SetTextureAttachment(GLenum eTextureTarget, GLuint iTextureName, GLenum eAttachment,
                                      int iMipLevel, int iZSlice);           // 1
    /// `iCount` texture attachments; null attachment, mip and slice arrays mean
    /// GL_COLOR_ATTACHMENT0_EXT + i, level 0, slice 0.
    virtual void SetTextureAttachments(int iCount, const GLenum aTextureTargets[], const GLuint aTextureNames[],
                                       const GLenum aAttachments[], const int aMipLevels[],
                                       const int aZSlices[]);               // 2
    /// Attaches a renderbuffer unless that name is already attached there.
    virtual void SetRenderBufferAttachment(GLuint iRenderBufferName, GLenum eAttachment); // 3
    /// `iCount` renderbuffer attachments; a null attachment array means
    /// GL_COLOR_ATTACHMENT0_EXT + i.
    virtual void SetRenderBufferAttachments(int iCount, const GLuint aRenderBufferNames[],
                                            const GLenum aAttachments[]);   // 4

    /// The framebuffer name.
    GLuint Id() const { return m_iId; }
    /// Binds this framebuffer to GL_FRAMEBUFFER_EXT unconditionally.
    void Bind();
    /// Binds this framebuffer unless GL says it is bound already.
    void EnsureBound();
    /// Detaches whatever texture or renderbuffer is attached at `eAttachment`.
    void ClearAttachment(GLenum eAttachment);
    /// Detaches every colour attachment point; depth and stencil stay.
    void ClearColorAttachments();
    /// Completeness of the framebuffer currently bound to GL_FRAMEBUFFER_EXT
    /// (whichever that is), with a log line in words when it is incomplete.
    GLenum CheckStatus();

    /// Attachment queries of this framebuffer (0 when GL answers nothing).
    GLint AttachmentObjectType(GLenum eAttachment);
    GLint AttachmentObjectName(GLenum eAttachment);
    GLint AttachmentTextureLevel(GLenum eAttachment);
    GLint AttachmentCubeMapFace(GLenum eAttachment);
    GLint AttachmentZOffset(GLenum eAttachment);

    /// GL_MAX_COLOR_ATTACHMENTS_EXT.
    static GLint MaxColorAttachments();
    /// A new framebuffer name, not owned by any object.
    static GLuint GenerateId();
    /// Copies the colour of (0, 0, iWidth, iHeight) from one framebuffer to
    /// another with linear filtering; both bindings stay as set.
    static void BlitColor(GLuint iReadFramebuffer, GLuint iDrawFramebuffer, int iWidth, int iHeight);

    /// The words for a framebuffer status, the one table of them: empty for
    /// complete and for 0. `sWhere` (such as " (at line 12)") follows the
    /// words, before the code of an unknown status. CheckStatus logs it with
    /// nothing after the words, the texture's readback with its source line.
    static QString StatusMessage(GLenum eStatus, const QString& sWhere);

private:
    /// One attachment parameter of this framebuffer, after a guarded bind.
    GLint AttachmentParameter(GLenum eAttachment, GLenum eParameter);
    /// One attachment parameter of the bound framebuffer; callers have just
    /// made the guarded bind, so the binding is not read a second time.
    static GLint QueryAttachment(GLenum eAttachment, GLenum eParameter);

    GLuint m_iId = 0;            ///< the framebuffer name, owned
    GLint m_iLastBinding = 0;    ///< binding seen by the last guarded bind
};
