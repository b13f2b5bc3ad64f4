// VarnikTexture: upload, readback, sizing, storage, error messages, location
// and proxy levels, versions and dirty state, the varnik::Texture base, loading
// the built module, and the self-test node.
#include "TextureTestKit.h"
#include "TextureTester.h"
#include "varnik/Half.h"

using namespace texkit;
using varnik::test::ErrorRecordOf;
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

class TextureTest : public varnik::test::GLTest
{
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        VarnikTexture::InitializePlugin();
        m_iTexturesAtStart = VarnikTexture::TextureCount();
    }
    void TearDown() override
    {
        EXPECT_EQ(VarnikTexture::TextureCount(), m_iTexturesAtStart) << "a texture outlived its test";
        GLTest::TearDown();
    }
    int64_t Ledger() const { return varnik::Kernel::VideoMemoryUsage() - m_iLedgerAtStart; }

    int m_iTexturesAtStart = 0;  ///< live VarnikTexture objects before the test
};

const uint8_t s_aRed[4] = {255, 0, 0, 255};
const uint8_t s_aGreen[4] = {0, 255, 0, 255};
const uint8_t s_aBlue[4] = {0, 0, 255, 255};

/// Paints `t` in `aColor` on the GPU, marks it dirty, and applies it to the model.
void Paint(TextureProbe& cTexture, std::vector<uint8_t>& aModel, int iWidth, const ImgTile& t, const uint8_t aColor[4])
{
    PaintRect(cTexture.OpenGLName(), t, aColor[0] / 255.f, aColor[1] / 255.f, aColor[2] / 255.f, aColor[3] / 255.f);
    cTexture.AddDirtyTile(t);
    FillModel(aModel, iWidth, t, aColor);
}

/// Steps through the history as WalkVersions does, reading the GPU.
void Walk(TextureProbe& cTexture, const char* sSteps, const std::vector<std::vector<uint8_t>>& aStates, int iWidth,
          int iHeight)
{
    varnik::test::WalkVersions(cTexture, sSteps, aStates, [&] { return GpuPixels(cTexture, iWidth, iHeight); });
}

/// Makes the framebuffer check answer "unsupported": readback takes the whole-level path.
GLenum GLAPIENTRY Unsupported(GLenum) { return GL_FRAMEBUFFER_UNSUPPORTED; }

/// An image whose channel normalisation does nothing.
class StubbornImage : public Image
{
public:
    void NormalizeChannels() override {}
};

struct Shape { Image::Format eFormat; unsigned int iChannels; };
const Shape s_aUploadShapes[] = {
    {Image::e8integer, 2}, {Image::e8integer, 4}, {Image::e16integer, 2}, {Image::e16integer, 4},
    {Image::e16float, 2},  {Image::e16float, 4},  {Image::e32float, 2},   {Image::e32float, 4},
};

} // namespace

TEST_F(TextureTest, EveryUploadFormatRoundTripsWholeAndByTileOnBothPaths)
{
    // 200x150 takes the strip path; 140x90 is below 128 on one side and reads the whole level.
    const int aSizes[][2] = {{200, 150}, {140, 90}};
    for (const Shape& s : s_aUploadShapes) {
        for (const auto& aSize : aSizes) {
            const int w = aSize[0], h = aSize[1];
            const bool bStrips = h >= 128;
            for (bool bBGRA : {false, true}) {
                SCOPED_TRACE(testing::Message() << "format " << s.eFormat << " channels " << s.iChannels << " size "
                                                << w << "x" << h << " bgra " << bBGRA);
                PreferenceOverride cPref(s_cUseBGRA8Readback.m_pAttribute, bBGRA);
                std::unique_ptr<Image> pBase = PatternImage(w, h, s.iChannels, s.eFormat, 1);
                std::unique_ptr<Image> pFirst = PatternImage(w, h, s.iChannels, s.eFormat, 2);
                std::unique_ptr<Image> pSecond = PatternImage(w, h, s.iChannels, s.eFormat, 3);
                VarnikTexture cTexture;
                cTexture.CopyFrom(pBase.get(), nullptr);
                EXPECT_EQ(Ledger(), int64_t(w) * h * pBase->BytesPerPixel());
                const int64_t iReports = varnik::Kernel::VideoMemoryReportCount();

                // A tile hanging over the right and bottom edges uploads only the overlap.
                const ImgTile cUp(w - 40, h - 30, 100, 100), cInside(w - 40, h - 30, 40, 30);
                cTexture.CopyFrom(pFirst.get(), &cUp);
                Image cRead;
                cTexture.CopyGLTextureToImage(&cRead, true, nullptr, varnik::PixelDescriptor::eRGBA);
                ASSERT_EQ(cRead.format(), s.eFormat);
                EXPECT_EQ(MaxDifference(BytesOf(cRead, cInside), BytesOf(*pFirst, cInside)), 0);
                const ImgTile cLeft(0, 0, w - 40, h);
                EXPECT_EQ(MaxDifference(BytesOf(cRead, cLeft), BytesOf(*pBase, cLeft)), 0);

                // The strip path reads only the tile; the whole-level path refreshes everything.
                // An odd texel count takes the red-blue swap past its four-texel steps.
                cTexture.CopyFrom(pSecond.get(), nullptr);
                const ImgTile cDown(10, 20, 51, 39);
                cTexture.CopyGLTextureToImage(&cRead, true, &cDown, varnik::PixelDescriptor::eRGBA);
                EXPECT_EQ(MaxDifference(BytesOf(cRead, cDown), BytesOf(*pSecond, cDown)), 0);
                const ImgTile cAbove(0, 0, w, 20);
                EXPECT_EQ(MaxDifference(BytesOf(cRead, cInside), BytesOf(bStrips ? *pFirst : *pSecond, cInside)), 0);
                EXPECT_EQ(MaxDifference(BytesOf(cRead, cAbove), BytesOf(bStrips ? *pBase : *pSecond, cAbove)), 0);
                EXPECT_EQ(varnik::Kernel::VideoMemoryReportCount(), iReports) << "the same shape allocates nothing";
            }
        }
    }
}

