#pragma once
#include <QString>

namespace varnik {

class Node;

/// A class record. Records are static objects: they register with the class
/// registry when constructed (at program start or when a module is loaded
/// with dlopen) and unregister when destroyed (at module unload), so that the
/// registry forgets the classes of an unloaded module.
class ClassDesc
{
public:
    typedef Node* (*Creator)(unsigned int iCount);

    /// `pParent` is the interface or class this one implements; `pSecond` is a
    /// second parent record kept for the host (every record of the module
    /// passes the same record twice). `fCreator` may be null for interfaces.
    /// `iFlags` is kept for the host; `iVersion` is the class version written
    /// into scene streams.
    ClassDesc(const ClassDesc* pParent, const ClassDesc* pSecond, const QString& sName,
              const QString& sDisplayName, Creator fCreator, int iFlags, int iVersion);
    ~ClassDesc();
    ClassDesc(const ClassDesc&) = delete;
    ClassDesc& operator=(const ClassDesc&) = delete;

    const ClassDesc* Parent() const { return m_pParent; }
    const ClassDesc* Second() const { return m_pSecond; }
    const QString& Name() const { return m_sName; }
    const QString& DisplayName() const { return m_sDisplayName; }
    Creator CreatorFunction() const { return m_fCreator; }
    int Flags() const { return m_iFlags; }
    int Version() const { return m_iVersion; }
    /// True when this record is `pOther` or derives from it through parents.
    bool IsKindOf(const ClassDesc* pOther) const;

    /// The registry, in registration order.
    static int Count();
    static const ClassDesc* At(int iIndex);
    /// The most recently registered record of that name; null when none.
    static const ClassDesc* FindByName(const QString& sName);
    /// `pInterface` itself when it has a creator (a concrete class makes
    /// itself); otherwise the most recently registered record with a creator
    /// whose direct parent is `pInterface` (a class further down implements
    /// its own parent, not the interface). Null when there is none.
    static const ClassDesc* FindImplementation(const ClassDesc* pInterface);

private:
    const ClassDesc* m_pParent;   ///< interface or parent class
    const ClassDesc* m_pSecond;   ///< second record given at construction
    QString m_sName;              ///< class name
    QString m_sDisplayName;       ///< display text
    Creator m_fCreator;           ///< makes initialised instances; null for interfaces
    int m_iFlags;                 ///< first integer of the record
    int m_iVersion;               ///< second integer: class version in streams
};

/// The usual creator of a record: one object for a count of 0 or 1, an array of
/// `iCount` otherwise; `Initialize` is called on each in index order. Returns
/// the first object's node.
template <typename T>
Node* CreateInstancesOf(unsigned int iCount);

} // namespace varnik
