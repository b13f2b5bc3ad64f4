// Where a texture's content lives (GPU, CPU), its proxy levels, its live flag,
// its video-memory figures and the consistency check of those states.
#include "TextureTestKit.h"

using namespace texkit;
using varnik::Image;
using varnik::ImgTile;
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

    /// A live RGBA8 texture on the GPU holding `aPixels`.
    std::unique_ptr<TextureProbe> UploadRGBA8(const std::vector<uint8_t>& aPixels, int iWidth, int iHeight)
    {
        std::unique_ptr<TextureProbe> pTexture = NewProbe();
        std::unique_ptr<Image> pImage = ImageFrom(aPixels.data(), iWidth, iHeight, Image::e8integer);
        pTexture->CopyFrom(pImage.get(), nullptr);
        return pTexture;
    }

    int m_iTexturesAtStart = 0;  ///< live VarnikTexture objects before the test
};

// Level 0 -> 1 -> 0 on the GPU: the proxy is a half-size texture under a new
// name holding the box-filtered content, the ledger follows it, and the return
// gives back every full-resolution texel.
TEST_F(TextureLocationTest, GpuProxyRoundTripKeepsFullResolutionPixels)
{
    const int W = 256, H = 128;
    const int64_t iFull = int64_t(W) * H * 4;
    std::vector<uint8_t> aOriginal = MakeRGBA8(W, H, 1);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aOriginal, W, H);
    const int64_t iLedger0 = Kernel::VideoMemoryUsage();
    ASSERT_EQ(iLedger0 - m_iLedgerAtStart, iFull);
    const unsigned int iFullName = pTexture->OpenGLName();

    {
        UploadCounter cUploads;
        ASSERT_TRUE(pTexture->setProxyLevel(1, false));
        EXPECT_EQ(cUploads.Bands(), 0) << "the GPU path draws the proxy; nothing is uploaded";
    }
    EXPECT_EQ(int(pTexture->getProxyLevel()), 1);
    EXPECT_EQ(pTexture->Width(), unsigned(W)) << "Width() must stay full size at a proxy level";
    EXPECT_EQ(pTexture->Height(), unsigned(H));
    EXPECT_EQ(pTexture->Location(), 1u);
    EXPECT_NE(pTexture->OpenGLName(), 0u);
    EXPECT_NE(pTexture->OpenGLName(), iFullName) << "the GPU path draws into a new texture";
    EXPECT_EQ(GLTextureSize(pTexture->OpenGLName()), std::make_pair(W / 2, H / 2));
    EXPECT_FALSE(glIsTexture(iFullName)) << "the full-size texture should be deleted with the temporary one";
    EXPECT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, iFull / 4);
    EXPECT_EQ(pTexture->VideoMemoryUsage(-1.0f), iFull / 4);
    EXPECT_EQ(pTexture->ReportedVideoMemory(), iFull / 4);
    ASSERT_NE(pTexture->BackingImage(), nullptr) << "the full-resolution content must be kept on the CPU";
    EXPECT_EQ(pTexture->BackingImage()->Width(), unsigned(W));
    EXPECT_NO_THROW(pTexture->CheckValidity(varnik::Node::eFull));

    // A linear 2:1 reduction samples between four texels: a box filter.
    std::vector<uint8_t> aProxy = varnik::test::ReadTextureRGBA8(pTexture->OpenGLName(), W / 2, H / 2);
    EXPECT_LE(MaxDifference(aProxy, HalveRGBA8(aOriginal, W, H)), 2);

    ASSERT_TRUE(pTexture->setProxyLevel(0, false));
    EXPECT_EQ(int(pTexture->getProxyLevel()), 0);
    EXPECT_EQ(GLTextureSize(pTexture->OpenGLName()), std::make_pair(W, H));
    EXPECT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, iFull);
    std::vector<uint8_t> aBack = varnik::test::ReadTextureRGBA8(pTexture->OpenGLName(), W, H);
    EXPECT_EQ(FirstDifference(aBack, aOriginal), -1) << "full-resolution texels lost on the way back";

    std::unique_ptr<Image> pCopy = NewImage();
    pTexture->CopyTo(pCopy.get(), false, nullptr, varnik::PixelDescriptor::eRGBA);
    EXPECT_EQ(FirstDifference(ImageBytes(*pCopy), aOriginal), -1);

    pTexture.reset();
    EXPECT_EQ(Kernel::VideoMemoryUsage(), m_iLedgerAtStart);
}

