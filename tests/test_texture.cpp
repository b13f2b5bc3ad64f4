// VarnikTexture: upload, readback, sizing, storage, the upload buffer ring,
// error messages, the varnik::Texture base and loading the built module.
#include "TextureTestKit.h"
#include "varnik/Half.h"

using namespace texkit;
using varnik::test::ErrorTextOf;
using varnik::test::LogRecorder;

namespace {

/// An image whose bytes are deterministic for `iSeed` and valid for the format.
std::unique_ptr<Image> PatternImage(int iWidth, int iHeight, unsigned int iChannels, Image::Format eFormat,
                                    int iSeed)
{
    std::unique_ptr<Image> pImage(new Image());
    pImage->create(unsigned(iWidth), unsigned(iHeight), iChannels, eFormat);
    const size_t iValues = size_t(iWidth) * size_t(iHeight) * iChannels;
    std::vector<uint8_t> aBytes(iValues * Image::BytesPerChannel(eFormat));
    for (size_t i = 0; i < iValues; ++i) {
        const uint32_t v = uint32_t(i * 2654435761u + uint32_t(iSeed) * 40503u) >> 7;
        switch (eFormat) {
        case Image::e8integer: aBytes[i] = uint8_t(v); break;
        case Image::e16integer: reinterpret_cast<uint16_t*>(aBytes.data())[i] = uint16_t(v); break;
        case Image::e16float:
            reinterpret_cast<uint16_t*>(aBytes.data())[i] = varnik::half_(float(v % 2048) / 64.f).Bits();
            break;
        default: reinterpret_cast<float*>(aBytes.data())[i] = float(v % 100000) / 7.f; break;
        }
    }
    pImage->setTile(0, 0, iWidth, iHeight, aBytes.data());
    return pImage;
}

std::vector<uint8_t> BytesOf(const Image& cImage, const ImgTile& cTile)
{
    std::vector<uint8_t> a(size_t(cTile.Area()) * cImage.BytesPerPixel());
    cImage.getTile(cTile.x, cTile.y, cTile.nx, cTile.ny, a.data());
    return a;
}

std::vector<uint8_t> BytesOf(const Image& cImage) { return BytesOf(cImage, cImage.getBounds()); }

class TextureTest : public varnik::test::GLTest
{
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        VarnikTexture::InitializePlugin();
    }
};

struct Shape { Image::Format eFormat; unsigned int iChannels; };
const Shape s_aUploadShapes[] = {
    {Image::e8integer, 2}, {Image::e8integer, 4}, {Image::e16integer, 2}, {Image::e16integer, 4},
    {Image::e16float, 2},  {Image::e16float, 4},  {Image::e32float, 2},   {Image::e32float, 4},
};

} // namespace

TEST_F(TextureTest, EveryUploadFormatRoundTripsOnBothReadbackPathsWithBGRAOnAndOff)
{
    // 160x130 takes the strip path; the others are below 128 on one side.
    const int aSizes[][2] = {{160, 130}, {100, 140}, {140, 90}};
    for (const Shape& s : s_aUploadShapes) {
        for (const auto& aSize : aSizes) {
            const bool bStrips = aSize[0] >= 128 && aSize[1] >= 128;
            for (bool bBGRA : {false, true}) {
                SCOPED_TRACE(testing::Message() << "format " << s.eFormat << " channels " << s.iChannels << " size "
                                                << aSize[0] << "x" << aSize[1] << " bgra " << bBGRA);
                PreferenceOverride cPref(s_cUseBGRA8Readback.m_pAttribute, bBGRA);
                std::unique_ptr<Image> pSource = PatternImage(aSize[0], aSize[1], s.iChannels, s.eFormat, 1);
                VarnikTexture cTexture;
                cTexture.CopyFrom(pSource.get(), nullptr);
                EXPECT_EQ(cTexture.Location(), 1u);
                Image cRead;
                {
                    GLRecorder cRecorder;
                    cTexture.CopyGLTextureToImage(&cRead, true, nullptr, varnik::PixelDescriptor::eRGBA);
                    EXPECT_EQ(GLRecorder::Maps(GL_PIXEL_PACK_BUFFER) > 0, bStrips);
                }
                ASSERT_EQ(cRead.format(), s.eFormat);
                EXPECT_EQ(FirstDifference(BytesOf(cRead), BytesOf(*pSource)), -1);

                // CopyTo without a backing image reads the GPU too.
                Image cCopy;
                cTexture.CopyTo(&cCopy, true, nullptr, varnik::PixelDescriptor::eDefaultOrder);
                EXPECT_EQ(FirstDifference(BytesOf(cCopy), BytesOf(*pSource)), -1);
            }
        }
    }
}

