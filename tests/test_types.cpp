// Plain value types of the SDK: rectangles, dirty regions, half floats, pixel layouts.
#include "VarnikTest.h"
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

using namespace varnik;

namespace {

float BitsToFloat(uint32_t i) { float f; std::memcpy(&f, &i, 4); return f; }

bool IsHalfNaN(uint16_t h) { return (h & 0x7c00u) == 0x7c00u && (h & 0x3ffu) != 0; }

} // namespace

TEST(ImgTileTest, IntersectionClipsOrIsEmpty)
{
    const ImgTile a(10, 20, 100, 50);
    EXPECT_EQ(ImgTile(a, ImgTile(50, 0, 100, 40)), ImgTile(50, 20, 60, 20));
    EXPECT_EQ(ImgTile(ImgTile(50, 0, 100, 40), a), ImgTile(50, 20, 60, 20));
    // Contained, negative positions.
    EXPECT_EQ(ImgTile(ImgTile(-64, -64, 128, 128), ImgTile(-10, -5, 4, 3)), ImgTile(-10, -5, 4, 3));
    // Touching edges share no texel.
    EXPECT_TRUE(ImgTile(a, ImgTile(110, 20, 5, 5)).isEmpty());
    EXPECT_TRUE(ImgTile(a, ImgTile(10, 70, 5, 5)).isEmpty());
    // An empty operand gives an empty result even when its position lies inside.
    EXPECT_TRUE(ImgTile(a, ImgTile(20, 30, 0, 10)).isEmpty());
    EXPECT_EQ(ImgTile(a, ImgTile(500, 500, 1, 1)).Area(), 0);
    // Edges near the 32-bit limit do not wrap.
    const int32_t iBig = std::numeric_limits<int32_t>::max() - 10;
    EXPECT_EQ(ImgTile(ImgTile(iBig, 0, 10, 10), ImgTile(iBig + 5, 0, 100, 10)), ImgTile(iBig + 5, 0, 5, 10));
    EXPECT_EQ(ImgTile(0, 0, 65536, 65536).Area(), int64_t(65536) * 65536);
}

TEST(ImgDirtyRegionTest, TilesAreCellClippedInRowMajorOrder)
{
    ImgDirtyRegion r;
    EXPECT_TRUE(r.IsEmpty());
    // A stroke over the corner of four cells, added after one in a later row.
    r.AddToDirtyRegion(ImgTile(130, 140, 4, 4));
    r.AddToDirtyRegion(ImgTile(60, 50, 10, 20));
    const std::vector<ImgTile> aExpected = {
        ImgTile(60, 50, 4, 14), ImgTile(64, 50, 6, 14),
        ImgTile(60, 64, 4, 6), ImgTile(64, 64, 6, 6),
        ImgTile(130, 140, 4, 4) };
    EXPECT_EQ(r.DirtyTiles(), aExpected);
    EXPECT_EQ(r.BoundingBox(), ImgTile(60, 50, 74, 94));
    EXPECT_EQ(r.AddedTiles().size(), 2u);
}

TEST(ImgDirtyRegionTest, RectanglesInOneCellMergeAndCacheFollowsChanges)
{
    ImgDirtyRegion r(ImgTile(2, 3, 4, 4));
    EXPECT_EQ(r.DirtyTiles(), std::vector<ImgTile>{ ImgTile(2, 3, 4, 4) });
    r.AddToDirtyRegion(ImgTile(30, 40, 2, 2));
    r.AddToDirtyRegion(ImgTile(0, 0, 0, 50));  // empty: ignored
    EXPECT_EQ(r.DirtyTiles(), std::vector<ImgTile>{ ImgTile(2, 3, 30, 39) });
    EXPECT_EQ(r.AddedTiles().size(), 2u);
    r.Reset();
    EXPECT_TRUE(r.IsEmpty());
    EXPECT_TRUE(r.DirtyTiles().empty());
    EXPECT_EQ(r.BoundingBox(), ImgTile());
    EXPECT_TRUE(ImgDirtyRegion(ImgTile(5, 5, 0, 0)).IsEmpty());
}

TEST(ImgDirtyRegionTest, NegativeCoordinatesUseTheCellLeftOfZero)
{
    ImgDirtyRegion r(ImgTile(-3, -70, 6, 8));
    EXPECT_EQ(r.DirtyTiles(), (std::vector<ImgTile>{ ImgTile(-3, -70, 3, 6), ImgTile(0, -70, 3, 6),
                                                     ImgTile(-3, -64, 3, 2), ImgTile(0, -64, 3, 2) }));
}

