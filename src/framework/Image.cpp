#include "varnik/Image.h"
#include <unistd.h>
#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <unordered_map>
#include <unordered_set>
#include <QFile>
#include <QFileInfo>
#include "varnik/Error.h"
#include "varnik/Half.h"
#include "ImagePixelConverter.h"
#include "TileBufferPool.h"

namespace varnik {

namespace {

const char* const s_sSourceFile = "src/framework/Image";

Error* MakeError(const char* sFunction, unsigned int iLine, const QString& sMessage)
{
    return (new Error(QString(), 4, sFunction, s_sSourceFile, iLine))->Format(sMessage);
}

/// One tile's pixels: rows of the tile's own width, packed.
struct TileBuffer
{
    uint8_t* m_pData = nullptr;  ///< pixels, from the recycled buffers when there is one of this size
    size_t m_iBytes = 0;         ///< size of m_pData

    TileBuffer(size_t iBytes, bool bZero) : m_pData(TileBufferPool::Take(iBytes, bZero)), m_iBytes(iBytes) {}
    ~TileBuffer() { TileBufferPool::Give(m_pData, m_iBytes); }
    TileBuffer(const TileBuffer&) = delete;
    TileBuffer& operator=(const TileBuffer&) = delete;
};
typedef std::shared_ptr<TileBuffer> TilePtr;

/// Copies `iBytes` with stores that bypass the cache where the target allows.
/// For whole tiles being replaced: readbacks into a version, loads. Their
/// buffers are cold (recycled from versions long gone), and ordinary stores
/// would first read every line of them from memory; the new content is rarely
/// read again soon. The caller ends a run of these with StreamFence.
void StreamCopy(uint8_t* pDest, const uint8_t* pSource, size_t iBytes)
{
#if defined(__SSE2__)
    const size_t iHead = std::min(iBytes, size_t(-reinterpret_cast<uintptr_t>(pDest) & 15));
    std::memcpy(pDest, pSource, iHead);
    size_t i = iHead;
    for (; i + 64 <= iBytes; i += 64) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pSource + i));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pSource + i + 16));
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pSource + i + 32));
        const __m128i d = _mm_loadu_si128(reinterpret_cast<const __m128i*>(pSource + i + 48));
        _mm_stream_si128(reinterpret_cast<__m128i*>(pDest + i), a);
        _mm_stream_si128(reinterpret_cast<__m128i*>(pDest + i + 16), b);
        _mm_stream_si128(reinterpret_cast<__m128i*>(pDest + i + 32), c);
        _mm_stream_si128(reinterpret_cast<__m128i*>(pDest + i + 48), d);
    }
    for (; i + 16 <= iBytes; i += 16)
        _mm_stream_si128(reinterpret_cast<__m128i*>(pDest + i),
                         _mm_loadu_si128(reinterpret_cast<const __m128i*>(pSource + i)));
    std::memcpy(pDest + i, pSource + i, iBytes - i);
#else
    std::memcpy(pDest, pSource, iBytes);
#endif
}

/// Orders streamed stores before whatever reads the tiles next.
void StreamFence()
{
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// Largest tile row: 256 texels of 4 channels of 4 bytes. A tile that was never
// written (null pointer) reads as zeros from here.
const uint32_t s_iMaxTileRowBytes = 256 * 16;
const uint8_t s_aZeroRow[s_iMaxTileRowBytes] = {};

/// The saved tiles of one step between two neighbouring versions k-1 and k.
/// While k-1 or an older version is current, the entries hold version k's
/// content of the tiles that differ (redo data); while k or a newer one is
/// current, version k-1's content (undo data). Stepping swaps the entries with
/// the current tiles, so it costs only the tiles that step changed.
struct VersionRecord
{
    std::unordered_map<uint32_t, TilePtr> m_aSaved;  ///< tile index -> content
};

/// Side of the storage tiles, as a shift. One tile when the image fits 256 x 256
/// (so that direct access works for small images); otherwise a four-channel
/// tile row is 1 KiB whatever the format: 256 texels for 8-bit channels, 128
/// for 16-bit, 64 for 32-bit. So a version saves at most 64 KiB (256 KiB for
/// 8-bit) for one touched texel, and 32-bit tiles match the 64-texel cells of
/// a dirty region: reading back a whole dirty cell replaces whole tiles and
/// copies no old content. It does not depend on the channel count, so
/// NormalizeChannels keeps the grid.
uint32_t TileShiftFor(uint32_t iWidth, uint32_t iHeight, Image::Format eFormat)
{
    if (iWidth <= 256 && iHeight <= 256)
        return 8;
    const uint32_t iBytes = Image::BytesPerChannel(eFormat);
    return iBytes == 1 ? 8 : iBytes == 2 ? 7 : 6;
}

uint32_t ProxySide(uint32_t iSide)
{
    return std::max<uint32_t>(1, iSide >> 1);
}

} // namespace

// ---------------------------------------------------------------------------
// Storage
// ---------------------------------------------------------------------------

struct Image::Impl
{
    uint32_t m_iWidth = 0;                  ///< 0 until created
    uint32_t m_iHeight = 0;
    uint32_t m_iChannels = 0;
    Image::Format m_eFormat = Image::eNoFormat;
    uint32_t m_iBytesPerPixel = 0;
    uint32_t m_iTileShift = 8;              ///< tile side = 1 << shift
    uint32_t m_iTilesX = 0;                 ///< tile columns
    uint32_t m_iTilesY = 0;                 ///< tile rows
    std::vector<TilePtr> m_aTiles;          ///< current state, row-major; null = zeros
    std::deque<VersionRecord> m_aRecords;   ///< m_aRecords[k - 1]: step from version k-1 to k
    uint32_t m_iCurrent = 0;                ///< current version, 0..m_aRecords.size()
    bool m_bDirty = false;
    unsigned char m_iProxyLevel = 0;
    std::unique_ptr<Image> m_aProxies[Image::s_iMaxProxyLevel + 1];  ///< [0] unused
    std::unique_ptr<uint8_t[]> m_pRaw;      ///< RawPixels copy, null when invalid
    int m_iRawLevel = -1;                   ///< level m_pRaw holds
    /// A create that left the channel count (0) or the format (8) to the next
    /// converting copy; width 0 when none is pending.
    Image::FileShape m_cPending;

    bool HasData() const { return m_iWidth != 0; }
    uint32_t Side() const { return 1u << m_iTileShift; }
    uint32_t TileWidth(uint32_t tx) const { return std::min(Side(), m_iWidth - (tx << m_iTileShift)); }
    uint32_t TileHeight(uint32_t ty) const { return std::min(Side(), m_iHeight - (ty << m_iTileShift)); }
    size_t TileBytes(uint32_t tx, uint32_t ty) const
    {
        return size_t(TileWidth(tx)) * TileHeight(ty) * m_iBytesPerPixel;
    }
    PixelDescriptor Descriptor() const
    {
        return PixelDescriptor(m_iChannels, Image::ChannelTypeOf(m_eFormat));
    }
    ImgTile Bounds() const { return ImgTile(0, 0, int32_t(m_iWidth), int32_t(m_iHeight)); }

