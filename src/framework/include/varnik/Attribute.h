#pragma once
#include <cstdint>
#include <cstring>
#include <vector>
#include <QString>
#include <QStringList>

class QWidget;

namespace varnik {

class Node;
class Stream;
class ClassDesc;

/// A named value owned by a node (or by nobody), with links: an attribute can
/// have target attributes that receive its value (`AddTarget`,
/// `PropagateValue`), and knows its source, the attribute it is a target of.
///
/// Events: `StartEvent(type)` tells the owner node (`Node::OnNodeEvent`) and the
/// event listeners. The SDK's event types: 0 value changed, 1 linked as target,
/// 2 linked as source, 3 owner deleted, 4 owner renamed, 5 visibility changed,
/// 6 owner changed, 7 reserved, 8 structure changed.
class Attribute
{
public:
    enum EventType { eValueChanged = 0, eLinkedAsTarget = 1, eLinkedAsSource = 2, eNodeDeleted = 3,
                     eNodeRenamed = 4, eVisibilityChanged = 5, eNodeChanged = 6, eReserved = 7,
                     eStructureChanged = 8 };

    /// `pOwner` may be null. `iSize` is the value size in bytes.
    Attribute(Node* pOwner, const QString& sName, uint32_t iSize);
    Attribute(const Attribute&) = delete;
    Attribute& operator=(const Attribute&) = delete;

    // The virtual slots, in the host's order.
    virtual int TypeCode() const;                                     // 0
    virtual void Serialize(Stream& s);                                // 1
    virtual QString AsString() const;                                 // 2
    virtual void SetFromString(const QString& sValue, bool bSilent);  // 3
    /// Adds `cTarget` to the targets (once) and makes this its source.
    virtual void AddTarget(Attribute& cTarget, bool bSilent);         // 4
    virtual void PropagateValue();                                    // 5
    virtual const ClassDesc* TargetType() const;                      // 6
    virtual void SetPointerValue(Node* pNode, bool bFlag);            // 7
    virtual Node* PointerValue() const;                               // 8
    virtual bool ValidatePointerValue(const Node* pNode) const;       // 9
    /// Unlinks from source and targets.
    virtual ~Attribute();                                             // 10
    /// Counts the event, tells the owner node and the listeners.
    virtual void StartEvent(int iType);                               // 11
    /// The headless host has no widgets: returns null.
    virtual QWidget* CreateEditorWidget(QWidget* pParent, int iFlags); // 12
    virtual int ParameterCount() const;                               // 13
    virtual QString ParameterName(int i) const;                       // 14
    virtual QString ParameterValue(int i) const;                      // 15
    virtual void SetParameterValue(int i, const QString& sValue);     // 16

    const QString& Name() const { return m_sName; }
    Node* Owner() const { return m_pOwner; }
    uint32_t Size() const { return m_iSize; }
    bool IsVisible() const { return m_bVisible; }
    /// Changes visibility; starts event 5 when it changes.
    void SetVisible(bool bVisible);

    int TargetCount() const { return int(m_aTargets.size()); }
    Attribute* Target(int i) const { return m_aTargets[size_t(i)]; }
    Attribute* Source() const { return m_pSource; }
    /// Removes `cTarget` from the targets (and clears its source link).
    void RemoveTarget(Attribute& cTarget);
    /// Unlinks this attribute from its source.
    void ClearSource();

    /// How many events of each type this attribute has started (types 0 to 8);
    /// the host's editors poll it, tests read it.
    int EventCount(int iType) const;

    /// Listener called for every event an attribute starts; one per process
    /// (the host's event log). Null to remove.
    typedef void (*EventListener)(Attribute& cAttribute, int iType);
    static void SetEventListener(EventListener fListener);

protected:
    /// Adds `cTarget` to the targets (once) without making this its source: it
    /// hears this attribute's events but keeps its own source link. Pointer
    /// attributes register at a node's own attribute this way.
    void AddListener(Attribute& cTarget);
    /// Raw copy of the value for typed SetValue through the base (size bytes).
    virtual const void* ValueAddress() const { return nullptr; }

private:
    Node* m_pOwner;                       ///< node that owns this attribute, may be null
    QString m_sName;                      ///< attribute name
    uint32_t m_iSize;                     ///< value size in bytes
    bool m_bVisible = true;               ///< shown in the host's editors
    std::vector<Attribute*> m_aTargets;   ///< attributes receiving this value
    Attribute* m_pSource = nullptr;       ///< attribute this one is a target of
    int m_aEventCounts[9] = {};           ///< events started, per type
};

/// An attribute holding a value of type T.
template <typename T>
class AttributeInstance : public Attribute
{
public:
    AttributeInstance(Node* pOwner, const QString& sName, const T& value = T())
        : Attribute(pOwner, sName, sizeof(T)), m_value(value) {}

    // Typed slots; defined per value type (bool, int, unsigned int, float,
    // QString and the pointer types) in the SDK.
    int TypeCode() const override;
    void Serialize(Stream& s) override;
    QString AsString() const override;
    void SetFromString(const QString& sValue, bool bSilent) override;

    const T& Value() const { return m_value; }
    operator const T&() const { return m_value; }
    /// Stores the value, propagates it to the targets, and unless silent starts
    /// the value-changed event.
    virtual void SetValue(const T& value, bool bSilent = false)         // 17
    {
        m_value = value;
        PropagateValue();
        if (!bSilent)
            StartEvent(eValueChanged);
    }
    void PropagateValue() override
    {
        for (int i = 0; i < TargetCount(); ++i) {
            Attribute* pT = Target(i);
            if (pT->Size() != Size()) { pT->StartEvent(eValueChanged); continue; }
            if (auto* pTyped = dynamic_cast<AttributeInstance<T>*>(pT))
                pTyped->SetValue(m_value, false);
        }
    }

protected:
    const void* ValueAddress() const override { return &m_value; }
    T m_value;  ///< the value
};

// Pointer values have their own form, defined in varnik/AttributePointer.h;
// declared here so that no pointer instance is made from the generic template.
template <typename T> class AttributeInstance<T*>;

template <> int AttributeInstance<bool>::TypeCode() const;
template <> void AttributeInstance<bool>::Serialize(Stream&);
template <> QString AttributeInstance<bool>::AsString() const;
template <> void AttributeInstance<bool>::SetFromString(const QString&, bool);
template <> int AttributeInstance<int>::TypeCode() const;
template <> void AttributeInstance<int>::Serialize(Stream&);
template <> QString AttributeInstance<int>::AsString() const;
template <> void AttributeInstance<int>::SetFromString(const QString&, bool);
template <> int AttributeInstance<unsigned int>::TypeCode() const;
template <> void AttributeInstance<unsigned int>::Serialize(Stream&);
template <> QString AttributeInstance<unsigned int>::AsString() const;
template <> void AttributeInstance<unsigned int>::SetFromString(const QString&, bool);
template <> int AttributeInstance<float>::TypeCode() const;
template <> void AttributeInstance<float>::Serialize(Stream&);
template <> QString AttributeInstance<float>::AsString() const;
template <> void AttributeInstance<float>::SetFromString(const QString&, bool);
template <> int AttributeInstance<QString>::TypeCode() const;
template <> void AttributeInstance<QString>::Serialize(Stream&);
template <> QString AttributeInstance<QString>::AsString() const;
template <> void AttributeInstance<QString>::SetFromString(const QString&, bool);

} // namespace varnik
