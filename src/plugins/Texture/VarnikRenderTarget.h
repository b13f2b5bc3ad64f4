#pragma once
#include "varnik/RenderTarget.h"
#include "varnik/ClassDesc.h"

namespace varnik { class Texture; }

/// The module's render target: offscreen drawing into up to four colour
/// textures and one depth texture, with optional four-sample multisampling.
class VarnikRenderTarget : public varnik::RenderTarget
{
public:
    VarnikRenderTarget();
    ~VarnikRenderTarget() override;

    /// The class record. Defined in Texture.cpp, beside the module's other
    /// records, so that all of them are built in one fixed order at load.
    static varnik::ClassDesc s_cMyClass;
    static const varnik::ClassDesc* StaticClass() { return &s_cMyClass; }
    const varnik::ClassDesc* RuntimeClass() const override { return &s_cMyClass; }
    /// One target for a count of 0 or 1, an array otherwise; each initialised.
    static varnik::Node* CreateInstances(unsigned int iCount);

    void CopyToScreen(varnik::Texture* pTexture) override;
    bool SetTarget(varnik::Texture* pTexture, int iSlot) override;
    void RemoveTarget(int iSlot) override;
    varnik::Texture* Target(int iSlot) override;
    unsigned int Width() override;
    unsigned int Height() override;
    void SetSize(unsigned int iWidth, unsigned int iHeight) override;
    void Activate() override;
    void Deactivate() override;
    void SetMultisample(bool bOn) override;

    // The members and helpers of the implementation follow here.
};