    /// Start of a tile row for reading (zeros for a tile never written).
    const uint8_t* Row(uint32_t tx, uint32_t ty, uint32_t iLocalRow) const
    {
        const TilePtr& pTile = m_aTiles[size_t(ty) * m_iTilesX + tx];
        if (!pTile)
            return s_aZeroRow;
        return pTile->m_pData + size_t(iLocalRow) * TileWidth(tx) * m_iBytesPerPixel;
    }

    void Allocate(uint32_t iWidth, uint32_t iHeight, uint32_t iChannels, Image::Format eFormat)
    {
        m_iWidth = iWidth;
        m_iHeight = iHeight;
        m_iChannels = iChannels;
        m_eFormat = eFormat;
        m_iBytesPerPixel = Image::BytesPerChannel(eFormat) * iChannels;
        m_iTileShift = TileShiftFor(iWidth, iHeight, eFormat);
        m_iTilesX = (iWidth + Side() - 1) >> m_iTileShift;
        m_iTilesY = (iHeight + Side() - 1) >> m_iTileShift;
        // Tiles start null (zeros): a fresh image costs only its tile table.
        m_aTiles.assign(size_t(m_iTilesX) * m_iTilesY, TilePtr());
        m_aRecords.clear();
        m_iCurrent = 0;
        m_cPending = Image::FileShape();
        DropDerived();
    }

    void Reset()
    {
        m_iWidth = m_iHeight = m_iChannels = m_iBytesPerPixel = 0;
        m_eFormat = Image::eNoFormat;
        m_iTilesX = m_iTilesY = 0;
        m_aTiles.clear();
        m_aRecords.clear();
        m_iCurrent = 0;
        m_bDirty = false;
        m_iProxyLevel = 0;
        m_cPending = Image::FileShape();
        DropDerived();
    }

    /// Proxies and the raw copy describe the pixels: any change drops them.
    void DropDerived()
    {
        for (auto& pProxy : m_aProxies)
            pProxy.reset();
        m_pRaw.reset();
        m_iRawLevel = -1;
    }

    /// Called at the start of every write.
    void Touch()
    {
        DropDerived();
        m_bDirty = true;
    }

    /// Saves the tile's current content into the version records that need it
    /// before the tile changes: the step into the current version (undo data,
    /// when the tile did not change in that step yet) and the step out of it
    /// (redo data of the next version, which shared this content until now).
    void SaveForVersions(uint32_t iIndex)
    {
        if (m_aRecords.empty())
            return;
        const TilePtr& pTile = m_aTiles[iIndex];
        if (m_iCurrent > 0)
            m_aRecords[m_iCurrent - 1].m_aSaved.try_emplace(iIndex, pTile);
        if (m_iCurrent < m_aRecords.size())
            m_aRecords[m_iCurrent].m_aSaved.try_emplace(iIndex, pTile);
    }

    /// Pointer to a tile's pixels for writing: versions saved, copy made when
    /// the content is shared. `bWhole`: the caller overwrites every byte, so the
    /// old content need not be copied or cleared.
    uint8_t* Writable(uint32_t tx, uint32_t ty, bool bWhole)
    {
        const uint32_t iIndex = ty * m_iTilesX + tx;
        SaveForVersions(iIndex);
        TilePtr& pTile = m_aTiles[iIndex];
        if (!pTile) {
            pTile = std::make_shared<TileBuffer>(TileBytes(tx, ty), !bWhole);
        } else if (pTile.use_count() > 1) {
            TilePtr pCopy = std::make_shared<TileBuffer>(pTile->m_iBytes, false);
            if (!bWhole)
                std::memcpy(pCopy->m_pData, pTile->m_pData, pTile->m_iBytes);
            pTile = std::move(pCopy);
        }
        return pTile->m_pData;
    }

    /// Replaces a whole tile by shared content (copy on write keeps it safe).
    void Assign(uint32_t tx, uint32_t ty, const TilePtr& pContent)
    {
        const uint32_t iIndex = ty * m_iTilesX + tx;
        SaveForVersions(iIndex);
        m_aTiles[iIndex] = pContent;
    }

    /// Reads the clipped, non-empty rectangle `r` into `pDest` (rows `iDestStride`
    /// bytes apart), converting when `pConv` is given.
    void ReadRect(const ImgTile& r, uint8_t* pDest, size_t iDestStride, const ImagePixelConverter* pConv,
                  uint32_t iDestBpp) const
    {
        const uint32_t tx0 = uint32_t(r.x) >> m_iTileShift, tx1 = uint32_t(r.x + r.nx - 1) >> m_iTileShift;
        const uint32_t ty0 = uint32_t(r.y) >> m_iTileShift, ty1 = uint32_t(r.y + r.ny - 1) >> m_iTileShift;
        for (uint32_t ty = ty0; ty <= ty1; ++ty) {
            const uint32_t iTileY = ty << m_iTileShift;
            const uint32_t y0 = std::max<uint32_t>(uint32_t(r.y), iTileY);
            const uint32_t y1 = std::min<uint32_t>(uint32_t(r.y + r.ny), iTileY + Side());
            // Tile by tile: each tile's rows are read in memory order, which
            // keeps the prefetcher on one stream instead of one per tile.
            for (uint32_t tx = tx0; tx <= tx1; ++tx) {
                const uint32_t iTileX = tx << m_iTileShift;
                const uint32_t x0 = std::max<uint32_t>(uint32_t(r.x), iTileX);
                const uint32_t x1 = std::min<uint32_t>(uint32_t(r.x + r.nx), iTileX + Side());
                uint8_t* pDst = pDest + size_t(y0 - uint32_t(r.y)) * iDestStride + size_t(x0 - uint32_t(r.x)) * iDestBpp;
                for (uint32_t y = y0; y < y1; ++y, pDst += iDestStride) {
                    const uint8_t* pSrc = Row(tx, ty, y - iTileY) + size_t(x0 - iTileX) * m_iBytesPerPixel;
                    if (pConv)
                        pConv->Run(pSrc, pDst, x1 - x0);
                    else
                        std::memcpy(pDst, pSrc, size_t(x1 - x0) * m_iBytesPerPixel);
                }
            }
        }
    }

