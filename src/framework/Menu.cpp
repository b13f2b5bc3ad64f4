#include "varnik/Menu.h"

#include <algorithm>
#include <vector>

namespace varnik {

namespace {

struct Entry
{
    QString sMenu, sGroup, sEntry;
    Menus::Handler fHandler;
    const void* pOwner;
};

std::vector<Entry>& AllEntries()
{
    static std::vector<Entry> s_aEntries;
    return s_aEntries;
}

} // namespace

void Menus::Add(const QString& sMenu, const QString& sGroup, const QString& sEntry, Handler fHandler,
                const void* pOwner)
{
    for (Entry& c : AllEntries())
        if (c.sMenu == sMenu && c.sGroup == sGroup && c.sEntry == sEntry) {
            c.fHandler = std::move(fHandler);
            c.pOwner = pOwner;
            return;
        }
    AllEntries().push_back(Entry{ sMenu, sGroup, sEntry, std::move(fHandler), pOwner });
}

void Menus::RemoveOwner(const void* pOwner)
{
    std::vector<Entry>& a = AllEntries();
    a.erase(std::remove_if(a.begin(), a.end(), [&](const Entry& c) { return c.pOwner == pOwner; }), a.end());
}

QStringList Menus::Entries(const QString& sMenu, const QString& sGroup)
{
    QStringList a;
    for (const Entry& c : AllEntries())
        if (c.sMenu == sMenu && c.sGroup == sGroup)
            a << c.sEntry;
    return a;
}

QStringList Menus::Groups(const QString& sMenu)
{
    QStringList a;
    for (const Entry& c : AllEntries())
        if (c.sMenu == sMenu && !a.contains(c.sGroup))
            a << c.sGroup;
    return a;
}

bool Menus::Trigger(const QString& sMenu, const QString& sGroup, const QString& sEntry)
{
    for (const Entry& c : AllEntries())
        if (c.sMenu == sMenu && c.sGroup == sGroup && c.sEntry == sEntry) {
            // A copy: the handler may change the menus (a node removing itself).
            Handler fHandler = c.fHandler;
            fHandler();
            return true;
        }
    return false;
}

} // namespace varnik