TEST_F(TextureTest, TilesGoUpAndComeBackAloneOnBothPaths)
{
    for (const Shape& s : s_aUploadShapes) {
        for (int iSize : {200, 96}) {
            for (bool bBGRA : {false, true}) {
                SCOPED_TRACE(testing::Message() << "format " << s.eFormat << " channels " << s.iChannels << " size "
                                                << iSize << " bgra " << bBGRA);
                PreferenceOverride cPref(s_cUseBGRA8Readback.m_pAttribute, bBGRA);
                std::unique_ptr<Image> pZero(new Image());
                pZero->create(unsigned(iSize), unsigned(iSize), s.iChannels, s.eFormat);
                std::unique_ptr<Image> pFirst = PatternImage(iSize, iSize, s.iChannels, s.eFormat, 2);
                std::unique_ptr<Image> pSecond = PatternImage(iSize, iSize, s.iChannels, s.eFormat, 3);
                VarnikTexture cTexture;
                cTexture.CopyFrom(pZero.get(), nullptr);

                // A tile hanging over the right and bottom edges uploads only the overlap.
                const ImgTile cUp(iSize - 40, iSize - 30, 100, 100);
                const ImgTile cInside(iSize - 40, iSize - 30, 40, 30);
                cTexture.CopyFrom(pFirst.get(), &cUp);
                Image cRead;
                cTexture.CopyGLTextureToImage(&cRead, true, nullptr, varnik::PixelDescriptor::eRGBA);
                EXPECT_EQ(FirstDifference(BytesOf(cRead, cInside), BytesOf(*pFirst, cInside)), -1);
                const ImgTile cLeft(0, 0, iSize - 40, iSize);
                EXPECT_EQ(FirstDifference(BytesOf(cRead, cLeft), BytesOf(*pZero, cLeft)), -1);

                // The strip path reads only the tile; small textures refresh everything.
                cTexture.CopyFrom(pSecond.get(), nullptr);
                const ImgTile cDown(10, 20, 50, 40);
                cTexture.CopyGLTextureToImage(&cRead, true, &cDown, varnik::PixelDescriptor::eRGBA);
                EXPECT_EQ(FirstDifference(BytesOf(cRead, cDown), BytesOf(*pSecond, cDown)), -1);
                if (iSize < 128) {
                    EXPECT_EQ(FirstDifference(BytesOf(cRead), BytesOf(*pSecond)), -1);
                    continue;
                }
                EXPECT_EQ(FirstDifference(BytesOf(cRead, cInside), BytesOf(*pFirst, cInside)), -1);
                const ImgTile cAbove(0, 0, iSize, 20);
                EXPECT_EQ(FirstDifference(BytesOf(cRead, cAbove), BytesOf(*pZero, cAbove)), -1);
            }
        }
    }
}

TEST_F(TextureTest, ThreeChannelImagesAreNormalisedAndUploaded)
{
    std::unique_ptr<Image> pImage = PatternImage(64, 32, 3, Image::e8integer, 4);
    VarnikTexture cTexture;
    cTexture.CopyFrom(pImage.get(), nullptr);
    EXPECT_EQ(cTexture.ChannelCount(), 4u);
    const std::vector<uint8_t> aPixels = varnik::test::ReadTextureRGBA8(cTexture.OpenGLName(), 64, 32);
    const std::vector<uint8_t> aSource = BytesOf(*pImage);
    EXPECT_EQ(aPixels[4 * 37 + 2], aSource[4 * 37 + 2]);
    EXPECT_EQ(aPixels[4 * 37 + 3], 255);
}

TEST_F(TextureTest, OddChannelCountsReadBackAsTheirOwnChannels)
{
    for (unsigned int iChannels : {1u, 3u}) {
        for (int iSize : {150, 64}) {
            SCOPED_TRACE(testing::Message() << iChannels << " channels, size " << iSize);
            VarnikTexture cTexture;
            cTexture.Create(unsigned(iSize), unsigned(iSize), iChannels, Image::e8integer);
            std::vector<uint8_t> aRGBA(size_t(iSize) * size_t(iSize) * 4);
            for (size_t i = 0; i < aRGBA.size(); ++i)
                aRGBA[i] = uint8_t(i * 37 + 11);
            glBindTexture(GL_TEXTURE_2D, cTexture.OpenGLName());
            glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, iSize, iSize, GL_RGBA, GL_UNSIGNED_BYTE, aRGBA.data());
            Image cRead;
            cTexture.CopyGLTextureToImage(&cRead, true, nullptr, varnik::PixelDescriptor::eRGBA);
            ASSERT_EQ(cRead.ChannelCount(), iChannels);
            const std::vector<uint8_t> aBytes = BytesOf(cRead);
            // Luminance keeps red; RGB keeps the first three.
            for (size_t p : {size_t(0), size_t(iSize * 7 + 5), size_t(iSize * iSize - 1)})
                for (unsigned int c = 0; c < iChannels; ++c)
                    EXPECT_EQ(aBytes[p * iChannels + c], aRGBA[p * 4 + c]) << "pixel " << p << " channel " << c;
        }
    }
}

TEST_F(TextureTest, DepthTexturesReadBackWithoutLeavingGLErrors)
{
    for (Image::Format eFormat : {Image::e16depth, Image::e24depth, Image::e32depth}) {
        for (unsigned int iSize : {160u, 64u}) {
            SCOPED_TRACE(testing::Message() << "format " << eFormat << " size " << iSize);
            VarnikTexture cTexture;
            cTexture.Create(iSize, iSize, 1, eFormat);
            Image cRead;
            LogRecorder cLog;
            cTexture.CopyGLTextureToImage(&cRead, true, nullptr, varnik::PixelDescriptor::eRGBA);
            EXPECT_EQ(cRead.format(), eFormat == Image::e32depth ? Image::e32depth : Image::e16depth);
            EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
            GLint iBound = -1;
            glGetIntegerv(GL_FRAMEBUFFER_BINDING, &iBound);
            EXPECT_EQ(iBound, 0);
        }
    }
}