    /// Writes the clipped, non-empty rectangle `r` from `pSrc` (rows
    /// `iSrcStride` bytes apart), converting when `pConv` is given.
    void WriteRect(const ImgTile& r, const uint8_t* pSrc, size_t iSrcStride, const ImagePixelConverter* pConv,
                   uint32_t iSrcBpp)
    {
        const uint32_t tx0 = uint32_t(r.x) >> m_iTileShift, tx1 = uint32_t(r.x + r.nx - 1) >> m_iTileShift;
        const uint32_t ty0 = uint32_t(r.y) >> m_iTileShift, ty1 = uint32_t(r.y + r.ny - 1) >> m_iTileShift;
        std::vector<uint8_t*> aDest(tx1 - tx0 + 1);
        std::vector<bool> aWhole(tx1 - tx0 + 1);
        bool bStreamed = false;
        for (uint32_t ty = ty0; ty <= ty1; ++ty) {
            const uint32_t iTileY = ty << m_iTileShift;
            const uint32_t y0 = std::max<uint32_t>(uint32_t(r.y), iTileY);
            const uint32_t y1 = std::min<uint32_t>(uint32_t(r.y + r.ny), iTileY + Side());
            const bool bAllRows = y0 == iTileY && y1 - y0 == TileHeight(ty);
            for (uint32_t tx = tx0; tx <= tx1; ++tx) {
                const uint32_t iTileX = tx << m_iTileShift;
                const bool bAllColumns = uint32_t(r.x) <= iTileX &&
                                         uint32_t(r.x + r.nx) >= iTileX + TileWidth(tx);
                aWhole[tx - tx0] = bAllRows && bAllColumns;
                aDest[tx - tx0] = Writable(tx, ty, aWhole[tx - tx0]);
            }
            // Tile by tile, so that the writes run through each tile's memory in order.
            for (uint32_t tx = tx0; tx <= tx1; ++tx) {
                const uint32_t iTileX = tx << m_iTileShift;
                const uint32_t x0 = std::max<uint32_t>(uint32_t(r.x), iTileX);
                const uint32_t x1 = std::min<uint32_t>(uint32_t(r.x + r.nx), iTileX + Side());
                const size_t iTileStride = size_t(TileWidth(tx)) * m_iBytesPerPixel;
                uint8_t* pDst = aDest[tx - tx0] + size_t(y0 - iTileY) * iTileStride + size_t(x0 - iTileX) * m_iBytesPerPixel;
                const uint8_t* pFrom = pSrc + size_t(y0 - uint32_t(r.y)) * iSrcStride + size_t(x0 - uint32_t(r.x)) * iSrcBpp;
                // Whole tiles of distinct rows bypass the cache (a fill's rows all
                // read one pattern, which stays cached anyway).
                const bool bStream = !pConv && aWhole[tx - tx0] && iSrcStride != 0;
                bStreamed |= bStream;
                for (uint32_t y = y0; y < y1; ++y, pDst += iTileStride, pFrom += iSrcStride) {
                    if (pConv)
                        pConv->Run(pFrom, pDst, x1 - x0);
                    else if (bStream)
                        StreamCopy(pDst, pFrom, size_t(x1 - x0) * m_iBytesPerPixel);
                    else
                        std::memcpy(pDst, pFrom, size_t(x1 - x0) * m_iBytesPerPixel);
                }
            }
        }
        if (bStreamed)
            StreamFence();
    }

    /// Fills the clipped, non-empty rectangle with one pixel of the image's layout.
    void FillRect(const ImgTile& r, const uint8_t* pPixel)
    {
        // One tile row of the pixel, copied row by row: no per-texel loop per row.
        std::vector<uint8_t> aPattern(size_t(Side()) * m_iBytesPerPixel);
        for (uint32_t i = 0; i < Side(); ++i)
            std::memcpy(aPattern.data() + size_t(i) * m_iBytesPerPixel, pPixel, m_iBytesPerPixel);
        // Stride and source step 0: every row and segment reads the pattern's start.
        WriteRect(r, aPattern.data(), 0, nullptr, 0);
    }

    /// Copies the clipped rectangle `cSrc` of `cSource` (same layout) to
    /// (iDestX, iDestY) of this image, which `cSrc` placed there fits entirely.
    /// Whole tiles on the same grid are shared instead of copied.
    void CopyFrom(const Impl& cSource, const ImgTile& cSrc, int32_t iDestX, int32_t iDestY)
    {
        const uint32_t s = cSource.m_iTileShift;
        const uint32_t tx0 = uint32_t(cSrc.x) >> s, tx1 = uint32_t(cSrc.x + cSrc.nx - 1) >> s;
        const uint32_t ty0 = uint32_t(cSrc.y) >> s, ty1 = uint32_t(cSrc.y + cSrc.ny - 1) >> s;
        const bool bSameGrid = s == m_iTileShift && iDestX == cSrc.x && iDestY == cSrc.y &&
                               cSource.m_iWidth == m_iWidth && cSource.m_iHeight == m_iHeight;
        for (uint32_t ty = ty0; ty <= ty1; ++ty) {
            for (uint32_t tx = tx0; tx <= tx1; ++tx) {
                const ImgTile cTile(ImgTile(int32_t(tx << s), int32_t(ty << s), int32_t(cSource.TileWidth(tx)),
                                            int32_t(cSource.TileHeight(ty))),
                                    cSrc);
                if (cTile.isEmpty())
                    continue;
                const bool bWholeTile = cTile.nx == int32_t(cSource.TileWidth(tx)) &&
                                        cTile.ny == int32_t(cSource.TileHeight(ty));
                if (bSameGrid && bWholeTile) {
                    Assign(tx, ty, cSource.m_aTiles[size_t(ty) * cSource.m_iTilesX + tx]);
                    continue;
                }
                const ImgTile cDest(iDestX + (cTile.x - cSrc.x), iDestY + (cTile.y - cSrc.y), cTile.nx, cTile.ny);
                const TilePtr& pTile = cSource.m_aTiles[size_t(ty) * cSource.m_iTilesX + tx];
                if (!pTile) {
                    std::vector<uint8_t> aZero(m_iBytesPerPixel, 0);
                    FillRect(cDest, aZero.data());
                    continue;
                }
                const size_t iStride = size_t(cSource.TileWidth(tx)) * m_iBytesPerPixel;
                const uint8_t* pFrom = pTile->m_pData + size_t(cTile.y - int32_t(ty << s)) * iStride +
                                       size_t(cTile.x - int32_t(tx << s)) * m_iBytesPerPixel;
                WriteRect(cDest, pFrom, iStride, nullptr, m_iBytesPerPixel);
            }
        }
    }

    void SwapRecord(VersionRecord& cRecord)
    {
        for (auto& cEntry : cRecord.m_aSaved)
            std::swap(m_aTiles[cEntry.first], cEntry.second);
    }
};

// ---------------------------------------------------------------------------
// Proxy images: 2 x 2 box filter
// ---------------------------------------------------------------------------

