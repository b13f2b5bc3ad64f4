// varnik::Image through real files: round trips per file type and depth, the
// type each file loads as, and bad files that must fail clearly.
#include <OpenImageIO/imageio.h>
#include <QFile>
#include <cmath>
#include <random>
#include <vector>
#include "VarnikTest.h"

using namespace varnik;
using varnik::test::ErrorTextOf;
using varnik::test::TempDir;

namespace {

const QString s_sData = QStringLiteral(VARNIK_TEST_DATA_DIR);

std::vector<uint8_t> Whole(const Image& c)
{
    std::vector<uint8_t> a(size_t(c.Width()) * c.Height() * c.BytesPerPixel());
    c.getTile(0, 0, int(c.Width()), int(c.Height()), a.data());
    return a;
}

std::vector<float> WholeFloat(const Image& c)
{
    std::vector<float> a(size_t(c.Width()) * c.Height() * c.ChannelCount());
    const PixelDescriptor cDesc(c.ChannelCount(), PixelDescriptor::eFloat32);
    c.getTile(0, 0, int(c.Width()), int(c.Height()), a.data(), &cDesc);
    return a;
}

/// Random pixels in the format's range (floats beyond [0, 1] too, halves
/// exactly representable); `bSmooth` gives 8-bit images a gentle gradient.
void FillRandom(Image& c, uint32_t iSeed, bool bSmooth = false)
{
    std::mt19937 r(iSeed);
    const int w = int(c.Width()), h = int(c.Height()), ch = int(c.ChannelCount());
    if (c.format() == Image::e16float || c.format() == Image::e32float) {
        std::vector<float> a(size_t(w) * h * ch);
        for (float& v : a)
            v = c.format() == Image::e16float ? float(int(r() % 4001) - 1000) / 256.0f
                                              : float(int(r() % 200001) - 50000) / 12345.0f;
        const PixelDescriptor cDesc(uint32_t(ch), PixelDescriptor::eFloat32);
        c.setTile(0, 0, w, h, a.data(), &cDesc);
        return;
    }
    std::vector<uint8_t> a(size_t(w) * h * c.BytesPerPixel());  // 16-bit: random either way
    for (size_t i = 0; i < a.size(); ++i)
        a[i] = bSmooth ? uint8_t(((i / ch) % w) * 2 + (i % ch) * 40 + (i / ch / w)) : uint8_t(r());
    c.setTile(0, 0, w, h, a.data());
}

} // namespace

TEST(ImageFiles, RoundTripsKeepTypeChannelsAndPixels)
{
    const struct { const char* sExt; uint32_t iWidth, iHeight, iChannels; Image::Format eFormat; } aCases[] = {
        {"png", 67, 45, 4, Image::e8integer},   {"png", 33, 20, 2, Image::e16integer},
        {"tif", 300, 260, 4, Image::e8integer}, {"tif", 67, 45, 3, Image::e16integer},
        {"tiff", 130, 70, 4, Image::e32float},  {"exr", 300, 140, 4, Image::e16float},
        {"exr", 67, 45, 3, Image::e32float},    {"psd", 67, 45, 3, Image::e8integer},
        {"psd", 67, 45, 4, Image::e8integer},   {"psd", 300, 40, 4, Image::e16integer},
        {"psd", 21, 13, 1, Image::e8integer},   {"psd", 21, 13, 2, Image::e16integer},
        {"tga", 67, 45, 4, Image::e8integer},   {"bmp", 67, 45, 3, Image::e8integer},
        {"jpg", 64, 48, 3, Image::e8integer},
    };
    TempDir cDir;
    uint32_t iSeed = 1;
    for (const auto& k : aCases) {
        const QString sFile = cDir.File(QString("rt%1_%2ch.%3").arg(iSeed).arg(k.iChannels).arg(k.sExt));
        SCOPED_TRACE(sFile.toStdString());
        const bool bLossy = QString(k.sExt) == "jpg";
        Image c;
        c.create(k.iWidth, k.iHeight, k.iChannels, k.eFormat);
        FillRandom(c, iSeed++, bLossy);
        ASSERT_NO_THROW(c.Save(sFile));
        Image cBack;
        ASSERT_NO_THROW(cBack.Load(sFile));
        EXPECT_EQ(cBack.format(), k.eFormat);
        // Exact for every lossless format (RGBA PSD keeps straight colour where
        // alpha is 0), JPEG close on a smooth image; the size too.
        const auto a = Whole(c), b = Whole(cBack);
        ASSERT_EQ(a.size(), b.size()) << cBack.ChannelCount() << " channels";
        double dError = 0;
        for (size_t i = 0; i < a.size(); ++i)
            dError += std::abs(int(a[i]) - int(b[i]));
        EXPECT_LE(dError / double(a.size()), bLossy ? 4.0 : 0.0);
    }
}

