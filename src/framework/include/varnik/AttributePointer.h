#pragma once
#include <QString>
#include "varnik/Attribute.h"

class QWidget;

namespace varnik {

class Node;
class Texture;
class Stream;
class ClassDesc;

/// The editor of a pointer attribute, listing nodes of `pClass`. The headless
/// host has no widgets: returns null.
QWidget* CreateNewPtrWidget(QWidget* pParent, int iFlags, Attribute* pAttribute, const ClassDesc* pClass);

/// An attribute holding a raw node pointer of type T*. The pointer itself is
/// the value: its text form is the eight bytes of the pointer in decimal, and
/// streams write it as a node reference. Instantiated for Texture and Node.
template <typename T>
class AttributeInstance<T*> : public Attribute
{
public:
    AttributeInstance(Node* pOwner, const QString& sName, T* pValue = nullptr);

    /// 0: a plain pointer value.
    int TypeCode() const override;
    /// Writes the value as a node reference; reading stores the reference cast to T.
    void Serialize(Stream& s) override;
    /// The pointer's eight bytes in memory order, in decimal, blank-separated.
    QString AsString() const override;
    /// The inverse of AsString; text that is not eight numbers of 0 to 255 is
    /// logged and changes nothing.
    void SetFromString(const QString& sValue, bool bSilent) override;
    /// Links `cTarget`, hands it this value when it differs, then starts
    /// "linked as source" here and "linked as target" there.
    void AddTarget(Attribute& cTarget, bool bFlag) override;
    /// Gives each target of the same size this value; targets of another size
    /// only get a value-changed event.
    void PropagateValue() override;

    T* const& Value() const { return m_value; }
    operator T*() const { return m_value; }
    /// Stores the value, propagates it, and unless silent starts value-changed.
    virtual void SetValue(T* const& pValue, bool bSilent = false);     // 17

protected:
    const void* ValueAddress() const override { return &m_value; }
    /// The value seen as a node (null for null), as taken when it was stored.
    Node* ValueAsNode() const { return m_pValueNode; }
    /// Every change of the value goes through here so that its node view
    /// stays current.
    void StoreValue(T* pValue);
    /// Hands `cTarget` this value: typed when it holds a T*, else as a node.
    void GiveValueTo(Attribute& cTarget, bool bFlag);

    T* m_value;  ///< the referenced node, not owned
    /// m_value converted to its Node base when stored. T reaches Node through a
    /// virtual base, and that conversion reads the object: while ~Node runs,
    /// T's part is gone and references still ask for their node.
    Node* m_pValueNode;
};

/// A typed reference to a node of class T that follows the node's life: once
/// given a node through SetValue it is registered at that node's own attribute
/// (`Node::NodeAttribute`), whatever links it has besides, so the node's
/// events of types 3, 4, 6 and 8 reach it. The registration adds it to the
/// node attribute's targets without taking over its source link. When the
/// node is destroyed, its attribute starts the node-deleted event (3) and every
/// pointer attribute registered there clears itself to null (value-changed
/// event included), so no reference dangles.
template <typename T>
class AttributePointer : public AttributeInstance<T*>
{
public:
    /// Accepts or refuses a node for the attribute.
    typedef bool (*Validator)(T* pNode);

    AttributePointer(Node* pOwner, const QString& sName, T* pValue = nullptr);
    /// When this is a node's own attribute, tells and clears every reference to
    /// the node before unlinking.
    ~AttributePointer() override;

    /// 5: a node pointer.
    int TypeCode() const override;
    /// As the plain pointer, but reading goes through SetValue (silent).
    void Serialize(Stream& s) override;
    /// The referenced node's name, or the null text.
    QString AsString() const override;
    /// Any text clears the reference.
    void SetFromString(const QString& sValue, bool bSilent) override;
    /// Each target gets this pointer through SetPointerValue (flag false).
    void PropagateValue() override;
    /// T's class record.
    const ClassDesc* TargetType() const override;
    /// Takes a node, subject to the validator. Flag true: through SetValue (with
    /// registration at the node); false: stored, propagated, value-changed
    /// started. A node that is not a T is refused with a log line.
    void SetPointerValue(Node* pNode, bool bFlag) override;
    /// The value as a node.
    Node* PointerValue() const override;
    /// The validator's answer; true without one.
    bool ValidatePointerValue(const Node* pNode) const override;
    /// Base event; types 3, 4, 6 and 8 go on to every target.
    void StartEvent(int iType) override;
    /// The host's pointer editor (null in the headless host).
    QWidget* CreateEditorWidget(QWidget* pParent, int iFlags) override;
    /// Nothing when unchanged; else store, propagate, event unless silent, then
    /// register at the node's own attribute (or leave it for null). Links to
    /// other attributes stay as they are.
    void SetValue(T* const& pValue, bool bSilent = false) override;

    void SetValidator(Validator fValidator) { m_fValidator = fValidator; }
    Validator GetValidator() const { return m_fValidator; }
    void SetNullText(const QString& sText) { m_sNullText = sText; }
    const QString& NullText() const { return m_sNullText; }
    /// True for the attribute a node makes for itself in `Node::NodeAttribute`.
    bool IsNodeAttribute() const { return m_bNodeAttribute; }
    /// The node attribute this reference is registered at; null when none.
    AttributePointer<Node>* RegisteredAt() const { return m_pRegisteredAt; }

private:
    friend class Node;
    template <typename U> friend class AttributePointer;
    /// Drops a reference to a node that is being destroyed.
    void ForgetDeletedNode();
    /// Registers at `pNode`'s own attribute, leaving any former one.
    void Register(Node* pNode);
    void Unregister();

    Validator m_fValidator = nullptr;  ///< decides which nodes are accepted; null accepts all
    QString m_sNullText;               ///< text shown for a null reference
    bool m_bNodeAttribute = false;     ///< this is a node's own attribute
    bool m_bNodeDying = false;         ///< set while the node's own attribute is destroyed
    AttributePointer<Node>* m_pRegisteredAt = nullptr; ///< node attribute this reference is registered at
};

// Made once in the SDK for the two types the host uses.
extern template class AttributeInstance<Texture*>;
extern template class AttributeInstance<Node*>;
extern template class AttributePointer<Texture>;
extern template class AttributePointer<Node>;

} // namespace varnik