namespace {

template <typename T>
struct BoxAverage
{
    static T Run(T a, T b, T c, T d)
    {
        return T((uint64_t(a) + b + c + d + 2) >> 2);
    }
};
template <>
struct BoxAverage<uint8_t>
{
    static uint8_t Run(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return uint8_t((a + b + c + d + 2) >> 2); }
};
template <>
struct BoxAverage<uint16_t>
{
    static uint16_t Run(uint32_t a, uint32_t b, uint32_t c, uint32_t d) { return uint16_t((a + b + c + d + 2) >> 2); }
};
template <>
struct BoxAverage<float>
{
    static float Run(float a, float b, float c, float d) { return 0.25f * ((a + b) + (c + d)); }
};
struct HalfBits
{
    uint16_t m_iBits;
};
template <>
struct BoxAverage<HalfBits>
{
    static HalfBits Run(HalfBits a, HalfBits b, HalfBits c, HalfBits d)
    {
        const float f = 0.25f * ((half_::ToFloat(a.m_iBits) + half_::ToFloat(b.m_iBits)) +
                                 (half_::ToFloat(c.m_iBits) + half_::ToFloat(d.m_iBits)));
        return HalfBits{half_::FromFloat(f)};
    }
};

// Averages texels 2x and 2x+1 (or 2x twice when the source is one texel wide)
// of rows p0 and p1 into texel x of pOut, for x in [0, iCount).
template <typename T, uint32_t CH, bool ONE>
void BoxRowOf(const uint8_t* p0, const uint8_t* p1, uint8_t* pOut, size_t iCount)
{
    const T* a = reinterpret_cast<const T*>(p0);
    const T* b = reinterpret_cast<const T*>(p1);
    T* o = reinterpret_cast<T*>(pOut);
    constexpr size_t iStep = ONE ? 0 : CH;  // known at compile time: no per-texel branch
    for (size_t x = 0; x < iCount; ++x) {
        const size_t i = 2 * x * CH;
        for (uint32_t c = 0; c < CH; ++c)
            o[x * CH + c] = BoxAverage<T>::Run(a[i + c], a[i + iStep + c], b[i + c], b[i + iStep + c]);
    }
}

template <typename T, uint32_t CH>
void BoxRow(const uint8_t* p0, const uint8_t* p1, uint8_t* pOut, size_t iCount, bool bOneColumn)
{
    if (bOneColumn)
        BoxRowOf<T, CH, true>(p0, p1, pOut, iCount);
    else
        BoxRowOf<T, CH, false>(p0, p1, pOut, iCount);
}

typedef void (*BoxFunction)(const uint8_t*, const uint8_t*, uint8_t*, size_t, bool);

#if defined(__x86_64__) || defined(__i386__)
// Four-channel half-float rows with the processor's half conversions: the
// software ones dominate building the proxies of a half-float layer. The sums
// are made in the same order as BoxAverage<HalfBits>, and the conversion back
// rounds to nearest even, so the result is the same.
__attribute__((target("avx,f16c"))) void BoxRowHalf4F16C(const uint8_t* p0, const uint8_t* p1, uint8_t* pOut,
                                                         size_t iCount, bool bOneColumn)
{
    size_t x = 0;
    if (!bOneColumn) {
        // Two output texels a step, from four texels of each row: half the
        // loads and conversions of the texel-by-texel loop below.
        const __m256 fQuarter = _mm256_set1_ps(0.25f);
        for (; x + 2 <= iCount; x += 2) {
            const size_t i = 16 * x;
            const __m256 a01 = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p0 + i)));
            const __m256 a23 = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p0 + i + 16)));
            const __m256 b01 = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p1 + i)));
            const __m256 b23 = _mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p1 + i + 16)));
            // Even texels (2x, 2x + 2) against odd ones (2x + 1, 2x + 3).
            const __m256 a =
                _mm256_add_ps(_mm256_permute2f128_ps(a01, a23, 0x20), _mm256_permute2f128_ps(a01, a23, 0x31));
            const __m256 b =
                _mm256_add_ps(_mm256_permute2f128_ps(b01, b23, 0x20), _mm256_permute2f128_ps(b01, b23, 0x31));
            const __m256 f = _mm256_mul_ps(fQuarter, _mm256_add_ps(a, b));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(pOut + 8 * x), _mm256_cvtps_ph(f, _MM_FROUND_TO_NEAREST_INT));
        }
    }
    const size_t iStep = bOneColumn ? 0 : 8;  // bytes from texel 2x to 2x + 1
    const __m128 fQuarter = _mm_set1_ps(0.25f);
    for (; x < iCount; ++x) {
        const size_t i = 16 * x;
        const __m128 a0 = _mm_cvtph_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p0 + i)));
        const __m128 a1 = _mm_cvtph_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p0 + i + iStep)));
        const __m128 b0 = _mm_cvtph_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p1 + i)));
        const __m128 b1 = _mm_cvtph_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p1 + i + iStep)));
        const __m128 f = _mm_mul_ps(fQuarter, _mm_add_ps(_mm_add_ps(a0, a1), _mm_add_ps(b0, b1)));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(pOut + 8 * x), _mm_cvtps_ph(f, _MM_FROUND_TO_NEAREST_INT));
    }
}
#endif

template <typename T>
BoxFunction PickBoxChannels(uint32_t iChannels)
{
    switch (iChannels) {
    case 1: return &BoxRow<T, 1>;
    case 2: return &BoxRow<T, 2>;
    case 3: return &BoxRow<T, 3>;
    default: return &BoxRow<T, 4>;
    }
}

BoxFunction PickBox(PixelDescriptor::ChannelType eType, uint32_t iChannels)
{
    switch (eType) {
    case PixelDescriptor::eUInt8: return PickBoxChannels<uint8_t>(iChannels);
    case PixelDescriptor::eUInt16: return PickBoxChannels<uint16_t>(iChannels);
    case PixelDescriptor::eFloat16:
#if defined(__x86_64__) || defined(__i386__)
        if (iChannels == 4 && __builtin_cpu_supports("avx") && __builtin_cpu_supports("f16c"))
            return &BoxRowHalf4F16C;
#endif
        return PickBoxChannels<HalfBits>(iChannels);
    case PixelDescriptor::eFloat32: return PickBoxChannels<float>(iChannels);
    default: return PickBoxChannels<uint32_t>(iChannels);
    }
}

} // namespace

namespace {

// Builds `cDest` as the box-filtered half of `cSource`, straight into the
// destination's tiles a row of tiles at a time: each source tile is read down
// its rows in memory order, and each destination tile is written whole, once,
// never cleared first.
void BuildProxy(const Image::Impl& cSource, Image& cDest, Image::Impl& cDestImpl)
{
    const uint32_t iWidth = ProxySide(cSource.m_iWidth), iHeight = ProxySide(cSource.m_iHeight);
    cDest.create(iWidth, iHeight, cSource.m_iChannels, cSource.m_eFormat);
    const BoxFunction fBox = PickBox(Image::ChannelTypeOf(cSource.m_eFormat), cSource.m_iChannels);
    const uint32_t iBpp = cSource.m_iBytesPerPixel;
    const uint32_t s = cSource.m_iTileShift, d = cDestImpl.m_iTileShift;
    const bool bOneColumn = cSource.m_iWidth == 1;
    std::vector<uint8_t*> aDest(cDestImpl.m_iTilesX);
    for (uint32_t dty = 0; dty < cDestImpl.m_iTilesY; ++dty) {
        const uint32_t y0 = dty << d, y1 = std::min(iHeight, y0 + cDestImpl.Side());
        for (uint32_t dtx = 0; dtx < cDestImpl.m_iTilesX; ++dtx)
            aDest[dtx] = cDestImpl.Writable(dtx, dty, true);
        for (uint32_t tx = 0; tx < cSource.m_iTilesX; ++tx) {
            const uint32_t iFirst = (tx << s) / 2;
            const uint32_t iEnd = tx + 1 == cSource.m_iTilesX ? iWidth : ((tx + 1) << s) / 2;
            if (iEnd <= iFirst)
                continue;
            // Sides are powers of two and a destination tile is at least half
            // a source tile wide, so this half lies in one destination tile.
            const uint32_t dtx = iFirst >> d;
            const size_t iDestStride = size_t(cDestImpl.TileWidth(dtx)) * iBpp;
            uint8_t* pOut = aDest[dtx] + size_t(iFirst - (dtx << d)) * iBpp;
            for (uint32_t y = y0; y < y1; ++y, pOut += iDestStride) {
                const uint32_t iRow0 = 2 * y;
                const uint32_t iRow1 = cSource.m_iHeight == 1 ? iRow0 : iRow0 + 1;
                // Tile sides are even, so both rows lie in the same tile band.
                const uint32_t ty = iRow0 >> s;
                fBox(cSource.Row(tx, ty, iRow0 - (ty << s)), cSource.Row(tx, ty, iRow1 - (ty << s)), pOut,
                     iEnd - iFirst, bOneColumn);
            }
        }
    }
}

ImageCodec* s_pCodec = nullptr;  ///< the registered codec, not owned

} // namespace