TEST_F(TextureTest, UploadBandHeightFallsAsRowsGetWider)
{
    struct Case { int iWidth, iHeight; Image::Format eFormat; int iBand; };
    const Case aCases[] = {
        {2048, 1100, Image::e8integer, 1024},  // 8192-byte rows
        {2049, 600, Image::e8integer, 512},    // 8196-byte rows
        {2048, 300, Image::e32float, 256},     // 32768-byte rows
        {500, 300, Image::e8integer, 300},     // one band of every row
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(testing::Message() << c.iWidth << "x" << c.iHeight);
        std::unique_ptr<Image> pImage(new Image());
        pImage->create(unsigned(c.iWidth), unsigned(c.iHeight), 4, c.eFormat);
        const GLsizeiptr iRowBytes = GLsizeiptr(c.iWidth) * GLsizeiptr(pImage->BytesPerPixel());
        VarnikTexture cTexture;
        GLRecorder cRecorder;
        cTexture.CopyFrom(pImage.get(), nullptr);
        std::vector<GLsizeiptr> aExpected;
        for (int y = 0; y < c.iHeight; y += c.iBand)
            aExpected.push_back(GLsizeiptr(std::min(c.iBand, c.iHeight - y)) * iRowBytes);
        EXPECT_EQ(GLRecorder::Sizes(GL_PIXEL_UNPACK_BUFFER), aExpected);
        EXPECT_TRUE(GLRecorder::AllInside(GL_PIXEL_UNPACK_BUFFER, 0x200)) << "CopyFrom's crash scope";
        EXPECT_EQ(varnik::VKCrashReporterFlag::OpenBits(5), 0u);
    }
}

TEST_F(TextureTest, BandsTakeTheFourBuffersInTurnAndTheLastTextureDeletesThem)
{
    ASSERT_EQ(VarnikTexture::TextureCount(), 0);
    EXPECT_EQ(VarnikTexture::s_cPBOPool.m_aBuffers[0], 0u);
    std::unique_ptr<Image> pImage = PatternImage(32, 32, 4, Image::e8integer, 5);
    {
        GLRecorder cRecorder;
        VarnikTexture cFirst, cSecond;
        cFirst.CopyFrom(pImage.get(), nullptr);  // makes the pool
        const GLuint* a = VarnikTexture::s_cPBOPool.m_aBuffers;
        ASSERT_NE(a[0], 0u);
        for (int i = 0; i < 4; ++i)
            (i % 2 ? cFirst : cSecond).CopyFrom(pImage.get(), nullptr);
        EXPECT_EQ(GLRecorder::Bound(GL_PIXEL_UNPACK_BUFFER), (std::vector<GLuint>{a[0], a[1], a[2], a[3], a[0]}));
        EXPECT_EQ(GLRecorder::Values(GLRecorder::eGenBuffers).size(), 1u) << "the pool is made once";
        EXPECT_EQ(VarnikTexture::s_cPBOPool.m_iNextIndex, 1u);
    }
    EXPECT_EQ(VarnikTexture::s_cPBOPool.m_aBuffers[0], 0u);
    EXPECT_EQ(VarnikTexture::s_cPBOPool.m_aBuffers[3], 0u);
    VarnikTexture cAgain;
    cAgain.CopyFrom(pImage.get(), nullptr);
    EXPECT_NE(VarnikTexture::s_cPBOPool.m_aBuffers[0], 0u);
    EXPECT_EQ(VarnikTexture::s_cPBOPool.m_iNextIndex, 1u);
}

TEST_F(TextureTest, ReadbackStripsFollowTheComponentSize)
{
    struct Case { Image::Format eFormat; int iStrip; int iStrips; };
    const Case aCases[] = {{Image::e8integer, 2048, 2}, {Image::e16float, 1024, 3}, {Image::e32float, 512, 6}};
    for (const Case& c : aCases) {
        SCOPED_TRACE(testing::Message() << "format " << c.eFormat);
        std::unique_ptr<Image> pImage = PatternImage(128, 3000, 4, c.eFormat, 6);
        VarnikTexture cTexture;
        cTexture.CopyFrom(pImage.get(), nullptr);
        Image cRead;
        GLRecorder cRecorder;
        cTexture.CopyGLTextureToImage(&cRead, true, nullptr, varnik::PixelDescriptor::eRGBA);
        EXPECT_EQ(GLRecorder::Sizes(GL_PIXEL_PACK_BUFFER),
                  std::vector<GLsizeiptr>{GLsizeiptr(c.iStrip) * 128 * GLsizeiptr(pImage->BytesPerPixel())});
        EXPECT_EQ(GLRecorder::Maps(GL_PIXEL_PACK_BUFFER), c.iStrips);
        EXPECT_TRUE(GLRecorder::AllInside(GL_PIXEL_PACK_BUFFER, 0x1000)) << "the readback's crash scope";
        EXPECT_EQ(FirstDifference(BytesOf(cRead), BytesOf(*pImage)), -1);
    }
}

