#include "varnik/Half.h"
#include <cmath>
#include <cstring>

namespace varnik {

uint16_t half_::FromFloat(float f)
{
    uint32_t iF;
    std::memcpy(&iF, &f, sizeof(iF));
    const uint32_t iSign = (iF >> 16) & 0x8000u;
    const uint32_t iExp = (iF >> 23) & 0xffu;
    uint32_t iMant = iF & 0x7fffffu;

    if (iExp == 0xffu) {
        if (iMant == 0)
            return uint16_t(iSign | 0x7c00u);
        // NaN: keep the top payload bits and force the quiet bit so it cannot turn into infinity.
        return uint16_t(iSign | 0x7c00u | 0x200u | (iMant >> 13));
    }

    const int iE = int(iExp) - 127 + 15;  // biased half exponent
    if (iE >= 31)
        return uint16_t(iSign | 0x7c00u);
    if (iE <= 0) {
        // Half denormal (or zero): value = M * 2^-24 with M the 24-bit float significand shifted.
        if (iE < -10)
            return uint16_t(iSign);  // below half the smallest denormal
        iMant |= 0x800000u;
        const int iShift = 14 - iE;
        uint32_t iHalf = iMant >> iShift;
        const uint32_t iRem = iMant & ((1u << iShift) - 1u);
        const uint32_t iHalfway = 1u << (iShift - 1);
        if (iRem > iHalfway || (iRem == iHalfway && (iHalf & 1u)))
            ++iHalf;  // a carry into 0x400 is the smallest normal, which is right
        return uint16_t(iSign | iHalf);
    }

    uint32_t iHalf = iSign | (uint32_t(iE) << 10) | (iMant >> 13);
    const uint32_t iRem = iMant & 0x1fffu;
    // Round to nearest even; a carry out of the mantissa steps the exponent (up to infinity).
    if (iRem > 0x1000u || (iRem == 0x1000u && (iHalf & 1u)))
        ++iHalf;
    return uint16_t(iHalf);
}

float half_::ToFloat(uint16_t iBits)
{
    const uint32_t iSign = uint32_t(iBits & 0x8000u) << 16;
    const uint32_t iExp = (iBits >> 10) & 0x1fu;
    const uint32_t iMant = iBits & 0x3ffu;
    uint32_t iF;
    if (iExp == 0) {
        if (iMant == 0) {
            iF = iSign;
        } else {
            // Denormal: exact in float.
            const float f = std::ldexp(float(iMant), -24);
            return iSign ? -f : f;
        }
    } else if (iExp == 31) {
        iF = iSign | 0x7f800000u | (iMant << 13);
    } else {
        iF = iSign | ((iExp + 112u) << 23) | (iMant << 13);
    }
    float f;
    std::memcpy(&f, &iF, sizeof(f));
    return f;
}

} // namespace varnik
