// varnik::Image without files: shape, tiles and rectangles, conversions,
// proxies, versions and memory, state queries.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <deque>
#include <random>
#include <vector>
#include "VarnikTest.h"
#include "../src/framework/TileBufferPool.h"
#include "varnik/ProcessAllocator.h"

using namespace varnik;
using varnik::test::ErrorTextOf;

namespace {

/// A plain row-major copy of an image's pixels, the model the tests compare with.
struct Model
{
    int w = 0, h = 0, bpp = 0;
    std::vector<uint8_t> a;
    Model(int iW, int iH, int iBpp, uint8_t iFill = 0)
        : w(iW), h(iH), bpp(iBpp), a(size_t(iW) * iH * iBpp, iFill) {}
    uint8_t* At(int x, int y) { return &a[(size_t(y) * w + x) * bpp]; }
    void Set(int x, int y, int nx, int ny, const uint8_t* p, int iStride)
    {
        for (int j = 0; j < ny; ++j)
            for (int i = 0; i < nx; ++i)
                if (x + i >= 0 && y + j >= 0 && x + i < w && y + j < h)
                    std::memcpy(At(x + i, y + j), p + size_t(j) * iStride + size_t(i) * bpp, bpp);
    }
};

std::vector<uint8_t> Whole(const Image& c)
{
    std::vector<uint8_t> a(size_t(c.Width()) * c.Height() * c.BytesPerPixel());
    c.getTile(0, 0, int(c.Width()), int(c.Height()), a.data());
    return a;
}

/// `n` texels of a row from (x, y), in the image's layout or through `pDesc`.
template <typename T>
std::vector<T> Texels(const Image& c, int x, int y, int n = 1, const PixelDescriptor* pDesc = nullptr)
{
    std::vector<T> a(size_t(n) * (pDesc ? pDesc->m_iChannels : c.ChannelCount()));
    c.getTile(x, y, n, 1, a.data(), pDesc);
    return a;
}

std::vector<uint8_t> Random(size_t n, std::mt19937& r)
{
    std::vector<uint8_t> a(n);
    for (auto& v : a)
        v = uint8_t(r());
    return a;
}

/// Fills an 8-bit image with a pattern that depends on position and version tag.
void Paint(Image& c, uint8_t iTag)
{
    std::vector<uint8_t> a(size_t(c.Width()) * c.Height() * c.BytesPerPixel());
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = uint8_t(i * 7 + iTag);
    c.setTile(0, 0, int(c.Width()), int(c.Height()), a.data());
}

/// `a` (an image's pixels, `w` wide) with a rectangle filled with one pixel.
std::vector<uint8_t> Filled(std::vector<uint8_t> a, int w, int bpp, const ImgTile& r, const uint8_t* pPixel)
{
    for (int y = r.y; y < r.y + r.ny; ++y)
        for (int x = r.x; x < r.x + r.nx; ++x)
            std::memcpy(&a[(size_t(y) * w + x) * bpp], pPixel, bpp);
    return a;
}

void Walk(Image& c, const char* sSteps, const std::vector<std::vector<uint8_t>>& aStates)
{
    varnik::test::WalkVersions(c, sSteps, aStates, [&] { return Whole(c); });
}

} // namespace

// --- shape ---------------------------------------------------------------