TEST(ImageFiles, DepthsConvertOnSaving)
{
    TempDir cDir;
    // Depths on saving: 8 bits rounds and clamps; 16 bits is integer in TIFF,
    // half in EXR; float images go to 16-bit PSD. Read back as floats, exactly.
    Image cFloat;
    cFloat.create(5, 1, 1, Image::e32float);
    const float aIn[5] = {-0.5f, 0.0f, 0.5f, 1.0f, 3.0f};
    cFloat.setTile(0, 0, 5, 1, aIn);
    const struct { const Image& c; const char* sName; unsigned iBits; Image::Format f; std::vector<float> a; }
        aDepths[] = {
        {cFloat, "depth8.png", 8, Image::e8integer, {0, 0, 128 / 255.0f, 1, 1}},
        {cFloat, "depth16.tif", 16, Image::e16integer, {0, 0, 32768 / 65535.0f, 1, 1}},
        {cFloat, "depth16.exr", 16, Image::e16float, {-0.5f, 0, 0.5f, 1, 3}},
        {cFloat, "float.psd", 0, Image::e16integer, {0, 0, 32768 / 65535.0f, 1, 1}}};
    for (const auto& k : aDepths) {
        k.c.Save(cDir.File(k.sName), k.iBits);
        Image cBack;
        cBack.Load(cDir.File(k.sName));
        EXPECT_EQ(cBack.format(), k.f) << k.sName;
        EXPECT_EQ(WholeFloat(cBack), k.a) << k.sName;
    }
    EXPECT_TRUE(ErrorTextOf([&] { cFloat.Save(cDir.File("deep.psd"), 32); }).contains("deep.psd"));
}

TEST(ImageFiles, TiledAndScanlineFilesReadAsTheLibraryReadsThem)
{
    // Sizes that end in partial file tiles and partial storage tiles, tall
    // enough for several bands.
    struct Layout { const char* sName; int iTile; OIIO::TypeDesc::BASETYPE eType; int iChannels; };
    const Layout aCases[] = {{"t16.tif", 16, OIIO::TypeDesc::UINT16, 3}, {"t96.exr", 96, OIIO::TypeDesc::FLOAT, 2},
                             {"s.exr", 0, OIIO::TypeDesc::HALF, 3},      {"s.tif", 0, OIIO::TypeDesc::FLOAT, 1}};
    TempDir cDir;
    for (const Layout& k : aCases) {
        SCOPED_TRACE(k.sName);
        const std::string sFile = cDir.File(k.sName).toStdString();
        OIIO::ImageSpec cSpec(333, 301, k.iChannels, k.eType);
        cSpec.tile_width = cSpec.tile_height = k.iTile;
        std::vector<float> aPixels(size_t(333) * 301 * k.iChannels);
        for (size_t i = 0; i < aPixels.size(); ++i)
            aPixels[i] = float(i % 1013) / 1013.0f;
        auto pOut = OIIO::ImageOutput::create(sFile);
        ASSERT_TRUE(pOut && pOut->open(sFile, cSpec) && pOut->write_image(OIIO::TypeDesc::FLOAT, aPixels.data()) &&
                    pOut->close());
        // Compared in the file's own type: conversions round differently.
        std::vector<uint8_t> aExpected(aPixels.size() * OIIO::TypeDesc(k.eType).size());
        auto pIn = OIIO::ImageInput::open(sFile);
        ASSERT_TRUE(pIn && pIn->read_image(0, 0, 0, k.iChannels, k.eType, aExpected.data()));
        Image c;
        ASSERT_NO_THROW(c.Load(QString::fromStdString(sFile)));
        EXPECT_TRUE(Whole(c) == aExpected);  // the size too
    }
}

