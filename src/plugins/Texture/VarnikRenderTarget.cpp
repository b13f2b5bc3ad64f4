#include <GL/glew.h>
#include <cstring>
#include <vector>
#include "VarnikRenderTarget.h"
#include "varnik/GLContext.h"
#include "FrameBufferObject.h"
#include "RenderBufferObject.h"
#include "varnik/Error.h"
#include "varnik/Kernel.h"
#include "varnik/Texture.h"

namespace {

/// One activation: the target and the viewport that was current before it.
struct ActivationRecord
{
    VarnikRenderTarget* pTarget;  ///< the activated target
    GLint aViewport[4];           ///< x, y, width, height before the activation
};

/// Shared by every target of the module, so that nested activations of
/// different targets unwind in order.
std::vector<ActivationRecord> s_aActivationStack;

const char* const s_sFile = "src/plugins/Texture/VarnikRenderTarget";

} // namespace

GLenum GetOpenGLAttachmentFromTarget(int iSlot)
{
    if (iSlot >= 0 && iSlot <= 3)
        return GLenum(GL_COLOR_ATTACHMENT0_EXT + iSlot);
    if (iSlot == 4)
        return GL_DEPTH_ATTACHMENT_EXT;
    throw (new varnik::Error(QString(), 4, "GetOpenGLAttachmentFromTarget", s_sFile, __LINE__))
        ->Format("Unknown target");
}

VarnikRenderTarget::VarnikRenderTarget()
{
    if (!glGenFramebuffersEXT)
        throw (new varnik::Error(QString(), 4, "VarnikRenderTarget::VarnikRenderTarget", s_sFile, __LINE__))
            ->Format("Frame Buffer Extension is not supported by your driver, please update");
    // The new framebuffer stays bound: callers attach right away.
    m_pMainFBO = new FrameBufferObject();
    m_pActiveFBO = m_pMainFBO;
    m_bBlitSupported = IsExtensionSupported("GL_EXT_framebuffer_blit");
}

VarnikRenderTarget::~VarnikRenderTarget()
{
    // Records of this target would point at freed memory; the others keep order.
    for (size_t i = s_aActivationStack.size(); i-- > 0;)
        if (s_aActivationStack[i].pTarget == this)
            s_aActivationStack.erase(s_aActivationStack.begin() + long(i));
    delete m_pColorBuffer;
    m_pColorBuffer = nullptr;
    delete m_pDepthBuffer;
    m_pDepthBuffer = nullptr;
    m_pActiveFBO = nullptr;
    delete m_pMainFBO;
    m_pMainFBO = nullptr;
    delete m_pMultisampleFBO;
    m_pMultisampleFBO = nullptr;
}

varnik::Node* VarnikRenderTarget::CreateInstances(unsigned int iCount)
{
    return varnik::CreateInstancesOf<VarnikRenderTarget>(iCount);
}

bool VarnikRenderTarget::IsExtensionSupported(const char* sName)
{
    return varnik::GLContext::HasExtension(reinterpret_cast<const char*>(glGetString(GL_EXTENSIONS)), sName);
}

int VarnikRenderTarget::ActivationDepth()
{
    return int(s_aActivationStack.size());
}

void VarnikRenderTarget::BindFromStack()
{
    // Undoes whatever binding the framebuffer wrappers left behind.
    if (!s_aActivationStack.empty() && s_aActivationStack.back().pTarget->m_pActiveFBO)
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, s_aActivationStack.back().pTarget->m_pActiveFBO->Id());
    else
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
}

int VarnikRenderTarget::FilledSlotCount()
{
    int iCount = 0;
    for (int i = 0; i < 5; ++i)
        if (Target(i))
            ++iCount;
    return iCount;
}

bool VarnikRenderTarget::IsDepthOnly()
{
    return m_aTargets[4] && !m_aTargets[0] && !m_aTargets[1] && !m_aTargets[2] && !m_aTargets[3];
}