TEST(ImageShape, BadCreateThrowsAndKeepsTheImageGoodOnesClearOrKeep)
{
    Image c;
    c.create(40, 30, 4, Image::e8integer);
    Paint(c, 3);
    const auto aBefore = Whole(c);

    // One case per check; a shape may leave channels or format open, not both.
    const struct { uint32_t w, h, ch; Image::Format f; const char* sText; } aBad[] = {
        {0, 5, 4, Image::e8integer, "invalid size 0 x 5"},
        {4, Image::s_iMaxDimension + 1, 4, Image::e8integer, "invalid size"},
        {4, 4, 0, Image::eNoFormat, "channel count 0"}, {4, 4, 5, Image::eNoFormat, "channel count 5"},
        {4, 4, 4, Image::Format(9), "unknown format 9"}};
    for (const auto& k : aBad)
        EXPECT_TRUE(ErrorTextOf([&] { c.create(k.w, k.h, k.ch, k.f); }).contains(k.sText)) << k.sText;
    EXPECT_EQ(Whole(c), aBefore);  // the size too

    // A good create clears; it keeps the pixels only when asked and the shape is the same.
    c.create(20, 10, 2, Image::e16integer);
    EXPECT_EQ(Whole(c), std::vector<uint8_t>(20 * 10 * 4, 0));  // cleared
    Paint(c, 1);
    ASSERT_TRUE(c.NewVersion());
    Paint(c, 2);
    const auto aPainted = Whole(c);

    c.create(20, 10, 2, Image::e16integer, true);
    EXPECT_EQ(Whole(c), aPainted);
    EXPECT_EQ(c.NumVersions(), 2);

    c.create(20, 10, 2, Image::e16integer, false);  // same shape, not kept
    EXPECT_EQ(Whole(c), std::vector<uint8_t>(20 * 10 * 4, 0));
    EXPECT_EQ(c.NumVersions(), 1);

    Paint(c, 5);
    c.create(20, 10, 4, Image::e16integer, true);  // other shape: fresh
    EXPECT_EQ(Whole(c), std::vector<uint8_t>(20 * 10 * 8, 0));
}

// --- tiles and rectangles -----------------------------------------------

// Random rectangles across tile seams and image edges, written by every
// write path, against a plain model; reads of rectangles reaching outside
// must leave the buffer's outside texels alone.
TEST(ImageTiles, RandomRectanglesMatchModelSelfCopyOverlapsLayoutsMustMatch)
{
    struct Case { int w, h; uint32_t ch; Image::Format f; };
    const Case aCases[] = {{300, 70, 4, Image::e8integer}, {600, 300, 4, Image::e32float},
                           {257, 129, 2, Image::e16float}, {100, 50, 3, Image::e8integer}};
    std::mt19937 r(12345);
    for (const Case& k : aCases) {
        Image c;
        c.create(k.w, k.h, k.ch, k.f);
        const int bpp = int(c.BytesPerPixel());
        Model m(k.w, k.h, bpp);
        Image cOther;
        cOther.create(k.w / 2 + 3, k.h / 2 + 5, k.ch, k.f);
        Model mOther(int(cOther.Width()), int(cOther.Height()), bpp);
        mOther.a = Random(mOther.a.size(), r);
        cOther.setTile(0, 0, mOther.w, mOther.h, mOther.a.data());
        for (int iStep = 0; iStep < 60; ++iStep) {
            const int x = int(r() % (k.w + 40)) - 20, y = int(r() % (k.h + 40)) - 20;
            const int nx = 1 + int(r() % (k.w / 2 + 10)), ny = 1 + int(r() % (k.h / 2 + 10));
            switch (iStep % 4) {
            case 0: {
                auto a = Random(size_t(nx) * ny * bpp, r);
                c.setTile(x, y, nx, ny, a.data());
                m.Set(x, y, nx, ny, a.data(), nx * bpp);
                break;
            }
            case 1: {
                auto aPixel = Random(bpp, r);
                const ImgTile cClip(int(r() % k.w), int(r() % k.h), k.w / 3, k.h / 3);
                c.fillTile(x, y, nx, ny, aPixel.data(), nullptr, &cClip);
                const ImgTile cArea(ImgTile(ImgTile(x, y, nx, ny), cClip), ImgTile(0, 0, k.w, k.h));
                m.a = Filled(m.a, k.w, bpp, cArea, aPixel.data());
                break;
            }
            case 2: {
                // A caller's whole-image buffer; only the region lands.
                auto a = Random(m.a.size(), r);
                const ImgTile cWhole(0, 0, k.w, k.h);
                c.copyTile(cWhole, a.data(), ImgTile(x, y, nx, ny));
                const ImgTile cArea(ImgTile(x, y, nx, ny), cWhole);
                m.Set(cArea.x, cArea.y, cArea.nx, cArea.ny, &a[(size_t(cArea.y) * k.w + cArea.x) * bpp],
                      k.w * bpp);
                break;
            }
            default: {
                const ImgTile cSrc(int(r() % mOther.w) - 5, int(r() % mOther.h) - 5, nx, ny);
                c.CopyRect(cOther, cSrc, x, y);
                const ImgTile cFrom(cSrc, ImgTile(0, 0, mOther.w, mOther.h));
                m.Set(x + cFrom.x - cSrc.x, y + cFrom.y - cSrc.y, cFrom.nx, cFrom.ny, mOther.At(cFrom.x, cFrom.y),
                      mOther.w * bpp);
                break;
            }
            }
            ASSERT_EQ(Whole(c), m.a) << k.w << "x" << k.h << " step " << iStep;
        }
        // A read reaching outside on every side writes only the inside texels.
        Model mWant(k.w + 6, k.h + 4, bpp, 0xAB);
        std::vector<uint8_t> a = mWant.a;
        c.getTile(-3, -2, mWant.w, mWant.h, a.data());
        mWant.Set(3, 2, k.w, k.h, m.a.data(), k.w * bpp);
        ASSERT_EQ(a, mWant.a);
    }

    // A copy within one image may overlap; layouts must match.
    Image c;
    c.create(300, 280, 1, Image::e8integer);
    Paint(c, 9);
    Model m(300, 280, 1);
    m.a = Whole(c);
    const std::vector<uint8_t> aBefore = m.a;
    // Overlapping move to the lower right across tile seams.
    c.CopyRect(c, ImgTile(10, 20, 270, 250), 27, 29);
    m.Set(27, 29, 270, 250, &aBefore[20 * 300 + 10], 300);
    EXPECT_EQ(Whole(c), m.a);

    Image cFloat;
    cFloat.create(10, 10, 1, Image::e32float);
    EXPECT_TRUE(ErrorTextOf([&] { c.CopyRect(cFloat, ImgTile(0, 0, 5, 5), 0, 0); }).contains("layouts differ"));
    EXPECT_EQ(Whole(c), m.a);

    // Null buffers with a real rectangle are refused, not dereferenced.
    EXPECT_FALSE(ErrorTextOf([&] { c.setTile(0, 0, 4, 4, nullptr); }).isEmpty());
    EXPECT_FALSE(ErrorTextOf([&] { c.getTile(0, 0, 4, 4, nullptr); }).isEmpty());
}

