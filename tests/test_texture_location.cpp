// Where a texture's content lives (GPU, CPU), its proxy levels, its live flag,
// its video-memory figures and the consistency check of those states.
#include "TextureTestKit.h"

using namespace texkit;
using varnik::Kernel;
using varnik::test::ErrorTextOf;

namespace {

class TextureLocationTest : public varnik::test::GLTest
{
protected:
    void SetUp() override
    {
        varnik::test::GLTest::SetUp();
        VarnikTexture::InitializePlugin();
        m_iTexturesAtStart = VarnikTexture::TextureCount();
    }
    void TearDown() override
    {
        EXPECT_EQ(VarnikTexture::TextureCount(), m_iTexturesAtStart) << "a texture outlived its test";
        varnik::test::GLTest::TearDown();
    }
    int64_t Ledger() const { return Kernel::VideoMemoryUsage() - m_iLedgerAtStart; }

    int m_iTexturesAtStart = 0;  ///< live VarnikTexture objects before the test
};

// Level 0 -> 1 -> 0 on the GPU: a half-size texture under a new name holding
// the box-filtered content; the return gives back every full-resolution texel.
TEST_F(TextureLocationTest, GpuProxyRoundTripKeepsFullResolutionPixels)
{
    const int W = 256, H = 128;
    const int64_t iFull = int64_t(W) * H * 4;
    std::vector<uint8_t> aOriginal = MakeRGBA8(W, H, 1);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aOriginal, W, H);
    ASSERT_EQ(Ledger(), iFull);
    const unsigned int iFullName = pTexture->OpenGLName();
    {
        GLRecorder cUploads;
        ASSERT_TRUE(pTexture->setProxyLevel(1, false));
        EXPECT_EQ(cUploads.Bands(), 0) << "the GPU path draws the proxy; nothing is uploaded";
    }
    EXPECT_EQ(int(pTexture->getProxyLevel()), 1);
    EXPECT_EQ(pTexture->Width(), unsigned(W)) << "Width() must stay full size at a proxy level";
    EXPECT_EQ(pTexture->Height(), unsigned(H));
    EXPECT_NE(pTexture->OpenGLName(), iFullName) << "the GPU path draws into a new texture";
    EXPECT_EQ(GLTextureSize(pTexture->OpenGLName()), std::make_pair(W / 2, H / 2));
    EXPECT_FALSE(glIsTexture(iFullName)) << "the full-size texture should be deleted";
    EXPECT_EQ(Ledger(), iFull / 4);
    EXPECT_EQ(pTexture->ReportedVideoMemory(), iFull / 4);
    ASSERT_NE(pTexture->BackingImage(), nullptr) << "the full-resolution content must be kept on the CPU";
    EXPECT_NO_THROW(pTexture->CheckValidity(varnik::Node::eFull));
    EXPECT_LE(MaxDifference(GpuPixels(*pTexture, W / 2, H / 2), HalveRGBA8(aOriginal, W, H)), 2);

    ASSERT_TRUE(pTexture->setProxyLevel(0, false));
    EXPECT_EQ(GLTextureSize(pTexture->OpenGLName()), std::make_pair(W, H));
    EXPECT_EQ(Ledger(), iFull);
    EXPECT_EQ(FirstDifference(GpuPixels(*pTexture, W, H), aOriginal), -1) << "full-resolution texels lost";
    std::unique_ptr<Image> pCopy = NewImage();
    pTexture->CopyTo(pCopy.get(), false, nullptr, varnik::PixelDescriptor::eRGBA);
    EXPECT_EQ(FirstDifference(ImageBytes(*pCopy), aOriginal), -1);
}