TEST(TextureSwapTest, RedAndBlueSwapAlignedOrNot)
{
    alignas(16) uint8_t aSource[4 * 37 + 16];
    alignas(16) uint8_t aDest[4 * 37 + 16];
    for (size_t i = 0; i < sizeof(aSource); ++i)
        aSource[i] = uint8_t(i * 31 + 7);
    for (size_t iOffset : {size_t(0), size_t(4)}) {
        for (size_t iPixels : {size_t(0), size_t(1), size_t(4), size_t(5), size_t(36)}) {
            std::memset(aDest, 0xEE, sizeof(aDest));
            VarnikTexture::SwapRedBlue(aSource + iOffset, aDest + iOffset, iPixels);
            for (size_t p = 0; p < iPixels; ++p) {
                const uint8_t* s = aSource + iOffset + 4 * p;
                const uint8_t* d = aDest + iOffset + 4 * p;
                ASSERT_TRUE(d[0] == s[2] && d[1] == s[1] && d[2] == s[0] && d[3] == s[3])
                    << "pixel " << p << " of " << iPixels << " at offset " << iOffset;
            }
            EXPECT_EQ(aDest[iOffset + 4 * iPixels], 0xEE) << "wrote past the end";
        }
    }
}

TEST_F(TextureTest, SameShapeUploadKeepsTheStorageOtherShapesReplaceIt)
{
    std::unique_ptr<Image> pImage = PatternImage(100, 50, 4, Image::e8integer, 7);
    const int64_t iStart = varnik::Kernel::VideoMemoryUsage();
    VarnikTexture cTexture;
    cTexture.CopyFrom(pImage.get(), nullptr);
    const GLuint iName = cTexture.OpenGLName();
    EXPECT_EQ(varnik::Kernel::VideoMemoryUsage() - iStart, 100 * 50 * 4);
    const int64_t iReports = varnik::Kernel::VideoMemoryReportCount();

    std::unique_ptr<Image> pSame = PatternImage(100, 50, 4, Image::e8integer, 8);
    cTexture.CopyFrom(pSame.get(), nullptr);
    EXPECT_EQ(cTexture.OpenGLName(), iName);
    EXPECT_EQ(varnik::Kernel::VideoMemoryReportCount(), iReports) << "no new allocation";
    EXPECT_EQ(varnik::test::ReadTextureRGBA8(iName, 100, 50), BytesOf(*pSame));

    std::unique_ptr<Image> pWide = PatternImage(120, 50, 2, Image::e32float, 9);
    cTexture.CopyFrom(pWide.get(), nullptr);
    EXPECT_EQ(varnik::Kernel::VideoMemoryUsage() - iStart, 120 * 50 * 8);
    EXPECT_EQ(cTexture.Format(), Image::e32float);
}

TEST_F(TextureTest, CreateReusesTheNameAndReportsTheStorage)
{
    const int64_t iStart = varnik::Kernel::VideoMemoryUsage();
    VarnikTexture cTexture;
    cTexture.Create(123, 456, 4, Image::e8integer);
    EXPECT_EQ(cTexture.Location(), 1u);
    EXPECT_EQ(varnik::Kernel::VideoMemoryUsage() - iStart, 123 * 456 * 4);
    const GLuint iName = cTexture.OpenGLName();
    cTexture.Create(555, 777, 2, Image::e16float);
    EXPECT_EQ(cTexture.OpenGLName(), iName);
    EXPECT_EQ(varnik::Kernel::VideoMemoryUsage() - iStart, 555 * 777 * 4);
    cTexture.Create(64, 64, 1, Image::e32depth);
    EXPECT_EQ(varnik::Kernel::VideoMemoryUsage() - iStart, 64 * 64 * 4);

    cTexture.SetLive(false);
    VarnikTexture cOffline;
    cOffline.SetLive(false);
    cOffline.Create(111, 222, 4, Image::e8integer);
    EXPECT_EQ(cOffline.Location(), 2u);
    EXPECT_EQ(cOffline.OpenGLName(), 0u);
    cTexture.SetLive(true);
}

TEST_F(TextureTest, PowerOfTwoSizingFollowsThePreference)
{
    TextureProbe cTexture;
    EXPECT_FALSE(cTexture.SetSize(300, 200));
    EXPECT_EQ(cTexture.TextureWidth(), 300u);
    VarnikTexture::s_pUsePot->SetValue(true);
    EXPECT_TRUE(cTexture.SetSize(300, 200));
    EXPECT_EQ(cTexture.TextureWidth(), 512u);
    EXPECT_EQ(cTexture.TextureHeight(), 256u);
    EXPECT_EQ(cTexture.RequestedWidth(), 300u);
    EXPECT_FALSE(cTexture.SetSize(1, 1));
    EXPECT_EQ(cTexture.TextureWidth(), 1u);
    EXPECT_TRUE(cTexture.SetSize(0, 0));
    EXPECT_EQ(cTexture.TextureHeight(), 1u);
    VarnikTexture::s_pUsePot->SetValue(false);
}

namespace {
/// Makes the framebuffer check answer "unsupported": readback takes the whole-level path.
GLenum GLAPIENTRY Unsupported(GLenum) { return GL_FRAMEBUFFER_UNSUPPORTED; }
} // namespace