// --- descriptors ------------------------------------------------------------

TEST(ImageDescriptor, ConversionsFillConvertFromAndNormalize)
{
    Image c;
    c.create(2, 1, 4, Image::e8integer);
    const uint8_t aRGBA[8] = {10, 20, 30, 40, 50, 60, 70, 80};
    c.setTile(0, 0, 2, 1, aRGBA);

    const PixelDescriptor cBGRA(4, PixelDescriptor::eUInt8, PixelDescriptor::eBGRA);
    EXPECT_EQ(Texels<uint8_t>(c, 0, 0, 2, &cBGRA), (std::vector<uint8_t>{30, 20, 10, 40, 70, 60, 50, 80}));
    const PixelDescriptor cARGB(4, PixelDescriptor::eUInt8, PixelDescriptor::eARGB);
    EXPECT_EQ(Texels<uint8_t>(c, 0, 0, 2, &cARGB), (std::vector<uint8_t>{40, 10, 20, 30, 80, 50, 60, 70}));

    // 8-bit to float: normalised.
    const PixelDescriptor cFloat(4, PixelDescriptor::eFloat32);
    EXPECT_FLOAT_EQ(Texels<float>(c, 1, 0, 1, &cFloat)[3], 80.0f / 255.0f);

    // Gray into RGBA: replicated, alpha opaque. RGBA into gray: luma, alpha kept.
    const uint8_t aGray[2] = {7, 200};
    const PixelDescriptor cGray(1, PixelDescriptor::eUInt8);
    c.setTile(0, 0, 2, 1, aGray, &cGray);
    EXPECT_EQ(Whole(c), (std::vector<uint8_t>{7, 7, 7, 255, 200, 200, 200, 255}));
    const uint8_t aColour[8] = {255, 0, 0, 9, 0, 255, 255, 99};
    c.setTile(0, 0, 2, 1, aColour);
    const PixelDescriptor cGrayAlpha(2, PixelDescriptor::eUInt8);
    EXPECT_EQ(Texels<uint8_t>(c, 0, 0, 2, &cGrayAlpha), (std::vector<uint8_t>{54, 9, 201, 99}));  // .2126, .7152, .0722

    // An invalid descriptor is refused and writes nothing.
    const auto aBefore = Whole(c);
    for (const PixelDescriptor& cBad : {PixelDescriptor(5, PixelDescriptor::eUInt8),
                                        PixelDescriptor(4, PixelDescriptor::ChannelType(42))})
        EXPECT_TRUE(ErrorTextOf([&] { c.setTile(0, 0, 1, 1, aRGBA, &cBad); }).contains("pixel descriptor"));
    EXPECT_EQ(Whole(c), aBefore);

    // Fill through a descriptor, converting copies and normalising.
    c.create(70, 40, 3, Image::e16integer);
    const float aOrange[4] = {1.0f, 0.5f, 0.0f, 0.25f};
    const PixelDescriptor cFloat4(4, PixelDescriptor::eFloat32);
    c.fillTile(-5, -5, 200, 200, aOrange, &cFloat4);
    EXPECT_EQ(Texels<uint16_t>(c, 69, 39), (std::vector<uint16_t>{65535, 32768, 0}));

    // A converting copy between sizes takes the overlap only.
    Image c8;
    c8.create(50, 60, 4, Image::e8integer);
    c8.ConvertFrom(c);
    EXPECT_EQ(Texels<uint8_t>(c8, 49, 39), (std::vector<uint8_t>{255, 128, 0, 255}));
    EXPECT_EQ(Texels<uint8_t>(c8, 10, 45), (std::vector<uint8_t>{0, 0, 0, 0}));  // below the source: untouched

    // Normalising keeps colour and history, adds opaque alpha.
    ASSERT_TRUE(c.NewVersion());
    const uint16_t aBlue[3] = {0, 0, 65535};
    c.fillTile(0, 0, 10, 10, aBlue);
    c.NormalizeChannels();
    EXPECT_EQ(Texels<uint16_t>(c, 5, 5), (std::vector<uint16_t>{0, 0, 65535, 65535}));
    ASSERT_TRUE(c.PrevVersion());
    EXPECT_EQ(Texels<uint16_t>(c, 5, 5), (std::vector<uint16_t>{65535, 32768, 0, 65535}));

    c.create(300, 3, 1, Image::e32float);  // tiles never written become gray 0, alpha 1
    c.NormalizeChannels();
    EXPECT_EQ(Texels<float>(c, 299, 2), (std::vector<float>{0.0f, 1.0f}));
    c.NormalizeChannels();  // gray and alpha stay as they are
    EXPECT_EQ(c.ChannelCount(), 2u);
}