// Luminance keeps red, RGB the first three; depth reads as 16 or 32 bits; on
// the strip path (150) and the whole-level one (64), the framebuffer put back.
TEST_F(TextureTest, OddChannelCountsAndDepthReadBackInTheirOwnLayout)
{
    struct Case { unsigned int iChannels; Image::Format eFormat, eRead; };
    const Case aCases[] = {{1, Image::e8integer, Image::e8integer}, {3, Image::e8integer, Image::e8integer},
                           {1, Image::e24depth, Image::e16depth},   {1, Image::e32depth, Image::e32depth}};
    for (const Case& k : aCases) {
        for (int iSize : {150, 64}) {
            SCOPED_TRACE(testing::Message() << k.iChannels << " channels, format " << k.eFormat << ", size " << iSize);
            VarnikTexture cTexture;
            cTexture.Create(unsigned(iSize), unsigned(iSize), k.iChannels, k.eFormat);
            const std::vector<uint8_t> aRGBA = MakeRGBA8(iSize, iSize, 11);
            const bool bColour = k.eFormat == Image::e8integer;
            if (bColour) {
                glBindTexture(GL_TEXTURE_2D, cTexture.OpenGLName());
                glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, iSize, iSize, GL_RGBA, GL_UNSIGNED_BYTE, aRGBA.data());
            }
            Image cRead;
            cTexture.CopyGLTextureToImage(&cRead, true, nullptr, varnik::PixelDescriptor::eRGBA);
            ASSERT_EQ(cRead.format(), k.eRead);
            ASSERT_EQ(cRead.ChannelCount(), k.iChannels);
            EXPECT_EQ(varnik::test::GLInteger(GL_FRAMEBUFFER_BINDING), 0);
            const std::vector<uint8_t> aBytes = ImageBytes(cRead);
            for (size_t p = 0; bColour && p < aBytes.size() / k.iChannels; p += 97)
                for (unsigned int c = 0; c < k.iChannels; ++c)
                    ASSERT_EQ(aBytes[p * k.iChannels + c], aRGBA[p * 4 + c]) << "pixel " << p << " channel " << c;
        }
    }
}

// One buffer map per band or strip, each inside the operation's crash scope.
TEST_F(TextureTest, UploadBandsFallAsRowsGetWiderReadbackStripsAsComponentsDo)
{
    struct Case { int iWidth, iHeight; Image::Format eFormat; int iBands, iStrips; };
    const Case aCases[] = {
        {2048, 1100, Image::e8integer, 2, 1},  // 8192-byte rows: bands of 1024
        {2049, 600, Image::e8integer, 2, 1},   // 8196-byte rows: 512
        {2048, 300, Image::e32float, 2, 1},    // 32768-byte rows: 256
        {128, 3000, Image::e8integer, 3, 2},   // strips of 2048 rows
        {128, 3000, Image::e32float, 3, 6},    // 512
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(testing::Message() << c.iWidth << "x" << c.iHeight << " format " << c.eFormat);
        std::unique_ptr<Image> pImage = PatternImage(c.iWidth, c.iHeight, 4, c.eFormat, 6);
        VarnikTexture cTexture;
        Image cRead;
        MapRecorder cRecorder;
        cTexture.CopyFrom(pImage.get(), nullptr);
        cTexture.CopyGLTextureToImage(&cRead, true, nullptr, varnik::PixelDescriptor::eRGBA);
        EXPECT_EQ(MapRecorder::Maps(GL_PIXEL_UNPACK_BUFFER, CrashScope::eCopyFrom), c.iBands);
        EXPECT_EQ(MapRecorder::Maps(GL_PIXEL_PACK_BUFFER, CrashScope::eCopyGLTextureToImage), c.iStrips);
        EXPECT_EQ(MaxDifference(ImageBytes(cRead), ImageBytes(*pImage)), 0);
    }
}

TEST_F(TextureTest, PowerOfTwoTexturesRoundTripOnBothReadbackPaths)
{
    PreferenceOverride cPot(VarnikTexture::s_pUsePot, true);
    std::unique_ptr<Image> pSource = PatternImage(300, 200, 4, Image::e8integer, 3);
    std::vector<uint8_t> aGreen(300 * 200 * 4);
    FillModel(aGreen, 300, ImgTile(0, 0, 300, 200), s_aGreen);
    for (bool bStrips : {true, false}) {
        SCOPED_TRACE(bStrips ? "strips" : "whole level");
        VarnikTexture cUploaded;
        TextureProbe cDrawn;
        cUploaded.Create(300, 200, 4, Image::e8integer);
        cUploaded.CopyFrom(pSource.get(), nullptr);
        // Storage of 300 x 200 behind a texture size of 512 x 256, drawn into.
        cDrawn.Create(300, 200, 4, Image::e8integer);
        EXPECT_EQ(GLTextureSize(cDrawn.OpenGLName()), std::make_pair(300, 200));
        EXPECT_EQ(std::make_pair(cDrawn.TextureWidth(), cDrawn.TextureHeight()), std::make_pair(512u, 256u));
        PaintRect(cDrawn.OpenGLName(), ImgTile(0, 0, 300, 200), 0.f, 1.f, 0.f, 1.f);
        Image cFromUpload, cFromDrawing;
        {
            auto fSaved = glCheckFramebufferStatusEXT;
            if (!bStrips)
                glCheckFramebufferStatusEXT = &Unsupported;
            MapRecorder cRecorder;
            LogRecorder cLog;
            cUploaded.CopyGLTextureToImage(&cFromUpload, true, nullptr, varnik::PixelDescriptor::eRGBA);
            cDrawn.CopyGLTextureToImage(&cFromDrawing, true, nullptr, varnik::PixelDescriptor::eRGBA);
            glCheckFramebufferStatusEXT = fSaved;
            EXPECT_EQ(MapRecorder::Maps(GL_PIXEL_PACK_BUFFER) > 0, bStrips);
            // The refusal is logged with the module's prefix and the line.
            EXPECT_EQ(cLog.Contains("Texture: Framebuffer unsupported (at line "), !bStrips);
        }
        EXPECT_EQ(MaxDifference(ImageBytes(cFromUpload), ImageBytes(*pSource)), 0);
        EXPECT_EQ(MaxDifference(ImageBytes(cFromDrawing), aGreen), 0) << "a drawing of another size";
    }
}