// With the GPU preference off the proxy comes from the backing image's proxy
// images: the GPU holds exactly the box-filtered floats, and level 0 comes back
// bit for bit.
TEST_F(TextureLocationTest, CpuProxyRoundTripKeepsFullResolutionFloats)
{
    PreferenceOverride cNoGpu(s_cUseGPUForProxies.m_pAttribute, false);
    const int W = 128, H = 160;
    std::vector<float> aOriginal = MakeRGBA32F(W, H, 2);
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    std::unique_ptr<Image> pImage = ImageFrom(aOriginal.data(), W, H, Image::e32float);
    pTexture->CopyFrom(pImage.get(), nullptr);
    const int64_t iFull = int64_t(W) * H * 16;
    ASSERT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, iFull);

    {
        UploadCounter cUploads;
        ASSERT_TRUE(pTexture->setProxyLevel(1, false));
        EXPECT_GT(cUploads.Bands(), 0) << "without the GPU preference the proxy image is uploaded";
    }
    EXPECT_EQ(int(pTexture->getProxyLevel()), 1);
    EXPECT_EQ(pTexture->Width(), unsigned(W));
    EXPECT_EQ(pTexture->Height(), unsigned(H));
    EXPECT_EQ(pTexture->Format(), Image::e32float);
    EXPECT_EQ(GLTextureSize(pTexture->OpenGLName()), std::make_pair(W / 2, H / 2));
    EXPECT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, iFull / 4);

    std::vector<float> aProxy = varnik::test::ReadTextureRGBA32F(pTexture->OpenGLName(), W / 2, H / 2);
    float fWorst = 0.f;
    for (int y = 0; y < H / 2; ++y)
        for (int x = 0; x < W / 2; ++x)
            for (int c = 0; c < 4; ++c) {
                auto at = [&](int xx, int yy) { return aOriginal[(size_t(yy) * W + size_t(xx)) * 4 + size_t(c)]; };
                float fBox = (at(2 * x, 2 * y) + at(2 * x + 1, 2 * y) + at(2 * x, 2 * y + 1) + at(2 * x + 1, 2 * y + 1)) / 4.f;
                fWorst = std::max(fWorst, std::abs(fBox - aProxy[(size_t(y) * (W / 2) + size_t(x)) * 4 + size_t(c)]));
            }
    EXPECT_LT(fWorst, 1e-5f);

    ASSERT_TRUE(pTexture->setProxyLevel(0, false));
    EXPECT_EQ(GLTextureSize(pTexture->OpenGLName()), std::make_pair(W, H));
    std::vector<float> aBack = varnik::test::ReadTextureRGBA32F(pTexture->OpenGLName(), W, H);
    EXPECT_TRUE(aBack == aOriginal) << "full-resolution floats lost on the way back";
    EXPECT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, iFull);
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
    EXPECT_EQ(Kernel::VideoMemoryUsage(), m_iLedgerAtStart) << "moving to the CPU must report the memory back";
    EXPECT_EQ(pTexture->Width(), unsigned(W));
    EXPECT_EQ(pTexture->Height(), unsigned(H));
    EXPECT_EQ(pTexture->Format(), Image::e8integer);

    ASSERT_TRUE(pTexture->setProxyLevel(1, false));
    EXPECT_EQ(int(pTexture->getProxyLevel()), 1);
    EXPECT_EQ(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(pTexture->Location(), 2u);
    EXPECT_EQ(Kernel::VideoMemoryUsage(), m_iLedgerAtStart);
    const Image* pFull = pTexture->AsImage();
    ASSERT_NE(pFull, nullptr);
    EXPECT_EQ(pFull->Width(), unsigned(W)) << "AsImage() must stay full size at a proxy level";
    EXPECT_EQ(FirstDifference(ImageBytes(*pFull), aOriginal), -1);

    pTexture->SetLocation(varnik::TexturePool::locationGPU);
    ASSERT_EQ(pTexture->Location(), 1u);
    ASSERT_NE(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(GLTextureSize(pTexture->OpenGLName()), std::make_pair(W / 2, H / 2));
    EXPECT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, int64_t(W / 2) * (H / 2) * 4);
    std::vector<uint8_t> aProxy = varnik::test::ReadTextureRGBA8(pTexture->OpenGLName(), W / 2, H / 2);
    EXPECT_LE(MaxDifference(aProxy, HalveRGBA8(aOriginal, W, H)), 1);

    ASSERT_TRUE(pTexture->setProxyLevel(0, false));
    EXPECT_EQ(FirstDifference(varnik::test::ReadTextureRGBA8(pTexture->OpenGLName(), W, H), aOriginal), -1);
    EXPECT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, int64_t(W) * H * 4);

    // Creating again brings the level back to 0.
    ASSERT_TRUE(pTexture->setProxyLevel(2, false));
    pTexture->Create(64, 32, 4, Image::e8integer);
    EXPECT_EQ(int(pTexture->getProxyLevel()), 0);
    EXPECT_EQ(pTexture->Width(), 64u);
    EXPECT_EQ(pTexture->Height(), 32u);
}