// --- proxies -----------------------------------------------------------------

namespace {

// The reference: one 2 x 2 box step in double, footprints clipped to the texels
// that exist, integers rounded half up; `w` and `h` become the new size.
std::vector<double> BoxStep(const std::vector<double>& a, int& w, int& h, int ch, bool bInteger)
{
    const int w2 = std::max(1, w >> 1), h2 = std::max(1, h >> 1);
    std::vector<double> o(size_t(w2) * h2 * ch);
    for (int y = 0; y < h2; ++y)
        for (int x = 0; x < w2; ++x)
            for (int c = 0; c < ch; ++c) {
                double s = 0;
                int n = 0;
                for (int j = 2 * y; j <= 2 * y + 1 && j < h; ++j)
                    for (int i = 2 * x; i <= 2 * x + 1 && i < w; ++i, ++n)
                        s += a[(size_t(j) * w + i) * ch + c];
                o[(size_t(y) * w2 + x) * ch + c] = bInteger ? std::floor(s / n + 0.5) : s / n;
            }
    w = w2;
    h = h2;
    return o;
}

/// Integers as stored; halves and floats as floats.
std::vector<double> Values(const Image& c)
{
    std::vector<float> a(size_t(c.Width()) * c.Height() * c.ChannelCount());
    const PixelDescriptor cF(c.ChannelCount(), PixelDescriptor::eFloat32);
    c.getTile(0, 0, int(c.Width()), int(c.Height()), a.data(), &cF);
    const double dMax = c.format() == Image::e8integer ? 255 : c.format() == Image::e16integer ? 65535 : 0;
    std::vector<double> o(a.begin(), a.end());
    for (double& d : o)
        d = dMax > 0 ? std::nearbyint(d * dMax) : d;  // back to the stored integers
    return o;
}

} // namespace

