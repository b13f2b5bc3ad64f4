#pragma once
#include <cstdint>
#include <QString>

namespace varnik {

/// A scope that marks an operation as under way: construction sets `iBit` in
/// the word of `iCategory`, destruction clears it again. The crash handler
/// prints the open bits when the process dies on a signal. Scopes nest; the
/// same bit may be open twice (a count is kept per bit).
class VKCrashReporterFlag
{
public:
    VKCrashReporterFlag(uint32_t iCategory, uint32_t iBit);
    ~VKCrashReporterFlag();
    VKCrashReporterFlag(const VKCrashReporterFlag&) = delete;
    VKCrashReporterFlag& operator=(const VKCrashReporterFlag&) = delete;

    static const uint32_t s_iCategoryCount = 8;
    /// The bits open now in a category (0 for an unknown category).
    static uint32_t OpenBits(uint32_t iCategory);
    /// Names a category and its bits for the crash report; names are copied.
    static void SetCategoryName(uint32_t iCategory, const char* sName);
    static void SetBitName(uint32_t iCategory, uint32_t iBit, const char* sName);
    /// Writes the open scopes (category and bit names) to a file descriptor;
    /// async-signal-safe, used by the crash handler.
    static void WriteOpenScopes(int iFd);
    /// Installs handlers for SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT that
    /// print the open scopes to standard error and re-raise the signal.
    static void InstallCrashHandler();

private:
    uint32_t m_iCategory;  ///< category this scope marks
    uint32_t m_iBit;       ///< bit this scope marks
};

} // namespace varnik
