#pragma once
#include <GL/glew.h>
#include "varnik/RenderTarget.h"
#include "varnik/ClassDesc.h"

namespace varnik { class Texture; }
class FrameBufferObject;
class RenderBuffer;

/// The module's render target: offscreen drawing into up to four colour
/// textures and one depth texture, with optional four-sample multisampling.
///
/// Activations of all targets share one stack: every change of attachments ends
/// by binding the framebuffer of the target on top of it (0 when it is empty),
/// and `Deactivate` pops the most recent activation, whichever target made it.
class VarnikRenderTarget : public varnik::RenderTarget
{
public:
    /// Throws a `varnik::Error` pointer when the framebuffer entry points are
    /// missing. Leaves the new main framebuffer bound.
    VarnikRenderTarget();
    /// Drops this target's activation records; the binding is not re-established
    /// and the slot textures are not touched.
    ~VarnikRenderTarget() override;

    /// The class record. Defined in Texture.cpp, beside the module's other
    /// records, so that all of them are built in one fixed order at load.
    static varnik::ClassDesc s_cMyClass;
    static const varnik::ClassDesc* StaticClass() { return &s_cMyClass; }
    const varnik::ClassDesc* RuntimeClass() const override { return &s_cMyClass; }
    /// One target for a count of 0 or 1, an array otherwise; each initialised.
    static varnik::Node* CreateInstances(unsigned int iCount);

    /// Blits `pTexture` to framebuffer 0 when the blit extension is there and
    /// the sizes match; otherwise draws it as a quad over the current viewport.
    void CopyToScreen(varnik::Texture* pTexture) override;
    /// Puts a texture in a slot (0-3 colour, 4 depth) and attaches it; false when
    /// a framebuffer is incomplete. The first texture sets the size. A null
    /// texture empties the slot like `RemoveTarget` and answers true.
    bool SetTarget(varnik::Texture* pTexture, int iSlot) override;
    /// Detaches and empties a slot; the size stays.
    void RemoveTarget(int iSlot) override;
    /// The texture in slot 0 to 4, or null (also for other slots).
    varnik::Texture* Target(int iSlot) override;
    unsigned int Width() override;   ///< width of the drawing surface
    unsigned int Height() override;  ///< height of the drawing surface
    /// Stores the size only; storage follows with the next `SetTarget`.
    void SetSize(unsigned int iWidth, unsigned int iHeight) override;
    /// Saves the viewport on the shared stack, sets the full-target viewport and
    /// binds the active framebuffer. Throws for a target with no texture.
    void Activate() override;
    /// Pops the most recent activation, resolves multisampling, rebinds by the
    /// stack and restores the saved viewport.
    void Deactivate() override;
    /// Switches four-sample drawing on (renderbuffers made, attached by the next
    /// `SetTarget` of each slot) or off (renderbuffers deleted). Switching on
    /// while on keeps the existing renderbuffers.
    void SetMultisample(bool bOn) override;

    /// True when the GL extension string holds `sName` as a whole token.
    static bool IsExtensionSupported(const char* sName);
    /// Number of activation records on the shared stack (all targets).
    static int ActivationDepth();
    /// The framebuffer drawing goes to (main, or multisample while that is on).
    FrameBufferObject* ActiveFrameBuffer() const { return m_pActiveFBO; }
    /// The framebuffer the slot textures are attached to.
    FrameBufferObject* MainFrameBuffer() const { return m_pMainFBO; }
    /// The multisample framebuffer, null while multisampling is off.
    FrameBufferObject* MultisampleFrameBuffer() const { return m_pMultisampleFBO; }
    /// True when blitting between framebuffers is available.
    bool IsBlitSupported() const { return m_bBlitSupported; }

private:
    /// Number of slots holding a texture (read through the virtual `Target`).
    int FilledSlotCount();
    /// Slot 4 filled and slots 0 to 3 empty.
    bool IsDepthOnly();
    /// Binds the framebuffer of the top activation record's target, or 0.
    static void BindFromStack();

    FrameBufferObject* m_pMainFBO = nullptr;        ///< owned; slot textures attach here
    FrameBufferObject* m_pMultisampleFBO = nullptr; ///< owned while multisampling is on
    RenderBuffer* m_pColorBuffer = nullptr;         ///< owned four-sample colour storage
    RenderBuffer* m_pDepthBuffer = nullptr;         ///< owned four-sample depth storage
    FrameBufferObject* m_pActiveFBO = nullptr;      ///< main or multisample framebuffer, not owned
    unsigned int m_iWidth = 0;                      ///< size of the drawing surface
    unsigned int m_iHeight = 0;
    varnik::Texture* m_aTargets[5] = {};            ///< slots 0-3 colour, 4 depth; not owned
    unsigned int m_iMultisampleMode = 0;            ///< 0 off, 1 four samples
    bool m_bBlitSupported = false;                  ///< GL_EXT_framebuffer_blit is there
};

/// The attachment point of a slot: GL_COLOR_ATTACHMENT0_EXT + slot for 0 to 3,
/// GL_DEPTH_ATTACHMENT_EXT for 4. Throws a `varnik::Error` pointer ("Unknown
/// target") for any other slot.
GLenum GetOpenGLAttachmentFromTarget(int iSlot);