TEST(ImageProxy, EveryLevelMatchesBoxFilterAndIsCachedUntilAWrite)
{
    std::mt19937 r(7);
    const int aSizes[][2] = {{37, 23}, {1, 9}, {5, 1}, {301, 259}, {3, 3}};
    // Half rounds at each level: compared with a tolerance; the rest exactly.
    const struct { uint32_t ch; Image::Format f; double dTolerance; } aKinds[] = {
        {4, Image::e8integer, 0}, {1, Image::e32float, 0}, {2, Image::e16integer, 0}, {3, Image::e16float, 0.02}};
    for (const auto& s : aSizes) {
        for (const auto& k : aKinds) {
            SCOPED_TRACE(testing::Message() << s[0] << "x" << s[1] << " format " << k.f);
            Image c;
            c.create(s[0], s[1], k.ch, k.f);
            const size_t n = size_t(s[0]) * s[1] * k.ch;
            const bool bInteger = k.f == Image::e8integer || k.f == Image::e16integer;
            std::vector<double> aRef;
            if (bInteger) {
                auto a = Random(n * Image::BytesPerChannel(k.f), r);
                c.setTile(0, 0, s[0], s[1], a.data());
                aRef = Values(c);
            } else {
                std::vector<float> a(n);  // exact in a half too; floats stay exact through the averages
                for (auto& v : a)
                    v = k.f == Image::e32float ? float(r() % 1000) / 8.0f : float(r() % 2000) / 64.0f - 5.0f;
                const PixelDescriptor cF(k.ch, PixelDescriptor::eFloat32);
                c.setTile(0, 0, s[0], s[1], a.data(), &cF);
                aRef.assign(a.begin(), a.end());
                ASSERT_EQ(Values(c), aRef) << "written and read back as floats";
            }
            int w = s[0], h = s[1];
            for (unsigned iLevel = 1; iLevel <= Image::s_iMaxProxyLevel; ++iLevel) {
                aRef = BoxStep(aRef, w, h, int(k.ch), bInteger);
                Image* p = c.ProxyImage(iLevel);
                ASSERT_NE(p, nullptr);
                ASSERT_EQ(p->getBounds(), ImgTile(0, 0, w, h)) << "level " << iLevel;
                ASSERT_EQ(p->format(), k.f);
                const std::vector<double> aGot = Values(*p);
                for (size_t i = 0; i < aGot.size(); ++i)
                    ASSERT_NEAR(aGot[i], aRef[i], k.dTolerance) << "level " << iLevel << " value " << i;
            }
        }
    }

    // Proxies are cached until a write.
    Image c;
    c.create(64, 64, 1, Image::e8integer);
    const uint8_t iWhite = 200;
    c.fillTile(0, 0, 64, 64, &iWhite);
    EXPECT_EQ(c.getProxyImage(), &c);
    c.setProxyLevel(9);
    EXPECT_EQ(c.getProxyLevel(), Image::s_iMaxProxyLevel);
    c.setProxyLevel(2);
    Image* p = c.getProxyImage();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(c.ProxyImage(2), p);  // cached

    const uint8_t iDark = 0;
    c.fillTile(0, 0, 8, 8, &iDark);  // a write drops the proxies
    EXPECT_EQ(Texels<uint8_t>(*c.getProxyImage(), 0, 0, 3), (std::vector<uint8_t>{0, 0, 200}));

    // RawPixels: a contiguous copy of a level (-1: the current one), rebuilt after writes.
    const uint8_t* pRaw = static_cast<const uint8_t*>(c.RawPixels(-1, true));
    ASSERT_NE(pRaw, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(pRaw, pRaw + 16 * 16), Whole(*c.getProxyImage()));
    const uint8_t* pFull = static_cast<const uint8_t*>(c.RawPixels(0, false));
    EXPECT_EQ(std::vector<uint8_t>(pFull, pFull + 64 * 64), Whole(c));
    c.fillTile(63, 63, 1, 1, &iDark);
    pFull = static_cast<const uint8_t*>(c.RawPixels(0, false));
    EXPECT_EQ(pFull[64 * 64 - 1], 0);

    Image cEmpty;
    EXPECT_EQ(cEmpty.ProxyImage(1), nullptr);
    EXPECT_EQ(cEmpty.RawPixels(), nullptr);
}

// --- versions ------------------------------------------------------------------