// SyncContent puts the backing image's current proxy image back on the GPU,
// whatever was drawn there since.
TEST_F(TextureLocationTest, SyncContentUploadsTheCurrentProxyImage)
{
    const int W = 256, H = 256;
    std::vector<uint8_t> aOriginal = MakeRGBA8(W, H, 12);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aOriginal, W, H);
    ASSERT_TRUE(pTexture->setProxyLevel(1, true)) << "bounded mode with nothing queued";
    const std::vector<uint8_t> aProxy = varnik::test::ReadTextureRGBA8(pTexture->OpenGLName(), W / 2, H / 2);
    PaintRect(pTexture->OpenGLName(), ImgTile(0, 0, W / 2, H / 2), 1.f, 0.f, 1.f, 1.f);
    ASSERT_GT(MaxDifference(varnik::test::ReadTextureRGBA8(pTexture->OpenGLName(), W / 2, H / 2), aProxy), 2);

    pTexture->SyncContent();
    EXPECT_EQ(GLTextureSize(pTexture->OpenGLName()), std::make_pair(W / 2, H / 2));
    EXPECT_LE(MaxDifference(varnik::test::ReadTextureRGBA8(pTexture->OpenGLName(), W / 2, H / 2),
                            HalveRGBA8(aOriginal, W, H)), 2);
    EXPECT_EQ(int(pTexture->getProxyLevel()), 1);
    EXPECT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, int64_t(W / 2) * (H / 2) * 4);

    // In CPU memory there is nothing to upload.
    pTexture->SetLocation(2);
    pTexture->SyncContent();
    EXPECT_EQ(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(Kernel::VideoMemoryUsage(), m_iLedgerAtStart);
}

