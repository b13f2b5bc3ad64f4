#pragma once
#include <cstdint>

namespace varnik {

/// How pixels lie in a caller's memory: channel count, channel type and the
/// order of the channels. A null descriptor in the image calls means "the
/// image's own layout": its channel count and type, RGBA order, rows packed.
struct PixelDescriptor
{
    /// Channel types; bytes per channel 1, 2, 2, 4, 1, 2, 4, 4, 8.
    enum ChannelType : uint32_t {
        eUInt8 = 0, eUInt16 = 1, eFloat16 = 2, eFloat32 = 3,
        eInt8 = 4, eInt16 = 5, eInt32 = 6, eUInt32 = 7, eFloat64 = 8
    };
    /// Order of the channels in memory. 0 and 1 both mean R, G, B, A (the
    /// image's own order); 2 stores A, R, G, B (four channels only); 3 stores
    /// B, G, R (, A). One and two channels are always (gray, alpha).
    enum MemoryChannelOrder : uint32_t {
        eDefaultOrder = 0, eRGBA = 1, eARGB = 2, eBGRA = 3
    };

    uint32_t m_iChannels = 4;                     ///< 1 to 4
    ChannelType m_eChannelType = eUInt8;          ///< type of each channel
    MemoryChannelOrder m_eOrder = eDefaultOrder;  ///< order of channels in memory

    PixelDescriptor() = default;
    PixelDescriptor(uint32_t iChannels, ChannelType eType, MemoryChannelOrder eOrder = eDefaultOrder)
        : m_iChannels(iChannels), m_eChannelType(eType), m_eOrder(eOrder) {}

    static uint32_t BytesPerChannel(ChannelType eType);
    uint32_t BytesPerChannel() const { return BytesPerChannel(m_eChannelType); }
    uint32_t BytesPerPixel() const { return BytesPerChannel() * m_iChannels; }
    bool operator==(const PixelDescriptor& o) const
    { return m_iChannels == o.m_iChannels && m_eChannelType == o.m_eChannelType && m_eOrder == o.m_eOrder; }
};

} // namespace varnik
