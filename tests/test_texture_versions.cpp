// The version history a texture keeps in its backing image, undoable
// operations around GPU painting, and the dirty state that decides what is
// read back.
#include "TextureTestKit.h"

using namespace texkit;
using varnik::Kernel;

namespace {

const uint8_t s_aRed[4] = {255, 0, 0, 255};
const uint8_t s_aGreen[4] = {0, 255, 0, 255};
const uint8_t s_aBlue[4] = {0, 0, 255, 255};

class TextureVersionsTest : public varnik::test::GLTest
{
protected:
    void SetUp() override
    {
        varnik::test::GLTest::SetUp();
        VarnikTexture::InitializePlugin();
    }

    /// Paints `t` in `aColor` on the GPU, marks it dirty, and applies it to the model.
    static void Paint(TextureProbe& cTexture, std::vector<uint8_t>& aModel, int iWidth, const ImgTile& t,
                      const uint8_t aColor[4])
    {
        PaintRect(cTexture.OpenGLName(), t, aColor[0] / 255.f, aColor[1] / 255.f, aColor[2] / 255.f,
                  aColor[3] / 255.f);
        cTexture.AddDirtyTile(t);
        FillModel(aModel, iWidth, t, aColor);
    }

    /// Walks the history: each step is 'P' (PrevVersion) or 'N' (NextVersion),
    /// lower case when the step must be refused, then the index into `aStates`
    /// the GPU must show afterwards.
    static void Walk(TextureProbe& cTexture, const char* sSteps, const std::vector<std::vector<uint8_t>>& aStates,
                     int iWidth, int iHeight)
    {
        for (const char* p = sSteps; p[0] && p[1]; p += 2) {
            SCOPED_TRACE(testing::Message() << "step " << p[0] << p[1] << " of " << sSteps);
            const bool bPrev = p[0] == 'P' || p[0] == 'p', bMoves = p[0] == 'P' || p[0] == 'N';
            EXPECT_EQ(bPrev ? cTexture.PrevVersion() : cTexture.NextVersion(), bMoves);
            EXPECT_EQ(FirstDifference(GpuPixels(cTexture, iWidth, iHeight), aStates[size_t(p[1] - '0')]), -1);
        }
    }
};

// Without a backing image the version operations answer as a single clean
// version, and none of them makes an image or reads the GPU.
TEST_F(TextureVersionsTest, ResultsWithoutBackingImage)
{
    std::unique_ptr<TextureProbe> pEmpty = NewProbe();
    EXPECT_FALSE(pEmpty->NewVersion()) << "a texture that is not on the GPU has nothing to version";
    EXPECT_EQ(pEmpty->BackingImage(), nullptr);

    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(MakeRGBA8(200, 150, 1), 200, 150);
    GLRecorder cReads;
    EXPECT_FALSE(pTexture->PrevVersion());
    EXPECT_FALSE(pTexture->NextVersion());
    EXPECT_EQ(pTexture->NumVersions(), 1);
    EXPECT_FALSE(pTexture->MergeOldestVersions());
    EXPECT_FALSE(pTexture->PurgeNewerVersions());
    EXPECT_FALSE(pTexture->PurgeAllButCurrentVersion());
    pTexture->SetDirty(true);
    EXPECT_FALSE(pTexture->IsDirty()) << "SetDirty without a backing image does nothing";
    EXPECT_EQ(pTexture->BackingImage(), nullptr);
    EXPECT_EQ(cReads.Framebuffers(), 0);
    EXPECT_EQ(cReads.PackMaps(), 0);
}

// change, NewVersion, change, PrevVersion, NextVersion on the GPU: NewVersion
// takes the painted GPU content into a new backing image first, and each step
// uploads the version it lands on into the same storage.
TEST_F(TextureVersionsTest, GpuStepsUploadTheSelectedVersion)
{
    const int W = 256, H = 256;
    std::vector<uint8_t> aModel = MakeRGBA8(W, H, 2);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aModel, W, H);
    Paint(*pTexture, aModel, W, ImgTile(16, 16, 32, 32), s_aRed);
    std::vector<std::vector<uint8_t>> aStates{aModel};
    ASSERT_TRUE(pTexture->NewVersion());
    ASSERT_NE(pTexture->BackingImage(), nullptr);
    EXPECT_EQ(pTexture->NumVersions(), 2);
    EXPECT_EQ(FirstDifference(ImageBytes(*pTexture->BackingImage()), aStates[0]), -1)
        << "the new backing image must hold what was painted on the GPU";

