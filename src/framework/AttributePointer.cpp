#include <cstring>
#include <QStringList>
#include "varnik/AttributePointer.h"
#include "varnik/Kernel.h"
#include "varnik/Node.h"
#include "varnik/Stream.h"
#include "varnik/Texture.h"

namespace varnik {

QWidget* CreateNewPtrWidget(QWidget*, int, Attribute*, const ClassDesc*)
{
    return nullptr;
}

namespace {

/// Whether `pTarget` is still among the targets of `cSource` (targets leave
/// while they hear of a node's end).
bool IsTarget(const Attribute& cSource, const Attribute* pTarget)
{
    for (int i = 0; i < cSource.TargetCount(); ++i)
        if (cSource.Target(i) == pTarget)
            return true;
    return false;
}

} // namespace

// ---------------------------------------------------------------------------
// Plain pointer values

template <typename T>
AttributeInstance<T*>::AttributeInstance(Node* pOwner, const QString& sName, T* pValue)
    : Attribute(pOwner, sName, sizeof(T*)), m_value(pValue), m_pValueNode(pValue)
{
}

template <typename T>
void AttributeInstance<T*>::StoreValue(T* pValue)
{
    m_value = pValue;
    m_pValueNode = pValue;
}

template <typename T>
int AttributeInstance<T*>::TypeCode() const
{
    return 0;
}

template <typename T>
void AttributeInstance<T*>::Serialize(Stream& s)
{
    if (s.IsLoading())
        StoreValue(dynamic_cast<T*>(s.ReadNodeReference()));
    else
        s.WriteNodeReference(ValueAsNode());
}

template <typename T>
QString AttributeInstance<T*>::AsString() const
{
    unsigned char aBytes[sizeof(T*)];
    std::memcpy(aBytes, &m_value, sizeof(T*));
    QStringList aParts;
    for (unsigned char c : aBytes)
        aParts << QString::number(c);
    return aParts.join(' ');
}

template <typename T>
void AttributeInstance<T*>::SetFromString(const QString& sValue, bool bSilent)
{
    QStringList aParts = sValue.split(' ', Qt::SkipEmptyParts);
    unsigned char aBytes[sizeof(T*)];
    bool bOk = aParts.size() == int(sizeof(T*));
    for (int i = 0; bOk && i < aParts.size(); ++i) {
        unsigned int iByte = aParts[i].toUInt(&bOk);
        bOk = bOk && iByte <= 255;
        aBytes[i] = static_cast<unsigned char>(iByte);
    }
    if (!bOk) {
        Kernel::Log(QString("Attribute \"%1\": \"%2\" is not a pointer value of %3 bytes\n")
                        .arg(Name(), sValue).arg(int(sizeof(T*))));
        return;
    }
    T* pValue = nullptr;
    std::memcpy(&pValue, aBytes, sizeof(T*));
    SetValue(pValue, bSilent);
}

template <typename T>
void AttributeInstance<T*>::GiveValueTo(Attribute& cTarget, bool bFlag)
{
    if (auto* pTyped = dynamic_cast<AttributeInstance<T*>*>(&cTarget)) {
        if (pTyped->Value() != m_value)
            pTyped->SetValue(m_value, bFlag);
    } else if (cTarget.PointerValue() != ValueAsNode()) {
        // A pointer attribute of another node type takes the value as a node.
        cTarget.SetPointerValue(ValueAsNode(), bFlag);
    }
}

template <typename T>
void AttributeInstance<T*>::AddTarget(Attribute& cTarget, bool bFlag)
{
    Attribute::AddTarget(cTarget, false);
    // A link the base refused (to itself, or one closing a loop) hands over no
    // value and starts no link events.
    if (cTarget.Source() != this)
        return;
    if (cTarget.Size() != 0)
        GiveValueTo(cTarget, bFlag);
    StartEvent(eLinkedAsSource);
    cTarget.StartEvent(eLinkedAsTarget);
}

template <typename T>
void AttributeInstance<T*>::PropagateValue()
{
    for (int i = 0; i < TargetCount(); ++i) {
        Attribute* pTarget = Target(i);
        if (pTarget->Size() != Size())
            pTarget->StartEvent(eValueChanged);
        else if (auto* pTyped = dynamic_cast<AttributeInstance<T*>*>(pTarget))
            pTyped->SetValue(m_value, false);
        else
            pTarget->SetPointerValue(ValueAsNode(), false);
    }
}

template <typename T>
void AttributeInstance<T*>::SetValue(T* const& pValue, bool bSilent)
{
    StoreValue(pValue);
    PropagateValue();
    if (!bSilent)
        StartEvent(eValueChanged);
}

// ---------------------------------------------------------------------------
// Node references

template <typename T>
AttributePointer<T>::AttributePointer(Node* pOwner, const QString& sName, T* pValue)
    : AttributeInstance<T*>(pOwner, sName, pValue)
{
}

template <typename T>
AttributePointer<T>::~AttributePointer()
{
    Unregister();
    // A node's own attribute goes with its node: unless the node already
    // announced its end, announce it now so that references let go.
    if (m_bNodeAttribute && !m_bNodeDying)
        StartEvent(Attribute::eNodeDeleted);
    // Targets that did not let go (other attribute kinds) are unlinked by the
    // base destructor.
}

template <typename T>
int AttributePointer<T>::TypeCode() const
{
    return 5;
}

template <typename T>
void AttributePointer<T>::Serialize(Stream& s)
{
    if (s.IsLoading())
        SetValue(dynamic_cast<T*>(s.ReadNodeReference()), true);
    else
        s.WriteNodeReference(PointerValue());
}

template <typename T>
QString AttributePointer<T>::AsString() const
{
    Node* pNode = PointerValue();
    return pNode ? pNode->Name() : m_sNullText;
}

template <typename T>
void AttributePointer<T>::SetFromString(const QString&, bool)
{
    SetPointerValue(nullptr, true);
}

template <typename T>
void AttributePointer<T>::PropagateValue()
{
    Node* pNode = PointerValue();
    for (int i = 0; i < this->TargetCount(); ++i)
        this->Target(i)->SetPointerValue(pNode, false);
}

template <typename T>
const ClassDesc* AttributePointer<T>::TargetType() const
{
    return T::StaticClass();
}

template <typename T>
void AttributePointer<T>::SetPointerValue(Node* pNode, bool bFlag)
{
    T* pTyped = dynamic_cast<T*>(pNode);
    if (pNode && !pTyped) {
        Kernel::Log(QString("Attribute \"%1\": node \"%2\" is not of the referenced type\n")
                        .arg(this->Name(), pNode->Name()));
        return;
    }
    if (pNode && m_fValidator && !m_fValidator(pTyped))
        return;
    if (bFlag) {
        SetValue(pTyped, false);
        return;
    }
    // No registration on this path; one at another node no longer applies.
    if (m_pRegisteredAt && m_pRegisteredAt->PointerValue() != pNode)
        Unregister();
    this->StoreValue(pTyped);
    PropagateValue();
    StartEvent(Attribute::eValueChanged);
}

template <typename T>
Node* AttributePointer<T>::PointerValue() const
{
    return this->ValueAsNode();
}

template <typename T>
bool AttributePointer<T>::ValidatePointerValue(const Node* pNode) const
{
    if (!m_fValidator)
        return true;
    return m_fValidator(dynamic_cast<T*>(const_cast<Node*>(pNode)));
}

template <typename T>
void AttributePointer<T>::Register(Node* pNode)
{
    AttributePointer<Node>& cOwn = pNode->NodeAttribute();
    if (m_pRegisteredAt == &cOwn)
        return;
    Unregister();
    cOwn.AddListener(*this);
    m_pRegisteredAt = &cOwn;
}

template <typename T>
void AttributePointer<T>::Unregister()
{
    if (m_pRegisteredAt)
        m_pRegisteredAt->RemoveTarget(*this);
    m_pRegisteredAt = nullptr;
}

template <typename T>
void AttributePointer<T>::ForgetDeletedNode()
{
    Unregister();
    this->StoreValue(nullptr);
    PropagateValue();
    StartEvent(Attribute::eValueChanged);
}

template <typename T>
void AttributePointer<T>::StartEvent(int iType)
{
    Attribute::StartEvent(iType);
    // Event 3 on a node's own attribute means the node is being destroyed.
    if (iType == Attribute::eNodeDeleted && m_bNodeAttribute)
        m_bNodeDying = true;
    // Events about the referenced node travel down the links.
    if (iType >= 0 && iType < 9 && ((0x158 >> iType) & 1) && this->TargetCount() > 0) {
        if (m_bNodeDying) {
            // Targets unlink themselves while they hear it: walk a copy.
            std::vector<Attribute*> aTargets;
            for (int i = 0; i < this->TargetCount(); ++i)
                aTargets.push_back(this->Target(i));
            for (Attribute* pTarget : aTargets)
                if (IsTarget(*this, pTarget))
                    pTarget->StartEvent(iType);
        } else {
            for (int i = 0; i < this->TargetCount(); ++i)
                this->Target(i)->StartEvent(iType);
        }
    }
    if (iType == Attribute::eNodeDeleted && m_pRegisteredAt && m_pRegisteredAt->m_bNodeDying &&
        m_pRegisteredAt->PointerValue() == PointerValue())
        ForgetDeletedNode();
}

template <typename T>
QWidget* AttributePointer<T>::CreateEditorWidget(QWidget* pParent, int iFlags)
{
    return CreateNewPtrWidget(pParent, iFlags, this, T::StaticClass());
}

template <typename T>
void AttributePointer<T>::SetValue(T* const& pValue, bool bSilent)
{
    if (pValue == this->m_value)
        return;
    this->StoreValue(pValue);
    PropagateValue();
    if (!bSilent)
        StartEvent(Attribute::eValueChanged);
    if (pValue)
        Register(PointerValue());
    else
        Unregister();
}

template class AttributeInstance<Texture*>;
template class AttributeInstance<Node*>;
template class AttributePointer<Texture>;
template class AttributePointer<Node>;

// ---------------------------------------------------------------------------

AttributePointer<Node>& Node::NodeAttribute()
{
    if (!m_pNodeAttribute) {
        auto* pAttribute = new AttributePointer<Node>(this, QStringLiteral("node"), this);
        pAttribute->m_bNodeAttribute = true;
        m_pNodeAttribute = pAttribute;
    }
    return *static_cast<AttributePointer<Node>*>(m_pNodeAttribute);
}

} // namespace varnik