// With the GPU preference off the proxy is uploaded from the backing image's
// proxy image: exactly the box-filtered floats; level 0 comes back bit for bit.
TEST_F(TextureLocationTest, CpuProxyRoundTripKeepsFullResolutionFloats)
{
    PreferenceOverride cNoGpu(s_cUseGPUForProxies.m_pAttribute, false);
    const int W = 128, H = 160;
    std::vector<float> aOriginal = MakeRGBA32F(W, H, 2);
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    std::unique_ptr<Image> pImage = ImageFrom(aOriginal.data(), W, H, Image::e32float);
    pTexture->CopyFrom(pImage.get(), nullptr);
    const int64_t iFull = int64_t(W) * H * 16;
    {
        GLRecorder cUploads;
        ASSERT_TRUE(pTexture->setProxyLevel(1, false));
        EXPECT_GT(cUploads.Bands(), 0) << "without the GPU preference the proxy image is uploaded";
    }
    EXPECT_EQ(pTexture->Width(), unsigned(W));
    EXPECT_EQ(pTexture->Height(), unsigned(H));
    EXPECT_EQ(GLTextureSize(pTexture->OpenGLName()), std::make_pair(W / 2, H / 2));
    EXPECT_EQ(Ledger(), iFull / 4);

    std::vector<float> aProxy = varnik::test::ReadTextureRGBA32F(pTexture->OpenGLName(), W / 2, H / 2);
    float fWorst = 0.f;
    for (size_t i = 0; i < aProxy.size(); ++i) {
        const size_t x = (i / 4) % (W / 2), y = (i / 4) / (W / 2), c = i % 4;
        auto at = [&](size_t xx, size_t yy) { return aOriginal[(yy * W + xx) * 4 + c]; };
        const float fBox = (at(2 * x, 2 * y) + at(2 * x + 1, 2 * y) + at(2 * x, 2 * y + 1) + at(2 * x + 1, 2 * y + 1)) / 4.f;
        fWorst = std::max(fWorst, std::abs(fBox - aProxy[i]));
    }
    EXPECT_LT(fWorst, 1e-5f);

    ASSERT_TRUE(pTexture->setProxyLevel(0, false));
    EXPECT_TRUE(varnik::test::ReadTextureRGBA32F(pTexture->OpenGLName(), W, H) == aOriginal)
        << "full-resolution floats lost on the way back";
    EXPECT_EQ(Ledger(), iFull);
}

// In CPU memory a proxy level is only recorded; moving back to the GPU
// uploads the image of that level, and level 0 restores every texel.
TEST_F(TextureLocationTest, ProxyLevelInCpuMemoryIsUploadedOnReturn)
{
    const int W = 192, H = 256;
    std::vector<uint8_t> aOriginal = MakeRGBA8(W, H, 3);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aOriginal, W, H);
    pTexture->SetLocation(varnik::TexturePool::locationCPU);
    ASSERT_EQ(pTexture->Location(), 2u);
    EXPECT_EQ(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(Ledger(), 0) << "moving to the CPU must report the memory back";
    EXPECT_EQ(pTexture->Width(), unsigned(W));

    ASSERT_TRUE(pTexture->setProxyLevel(1, false));
    EXPECT_EQ(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(Ledger(), 0);
    const Image* pFull = pTexture->AsImage();
    ASSERT_NE(pFull, nullptr);
    EXPECT_EQ(pFull->Width(), unsigned(W)) << "AsImage() must stay full size at a proxy level";
    EXPECT_EQ(FirstDifference(ImageBytes(*pFull), aOriginal), -1);

    pTexture->SetLocation(varnik::TexturePool::locationGPU);
    ASSERT_EQ(pTexture->Location(), 1u);
    EXPECT_EQ(GLTextureSize(pTexture->OpenGLName()), std::make_pair(W / 2, H / 2));
    EXPECT_EQ(Ledger(), int64_t(W / 2) * (H / 2) * 4);
    EXPECT_LE(MaxDifference(GpuPixels(*pTexture, W / 2, H / 2), HalveRGBA8(aOriginal, W, H)), 1);
    ASSERT_TRUE(pTexture->setProxyLevel(0, false));
    EXPECT_EQ(FirstDifference(GpuPixels(*pTexture, W, H), aOriginal), -1);
    EXPECT_EQ(Ledger(), int64_t(W) * H * 4);

    // Creating again brings the level back to 0.
    ASSERT_TRUE(pTexture->setProxyLevel(2, false));
    pTexture->Create(64, 32, 4, Image::e8integer);
    EXPECT_EQ(int(pTexture->getProxyLevel()), 0);
    EXPECT_EQ(pTexture->Width(), 64u);
}

// SyncContent puts the backing image's current proxy image back on the GPU.
TEST_F(TextureLocationTest, SyncContentUploadsTheCurrentProxyImage)
{
    const int W = 256, H = 256;
    std::vector<uint8_t> aOriginal = MakeRGBA8(W, H, 12);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aOriginal, W, H);
    ASSERT_TRUE(pTexture->setProxyLevel(1, true)) << "bounded mode with nothing queued";
    const std::vector<uint8_t> aProxy = GpuPixels(*pTexture, W / 2, H / 2);
    PaintRect(pTexture->OpenGLName(), ImgTile(0, 0, W / 2, H / 2), 1.f, 0.f, 1.f, 1.f);
    ASSERT_GT(MaxDifference(GpuPixels(*pTexture, W / 2, H / 2), aProxy), 2);

    pTexture->SyncContent();
    EXPECT_LE(MaxDifference(GpuPixels(*pTexture, W / 2, H / 2), HalveRGBA8(aOriginal, W, H)), 2);
    EXPECT_EQ(int(pTexture->getProxyLevel()), 1);
    EXPECT_EQ(Ledger(), int64_t(W / 2) * (H / 2) * 4);

    pTexture->SetLocation(2);  // in CPU memory there is nothing to upload
    pTexture->SyncContent();
    EXPECT_EQ(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(Ledger(), 0);
}

// No level may bring a side of the texture below two texels, each side on
// its own; levels above 4 act as 4; a refused level changes nothing.
TEST_F(TextureLocationTest, SizeGuardAndLevelLimit)
{
    struct Case { int w, h; unsigned int iLevel; bool bOk; int iGot, gw, gh; };
    const Case aCases[] = {
        {4, 4, 1, true, 1, 2, 2},   {4, 4, 2, false, 0, 4, 4},  {16, 16, 9, false, 0, 16, 16},
        {16, 16, 3, true, 3, 2, 2}, {4, 64, 2, false, 0, 4, 64}, {4, 64, 1, true, 1, 2, 32},
        {64, 4, 2, false, 0, 64, 4}, {64, 32, 9, true, 4, 4, 2},
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h << " level " << c.iLevel);
        std::unique_ptr<TextureProbe> p = UploadRGBA8(MakeRGBA8(c.w, c.h, 4), c.w, c.h);
        const unsigned int iName = p->OpenGLName();
        EXPECT_EQ(p->setProxyLevel(c.iLevel, false), c.bOk);
        EXPECT_EQ(int(p->getProxyLevel()), c.iGot);
        EXPECT_EQ(GLTextureSize(p->OpenGLName()), std::make_pair(c.gw, c.gh));
        EXPECT_EQ(p->Width(), unsigned(c.w));
        EXPECT_EQ(p->VideoMemoryUsage(-1.0f), int64_t(c.gw) * c.gh * 4);
        if (!c.bOk) {
            EXPECT_EQ(p->OpenGLName(), iName);
        }
    }
}