// No level may bring a side of the full-size texture below two texels;
// levels above 4 act as 4.
TEST_F(TextureLocationTest, SizeGuardAndLevelLimit)
{
    std::unique_ptr<TextureProbe> pSmall = UploadRGBA8(MakeRGBA8(4, 4, 4), 4, 4);
    EXPECT_TRUE(pSmall->setProxyLevel(1, false));
    EXPECT_EQ(int(pSmall->getProxyLevel()), 1);
    EXPECT_EQ(GLTextureSize(pSmall->OpenGLName()), std::make_pair(2, 2));
    const unsigned int iName = pSmall->OpenGLName();
    EXPECT_FALSE(pSmall->setProxyLevel(2, false)) << "a 4x4 texture at level 2 would be 1 texel wide";
    EXPECT_EQ(int(pSmall->getProxyLevel()), 1) << "a refused level must change nothing";
    EXPECT_EQ(pSmall->OpenGLName(), iName);
    EXPECT_EQ(pSmall->Width(), 4u);

    // 16 >> 4 is 1: level 9 is refused like level 4 would be, level 3 is fine.
    std::unique_ptr<TextureProbe> pSixteen = UploadRGBA8(MakeRGBA8(16, 16, 5), 16, 16);
    const unsigned int iSixteenName = pSixteen->OpenGLName();
    EXPECT_FALSE(pSixteen->setProxyLevel(9, false));
    EXPECT_EQ(int(pSixteen->getProxyLevel()), 0);
    EXPECT_EQ(pSixteen->OpenGLName(), iSixteenName);
    EXPECT_TRUE(pSixteen->setProxyLevel(3, false));
    EXPECT_EQ(GLTextureSize(pSixteen->OpenGLName()), std::make_pair(2, 2));

    // Each side is guarded on its own.
    std::unique_ptr<TextureProbe> pNarrow = UploadRGBA8(MakeRGBA8(4, 64, 7), 4, 64);
    EXPECT_FALSE(pNarrow->setProxyLevel(2, false)) << "width 4 at level 2";
    EXPECT_TRUE(pNarrow->setProxyLevel(1, false));
    std::unique_ptr<TextureProbe> pFlat = UploadRGBA8(MakeRGBA8(64, 4, 8), 64, 4);
    EXPECT_FALSE(pFlat->setProxyLevel(2, false)) << "height 4 at level 2";
    EXPECT_EQ(int(pFlat->getProxyLevel()), 0);

    std::unique_ptr<TextureProbe> pLarge = UploadRGBA8(MakeRGBA8(64, 32, 6), 64, 32);
    EXPECT_TRUE(pLarge->setProxyLevel(9, false));
    EXPECT_EQ(int(pLarge->getProxyLevel()), 4);
    EXPECT_EQ(GLTextureSize(pLarge->OpenGLName()), std::make_pair(4, 2));
    EXPECT_EQ(pLarge->Width(), 64u);
    EXPECT_EQ(pLarge->Height(), 32u);
    EXPECT_EQ(pLarge->VideoMemoryUsage(-1.0f), 4 * 2 * 4);
}

// A texture with neither backing image nor GPU texture can only record the
// level, and the consistency check then reports the missing image.
TEST_F(TextureLocationTest, ProxyLevelWithoutImageIsOnlyRecorded)
{
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    EXPECT_NO_THROW(pTexture->CheckValidity(varnik::Node::eQuick));
    EXPECT_TRUE(pTexture->setProxyLevel(1, false));
    EXPECT_EQ(int(pTexture->getProxyLevel()), 1);
    EXPECT_EQ(pTexture->ProxyLevelMember(), 1u);
    EXPECT_EQ(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(pTexture->Location(), 0u);
    EXPECT_EQ(pTexture->BackingImage(), nullptr) << "no image may be invented for a texture without content";
    EXPECT_EQ(Kernel::VideoMemoryUsage(), m_iLedgerAtStart);
    EXPECT_EQ(ErrorTextOf([&] { pTexture->CheckValidity(varnik::Node::eQuick); }),
              QString("No associated image data for proxied texture"));
}

namespace {
// Records every texture attachment with the framebuffer bound at the time.
struct Attachment { GLint iFramebuffer; GLuint iTexture; };
std::vector<Attachment> s_aAttachments;
PFNGLFRAMEBUFFERTEXTURE2DEXTPROC s_fAttachExt = nullptr;
PFNGLFRAMEBUFFERTEXTURE2DPROC s_fAttach = nullptr;
void GLAPIENTRY RecordAttachExt(GLenum t, GLenum a, GLenum tt, GLuint tex, GLint l)
{
    GLint iBound = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &iBound);
    s_aAttachments.push_back({iBound, tex});
    s_fAttachExt(t, a, tt, tex, l);
}
void GLAPIENTRY RecordAttach(GLenum t, GLenum a, GLenum tt, GLuint tex, GLint l)
{
    GLint iBound = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &iBound);
    s_aAttachments.push_back({iBound, tex});
    s_fAttach(t, a, tt, tex, l);
}
/// Attachments to `iFramebuffer` recorded so far, texture names in order.
std::vector<GLuint> AttachedTo(GLuint iFramebuffer)
{
    std::vector<GLuint> a;
    for (const Attachment& c : s_aAttachments)
        if (GLuint(c.iFramebuffer) == iFramebuffer)
            a.push_back(c.iTexture);
    return a;
}
} // namespace