TEST_F(TextureTest, UploadAndReadbackErrorsSayWhatWentWrong)
{
    VarnikTexture cTexture;
    EXPECT_EQ(ErrorTextOf([&] { cTexture.CopyFrom(nullptr, nullptr); }),
              "VarnikTexture::CopyFrom -- Image has no associated data");
    Image cEmpty;
    EXPECT_EQ(ErrorTextOf([&] { cTexture.ReplaceWith(&cEmpty, nullptr); }),
              "VarnikTexture::ReplaceWith -- Image has no associated data");
    StubbornImage cStubborn;
    cStubborn.create(8, 8, 3, Image::e8integer);
    EXPECT_EQ(ErrorTextOf([&] { cTexture.CopyFrom(&cStubborn, nullptr); }),
              "VarnikTexture::CopyFrom -- Image is 3 channels. Images must be 2 or 4 channels.");
    EXPECT_EQ(cTexture.OpenGLName(), 0u);
    // An image that does normalise goes up as four channels, alpha opaque.
    std::unique_ptr<Image> pThree = PatternImage(64, 32, 3, Image::e8integer, 4);
    cTexture.CopyFrom(pThree.get(), nullptr);
    const std::vector<uint8_t> aThree = varnik::test::ReadTextureRGBA8(cTexture.OpenGLName(), 64, 32);
    EXPECT_EQ(aThree, ImageBytes(*pThree));

    // Not live: the upload happens, then the error.
    std::unique_ptr<Image> pImage = PatternImage(16, 16, 4, Image::e8integer, 1);
    cTexture.SetLive(false);
    EXPECT_EQ(ErrorRecordOf([&] { cTexture.CopyFrom(pImage.get(), nullptr); }),
              "4|VarnikTexture::CopyFrom|src/plugins/Texture/Texture|Non-live texture loaded onto GPU");
    cTexture.SetLive(true);

    // Formats without an upload layout are logged (ReplaceWith refuses them) and send nothing.
    for (Image::Format eFormat : {Image::e32integer, Image::e16depth, Image::e24depth, Image::e32depth}) {
        SCOPED_TRACE(testing::Message() << "format " << eFormat);
        Image cImage;
        cImage.create(16, 16, 2, eFormat);
        VarnikTexture cFresh;
        const int64_t iReports = varnik::Kernel::VideoMemoryReportCount();
        LogRecorder cLog;
        cFresh.CopyFrom(&cImage, nullptr);
        cTexture.CopyFrom(&cImage, nullptr);
        EXPECT_EQ(cLog.Count("cannot be uploaded"), 2);
        EXPECT_TRUE(ErrorTextOf([&] { cTexture.ReplaceWith(&cImage, nullptr); }).contains("cannot be uploaded"));
        EXPECT_EQ(varnik::Kernel::VideoMemoryReportCount(), iReports);
        EXPECT_EQ(cFresh.Location(), 0u);
        EXPECT_EQ(cTexture.Format(), Image::e8integer);
    }
    EXPECT_EQ(varnik::test::ReadTextureRGBA8(cTexture.OpenGLName(), 16, 16), ImageBytes(*pImage));

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
    EXPECT_EQ(ErrorRecordOf([&] { cInteger.SetAsRenderTarget(); }), "4|||Unknown image format");
}