TEST(ImageVersions, ChangeNewChangePrevNextMergeAndPurge)
{
    Image c;
    c.create(600, 300, 4, Image::e8integer);
    Paint(c, 1);
    const auto a0 = Whole(c);
    ASSERT_TRUE(c.NewVersion());
    const uint8_t aRed[4] = {255, 0, 0, 255};
    c.fillTile(250, 100, 20, 20, aRed);  // partly over a tile seam: old texels must survive the copy
    const auto a1 = Filled(a0, 600, 4, ImgTile(250, 100, 20, 20), aRed);
    ASSERT_TRUE(c.NewVersion());
    c.fillTile(0, 0, 600, 10, aRed);
    const auto a2 = Filled(a1, 600, 4, ImgTile(0, 0, 600, 10), aRed);
    Walk(c, "P1P0p0N1N2n2P1", {a0, a1, a2});

    // A write in an older version changes that version only.
    const uint8_t aGreen[4] = {0, 255, 0, 255};
    c.fillTile(500, 270, 5, 5, aGreen);  // a tile the newer version did not change
    const auto a1b = Filled(a1, 600, 4, ImgTile(500, 270, 5, 5), aGreen);
    Walk(c, "N2P3P0", {a0, a1, a2, a1b});

    // Merging and purging: 600 x 300 in 256-texel tiles; each step changes a tile of its own.
    c.create(600, 300, 1, Image::e8integer);
    const ImgTile aRects[4] = {ImgTile(0, 0, 600, 300), ImgTile(10, 10, 20, 20), ImgTile(520, 270, 20, 20),
                               ImgTile(300, 10, 20, 20)};
    std::vector<std::vector<uint8_t>> aStates;
    std::vector<uint8_t> aModel(600 * 300, 0);
    for (uint8_t i = 0; i < 4; ++i) {
        ASSERT_TRUE(i == 0 || c.NewVersion());
        const uint8_t v = uint8_t(10 + i);
        c.fillTile(aRects[i].x, aRects[i].y, aRects[i].nx, aRects[i].ny, &v);
        aModel = Filled(aModel, 600, 1, aRects[i], &v);
        aStates.push_back(aModel);
    }
    EXPECT_TRUE(c.MergeOldestVersions());  // states 0 and 1 become one: state 1
    EXPECT_EQ(c.CurrentVersion(), 2);
    EXPECT_EQ(Whole(c), aStates[3]);
    Walk(c, "P2P1p1", aStates);

    // Merging while the oldest is current keeps the pixels, and the next step
    // leads from them straight to the version after the merged pair, carrying
    // the tile that only the dropped step changed.
    EXPECT_TRUE(c.MergeOldestVersions());
    EXPECT_EQ(c.CurrentVersion(), 0);
    EXPECT_EQ(Whole(c), aStates[1]);
    Walk(c, "N3P1", aStates);
    EXPECT_TRUE(c.PurgeNewerVersions());
    EXPECT_EQ(c.NumVersions(), 1);

    // A new version after stepping back ends the redo history.
    ASSERT_TRUE(c.NewVersion());
    ASSERT_TRUE(c.PrevVersion());
    ASSERT_TRUE(c.NewVersion());
    EXPECT_FALSE(c.NextVersion());
}

TEST(ImageVersions, MemoryProportionalToTouchedTiles)
{
    Image c;
    c.create(2048, 2048, 4, Image::e32float);
    const float aGray[4] = {0.5f, 0.5f, 0.5f, 1.0f};
    c.fillTile(0, 0, 2048, 2048, aGray);
    const size_t iImage = c.MemoryUsage();

    ASSERT_TRUE(c.NewVersion());
    EXPECT_EQ(c.VersionMemoryUsage(), 0u);  // opening a version copies nothing
    const float aRed[4] = {1, 0, 0, 1};
    c.fillTile(1000, 1000, 1, 1, aRed);
    const size_t iTile = c.VersionMemoryUsage();
    EXPECT_GT(iTile, 0u);
    EXPECT_LE(iTile, size_t(256) * 256 * 16);
    c.fillTile(1000, 1000, 1, 1, aGray);  // same tile again: nothing more saved
    EXPECT_EQ(c.VersionMemoryUsage(), iTile);
    EXPECT_EQ(c.MemoryUsage(), iImage);
}

