#include "varnik/ClassDesc.h"
#include <algorithm>
#include <vector>

namespace varnik {

namespace {

std::vector<const ClassDesc*>& Registry()
{
    // Never destroyed: records of modules and of other static objects unregister
    // during static destruction, in an order no file controls.
    static std::vector<const ClassDesc*>* s_pRegistry = new std::vector<const ClassDesc*>();
    return *s_pRegistry;
}

} // namespace

ClassDesc::ClassDesc(const ClassDesc* pParent, const ClassDesc* pSecond, const QString& sName,
                     const QString& sDisplayName, Creator fCreator, int iFlags, int iVersion)
    : m_pParent(pParent), m_pSecond(pSecond), m_sName(sName), m_sDisplayName(sDisplayName),
      m_fCreator(fCreator), m_iFlags(iFlags), m_iVersion(iVersion)
{
    Registry().push_back(this);
}

ClassDesc::~ClassDesc()
{
    auto& aRegistry = Registry();
    aRegistry.erase(std::remove(aRegistry.begin(), aRegistry.end(), this), aRegistry.end());
}

bool ClassDesc::IsKindOf(const ClassDesc* pOther) const
{
    if (!pOther)
        return false;
    // Bounded walk: a parent chain is short; the bound only guards against a
    // record that names itself as an ancestor.
    int iSteps = 0;
    for (const ClassDesc* p = this; p && iSteps < 256; p = p->m_pParent, ++iSteps)
        if (p == pOther)
            return true;
    return false;
}

int ClassDesc::Count()
{
    return int(Registry().size());
}

const ClassDesc* ClassDesc::At(int iIndex)
{
    const auto& aRegistry = Registry();
    return iIndex >= 0 && size_t(iIndex) < aRegistry.size() ? aRegistry[size_t(iIndex)] : nullptr;
}

const ClassDesc* ClassDesc::FindByName(const QString& sName)
{
    const auto& aRegistry = Registry();
    // The most recent one wins, as for implementations.
    for (auto it = aRegistry.rbegin(); it != aRegistry.rend(); ++it)
        if ((*it)->m_sName == sName)
            return *it;
    return nullptr;
}

const ClassDesc* ClassDesc::FindImplementation(const ClassDesc* pInterface)
{
    if (!pInterface)
        return nullptr;
    if (pInterface->m_fCreator)
        return pInterface;
    const auto& aRegistry = Registry();
    for (auto it = aRegistry.rbegin(); it != aRegistry.rend(); ++it)
        if ((*it)->m_fCreator && (*it)->m_pParent == pInterface)
            return *it;
    return nullptr;
}

} // namespace varnik
