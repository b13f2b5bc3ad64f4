#include "varnik/RenderTarget.h"

#include "varnik/ClassDesc.h"

namespace varnik {

namespace {

// Registered when the library loads (see Action.cpp).
const ClassDesc* const s_pRenderTargetRecord = RenderTarget::StaticClass();

} // namespace

RenderTarget::RenderTarget() = default;
RenderTarget::~RenderTarget() = default;

const ClassDesc* RenderTarget::StaticClass()
{
    static const ClassDesc s_cClass(Node::StaticClass(), Node::StaticClass(), "RenderTarget", "RenderTarget",
                                    nullptr, 0, 0);
    return &s_cClass;
}

const ClassDesc* RenderTarget::RuntimeClass() const { return StaticClass(); }

} // namespace varnik