// Without backing image or GPU texture a level is only recorded, and the
// consistency check then reports the missing image.
TEST_F(TextureLocationTest, ProxyLevelWithoutImageIsOnlyRecorded)
{
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    EXPECT_NO_THROW(pTexture->CheckValidity(varnik::Node::eQuick));
    EXPECT_TRUE(pTexture->setProxyLevel(1, false));
    EXPECT_EQ(pTexture->ProxyLevelMember(), 1u);
    EXPECT_EQ(pTexture->Location(), 0u);
    EXPECT_EQ(pTexture->BackingImage(), nullptr) << "no image may be invented for a texture without content";
    EXPECT_EQ(ErrorTextOf([&] { pTexture->CheckValidity(varnik::Node::eQuick); }),
              QString("No associated image data for proxied texture"));
}

namespace {
// Records every texture attachment with the framebuffer bound at the time.
struct Attachment { GLint iFramebuffer; GLuint iTexture; };
std::vector<Attachment> s_aAttachments;
PFNGLFRAMEBUFFERTEXTURE2DEXTPROC s_fAttachExt = nullptr;
PFNGLFRAMEBUFFERTEXTURE2DPROC s_fAttach = nullptr;
void Record(GLuint iTexture)
{
    GLint iBound = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &iBound);
    s_aAttachments.push_back({iBound, iTexture});
}
void GLAPIENTRY RecordAttachExt(GLenum t, GLenum a, GLenum tt, GLuint tex, GLint l) { Record(tex); s_fAttachExt(t, a, tt, tex, l); }
void GLAPIENTRY RecordAttach(GLenum t, GLenum a, GLenum tt, GLuint tex, GLint l) { Record(tex); s_fAttach(t, a, tt, tex, l); }
/// Texture names attached to `iFramebuffer` so far, in order.
std::vector<GLuint> AttachedTo(GLuint iFramebuffer)
{
    std::vector<GLuint> a;
    for (const Attachment& c : s_aAttachments)
        if (GLuint(c.iFramebuffer) == iFramebuffer)
            a.push_back(c.iTexture);
    return a;
}
GLuint BoundFramebuffer()
{
    GLint iBound = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &iBound);
    return GLuint(iBound);
}
} // namespace

