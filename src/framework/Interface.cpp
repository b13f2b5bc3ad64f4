#include "varnik/Interface.h"
#include <cstdio>
#include <unistd.h>
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

Interface::Interface() : m_bBar(isatty(STDERR_FILENO) == 1) {}

int Interface::MessageBox(int iType, const QString& sTitle, const QString& sText, int iButtons, int iDefault)
{
    (void)iButtons, (void)iDefault;  // no buttons to show: the scripted answer stands
    ++m_iMessageBoxes;
    m_sLastMessageBox = sText;
    m_sLastMessageBoxTitle = sTitle;
    m_iLastMessageBoxType = iType;
    Kernel::Log(QStringLiteral("[ui] %1 \"%2\": %3 (answer %4)\n")
                    .arg(TypeWord(iType), sTitle, sText, QString::number(m_iAnswer)));
    return m_iAnswer;
}

void Interface::SetStatus(const QString& sText, int iType)
{
    m_sStatus = sText;
    m_iStatusType = iType;
    if (iType == eInformation)
        Kernel::Log(QStringLiteral("[ui] status: %1\n").arg(sText));
    else
        Kernel::Log(QStringLiteral("[ui] status (%1): %2\n").arg(TypeWord(iType), sText));
}

void Interface::ProgressStart(const QString& sTitle, unsigned int iCount, float fShare, int iFlags)
{
    if (m_bProgressOpen && m_bBar)
        std::fputc('\n', stderr);
    m_sProgressTitle = sTitle;
    m_iProgressTotal = iCount;
    m_iProgressDone = 0;
    m_iProgressTenth = -1;
    m_fProgressShare = fShare;
    m_iProgressFlags = iFlags;
    m_bProgressOpen = true;
    ++m_iProgressStarts;
    ShowProgress(true);
}

bool Interface::ProgressAdd()
{
    if (!m_bProgressOpen) {
        Kernel::Log(QStringLiteral("[ui] progress step without a progress open\n"));
        return true;
    }
    ++m_iProgressDone;
    ShowProgress(false);
    return true;
}

void Interface::ProgressEnd()
{
    if (!m_bProgressOpen) {
        Kernel::Log(QStringLiteral("[ui] progress end without a progress open\n"));
        return;
    }
    m_bProgressOpen = false;
    if (m_bBar) {
        std::fputc('\n', stderr);
        std::fflush(stderr);
    }
    Kernel::Log(QStringLiteral("[ui] progress \"%1\" ended at %2 of %3\n")
                    .arg(m_sProgressTitle, QString::number(m_iProgressDone), QString::number(m_iProgressTotal)));
}

void Interface::ShowProgress(bool bForce)
{
    // More steps than announced count as done; a count of 0 is done at once.
    const unsigned int iDone = m_iProgressDone < m_iProgressTotal ? m_iProgressDone : m_iProgressTotal;
    const int iTenth = m_iProgressTotal ? int(uint64_t(iDone) * 10 / m_iProgressTotal) : 10;
    if (m_bBar) {
        const int iWidth = 30;
        const int iFilled = m_iProgressTotal ? int(uint64_t(iDone) * iWidth / m_iProgressTotal) : iWidth;
        const std::string sTitle = m_sProgressTitle.toStdString();
        std::fprintf(stderr, "\r%s [%.*s%*s] %u/%u", sTitle.c_str(), iFilled,
                     "##############################", iWidth - iFilled, "", iDone, m_iProgressTotal);
        std::fflush(stderr);
        return;
    }
    if (!bForce && iTenth == m_iProgressTenth)
        return;
    m_iProgressTenth = iTenth;
    Kernel::Log(QStringLiteral("[ui] progress \"%1\": %2 of %3 (%4%)\n")
                    .arg(m_sProgressTitle, QString::number(m_iProgressDone), QString::number(m_iProgressTotal),
                         QString::number(iTenth * 10)));
}

void Interface::ResetRecord()
{
    m_iMessageBoxes = 0;
    m_sLastMessageBox.clear();
    m_sLastMessageBoxTitle.clear();
    m_iLastMessageBoxType = -1;
    m_sStatus.clear();
    m_iStatusType = eInformation;
    m_sProgressTitle.clear();
    m_iProgressTotal = 0;
    m_iProgressDone = 0;
    m_iProgressTenth = -1;
    m_bProgressOpen = false;
    m_iProgressStarts = 0;
    m_fProgressShare = 1.0f;
    m_iProgressFlags = 0;
}

} // namespace varnik
