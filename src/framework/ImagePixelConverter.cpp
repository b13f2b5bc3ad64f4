#include "ImagePixelConverter.h"
#include <cmath>
#include <cstring>
#include <type_traits>
#include "varnik/Error.h"
#include "varnik/Half.h"

namespace varnik {

namespace {

// Channel traits: storage type, conversion to and from a normalised double and
// the value of an opaque alpha.
template <typename T>
struct UnsignedChannel
{
    typedef T Storage;
    static constexpr double s_dMax = double(T(~T(0)));
    static double ToUnit(T v) { return double(v) * (1.0 / s_dMax); }
    static T FromUnit(double d)
    {
        if (!(d > 0.0))  // also catches NaN
            return 0;
        if (d >= 1.0)
            return T(~T(0));
        return T(d * s_dMax + 0.5);
    }
    static T One() { return T(~T(0)); }
};

template <typename T>
struct SignedChannel
{
    typedef T Storage;
    static constexpr double s_dMax = double((uint64_t(1) << (sizeof(T) * 8 - 1)) - 1);
    static double ToUnit(T v) { double d = double(v) / s_dMax; return d < -1.0 ? -1.0 : d; }
    static T FromUnit(double d)
    {
        if (d != d)
            return 0;
        if (d <= -1.0)
            return T(-s_dMax);
        if (d >= 1.0)
            return T(s_dMax);
        return T(std::floor(d * s_dMax + 0.5));
    }
    static T One() { return T(s_dMax); }
};

struct HalfChannel
{
    typedef uint16_t Storage;
    static double ToUnit(uint16_t v) { return double(half_::ToFloat(v)); }
    static uint16_t FromUnit(double d) { return half_::FromFloat(float(d)); }
    static uint16_t One() { return 0x3C00; }
};

template <typename T>
struct FloatChannel
{
    typedef T Storage;
    static double ToUnit(T v) { return double(v); }
    static T FromUnit(double d) { return T(d); }
    static T One() { return T(1); }
};

template <typename S, typename D>
inline typename D::Storage Cast(typename S::Storage v)
{
    if constexpr (std::is_same<S, D>::value)
        return v;
    else
        return D::FromUnit(S::ToUnit(v));
}

template <typename T>
inline T LoadAt(const uint8_t* p, uint32_t iIndex)
{
    T v;
    std::memcpy(&v, p + size_t(iIndex) * sizeof(T), sizeof(T));
    return v;
}

template <typename S, typename D>
void ConvertRow(const uint8_t* pSource, uint32_t iSourceStride, uint8_t* pDest, uint32_t iDestStride,
                const ImagePixelConverter::Step* pSteps, uint32_t iDestChannels, size_t iCount)
{
    typedef typename S::Storage SS;
    typedef typename D::Storage DS;
    for (size_t i = 0; i < iCount; ++i, pSource += iSourceStride, pDest += iDestStride) {
        for (uint32_t c = 0; c < iDestChannels; ++c) {
            const ImagePixelConverter::Step& cStep = pSteps[c];
            DS v;
            switch (cStep.m_eKind) {
            case ImagePixelConverter::Step::eCopy:
                v = Cast<S, D>(LoadAt<SS>(pSource, cStep.m_aSource[0]));
                break;
            case ImagePixelConverter::Step::eOne:
                v = D::One();
                break;
            default:
                v = D::FromUnit(0.2126 * S::ToUnit(LoadAt<SS>(pSource, cStep.m_aSource[0])) +
                                0.7152 * S::ToUnit(LoadAt<SS>(pSource, cStep.m_aSource[1])) +
                                0.0722 * S::ToUnit(LoadAt<SS>(pSource, cStep.m_aSource[2])));
                break;
            }
            std::memcpy(pDest + size_t(c) * sizeof(DS), &v, sizeof(DS));
        }
    }
}

template <typename S>
ImagePixelConverter::RowFunction PickDest(PixelDescriptor::ChannelType eDest)
{
    switch (eDest) {
    case PixelDescriptor::eUInt8: return &ConvertRow<S, UnsignedChannel<uint8_t>>;
    case PixelDescriptor::eUInt16: return &ConvertRow<S, UnsignedChannel<uint16_t>>;
    case PixelDescriptor::eFloat16: return &ConvertRow<S, HalfChannel>;
    case PixelDescriptor::eFloat32: return &ConvertRow<S, FloatChannel<float>>;
    case PixelDescriptor::eInt8: return &ConvertRow<S, SignedChannel<int8_t>>;
    case PixelDescriptor::eInt16: return &ConvertRow<S, SignedChannel<int16_t>>;
    case PixelDescriptor::eInt32: return &ConvertRow<S, SignedChannel<int32_t>>;
    case PixelDescriptor::eUInt32: return &ConvertRow<S, UnsignedChannel<uint32_t>>;
    case PixelDescriptor::eFloat64: return &ConvertRow<S, FloatChannel<double>>;
    }
    return nullptr;
}

ImagePixelConverter::RowFunction PickRow(PixelDescriptor::ChannelType eSource, PixelDescriptor::ChannelType eDest)
{
    switch (eSource) {
    case PixelDescriptor::eUInt8: return PickDest<UnsignedChannel<uint8_t>>(eDest);
    case PixelDescriptor::eUInt16: return PickDest<UnsignedChannel<uint16_t>>(eDest);
    case PixelDescriptor::eFloat16: return PickDest<HalfChannel>(eDest);
    case PixelDescriptor::eFloat32: return PickDest<FloatChannel<float>>(eDest);
    case PixelDescriptor::eInt8: return PickDest<SignedChannel<int8_t>>(eDest);
    case PixelDescriptor::eInt16: return PickDest<SignedChannel<int16_t>>(eDest);
    case PixelDescriptor::eInt32: return PickDest<SignedChannel<int32_t>>(eDest);
    case PixelDescriptor::eUInt32: return PickDest<UnsignedChannel<uint32_t>>(eDest);
    case PixelDescriptor::eFloat64: return PickDest<FloatChannel<double>>(eDest);
    }
    return nullptr;
}

// Logical channels: 0 red (or gray), 1 green, 2 blue, 3 alpha.
// Returns the memory position of a logical channel, or -1 when absent.
int PositionOf(const PixelDescriptor& cDesc, int iLogical)
{
    switch (cDesc.m_iChannels) {
    case 1: return iLogical == 0 ? 0 : -1;
    case 2: return iLogical == 0 ? 0 : iLogical == 3 ? 1 : -1;
    case 3:
        if (iLogical == 3)
            return -1;
        return cDesc.m_eOrder == PixelDescriptor::eBGRA ? 2 - iLogical : iLogical;
    default:
        if (cDesc.m_eOrder == PixelDescriptor::eBGRA)
            return iLogical == 3 ? 3 : 2 - iLogical;
        if (cDesc.m_eOrder == PixelDescriptor::eARGB)
            return iLogical == 3 ? 0 : iLogical + 1;
        return iLogical;
    }
}

// The order as it acts on memory: 3-channel ARGB has no alpha to move, and
// 1 and 2 channels ignore the order.
uint32_t EffectiveOrder(const PixelDescriptor& cDesc)
{
    if (cDesc.m_iChannels < 3)
        return 0;
    if (cDesc.m_eOrder == PixelDescriptor::eBGRA)
        return 3;
    if (cDesc.m_eOrder == PixelDescriptor::eARGB && cDesc.m_iChannels == 4)
        return 2;
    return 0;
}

} // namespace

void ImagePixelConverter::Validate(const PixelDescriptor& cDesc, const char* sWhere)
{
    if (cDesc.m_iChannels < 1 || cDesc.m_iChannels > 4 || uint32_t(cDesc.m_eChannelType) > 8 ||
        uint32_t(cDesc.m_eOrder) > 3)
        throw (new Error(QString(), 4, sWhere, "src/framework/Image", __LINE__))
            ->Format(QString("%1 -- invalid pixel descriptor: %2 channels, channel type %3, order %4")
                         .arg(sWhere)
                         .arg(cDesc.m_iChannels)
                         .arg(uint32_t(cDesc.m_eChannelType))
                         .arg(uint32_t(cDesc.m_eOrder)));
}

bool ImagePixelConverter::SameLayout(const PixelDescriptor& a, const PixelDescriptor& b)
{
    return a.m_iChannels == b.m_iChannels && a.m_eChannelType == b.m_eChannelType &&
           EffectiveOrder(a) == EffectiveOrder(b);
}

ImagePixelConverter::ImagePixelConverter(const PixelDescriptor& cSource, const PixelDescriptor& cDest,
                                         const char* sWhere)
    : m_cSource(cSource), m_cDest(cDest)
{
    Validate(cSource, sWhere);
    Validate(cDest, sWhere);
    m_bCopy = SameLayout(cSource, cDest);
    m_fRow = PickRow(cSource.m_eChannelType, cDest.m_eChannelType);

    const bool bSourceGray = cSource.m_iChannels < 3;
    const bool bDestGray = cDest.m_iChannels < 3;
    for (int iLogical = 0; iLogical < 4; ++iLogical) {
        const int iPos = PositionOf(cDest, iLogical);
        if (iPos < 0)
            continue;
        Step& cStep = m_aSteps[iPos];
        if (iLogical == 3) {
            const int iSource = PositionOf(cSource, 3);
            cStep.m_eKind = iSource < 0 ? Step::eOne : Step::eCopy;
            cStep.m_aSource[0] = uint8_t(iSource < 0 ? 0 : iSource);
        } else if (bSourceGray) {
            cStep.m_eKind = Step::eCopy;
            cStep.m_aSource[0] = 0;
        } else if (bDestGray) {
            cStep.m_eKind = Step::eLuma;
            for (int c = 0; c < 3; ++c)
                cStep.m_aSource[c] = uint8_t(PositionOf(cSource, c));
        } else {
            cStep.m_eKind = Step::eCopy;
            cStep.m_aSource[0] = uint8_t(PositionOf(cSource, iLogical));
        }
    }
}

void ImagePixelConverter::Run(const void* pSource, void* pDest, size_t iCount) const
{
    if (m_bCopy) {
        std::memcpy(pDest, pSource, iCount * m_cSource.BytesPerPixel());
        return;
    }
    m_fRow(static_cast<const uint8_t*>(pSource), m_cSource.BytesPerPixel(), static_cast<uint8_t*>(pDest),
           m_cDest.BytesPerPixel(), m_aSteps, m_cDest.m_iChannels, iCount);
}

} // namespace varnik