    const ImgTile cTile(100, 120, 50, 40);
    std::vector<uint8_t> aOther = MakeRGBA8(W, H, 3);
    std::unique_ptr<Image> pOther = ImageFrom(aOther.data(), W, H, Image::e8integer);
    pTexture->ReplaceWith(pOther.get(), &cTile);
    CopyModel(aModel, aOther, W, cTile);
    aStates.push_back(aModel);
    ASSERT_EQ(FirstDifference(GpuPixels(*pTexture, W, H), aStates[1]), -1);
    Walk(*pTexture, "P0N1n1", aStates, W, H);
    EXPECT_EQ(Kernel::VideoMemoryUsage() - m_iLedgerAtStart, int64_t(W) * H * 4);
}

// A backing image with nothing to keep is read afresh from the GPU before a
// new version opens, so the version holds what the GPU shows.
TEST_F(TextureVersionsTest, NewVersionRereadsADisposableBackingImage)
{
    const int W = 200, H = 180;
    std::vector<uint8_t> aModel = MakeRGBA8(W, H, 13);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aModel, W, H);
    ASSERT_TRUE(pTexture->NewVersion());
    ASSERT_TRUE(pTexture->PurgeAllButCurrentVersion());
    pTexture->SetDirty(false);
    ASSERT_FALSE(pTexture->BackingImage()->Keep());

    PaintRect(pTexture->OpenGLName(), ImgTile(20, 30, 50, 40), 0.f, 0.f, 1.f, 1.f);  // not marked
    FillModel(aModel, W, ImgTile(20, 30, 50, 40), s_aBlue);
    ASSERT_TRUE(pTexture->NewVersion());
    EXPECT_EQ(pTexture->NumVersions(), 2);
    EXPECT_EQ(FirstDifference(ImageBytes(*pTexture->BackingImage()), aModel), -1);
    Walk(*pTexture, "P0", {aModel}, W, H);
}

// The host's stroke cycle: begin, paint, end, twice; undo and redo through
// every state; a new operation after an undo drops the redo; merge and purges.
TEST_F(TextureVersionsTest, UndoableOperationsStepBackAndForth)
{
    const int W = 256, H = 192;
    std::vector<uint8_t> aModel = MakeRGBA8(W, H, 4);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aModel, W, H);
    std::vector<std::vector<uint8_t>> aStates{aModel};
    const ImgTile aTiles[2] = {ImgTile(10, 20, 100, 30), ImgTile(40, 40, 64, 64)};
    const uint8_t* aColors[2] = {s_aBlue, s_aGreen};
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(pTexture->BeginUndoableOperation());
        EXPECT_EQ(pTexture->NumVersions(), i + 2);
        Paint(*pTexture, aModel, W, aTiles[i], aColors[i]);
        ASSERT_TRUE(pTexture->EndUndoableOperation());
        aStates.push_back(aModel);
    }
    EXPECT_EQ(FirstDifference(ImageBytes(*pTexture->AsImage()), aStates[2]), -1)
        << "after the end the backing image holds the painted tiles";
    EXPECT_EQ(pTexture->Location(), 1u) << "a current backing image is returned without moving the texture";
    Walk(*pTexture, "P1P0p0N1N2n2P1", aStates, W, H);

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
    EXPECT_FALSE(pTexture->PrevVersion());
}

// The same cycle on a float texture: painted floats come back exactly.
TEST_F(TextureVersionsTest, UndoableOperationsOnFloatTexture)
{
    const int W = 128, H = 128;
    std::vector<float> aOriginal = MakeRGBA32F(W, H, 5);
    std::unique_ptr<TextureProbe> pTexture = NewProbe();
    std::unique_ptr<Image> pImage = ImageFrom(aOriginal.data(), W, H, Image::e32float);
    pTexture->CopyFrom(pImage.get(), nullptr);

    ASSERT_TRUE(pTexture->BeginUndoableOperation());
    const ImgTile cTile(30, 50, 40, 20);
    PaintRect(pTexture->OpenGLName(), cTile, 0.25f, 0.5f, 0.75f, 1.0f);
    pTexture->AddDirtyTile(cTile);
    ASSERT_TRUE(pTexture->EndUndoableOperation());
    std::vector<float> aPainted = aOriginal;
    for (int y = cTile.y; y < cTile.y + cTile.ny; ++y)
        for (int x = cTile.x; x < cTile.x + cTile.nx; ++x)
            for (int c = 0; c < 4; ++c)
                aPainted[(size_t(y) * W + size_t(x)) * 4 + size_t(c)] = 0.25f * float(c + 1);
    EXPECT_TRUE(ImageFloats(*pTexture->AsImage()) == aPainted);
    EXPECT_TRUE(pTexture->PrevVersion());
    EXPECT_TRUE(varnik::test::ReadTextureRGBA32F(pTexture->OpenGLName(), W, H) == aOriginal);
    EXPECT_TRUE(pTexture->NextVersion());
    EXPECT_TRUE(varnik::test::ReadTextureRGBA32F(pTexture->OpenGLName(), W, H) == aPainted);
}

