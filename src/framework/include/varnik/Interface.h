#pragma once
#include <QString>
#include <QStringList>

namespace varnik {

/// The host's user interface. The headless host has no windows: every call is
/// written to the log (prefixed "[ui] ") and recorded, so that jobs and tests
/// can see what a user would have seen. Message boxes answer with the
/// scripted answer (`SetMessageBoxAnswer`, 0 by default).
class Interface
{
public:
    enum MessageType { eInformation = 0, eWarning = 1, eCritical = 2, eQuestion = 3 };

    int MessageBox(int iType, const QString& sTitle, const QString& sText, int iButtons = 0, int iDefault = 0);
    void SetStatus(const QString& sText);
    void ProgressStart(const QString& sTitle, int iTotal);
    void ProgressAdd(int iAmount = 1);
    void ProgressEnd();

    int MessageBoxCount() const { return m_iMessageBoxes; }
    const QString& LastMessageBoxText() const { return m_sLastMessageBox; }
    const QString& LastMessageBoxTitle() const { return m_sLastMessageBoxTitle; }
    const QString& Status() const { return m_sStatus; }
    /// Progress state: title, total, done, and whether a progress is open.
    const QString& ProgressTitle() const { return m_sProgressTitle; }
    int ProgressTotal() const { return m_iProgressTotal; }
    int ProgressDone() const { return m_iProgressDone; }
    bool ProgressOpen() const { return m_bProgressOpen; }
    void SetMessageBoxAnswer(int iAnswer) { m_iAnswer = iAnswer; }
    void ResetRecord();

private:
    int m_iMessageBoxes = 0;            ///< boxes shown since the last reset
    QString m_sLastMessageBox;          ///< text of the last box
    QString m_sLastMessageBoxTitle;     ///< title of the last box
    QString m_sStatus;                  ///< status line
    QString m_sProgressTitle;           ///< title of the open progress
    int m_iProgressTotal = 0;           ///< steps announced
    int m_iProgressDone = 0;            ///< steps done
    bool m_bProgressOpen = false;       ///< between ProgressStart and ProgressEnd
    int m_iAnswer = 0;                  ///< what MessageBox returns
};

/// The host's 3D view. Headless: `Redraw` only counts.
class ViewPort
{
public:
    void Redraw() { ++m_iRedraws; }
    int RedrawCount() const { return m_iRedraws; }
private:
    int m_iRedraws = 0;  ///< redraws asked for
};

} // namespace varnik
