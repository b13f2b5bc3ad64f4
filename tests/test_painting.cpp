// Painting: the SDK brush, compositing strokes into layers at full resolution
// and through proxies, and the composite-all command.
#include "TextureTestKit.h"
#include <cmath>
#include "varnik/Brush.h"

using namespace texkit;
using varnik::Brush;

namespace {

class PaintingTest : public varnik::test::GLTest {};

} // namespace

TEST_F(PaintingTest, BrushDabsSpacingAndDirtyRegion)
{
    Brush cBrush;
    cBrush.SetRadius(8.f);
    cBrush.SetSpacing(0.5f);  // a dab every 4 texels, carried over the corner
    const auto aDabs = cBrush.DabCentres({{10, 10}, {16, 10}, {16, 20}});
    ASSERT_EQ(aDabs.size(), 5u);
    EXPECT_FLOAT_EQ(aDabs[2].x, 16.f);
    EXPECT_FLOAT_EQ(aDabs[2].y, 12.f);
    EXPECT_FLOAT_EQ(aDabs[4].y, 20.f);

    // Every texel the stroke changed lies in a dirty tile; the colour is the
    // brush's own (straight), full inside the hard core, fading outside it.
    const int w = 160, h = 96;
    auto pSource = NewProbe();
    pSource->Create(w, h, 4, Image::e8integer);
    cBrush.Clear(*pSource);
    cBrush.SetColor(varnik::Color(1.f, 0.5f, 0.f, 1.f));
    cBrush.SetRadius(10.f);
    cBrush.SetHardness(0.5f);
    cBrush.SetSpacing(0.25f);
    const varnik::ImgDirtyRegion cRegion = cBrush.Paint(*pSource, {{5, 5}, {150, 70}});
    const std::vector<uint8_t> aPixels = GpuPixels(*pSource, w, h);
    auto InRegion = [&](int x, int y) {
        for (const ImgTile& t : cRegion.DirtyTiles())
            if (x >= t.x && y >= t.y && x < t.x + t.nx && y < t.y + t.ny)
                return true;
        return false;
    };
    int iPainted = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = &aPixels[size_t(y * w + x) * 4];
            if (p[3] == 0)
                continue;
            ++iPainted;
            ASSERT_TRUE(InRegion(x, y)) << x << "," << y;
            ASSERT_TRUE(p[0] == 255 && p[1] == 128 && p[2] == 0) << x << "," << y;
        }
    EXPECT_GT(iPainted, 145 * 10);
    EXPECT_EQ(aPixels[size_t(5 * w + 5) * 4 + 3], 255);
    EXPECT_EQ(aPixels[size_t(90 * w + 5) * 4 + 3], 0);  // far from the line
    // Clipped at the left and bottom edges; the last dab falls short of the end point.
    EXPECT_EQ(cRegion.BoundingBox(), ImgTile(0, 0, cRegion.BoundingBox().nx, 80));
    EXPECT_GE(cRegion.BoundingBox().nx, 158);

    cBrush.Clear(*pSource, &cRegion);
    EXPECT_EQ(MaxDifference(GpuPixels(*pSource, w, h), std::vector<uint8_t>(aPixels.size(), 0)), 0);
    EXPECT_TRUE(cBrush.Paint(*pSource, {}).IsEmpty());
    auto pEmpty = NewProbe();
    EXPECT_FALSE(varnik::test::ErrorTextOf([&] { cBrush.Paint(*pEmpty, {{1, 1}}); }).isEmpty());
}