// change, NewVersion, change, PrevVersion, NextVersion in CPU memory: the
// steps stay on the CPU, and moving to the GPU uploads the current version.
TEST_F(TextureVersionsTest, CpuStepsStayInCpuMemory)
{
    const int W = 192, H = 160;
    std::vector<uint8_t> aModel = MakeRGBA8(W, H, 6);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aModel, W, H);
    pTexture->SetLocation(2);
    ASSERT_EQ(pTexture->Location(), 2u);
    pTexture->SetDirty(true);  // the host marks a layer it edits

    std::vector<std::vector<uint8_t>> aStates;
    const ImgTile aTiles[2] = {ImgTile(10, 10, 40, 30), ImgTile(100, 90, 60, 50)};
    for (int i = 0; i < 2; ++i) {
        if (i == 1) {
            ASSERT_TRUE(pTexture->NewVersion());
        }
        std::vector<uint8_t> aSource = MakeRGBA8(W, H, 7 + i);
        std::unique_ptr<Image> pSource = ImageFrom(aSource.data(), W, H, Image::e8integer);
        pTexture->ReplaceWith(pSource.get(), &aTiles[i]);
        CopyModel(aModel, aSource, W, aTiles[i]);
        aStates.push_back(aModel);
    }
    EXPECT_EQ(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(Kernel::VideoMemoryUsage(), m_iLedgerAtStart);
    EXPECT_EQ(FirstDifference(ImageBytes(*pTexture->AsImage()), aStates[1]), -1);
    EXPECT_TRUE(pTexture->PrevVersion());
    EXPECT_EQ(pTexture->Location(), 2u);
    EXPECT_EQ(pTexture->OpenGLName(), 0u) << "stepping in CPU memory uploads nothing";
    EXPECT_EQ(FirstDifference(ImageBytes(*pTexture->AsImage()), aStates[0]), -1);
    EXPECT_TRUE(pTexture->NextVersion());
    EXPECT_EQ(FirstDifference(ImageBytes(*pTexture->AsImage()), aStates[1]), -1);

    EXPECT_TRUE(pTexture->PrevVersion());
    pTexture->SetLocation(1);
    ASSERT_NE(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(FirstDifference(GpuPixels(*pTexture, W, H), aStates[0]), -1);
    EXPECT_EQ(pTexture->NumVersions(), 2);
}

// Nested begins are refused without opening a second version; an end
// without a begin is refused and reads nothing.
TEST_F(TextureVersionsTest, BeginAndEndPairing)
{
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(MakeRGBA8(256, 256, 9), 256, 256);
    {
        GLRecorder cReads;
        EXPECT_FALSE(pTexture->EndUndoableOperation());
        EXPECT_EQ(cReads.Framebuffers(), 0);
        EXPECT_EQ(pTexture->BackingImage(), nullptr);
    }
    ASSERT_TRUE(pTexture->BeginUndoableOperation());
    EXPECT_TRUE(pTexture->IsInUndoableOperation());
    EXPECT_FALSE(pTexture->BeginUndoableOperation()) << "nested begin";
    EXPECT_EQ(pTexture->NumVersions(), 2) << "a refused begin must not open a version";
    {
        GLRecorder cReads;
        EXPECT_TRUE(pTexture->EndUndoableOperation());
        EXPECT_EQ(cReads.Framebuffers(), 0) << "nothing was painted, so nothing is read";
        EXPECT_EQ(cReads.PackMaps(), 0);
    }
    EXPECT_FALSE(pTexture->IsInUndoableOperation());
    EXPECT_FALSE(pTexture->IsBackingImageStale());
    EXPECT_FALSE(pTexture->EndUndoableOperation());
    EXPECT_EQ(pTexture->NumVersions(), 2);
}

// Readback reads the dirty tiles and nothing else: painting that was never
// marked stays out of the backing image, and each dirty cell is one read.
TEST_F(TextureVersionsTest, SynchronizationReadsOnlyDirtyTiles)
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
    ASSERT_EQ(pTexture->DirtyRegion().DirtyTiles().size(), 4u);
    EXPECT_TRUE(pTexture->IsBackingImageStale());
    {
        GLRecorder cReads;
        ASSERT_TRUE(pTexture->BeginUndoableOperation());
        EXPECT_EQ(cReads.Framebuffers(), 4) << "one GPU read per dirty tile";
        EXPECT_EQ(cReads.PackMaps(), 4);
    }
    EXPECT_TRUE(pTexture->DirtyRegion().IsEmpty()) << "the synchronisation empties the dirty region";
    {
        GLRecorder cReads;
        ASSERT_TRUE(pTexture->EndUndoableOperation());
        EXPECT_EQ(cReads.Framebuffers(), 0);
    }
    EXPECT_EQ(FirstDifference(ImageBytes(*pTexture->AsImage()), aModel), -1)
        << "the backing image must have the marked paint and only that";
    // The begin's version came after the marked paint was read; stepping back
    // shows it, and overwrites the unmarked paint.
    Walk(*pTexture, "P1P0", aStates, W, H);
}