TEST_F(TextureTest, PowerOfTwoTexturesRoundTripOnBothReadbackPaths)
{
    PreferenceOverride cPot(VarnikTexture::s_pUsePot, true);
    std::unique_ptr<Image> pSource = PatternImage(300, 200, 4, Image::e8integer, 3);
    const std::vector<uint8_t> aGreen = [] {
        std::vector<uint8_t> a(300 * 200 * 4, 0);
        for (size_t i = 1; i < a.size(); i += 4)
            a[i] = a[i + 2] = 255;
        return a;
    }();
    for (bool bStrips : {true, false}) {
        SCOPED_TRACE(bStrips ? "strips" : "whole level");
        VarnikTexture cUploaded, cDrawn;
        cUploaded.Create(300, 200, 4, Image::e8integer);
        cUploaded.CopyFrom(pSource.get(), nullptr);
        // Storage of 300 x 200 behind a texture size of 512 x 256, drawn into.
        cDrawn.Create(300, 200, 4, Image::e8integer);
        cDrawn.SetAsRenderTarget();
        glClearColor(0, 1, 0, 1);
        glClear(GL_COLOR_BUFFER_BIT);
        glClearColor(0, 0, 0, 0);
        cDrawn.RestoreRenderTarget();
        Image cFromUpload, cFromDrawing;
        {
            auto fSaved = glCheckFramebufferStatusEXT;
            if (!bStrips)
                glCheckFramebufferStatusEXT = &Unsupported;
            GLRecorder cRecorder;
            cUploaded.CopyGLTextureToImage(&cFromUpload, true, nullptr, varnik::PixelDescriptor::eRGBA);
            cDrawn.CopyGLTextureToImage(&cFromDrawing, true, nullptr, varnik::PixelDescriptor::eRGBA);
            glCheckFramebufferStatusEXT = fSaved;
            EXPECT_EQ(GLRecorder::Maps(GL_PIXEL_PACK_BUFFER) > 0, bStrips);
        }
        EXPECT_EQ(FirstDifference(BytesOf(cFromUpload), BytesOf(*pSource)), -1);
        ASSERT_EQ(cFromDrawing.Width(), 300u);
        ASSERT_EQ(cFromDrawing.Height(), 200u);
        EXPECT_EQ(FirstDifference(BytesOf(cFromDrawing), aGreen), -1);
    }
}

namespace {
/// An image whose channel normalisation does nothing.
class StubbornImage : public Image
{
public:
    void NormalizeChannels() override {}
};
} // namespace

TEST_F(TextureTest, UploadErrorsSayWhatWentWrong)
{
    VarnikTexture cTexture;
    EXPECT_EQ(ErrorTextOf([&] { cTexture.CopyFrom(nullptr, nullptr); }),
              "VarnikTexture::CopyFrom -- Image has no associated data");
    Image cEmpty;
    EXPECT_EQ(ErrorTextOf([&] { cTexture.CopyFrom(&cEmpty, nullptr); }),
              "VarnikTexture::CopyFrom -- Image has no associated data");
    EXPECT_EQ(ErrorTextOf([&] { cTexture.ReplaceWith(&cEmpty, nullptr); }),
              "VarnikTexture::ReplaceWith -- Image has no associated data");
    StubbornImage cThree;
    cThree.create(8, 8, 3, Image::e8integer);
    EXPECT_EQ(ErrorTextOf([&] { cTexture.CopyFrom(&cThree, nullptr); }),
              "VarnikTexture::CopyFrom -- Image is 3 channels. Images must be 2 or 4 channels.");
    EXPECT_EQ(cTexture.OpenGLName(), 0u);

    // Not live: the upload happens, then the error.
    std::unique_ptr<Image> pImage = PatternImage(16, 16, 4, Image::e8integer, 1);
    cTexture.SetLive(false);
    try {
        cTexture.CopyFrom(pImage.get(), nullptr);
        ADD_FAILURE() << "no error";
    } catch (varnik::Error* pError) {
        EXPECT_EQ(pError->Text(), "Non-live texture loaded onto GPU");
        EXPECT_EQ(pError->Function(), "VarnikTexture::CopyFrom");
        EXPECT_EQ(pError->File(), "src/plugins/Texture/Texture");
        EXPECT_EQ(pError->Code(), 4);
        varnik::Error::Discard(pError);
    }
    EXPECT_EQ(cTexture.Location(), 1u);
    EXPECT_EQ(varnik::test::ReadTextureRGBA8(cTexture.OpenGLName(), 16, 16), BytesOf(*pImage));
    cTexture.SetLive(true);
}

TEST_F(TextureTest, FormatsWithoutUploadLayoutAreLoggedAndSendNothing)
{
    std::unique_ptr<Image> pGood = PatternImage(16, 16, 4, Image::e8integer, 1);
    VarnikTexture cOnGPU;
    cOnGPU.CopyFrom(pGood.get(), nullptr);
    const GLuint iName = cOnGPU.OpenGLName();
    for (Image::Format eFormat : {Image::e32integer, Image::e16depth, Image::e24depth, Image::e32depth}) {
        for (unsigned int iChannels : {2u, 4u}) {
            SCOPED_TRACE(testing::Message() << "format " << eFormat << " channels " << iChannels);
            Image cImage;
            cImage.create(16, 16, iChannels, eFormat);
            VarnikTexture cFresh;
            const int64_t iReports = varnik::Kernel::VideoMemoryReportCount();
            GLRecorder cRecorder;
            LogRecorder cLog;
            cFresh.CopyFrom(&cImage, nullptr);
            cOnGPU.CopyFrom(&cImage, nullptr);
            EXPECT_EQ(cLog.Count("cannot be uploaded"), 2);
            EXPECT_TRUE(ErrorTextOf([&] { cOnGPU.ReplaceWith(&cImage, nullptr); }).contains("cannot be uploaded"));
            EXPECT_TRUE(GLRecorder::Calls().empty());
            EXPECT_EQ(varnik::Kernel::VideoMemoryReportCount(), iReports);
            EXPECT_EQ(cFresh.OpenGLName(), 0u);
            EXPECT_EQ(cFresh.Location(), 0u);
            EXPECT_EQ(cOnGPU.OpenGLName(), iName);
            EXPECT_EQ(cOnGPU.Format(), Image::e8integer);
        }
    }
    EXPECT_EQ(varnik::test::ReadTextureRGBA8(iName, 16, 16), BytesOf(*pGood));
}

