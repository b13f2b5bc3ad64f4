#pragma once
#include <cstdint>

namespace varnik {

/// A rectangle of texels: position (x, y) and size (nx, ny). Rows grow with y;
/// nothing in the SDK flips images vertically.
struct ImgTile
{
    int32_t x = 0;   ///< left column
    int32_t y = 0;   ///< first row
    int32_t nx = 0;  ///< width in texels
    int32_t ny = 0;  ///< height in texels

    ImgTile() = default;
    ImgTile(int32_t iX, int32_t iY, int32_t iNx, int32_t iNy) : x(iX), y(iY), nx(iNx), ny(iNy) {}
    /// The intersection of two rectangles; an empty rectangle (nx or ny 0) when they do not meet.
    ImgTile(const ImgTile& a, const ImgTile& b);

    /// True when all four fields are equal.
    bool isEqualTile(const ImgTile& o) const { return x == o.x && y == o.y && nx == o.nx && ny == o.ny; }
    bool operator==(const ImgTile& o) const { return isEqualTile(o); }
    bool operator!=(const ImgTile& o) const { return !isEqualTile(o); }
    /// True when the rectangle covers no texel.
    bool isEmpty() const { return nx <= 0 || ny <= 0; }
    /// Texel count, 64-bit so that 65536^2 tiles do not wrap.
    int64_t Area() const { return isEmpty() ? 0 : int64_t(nx) * int64_t(ny); }
};

} // namespace varnik
