#pragma once
// Private to the SDK: converts runs of pixels between two pixel descriptors.
#include <cstddef>
#include <cstdint>
#include "varnik/PixelDescriptor.h"

namespace varnik {

/// Converts pixels from one layout to another: channel type, channel count and
/// memory order. Built once per operation, then run on as many row segments as
/// needed, so the per-call cost is one indirect call.
///
/// Type conversion is normalised: unsigned integers map [0, max] to [0, 1],
/// signed integers [-max, max] to [-1, 1], floats pass unchanged; results are
/// rounded to nearest and clamped for integer targets.
/// Channel count conversion: gray becomes R = G = B, colour becomes gray by
/// Rec. 709 luma, a missing alpha is 1 (the type's maximum).
/// Order: eBGRA and eARGB apply to 3 and 4 channels; 1 and 2 channels are
/// always (gray, alpha).
class ImagePixelConverter
{
public:
    /// Throws a varnik::Error pointer naming `sWhere` when a descriptor is invalid.
    ImagePixelConverter(const PixelDescriptor& cSource, const PixelDescriptor& cDest, const char* sWhere);

    /// Converts `iCount` pixels; the buffers may be unaligned but must not overlap.
    void Run(const void* pSource, void* pDest, size_t iCount) const;
    /// True when the layouts are the same and Run is a plain byte copy.
    bool IsCopy() const { return m_bCopy; }

    /// Throws a varnik::Error pointer naming `sWhere` when `cDesc` is not a
    /// valid descriptor (channels 1..4, known type and order).
    static void Validate(const PixelDescriptor& cDesc, const char* sWhere);
    /// True when both descriptors lay pixels out identically in memory.
    static bool SameLayout(const PixelDescriptor& a, const PixelDescriptor& b);

    /// How one destination channel is made.
    struct Step
    {
        enum Kind : uint8_t { eCopy, eOne, eLuma } m_eKind = eCopy;
        uint8_t m_aSource[3] = {0, 0, 0};  ///< source memory positions (luma uses all three)
    };

    typedef void (*RowFunction)(const uint8_t* pSource, uint32_t iSourceStride, uint8_t* pDest,
                                uint32_t iDestStride, const Step* pSteps, uint32_t iDestChannels,
                                size_t iCount);

private:
    PixelDescriptor m_cSource;    ///< layout read
    PixelDescriptor m_cDest;      ///< layout written
    Step m_aSteps[4];             ///< one per destination memory position
    RowFunction m_fRow = nullptr; ///< instantiated for the two channel types
    bool m_bCopy = false;         ///< identical layouts: memcpy
};

} // namespace varnik