varnik::Texture* VarnikRenderTarget::Target(int iSlot)
{
    return (iSlot >= 0 && iSlot < 5) ? m_aTargets[iSlot] : nullptr;
}

unsigned int VarnikRenderTarget::Width() { return m_iWidth; }

unsigned int VarnikRenderTarget::Height() { return m_iHeight; }

void VarnikRenderTarget::SetSize(unsigned int iWidth, unsigned int iHeight)
{
    m_iWidth = iWidth;
    m_iHeight = iHeight;
}

bool VarnikRenderTarget::SetTarget(varnik::Texture* pTexture, int iSlot)
{
    // Rejects a bad slot before anything changes.
    GLenum eAttachment = GetOpenGLAttachmentFromTarget(iSlot);
    if (!pTexture) {
        RemoveTarget(iSlot);
        return true;
    }
    int iFilled = FilledSlotCount();
    m_aTargets[iSlot] = pTexture;
    if (Width() == 0 || iFilled == 0)
        SetSize(pTexture->Width(), pTexture->Height());

    bool bOk = true;
    bool bResult = false;
    GLuint iName = pTexture->OpenGLName();
    if (iSlot < 4) {
        if (m_iMultisampleMode) {
            // One colour renderbuffer serves every colour slot.
            m_pColorBuffer->Set(GL_RGBA, int(Width()), int(Height()));
            m_pMultisampleFBO->SetRenderBufferAttachment(m_pColorBuffer->Id(), eAttachment);
            bOk = m_pMultisampleFBO->CheckStatus() == GL_FRAMEBUFFER_COMPLETE_EXT;
        }
        m_pMainFBO->SetTextureAttachment(GL_TEXTURE_2D, iName, eAttachment, 0, 0);
        bResult = m_pMainFBO->CheckStatus() == GL_FRAMEBUFFER_COMPLETE_EXT && bOk;
    } else {
        if (m_iMultisampleMode) {
            m_pDepthBuffer->Set(GL_DEPTH_COMPONENT, int(Width()), int(Height()));
            m_pMultisampleFBO->SetRenderBufferAttachment(m_pDepthBuffer->Id(), GL_DEPTH_ATTACHMENT_EXT);
            // A depth-only multisample framebuffer keeps its draw buffer and so
            // reports itself incomplete; only a failed query counts here.
            bOk = m_pMultisampleFBO->CheckStatus() != 0;
        }
        m_pMainFBO->SetTextureAttachment(GL_TEXTURE_2D, iName, GL_DEPTH_ATTACHMENT_EXT, 0, 0);
        if (IsDepthOnly()) {
            glDrawBuffer(GL_NONE);
            glReadBuffer(GL_NONE);
            bResult = bOk;
        } else {
            bResult = m_pMainFBO->CheckStatus() == GL_FRAMEBUFFER_COMPLETE_EXT && bOk;
        }
    }
    BindFromStack();
    return bResult;
}

void VarnikRenderTarget::RemoveTarget(int iSlot)
{
    GLenum eAttachment = GetOpenGLAttachmentFromTarget(iSlot);
    m_pMainFBO->ClearAttachment(eAttachment);
    m_aTargets[iSlot] = nullptr;
    if (m_iMultisampleMode)
        m_pMultisampleFBO->ClearAttachment(eAttachment);
    BindFromStack();
}

void VarnikRenderTarget::Activate()
{
    if (FilledSlotCount() == 0)
        throw (new varnik::Error(QString(), 4, "VarnikRenderTarget::Activate", s_sFile, __LINE__))
            ->Format("Called for an empty rendertarget");
    ActivationRecord cRecord;
    cRecord.pTarget = this;
    glGetIntegerv(GL_VIEWPORT, cRecord.aViewport);
    s_aActivationStack.push_back(cRecord);
    glViewport(0, 0, GLsizei(Width()), GLsizei(Height()));
    // The multisample framebuffer while multisampling is on, else the main one.
    m_pActiveFBO->Bind();
    if (IsDepthOnly()) {
        glReadBuffer(GL_NONE);
        glDrawBuffer(GL_NONE);
    }
}