TEST_F(TextureTest, ReadbackErrorsSayWhatWentWrong)
{
    Image cImage;
    auto copyTo = [&](VarnikTexture& t) {
        return ErrorTextOf([&] { t.CopyTo(&cImage, true, nullptr, varnik::PixelDescriptor::eRGBA); });
    };
    auto readGL = [&](VarnikTexture& t) {
        return ErrorTextOf([&] { t.CopyGLTextureToImage(&cImage, true, nullptr, varnik::PixelDescriptor::eRGBA); });
    };
    VarnikTexture cUnplaced;
    EXPECT_EQ(copyTo(cUnplaced), "VarnikTexture::CopyTo Called on a texture with an unknown location!");
    EXPECT_EQ(readGL(cUnplaced), "VarnikTexture::CopyGLTextureToImage Called on texture not currently on the GPU");

    // A recorded proxy level with content uploaded but no backing image.
    std::unique_ptr<Image> pImage = PatternImage(32, 32, 4, Image::e8integer, 1);
    VarnikTexture cProxied;
    EXPECT_TRUE(cProxied.setProxyLevel(1, false));
    cProxied.CopyFrom(pImage.get(), nullptr);
    EXPECT_EQ(copyTo(cProxied), "VarnikTexture::CopyTo Called on a proxied texture!");
    EXPECT_EQ(readGL(cProxied), "VarnikTexture::CopyGLTextureToImage Called on a proxied texture!");

    TextureProbe cFreed;
    cFreed.CopyFrom(pImage.get(), nullptr);
    cFreed.Free();
    EXPECT_EQ(copyTo(cFreed), "VarnikTexture::CopyTo Called on a texture with no texture ID!");

    VarnikTexture cNoFormat;
    cNoFormat.Create(16, 16, 4, Image::eNoFormat);
    EXPECT_EQ(readGL(cNoFormat), "Bad Pixel type in VarnikTexture::copyTo");

    VarnikTexture cInteger;
    cInteger.Create(16, 16, 4, Image::e32integer);
    try {
        cInteger.SetAsRenderTarget();
        ADD_FAILURE() << "no error";
    } catch (varnik::Error* pError) {
        EXPECT_EQ(pError->Text(), "Unknown image format");
        EXPECT_TRUE(pError->Function().isEmpty());
        EXPECT_EQ(pError->Code(), 4);
        varnik::Error::Discard(pError);
    }
}

