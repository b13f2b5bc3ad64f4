#include "varnik/Preferences.h"
#include <algorithm>
#include "varnik/Error.h"
#include "varnik/Kernel.h"

namespace varnik {

Preferences::Preferences() = default;

Preferences::~Preferences()
{
    for (Entry& cEntry : m_aEntries)
        if (cEntry.bOwned)
            delete cEntry.pAttribute;
    m_aEntries.clear();
}

Preferences::Bool::Bool(const QString& sName, const QString& sCategory, const QString& sDisplayName,
                        const QString& sDisplayCategory, bool bDefault, bool bFlag)
    : m_pAttribute(new AttributeInstance<bool>(nullptr, sName, bDefault)),
      m_sCategory(sCategory), m_sDisplayCategory(sDisplayCategory)
{
    Kernel::Preferences()->Add(sCategory, m_pAttribute, false);
}

Preferences::Bool::~Bool()
{
    Kernel::Preferences()->Remove(m_pAttribute);
    delete m_pAttribute;
}

Preferences::Integer::Integer(const QString& sName, const QString& sCategory, const QString& sDisplayName,
                              const QString& sDisplayCategory, unsigned int iDefault, bool bFlag)
    : m_pAttribute(new AttributeInstance<unsigned int>(nullptr, sName, iDefault)),
      m_sCategory(sCategory), m_sDisplayCategory(sDisplayCategory)
{
    Kernel::Preferences()->Add(sCategory, m_pAttribute, false);
}

Preferences::Integer::~Integer()
{
    Kernel::Preferences()->Remove(m_pAttribute);
    delete m_pAttribute;
}

AttributeInstance<bool>* Preferences::RegisterBoolVariable(const QString& sName, const QString& sCategory,
                                                           const QString& sDisplayName,
                                                           const QString& sDisplayCategory, bool bDefault)
{
    if (Attribute* pKnown = Find(sCategory, sName)) {
        if (auto* pBool = dynamic_cast<AttributeInstance<bool>*>(pKnown))
            return pBool;
        throw (new Error(QString(), 4, QStringLiteral("varnik::Preferences::RegisterBoolVariable"),
                         QStringLiteral("src/framework/Preferences"), __LINE__))
            ->Format(QStringLiteral("Preference \"%1\" in \"%2\" exists and is not a bool"), sName, sCategory);
    }
    auto* pAttribute = new AttributeInstance<bool>(nullptr, sName, bDefault);
    Add(sCategory, pAttribute, true);
    return pAttribute;
}

void Preferences::Unregister(Attribute* pAttribute)
{
    auto it = std::find_if(m_aEntries.begin(), m_aEntries.end(),
                           [pAttribute](const Entry& c) { return c.pAttribute == pAttribute; });
    if (it == m_aEntries.end())
        return;
    if (!it->bOwned) {
        // A static preference object owns its attribute and removes it itself.
        Kernel::Log(QStringLiteral("Preferences: \"%1\" belongs to a static preference and stays\n")
                        .arg(pAttribute->Name()));
        return;
    }
    m_aEntries.erase(it);
    delete pAttribute;
}

Attribute* Preferences::Find(const QString& sCategory, const QString& sName) const
{
    for (const Entry& cEntry : m_aEntries)
        if (cEntry.sCategory == sCategory && cEntry.pAttribute->Name() == sName)
            return cEntry.pAttribute;
    return nullptr;
}

std::vector<Attribute*> Preferences::All() const
{
    std::vector<Attribute*> aAll;
    aAll.reserve(m_aEntries.size());
    for (const Entry& cEntry : m_aEntries)
        aAll.push_back(cEntry.pAttribute);
    return aAll;
}

QString Preferences::CategoryOf(const Attribute* pAttribute) const
{
    for (const Entry& cEntry : m_aEntries)
        if (cEntry.pAttribute == pAttribute)
            return cEntry.sCategory;
    return QString();
}

void Preferences::Add(const QString& sCategory, Attribute* pAttribute, bool bOwned)
{
    if (Find(sCategory, pAttribute->Name()))
        // A second static object of the same name: kept (its owner needs it), but
        // lookups by name keep finding the first.
        Kernel::Log(QStringLiteral("Preferences: \"%1\" in \"%2\" is defined twice\n")
                        .arg(pAttribute->Name(), sCategory));
    m_aEntries.push_back({ sCategory, pAttribute, bOwned });
}

void Preferences::Remove(Attribute* pAttribute)
{
    m_aEntries.erase(std::remove_if(m_aEntries.begin(), m_aEntries.end(),
                                    [pAttribute](const Entry& c) { return c.pAttribute == pAttribute; }),
                     m_aEntries.end());
}

} // namespace varnik