// ---------------------------------------------------------------------------
// Image
// ---------------------------------------------------------------------------

// Out-of-line definitions: callers may bind the constants by reference.
const uint32_t Image::s_iMaxDimension;
const uint32_t Image::s_iMaxProxyLevel;

Image::Image() : Node(), m_pImpl(new Impl())
{
}

Image::~Image() = default;

const ClassDesc* Image::StaticClass()
{
    // Made on first use so that Node's record exists first; registered at
    // library load by the line below.
    static const ClassDesc s_cMyClass(Node::StaticClass(), Node::StaticClass(), QStringLiteral("Image"),
                                      QStringLiteral("Image"), &CreateInstancesOf<Image>, 0, 1);
    return &s_cMyClass;
}

namespace {
const ClassDesc* const s_pImageClassAtLoad = Image::StaticClass();
}

const ClassDesc* Image::RuntimeClass() const
{
    return StaticClass();
}

unsigned int Image::Width() const { return m_pImpl->m_iWidth; }
unsigned int Image::Height() const { return m_pImpl->m_iHeight; }
unsigned int Image::ChannelCount() const { return m_pImpl->m_iChannels; }
Image::Format Image::format() const { return m_pImpl->m_eFormat; }
bool Image::HasData() const { return m_pImpl->HasData(); }
PixelDescriptor Image::Descriptor() const { return m_pImpl->Descriptor(); }

uint32_t Image::BytesPerChannel(Format eFormat)
{
    static const uint32_t s_aBytes[] = { 1, 2, 4, 2, 4, 2, 4, 4 };
    return uint32_t(eFormat) < 8 ? s_aBytes[eFormat] : 0;
}

PixelDescriptor::ChannelType Image::ChannelTypeOf(Format eFormat)
{
    switch (eFormat) {
    case e16integer:
    case e16depth: return PixelDescriptor::eUInt16;
    case e32integer:
    case e24depth:
    case e32depth: return PixelDescriptor::eUInt32;
    case e16float: return PixelDescriptor::eFloat16;
    case e32float: return PixelDescriptor::eFloat32;
    default: return PixelDescriptor::eUInt8;
    }
}

PixelDescriptor::MemoryChannelOrder Image::optimizedChannelOrder()
{
    return PixelDescriptor::eRGBA;
}

void Image::create(unsigned int iWidth, unsigned int iHeight, unsigned int iChannels, Format eFormat,
                   bool bKeepIfSame, int /*iLevels*/)
{
    if (iWidth == 0 || iHeight == 0 || iWidth > s_iMaxDimension || iHeight > s_iMaxDimension)
        throw MakeError("Image::create", __LINE__,
                        QString("Image::create -- invalid size %1 x %2 (1 to %3 texels a side)")
                            .arg(iWidth).arg(iHeight).arg(s_iMaxDimension));
    // One attribute left open (channels 0 or format 8): the converting copy
    // that follows takes it from its source.
    if ((iChannels == 0) != (eFormat == eNoFormat) && iChannels <= 4 && uint32_t(eFormat) <= 8) {
        Impl& m = *m_pImpl;
        m.Reset();
        m.m_cPending.m_iWidth = iWidth;
        m.m_cPending.m_iHeight = iHeight;
        m.m_cPending.m_iChannels = iChannels;
        m.m_cPending.m_eFormat = eFormat;
        return;
    }
    if (iChannels < 1 || iChannels > 4)
        throw MakeError("Image::create", __LINE__,
                        QString("Image::create -- invalid channel count %1 (1 to 4)").arg(iChannels));
    if (uint32_t(eFormat) > 7)
        throw MakeError("Image::create", __LINE__,
                        QString("Image::create -- unknown format %1").arg(uint32_t(eFormat)));
    Impl& m = *m_pImpl;
    // Readback calls this once per dirty tile: the same shape keeps everything.
    if (bKeepIfSame && m.m_iWidth == iWidth && m.m_iHeight == iHeight && m.m_iChannels == iChannels &&
        m.m_eFormat == eFormat)
        return;
    m.Allocate(iWidth, iHeight, iChannels, eFormat);
    m.m_bDirty = true;
}

void Image::Clear()
{
    m_pImpl->Reset();
}

namespace {

/// Where a caller's rectangle meets the image: the clipped rectangle, the
/// caller's bytes per pixel and row stride, and the byte offset of the clipped
/// rectangle's first texel in the caller's buffer. `r` is empty when nothing
/// overlaps. Shared by getTile and setTile so both clip alike.
struct CallerRect
{
    ImgTile r;
    uint32_t iBpp = 0;
    size_t iStride = 0;
    size_t iOffset = 0;
};

CallerRect ClipCallerRect(int x, int y, int nx, int ny, const ImgTile& cBounds, uint32_t iOwnBpp,
                          const PixelDescriptor* pDesc, const void* pBuffer, const char* sFunction,
                          const char* sMissing)
{
    CallerRect c;
    c.iBpp = iOwnBpp;
    if (pDesc) {
        ImagePixelConverter::Validate(*pDesc, sFunction);
        c.iBpp = pDesc->BytesPerPixel();
    }
    if (!pBuffer)
        throw MakeError(sFunction, __LINE__, QString("%1 -- %2").arg(sFunction, sMissing));
    c.r = ImgTile(ImgTile(x, y, nx, ny), cBounds);
    c.iStride = size_t(nx) * c.iBpp;
    if (!c.r.isEmpty())
        c.iOffset = size_t(c.r.y - y) * c.iStride + size_t(c.r.x - x) * c.iBpp;
    return c;
}

} // namespace

void Image::getTile(int x, int y, int nx, int ny, void* pDest, const PixelDescriptor* pDesc) const
{
    if (nx <= 0 || ny <= 0)
        return;
    const Impl& m = *m_pImpl;
    const PixelDescriptor cOwn = m.Descriptor();
    const CallerRect c = ClipCallerRect(x, y, nx, ny, m.Bounds(), m.m_iBytesPerPixel, pDesc, pDest,
                                        "Image::getTile", "null destination buffer");
    if (c.r.isEmpty())
        return;
    uint8_t* pAt = static_cast<uint8_t*>(pDest) + c.iOffset;
    if (pDesc && !ImagePixelConverter::SameLayout(cOwn, *pDesc)) {
        const ImagePixelConverter cConv(cOwn, *pDesc, "Image::getTile");
        m.ReadRect(c.r, pAt, c.iStride, &cConv, c.iBpp);
    } else {
        m.ReadRect(c.r, pAt, c.iStride, nullptr, c.iBpp);
    }
}