TEST_F(TextureTest, SizesGoToGLAsGivenAndDegenerateTilesAreHarmless)
{
    // Sizes GL cannot hold are GL's to refuse: its error is logged, the memory reported.
    VarnikTexture cTexture;
    const unsigned int iTooBig = VarnikTexture::MaxTextureSize() + 1;
    LogRecorder cLog;
    cTexture.Create(0, 16, 4, Image::e8integer);
    EXPECT_EQ(cLog.Count("gl error"), 0);
    cTexture.Create(iTooBig, 4, 4, Image::e8integer);
    EXPECT_EQ(Ledger(), int64_t(iTooBig) * 16);
    EXPECT_TRUE(cLog.Contains("in VarnikTexture::Create (file src/plugins/Texture/Texture, line "));
    Image cWide;
    cWide.create(iTooBig, 2, 4, Image::e8integer);
    cTexture.CopyFrom(&cWide, nullptr);
    EXPECT_TRUE(cLog.Contains("gl error: ") && cLog.Contains("in VarnikTexture::CopyFrom"));

    std::unique_ptr<Image> pImage = PatternImage(200, 150, 4, Image::e8integer, 1);
    cTexture.CopyFrom(pImage.get(), nullptr);
    EXPECT_EQ(Ledger(), 200 * 150 * 4) << "another shape replaces the storage";
    const ImgTile cOutside(500, 500, 10, 10);
    std::unique_ptr<Image> pOther = PatternImage(200, 150, 4, Image::e8integer, 2);
    cTexture.CopyFrom(pOther.get(), &cOutside);
    EXPECT_EQ(varnik::test::ReadTextureRGBA8(cTexture.OpenGLName(), 200, 150), ImageBytes(*pImage));

    // A readback tile outside the texture reads nothing and puts the state back.
    GLuint iFramebuffer = 0;
    glGenFramebuffersEXT(1, &iFramebuffer);
    glBindFramebufferEXT(GL_FRAMEBUFFER, iFramebuffer);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    Image cRead;
    cTexture.CopyGLTextureToImage(&cRead, true, &cOutside, varnik::PixelDescriptor::eRGBA);
    EXPECT_EQ(GLuint(varnik::test::GLInteger(GL_FRAMEBUFFER_BINDING)), iFramebuffer);
    EXPECT_EQ(varnik::test::GLInteger(GL_PACK_ALIGNMENT), 1);
    glPixelStorei(GL_PACK_ALIGNMENT, 4);
    glBindFramebufferEXT(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffersEXT(1, &iFramebuffer);
}

// The base copy draws scaled over the whole target, whatever framebuffers,
// viewport, scissor box and colour mask the caller left set, and puts them back.
TEST_F(TextureTest, BaseCopyDrawsScaledAndPutsTheCallersStateBack)
{
    std::vector<uint8_t> aLeftRed(64 * 64 * 4);
    FillModel(aLeftRed, 64, ImgTile(0, 0, 32, 64), s_aRed);
    FillModel(aLeftRed, 64, ImgTile(32, 0, 32, 64), s_aBlue);
    std::unique_ptr<Image> pImage = ImageFrom(aLeftRed.data(), 64, 64, Image::e8integer);
    VarnikTexture cSource, cTarget;
    cSource.CopyFrom(pImage.get(), nullptr);
    cTarget.Create(16, 8, 4, Image::e8integer);
    PaintRect(cTarget.OpenGLName(), ImgTile(0, 0, 16, 8), 0.f, 1.f, 0.f, 0.f);  // green and alpha are masked below

    GLuint aFramebuffers[2];
    glGenFramebuffersEXT(2, aFramebuffers);
    glBindFramebufferEXT(GL_READ_FRAMEBUFFER, aFramebuffers[0]);
    glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER, aFramebuffers[1]);
    glViewport(3, 4, 50, 60);
    glEnable(GL_SCISSOR_TEST);
    glScissor(0, 0, 2, 2);
    glColorMask(GL_TRUE, GL_FALSE, GL_TRUE, GL_FALSE);
    const varnik::test::GLStateSnapshot cBefore;
    cSource.varnik::Texture::CopyTo(cTarget);
    EXPECT_TRUE(varnik::test::GLStateSnapshot() == cBefore);
    glDisable(GL_SCISSOR_TEST);
    glColorMask(GL_TRUE, GL_TRUE, GL_TRUE, GL_TRUE);
    glBindFramebufferEXT(GL_FRAMEBUFFER, 0);
    glDeleteFramebuffersEXT(2, aFramebuffers);
    glViewport(0, 0, 1, 1);

    // Left half red, right half blue, outside the caller's scissor box too.
    std::vector<uint8_t> aWant(16 * 8 * 4);
    FillModel(aWant, 16, ImgTile(0, 0, 8, 8), s_aRed);
    FillModel(aWant, 16, ImgTile(8, 0, 8, 8), s_aBlue);
    EXPECT_EQ(MaxDifference(varnik::test::ReadTextureRGBA8(cTarget.OpenGLName(), 16, 8), aWant), 0);

    VarnikTexture cEmpty;
    EXPECT_TRUE(ErrorTextOf([&] { cEmpty.varnik::Texture::CopyTo(cTarget); }).contains("OpenGL storage"));
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

// Level 0 -> 1 -> 0 on the GPU: a half-size texture under a new name holding
// the box-filtered content, restored by SyncContent; the return gives back
// every full-resolution texel.
TEST_F(TextureTest, GpuProxyRoundTripAndSyncKeepFullResolutionPixels)
{
    const int W = 256, H = 128;
    const int64_t iFull = int64_t(W) * H * 4;
    std::vector<uint8_t> aOriginal = MakeRGBA8(W, H, 1);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aOriginal, W, H);
    const unsigned int iFullName = pTexture->OpenGLName();
    {
        MapRecorder cUploads;
        ASSERT_TRUE(pTexture->setProxyLevel(1, true)) << "bounded mode with nothing queued";
        EXPECT_EQ(MapRecorder::Maps(GL_PIXEL_UNPACK_BUFFER), 0) << "the GPU path draws the proxy";
    }
    EXPECT_FALSE(glIsTexture(iFullName)) << "the full-size texture should be deleted";
    ASSERT_EQ(GLTextureSize(pTexture->OpenGLName()), std::make_pair(W / 2, H / 2));
    EXPECT_EQ(Ledger(), iFull / 4);
    ASSERT_NE(pTexture->BackingImage(), nullptr) << "the full-resolution content must be kept on the CPU";
    const std::vector<uint8_t> aHalf = ImageBytes(*pTexture->BackingImage()->ProxyImage(1));
    EXPECT_LE(MaxDifference(GpuPixels(*pTexture, W / 2, H / 2), aHalf), 2);
    // SyncContent puts the backing image's proxy image back over paint on the GPU.
    PaintRect(pTexture->OpenGLName(), ImgTile(0, 0, W / 2, H / 2), 1.f, 0.f, 1.f, 1.f);
    pTexture->SyncContent();
    EXPECT_LE(MaxDifference(GpuPixels(*pTexture, W / 2, H / 2), aHalf), 2);

    ASSERT_TRUE(pTexture->setProxyLevel(0, false));
    EXPECT_EQ(Ledger(), iFull);
    EXPECT_EQ(MaxDifference(GpuPixels(*pTexture, W, H), aOriginal), 0) << "full-resolution texels lost";
    pTexture->SetLocation(2);  // in CPU memory SyncContent has nothing to upload
    pTexture->SyncContent();
    EXPECT_EQ(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(Ledger(), 0);
}

// With the GPU preference off the proxy is the backing image's proxy image,
// uploaded as it is; level 0 comes back bit for bit.
TEST_F(TextureTest, CpuProxyRoundTripKeepsFullResolutionFloats)
{
    PreferenceOverride cNoGpu(s_cUseGPUForProxies.m_pAttribute, false);
    const int W = 128, H = 160;
    std::vector<float> aOriginal = MakeRGBA32F(W, H, 2);
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    pTexture->CopyFrom(ImageFrom(aOriginal.data(), W, H, Image::e32float).get(), nullptr);
    {
        MapRecorder cUploads;
        ASSERT_TRUE(pTexture->setProxyLevel(1, false));
        EXPECT_GT(MapRecorder::Maps(GL_PIXEL_UNPACK_BUFFER), 0) << "without the GPU preference it is uploaded";
    }
    ASSERT_EQ(GLTextureSize(pTexture->OpenGLName()), std::make_pair(W / 2, H / 2));
    EXPECT_EQ(Ledger(), int64_t(W / 2) * (H / 2) * 16);
    EXPECT_TRUE(varnik::test::ReadTextureRGBA32F(pTexture->OpenGLName(), W / 2, H / 2) ==
                ImageFloats(*pTexture->BackingImage()->getProxyImage()));
    ASSERT_TRUE(pTexture->setProxyLevel(0, false));
    EXPECT_TRUE(varnik::test::ReadTextureRGBA32F(pTexture->OpenGLName(), W, H) == aOriginal)
        << "full-resolution floats lost on the way back";
}

// In CPU memory a proxy level is only recorded; moving back to the GPU
// uploads the image of that level, and level 0 restores every texel.
TEST_F(TextureTest, ProxyLevelInCpuMemoryIsUploadedOnReturn)
{
    const int W = 192, H = 256;
    std::vector<uint8_t> aOriginal = MakeRGBA8(W, H, 3);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aOriginal, W, H);
    pTexture->SetLocation(varnik::TexturePool::locationCPU);
    ASSERT_TRUE(pTexture->setProxyLevel(1, false));
    EXPECT_EQ(Ledger(), 0);
    const Image* pFull = pTexture->AsImage();
    ASSERT_NE(pFull, nullptr);
    EXPECT_EQ(MaxDifference(ImageBytes(*pFull), aOriginal), 0) << "AsImage() must stay full size at a proxy level";

    pTexture->SetLocation(varnik::TexturePool::locationGPU);
    ASSERT_EQ(GLTextureSize(pTexture->OpenGLName()), std::make_pair(W / 2, H / 2));
    EXPECT_EQ(Ledger(), int64_t(W / 2) * (H / 2) * 4);
    const std::vector<uint8_t> aHalf = ImageBytes(*pTexture->BackingImage()->ProxyImage(1));
    EXPECT_LE(MaxDifference(GpuPixels(*pTexture, W / 2, H / 2), aHalf), 1);
    ASSERT_TRUE(pTexture->setProxyLevel(0, false));
    EXPECT_EQ(MaxDifference(GpuPixels(*pTexture, W, H), aOriginal), 0);

    // Creating again brings the level back to 0.
    ASSERT_TRUE(pTexture->setProxyLevel(2, false));
    pTexture->Create(64, 32, 4, Image::e8integer);
    EXPECT_EQ(int(pTexture->getProxyLevel()), 0);
}

