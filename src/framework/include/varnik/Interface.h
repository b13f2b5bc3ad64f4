#pragma once
#include <QString>
#include <QStringList>

namespace varnik {

/// The host's user interface. The headless host has no windows: message boxes
/// and status lines are written to the log (prefixed "[ui] ") and recorded, so
/// that jobs and tests can see what a user would have seen. Message boxes
/// answer with the scripted answer (`SetMessageBoxAnswer`, 0 by default).
///
/// Progress is drawn as a bar on standard error when that is a terminal;
/// otherwise one log line is written each time another tenth of the count is
/// done (and at the start and the end).
class Interface
{
public:
    enum MessageType { eInformation = 0, eWarning = 1, eCritical = 2, eQuestion = 3 };

    Interface();

    int MessageBox(int iType, const QString& sTitle, const QString& sText, int iButtons = 0, int iDefault = 0);
    /// Shows `sText` on the status line; `iType` is a `MessageType`.
    void SetStatus(const QString& sText, int iType = eInformation);
    /// Opens a progress of `iCount` steps. `fShare` is the part of the bar this
    /// progress fills (1.0 the whole bar) and `iFlags` the host's display flags;
    /// the headless host records both. A progress opened while one is open
    /// replaces it.
    void ProgressStart(const QString& sTitle, unsigned int iCount, float fShare = 1.0f, int iFlags = 0);
    /// One step done; returns whether to go on (the headless host cannot be
    /// cancelled: always true).
    bool ProgressAdd();
    void ProgressEnd();

    int MessageBoxCount() const { return m_iMessageBoxes; }
    const QString& LastMessageBoxText() const { return m_sLastMessageBox; }
    const QString& LastMessageBoxTitle() const { return m_sLastMessageBoxTitle; }
    int LastMessageBoxType() const { return m_iLastMessageBoxType; }
    const QString& Status() const { return m_sStatus; }
    int StatusType() const { return m_iStatusType; }
    /// Progress state: title, count, steps done, whether a progress is open,
    /// and how many were started since the last reset.
    const QString& ProgressTitle() const { return m_sProgressTitle; }
    unsigned int ProgressTotal() const { return m_iProgressTotal; }
    unsigned int ProgressDone() const { return m_iProgressDone; }
    bool ProgressOpen() const { return m_bProgressOpen; }
    int ProgressStarts() const { return m_iProgressStarts; }
    float ProgressShare() const { return m_fProgressShare; }
    int ProgressFlags() const { return m_iProgressFlags; }
    void SetMessageBoxAnswer(int iAnswer) { m_iAnswer = iAnswer; }
    /// Draw the bar on standard error (true) or write log lines per tenth
    /// (false); decided from standard error at start, tests force the lines.
    void SetProgressBar(bool bBar) { m_bBar = bBar; }
    void ResetRecord();

private:
    /// Draws the bar, or logs a line when another tenth is reached (`bForce`: always).
    void ShowProgress(bool bForce);

    int m_iMessageBoxes = 0;            ///< boxes shown since the last reset
    QString m_sLastMessageBox;          ///< text of the last box
    QString m_sLastMessageBoxTitle;     ///< title of the last box
    int m_iLastMessageBoxType = -1;     ///< type of the last box
    QString m_sStatus;                  ///< status line
    int m_iStatusType = eInformation;   ///< type of the status line
    QString m_sProgressTitle;           ///< title of the open progress
    unsigned int m_iProgressTotal = 0;  ///< steps announced
    unsigned int m_iProgressDone = 0;   ///< steps done
    int m_iProgressTenth = -1;          ///< last tenth logged
    bool m_bProgressOpen = false;       ///< between ProgressStart and ProgressEnd
    int m_iProgressStarts = 0;          ///< progresses started since the last reset
    float m_fProgressShare = 1.0f;      ///< share of the bar of the open progress
    int m_iProgressFlags = 0;           ///< display flags of the open progress
    int m_iAnswer = 0;                  ///< what MessageBox returns
    bool m_bBar;                        ///< draw a bar (standard error is a terminal)
};

/// The host's 3D view. Headless: `Redraw` only counts and keeps the last type.
class ViewPort
{
public:
    /// Asks for a redraw of kind `iType` (0: the whole view); the four values
    /// are the host's region hints, recorded but unused.
    void Redraw(int iType = 0, float f0 = 0.0f, float f1 = 0.0f, float f2 = 0.0f, float f3 = 0.0f)
    {
        ++m_iRedraws;
        m_iLastType = iType;
        (void)f0, (void)f1, (void)f2, (void)f3;
    }
    int RedrawCount() const { return m_iRedraws; }
    int LastRedrawType() const { return m_iLastType; }
private:
    int m_iRedraws = 0;   ///< redraws asked for
    int m_iLastType = -1; ///< type of the last redraw
};

} // namespace varnik
