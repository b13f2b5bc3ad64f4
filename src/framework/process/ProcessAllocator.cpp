#include "varnik/ProcessAllocator.h"
#include <dlfcn.h>
#include <jemalloc/jemalloc.h>
#include <cstring>
#include <string>
#include "varnik/Kernel.h"
#include "../TileBufferPool.h"

// The settings jemalloc reads when the process starts (before main): one
// arena for every size, so that large blocks are not handed to the arena that
// purges them at once; freed pages kept for reuse instead of purged after a
// delay; and freed blocks that merged into a large free range cut up for any
// request (by default a block more than 64 times the request is left alone,
// so a new image's tiles would take fresh pages beside a freed image). The
// environment variable MALLOC_CONF overrides them (to compare).
const char* malloc_conf = "oversize_threshold:0,dirty_decay_ms:-1,muzzy_decay_ms:-1,lg_extent_max_active_fit:63";

namespace varnik {

namespace {

/// Whether the process's malloc is jemalloc's (a sanitizer's runtime or a
/// preloaded allocator would come first).
bool MallocIsJemalloc()
{
    Dl_info cInfo{};
    void* pMalloc = dlsym(RTLD_DEFAULT, "malloc");
    return pMalloc && dladdr(pMalloc, &cInfo) && cInfo.dli_fname && std::strstr(cInfo.dli_fname, "jemalloc");
}

template <typename T>
T Option(const char* sName, T tDefault)
{
    T t = tDefault;
    size_t iSize = sizeof(t);
    return mallctl(sName, &t, &iSize, nullptr, 0) == 0 ? t : tDefault;
}

} // namespace

bool ProcessAllocator::Configure()
{
    // jemalloc read the settings above at the first allocation, long before
    // main; calling this also pulls them into the program (same object file).
    // What is checked is that they took: a preloaded allocator, or a jemalloc
    // that ignored them, would fault every large block in again.
    if (MallocIsJemalloc() && Option<size_t>("opt.lg_extent_max_active_fit", 0) == 63 &&
        Option<ssize_t>("opt.dirty_decay_ms", 0) == -1)
        return true;
    Kernel::Log(QString("ProcessAllocator: the process does not run on the configured allocator (%1)\n")
                    .arg(Describe()));
    return false;
}

void ProcessAllocator::Release()
{
    TileBufferPool::Release();
    const std::string sPurge = "arena." + std::to_string(MALLCTL_ARENAS_ALL) + ".purge";
    mallctl(sPurge.c_str(), nullptr, nullptr, nullptr, 0);
}

QString ProcessAllocator::Describe()
{
    if (!MallocIsJemalloc())
        return QStringLiteral("not jemalloc: another malloc comes first (a sanitizer's, or a preloaded one)");
    return QString("jemalloc %1 (oversize_threshold %2, dirty_decay_ms %3, muzzy_decay_ms %4, "
                   "lg_extent_max_active_fit %5)")
        .arg(QString::fromLatin1(Option<const char*>("version", "?")).section(QLatin1Char('-'), 0, 0))
        .arg(qulonglong(Option<size_t>("opt.oversize_threshold", 0)))
        .arg(qlonglong(Option<ssize_t>("opt.dirty_decay_ms", 0)))
        .arg(qlonglong(Option<ssize_t>("opt.muzzy_decay_ms", 0)))
        .arg(qulonglong(Option<size_t>("opt.lg_extent_max_active_fit", 0)));
}

} // namespace varnik