void Image::setTile(int x, int y, int nx, int ny, const void* pSrc, const PixelDescriptor* pDesc)
{
    if (nx <= 0 || ny <= 0)
        return;
    Impl& m = *m_pImpl;
    const PixelDescriptor cOwn = m.Descriptor();
    const CallerRect c = ClipCallerRect(x, y, nx, ny, m.Bounds(), m.m_iBytesPerPixel, pDesc, pSrc,
                                        "Image::setTile", "null source buffer");
    if (c.r.isEmpty())
        return;
    const uint8_t* pAt = static_cast<const uint8_t*>(pSrc) + c.iOffset;
    m.Touch();
    if (pDesc && !ImagePixelConverter::SameLayout(cOwn, *pDesc)) {
        const ImagePixelConverter cConv(*pDesc, cOwn, "Image::setTile");
        m.WriteRect(c.r, pAt, c.iStride, &cConv, c.iBpp);
    } else {
        m.WriteRect(c.r, pAt, c.iStride, nullptr, c.iBpp);
    }
}

void Image::fillTile(int x, int y, int nx, int ny, const void* pPixel, const PixelDescriptor* pDesc,
                     const ImgTile* pClip)
{
    if (nx <= 0 || ny <= 0)
        return;
    Impl& m = *m_pImpl;
    if (pDesc)
        ImagePixelConverter::Validate(*pDesc, "Image::fillTile");
    if (!pPixel)
        throw MakeError("Image::fillTile", __LINE__, "Image::fillTile -- null pixel");
    ImgTile r(ImgTile(x, y, nx, ny), m.Bounds());
    if (pClip)
        r = ImgTile(r, *pClip);
    if (r.isEmpty())
        return;
    uint8_t aPixel[16];
    const PixelDescriptor cOwn = m.Descriptor();
    if (pDesc && !ImagePixelConverter::SameLayout(cOwn, *pDesc))
        ImagePixelConverter(*pDesc, cOwn, "Image::fillTile").Run(pPixel, aPixel, 1);
    else
        std::memcpy(aPixel, pPixel, m.m_iBytesPerPixel);
    m.Touch();
    m.FillRect(r, aPixel);
}

void Image::copyTile(const ImgTile& cWhole, const void* pWholeData, const ImgTile& cRegion)
{
    Impl& m = *m_pImpl;
    const ImgTile r(ImgTile(cRegion, cWhole), m.Bounds());
    if (r.isEmpty())
        return;
    if (!pWholeData)
        throw MakeError("Image::copyTile", __LINE__, "Image::copyTile -- null source buffer");
    const size_t iStride = size_t(cWhole.nx) * m.m_iBytesPerPixel;
    const uint8_t* pAt = static_cast<const uint8_t*>(pWholeData) + size_t(r.y - cWhole.y) * iStride +
                         size_t(r.x - cWhole.x) * m.m_iBytesPerPixel;
    m.Touch();
    m.WriteRect(r, pAt, iStride, nullptr, m.m_iBytesPerPixel);
}

void Image::CopyRect(const Image& cSource, const ImgTile& cSrcRect, int x, int y)
{
    Impl& m = *m_pImpl;
    const Impl& s = *cSource.m_pImpl;
    if (!m.HasData() || !s.HasData())
        return;  // nothing lies inside both images
    if (s.m_eFormat != m.m_eFormat || s.m_iChannels != m.m_iChannels)
        throw MakeError("Image::CopyRect", __LINE__,
                        QString("Image::CopyRect -- layouts differ: source has %1 channels of format %2, "
                                "destination %3 channels of format %4")
                            .arg(s.m_iChannels).arg(uint32_t(s.m_eFormat))
                            .arg(m.m_iChannels).arg(uint32_t(m.m_eFormat)));
    // Clip in source space, then in destination space, then map back.
    const ImgTile cSrc(cSrcRect, s.Bounds());
    if (cSrc.isEmpty())
        return;
    const int64_t iShiftX = int64_t(x) - cSrcRect.x, iShiftY = int64_t(y) - cSrcRect.y;
    const int64_t iX0 = std::max<int64_t>(cSrc.x + iShiftX, 0);
    const int64_t iY0 = std::max<int64_t>(cSrc.y + iShiftY, 0);
    const int64_t iX1 = std::min<int64_t>(cSrc.x + iShiftX + cSrc.nx, m.m_iWidth);
    const int64_t iY1 = std::min<int64_t>(cSrc.y + iShiftY + cSrc.ny, m.m_iHeight);
    if (iX1 <= iX0 || iY1 <= iY0)
        return;
    const ImgTile cDest(int32_t(iX0), int32_t(iY0), int32_t(iX1 - iX0), int32_t(iY1 - iY0));
    const ImgTile cFrom(int32_t(iX0 - iShiftX), int32_t(iY0 - iShiftY), cDest.nx, cDest.ny);
    m.Touch();
    if (&cSource == this) {
        // Reads and writes would meet in the same tiles: go through a buffer.
        std::vector<uint8_t> aBuffer(size_t(cFrom.nx) * cFrom.ny * m.m_iBytesPerPixel);
        const size_t iStride = size_t(cFrom.nx) * m.m_iBytesPerPixel;
        m.ReadRect(cFrom, aBuffer.data(), iStride, nullptr, m.m_iBytesPerPixel);
        m.WriteRect(cDest, aBuffer.data(), iStride, nullptr, m.m_iBytesPerPixel);
        return;
    }
    m.CopyFrom(s, cFrom, cDest.x, cDest.y);
}

void Image::ConvertFrom(const Image& cSource)
{
    Impl& m = *m_pImpl;
    const Impl& s = *cSource.m_pImpl;
    if (m.m_cPending.m_iWidth != 0 && s.HasData() && &cSource != this) {
        const Image::FileShape c = m.m_cPending;
        m.Allocate(c.m_iWidth, c.m_iHeight, c.m_iChannels ? c.m_iChannels : s.m_iChannels,
                   c.m_eFormat != eNoFormat ? c.m_eFormat : s.m_eFormat);
        m.m_bDirty = true;
    }
    if (&cSource == this || !m.HasData() || !s.HasData())
        return;
    const ImgTile r(m.Bounds(), s.Bounds());
    if (ImagePixelConverter::SameLayout(s.Descriptor(), m.Descriptor())) {
        CopyRect(cSource, r, r.x, r.y);
        return;
    }
    const ImagePixelConverter cConv(s.Descriptor(), m.Descriptor(), "Image::ConvertFrom");
    m.Touch();
    // A band of tile rows at a time keeps the scratch buffer small.
    const int32_t iBand = int32_t(m.Side());
    const size_t iStride = size_t(r.nx) * m.m_iBytesPerPixel;
    std::vector<uint8_t> aBuffer(iStride * size_t(std::min(iBand, r.ny)));
    for (int32_t y = 0; y < r.ny; y += iBand) {
        const ImgTile cBand(r.x, r.y + y, r.nx, std::min(iBand, r.ny - y));
        s.ReadRect(cBand, aBuffer.data(), iStride, &cConv, m.m_iBytesPerPixel);
        m.WriteRect(cBand, aBuffer.data(), iStride, nullptr, m.m_iBytesPerPixel);
    }
}

