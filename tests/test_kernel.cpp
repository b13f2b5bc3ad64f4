// The kernel's log, video-memory ledger and the headless interface.
#include "VarnikTest.h"
#include <QFile>

using namespace varnik;
using varnik::test::LogRecorder;

namespace {

QString ReadFile(const QString& sFile)
{
    QFile f(sFile);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString("<unreadable>");
}

} // namespace

TEST(KernelLogTest, CapturesNestAndFilesAppend)
{
    {
        LogRecorder cOuter;
        Kernel::Log("one\n");
        {
            LogRecorder cInner;
            Kernel::Log(QString::fromUtf8("zw\xc3\xb6lf"));
            Kernel::Log("");  // nothing to write
            EXPECT_EQ(cInner.Lines(), QStringList{ QString::fromUtf8("zw\xc3\xb6lf") });
        }
        Kernel::Log(static_cast<const char*>(nullptr));
        Kernel::Log("two\n");
        EXPECT_EQ(cOuter.Text(), QString("one\ntwo\n"));
    }

    varnik::test::TempDir cDir;
    const QString sFile = cDir.File("host.log");
    ASSERT_TRUE(Kernel::SetLogFile(sFile));
    Kernel::Log("first\n");
    ASSERT_TRUE(Kernel::SetLogFile(sFile));  // appends, does not truncate
    {
        LogRecorder cLog;  // a capture sees the text, the file still gets it
        Kernel::Log("second\n");
        EXPECT_EQ(cLog.Text(), QString("second\n"));
    }
    // A file that cannot be opened is refused with a reason; logging goes on where it was.
    {
        LogRecorder cLog;
        EXPECT_FALSE(Kernel::SetLogFile(cDir.File("no/such/folder/x.log")));
        EXPECT_TRUE(cLog.Contains("cannot open"));
    }
    Kernel::Log("third\n");
    EXPECT_TRUE(Kernel::SetLogFile(QString()));
    Kernel::Log(" ");  // to standard error, not the file
    EXPECT_TRUE(ReadFile(sFile).startsWith("first\nsecond\n"));
    EXPECT_TRUE(ReadFile(sFile).endsWith("third\n"));
}

TEST(KernelLedgerTest, SignedReportsAreSummedAndCounted)
{
    const int64_t iUsage = Kernel::VideoMemoryUsage();
    const int64_t iReports = Kernel::VideoMemoryReportCount();
    Kernel::ReportVideoMemoryUsage(4096);
    Kernel::ReportVideoMemoryUsage(int64_t(1) << 33);  // larger than 32 bits
    EXPECT_EQ(Kernel::VideoMemoryUsage(), iUsage + 4096 + (int64_t(1) << 33));
    Kernel::ReportVideoMemoryUsage(-4096);
    Kernel::ReportVideoMemoryUsage(-(int64_t(1) << 33));
    EXPECT_EQ(Kernel::VideoMemoryUsage(), iUsage);
    EXPECT_EQ(Kernel::VideoMemoryReportCount(), iReports + 4);
}

TEST(InterfaceTest, CallsAreRecordedAndLogged)
{
    Interface* pUi = Kernel::Interface();
    pUi->ResetRecord();
    LogRecorder cLog;
    EXPECT_EQ(pUi->MessageBox(Interface::eWarning, "Texture", "Too large for the hardware"), 0);
    pUi->SetMessageBoxAnswer(2);
    EXPECT_EQ(pUi->MessageBox(Interface::eQuestion, "Save", "Overwrite?"), 2);
    pUi->SetMessageBoxAnswer(0);
    EXPECT_EQ(pUi->MessageBoxCount(), 2);
    EXPECT_EQ(pUi->LastMessageBoxText(), QString("Overwrite?"));
    EXPECT_TRUE(cLog.Contains("[ui] warning \"Texture\": Too large for the hardware"));

    pUi->SetStatus("Saving tiles", Interface::eWarning);
    EXPECT_TRUE(cLog.Contains("[ui] status (warning): Saving tiles"));
    // Without a terminal, progress is one line per tenth: 25 steps give the
    // start, ten tenths and the end, whatever the step count.
    pUi->SetProgressBar(false);
    const int iLinesBefore = cLog.Lines().size();
    pUi->ProgressStart("Compositing...", 25, 1.0f, 0);
    for (int i = 0; i < 25; ++i)
        EXPECT_TRUE(pUi->ProgressAdd());
    EXPECT_TRUE(pUi->ProgressOpen() && pUi->ProgressDone() == 25u);
    pUi->ProgressEnd();
    EXPECT_EQ(cLog.Lines().size() - iLinesBefore, 12);
    EXPECT_TRUE(cLog.Contains("[ui] progress \"Compositing...\": 25 of 25 (100%)"));
    EXPECT_FALSE(pUi->ProgressOpen());
    pUi->ProgressStart("Nothing", 0);  // a count of 0 is done at once
    pUi->ProgressEnd();
    EXPECT_TRUE(cLog.Contains("[ui] progress \"Nothing\": 0 of 0 (100%)") && pUi->ProgressStarts() == 2);
    pUi->ProgressEnd();  // unmatched: logged, harmless
    EXPECT_TRUE(cLog.Contains("without a progress open"));
    for (const QString& sLine : cLog.Lines())
        EXPECT_TRUE(sLine.startsWith("[ui] ")) << sLine.toStdString();
    pUi->ResetRecord();
}