// AddDirtyTile marks the backing image stale: AsImage then reads the dirty
// tiles and moves the texture to CPU memory.
TEST_F(TextureVersionsTest, AddDirtyTileMarksBackingImageStale)
{
    const int W = 256, H = 256;
    std::vector<uint8_t> aModel = MakeRGBA8(W, H, 11);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aModel, W, H);
    ASSERT_TRUE(pTexture->BeginUndoableOperation());
    ASSERT_TRUE(pTexture->EndUndoableOperation());
    ASSERT_FALSE(pTexture->IsBackingImageStale());
    ASSERT_NE(pTexture->AsImage(), nullptr);
    EXPECT_EQ(pTexture->Location(), 1u);

    Paint(*pTexture, aModel, W, ImgTile(130, 5, 70, 20), s_aGreen);
    EXPECT_TRUE(pTexture->IsBackingImageStale());
    const Image* pImage = pTexture->AsImage();
    ASSERT_NE(pImage, nullptr);
    EXPECT_EQ(pTexture->Location(), 2u);
    EXPECT_EQ(pTexture->OpenGLName(), 0u);
    EXPECT_EQ(Kernel::VideoMemoryUsage(), m_iLedgerAtStart);
    EXPECT_EQ(FirstDifference(ImageBytes(*pImage), aModel), -1);
}

// The dirty flag: forwarded to the backing image, set by stepping through
// versions, untouched by proxies and moves.
TEST_F(TextureVersionsTest, DirtyFlagRules)
{
    const int W = 256, H = 128;
    std::vector<uint8_t> aModel = MakeRGBA8(W, H, 12);
    std::unique_ptr<TextureProbe> pTexture = UploadRGBA8(aModel, W, H);
    ASSERT_TRUE(pTexture->BeginUndoableOperation());
    Paint(*pTexture, aModel, W, ImgTile(0, 0, 16, 16), s_aBlue);
    ASSERT_TRUE(pTexture->EndUndoableOperation());
    pTexture->SetDirty(false);
    EXPECT_FALSE(pTexture->IsDirty());
    pTexture->SetDirty(true);
    EXPECT_TRUE(pTexture->IsDirty());

    pTexture->SetDirty(false);
    EXPECT_TRUE(pTexture->PrevVersion());
    EXPECT_TRUE(pTexture->IsDirty()) << "PrevVersion sets the dirty flag";
    pTexture->SetDirty(false);
    EXPECT_TRUE(pTexture->NextVersion());
    EXPECT_TRUE(pTexture->IsDirty()) << "NextVersion sets the dirty flag";

    pTexture->SetDirty(false);
    ASSERT_TRUE(pTexture->setProxyLevel(1, false));
    EXPECT_FALSE(pTexture->IsDirty()) << "raising the proxy level";
    ASSERT_TRUE(pTexture->setProxyLevel(0, false));
    EXPECT_FALSE(pTexture->IsDirty()) << "returning to level 0";
    pTexture->SetLocation(2);
    EXPECT_FALSE(pTexture->IsDirty()) << "moving to CPU memory";
    pTexture->SetLocation(1);
    EXPECT_FALSE(pTexture->IsDirty()) << "moving back to the GPU";
}

} // namespace