void Image::NormalizeChannels()
{
    Impl& m = *m_pImpl;
    if (m.m_iChannels != 1 && m.m_iChannels != 3)
        return;
    const PixelDescriptor cOld = m.Descriptor();
    const PixelDescriptor cNew(m.m_iChannels + 1, cOld.m_eChannelType);
    const ImagePixelConverter cConv(cOld, cNew, "Image::NormalizeChannels");
    const uint32_t iOldBpp = m.m_iBytesPerPixel, iNewBpp = cNew.BytesPerPixel();
    // Every state in the history changes the same way; shared tiles stay shared.
    std::unordered_map<const TileBuffer*, TilePtr> aDone;
    auto fConvert = [&](uint32_t iIndex, TilePtr& pTile) {
        const uint32_t tx = iIndex % m.m_iTilesX, ty = iIndex / m.m_iTilesX;
        const TileBuffer* pOld = pTile.get();
        auto it = pOld ? aDone.find(pOld) : aDone.end();
        if (it != aDone.end()) {
            pTile = it->second;
            return;
        }
        const uint32_t iW = m.TileWidth(tx), iH = m.TileHeight(ty);
        TilePtr pNew = std::make_shared<TileBuffer>(size_t(iW) * iH * iNewBpp, false);
        for (uint32_t y = 0; y < iH; ++y)
            cConv.Run(pOld ? pOld->m_pData + size_t(y) * iW * iOldBpp : s_aZeroRow,
                      pNew->m_pData + size_t(y) * iW * iNewBpp, iW);
        if (pOld)  // null tiles of different places differ in size: never shared
            aDone.emplace(pOld, pNew);
        pTile = pNew;
    };
    for (uint32_t i = 0; i < m.m_aTiles.size(); ++i)
        fConvert(i, m.m_aTiles[i]);
    for (VersionRecord& cRecord : m.m_aRecords)
        for (auto& cEntry : cRecord.m_aSaved)
            fConvert(cEntry.first, cEntry.second);
    m.m_iChannels = cNew.m_iChannels;
    m.m_iBytesPerPixel = iNewBpp;
    m.Touch();
}

void* Image::DirectAccess()
{
    Impl& m = *m_pImpl;
    if (!m.HasData() || m.m_aTiles.size() != 1)
        return nullptr;
    m.Touch();
    return m.Writable(0, 0, false);
}

const void* Image::RawPixels(int iLevel, bool bRefresh)
{
    Impl& m = *m_pImpl;
    if (!m.HasData())
        return nullptr;
    const int iWanted = iLevel < 0 ? int(m.m_iProxyLevel) : std::min<int>(iLevel, int(s_iMaxProxyLevel));
    if (bRefresh || !m.m_pRaw || m.m_iRawLevel != iWanted) {
        Image* pLevel = ProxyImage(unsigned(iWanted));
        const Impl& l = *pLevel->m_pImpl;
        std::unique_ptr<uint8_t[]> pRaw(new uint8_t[size_t(l.m_iWidth) * l.m_iHeight * l.m_iBytesPerPixel]);
        l.ReadRect(l.Bounds(), pRaw.get(), size_t(l.m_iWidth) * l.m_iBytesPerPixel, nullptr, l.m_iBytesPerPixel);
        m.m_pRaw = std::move(pRaw);
        m.m_iRawLevel = iWanted;
    }
    return m.m_pRaw.get();
}

// --- proxies ----------------------------------------------------------------

void Image::setProxyLevel(unsigned char iLevel)
{
    m_pImpl->m_iProxyLevel = std::min<unsigned char>(iLevel, s_iMaxProxyLevel);
}

unsigned char Image::getProxyLevel() const
{
    return m_pImpl->m_iProxyLevel;
}

Image* Image::getProxyImage()
{
    return ProxyImage(m_pImpl->m_iProxyLevel);
}

Image* Image::ProxyImage(unsigned int iLevel)
{
    Impl& m = *m_pImpl;
    if (iLevel == 0)
        return this;
    if (!m.HasData())
        return nullptr;
    iLevel = std::min<unsigned int>(iLevel, s_iMaxProxyLevel);
    if (!m.m_aProxies[iLevel]) {
        // Level n comes from level n-1, itself made (and cached) on demand.
        const Image* pFiner = ProxyImage(iLevel - 1);
        std::unique_ptr<Image> pProxy(new Image());
        BuildProxy(*pFiner->m_pImpl, *pProxy, *pProxy->m_pImpl);
        pProxy->m_pImpl->m_bDirty = false;
        m.m_aProxies[iLevel] = std::move(pProxy);
    }
    return m.m_aProxies[iLevel].get();
}

void Image::clearProxyImages()
{
    for (auto& pProxy : m_pImpl->m_aProxies)
        pProxy.reset();
}

// --- versions ---------------------------------------------------------------

bool Image::NewVersion()
{
    Impl& m = *m_pImpl;
    if (!m.HasData())
        return false;
    // A new version ends the redo history; then one empty record: O(1).
    m.m_aRecords.erase(m.m_aRecords.begin() + m.m_iCurrent, m.m_aRecords.end());
    m.m_aRecords.emplace_back();
    ++m.m_iCurrent;
    return true;
}

bool Image::PrevVersion()
{
    Impl& m = *m_pImpl;
    if (m.m_iCurrent == 0)
        return false;
    m.SwapRecord(m.m_aRecords[m.m_iCurrent - 1]);
    --m.m_iCurrent;
    m.DropDerived();
    return true;
}

bool Image::NextVersion()
{
    Impl& m = *m_pImpl;
    if (m.m_iCurrent >= m.m_aRecords.size())
        return false;
    m.SwapRecord(m.m_aRecords[m.m_iCurrent]);
    ++m.m_iCurrent;
    m.DropDerived();
    return true;
}

int Image::NumVersions() const
{
    return int(m_pImpl->m_aRecords.size()) + 1;
}

int Image::CurrentVersion() const
{
    return int(m_pImpl->m_iCurrent);
}

bool Image::MergeOldestVersions()
{
    Impl& m = *m_pImpl;
    if (m.m_aRecords.empty())
        return false;
    if (m.m_iCurrent == 0) {
        // The oldest is current: merging never changes the pixels, so the
        // merged version keeps the current content and the next step must lead
        // from it straight to version 2.
        if (m.m_aRecords.size() >= 2) {
            auto& aNext = m.m_aRecords[1].m_aSaved;
            for (auto& cEntry : m.m_aRecords[0].m_aSaved)
                aNext.try_emplace(cEntry.first, cEntry.second);
        }
        m.m_aRecords.pop_front();
    } else {
        // Version 0 is forgotten; version 1 becomes the oldest.
        m.m_aRecords.pop_front();
        --m.m_iCurrent;
    }
    return true;
}

bool Image::PurgeNewerVersions()
{
    Impl& m = *m_pImpl;
    if (m.m_iCurrent >= m.m_aRecords.size())
        return false;
    m.m_aRecords.erase(m.m_aRecords.begin() + m.m_iCurrent, m.m_aRecords.end());
    return true;
}

