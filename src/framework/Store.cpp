#include "varnik/Store.h"
#include <algorithm>
#include <map>
#include "varnik/Kernel.h"

namespace varnik {

namespace {

struct NameEntry
{
    size_t iBytes = 0;   ///< bytes held under the name
    int iBlocks = 0;     ///< blocks alive under the name
};

struct Accounting
{
    std::map<QString, NameEntry> aNames;  ///< per accounting name
    size_t iTotal = 0;                    ///< sum over all names
    size_t iLimit = 0;                    ///< 0: no cap
};

Accounting& Books()
{
    // Never destroyed: stores in static objects of modules are freed after
    // this file's statics would be.
    static Accounting* s_pBooks = new Accounting();
    return *s_pBooks;
}

bool WouldPassLimit(size_t iOld, size_t iNew)
{
    const Accounting& c = Books();
    if (c.iLimit == 0 || iNew <= iOld)
        return false;
    return c.iTotal - iOld + iNew > c.iLimit;
}

} // namespace

Block::Block(const QString& sName, size_t iBytes) : m_sName(sName), m_iBytes(0)
{
    if (WouldPassLimit(0, iBytes))
        throw &Error::s_cBadAlloc;
    NameEntry& cEntry = Books().aNames[m_sName];
    ++cEntry.iBlocks;
    cEntry.iBytes += iBytes;
    Books().iTotal += iBytes;
    m_iBytes = iBytes;
}

Block::~Block()
{
    Accounting& c = Books();
    auto it = c.aNames.find(m_sName);
    if (it == c.aNames.end())
        return;
    it->second.iBytes -= std::min(it->second.iBytes, m_iBytes);
    c.iTotal -= std::min(c.iTotal, m_iBytes);
    if (--it->second.iBlocks <= 0)
        c.aNames.erase(it);
}

void Block::Resize(size_t iBytes)
{
    if (iBytes == m_iBytes)
        return;
    if (WouldPassLimit(m_iBytes, iBytes))
        throw &Error::s_cBadAlloc;
    Accounting& c = Books();
    NameEntry& cEntry = c.aNames[m_sName];
    cEntry.iBytes = cEntry.iBytes - m_iBytes + iBytes;
    c.iTotal = c.iTotal - m_iBytes + iBytes;
    m_iBytes = iBytes;
}

size_t Block::BytesUnder(const QString& sName)
{
    auto it = Books().aNames.find(sName);
    return it == Books().aNames.end() ? 0 : it->second.iBytes;
}

size_t Block::TotalBytes()
{
    return Books().iTotal;
}

void Block::SetLimit(size_t iBytes)
{
    Books().iLimit = iBytes;
}

size_t Block::Limit()
{
    return Books().iLimit;
}

void Block::LogAll(double fFraction, bool bAll)
{
    const Accounting& c = Books();
    std::vector<std::pair<size_t, QString>> aSorted;
    for (const auto& cEntry : c.aNames)
        if (bAll || double(cEntry.second.iBytes) > fFraction * double(c.iTotal))
            aSorted.emplace_back(cEntry.second.iBytes, cEntry.first);
    std::sort(aSorted.begin(), aSorted.end(),
              [](const auto& a, const auto& b) { return a.first != b.first ? a.first > b.first : a.second < b.second; });
    QString sText = QStringLiteral("Memory blocks: %1 bytes in total").arg(c.iTotal);
    if (c.iLimit)
        sText += QStringLiteral(", limit %1").arg(c.iLimit);
    sText += QLatin1Char('\n');
    for (const auto& cItem : aSorted)
        sText += QStringLiteral("  %1: %2 bytes\n").arg(cItem.second, QString::number(cItem.first));
    Kernel::Log(sText);
}

} // namespace varnik
