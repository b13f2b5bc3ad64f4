#pragma once
#include <functional>
#include <QString>
#include <QStringList>

namespace varnik {

/// The host's menus: plug-ins add entries under a menu and a group of it; the
/// headless host shows none, but keeps them so that commands and tests can list
/// and trigger what a user would pick. Entries belong to an owner (usually the
/// node that added them) and go when it removes them.
class Menus
{
public:
    typedef std::function<void()> Handler;

    /// Adds (or replaces) the entry `sEntry` of `sGroup` in `sMenu`.
    static void Add(const QString& sMenu, const QString& sGroup, const QString& sEntry, Handler fHandler,
                    const void* pOwner);
    /// Removes every entry `pOwner` added.
    static void RemoveOwner(const void* pOwner);
    /// Entries of a group, in the order they were added; empty when there are none.
    static QStringList Entries(const QString& sMenu, const QString& sGroup);
    /// Groups of a menu, in the order of their first entry.
    static QStringList Groups(const QString& sMenu);
    /// Runs an entry's handler; false when there is no such entry.
    static bool Trigger(const QString& sMenu, const QString& sGroup, const QString& sEntry);
};

} // namespace varnik