// No level may bring a side of the texture below two texels, each side on
// its own; levels above 4 act as 4; a refused level changes nothing.
// The video-memory figures show the other cases.
TEST(TextureBaseTest, ProxyLevelKeepsTwoTexelsASide)
{
    EXPECT_EQ(varnik::Texture::ProxyLevel(0.f, 4), 1) << "4 >> 2 would fall below 2";
}

TEST_F(TextureTest, SizeGuardAndLevelLimit)
{
    struct Case { int w, h; unsigned int iLevel; bool bOk; int iGot, gw, gh; };
    const Case aCases[] = {
        {4, 4, 1, true, 1, 2, 2},    {4, 64, 2, false, 0, 4, 64}, {64, 4, 2, false, 0, 64, 4},
        {16, 16, 9, false, 0, 16, 16}, {64, 32, 9, true, 4, 4, 2},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " level " << c.iLevel);
        std::unique_ptr<TextureProbe> p = UploadRGBA8(MakeRGBA8(c.w, c.h, 4), c.w, c.h);
        EXPECT_EQ(p->setProxyLevel(c.iLevel, false), c.bOk);
        EXPECT_EQ(int(p->getProxyLevel()), c.iGot);
        EXPECT_EQ(GLTextureSize(p->OpenGLName()), std::make_pair(c.gw, c.gh));
    }
}

// Returning a texture of 2048 or more to level 0 attaches it to the shared
// compositing framebuffer (made there when missing) and detaches it, leaving
// the caller's framebuffer bindings as they were.
TEST_F(TextureTest, ReturnToFullSizeAttachesLargeTextureToCompositingFramebuffer)
{
    varnik::TextureMixer::ReleaseSharedResources();
    GLuint aMine[2] = {0, 0};  // draw and read bindings of the caller
    glGenFramebuffersEXT(2, aMine);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, aMine[0]);
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    pTexture->Create(2048, 2048, 4, Image::e8integer);
    ASSERT_TRUE(pTexture->setProxyLevel(2, false));
    EXPECT_EQ(varnik::TextureMixer::s_iCompositingFBO, 0u) << "going down never touches it";
    glBindFramebufferEXT(GL_READ_FRAMEBUFFER, aMine[1]);
    ASSERT_TRUE(pTexture->setProxyLevel(0, false));
    EXPECT_EQ(GLuint(varnik::test::GLInteger(GL_DRAW_FRAMEBUFFER_BINDING)), aMine[0]);
    EXPECT_EQ(GLuint(varnik::test::GLInteger(GL_READ_FRAMEBUFFER_BINDING)), aMine[1]);
    ASSERT_TRUE(glIsFramebufferEXT(varnik::TextureMixer::s_iCompositingFBO));
    GLint iAttached = -1;
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, varnik::TextureMixer::s_iCompositingFBO);
    glGetFramebufferAttachmentParameterivEXT(GL_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0,
                                             GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME_EXT, &iAttached);
    EXPECT_EQ(iAttached, 0) << "detached again";
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    glDeleteFramebuffersEXT(2, aMine);
}