// Returning a texture of 2048 or more to level 0 attaches it once to the shared
// compositing framebuffer (made when missing) and detaches it, leaving the
// caller's framebuffer bound.
TEST_F(TextureLocationTest, ReturnToFullSizeAttachesLargeTextureToCompositingFramebuffer)
{
    varnik::TextureMixer::ReleaseSharedResources();
    if (varnik::TextureMixer::s_iCompositingFBO != 0) {
        GLuint iOld = varnik::TextureMixer::s_iCompositingFBO;
        glDeleteFramebuffersEXT(1, &iOld);
        varnik::TextureMixer::s_iCompositingFBO = 0;
    }
    GLuint iMine = 0, iMyRead = 0;
    glGenFramebuffersEXT(1, &iMine);
    glGenFramebuffersEXT(1, &iMyRead);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, iMine);
    s_aAttachments.clear();
    s_fAttachExt = glFramebufferTexture2DEXT;
    s_fAttach = glFramebufferTexture2D;
    glFramebufferTexture2DEXT = &RecordAttachExt;
    glFramebufferTexture2D = &RecordAttach;
    {
        std::unique_ptr<TextureProbe> pSmall = NewProbe();  // below 2048: nothing attached or made
        pSmall->Create(1024, 2048, 4, Image::e8integer);
        ASSERT_TRUE(pSmall->setProxyLevel(1, false));
        ASSERT_TRUE(pSmall->setProxyLevel(0, false));
        EXPECT_EQ(varnik::TextureMixer::s_iCompositingFBO, 0u);
        EXPECT_FALSE(pSmall->HasCompositingAttachment());
    }
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    pTexture->Create(2048, 2048, 4, Image::e8integer);
    PaintRect(pTexture->OpenGLName(), ImgTile(0, 0, 2048, 2048), 0.25f, 0.5f, 0.75f, 1.f);
    ASSERT_TRUE(pTexture->setProxyLevel(1, false));
    EXPECT_EQ(varnik::TextureMixer::s_iCompositingFBO, 0u) << "going down never touches it";

    GLuint iShared = 0;
    for (unsigned int iLevel : {1u, 2u}) {
        SCOPED_TRACE(testing::Message() << "back from level " << iLevel);
        ASSERT_TRUE(pTexture->setProxyLevel(iLevel, false));
        EXPECT_FALSE(pTexture->HasCompositingAttachment());
        glBindFramebufferEXT(GL_READ_FRAMEBUFFER, iMyRead);
        s_aAttachments.clear();
        ASSERT_TRUE(pTexture->setProxyLevel(0, false));
        if (iShared == 0)
            iShared = varnik::TextureMixer::s_iCompositingFBO;
        EXPECT_NE(iShared, 0u) << "the compositing framebuffer should have been made";
        EXPECT_EQ(varnik::TextureMixer::s_iCompositingFBO, iShared);
        EXPECT_TRUE(glIsFramebufferEXT(iShared));
        EXPECT_TRUE(pTexture->HasCompositingAttachment());
        EXPECT_EQ(AttachedTo(iShared), (std::vector<GLuint>{pTexture->OpenGLName(), 0u}))
            << "the texture is attached once, then 0 in its place";
        EXPECT_EQ(BoundFramebuffer(), iMine) << "the caller's framebuffer binding must be restored";
        GLint iRead = 0;
        glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &iRead);
        EXPECT_EQ(GLuint(iRead), iMyRead) << "the caller's read framebuffer binding must be restored";
    }
    glFramebufferTexture2DEXT = s_fAttachExt;
    glFramebufferTexture2D = s_fAttach;

    const uint8_t aPainted[4] = {64, 128, 191, 255};
    std::vector<uint8_t> aWant(size_t(2048) * 2048 * 4);
    FillModel(aWant, 2048, ImgTile(0, 0, 2048, 2048), aPainted);
    EXPECT_LE(MaxDifference(GpuPixels(*pTexture, 2048, 2048), aWant), 1) << "content lost";
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    glDeleteFramebuffersEXT(1, &iMine);
    glDeleteFramebuffersEXT(1, &iMyRead);
}

