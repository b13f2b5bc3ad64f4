#include "varnik/Kernel.h"
#include <cstdio>
#include <QDir>
#include <QFile>
#include "varnik/ClassDesc.h"
#include "varnik/Error.h"
#include "varnik/Interface.h"
#include "varnik/Node.h"
#include "varnik/Preferences.h"

namespace varnik {

namespace {

/// Everything the kernel holds. Made on first use and never destroyed: static
/// preference objects and nodes of modules reach it while the process exits.
struct KernelState
{
    varnik::Preferences cPreferences;
    varnik::Interface cInterface;
    varnik::ViewPort cViewPort;
    QFile cLogFile;                      ///< open while the log goes to a file
    Kernel::LogCapture fCapture;         ///< tests' log reader
    int64_t iVideoMemory = 0;            ///< ledger sum
    int64_t iVideoMemoryReports = 0;     ///< reports made
    QString sProjectDirectory;           ///< empty: the working directory
    bool bTestMode = false;
};

KernelState& State()
{
    static KernelState* s_pState = new KernelState();
    return *s_pState;
}

class Kernel s_cKernel;

} // namespace

class Kernel* Kernel()
{
    return &s_cKernel;
}

Node* Kernel::CreateClassInstance(const ClassDesc* pClass, unsigned int iCount)
{
    if (!pClass)
        throw (new Error(QString(), 4, QStringLiteral("varnik::Kernel::CreateClassInstance"),
                         QStringLiteral("src/framework/Kernel"), __LINE__))
            ->Format(QStringLiteral("No class implements a null class record"));
    const ClassDesc* pImplementation = ClassDesc::FindImplementation(pClass);
    if (!pImplementation)
        throw (new Error(QString(), 4, QStringLiteral("varnik::Kernel::CreateClassInstance"),
                         QStringLiteral("src/framework/Kernel"), __LINE__))
            ->Format(QStringLiteral("No class implements %1"), pClass->Name());
    Node* pNode = pImplementation->CreatorFunction()(iCount);
    if (!pNode)
        throw (new Error(QString(), 4, QStringLiteral("varnik::Kernel::CreateClassInstance"),
                         QStringLiteral("src/framework/Kernel"), __LINE__))
            ->Format(QStringLiteral("The creator of %1 made no object"), pImplementation->Name());
    return pNode;
}

void Kernel::Log(const QString& sText)
{
    if (sText.isEmpty())
        return;
    KernelState& c = State();
    if (c.cLogFile.isOpen()) {
        c.cLogFile.write(sText.toUtf8());
        c.cLogFile.flush();
    } else if (!c.fCapture) {
        const QByteArray aBytes = sText.toUtf8();
        std::fwrite(aBytes.constData(), 1, size_t(aBytes.size()), stderr);
        std::fflush(stderr);
    }
    if (c.fCapture) {
        // A copy: the capture may replace itself while it runs.
        Kernel::LogCapture fCapture = c.fCapture;
        fCapture(sText);
    }
}

void Kernel::Log(const char* sText)
{
    if (sText)
        Log(QString::fromUtf8(sText));
}

bool Kernel::SetLogFile(const QString& sFileName)
{
    KernelState& c = State();
    if (sFileName.isEmpty()) {
        if (c.cLogFile.isOpen())
            c.cLogFile.close();
        return true;
    }
    QFile cProbe(sFileName);
    if (!cProbe.open(QIODevice::WriteOnly | QIODevice::Append)) {
        // Keep logging where we did; say why the file was refused.
        const QString sReason = cProbe.errorString();
        Log(QStringLiteral("Log: cannot open \"%1\": %2\n").arg(sFileName, sReason));
        return false;
    }
    cProbe.close();
    if (c.cLogFile.isOpen())
        c.cLogFile.close();
    c.cLogFile.setFileName(sFileName);
    return c.cLogFile.open(QIODevice::WriteOnly | QIODevice::Append);
}

Kernel::LogCapture Kernel::SetLogCapture(LogCapture fCapture)
{
    LogCapture fPrevious = State().fCapture;
    State().fCapture = fCapture;
    return fPrevious;
}

void Kernel::ReportVideoMemoryUsage(int64_t iBytesDelta)
{
    State().iVideoMemory += iBytesDelta;
    ++State().iVideoMemoryReports;
}

int64_t Kernel::VideoMemoryUsage()
{
    return State().iVideoMemory;
}

int64_t Kernel::VideoMemoryReportCount()
{
    return State().iVideoMemoryReports;
}

varnik::Preferences* Kernel::Preferences()
{
    return &State().cPreferences;
}

varnik::Interface* Kernel::Interface()
{
    return &State().cInterface;
}

varnik::ViewPort* Kernel::ViewPort()
{
    return &State().cViewPort;
}

QString Kernel::ProjectFilesDirectory()
{
    // Callers join file names to it without a separator.
    const QString& s = State().sProjectDirectory;
    return s.isEmpty() ? QDir::currentPath() + "/" : s;
}

void Kernel::SetProjectFilesDirectory(const QString& sPath)
{
    State().sProjectDirectory = sPath.isEmpty() || sPath.endsWith('/') ? sPath : sPath + "/";
}

bool Kernel::IsTestModeOn()
{
    return State().bTestMode;
}

void Kernel::SetTestMode(bool bOn)
{
    State().bTestMode = bOn;
}

} // namespace varnik