bool Image::PurgeAllButCurrentVersion()
{
    Impl& m = *m_pImpl;
    if (m.m_aRecords.empty())
        return false;
    m.m_aRecords.clear();
    m.m_iCurrent = 0;
    return true;
}

size_t Image::VersionMemoryUsage() const
{
    const Impl& m = *m_pImpl;
    std::unordered_set<const TileBuffer*> aSeen;
    size_t iBytes = 0;
    for (const VersionRecord& cRecord : m.m_aRecords)
        for (const auto& cEntry : cRecord.m_aSaved) {
            const TileBuffer* p = cEntry.second.get();
            if (p && p != m.m_aTiles[cEntry.first].get() && aSeen.insert(p).second)
                iBytes += p->m_iBytes;
        }
    return iBytes;
}

size_t Image::MemoryUsage() const
{
    size_t iBytes = 0;
    for (const TilePtr& p : m_pImpl->m_aTiles)
        if (p)
            iBytes += p->m_iBytes;
    return iBytes;
}

// --- state ------------------------------------------------------------------

bool Image::IsDirty() const { return m_pImpl->m_bDirty; }
void Image::SetDirty() { m_pImpl->m_bDirty = true; }
void Image::ClearDirty() { m_pImpl->m_bDirty = false; }

bool Image::Keep() const
{
    return NumVersions() > 1 || m_pImpl->m_bDirty || m_pImpl->m_iProxyLevel > 0;
}

// --- files ------------------------------------------------------------------

void Image::Load(const QString& sFileName, unsigned int iChannels, bool bResetVersions)
{
    if (iChannels > 4)
        throw MakeError("Image::Load", __LINE__,
                        QString("Image::Load -- invalid channel count %1 for \"%2\"").arg(iChannels).arg(sFileName));
    ImageCodec* pCodec = ImageCodec::Registered();
    if (!pCodec)
        throw MakeError("Image::Load", __LINE__,
                        QString("Image::Load -- cannot read \"%1\": no image codec is registered").arg(sFileName));
    // Read into a scratch image: a failure leaves this one untouched.
    Image cLoaded;
    pCodec->Read(sFileName, cLoaded, iChannels);
    if (!cLoaded.HasData())
        throw MakeError("Image::Load", __LINE__,
                        QString("Image::Load -- \"%1\" gave no pixels").arg(sFileName));
    if (iChannels != 0 && cLoaded.ChannelCount() != iChannels) {
        Image cConverted;
        cConverted.create(cLoaded.Width(), cLoaded.Height(), iChannels, cLoaded.format());
        cConverted.ConvertFrom(cLoaded);
        cLoaded.m_pImpl.swap(cConverted.m_pImpl);
    }
    Impl& m = *m_pImpl;
    Impl& l = *cLoaded.m_pImpl;
    const bool bSameShape = m.m_iWidth == l.m_iWidth && m.m_iHeight == l.m_iHeight &&
                            m.m_iChannels == l.m_iChannels && m.m_eFormat == l.m_eFormat;
    if (!bResetVersions && bSameShape) {
        // The file becomes the content of the current version; history stays.
        m.Touch();
        m.CopyFrom(l, l.Bounds(), 0, 0);
        return;
    }
    // A new shape cannot share a history with the old one.
    const unsigned char iLevel = m.m_iProxyLevel;
    m.Allocate(l.m_iWidth, l.m_iHeight, l.m_iChannels, l.m_eFormat);
    m.m_aTiles.swap(l.m_aTiles);
    m.m_iProxyLevel = iLevel;
    m.Touch();
}

void Image::Save(const QString& sFileName, unsigned int iBitsPerChannel) const
{
    if (iBitsPerChannel != 0 && iBitsPerChannel != 8 && iBitsPerChannel != 16 && iBitsPerChannel != 32)
        throw MakeError("Image::Save", __LINE__,
                        QString("Image::Save -- cannot write \"%1\": %2 bits per channel (0, 8, 16 or 32)")
                            .arg(sFileName, QString::number(iBitsPerChannel)));
    if (!HasData())
        throw MakeError("Image::Save", __LINE__,
                        QString("Image::Save -- cannot write \"%1\": the image has no pixels").arg(sFileName));
    ImageCodec* pCodec = ImageCodec::Registered();
    if (!pCodec)
        throw MakeError("Image::Save", __LINE__,
                        QString("Image::Save -- cannot write \"%1\": no image codec is registered").arg(sFileName));
    // Written whole under a temporary name, then renamed: a save that fails
    // part-way (full disk, size limit, writer error) never costs the earlier file.
    static unsigned int s_iSaveCount = 0;
    const QFileInfo cTarget(sFileName);
    const QString sTemporary = cTarget.path() + "/." + cTarget.completeBaseName() +
                               QString(".saving-%1-%2.").arg(qint64(getpid())).arg(++s_iSaveCount) + cTarget.suffix();
    try {
        pCodec->Write(sTemporary, *this, iBitsPerChannel);
        // Some writers do not report a short write (a size limit or a full disk
        // met while the file is closed): only a file that decodes whole replaces
        // the earlier one.
        Image cCheck;
        pCodec->Read(sTemporary, cCheck, 0);
    } catch (Error* pError) {
        QFile::remove(sTemporary);
        if (pError->IsStatic())
            throw;
        Error* pNamed = new Error(QString(pError->Text()).replace(sTemporary, sFileName), pError->Code(),
                                  pError->Function(), pError->File(), pError->Line());
        delete pError;
        throw pNamed;
    } catch (...) {
        QFile::remove(sTemporary);
        throw;
    }
    if (std::rename(QFile::encodeName(sTemporary).constData(), QFile::encodeName(sFileName).constData()) != 0) {
        const QString sReason = QString::fromLocal8Bit(std::strerror(errno));
        QFile::remove(sTemporary);
        throw MakeError("Image::Save", __LINE__,
                        QString("Image::Save -- cannot write \"%1\": %2").arg(sFileName, sReason));
    }
}

void Image::Save(const QString& sFileName, bool, Material*, float, float, bool) const
{
    Save(sFileName, 0u);
}

Image::FileShape Image::ReadFileShape(const QString& sFileName)
{
    ImageCodec* pCodec = ImageCodec::Registered();
    if (!pCodec)
        throw MakeError("Image::ReadFileShape", __LINE__,
                        QString("Image::Load -- cannot read \"%1\": no image codec is registered").arg(sFileName));
    return pCodec->ReadShape(sFileName);
}

Image::FileShape ImageCodec::ReadShape(const QString& sFileName)
{
    Image cImage;
    Read(sFileName, cImage, 0);
    Image::FileShape cShape;
    cShape.m_iWidth = cImage.Width();
    cShape.m_iHeight = cImage.Height();
    cShape.m_iChannels = cImage.ChannelCount();
    cShape.m_eFormat = cImage.format();
    return cShape;
}

// --- codec registry ----------------------------------------------------------

void ImageCodec::Register(ImageCodec* pCodec)
{
    s_pCodec = pCodec;
}

ImageCodec* ImageCodec::Registered()
{
    return s_pCodec;
}

} // namespace varnik