// Returning a large texture to level 0 attaches it once to the shared
// compositing framebuffer (made when missing) and detaches it again, leaving
// the caller's framebuffer bound.
TEST_F(TextureLocationTest, ReturnToFullSizeAttachesLargeTextureToCompositingFramebuffer)
{
    varnik::TextureMixer::ReleaseSharedResources();
    if (varnik::TextureMixer::s_iCompositingFBO != 0) {
        GLuint iOld = varnik::TextureMixer::s_iCompositingFBO;
        glDeleteFramebuffersEXT(1, &iOld);
        varnik::TextureMixer::s_iCompositingFBO = 0;
    }

    GLuint iMine = 0;
    glGenFramebuffersEXT(1, &iMine);
    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, iMine);

    s_aAttachments.clear();
    s_fAttachExt = glFramebufferTexture2DEXT;
    s_fAttach = glFramebufferTexture2D;
    glFramebufferTexture2DEXT = &RecordAttachExt;
    glFramebufferTexture2D = &RecordAttach;

    {
        // Below 2048 texels: no attachment, no framebuffer made.
        std::unique_ptr<TextureProbe> pSmall = NewProbe();
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
    EXPECT_EQ(varnik::TextureMixer::s_iCompositingFBO, 0u) << "going down never touches the compositing framebuffer";
    EXPECT_FALSE(pTexture->HasCompositingAttachment());

    s_aAttachments.clear();
    ASSERT_TRUE(pTexture->setProxyLevel(0, false));
    const GLuint iShared = varnik::TextureMixer::s_iCompositingFBO;
    EXPECT_NE(iShared, 0u) << "the compositing framebuffer should have been made";
    EXPECT_TRUE(glIsFramebufferEXT(iShared));
    EXPECT_TRUE(pTexture->HasCompositingAttachment());
    EXPECT_EQ(AttachedTo(iShared), (std::vector<GLuint>{pTexture->OpenGLName(), 0u}))
        << "the texture is attached once, then 0 in its place";
    GLint iBound = 0;
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &iBound);
    EXPECT_EQ(GLuint(iBound), iMine) << "the caller's framebuffer binding must be restored";

    // The flag goes at the next proxy level; the next return attaches again
    // through the same framebuffer.
    ASSERT_TRUE(pTexture->setProxyLevel(2, false));
    EXPECT_FALSE(pTexture->HasCompositingAttachment());
    s_aAttachments.clear();
    ASSERT_TRUE(pTexture->setProxyLevel(0, false));
    EXPECT_EQ(varnik::TextureMixer::s_iCompositingFBO, iShared);
    EXPECT_EQ(AttachedTo(iShared), (std::vector<GLuint>{pTexture->OpenGLName(), 0u}));
    glGetIntegerv(GL_FRAMEBUFFER_BINDING, &iBound);
    EXPECT_EQ(GLuint(iBound), iMine);

    glFramebufferTexture2DEXT = s_fAttachExt;
    glFramebufferTexture2D = s_fAttach;

    // Content survives the round trips.
    std::vector<uint8_t> aBack = varnik::test::ReadTextureRGBA8(pTexture->OpenGLName(), 2048, 2048);
    const uint8_t aExpected[4] = {64, 128, 191, 255};
    bool bAllMatch = true;
    for (size_t i = 0; i < aBack.size() && bAllMatch; ++i)
        bAllMatch = std::abs(int(aBack[i]) - int(aExpected[i % 4])) <= 1;
    EXPECT_TRUE(bAllMatch);

    glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
    glDeleteFramebuffersEXT(1, &iMine);
}

