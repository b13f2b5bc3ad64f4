// Loads image files for the damaged-file corpus test, one per line of standard
// input, and answers one line each on standard output:
//   ok <width> <height> <channels> <format> <library error 0/1> <peak KiB> <pixel hash>
//   error <peak KiB> <message>
// It runs as a process of its own so that the test can count a crash or a hang
// of a load instead of dying with it. <peak KiB> is how far the resident set
// rose above where it stood before the load.
#include <OpenImageIO/imageio.h>
#include <cstdio>
#include <cstring>
#include <sys/resource.h>
#include <iostream>
#include <unistd.h>
#include <algorithm>
#include <string>
#include <vector>
#include "VarnikImageIO.h"
#include "varnik/Error.h"
#include "varnik/Image.h"

namespace {

long StatusKiB(const char* sField)
{
    FILE* pFile = std::fopen("/proc/self/status", "r");
    if (!pFile)
        return 0;
    char aLine[256];
    long iKiB = 0;
    const size_t iLength = std::strlen(sField);
    while (std::fgets(aLine, sizeof(aLine), pFile))
        if (std::strncmp(aLine, sField, iLength) == 0)
            iKiB = std::strtol(aLine + iLength, nullptr, 10);
    std::fclose(pFile);
    return iKiB;
}

void ResetPeak()
{
    // "5" sets the peak resident set back to the current one.
    if (FILE* pFile = std::fopen("/proc/self/clear_refs", "w")) {
        std::fputs("5", pFile);
        std::fclose(pFile);
    }
}

uint64_t Hash(const varnik::Image& cImage)
{
    std::vector<uint8_t> a(size_t(cImage.Width()) * cImage.Height() * cImage.BytesPerPixel());
    cImage.getTile(0, 0, int(cImage.Width()), int(cImage.Height()), a.data());
    uint64_t h = 1469598103934665603ull;
    for (uint8_t b : a)
        h = (h ^ b) * 1099511628211ull;
    return h;
}

long ChildrenPeakKiB()
{
    rusage cUsage = {};
    getrusage(RUSAGE_CHILDREN, &cUsage);
    return cUsage.ru_maxrss;
}

} // namespace

int main()
{
    varnik::RegisterImageIO();
    // A file no reader accepts makes the library set up every reader once;
    // that is the library's start-up, not the memory of a load.
    {
        char sWarm[] = "/tmp/corpus-warm-XXXXXX";
        const int iFile = mkstemp(sWarm);
        if (iFile >= 0 && write(iFile, "not an image file", 17) == 17) {
            try {
                varnik::Image().Load(sWarm);
            } catch (varnik::Error* pError) {
                varnik::Error::Discard(pError);
            }
        }
        if (iFile >= 0) {
            close(iFile);
            unlink(sWarm);
        }
    }
    std::string sPath;
    while (std::getline(std::cin, sPath)) {
        OIIO::geterror();
        const long iBefore = StatusKiB("VmRSS:");
        const long iChildrenBefore = ChildrenPeakKiB();
        ResetPeak();
        // Files read in a child process: a child starts with this process's
        // resident set, so its rise shows above it. Only a new highest child
        // is seen; a smaller one stays below an earlier answer.
        auto Peak = [&] {
            const long iChildren = ChildrenPeakKiB();
            const long iChild = iChildren > iChildrenBefore ? iChildren - iBefore : 0;
            return std::max(StatusKiB("VmHWM:") - iBefore, iChild);
        };
        varnik::Image cImage;
        try {
            cImage.Load(QString::fromStdString(sPath));
            const long iPeak = Peak();
            const int iLibraryError = OIIO::has_error() ? 1 : 0;
            std::printf("ok %u %u %u %u %d %ld %llu\n", cImage.Width(), cImage.Height(), cImage.ChannelCount(),
                        unsigned(cImage.format()), iLibraryError, iPeak, (unsigned long long)Hash(cImage));
        } catch (varnik::Error* pError) {
            const long iPeak = Peak();
            std::printf("error %ld %s\n", iPeak,
                        QString(pError->Text()).replace(QChar('\n'), QChar(' ')).toUtf8().constData());
            varnik::Error::Discard(pError);
        }
        std::fflush(stdout);
    }
    return 0;
}
