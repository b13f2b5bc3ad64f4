#include "CompositeAllAction.h"

#include <QCoreApplication>
#include <QVector>

#include "Texture.h"
#include "varnik/Interface.h"
#include "varnik/Kernel.h"
#include "varnik/TexturePool.h"

// The class record and the instance are defined with the module's other static
// objects (Texture.cpp), which fixes their order of construction.

CompositeAllAction::CompositeAllAction()
{
    varnik::Node::SetName(QStringLiteral("Composite paint strokes"));
}

CompositeAllAction::~CompositeAllAction() = default;

varnik::Node* CompositeAllAction::CreateInstances(unsigned int iCount)
{
    return varnik::CreateInstancesOf<CompositeAllAction>(iCount);
}

void CompositeAllAction::Execute()
{
    // Collected first: compositing makes and deletes temporary nodes, which
    // must not disturb the walk.
    QVector<VarnikTexture*> aTextures;
    for (varnik::Node* pNode = varnik::Node::First(); pNode; pNode = pNode->Next()) {
        VarnikTexture* pTexture = dynamic_cast<VarnikTexture*>(pNode);
        if (pTexture && !pTexture->PendingComposites().isEmpty())
            aTextures.append(pTexture);
    }

    varnik::Interface* pInterface = varnik::Kernel::Interface();
    pInterface->ProgressStart(QCoreApplication::translate("CompositeAllAction", "Compositing..."),
                              unsigned(aTextures.size()), 1.0f, 0);
    for (VarnikTexture* pTexture : aTextures) {
        const unsigned int iLocation = pTexture->Location();
        const unsigned char iLevel = pTexture->getProxyLevel();
        // Replayed on the CPU side: no GPU copy of the full-size texture is needed.
        pTexture->SetLocation(varnik::TexturePool::locationCPU);
        pTexture->Update();
        // Through the smallest level and back, so that the shown proxy is made
        // afresh from the composited image.
        pTexture->setProxyLevel(4, false);
        pTexture->setProxyLevel(iLevel, false);
        pTexture->SetLocation(iLocation);
        pInterface->ProgressAdd();  // cannot be cancelled part-way
    }
    pInterface->ProgressEnd();
    varnik::Kernel::ViewPort()->Redraw(0, 0.0f, 0.0f, 0.0f, 0.0f);
}