// SetLocation(2) then (1): the backing image is dropped on the way back when
// nothing in it needs keeping, and kept when it holds versions. A texture that
// is not live stays where it is.
TEST_F(TextureTest, MovesHonourTheKeepQueryAndLeaveNotLiveTexturesWhereTheyAre)
{
    const int W = 160, H = 144;
    std::vector<uint8_t> aOriginal = MakeRGBA8(W, H, 7);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aOriginal, W, H);
    pTexture->SetLive(false);
    pTexture->SetLocation(2);
    EXPECT_EQ(pTexture->AsImage(), nullptr) << "without a backing image there is nothing to hand out";
    EXPECT_EQ(pTexture->Location(), 1u);
    pTexture->SetLive(true);

    pTexture->SetLocation(2);
    ASSERT_NE(pTexture->BackingImage(), nullptr);
    EXPECT_EQ(MaxDifference(ImageBytes(*pTexture->BackingImage()), aOriginal), 0);
    pTexture->SetDirty(false);
    ASSERT_FALSE(pTexture->BackingImage()->Keep());
    pTexture->SetLocation(1);
    EXPECT_EQ(pTexture->BackingImage(), nullptr) << "an image the GPU copy can replace should be discarded";
    EXPECT_EQ(MaxDifference(GpuPixels(*pTexture, W, H), aOriginal), 0);

    // Versions stepped in CPU memory upload nothing; the way back uploads the
    // current one.
    pTexture->SetLocation(2);
    ASSERT_TRUE(pTexture->NewVersion());
    std::unique_ptr<Image> pOther = ImageFrom(MakeRGBA8(W, H, 8).data(), W, H, Image::e8integer);
    pTexture->ReplaceWith(pOther.get(), nullptr);
    EXPECT_EQ(MaxDifference(ImageBytes(*pTexture->AsImage()), ImageBytes(*pOther)), 0);
    ASSERT_TRUE(pTexture->PrevVersion());
    EXPECT_EQ(pTexture->OpenGLName(), 0u);
    pTexture->SetLive(false);
    pTexture->SetLocation(1);
    EXPECT_EQ(pTexture->Location(), 2u) << "not live";
    pTexture->SetLive(true);
    pTexture->SetDirty(false);
    pTexture->SetLocation(1);
    ASSERT_NE(pTexture->BackingImage(), nullptr) << "an image holding versions must be kept";
    EXPECT_EQ(pTexture->NumVersions(), 2);
    EXPECT_EQ(MaxDifference(GpuPixels(*pTexture, W, H), aOriginal), 0);
    // A move to where it is already leaves marked paint that was not read yet.
    Paint(*pTexture, aOriginal, W, ImgTile(10, 10, 20, 20), s_aRed);
    pTexture->SetLocation(1);
    EXPECT_EQ(MaxDifference(GpuPixels(*pTexture, W, H), aOriginal), 0);
}

TEST_F(TextureTest, VideoMemoryUsageFigures)
{
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    pTexture->Create(1024, 1024, 4, Image::e8integer);
    EXPECT_EQ(pTexture->VideoMemoryUsage(0.25f), 1048576);
    EXPECT_EQ(pTexture->VideoMemoryUsage(0.3f), 1048576) << "the smallest level whose share fits the factor";
    EXPECT_EQ(pTexture->VideoMemoryUsage(0.0f), 64 * 64 * 4);
    ASSERT_TRUE(pTexture->setProxyLevel(1, false));
    EXPECT_EQ(pTexture->VideoMemoryUsage(1.0f), 4194304) << "a factor asks about the full size";
    pTexture->SetLive(false);
    EXPECT_EQ(pTexture->VideoMemoryUsage(-1.0f), 0) << "-1 asks about the GPU of a live texture only";
    pTexture->SetLive(true);
    pTexture->SetLocation(2);
    EXPECT_EQ(pTexture->VideoMemoryUsage(-1.0f), 0) << "nothing is held on the GPU";

    // A level recorded before an upload: full size is 16 times the upload each
    // way, 32768 x 16384 RGBA32F, beyond 32 bits.
    std::unique_ptr<TextureProbe> pHuge = NewProbe();
    ASSERT_TRUE(pHuge->setProxyLevel(4, false));
    std::vector<float> aPixels(size_t(2048) * 1024 * 4, 0.5f);
    pHuge->CopyFrom(ImageFrom(aPixels.data(), 2048, 1024, Image::e32float).get(), nullptr);
    ASSERT_EQ(int(pHuge->getProxyLevel()), 4) << "an upload must not touch the proxy level";
    EXPECT_EQ(std::make_pair(pHuge->Width(), pHuge->Height()), std::make_pair(32768u, 16384u));
    EXPECT_EQ(pHuge->VideoMemoryUsage(-1.0f), int64_t(2048) * 1024 * 16);
    EXPECT_EQ(pHuge->VideoMemoryUsage(1.0f), int64_t(8589934592LL));
}