TEST(HalfTest, KnownValuesTiesDenormalsAndSpecials)
{
    const float fInf = std::numeric_limits<float>::infinity();
    const std::pair<float, uint16_t> aCases[] = {
        {1.f, 0x3c00}, {-2.f, 0xc000}, {0.5f, 0x3800}, {65504.f, 0x7bff},
        {65519.f, 0x7bff}, {65520.f, 0x7c00},  // below halfway to 65536; the tie rounds to even: infinity
        {1e10f, 0x7c00}, {-fInf, 0xfc00}, {-0.f, 0x8000}, {1e-30f, 0x0000},
        // 1 + 2^-11 lies halfway between 0x3c00 and 0x3c01: the even one wins.
        {1.f + std::ldexp(1.f, -11), 0x3c00}, {1.f + 3.f * std::ldexp(1.f, -11), 0x3c02},
        {1.f + std::ldexp(1.f, -11) + std::ldexp(1.f, -20), 0x3c01},
        // Denormals: 2^-24 is the smallest; 2^-25 is a tie to 0; a bit more rounds up; 1.5 ulp ties to 2.
        {std::ldexp(1.f, -24), 0x0001}, {std::ldexp(1.f, -25), 0x0000}, {std::ldexp(1.5f, -25), 0x0001},
        {std::ldexp(3.f, -25), 0x0002}, {-std::ldexp(1023.f, -24), 0x83ff}, {std::ldexp(1.f, -14), 0x0400}};
    for (const auto& c : aCases)
        EXPECT_EQ(half_::FromFloat(c.first), c.second) << c.first;
    EXPECT_TRUE(std::signbit(half_::ToFloat(0x8000)));
    EXPECT_TRUE(std::isinf(half_::ToFloat(0x7c00)));
    EXPECT_FLOAT_EQ(half_::ToFloat(0x0001), std::ldexp(1.f, -24));
    EXPECT_FLOAT_EQ(half_::ToFloat(0x03ff), std::ldexp(1023.f, -24));
    // NaN stays NaN, also when its payload sits only in bits a half cannot keep.
    EXPECT_TRUE(IsHalfNaN(half_::FromFloat(std::numeric_limits<float>::quiet_NaN())));
    EXPECT_TRUE(IsHalfNaN(half_::FromFloat(BitsToFloat(0x7f800001u))));
    EXPECT_TRUE(std::isnan(half_::ToFloat(0x7e00)));
}

TEST(HalfTest, EveryHalfRoundTripsAndFloatsGoToTheNearest)
{
    for (uint32_t i = 0; i < 0x10000u; ++i) {
        const uint16_t h = uint16_t(i);
        const uint16_t hBack = half_::FromFloat(half_::ToFloat(h));
        ASSERT_TRUE(IsHalfNaN(h) ? IsHalfNaN(hBack) : hBack == h) << std::hex << i << " came back as " << hBack;
    }
    // Random finite floats within the half range: no neighbour of the result is closer,
    // and at an exact tie the result is the even one.
    std::mt19937 cRandom(1234);
    std::uniform_real_distribution<float> cExp(-26.f, 16.f);
    for (int n = 0; n < 200000; ++n) {
        const float f = std::exp2(cExp(cRandom)) * ((n & 1) ? -1.f : 1.f);
        if (std::fabs(f) >= 65504.f)
            continue;
        const uint16_t h = half_::FromFloat(f);
        const double fErr = std::fabs(double(half_::ToFloat(h)) - f);
        for (int iStep : { -1, 1 }) {
            const uint16_t hN = uint16_t(h + iStep);
            if ((h & 0x7fffu) == 0 && iStep < 0)
                continue;  // no neighbour below zero's magnitude
            const double fErrN = std::fabs(double(half_::ToFloat(hN)) - f);
            ASSERT_LE(fErr, fErrN) << f;
            ASSERT_TRUE(fErr < fErrN || (h & 1u) == 0) << "tie not rounded to even for " << f;
        }
    }
}

TEST(PixelDescriptorTest, ChannelSizes)
{
    const uint32_t aExpected[] = { 1, 2, 2, 4, 1, 2, 4, 4, 8 };
    for (uint32_t i = 0; i < 9; ++i)
        EXPECT_EQ(PixelDescriptor::BytesPerChannel(PixelDescriptor::ChannelType(i)), aExpected[i]) << i;
    EXPECT_EQ(PixelDescriptor::BytesPerChannel(PixelDescriptor::ChannelType(9)), 0u);
    EXPECT_EQ(PixelDescriptor(3, PixelDescriptor::eFloat16).BytesPerPixel(), 6u);
}