// SetLocation(2) then (1): the backing image is dropped on the way back when
// nothing in it needs keeping, and kept when it holds versions.
TEST_F(TextureLocationTest, MovingBackToGpuHonoursTheKeepQuery)
{
    const int W = 160, H = 144;
    std::vector<uint8_t> aOriginal = MakeRGBA8(W, H, 7);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aOriginal, W, H);
    pTexture->SetLocation(2);
    ASSERT_NE(pTexture->BackingImage(), nullptr);
    EXPECT_EQ(FirstDifference(ImageBytes(*pTexture->BackingImage()), aOriginal), -1);
    pTexture->SetDirty(false);
    ASSERT_FALSE(pTexture->BackingImage()->Keep());
    pTexture->SetLocation(1);
    EXPECT_EQ(pTexture->Location(), 1u);
    EXPECT_EQ(pTexture->BackingImage(), nullptr) << "an image the GPU copy can replace should be discarded";
    EXPECT_EQ(FirstDifference(GpuPixels(*pTexture, W, H), aOriginal), -1);
    EXPECT_EQ(Ledger(), int64_t(W) * H * 4);

    pTexture->SetLocation(2);
    ASSERT_TRUE(pTexture->NewVersion());
    pTexture->SetDirty(false);
    pTexture->SetLocation(1);
    ASSERT_NE(pTexture->BackingImage(), nullptr) << "an image holding versions must be kept";
    EXPECT_EQ(pTexture->NumVersions(), 2);
    EXPECT_EQ(FirstDifference(GpuPixels(*pTexture, W, H), aOriginal), -1);
    const unsigned int iName = pTexture->OpenGLName();
    pTexture->SetLocation(1);  // same location again changes nothing
    EXPECT_EQ(pTexture->OpenGLName(), iName);
}

// A texture that is not live, or not placed yet, stays where it is.
TEST_F(TextureLocationTest, NotLiveTextureIsNeverMoved)
{
    std::vector<uint8_t> aOriginal = MakeRGBA8(130, 70, 8);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aOriginal, 130, 70);
    const unsigned int iName = pTexture->OpenGLName();
    pTexture->SetLive(false);
    pTexture->SetLocation(2);
    EXPECT_EQ(pTexture->Location(), 1u);
    EXPECT_EQ(pTexture->OpenGLName(), iName);
    EXPECT_EQ(Ledger(), 130 * 70 * 4);
    EXPECT_EQ(pTexture->AsImage(), nullptr) << "without a backing image there is nothing to hand out";
    EXPECT_EQ(pTexture->Location(), 1u);
    EXPECT_EQ(FirstDifference(GpuPixels(*pTexture, 130, 70), aOriginal), -1);
    pTexture->SetLive(true);

    pTexture->SetLocation(2);
    pTexture->SetLive(false);
    pTexture->SetLocation(1);
    EXPECT_EQ(pTexture->Location(), 2u);
    EXPECT_EQ(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(Ledger(), 0);

    std::unique_ptr<TextureProbe> pUnplaced = NewProbe();
    for (unsigned int iLocation : {1u, 2u}) {
        pUnplaced->SetLocation(iLocation);
        EXPECT_EQ(pUnplaced->Location(), 0u);
    }
}

TEST_F(TextureLocationTest, VideoMemoryUsageFigures)
{
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    pTexture->Create(1024, 1024, 4, Image::e8integer);
    EXPECT_EQ(pTexture->VideoMemoryUsage(-1.0f), 4194304);
    EXPECT_EQ(pTexture->VideoMemoryUsage(0.25f), 1048576);
    EXPECT_EQ(pTexture->VideoMemoryUsage(0.3f), 1048576) << "the smallest level whose share fits the factor";
    EXPECT_EQ(pTexture->VideoMemoryUsage(0.0f), 64 * 64 * 4);
    ASSERT_TRUE(pTexture->setProxyLevel(1, false));
    EXPECT_EQ(pTexture->VideoMemoryUsage(-1.0f), 1048576);
    EXPECT_EQ(pTexture->VideoMemoryUsage(1.0f), 4194304) << "a factor asks about the full size";
    pTexture->SetLocation(2);
    EXPECT_EQ(pTexture->VideoMemoryUsage(-1.0f), 0) << "nothing is held on the GPU";
    EXPECT_EQ(pTexture->VideoMemoryUsage(1.0f), 4194304);

    std::unique_ptr<TextureProbe> pFrozen = NewProbe();
    pFrozen->Create(256, 256, 4, Image::e8integer);
    pFrozen->SetLive(false);
    EXPECT_EQ(pFrozen->VideoMemoryUsage(-1.0f), 0) << "-1 asks about the GPU of a live texture only";
    pFrozen->SetLive(true);

    // A level recorded before an upload: full size is 16 times the upload each
    // way, 32768 x 16384 RGBA32F, beyond 32 bits.
    std::unique_ptr<TextureProbe> pHuge = NewProbe();
    ASSERT_TRUE(pHuge->setProxyLevel(4, false));
    std::vector<float> aPixels(size_t(2048) * 1024 * 4, 0.5f);
    std::unique_ptr<Image> pImage = ImageFrom(aPixels.data(), 2048, 1024, Image::e32float);
    pHuge->CopyFrom(pImage.get(), nullptr);
    ASSERT_EQ(int(pHuge->getProxyLevel()), 4) << "an upload must not touch the proxy level";
    EXPECT_EQ(pHuge->Width(), 32768u);
    EXPECT_EQ(pHuge->Height(), 16384u);
    EXPECT_EQ(pHuge->VideoMemoryUsage(-1.0f), int64_t(2048) * 1024 * 16);
    EXPECT_EQ(pHuge->VideoMemoryUsage(1.0f), int64_t(8589934592LL));
    EXPECT_EQ(pHuge->VideoMemoryUsage(0.25f), int64_t(2147483648LL));
}

