#include "varnik/PixelDescriptor.h"

namespace varnik {

uint32_t PixelDescriptor::BytesPerChannel(ChannelType eType)
{
    static const uint32_t s_aBytes[] = { 1, 2, 2, 4, 1, 2, 4, 4, 8 };
    // An out-of-range type (a corrupt descriptor) gives 0 so that callers can refuse it.
    return uint32_t(eType) < sizeof(s_aBytes) / sizeof(s_aBytes[0]) ? s_aBytes[eType] : 0;
}

} // namespace varnik
