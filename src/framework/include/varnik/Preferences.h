#pragma once
#include <QString>
#include <vector>
#include "varnik/Attribute.h"

namespace varnik {

/// The host's preference store: attributes grouped by category. Static
/// preference objects (`Bool`, `Integer`) add themselves when constructed and
/// remove themselves when destroyed (module unload); registered variables are
/// owned by the store and live until it is destroyed or `Unregister` is called.
/// Names are unique within a category: registering a name again returns the
/// existing attribute.
class Preferences
{
public:
    Preferences();
    ~Preferences();

    /// A boolean preference held by a static object. The first member is the
    /// pointer to the attribute that represents it.
    class Bool
    {
    public:
        /// `sDisplayName` and `bFlag` (the host's persistence flag; the module
        /// passes true) complete the host's call form: the headless host shows
        /// no editor and keeps no preference file, so it ignores both.
        Bool(const QString& sName, const QString& sCategory, const QString& sDisplayName,
             const QString& sDisplayCategory, bool bDefault, bool bFlag);
        ~Bool();
        operator bool() const { return m_pAttribute->Value(); }
        AttributeInstance<bool>* m_pAttribute;  ///< the attribute (owned)
        QString m_sCategory;                    ///< category name
        QString m_sDisplayCategory;             ///< translated category
    };

    /// An unsigned integer preference held by a static object.
    class Integer
    {
    public:
        Integer(const QString& sName, const QString& sCategory, const QString& sDisplayName,
                const QString& sDisplayCategory, unsigned int iDefault, bool bFlag);
        ~Integer();
        operator unsigned int() const { return m_pAttribute->Value(); }
        AttributeInstance<unsigned int>* m_pAttribute;  ///< the attribute (owned)
        QString m_sCategory;                            ///< category name
        QString m_sDisplayCategory;                     ///< translated category
    };

    /// Makes (or finds) a boolean variable owned by the store. Visible by default.
    AttributeInstance<bool>* RegisterBoolVariable(const QString& sName, const QString& sCategory,
                                                  const QString& sDisplayName,
                                                  const QString& sDisplayCategory, bool bDefault);
    /// Removes and deletes a registered variable (static objects remove themselves).
    void Unregister(Attribute* pAttribute);

    /// Finds a preference by category and name; null when there is none.
    Attribute* Find(const QString& sCategory, const QString& sName) const;
    /// Every preference, in registration order.
    std::vector<Attribute*> All() const;
    QString CategoryOf(const Attribute* pAttribute) const;

    /// Host settings read directly by plug-ins.
    bool m_bAllowTwoChannelTiles = false;  ///< tile pools may keep two-channel tiles
    bool m_bUseFloatTiles = false;         ///< tile pools raise 8/16-bit tiles to half float

private:
    struct Entry { QString sCategory; Attribute* pAttribute; bool bOwned; };
    friend class Bool;
    friend class Integer;
    void Add(const QString& sCategory, Attribute* pAttribute, bool bOwned);
    void Remove(Attribute* pAttribute);
    std::vector<Entry> m_aEntries;  ///< every preference, in registration order
};

} // namespace varnik
