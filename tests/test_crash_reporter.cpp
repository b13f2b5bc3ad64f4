// Crash-reporter scopes and the report a crashing process writes.
#include "VarnikTest.h"
#include "CrashScope.h"
#include <csignal>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace varnik;

namespace {

/// Runs `f` in a child process; returns its standard error and wait status.
template <typename F>
std::string RunChild(F f, int& iStatus)
{
    int aPipe[2];
    if (pipe(aPipe) != 0)
        return "pipe failed";
    fflush(nullptr);
    const pid_t iPid = fork();
    if (iPid == 0) {
        close(aPipe[0]);
        dup2(aPipe[1], STDERR_FILENO);
        const struct rlimit cNoCore = { 0, 0 };  // the crash is wanted; its core file is not
        setrlimit(RLIMIT_CORE, &cNoCore);
        f();
        _exit(0);
    }
    close(aPipe[1]);
    std::string sText;
    char aBuffer[512];
    for (ssize_t n; (n = read(aPipe[0], aBuffer, sizeof(aBuffer))) > 0;)
        sText.append(aBuffer, size_t(n));
    close(aPipe[0]);
    waitpid(iPid, &iStatus, 0);
    return sText;
}

} // namespace

TEST(CrashReporterTest, ScopesNestAndClear)
{
    const uint32_t iBefore = VKCrashReporterFlag::OpenBits(5);
    {
        VKCrashReporterFlag cOuter(5, 0x1);
        EXPECT_EQ(VKCrashReporterFlag::OpenBits(5), iBefore | 0x1u);
        {
            VKCrashReporterFlag cInner(5, 0x800);
            VKCrashReporterFlag cSame(5, 0x1);  // the same bit opened twice
            EXPECT_EQ(VKCrashReporterFlag::OpenBits(5), iBefore | 0x801u);
        }
        // The inner scope of the same bit closed: the outer one still holds it.
        EXPECT_EQ(VKCrashReporterFlag::OpenBits(5), iBefore | 0x1u);
        VKCrashReporterFlag cOtherCategory(2, 0x80000000u);
        EXPECT_EQ(VKCrashReporterFlag::OpenBits(2), 0x80000000u);
    }
    EXPECT_EQ(VKCrashReporterFlag::OpenBits(5), iBefore);
    EXPECT_EQ(VKCrashReporterFlag::OpenBits(2), 0u);
    // Unknown categories are ignored, never written out of bounds.
    { VKCrashReporterFlag cBad(99, 0x1); }
    EXPECT_EQ(VKCrashReporterFlag::OpenBits(99), 0u);
}

TEST(CrashReporterTest, CrashReportNamesTheOpenOperations)
{
    int iStatus = 0;
    const std::string s = RunChild([] {
        VKCrashReporterFlag::InstallCrashHandler();
        CrashScope::RegisterNames();  // the module names its own bits
        VKCrashReporterFlag::SetCategoryName(3, "Painting");
        VKCrashReporterFlag::SetBitName(3, 0x10, "Stroke");
        CrashScope cOuter(CrashScope::eSetLocation);
        CrashScope cAgain(CrashScope::eSetLocation);
        CrashScope cRead(CrashScope::eReadPixels);
        VKCrashReporterFlag cStroke(3, 0x10);
        VKCrashReporterFlag cUnnamed(6, 0x4);
        CrashScope cPool(CrashScope::ePoolSetFileName);
        CrashScope cLast(CrashScope::ePoolSetLocation);
        { CrashScope cClosed(CrashScope::eSetAsRenderTarget); }
        raise(SIGSEGV);
    }, iStatus);
    ASSERT_TRUE(WIFSIGNALED(iStatus)) << "child did not die on a signal: " << s;
    EXPECT_EQ(WTERMSIG(iStatus), SIGSEGV);
    for (const char* sLine : {"Fatal signal 11 (SIGSEGV)", "Texture: SetLocation (0x1) x2",
                              "Texture: glReadPixels (readback) (0x400)", "Painting: Stroke (0x10)", "category 6: 0x4\n",
                              "Texture: VarnikTexturePool::SetFileName (0x4000000)",
                              "Texture: VarnikTexturePool::SetLocation (0x80000000)"})
        EXPECT_NE(s.find(sLine), std::string::npos) << sLine << " missing from\n" << s;
    EXPECT_EQ(s.find("SetAsRenderTarget"), std::string::npos) << s;  // closed before the crash
}

TEST(CrashReporterTest, CrashWithNothingOpenSaysSo)
{
    int iStatus = 0;
    const std::string s = RunChild([] {
        VKCrashReporterFlag::InstallCrashHandler();
        abort();
    }, iStatus);
    ASSERT_TRUE(WIFSIGNALED(iStatus)) << s;
    EXPECT_EQ(WTERMSIG(iStatus), SIGABRT);
    EXPECT_NE(s.find("Fatal signal 6 (SIGABRT)"), std::string::npos) << s;
    EXPECT_NE(s.find("none"), std::string::npos) << s;
}