TEST_F(TextureLocationTest, CheckValidityMessages)
{
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    pTexture->Create(64, 64, 4, Image::e8integer);
    EXPECT_NO_THROW(pTexture->CheckValidity(varnik::Node::eFull));
    pTexture->SetLive(false);  // not live while holding a GL texture
    EXPECT_EQ(ErrorTextOf([&] { pTexture->CheckValidity(varnik::Node::eFull); }), QString("bad live state"));
    // Creating while not live moves it to location 2 but leaves the GL texture.
    pTexture->Create(32, 32, 4, Image::e8integer);
    ASSERT_EQ(pTexture->Location(), 2u);
    ASSERT_NE(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(ErrorTextOf([&] { pTexture->CheckValidity(varnik::Node::eFull); }), QString("bad live state"));
    pTexture->SetLive(true);
    try {
        pTexture->CheckValidity(varnik::Node::eFull);
        ADD_FAILURE() << "location 2 with a GL texture passed the check";
    } catch (varnik::Error* pError) {
        EXPECT_EQ(pError->Text(), QString("bad texture state"));
        EXPECT_EQ(pError->Code(), 4);
        EXPECT_EQ(pError->Function(), QString("VarnikTexture::CheckValidity"));
        EXPECT_GT(pError->Line(), 0u);
        varnik::Error::Discard(pError);
    }
    std::unique_ptr<TextureProbe> pGood = NewProbe();  // CPU memory, and a proxy with its image
    pGood->Create(64, 64, 4, Image::e8integer);
    pGood->SetLocation(2);
    EXPECT_NO_THROW(pGood->CheckValidity(varnik::Node::eFull));
    pGood->SetLocation(1);
    ASSERT_TRUE(pGood->setProxyLevel(1, false));
    EXPECT_NO_THROW(pGood->CheckValidity(varnik::Node::eFull));
}

// Every way in and out of the GPU reports to the ledger; after the textures
// are gone it is back where it started.
TEST_F(TextureLocationTest, LedgerReturnsToStartAfterMovesAndProxies)
{
    {
        std::unique_ptr<TextureProbe> a = UploadRGBA8(MakeRGBA8(300, 200, 9), 300, 200);
        std::unique_ptr<TextureProbe> b = NewProbe();
        b->Create(512, 256, 4, Image::e16float);
        EXPECT_EQ(Ledger(), 300 * 200 * 4 + 512 * 256 * 8);
        ASSERT_TRUE(a->setProxyLevel(2, false));
        b->SetLocation(2);
        EXPECT_EQ(Ledger(), 75 * 50 * 4);
        a->SetLocation(2);
        EXPECT_EQ(Ledger(), 0);
        a->SetLocation(1);
        b->SetLocation(1);
        ASSERT_TRUE(b->setProxyLevel(3, false));
        EXPECT_EQ(Ledger(), 75 * 50 * 4 + 64 * 32 * 8);
        EXPECT_EQ(a->VideoMemoryUsage(-1.0f) + b->VideoMemoryUsage(-1.0f), Ledger());
    }
    EXPECT_EQ(Ledger(), 0);
}

} // namespace
