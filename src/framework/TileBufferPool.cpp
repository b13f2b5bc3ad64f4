#include "TileBufferPool.h"
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>
#include "varnik/Error.h"

namespace varnik {

namespace {

// Enough for the tiles of many strokes (a 256 KiB tile each), small beside a
// layer: whole-image churn is the process allocator's to recycle.
const size_t s_iLimit = size_t(64) << 20;

struct Held
{
    std::mutex m_cLock;
    std::unordered_map<size_t, std::vector<uint8_t*>> m_aBySize;  ///< free buffers by byte size
    size_t m_iBytes = 0;                                           ///< their total
};

/// Never destroyed: images that outlive static destruction still give back.
Held& TheHeld()
{
    static Held* s_pHeld = new Held();
    return *s_pHeld;
}

} // namespace

uint8_t* TileBufferPool::Take(size_t iBytes, bool bZero)
{
    uint8_t* pData = nullptr;
    {
        Held& h = TheHeld();
        const std::lock_guard<std::mutex> cGuard(h.m_cLock);
        auto it = h.m_aBySize.find(iBytes);
        if (it != h.m_aBySize.end() && !it->second.empty()) {
            pData = it->second.back();
            it->second.pop_back();
            h.m_iBytes -= iBytes;
        }
    }
    if (pData) {
        if (bZero)  // a recycled buffer holds its last tile's texels
            std::memset(pData, 0, iBytes);
        return pData;
    }
    // Cleared here, not by calloc: the process allocator zeroes a reused block
    // by handing its pages back to the system, so each page faults in afresh
    // on the first write. The barrier keeps the compiler from turning malloc
    // and memset back into calloc.
    pData = static_cast<uint8_t*>(std::malloc(iBytes));
    if (!pData)
        throw &Error::s_cBadAlloc;
    if (bZero) {
        asm volatile("" : : "r"(pData) : "memory");
        std::memset(pData, 0, iBytes);
    }
    return pData;
}

void TileBufferPool::Give(uint8_t* pData, size_t iBytes)
{
    if (!pData)
        return;
    {
        Held& h = TheHeld();
        const std::lock_guard<std::mutex> cGuard(h.m_cLock);
        if (h.m_iBytes + iBytes <= s_iLimit) {
            h.m_aBySize[iBytes].push_back(pData);
            h.m_iBytes += iBytes;
            return;
        }
    }
    std::free(pData);
}

size_t TileBufferPool::HeldBytes()
{
    Held& h = TheHeld();
    const std::lock_guard<std::mutex> cGuard(h.m_cLock);
    return h.m_iBytes;
}

size_t TileBufferPool::Limit()
{
    return s_iLimit;
}

void TileBufferPool::Release()
{
    Held& h = TheHeld();
    const std::lock_guard<std::mutex> cGuard(h.m_cLock);
    for (auto& cEntry : h.m_aBySize)
        for (uint8_t* p : cEntry.second)
            std::free(p);
    h.m_aBySize.clear();
    h.m_iBytes = 0;
}

} // namespace varnik