// SetLocation(2) then (1): the backing image is dropped on the way back when
// nothing in it needs keeping, and kept when it holds versions.
TEST_F(TextureLocationTest, MovingBackToGpuHonoursTheKeepQuery)
{
    const int W = 160, H = 144;
    std::vector<uint8_t> aOriginal = MakeRGBA8(W, H, 7);

    // Nothing to keep: one version, clean, level 0.
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aOriginal, W, H);
    pTexture->SetLocation(2);
    ASSERT_NE(pTexture->BackingImage(), nullptr);
    EXPECT_EQ(FirstDifference(ImageBytes(*pTexture->BackingImage()), aOriginal), -1);
    pTexture->SetDirty(false);
    ASSERT_FALSE(pTexture->BackingImage()->Keep());
    pTexture->SetLocation(1);
    EXPECT_EQ(pTexture->Location(), 1u);
    EXPECT_NE(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(pTexture->BackingImage(), nullptr) << "an image the GPU copy can replace should be discarded";
    pTexture->SetDirty(true);
    EXPECT_FALSE(pTexture->IsDirty()) << "without a backing image there is no dirty flag";
    EXPECT_EQ(FirstDifference(varnik::test::ReadTextureRGBA8(pTexture->OpenGLName(), W, H), aOriginal), -1);
    EXPECT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, int64_t(W) * H * 4);

    // Something to keep: two versions.
    pTexture->SetLocation(2);
    ASSERT_TRUE(pTexture->NewVersion());
    pTexture->SetDirty(false);
    pTexture->SetLocation(1);
    ASSERT_NE(pTexture->BackingImage(), nullptr) << "an image holding versions must be kept";
    EXPECT_EQ(pTexture->NumVersions(), 2);
    EXPECT_FALSE(pTexture->IsDirty());
    EXPECT_EQ(FirstDifference(varnik::test::ReadTextureRGBA8(pTexture->OpenGLName(), W, H), aOriginal), -1);

    // Same location again changes nothing.
    const unsigned int iName = pTexture->OpenGLName();
    pTexture->SetLocation(1);
    EXPECT_EQ(pTexture->OpenGLName(), iName);
}

// A texture that is not live stays where it is.
TEST_F(TextureLocationTest, NotLiveTextureIsNeverMoved)
{
    std::vector<uint8_t> aOriginal = MakeRGBA8(130, 70, 8);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aOriginal, 130, 70);
    const unsigned int iName = pTexture->OpenGLName();
    const int64_t iLedger = Kernel::VideoMemoryUsage();
    pTexture->SetLive(false);
    EXPECT_FALSE(pTexture->IsLive());
    pTexture->SetLocation(2);
    EXPECT_EQ(pTexture->Location(), 1u);
    EXPECT_EQ(pTexture->OpenGLName(), iName);
    EXPECT_EQ(Kernel::VideoMemoryUsage(), iLedger);
    EXPECT_EQ(pTexture->BackingImage(), nullptr);
    EXPECT_EQ(FirstDifference(varnik::test::ReadTextureRGBA8(iName, 130, 70), aOriginal), -1);

    // Without a backing image there is nothing to hand out, and nothing moves.
    EXPECT_EQ(pTexture->AsImage(), nullptr);
    EXPECT_EQ(pTexture->Location(), 1u);
    EXPECT_EQ(pTexture->OpenGLName(), iName);
    pTexture->SetLive(true);

    // Not live in CPU memory: stays there.
    pTexture->SetLocation(2);
    ASSERT_EQ(pTexture->Location(), 2u);
    pTexture->SetLive(false);
    pTexture->SetLocation(1);
    EXPECT_EQ(pTexture->Location(), 2u);
    EXPECT_EQ(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(Kernel::VideoMemoryUsage(), m_iLedgerAtStart);

    // Not placed yet: SetLocation never leaves location 0.
    std::unique_ptr<TextureProbe> pUnplaced = NewProbe();
    pUnplaced->SetLocation(1);
    EXPECT_EQ(pUnplaced->Location(), 0u);
    pUnplaced->SetLocation(2);
    EXPECT_EQ(pUnplaced->Location(), 0u);
    EXPECT_EQ(pUnplaced->BackingImage(), nullptr);
}

