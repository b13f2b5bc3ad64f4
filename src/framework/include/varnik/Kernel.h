#pragma once
#include <cstdint>
#include <functional>
#include <QString>

namespace varnik {

class ClassDesc;
class Node;
class Preferences;
class Interface;
class ViewPort;

/// The host's kernel: one per process, reached as `varnik::Kernel()` or through
/// the static members (`varnik::Kernel::Log`). Owns the preferences, the
/// interface, the viewport, the log and the video-memory ledger.
class Kernel
{
public:
    /// Makes a new, initialised node. For an interface record (one without a
    /// creator) the most recently registered class whose direct parent it is is made; for a
    /// concrete record, that class. Throws a `varnik::Error` pointer naming the
    /// record when no class implements it. The caller deletes the node.
    static Node* CreateClassInstance(const ClassDesc* pClass, unsigned int iCount = 1);

    /// Writes to the host log: standard error unless a log file or a capture is
    /// set. The text is written as given (no newline added).
    static void Log(const QString& sText);
    static void Log(const char* sText);
    /// Sends the log to a file (appending); an empty name goes back to standard error.
    static bool SetLogFile(const QString& sFileName);
    /// Also hands every log text to `fCapture` (tests read the log this way);
    /// an empty function stops it. Returns the previous capture.
    typedef std::function<void(const QString&)> LogCapture;
    static LogCapture SetLogCapture(LogCapture fCapture);

    /// The video-memory ledger: the sum of every signed report.
    static void ReportVideoMemoryUsage(int64_t iBytesDelta);
    static int64_t VideoMemoryUsage();
    /// Reports made so far (tests check that a change made one).
    static int64_t VideoMemoryReportCount();

    static varnik::Preferences* Preferences();
    static varnik::Interface* Interface();
    static varnik::ViewPort* ViewPort();

    /// Folder of the current project with a trailing "/" (callers join file
    /// names to it without a separator); the working directory unless set.
    static QString ProjectFilesDirectory();
    static void SetProjectFilesDirectory(const QString& sPath);

    /// Test mode shows the hidden test preferences; off unless set.
    static bool IsTestModeOn();
    static void SetTestMode(bool bOn);
};

/// The kernel object, for the `varnik::Kernel()->Preferences()` form.
class Kernel* Kernel();

} // namespace varnik
