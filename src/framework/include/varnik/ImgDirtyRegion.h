#pragma once
#include <vector>
#include "varnik/ImgTile.h"

namespace varnik {

/// The texels painted since the last readback, kept as the rectangles added and
/// reported as a bounding box plus a list of dirty tiles.
///
/// The tile list is computed on first request after a change: the plane is cut
/// into cells of `s_iCellSize` texels; every cell that an added rectangle touches
/// gives one tile, the bounding box of the added rectangles inside that cell.
/// Tiles come in row-major cell order. Readback of a texture reads exactly these
/// tiles, so painting a few small strokes into a huge texture reads only a few cells.
class ImgDirtyRegion
{
public:
    static const int32_t s_iCellSize = 64;

    ImgDirtyRegion() = default;
    /// A region holding the one rectangle `tile` (nothing when it is empty).
    explicit ImgDirtyRegion(const ImgTile& tile);

    /// Adds a rectangle; empty rectangles are ignored.
    void AddToDirtyRegion(const ImgTile& tile);
    /// Forgets everything.
    void Reset();
    /// True when nothing was added since the last reset.
    bool IsEmpty() const { return m_aAdded.empty(); }

    /// The bounding box of everything added; (0, 0, 0, 0) when empty.
    const ImgTile& BoundingBox() const { return m_cBounds; }
    /// The dirty tiles (see the class comment), computed on first request.
    const std::vector<ImgTile>& DirtyTiles() const;
    /// The rectangles as they were added.
    const std::vector<ImgTile>& AddedTiles() const { return m_aAdded; }

private:
    std::vector<ImgTile> m_aAdded;            ///< rectangles in the order they were added
    ImgTile m_cBounds;                        ///< union bounding box of m_aAdded
    mutable std::vector<ImgTile> m_aTiles;    ///< cached cell tiles
    mutable bool m_bTilesValid = true;        ///< m_aTiles matches m_aAdded
};

} // namespace varnik