TEST_F(TextureTest, SizesGoToGLAsGivenAndDegenerateTilesAreHarmless)
{
    // Sizes GL cannot hold are GL's to refuse: its error is logged, the memory reported.
    VarnikTexture cTexture;
    const unsigned int iTooBig = VarnikTexture::MaxTextureSize() + 1;
    const int64_t iStart = varnik::Kernel::VideoMemoryUsage();
    LogRecorder cLog;
    cTexture.Create(0, 16, 4, Image::e8integer);
    EXPECT_EQ(cTexture.Location(), 1u);
    EXPECT_EQ(cLog.Count("gl error"), 0);
    cTexture.Create(iTooBig, 4, 4, Image::e8integer);
    EXPECT_EQ(varnik::Kernel::VideoMemoryUsage() - iStart, int64_t(iTooBig) * 16);
    EXPECT_TRUE(cLog.Contains("in VarnikTexture::Create (file src/plugins/Texture/Texture, line "));
    Image cWide;
    cWide.create(iTooBig, 2, 4, Image::e8integer);
    cTexture.CopyFrom(&cWide, nullptr);
    EXPECT_EQ(cTexture.Width(), iTooBig);
    EXPECT_TRUE(cLog.Contains("gl error: ") && cLog.Contains("in VarnikTexture::CopyFrom"));

    std::unique_ptr<Image> pImage = PatternImage(200, 150, 4, Image::e8integer, 1);
    cTexture.CopyFrom(pImage.get(), nullptr);
    const ImgTile cOutside(500, 500, 10, 10);
    std::unique_ptr<Image> pOther = PatternImage(200, 150, 4, Image::e8integer, 2);
    cTexture.CopyFrom(pOther.get(), &cOutside);
    EXPECT_EQ(varnik::test::ReadTextureRGBA8(cTexture.OpenGLName(), 200, 150), BytesOf(*pImage));

    // A readback tile outside the texture reads nothing and puts the state back.
    GLuint iFramebuffer = 0;
    glGenFramebuffersEXT(1, &iFramebuffer);
    glBindFramebufferEXT(GL_FRAMEBUFFER, iFramebuffer);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    Image cRead;
    cTexture.CopyGLTextureToImage(&cRead, true, &cOutside, varnik::PixelDescriptor::eRGBA);
    GLint iBound = 0, iAlignment = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &iBound);
    glGetIntegerv(GL_PACK_ALIGNMENT, &iAlignment);
    EXPECT_EQ(GLuint(iBound), iFramebuffer);
    EXPECT_EQ(iAlignment, 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    EXPECT_EQ(cRead.Width(), 200u);
    glBindFramebufferEXT(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffersEXT(1, &iFramebuffer);
}

TEST_F(TextureTest, FramebufferStatusAndGLErrorsAreLoggedInWords)
{
    LogRecorder cLog;
    const struct { GLenum iStatus; const char* sText; } aCases[] = {
        {0x8CD6, "Texture: Framebuffer incomplete: No attachment (at line 7)"},
        {0x8CD7, "Texture: Framebuffer incomplete: Missing attachment (at line 7)"},
        {0x8CD9, "Texture: Framebuffer incomplete: Missing dimensions (at line 7)"},
        {0x8CDA, "Texture: Framebuffer incomplete: Missing format (at line 7)"},
        {0x8CDB, "Texture: Framebuffer incomplete: Missing drawbuffer (at line 7)"},
        {0x8CDC, "Texture: Framebuffer incomplete: Missing readbuffer (at line 7)"},
        {0x8CDD, "Texture: Framebuffer unsupported (at line 7)"},
        {0x8D56, "Texture: Framebuffer incomplete (Multisample) (at line 7)"},
        {0x8CD8, "Texture: Unknown framebuffer object error (at line 7) (code: 0x8cd8)"},
        {0x12, "Texture: Unknown framebuffer object error (at line 7) (code: 0x0012)"},
    };
    for (const auto& c : aCases) {
        cLog.Clear();
        VarnikTexture::LogFramebufferStatus(c.iStatus, 7);
        EXPECT_EQ(cLog.Text(), QString(c.sText));
    }
    cLog.Clear();
    VarnikTexture::LogFramebufferStatus(GL_FRAMEBUFFER_COMPLETE, 7);
    VarnikTexture::LogFramebufferStatus(0, 7);
    EXPECT_TRUE(cLog.Text().isEmpty());

    // A framebuffer with nothing attached, checked for real.
    GLuint iFramebuffer = 0;
    glGenFramebuffersEXT(1, &iFramebuffer);
    glBindFramebufferEXT(GL_FRAMEBUFFER, iFramebuffer);
    EXPECT_EQ(VarnikTexture::CheckFramebufferStatus(99), GLenum(GL_FRAMEBUFFER_INCOMPLETE_MISSING_ATTACHMENT));
    glBindFramebufferEXT(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffersEXT(1, &iFramebuffer);
    EXPECT_EQ(cLog.Text(), "Texture: Framebuffer incomplete: Missing attachment (at line 99)");

    cLog.Clear();
    VarnikTexture::LogGLError(GL_INVALID_ENUM, "VarnikTexture::CopyGLTextureToImage", 12);
    EXPECT_EQ(cLog.Text(), QString("gl error: %1 in VarnikTexture::CopyGLTextureToImage (file "
                                   "src/plugins/Texture/Texture, line 12)\n")
                               .arg(reinterpret_cast<const char*>(gluErrorString(GL_INVALID_ENUM))));
}

TEST(TextureBaseTest, ProxyLevelAndBitDepth)
{
    EXPECT_EQ(varnik::Texture::ProxyLevel(1.f, 1024), 0);
    EXPECT_EQ(varnik::Texture::ProxyLevel(0.25f, 1024), 1);
    EXPECT_EQ(varnik::Texture::ProxyLevel(0.2f, 1024), 2);
    EXPECT_EQ(varnik::Texture::ProxyLevel(0.f, 1024), 4);
    EXPECT_EQ(varnik::Texture::ProxyLevel(-3.f, 1024), 4);
    EXPECT_EQ(varnik::Texture::ProxyLevel(0.f, 4), 1) << "4 >> 2 would fall below 2";
    EXPECT_EQ(varnik::Texture::ProxyLevel(0.01f, 1), 0);
    const unsigned int aBits[] = {8, 16, 32, 16, 32, 16, 24, 32, 8};
    for (unsigned int i = 0; i < 9; ++i)
        EXPECT_EQ(varnik::Texture::BitDepth(Image::Format(i)), aBits[i]) << i;
}

TEST_F(TextureTest, BaseCopyDrawsScaledAndPutsBindingsBack)
{
    std::vector<uint8_t> aLeftRed(64 * 64 * 4, 255);
    for (size_t i = 0; i < aLeftRed.size(); i += 4) {
        const bool bLeft = (i / 4) % 64 < 32;
        aLeftRed[i] = bLeft ? 255 : 0;
        aLeftRed[i + 1] = 0;
        aLeftRed[i + 2] = bLeft ? 0 : 255;
    }
    std::unique_ptr<Image> pImage = ImageFrom(aLeftRed.data(), 64, 64, Image::e8integer);
    VarnikTexture cSource, cTarget;
    cSource.CopyFrom(pImage.get(), nullptr);
    cTarget.Create(16, 8, 4, Image::e8integer);

    GLuint aFramebuffers[2];
    glGenFramebuffersEXT(2, aFramebuffers);
    glBindFramebufferEXT(GL_READ_FRAMEBUFFER, aFramebuffers[0]);
    glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER, aFramebuffers[1]);
    glViewport(3, 4, 50, 60);
    cSource.varnik::Texture::CopyTo(cTarget);
    GLint iRead = 0, iDraw = 0, aViewport[4];
    glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &iRead);
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &iDraw);
    glGetIntegerv(GL_VIEWPORT, aViewport);
    EXPECT_EQ(GLuint(iRead), aFramebuffers[0]);
    EXPECT_EQ(GLuint(iDraw), aFramebuffers[1]);
    EXPECT_EQ(aViewport[0], 3);
    EXPECT_EQ(aViewport[3], 60);
    glBindFramebufferEXT(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffersEXT(2, aFramebuffers);
    glViewport(0, 0, 1, 1);

    const std::vector<uint8_t> aPixels = varnik::test::ReadTextureRGBA8(cTarget.OpenGLName(), 16, 8);
    EXPECT_EQ(aPixels[(3 * 16 + 2) * 4 + 0], 255);  // left half stays red
    EXPECT_EQ(aPixels[(3 * 16 + 2) * 4 + 2], 0);
    EXPECT_EQ(aPixels[(3 * 16 + 13) * 4 + 2], 255);  // right half blue
    EXPECT_EQ(aPixels[(3 * 16 + 13) * 4 + 0], 0);

    VarnikTexture cEmpty;
    EXPECT_TRUE(ErrorTextOf([&] { cEmpty.varnik::Texture::CopyTo(cTarget); }).contains("OpenGL storage"));
}