// Strokes with a trimmed history recycle the tile buffers the merges free:
// every kept version must still read back exactly, and a recycled buffer that
// becomes a partly written new tile must read 0 where it was not written.
// Releasing memory empties the recycled tiles.
TEST(ImageVersions, RecycledTilesKeepEveryVersionExactUntilReleased)
{
    for (Image::Format eFormat : {Image::e8integer, Image::e32float}) {
        Image c;
        c.create(700, 600, 4, eFormat);  // edge tiles of other sizes too
        std::mt19937 r(7);
        std::deque<std::vector<uint8_t>> aStates{Whole(c)};
        const int iKeep = 6;
        for (int iStroke = 0; iStroke < 40; ++iStroke) {
            ASSERT_TRUE(c.NewVersion());
            const int nx = 1 + int(r() % 300), ny = 1 + int(r() % 300), x = int(r() % 700) - 50, y = int(r() % 600) - 50;
            c.setTile(x, y, nx, ny, Random(size_t(nx) * ny * c.BytesPerPixel(), r).data());
            aStates.push_back(Whole(c));
            for (; c.NumVersions() > iKeep; aStates.pop_front())
                ASSERT_TRUE(c.MergeOldestVersions());
        }
        EXPECT_GT(TileBufferPool::HeldBytes(), 0u) << "the trimmed history freed no tile for reuse";
        SCOPED_TRACE(testing::Message() << "format " << eFormat);
        Walk(c, "P4P3P2P1P0p0N1N2N3N4N5", {aStates.begin(), aStates.end()});
        Image cFresh;
        cFresh.create(700, 600, 4, eFormat);
        const std::vector<uint8_t> aPixel(c.BytesPerPixel(), 0xAB);
        cFresh.fillTile(300, 200, 7, 5, aPixel.data());
        EXPECT_EQ(Whole(cFresh), Filled(std::vector<uint8_t>(size_t(700) * 600 * c.BytesPerPixel(), 0), 700,
                                        int(c.BytesPerPixel()), ImgTile(300, 200, 7, 5), aPixel.data()));
    }
    ProcessAllocator::Release();
    EXPECT_EQ(TileBufferPool::HeldBytes(), 0u);
#if !defined(__SANITIZE_ADDRESS__)
    // The programs run on the allocator their build configured (else every
    // large block faults in again); a sanitizer build runs on the sanitizer's.
    EXPECT_TRUE(ProcessAllocator::Configure()) << ProcessAllocator::Describe().toStdString();
#endif
}

// --- state -----------------------------------------------------------------------

TEST(ImageState, DirtyKeepDirectAccessAndRefusedSaves)
{
    // The CPU copy is kept while it holds a write, history or a proxy level.
    Image c;
    c.create(100, 50, 4, Image::e8integer);
    EXPECT_TRUE(c.IsDirty());  // creating is a write
    EXPECT_TRUE(c.Keep());
    c.ClearDirty();
    EXPECT_FALSE(c.Keep());
    c.setProxyLevel(1);
    EXPECT_TRUE(c.Keep());
    c.setProxyLevel(0);
    ASSERT_TRUE(c.NewVersion());
    EXPECT_TRUE(c.Keep());
    EXPECT_FALSE(c.IsDirty());  // a version alone is no write

    // Direct access: one contiguous block, image rows packed; it counts as a write.
    ASSERT_TRUE(c.NewVersion());
    uint8_t* p = static_cast<uint8_t*>(c.DirectAccess());
    ASSERT_NE(p, nullptr);
    EXPECT_TRUE(c.IsDirty());
    p[(size_t(49) * 100 + 99) * 4] = 77;
    EXPECT_EQ(Texels<uint8_t>(c, 99, 49)[0], 77);
    ASSERT_TRUE(c.PrevVersion());  // the old content was saved before the pointer was handed out
    EXPECT_EQ(Texels<uint8_t>(c, 99, 49)[0], 0);

    Image cLarge;
    cLarge.create(1000, 10, 1, Image::e8integer);
    EXPECT_EQ(cLarge.DirectAccess(), nullptr);  // more than one storage tile

    // Saves refused before the codec is asked.
    Image cEmpty;
    EXPECT_TRUE(ErrorTextOf([&] { cEmpty.Save("/tmp/x.png"); }).contains("no pixels"));
    EXPECT_TRUE(ErrorTextOf([&] { c.Save("/tmp/x.png", 12); }).contains("12 bits"));
}
