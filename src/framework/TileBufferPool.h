#pragma once
#include <cstddef>
#include <cstdint>

namespace varnik {

/// Freed image tile buffers, kept for the next tile of the same size. A stroke
/// with the undo history kept takes a copy of every tile it touches while the
/// trimmed history frees as many: recycled, those copies cost no new pages
/// whatever the process allocator does with blocks of this size. What is kept
/// is bounded (`Limit`); beyond it buffers go back to the allocator.
/// Thread-safe: a codec may fill and free tiles from its worker threads.
class TileBufferPool
{
public:
    /// A buffer of `iBytes`, zeroed when `bZero`; throws `&Error::s_cBadAlloc`.
    static uint8_t* Take(size_t iBytes, bool bZero);
    /// Hands a buffer from Take back (null is ignored).
    static void Give(uint8_t* pData, size_t iBytes);
    /// Bytes held for reuse now, and the most that may be held.
    static size_t HeldBytes();
    static size_t Limit();
    /// Frees every buffer held (the next tiles come from the allocator again).
    static void Release();
};

} // namespace varnik