TEST_F(TextureTest, CheckValidityMessagesAndAProxyLevelOnlyRecorded)
{
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    pTexture->Create(64, 64, 4, Image::e8integer);
    // Creating while not live moves it to location 2 but leaves the GL texture.
    pTexture->SetLive(false);
    pTexture->Create(32, 32, 4, Image::e8integer);
    ASSERT_EQ(pTexture->Location(), 2u);
    EXPECT_EQ(ErrorTextOf([&] { pTexture->CheckValidity(varnik::Node::eFull); }), QString("bad live state"));
    pTexture->SetLive(true);
    EXPECT_EQ(ErrorRecordOf([&] { pTexture->CheckValidity(varnik::Node::eFull); }),
              "4|VarnikTexture::CheckValidity|src/plugins/Texture/Texture|bad texture state");
    std::unique_ptr<TextureProbe> pGood = NewProbe();  // CPU memory, and a proxy with its image
    pGood->Create(64, 64, 4, Image::e8integer);
    pGood->SetLocation(2);
    EXPECT_NO_THROW(pGood->CheckValidity(varnik::Node::eFull));
    pGood->SetLocation(1);
    ASSERT_TRUE(pGood->setProxyLevel(1, false));
    EXPECT_NO_THROW(pGood->CheckValidity(varnik::Node::eFull));

    // Without backing image or GPU texture a level is only recorded: no image
    // is invented, and the check reports the missing one.
    std::unique_ptr<TextureProbe> pEmpty = NewProbe();
    EXPECT_TRUE(pEmpty->setProxyLevel(1, false));
    EXPECT_EQ(pEmpty->BackingImage(), nullptr);
    EXPECT_EQ(ErrorTextOf([&] { pEmpty->CheckValidity(varnik::Node::eQuick); }),
              QString("No associated image data for proxied texture"));
}

// Without a backing image the version operations answer as a single clean
// version and make no image. Then change, NewVersion, change, PrevVersion,
// NextVersion on the GPU: NewVersion takes the painted GPU content into a new
// backing image first, and each step uploads the version it lands on.
TEST_F(TextureTest, GpuStepsUploadTheSelectedVersion)
{
    std::unique_ptr<TextureProbe> pEmpty = NewProbe();
    EXPECT_FALSE(pEmpty->NewVersion()) << "a texture that is not on the GPU has nothing to version";
    const int W = 256, H = 256;
    std::vector<uint8_t> aModel = MakeRGBA8(W, H, 2);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aModel, W, H);
    EXPECT_FALSE(pTexture->PrevVersion());
    EXPECT_EQ(pTexture->NumVersions(), 1);
    EXPECT_FALSE(pTexture->PurgeAllButCurrentVersion());
    pTexture->SetDirty(true);
    EXPECT_FALSE(pTexture->IsDirty()) << "SetDirty without a backing image does nothing";
    EXPECT_EQ(pTexture->BackingImage(), nullptr);
    Paint(*pTexture, aModel, W, ImgTile(16, 16, 32, 32), s_aRed);
    std::vector<std::vector<uint8_t>> aStates{aModel};
    ASSERT_TRUE(pTexture->NewVersion());
    ASSERT_NE(pTexture->BackingImage(), nullptr);
    EXPECT_EQ(MaxDifference(ImageBytes(*pTexture->BackingImage()), aStates[0]), 0)
        << "the new backing image must hold what was painted on the GPU";

    const ImgTile cTile(100, 120, 50, 40);
    std::unique_ptr<Image> pOther = ImageFrom(MakeRGBA8(W, H, 3).data(), W, H, Image::e8integer);
    pTexture->ReplaceWith(pOther.get(), &cTile);
    std::unique_ptr<Image> pModel = ImageFrom(aModel.data(), W, H, Image::e8integer);
    pModel->CopyRect(*pOther, cTile, cTile.x, cTile.y);
    aModel = ImageBytes(*pModel);
    aStates.push_back(aModel);
    ASSERT_EQ(MaxDifference(GpuPixels(*pTexture, W, H), aStates[1]), 0);
    Walk(*pTexture, "P0N1n1", aStates, W, H);

    // A backing image with nothing to keep is read afresh, unmarked paint
    // included, before a new version opens.
    ASSERT_TRUE(pTexture->PurgeAllButCurrentVersion());
    pTexture->SetDirty(false);
    ASSERT_FALSE(pTexture->BackingImage()->Keep());
    PaintRect(pTexture->OpenGLName(), ImgTile(20, 30, 50, 40), 0.f, 0.f, 1.f, 1.f);
    FillModel(aModel, W, ImgTile(20, 30, 50, 40), s_aBlue);
    ASSERT_TRUE(pTexture->NewVersion());
    EXPECT_EQ(pTexture->NumVersions(), 2);
    EXPECT_EQ(MaxDifference(ImageBytes(*pTexture->BackingImage()), aModel), 0);
    Walk(*pTexture, "P2", {{}, {}, aModel}, W, H);
}

// The host's stroke cycle: begin, paint, end, twice, nested begins and extra
// ends refused; undo and redo through every state, each marking the texture
// changed; a new operation after an undo drops the redo; merge and purges;
// proxies and moves leave the flag alone.
TEST_F(TextureTest, UndoableOperationsStepBackAndForth)
{
    const int W = 256, H = 192;
    std::vector<uint8_t> aModel = MakeRGBA8(W, H, 4);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aModel, W, H);
    std::vector<std::vector<uint8_t>> aStates{aModel};
    const ImgTile aTiles[2] = {ImgTile(10, 20, 100, 30), ImgTile(40, 40, 64, 64)};
    const uint8_t* aColors[2] = {s_aBlue, s_aGreen};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(pTexture->BeginUndoableOperation());
        EXPECT_FALSE(pTexture->BeginUndoableOperation());
        EXPECT_EQ(pTexture->NumVersions(), i + 2);
        Paint(*pTexture, aModel, W, aTiles[i], aColors[i]);
        ASSERT_TRUE(pTexture->EndUndoableOperation());
        EXPECT_FALSE(pTexture->EndUndoableOperation());
        aStates.push_back(aModel);
    }
    EXPECT_EQ(MaxDifference(ImageBytes(*pTexture->AsImage()), aStates[2]), 0)
        << "after the end the backing image holds the painted tiles";
    EXPECT_EQ(pTexture->Location(), 1u) << "a current backing image is returned without moving the texture";
    pTexture->SetDirty(false);
    Walk(*pTexture, "P1", aStates, W, H);
    EXPECT_TRUE(pTexture->IsDirty()) << "an undo marks the texture changed";
    pTexture->SetDirty(false);
    Walk(*pTexture, "N2n2", aStates, W, H);
    EXPECT_TRUE(pTexture->IsDirty()) << "a redo marks the texture changed";
    Walk(*pTexture, "P1P0p0N1", aStates, W, H);

    ASSERT_TRUE(pTexture->BeginUndoableOperation());
    EXPECT_EQ(pTexture->NumVersions(), 3) << "the newer version must be purged before the new one opens";
    aStates.push_back(aStates[1]);
    Paint(*pTexture, aStates[3], W, ImgTile(200, 150, 20, 20), s_aRed);
    ASSERT_TRUE(pTexture->EndUndoableOperation());
    Walk(*pTexture, "n3P1", aStates, W, H);

    EXPECT_TRUE(pTexture->MergeOldestVersions());
    EXPECT_EQ(pTexture->NumVersions(), 2);
    EXPECT_TRUE(pTexture->PurgeAllButCurrentVersion());
    EXPECT_EQ(pTexture->NumVersions(), 1);
    pTexture->SetDirty(false);
    ASSERT_TRUE(pTexture->setProxyLevel(1, false) && pTexture->setProxyLevel(0, false));
    pTexture->SetLocation(2);
    pTexture->SetLocation(1);
    EXPECT_FALSE(pTexture->IsDirty()) << "proxy levels and moves are no change";
}

