#include "varnik/Error.h"
#include <map>
#include "varnik/Kernel.h"

namespace varnik {

Error Error::s_cBadAlloc(QStringLiteral("Out of memory"), 1, QStringLiteral("varnik::Block"));

Error::Error(const QString& sText, int iCode, const QString& sFunction, const QString& sFile, unsigned int iLine)
    : m_sText(sText), m_iCode(iCode), m_sFunction(sFunction), m_sFile(sFile), m_iLine(iLine),
      // Only the one static error is built at its own address; every thrown copy is on the heap.
      m_bStatic(this == &s_cBadAlloc)
{
}

Error::Error(const Error& o)
    : m_sText(o.m_sText), m_iCode(o.m_iCode), m_sFunction(o.m_sFunction), m_sFile(o.m_sFile),
      m_iLine(o.m_iLine), m_bStatic(false)
{
}

Error& Error::operator=(const Error& o)
{
    // The static mark stays with the object: assigning into s_cBadAlloc keeps it static.
    m_sText = o.m_sText;
    m_iCode = o.m_iCode;
    m_sFunction = o.m_sFunction;
    m_sFile = o.m_sFile;
    m_iLine = o.m_iLine;
    return *this;
}

Error* Error::Format(const QString& sFormat)
{
    m_sText = sFormat;
    return this;
}

Error* Error::FormatArgs(const QString& sFormat, const QStringList& aArgs)
{
    // Markers are %1 to %99 (two digits when two follow). Find the distinct numbers
    // present: the lowest takes the first argument, the next the second, and so on.
    auto MarkerAt = [&sFormat](int i, int& iLength) -> int {
        if (sFormat[i] != QLatin1Char('%') || i + 1 >= sFormat.size() || !sFormat[i + 1].isDigit())
            return -1;
        int iNumber = sFormat[i + 1].digitValue();
        iLength = 2;
        if (i + 2 < sFormat.size() && sFormat[i + 2].isDigit()) {
            iNumber = iNumber * 10 + sFormat[i + 2].digitValue();
            iLength = 3;
        }
        return iNumber >= 1 ? iNumber : -1;
    };
    std::map<int, int> aArgOfNumber;  // marker number -> argument index
    for (int i = 0; i < sFormat.size(); ++i) {
        int iLength = 0;
        const int iNumber = MarkerAt(i, iLength);
        if (iNumber > 0)
            aArgOfNumber.emplace(iNumber, 0);
    }
    int iNext = 0;
    for (auto& cEntry : aArgOfNumber)
        cEntry.second = iNext++;

    QString sResult;
    sResult.reserve(sFormat.size());
    for (int i = 0; i < sFormat.size();) {
        int iLength = 0;
        const int iNumber = MarkerAt(i, iLength);
        if (iNumber > 0 && aArgOfNumber[iNumber] < aArgs.size()) {
            sResult += aArgs[aArgOfNumber[iNumber]];
            i += iLength;
            continue;
        }
        sResult += sFormat[i];
        ++i;
    }
    m_sText = sResult;
    return this;
}

QString Error::Describe() const
{
    QString s;
    if (!m_sFunction.isEmpty())
        s = m_sText.isEmpty() ? m_sFunction : m_sFunction + QStringLiteral(": ") + m_sText;
    else
        s = m_sText;
    QString sWhere;
    if (!m_sFile.isEmpty())
        sWhere = QStringLiteral("file ") + m_sFile;
    if (m_iLine != 0)
        sWhere += (sWhere.isEmpty() ? QString() : QStringLiteral(", ")) + QStringLiteral("line ") + QString::number(m_iLine);
    if (!sWhere.isEmpty())
        s += (s.isEmpty() ? QStringLiteral("(") : QStringLiteral(" (")) + sWhere + QStringLiteral(")");
    return s;
}

void Error::Report() const
{
    Kernel::Log(Describe() + QLatin1Char('\n'));
}

void Error::Discard(Error* pError)
{
    if (pError && !pError->IsStatic())
        delete pError;
}

} // namespace varnik
