#pragma once
// Shared by the benchmark programs: contenders run once per round, rounds
// interleaved after warm-up rounds, so that a slow moment of the machine hits
// every contender alike; the figure is the median of the per-round ratios.
// Each program ends with one line per target:
//   target <name>: median <x> (min <a>, max <b>), limit <y>: ok|MISS
#include <sys/resource.h>
#include "varnik/GLContext.h"
#include "varnik/ProcessAllocator.h"

#include <algorithm>
#include <cstring>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace bench {

inline double Now()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

/// One timed call: wall seconds, CPU seconds of the process (all threads, the
/// driver's too: on a loaded machine the figure that waits least on others)
/// and page faults.
struct Sample
{
    double fSeconds = 0;
    double fCpu = 0;
    long iFaults = 0;
};

/// The process's CPU time and page faults so far; fSeconds is left 0.
inline Sample Usage()
{
    rusage c{};
    getrusage(RUSAGE_SELF, &c);
    const double fCpu = double(c.ru_utime.tv_sec + c.ru_stime.tv_sec) + 1e-6 * double(c.ru_utime.tv_usec + c.ru_stime.tv_usec);
    return Sample{0, fCpu, c.ru_minflt + c.ru_majflt};
}

/// Smallest, middle and largest of a set of figures.
struct Spread
{
    double fMin = 0, fMedian = 0, fMax = 0;
};

inline Spread SpreadOf(std::vector<double> a)
{
    Spread s;
    if (a.empty())
        return s;
    std::sort(a.begin(), a.end());
    s.fMin = a.front();
    s.fMax = a.back();
    const size_t n = a.size();
    s.fMedian = n % 2 ? a[n / 2] : 0.5 * (a[n / 2 - 1] + a[n / 2]);
    return s;
}

struct Contender
{
    std::string sName;
    std::function<void()> fRun;      ///< timed
    std::function<void()> fPrepare;  ///< untimed, before each run (may be empty)
};

/// One call of `f`, timed; `fSettle` runs before and after it (glFinish for GL work).
inline Sample Measure(const std::function<void()>& f, const std::function<void()>& fSettle = nullptr)
{
    if (fSettle)
        fSettle();
    const Sample c0 = Usage();
    const double t0 = Now();
    f();
    if (fSettle)
        fSettle();
    const Sample c1 = Usage();
    return Sample{Now() - t0, c1.fCpu - c0.fCpu, c1.iFaults - c0.iFaults};
}

/// Samples of each contender, one per round, in the order given.
typedef std::vector<std::vector<Sample>> Samples;

/// `iWarm` untimed rounds, then `iRounds` timed ones; in each round every
/// contender runs once, the first to run turning from round to round.
inline Samples Interleave(int iWarm, int iRounds, const std::vector<Contender>& aContenders,
                          const std::function<void()>& fSettle = nullptr)
{
    const size_t n = aContenders.size();
    Samples aSamples(n);
    for (int r = 0; r < iWarm + iRounds; ++r) {
        for (size_t k = 0; k < n; ++k) {
            const size_t j = (size_t(r) + k) % n;
            if (aContenders[j].fPrepare)
                aContenders[j].fPrepare();
            const Sample s = Measure(aContenders[j].fRun, fSettle);
            if (r >= iWarm)
                aSamples[j].push_back(s);
        }
    }
    return aSamples;
}

inline Spread Seconds(const std::vector<Sample>& a)
{
    std::vector<double> v;
    for (const Sample& s : a)
        v.push_back(s.fSeconds);
    return SpreadOf(v);
}

inline Spread Faults(const std::vector<Sample>& a)
{
    std::vector<double> v;
    for (const Sample& s : a)
        v.push_back(double(s.iFaults));
    return SpreadOf(v);
}

/// Per-round ratios of `a` over `b` (the same round's samples), of wall time
/// or, with `bCpu`, of CPU time.
inline Spread Ratios(const std::vector<Sample>& a, const std::vector<Sample>& b, bool bCpu = false)
{
    std::vector<double> v;
    for (size_t i = 0; i < a.size() && i < b.size(); ++i)
        v.push_back(bCpu ? a[i].fCpu / std::max(b[i].fCpu, 1e-6) : a[i].fSeconds / std::max(b[i].fSeconds, 1e-9));
    return SpreadOf(v);
}

/// The targets of a program, printed together at its end.
class Targets
{
public:
    /// A figure that must stay at or below `fLimit`.
    void Add(const std::string& sName, const Spread& s, double fLimit) { m_aLines.push_back({sName, s, fLimit}); }
    /// A target that could not be measured counts as missed.
    void Failed(const std::string& sName, double fLimit) { m_aLines.push_back({sName, Spread{-1, -1, -1}, fLimit}); }

    /// Prints every line; returns how many missed.
    int Print() const
    {
        int iMissed = 0;
        for (const Line& c : m_aLines) {
            const bool bOk = c.s.fMedian >= 0 && c.s.fMedian <= c.fLimit;
            iMissed += bOk ? 0 : 1;
            std::printf("target %s: median %.3g (min %.3g, max %.3g), limit %.3g: %s\n", c.sName.c_str(), c.s.fMedian,
                        c.s.fMin, c.s.fMax, c.fLimit, bOk ? "ok" : "MISS");
        }
        std::fflush(stdout);
        return iMissed;
    }

private:
    struct Line
    {
        std::string sName;
        Spread s;
        double fLimit;
    };
    std::vector<Line> m_aLines;
};

/// The common start of a benchmark program: the process allocator, the one
/// option "--quick", and a GL context announced with its renderer, version,
/// device kind and the allocator in use. Returns 0 to go on, else the exit
/// code: 1 for a bad command line, 2 when there is no GL context.
inline int Start(int argc, char** argv, const char* sName, varnik::GLContext& cContext, bool& bQuick)
{
    varnik::ProcessAllocator::Configure();
    bQuick = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--quick") != 0) {
            std::fprintf(stderr, "usage: %s [--quick]\n", sName);
            return 1;
        }
        bQuick = true;
    }
    if (!cContext.Create()) {
        std::fprintf(stderr, "%s: no GL context: %s\n", sName, cContext.ErrorText().toLocal8Bit().constData());
        return 2;
    }
    std::printf("%s on %s (%s, %s)%s\nallocator: %s\n", sName, cContext.Renderer().toLocal8Bit().constData(),
                cContext.Version().toLocal8Bit().constData(), cContext.DeviceKind().toLocal8Bit().constData(),
                bQuick ? ", quick sizes" : "", varnik::ProcessAllocator::Describe().toLocal8Bit().constData());
    std::fflush(stdout);
    return 0;
}

} // namespace bench

