#pragma once

namespace varnik {

/// Four 32-bit float components, red, green, blue, alpha, normally in 0..1.
struct Color
{
    float r = 0.f, g = 0.f, b = 0.f, a = 0.f;
    Color() = default;
    Color(float fR, float fG, float fB, float fA = 1.f) : r(fR), g(fG), b(fB), a(fA) {}
    bool operator==(const Color& o) const { return r == o.r && g == o.g && b == o.b && a == o.a; }
    bool operator!=(const Color& o) const { return !(*this == o); }

    static const Color transparent;  ///< (0, 0, 0, 0)
    static const Color black, white, red, green, blue;
};

} // namespace varnik