TEST(ImageFiles, KnownFileChannelsAndHistory)
{
    // The file's rows arrive top to bottom, channels in order; asked for alpha, it is opaque.
    Image c4;
    c4.Load(s_sData + "/gradient.png", 4);
    ASSERT_EQ(c4.ChannelCount(), 4u);
    uint8_t aPixel[4];
    c4.getTile(10, 20, 1, 1, aPixel);
    EXPECT_EQ(std::vector<uint8_t>(aPixel, aPixel + 4), (std::vector<uint8_t>{110, 70, 220, 255}));

    // Loading into the same shape without resetting keeps the history.
    Image cHistory;
    cHistory.create(48, 48, 3, Image::e8integer);
    ASSERT_TRUE(cHistory.NewVersion());
    cHistory.Load(s_sData + "/gradient.png", 0, false);
    ASSERT_TRUE(cHistory.PrevVersion());
    EXPECT_EQ(Whole(cHistory), std::vector<uint8_t>(48 * 48 * 3, 0));
}

TEST(ImageFiles, BadFilesFailNamingTheFileAndLeaveImageAlone)
{
    TempDir cDir;
    Image c;
    c.create(9, 7, 4, Image::e8integer);
    FillRandom(c, 77);
    ASSERT_TRUE(c.NewVersion());
    const auto aBefore = Whole(c);

    // A truncated EXR made here, and garbage under an unknown extension.
    Image cBig;
    cBig.create(128, 128, 4, Image::e32float);
    FillRandom(cBig, 3);
    cBig.Save(cDir.File("cut.exr"));
    ASSERT_TRUE(QFile::resize(cDir.File("cut.exr"), QFile(cDir.File("cut.exr")).size() / 3));
    QFile cNoise(cDir.File("noise.xyz"));
    ASSERT_TRUE(cNoise.open(QIODevice::WriteOnly) && cNoise.write(QByteArray(500, 'q')) == 500);
    cNoise.close();

    // Loads and saves that fail name the file and a reason, and leave pixels and history alone.
    const struct { bool bSave; QString sFile; const char* sReason; } aCases[] = {
        {false, cDir.File("missing.png"), "does not exist"}, {false, s_sData + "/empty.tif", "empty"},
        {false, s_sData + "/truncated.png", ""},             {false, s_sData + "/corrupt.png", ""},
        {false, cDir.File("cut.exr"), ""},                   {false, cDir.File("noise.xyz"), ""},
        {true, cDir.File("out.xyz"), "unknown extension"},   {true, cDir.File("noext"), "no extension"},
        {true, "/no/such/dir/a.png", ""}, {true, "/no/such/dir/a.psd", ""}, {true, "/no/such/dir/a.exr", ""}};
    for (const auto& k : aCases) {
        const QString s = ErrorTextOf([&] { k.bSave ? c.Save(k.sFile) : c.Load(k.sFile); });
        EXPECT_TRUE(s.contains(k.sFile) && s.contains(k.sReason)) << s.toStdString();
        EXPECT_GT(s.length(), k.sFile.length() + 25) << "no reason given: " << s.toStdString();
        EXPECT_EQ(c.NumVersions(), 2);
        EXPECT_EQ(Whole(c), aBefore) << k.sFile.toStdString();
    }
}
