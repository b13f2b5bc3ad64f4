#pragma once
#include <QString>

namespace varnik {

/// The process allocator, set up for every program of the host (the host
/// program, the test programs and the benchmarks link the object library
/// VarnikProcess and call `Configure` first thing in `main`). Plug-in modules
/// never touch allocator settings: they belong to the process.
///
/// Why: the driver re-specifies pixel-buffer storage for every band of an
/// upload and gets a fresh pack buffer for every readback, and images free and
/// take tile copies stroke after stroke. With the C library's malloc, blocks
/// of 32 MiB or more are mapped afresh and handed back when freed; with its
/// mapping turned off, small allocations carve up the freed large blocks and
/// the next large block lands on untouched pages. Either way calls fault in
/// the pages they touch again. The process runs on jemalloc instead, with one
/// arena for all sizes and freed pages kept, so large blocks are reused
/// whole; memory is handed back only when the host asks (`Release`).
class ProcessAllocator
{
public:
    /// Checks that the configured allocator is in place (call it first in
    /// main); logs and returns false when it is not (e.g. another allocator
    /// was preloaded, or MALLOC_CONF changed the settings).
    static bool Configure();
    /// Hands freed pages and the images' recycled tile buffers back to the
    /// system (a long-running host calls it when idle, e.g. after a job); the
    /// next large blocks fault in again.
    static void Release();
    /// The allocator and its settings, for benchmark and log headers.
    static QString Describe();
};

} // namespace varnik
