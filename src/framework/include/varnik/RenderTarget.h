#pragma once
#include "varnik/Node.h"

namespace varnik {

class Texture;

/// The host's render-target interface: offscreen drawing into up to four colour
/// textures (slots 0-3) and one depth texture (slot 4).
class RenderTarget : public virtual Node
{
public:
    RenderTarget();
    ~RenderTarget() override;
    static const ClassDesc* StaticClass();
    const ClassDesc* RuntimeClass() const override;

    virtual void CopyToScreen(Texture* pTexture) = 0;              // 18
    virtual bool SetTarget(Texture* pTexture, int iSlot) = 0;      // 19
    virtual void RemoveTarget(int iSlot) = 0;                      // 20
    virtual Texture* Target(int iSlot) = 0;                        // 21
    virtual unsigned int Width() = 0;                              // 22
    virtual unsigned int Height() = 0;                             // 23
    virtual void SetSize(unsigned int iWidth, unsigned int iHeight) = 0; // 24
    virtual void Activate() = 0;                                   // 25
    virtual void Deactivate() = 0;                                 // 26
    virtual void SetMultisample(bool bOn) = 0;                     // 27
};

} // namespace varnik