// Readback reads the dirty tiles and nothing else: painting that was never
// marked stays out of the backing image; AddDirtyTile marks it stale.
TEST_F(TextureTest, SynchronizationReadsOnlyDirtyTiles)
{
    const int W = 512, H = 512;
    std::vector<uint8_t> aModel = MakeRGBA8(W, H, 10);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aModel, W, H);
    ASSERT_TRUE(pTexture->BeginUndoableOperation());
    ASSERT_TRUE(pTexture->EndUndoableOperation());
    std::vector<std::vector<uint8_t>> aStates{aModel};

    // Unmarked paint, then a marked rectangle touching four 64-texel cells.
    PaintRect(pTexture->OpenGLName(), ImgTile(300, 300, 40, 40), 1.f, 1.f, 0.f, 1.f);
    Paint(*pTexture, aModel, W, ImgTile(60, 60, 10, 10), s_aRed);
    aStates.push_back(aModel);
    ASSERT_TRUE(pTexture->BeginUndoableOperation());
    EXPECT_TRUE(pTexture->DirtyRegion().IsEmpty()) << "the synchronisation empties the dirty region";
    ASSERT_TRUE(pTexture->EndUndoableOperation());
    EXPECT_EQ(MaxDifference(ImageBytes(*pTexture->AsImage()), aModel), 0)
        << "the backing image must have the marked paint and only that";
    // The begin's version came after the marked paint was read; stepping back
    // shows it, and overwrites the unmarked paint.
    Walk(*pTexture, "P1P0", aStates, W, H);

    // A marked tile makes the backing image stale: AsImage reads the dirty
    // tiles and moves the texture to CPU memory.
    Paint(*pTexture, aStates[0], W, ImgTile(130, 5, 70, 20), s_aGreen);
    EXPECT_TRUE(pTexture->IsBackingImageStale());
    const Image* pImage = pTexture->AsImage();
    ASSERT_NE(pImage, nullptr);
    EXPECT_EQ(pTexture->Location(), 2u);
    EXPECT_EQ(Ledger(), 0);
    EXPECT_EQ(MaxDifference(ImageBytes(*pImage), aStates[0]), 0);
}

// The self-test node: its menu entries, the command each run records, replay
// from "cmd", and a failing check reaching the result.
TEST_F(TextureTest, TesterMenuAndRunsRecordTheirCommandAndReplayFromIt)
{
    const int64_t iScratch = VarnikTexture::CompositeScratchMemory();
    std::unique_ptr<TextureTester> pTester(
        dynamic_cast<TextureTester*>(varnik::Kernel::CreateClassInstance(TextureTester::StaticClass())));
    ASSERT_TRUE(pTester);
    struct Case { QString sRun; QString sCommand; bool bPasses; };
    const Case aCases[] = {
        { "", "PluginTest TextureTester:Run all tests", true },
        { "NoSuchGroup", "PluginTest TextureTester:NoSuchGroup", false },
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(qPrintable(c.sRun));
        EXPECT_EQ(pTester->Run(c.sRun), c.bPasses);
        EXPECT_EQ(pTester->CommandAttribute().Value(), c.sCommand);
        EXPECT_EQ(pTester->FailureCount() == 0, c.bPasses);
    }
    // Setting "cmd" as a user would (not silently) runs that command; every
    // check of it is of the group named.
    pTester->CommandAttribute().SetFromString("PluginTest TextureTester:CopyFrom", false);
    ASSERT_FALSE(pTester->Results().isEmpty());
    for (const TextureTester::Check& c : pTester->Results())
        EXPECT_EQ(c.sGroup, QString("CopyFrom")) << qPrintable(c.sName);
    EXPECT_EQ(pTester->FailureCount(), 0);
    // A command of another node is refused and changes nothing.
    const int iChecks = pTester->Results().size();
    pTester->CommandAttribute().SetValue("PluginTest Other:Creation", true);
    EXPECT_FALSE(pTester->Replay());
    EXPECT_EQ(pTester->Results().size(), iChecks);

    // A menu entry runs its group; the entries go with the node.
    ASSERT_TRUE(varnik::Menus::Trigger("UnitTest", "TextureTester", "RelativeRegion"));
    EXPECT_EQ(pTester->CommandAttribute().Value(), QString("PluginTest TextureTester:RelativeRegion"));
    pTester.reset();
    EXPECT_TRUE(varnik::Menus::Entries("UnitTest", "TextureTester").isEmpty());
    // The module's compositing scratch textures outlive the test.
    m_iLedgerAtStart += VarnikTexture::CompositeScratchMemory() - iScratch;
    m_iTexturesAtStart = VarnikTexture::TextureCount();
}
