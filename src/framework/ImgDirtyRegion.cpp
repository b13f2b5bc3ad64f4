#include "varnik/ImgDirtyRegion.h"
#include <algorithm>
#include <map>
#include <utility>

namespace varnik {

namespace {

/// Floor division, so that negative coordinates fall into the cell left of 0.
int64_t CellOf(int64_t iCoord)
{
    const int64_t iSize = ImgDirtyRegion::s_iCellSize;
    return iCoord >= 0 ? iCoord / iSize : -((-iCoord + iSize - 1) / iSize);
}

} // namespace

ImgDirtyRegion::ImgDirtyRegion(const ImgTile& tile)
{
    AddToDirtyRegion(tile);
}

void ImgDirtyRegion::AddToDirtyRegion(const ImgTile& tile)
{
    if (tile.isEmpty())
        return;
    if (m_aAdded.empty()) {
        m_cBounds = tile;
    } else {
        const int64_t iX0 = std::min<int64_t>(m_cBounds.x, tile.x);
        const int64_t iY0 = std::min<int64_t>(m_cBounds.y, tile.y);
        const int64_t iX1 = std::max<int64_t>(int64_t(m_cBounds.x) + m_cBounds.nx, int64_t(tile.x) + tile.nx);
        const int64_t iY1 = std::max<int64_t>(int64_t(m_cBounds.y) + m_cBounds.ny, int64_t(tile.y) + tile.ny);
        m_cBounds = ImgTile(int32_t(iX0), int32_t(iY0), int32_t(iX1 - iX0), int32_t(iY1 - iY0));
    }
    m_aAdded.push_back(tile);
    m_bTilesValid = false;
}

void ImgDirtyRegion::Reset()
{
    m_aAdded.clear();
    m_aTiles.clear();
    m_cBounds = ImgTile();
    m_bTilesValid = true;
}

const std::vector<ImgTile>& ImgDirtyRegion::DirtyTiles() const
{
    if (m_bTilesValid)
        return m_aTiles;
    // Keyed by (cell row, cell column): the map's order is the row-major order we hand out.
    std::map<std::pair<int64_t, int64_t>, ImgTile> aCells;
    for (const ImgTile& cTile : m_aAdded) {
        const int64_t iX1 = int64_t(cTile.x) + cTile.nx;
        const int64_t iY1 = int64_t(cTile.y) + cTile.ny;
        const int64_t iCx0 = CellOf(cTile.x), iCx1 = CellOf(iX1 - 1);
        const int64_t iCy0 = CellOf(cTile.y), iCy1 = CellOf(iY1 - 1);
        for (int64_t iCy = iCy0; iCy <= iCy1; ++iCy) {
            for (int64_t iCx = iCx0; iCx <= iCx1; ++iCx) {
                const ImgTile cCell(int32_t(iCx * s_iCellSize), int32_t(iCy * s_iCellSize), s_iCellSize, s_iCellSize);
                const ImgTile cPart(cCell, cTile);
                if (cPart.isEmpty())
                    continue;
                auto it = aCells.find({iCy, iCx});
                if (it == aCells.end()) {
                    aCells.emplace(std::make_pair(iCy, iCx), cPart);
                    continue;
                }
                ImgTile& cKnown = it->second;
                const int32_t iX0 = std::min(cKnown.x, cPart.x);
                const int32_t iY0 = std::min(cKnown.y, cPart.y);
                const int32_t iXe = std::max(cKnown.x + cKnown.nx, cPart.x + cPart.nx);
                const int32_t iYe = std::max(cKnown.y + cKnown.ny, cPart.y + cPart.ny);
                cKnown = ImgTile(iX0, iY0, iXe - iX0, iYe - iY0);
            }
        }
    }
    m_aTiles.clear();
    m_aTiles.reserve(aCells.size());
    for (const auto& cEntry : aCells)
        m_aTiles.push_back(cEntry.second);
    m_bTilesValid = true;
    return m_aTiles;
}

} // namespace varnik
