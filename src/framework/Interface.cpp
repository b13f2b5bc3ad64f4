#include "varnik/Interface.h"
#include "varnik/Kernel.h"

namespace varnik {

namespace {

QString TypeWord(int iType)
{
    switch (iType) {
    case Interface::eInformation: return QStringLiteral("information");
    case Interface::eWarning: return QStringLiteral("warning");
    case Interface::eCritical: return QStringLiteral("critical");
    case Interface::eQuestion: return QStringLiteral("question");
    default: return QStringLiteral("message %1").arg(iType);
    }
}

} // namespace

int Interface::MessageBox(int iType, const QString& sTitle, const QString& sText, int iButtons, int iDefault)
{
    ++m_iMessageBoxes;
    m_sLastMessageBox = sText;
    m_sLastMessageBoxTitle = sTitle;
    Kernel::Log(QStringLiteral("[ui] %1 \"%2\": %3 (answer %4)\n")
                    .arg(TypeWord(iType), sTitle, sText, QString::number(m_iAnswer)));
    return m_iAnswer;
}

void Interface::SetStatus(const QString& sText)
{
    m_sStatus = sText;
    Kernel::Log(QStringLiteral("[ui] status: %1\n").arg(sText));
}

void Interface::ProgressStart(const QString& sTitle, int iTotal)
{
    m_sProgressTitle = sTitle;
    m_iProgressTotal = iTotal;
    m_iProgressDone = 0;
    m_bProgressOpen = true;
    Kernel::Log(QStringLiteral("[ui] progress \"%1\": 0 of %2\n").arg(sTitle, QString::number(iTotal)));
}

void Interface::ProgressAdd(int iAmount)
{
    m_iProgressDone += iAmount;
    Kernel::Log(QStringLiteral("[ui] progress \"%1\": %2 of %3\n")
                    .arg(m_sProgressTitle, QString::number(m_iProgressDone), QString::number(m_iProgressTotal)));
}

void Interface::ProgressEnd()
{
    if (!m_bProgressOpen) {
        Kernel::Log(QStringLiteral("[ui] progress end without a progress open\n"));
        return;
    }
    m_bProgressOpen = false;
    Kernel::Log(QStringLiteral("[ui] progress \"%1\" ended at %2 of %3\n")
                    .arg(m_sProgressTitle, QString::number(m_iProgressDone), QString::number(m_iProgressTotal)));
}

void Interface::ResetRecord()
{
    m_iMessageBoxes = 0;
    m_sLastMessageBox.clear();
    m_sLastMessageBoxTitle.clear();
    m_sStatus.clear();
    m_sProgressTitle.clear();
    m_iProgressTotal = 0;
    m_iProgressDone = 0;
    m_bProgressOpen = false;
}

} // namespace varnik
