#pragma once
#include <cstdint>

namespace varnik {

/// An IEEE 754 binary16 value. Conversion from float rounds to nearest even and
/// keeps infinities and NaN; denormals are kept both ways.
class half_
{
public:
    half_() = default;
    half_(float f) : m_iBits(FromFloat(f)) {}
    operator float() const { return ToFloat(m_iBits); }
    uint16_t Bits() const { return m_iBits; }
    static half_ FromBits(uint16_t iBits) { half_ h; h.m_iBits = iBits; return h; }

    static uint16_t FromFloat(float f);
    static float ToFloat(uint16_t iBits);

private:
    uint16_t m_iBits = 0;  ///< the binary16 bit pattern
};
static_assert(sizeof(half_) == 2, "half_ must be two bytes");

} // namespace varnik
