#include "varnik/VKCrashReporterFlag.h"
#include <csignal>
#include <cstring>
#include <unistd.h>

namespace varnik {

namespace {

const uint32_t s_iBitCount = 32;
const size_t s_iNameLength = 48;

// Plain arrays, zero before any constructor runs, so that scopes opened during
// static initialisation (a module's static objects) are counted, and so that the
// crash handler reads them without locks or allocation.
volatile uint32_t s_aOpenCounts[VKCrashReporterFlag::s_iCategoryCount][s_iBitCount];
char s_aCategoryNames[VKCrashReporterFlag::s_iCategoryCount][s_iNameLength];
char s_aBitNames[VKCrashReporterFlag::s_iCategoryCount][s_iBitCount][s_iNameLength];

void CopyName(char* pTarget, const char* sName)
{
    if (!sName)
        sName = "";
    std::strncpy(pTarget, sName, s_iNameLength - 1);
    pTarget[s_iNameLength - 1] = '\0';
}

// --- async-signal-safe output: fixed buffers and write(2) only ---

struct SafeLine
{
    char aText[256];
    size_t iLength = 0;
    void Add(const char* s) { while (*s && iLength < sizeof(aText) - 1) aText[iLength++] = *s++; }
    void AddUnsigned(uint32_t i, unsigned int iBase)
    {
        char aDigits[16];
        int n = 0;
        do { aDigits[n++] = "0123456789abcdef"[i % iBase]; i /= iBase; } while (i && n < 16);
        if (iBase == 16)
            Add("0x");
        while (n > 0 && iLength < sizeof(aText) - 1)
            aText[iLength++] = aDigits[--n];
    }
    void Flush(int iFd)
    {
        size_t iDone = 0;
        while (iDone < iLength) {
            const ssize_t n = ::write(iFd, aText + iDone, iLength - iDone);
            if (n <= 0)
                break;
            iDone += size_t(n);
        }
        iLength = 0;
    }
};

const char* SignalName(int iSignal)
{
    switch (iSignal) {
    case SIGSEGV: return "SIGSEGV";
    case SIGBUS: return "SIGBUS";
    case SIGFPE: return "SIGFPE";
    case SIGILL: return "SIGILL";
    case SIGABRT: return "SIGABRT";
    default: return "signal";
    }
}

void CrashHandler(int iSignal)
{
    SafeLine cLine;
    cLine.Add("Fatal signal ");
    cLine.AddUnsigned(uint32_t(iSignal), 10);
    cLine.Add(" (");
    cLine.Add(SignalName(iSignal));
    cLine.Add(")\n");
    cLine.Flush(STDERR_FILENO);
    VKCrashReporterFlag::WriteOpenScopes(STDERR_FILENO);
    // SA_RESETHAND put the default action back: raising again ends the process
    // with the original signal, so the exit status and core dump stay truthful.
    ::raise(iSignal);
}

// Room for the handler when the crash is a stack overflow.
char s_aAltStack[64 * 1024];

} // namespace

VKCrashReporterFlag::VKCrashReporterFlag(uint32_t iCategory, uint32_t iBit)
    : m_iCategory(iCategory), m_iBit(iBit)
{
    if (iCategory >= s_iCategoryCount)
        return;
    // Only the set bits (normally one): scopes open on hot paths such as tile lookup.
    for (uint32_t iBits = iBit; iBits != 0; iBits &= iBits - 1) {
        const int i = __builtin_ctz(iBits);
        s_aOpenCounts[iCategory][i] = s_aOpenCounts[iCategory][i] + 1;
    }
}

VKCrashReporterFlag::~VKCrashReporterFlag()
{
    if (m_iCategory >= s_iCategoryCount)
        return;
    for (uint32_t iBits = m_iBit; iBits != 0; iBits &= iBits - 1) {
        const int i = __builtin_ctz(iBits);
        if (s_aOpenCounts[m_iCategory][i] > 0)
            s_aOpenCounts[m_iCategory][i] = s_aOpenCounts[m_iCategory][i] - 1;
    }
}

uint32_t VKCrashReporterFlag::OpenBits(uint32_t iCategory)
{
    if (iCategory >= s_iCategoryCount)
        return 0;
    uint32_t iBits = 0;
    for (uint32_t i = 0; i < s_iBitCount; ++i)
        if (s_aOpenCounts[iCategory][i] > 0)
            iBits |= 1u << i;
    return iBits;
}

void VKCrashReporterFlag::SetCategoryName(uint32_t iCategory, const char* sName)
{
    if (iCategory < s_iCategoryCount)
        CopyName(s_aCategoryNames[iCategory], sName);
}

void VKCrashReporterFlag::SetBitName(uint32_t iCategory, uint32_t iBit, const char* sName)
{
    if (iCategory >= s_iCategoryCount)
        return;
    // Names one bit; a mask of several bits names each of them.
    for (uint32_t i = 0; i < s_iBitCount; ++i)
        if (iBit & (1u << i))
            CopyName(s_aBitNames[iCategory][i], sName);
}

void VKCrashReporterFlag::WriteOpenScopes(int iFd)
{
    SafeLine cLine;
    bool bAny = false;
    cLine.Add("Operations under way:\n");
    cLine.Flush(iFd);
    for (uint32_t iCategory = 0; iCategory < s_iCategoryCount; ++iCategory) {
        for (uint32_t i = 0; i < s_iBitCount; ++i) {
            const uint32_t iCount = s_aOpenCounts[iCategory][i];
            if (iCount == 0)
                continue;
            bAny = true;
            cLine.Add("  ");
            if (s_aCategoryNames[iCategory][0]) {
                cLine.Add(s_aCategoryNames[iCategory]);
            } else {
                cLine.Add("category ");
                cLine.AddUnsigned(iCategory, 10);
            }
            cLine.Add(": ");
            if (s_aBitNames[iCategory][i][0]) {
                cLine.Add(s_aBitNames[iCategory][i]);
                cLine.Add(" (");
                cLine.AddUnsigned(1u << i, 16);
                cLine.Add(")");
            } else {
                cLine.AddUnsigned(1u << i, 16);
            }
            if (iCount > 1) {
                cLine.Add(" x");
                cLine.AddUnsigned(iCount, 10);
            }
            cLine.Add("\n");
            cLine.Flush(iFd);
        }
    }
    if (!bAny) {
        cLine.Add("  none\n");
        cLine.Flush(iFd);
    }
}

void VKCrashReporterFlag::InstallCrashHandler()
{
    stack_t cStack;
    std::memset(&cStack, 0, sizeof(cStack));
    cStack.ss_sp = s_aAltStack;
    cStack.ss_size = sizeof(s_aAltStack);
    ::sigaltstack(&cStack, nullptr);

    struct sigaction cAction;
    std::memset(&cAction, 0, sizeof(cAction));
    cAction.sa_handler = CrashHandler;
    sigemptyset(&cAction.sa_mask);
    cAction.sa_flags = SA_RESETHAND | SA_NODEFER | SA_ONSTACK;
    for (int iSignal : { SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT })
        ::sigaction(iSignal, &cAction, nullptr);
}

} // namespace varnik