// The copy covers the whole target whatever scissor box and colour mask the
// caller left set, and leaves both as it found them.
TEST_F(TextureTest, BaseCopyIgnoresTheCallersScissorAndColourMask)
{
    const std::vector<uint8_t> aWhite(32 * 32 * 4, 255);
    std::unique_ptr<Image> pImage = ImageFrom(aWhite.data(), 32, 32, Image::e8integer);
    VarnikTexture cSource, cTarget;
    cSource.CopyFrom(pImage.get(), nullptr);
    cTarget.Create(16, 16, 4, Image::e8integer);
    PaintRect(cTarget.OpenGLName(), ImgTile(0, 0, 16, 16), 0.f, 0.f, 0.f, 0.f);

    glEnable(GL_SCISSOR_TEST);
    glScissor(0, 0, 2, 2);
    glColorMask(GL_TRUE, GL_FALSE, GL_TRUE, GL_FALSE);
    cSource.varnik::Texture::CopyTo(cTarget);
    const GLboolean bScissor = glIsEnabled(GL_SCISSOR_TEST);
    GLint aBox[4];
    glGetIntegerv(GL_SCISSOR_BOX, aBox);
    GLboolean aMask[4];
    glGetBooleanv(GL_COLOR_WRITEMASK, aMask);
    glDisable(GL_SCISSOR_TEST);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);

    EXPECT_TRUE(bScissor);
    EXPECT_EQ(aBox[2], 2);
    EXPECT_FALSE(aMask[1]);
    EXPECT_TRUE(aMask[2]);
    EXPECT_EQ(FirstDifference(varnik::test::ReadTextureRGBA8(cTarget.OpenGLName(), 16, 16),
                              std::vector<uint8_t>(16 * 16 * 4, 255)),
              -1);
}

TEST_F(TextureTest, AddDirtyPixelMarksOneTexel)
{
    VarnikTexture cTexture;
    cTexture.AddDirtyPixel(5, 6);
    EXPECT_EQ(cTexture.DirtyRegion().BoundingBox(), ImgTile(5, 6, 1, 1));
}

TEST(TextureModuleTest, TheBuiltModuleLoadsRegistersAndUnloads)
{
    // In a child process, so the module's records do not outlive the test.
    EXPECT_EXIT(
        {
            varnik::PluginLoader cLoader;
            if (!cLoader.Load(QStringLiteral(VARNIK_PLUGIN_DIR "/Texture.so")))
                std::_Exit(2);
            cLoader.InitializeAll();
            varnik::Plugin* pPlugin = nullptr;
            for (varnik::Plugin* p : varnik::Plugin::All())
                if (p->Name() == "Texture")
                    pPlugin = p;
            if (!pPlugin || pPlugin->Description() != "Default Texture Class Implementation" ||
                !pPlugin->IsInitialized() || pPlugin == &s_cPlugin)
                std::_Exit(3);
            // The interface now makes the module's texture, not this program's.
            varnik::Node* pNode = varnik::Kernel::CreateClassInstance(varnik::Texture::StaticClass());
            auto* pTexture = dynamic_cast<varnik::Texture*>(pNode);
            if (!pTexture || pNode->RuntimeClass()->Name() != "VarnikTexture" ||
                pNode->RuntimeClass() == &VarnikTexture::s_cMyClass || pTexture->Location() != 0)
                std::_Exit(4);
            delete pNode;
            cLoader.UnloadAll();
            if (varnik::ClassDesc::FindImplementation(varnik::Texture::StaticClass()) != &VarnikTexture::s_cMyClass)
                std::_Exit(5);
            std::_Exit(0);
        },
        testing::ExitedWithCode(0), "");
}