TEST_F(TextureLocationTest, VideoMemoryUsageFigures)
{
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    pTexture->Create(1024, 1024, 4, Image::e8integer);
    ASSERT_EQ(pTexture->BitDepth(), 8u);
    EXPECT_EQ(pTexture->VideoMemoryUsage(-1.0f), 4194304);
    EXPECT_EQ(pTexture->VideoMemoryUsage(1.0f), 4194304);
    EXPECT_EQ(pTexture->VideoMemoryUsage(0.25f), 1048576);
    EXPECT_EQ(pTexture->VideoMemoryUsage(0.3f), 1048576) << "the smallest level whose share fits the factor";
    EXPECT_EQ(pTexture->VideoMemoryUsage(0.0f), 64 * 64 * 4);
    EXPECT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, 4194304);

    ASSERT_TRUE(pTexture->setProxyLevel(1, false));
    EXPECT_EQ(pTexture->VideoMemoryUsage(-1.0f), 1048576);
    EXPECT_EQ(pTexture->VideoMemoryUsage(1.0f), 4194304) << "a factor asks about the full size";
    EXPECT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, 1048576);

    pTexture->SetLocation(2);
    EXPECT_EQ(pTexture->VideoMemoryUsage(-1.0f), 0) << "nothing is held on the GPU";
    EXPECT_EQ(pTexture->VideoMemoryUsage(1.0f), 4194304);
    EXPECT_EQ(Kernel::VideoMemoryUsage(), m_iLedgerAtStart);

    // Not live: -1 asks about the GPU of a live texture only.
    std::unique_ptr<TextureProbe> pFrozen = NewProbe();
    pFrozen->Create(256, 256, 4, Image::e8integer);
    pFrozen->SetLive(false);
    EXPECT_EQ(pFrozen->VideoMemoryUsage(-1.0f), 0);
    pFrozen->SetLive(true);

    // A level recorded before an upload: the full size is the upload's size
    // times 16 in each direction, 32768 x 16384 RGBA32F, beyond 32 bits.
    std::unique_ptr<TextureProbe> pHuge = NewProbe();
    ASSERT_TRUE(pHuge->setProxyLevel(4, false));
    std::vector<float> aPixels(size_t(2048) * 1024 * 4, 0.5f);
    std::unique_ptr<Image> pImage = ImageFrom(aPixels.data(), 2048, 1024, Image::e32float);
    pHuge->CopyFrom(pImage.get(), nullptr);
    ASSERT_EQ(int(pHuge->getProxyLevel()), 4) << "an upload must not touch the proxy level";
    EXPECT_EQ(pHuge->Width(), 32768u);
    EXPECT_EQ(pHuge->Height(), 16384u);
    EXPECT_EQ(pHuge->BitDepth(), 32u);
    EXPECT_EQ(pHuge->VideoMemoryUsage(-1.0f), int64_t(2048) * 1024 * 16);
    EXPECT_EQ(pHuge->VideoMemoryUsage(1.0f), int64_t(8589934592LL));
    EXPECT_EQ(pHuge->VideoMemoryUsage(0.25f), int64_t(2147483648LL));
}

TEST_F(TextureLocationTest, CheckValidityMessages)
{
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    pTexture->Create(64, 64, 4, Image::e8integer);
    EXPECT_NO_THROW(pTexture->CheckValidity(varnik::Node::eFull));

    // Not live while holding a GL texture.
    pTexture->SetLive(false);
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

    // Consistent states pass: CPU memory, and a proxy with its backing image.
    std::unique_ptr<TextureProbe> pGood = NewProbe();
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
        EXPECT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, 300 * 200 * 4 + 512 * 256 * 8);
        ASSERT_TRUE(a->setProxyLevel(2, false));
        b->SetLocation(2);
        EXPECT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, 75 * 50 * 4);
        a->SetLocation(2);
        EXPECT_EQ(Kernel::VideoMemoryUsage(), m_iLedgerAtStart);
        a->SetLocation(1);
        b->SetLocation(1);
        ASSERT_TRUE(b->setProxyLevel(3, false));
        EXPECT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, 75 * 50 * 4 + 64 * 32 * 8);
        EXPECT_EQ(a->VideoMemoryUsage(-1.0f) + b->VideoMemoryUsage(-1.0f),
                  Kernel::VideoMemoryUsage() - m_iLedgerAtStart);
    }
    EXPECT_EQ(Kernel::VideoMemoryUsage(), m_iLedgerAtStart);
}

} // namespace
