#include "varnik/ImgTile.h"
#include <algorithm>

namespace varnik {

ImgTile::ImgTile(const ImgTile& a, const ImgTile& b)
{
    if (a.isEmpty() || b.isEmpty())
        return;
    // 64-bit edges: x + nx may pass INT32_MAX for rectangles near the limits.
    const int64_t iX0 = std::max<int64_t>(a.x, b.x);
    const int64_t iY0 = std::max<int64_t>(a.y, b.y);
    const int64_t iX1 = std::min<int64_t>(int64_t(a.x) + a.nx, int64_t(b.x) + b.nx);
    const int64_t iY1 = std::min<int64_t>(int64_t(a.y) + a.ny, int64_t(b.y) + b.ny);
    if (iX1 <= iX0 || iY1 <= iY0)
        return;  // no common texel: stays (0, 0, 0, 0)
    x = int32_t(iX0);
    y = int32_t(iY0);
    nx = int32_t(iX1 - iX0);
    ny = int32_t(iY1 - iY0);
}

} // namespace varnik
