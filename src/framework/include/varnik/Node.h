#pragma once
#include <QString>
#include "varnik/ClassDesc.h"
#include "varnik/Kernel.h"

class QWidget;

namespace varnik {

class Stream;
class Attribute;
template <typename T> class AttributePointer;

/// The root of the host's object hierarchy. Every node is on the kernel's node
/// list from construction to destruction, in construction order
/// (`First()`, `Next()`).
class Node
{
public:
    enum DiagnosticLevel { eQuick = 0, eFull = 1 };

    explicit Node(const QString& sName = QString(), const QString& sStringID = QString());
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // The virtual slots, in the host's order.
    virtual ~Node();                                                  // 0
    /// Called once by the creator after construction.
    virtual void Initialize();                                        // 1
    /// An event from an attribute this node owns.
    virtual void OnNodeEvent(const Attribute& cAttribute, int iEventType); // 2
    /// A host-wide event; the base ignores it.
    virtual void OnEvent(int iEventType);                             // 3
    /// The node's name. With a record, the name as seen from that class (the
    /// base ignores the record).
    virtual QString Name(const ClassDesc* pClass = nullptr) const;    // 4
    virtual void SetName(const QString& sName);                       // 5
    virtual QString StringID() const;                                 // 6
    virtual void SetStringID(const QString& sID);                     // 7
    virtual QString DisplayName() const;                              // 8
    virtual void SetDisplayName(const QString& sName);                // 9
    virtual QString HelpID() const;                                   // 10
    virtual void SetHelpID(const QString& sID);                       // 11
    /// The headless host has no widgets: returns null.
    virtual QWidget* CreatePropertiesWindow(QWidget* pParent);        // 12
    /// Writes or reads the node's own record (its name and string id).
    virtual void Serialize(Stream& s);                                // 13
    /// Throws a `varnik::Error` pointer when the node is inconsistent.
    virtual void CheckValidity(DiagnosticLevel eLevel) const;         // 14
    /// Copies name and ids into `pTarget`.
    virtual void CopyTo(Node* pTarget) const;                         // 15
    /// A new node of the same class, made through the registry, with CopyTo applied.
    virtual Node* Duplicate() const;                                  // 16
    virtual const ClassDesc* RuntimeClass() const;                    // 17

    static const ClassDesc* StaticClass();

    /// True when the runtime class is `pClass` or derives from it.
    bool IsKindOf(const ClassDesc* pClass) const;

    /// The node list.
    static Node* First();
    Node* Next() const { return m_pNext; }
    static int Count();

    /// The pointer attribute that every node carries; it points at the node
    /// itself, and attributes that refer to this node register as its targets
    /// so that the node's events reach them. Made on first use.
    AttributePointer<Node>& NodeAttribute();

private:
    QString m_sName;            ///< node name
    QString m_sStringID;        ///< stable identifier
    QString m_sDisplayName;     ///< user-visible name
    QString m_sHelpID;          ///< help topic
    Node* m_pPrev = nullptr;    ///< node list links
    Node* m_pNext = nullptr;
    Attribute* m_pNodeAttribute = nullptr; ///< owned AttributePointer<Node>, see NodeAttribute()
};

} // namespace varnik

namespace varnik {

/// Deletes `pNode`, which the registry made for `pClass` but is not of the
/// class asked for, and throws the error saying so.
[[noreturn]] void RefuseInstance(Node* pNode, const ClassDesc* pClass);

/// A node made through the class registry (`Kernel::CreateClassInstance`), as
/// a T. A node of another class is deleted and a `varnik::Error` pointer is
/// thrown. The caller owns the result.
template <typename T>
T* CreateInstanceAs(const ClassDesc* pClass)
{
    Node* pNode = Kernel::CreateClassInstance(pClass);
    if (T* p = dynamic_cast<T*>(pNode))
        return p;
    RefuseInstance(pNode, pClass);
}

template <typename T>
Node* CreateInstancesOf(unsigned int iCount)
{
    if (iCount <= 1) {
        T* p = new T();
        static_cast<Node*>(p)->Initialize();
        return p;
    }
    T* a = new T[iCount];  // array new destroys the built ones if a constructor throws
    for (unsigned int i = 0; i < iCount; ++i)
        static_cast<Node*>(&a[i])->Initialize();
    return &a[0];
}

} // namespace varnik