void VarnikRenderTarget::Deactivate()
{
    if (s_aActivationStack.empty()) {
        // Nothing to pop: no viewport to restore and nothing drawn to resolve.
        varnik::Kernel::Log("Function called without the proper Activate");
        BindFromStack();
        return;
    }
    ActivationRecord cRecord = s_aActivationStack.back();
    s_aActivationStack.pop_back();
    if (m_iMultisampleMode)
        FrameBufferObject::BlitColor(m_pMultisampleFBO->Id(), m_pMainFBO->Id(), int(m_iWidth), int(m_iHeight));
    BindFromStack();
    glViewport(cRecord.aViewport[0], cRecord.aViewport[1], cRecord.aViewport[2], cRecord.aViewport[3]);
}

void VarnikRenderTarget::CopyToScreen(varnik::Texture* pTexture)
{
    if (!pTexture)
        return;
    if (m_bBlitSupported && pTexture->Width() == Width() && pTexture->Height() == Height()) {
        varnik::Texture* pPrevious = Target(0);
        SetTarget(pTexture, 0);
        glBindFramebufferEXT(GL_READ_FRAMEBUFFER_EXT, m_pActiveFBO->Id());
        glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER_EXT, 0);
        glBlitFramebufferEXT(0, 0, GLint(pTexture->Width()), GLint(pTexture->Height()), 0, 0, GLint(Width()),
                             GLint(Height()), GL_COLOR_BUFFER_BIT, GL_NEAREST);
        // A slot 0 that was empty is emptied again (SetTarget of null).
        SetTarget(pPrevious, 0);
        return;
    }

    // Drawn into whatever framebuffer and viewport are current; the changed
    // state is left as is, as callers of this path expect.
    pTexture->Activate();
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_NEAREST);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP);
    glEnable(GL_TEXTURE_2D);
    glDisable(GL_BLEND);
    glBlendFunc(GL_ONE, GL_ZERO);
    glDisable(GL_DEPTH_TEST);
    glDisable(GL_LIGHTING);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
    glMatrixMode(GL_TEXTURE);
    glLoadIdentity();
    glBegin(GL_QUADS);
    glColor4f(1.f, 1.f, 1.f, 1.f);
    glTexCoord2f(0.f, 0.f);
    glVertex3f(-1.f, -1.f, 0.5f);
    glTexCoord2f(1.f, 0.f);
    glVertex3f(1.f, -1.f, 0.5f);
    glTexCoord2f(1.f, 1.f);
    glVertex3f(1.f, 1.f, 0.5f);
    glTexCoord2f(0.f, 1.f);
    glVertex3f(-1.f, 1.f, 0.5f);
    glEnd();
    pTexture->Deactivate();
    glDisable(GL_TEXTURE_2D);
}

void VarnikRenderTarget::SetMultisample(bool bOn)
{
    if (bOn) {
        m_iMultisampleMode = 1;
        if (m_pMultisampleFBO)
            return;
        m_pColorBuffer = new RenderBuffer(RenderBuffer::eMultisample4);
        m_pDepthBuffer = new RenderBuffer(RenderBuffer::eMultisample4);
        m_pMultisampleFBO = new FrameBufferObject();
        m_pActiveFBO = m_pMultisampleFBO;
    } else {
        m_iMultisampleMode = 0;
        delete m_pColorBuffer;
        m_pColorBuffer = nullptr;
        delete m_pDepthBuffer;
        m_pDepthBuffer = nullptr;
        delete m_pMultisampleFBO;
        m_pMultisampleFBO = nullptr;
        m_pActiveFBO = m_pMainFBO;
    }
}
