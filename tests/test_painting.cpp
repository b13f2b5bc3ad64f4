// Painting: the SDK brush, compositing strokes into layers at full resolution
// and through proxies, and the composite-all command.
#include "TextureTestKit.h"
#include <cmath>
#include "CompositeAllAction.h"
#include "varnik/Brush.h"
#include "varnik/Interface.h"

using namespace texkit;
using varnik::Brush;

namespace {

/// The replay scratch texture lives as long as the module: its memory is not
/// counted against a test.
class PaintingTest : public varnik::test::GLTest
{
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        m_iScratchAtStart = ScratchBytes();
    }
    void TearDown() override
    {
        m_iLedgerAtStart += ScratchBytes() - m_iScratchAtStart;
        GLTest::TearDown();
    }
    static int64_t ScratchBytes()
    {
        const VarnikTexture* p = VarnikTexture::CompositeScratch();
        return p ? p->VideoMemoryUsage(-1.f) : 0;
    }
    int64_t m_iScratchAtStart = 0;
};

const int s_iW = 200, s_iH = 136;  // not multiples of the 64-texel cells

/// A live layer of 8-bit or float RGBA holding a pattern of varied alpha.
std::unique_ptr<TextureProbe> NewLayer(Image::Format eFormat, int iSeed)
{
    std::unique_ptr<TextureProbe> pLayer = NewProbe();
    std::unique_ptr<Image> pImage;
    if (eFormat == Image::e8integer)
        pImage = ImageFrom(MakeRGBA8(s_iW, s_iH, iSeed).data(), s_iW, s_iH, eFormat);
    else
        pImage = ImageFrom(MakeRGBA32F(s_iW, s_iH, iSeed).data(), s_iW, s_iH, eFormat);
    pLayer->CopyFrom(pImage.get(), nullptr);
    return pLayer;
}

/// Largest difference of two full-resolution images, in units of the format
/// (1/255 steps on 8-bit, values on float).
double ImageDifference(const Image& a, const Image& b)
{
    if (a.format() == Image::e8integer)
        return MaxDifference(ImageBytes(a), ImageBytes(b));
    const std::vector<float> fa = ImageFloats(a), fb = ImageFloats(b);
    double fWorst = fa.size() == fb.size() ? 0.0 : 1e9;
    for (size_t i = 0; i < std::min(fa.size(), fb.size()); ++i)
        fWorst = std::max(fWorst, double(std::fabs(fa[i] - fb[i])));
    return fWorst;
}

/// A source texture holding two brush strokes that cross the split pieces.
struct Stroke
{
    std::unique_ptr<TextureProbe> m_pSource = NewProbe();
    varnik::ImgDirtyRegion m_cRegion;
    explicit Stroke(int iVariant)
    {
        m_pSource->Create(s_iW, s_iH, 4, Image::e8integer);
        Brush cBrush;
        cBrush.Clear(*m_pSource);
        cBrush.SetColor(varnik::Color(0.9f, 0.3f - 0.2f * iVariant, 0.1f, 0.7f));
        cBrush.SetRadius(9.f + 4.f * iVariant);
        cBrush.SetHardness(0.3f);
        m_cRegion = cBrush.Paint(*m_pSource, {{10.f + 30 * iVariant, 20}, {120, 110}, {190, 40 + 50.f * iVariant}});
    }
};

CompositeAllAction* CompositeAll()
{
    return dynamic_cast<CompositeAllAction*>(varnik::Action::Find("Composite paint strokes"));
}

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

TEST_F(PaintingTest, ProxyStrokesReplayedByEveryRoadMatchLevelZero)
{
    s_cMaxCompositeSize.m_pAttribute->SetValue(48, true);  // strokes cross many pieces
    const Stroke aStrokes[2] = {Stroke(0), Stroke(1)};
    varnik::Store<float> cWeights("unknown", 2);
    cWeights[0] = 0.8f;
    cWeights[1] = 0.6f;
    int iCase = 0;
    for (Image::Format eFormat : {Image::e8integer, Image::e32float})
        for (unsigned int iMode = 0; iMode <= 5; ++iMode)
            for (const varnik::Store<float>* pWeights : {(const varnik::Store<float>*)nullptr, (const varnik::Store<float>*)&cWeights}) {
                SCOPED_TRACE(testing::Message() << "format " << eFormat << " mode " << iMode
                                                << (pWeights ? " weighted" : ""));
                auto pReference = NewLayer(eFormat, iMode);
                for (const Stroke& s : aStrokes)
                    pReference->Composite(s.m_pSource.get(), const_cast<varnik::ImgDirtyRegion*>(&s.m_cRegion),
                                          iMode, pWeights);
                // Three textures at proxy levels 1, 2, 1, drained by the three roads
                // in an order that changes from case to case.
                std::unique_ptr<TextureProbe> aLayers[3];
                for (int i = 0; i < 3; ++i) {
                    aLayers[i] = NewLayer(eFormat, iMode);
                    ASSERT_TRUE(aLayers[i]->setProxyLevel(i == 1 ? 2 : 1, false));
                    const auto aShown = GpuPixels(*aLayers[i], aLayers[i]->TextureWidth(), aLayers[i]->TextureHeight());
                    for (const Stroke& s : aStrokes)
                        aLayers[i]->Composite(s.m_pSource.get(), const_cast<varnik::ImgDirtyRegion*>(&s.m_cRegion),
                                              iMode, pWeights);
                    ASSERT_EQ(aLayers[i]->PendingComposites().size(), 2);
                    if (eFormat == Image::e8integer)  // shown at once on the proxy
                        EXPECT_GT(MaxDifference(aShown, GpuPixels(*aLayers[i], aLayers[i]->TextureWidth(),
                                                                 aLayers[i]->TextureHeight())), 0);
                }
                const int iBounded = iCase % 3, iAsImage = (iCase + 1) % 3;
                for (int iCalls = 0; !aLayers[iBounded]->setProxyLevel(0, true); ++iCalls)
                    ASSERT_LT(iCalls, 100);
                aLayers[iAsImage]->AsImage();
                varnik::Kernel::Interface()->ResetRecord();
                CompositeAll()->Execute();
                EXPECT_EQ(varnik::Kernel::Interface()->ProgressTotal(), 1u);  // only the third had strokes left
                const double fTolerance = eFormat == Image::e8integer ? 1.0 : 1e-3;
                for (int i = 0; i < 3; ++i) {
                    EXPECT_TRUE(aLayers[i]->PendingComposites().isEmpty());
                    EXPECT_EQ(aLayers[i]->getProxyLevel(), i == iBounded ? 0 : i == 1 ? 2 : 1);
                    EXPECT_LE(ImageDifference(*aLayers[i]->AsImage(), *pReference->AsImage()), fTolerance)
                        << "texture " << i << (i == iBounded ? " (bounded)" : i == iAsImage ? " (AsImage)" : " (all)");
                }
                ++iCase;
            }
    s_cMaxCompositeSize.m_pAttribute->SetValue(1024, true);
}

TEST_F(PaintingTest, UndoGivesBackExactPixelsOnGpuAndBackingImageRedoTheStroke)
{
    const Stroke cStroke(0);
    for (Image::Format eFormat : {Image::e8integer, Image::e32float})
        for (unsigned char iLevel : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "format " << eFormat << " level " << int(iLevel));
            auto pLayer = NewLayer(eFormat, 3);
            ASSERT_TRUE(pLayer->setProxyLevel(iLevel, false));
            auto Gpu = [&] { return varnik::test::ReadTextureRGBA32F(pLayer->OpenGLName(), pLayer->TextureWidth(),
                                                                    pLayer->TextureHeight()); };
            auto Backing = [&] { return ImageBytes(*pLayer->AsImage()); };
            // On a proxy the GPU holds the backing image's reduced copy once synchronised.
            pLayer->SyncContent();
            const auto aGpuBefore = Gpu();
            const auto aBefore = Backing();
            pLayer->Composite(cStroke.m_pSource.get(), const_cast<varnik::ImgDirtyRegion*>(&cStroke.m_cRegion), 0,
                              nullptr);
            const auto aAfter = Backing();
            pLayer->SyncContent();
            const auto aGpuAfter = Gpu();
            ASSERT_NE(aAfter, aBefore);
            EXPECT_TRUE(pLayer->IsDirty());
            ASSERT_TRUE(pLayer->PrevVersion());
            EXPECT_EQ(FirstDifference(Backing(), aBefore), -1);
            EXPECT_TRUE(Gpu() == aGpuBefore);
            ASSERT_TRUE(pLayer->NextVersion());
            EXPECT_EQ(FirstDifference(Backing(), aAfter), -1);
            EXPECT_TRUE(Gpu() == aGpuAfter);
        }
}

TEST_F(PaintingTest, CompositesWithNothingToDoChangeAndQueueNothing)
{
    const Stroke cStroke(0);
    auto pBlank = NewProbe();  // no GL name
    auto pOnCpu = NewProbe();
    pOnCpu->Create(s_iW, s_iH, 4, Image::e8integer);
    pOnCpu->SetLocation(varnik::TexturePool::locationCPU);
    varnik::ImgDirtyRegion cEmpty;
    varnik::ImgDirtyRegion* pRegion = const_cast<varnik::ImgDirtyRegion*>(&cStroke.m_cRegion);
    struct Case { const char* sName; const varnik::Texture* pSource; varnik::ImgDirtyRegion* pRegion; bool bLayerOnCpu; };
    const Case aCases[] = {
        {"null source", nullptr, pRegion, false},          {"empty region", cStroke.m_pSource.get(), &cEmpty, false},
        {"source without GL name", pBlank.get(), nullptr, false}, {"source in CPU memory", pOnCpu.get(), nullptr, false},
        {"layer in CPU memory", cStroke.m_pSource.get(), pRegion, true},
    };
    for (const Case& c : aCases)
        for (unsigned char iLevel : {0, 1}) {
            SCOPED_TRACE(testing::Message() << c.sName << " level " << int(iLevel));
            auto pLayer = NewLayer(Image::e8integer, 5);
            pLayer->setProxyLevel(iLevel, false);
            if (c.bLayerOnCpu)
                pLayer->SetLocation(varnik::TexturePool::locationCPU);
            const auto aBefore = ImageBytes(*pLayer->AsImage());
            const int iVersions = pLayer->NumVersions();
            pLayer->Composite(c.pSource, c.pRegion, 0, nullptr);
            // A layer in CPU memory at a proxy level still queues (its backing image gets the stroke).
            const bool bQueues = c.bLayerOnCpu && iLevel == 1;
            EXPECT_EQ(pLayer->PendingComposites().size(), bQueues ? 1 : 0);
            if (!bQueues) {
                EXPECT_EQ(FirstDifference(ImageBytes(*pLayer->AsImage()), aBefore), -1);
                EXPECT_EQ(pLayer->NumVersions(), iVersions);
            }
        }

    // A proxied texture without a backing image cannot keep a stroke: refused whole.
    auto pBare = NewProbe();
    pBare->Create(64, 64, 4, Image::e8integer);
    pBare->Free();
    pBare->setProxyLevel(1, false);
    EXPECT_EQ(varnik::test::ErrorTextOf([&] { pBare->Composite(cStroke.m_pSource.get(), pRegion, 0, nullptr); }),
              QString("No associated image data for proxied texture"));
    EXPECT_TRUE(pBare->PendingComposites().isEmpty());

    // Deleted with strokes queued: the ledger is checked when the test ends.
    auto pQueued = NewLayer(Image::e32float, 6);
    pQueued->setProxyLevel(2, false);
    pQueued->Composite(cStroke.m_pSource.get(), pRegion, 1, nullptr);
    EXPECT_EQ(pQueued->PendingComposites().size(), 1);
    pQueued.reset();
}

TEST_F(PaintingTest, CompositeAllKeepsLocationAndLevelAndAlwaysRedraws)
{
    const Stroke cStroke(1);
    varnik::ImgDirtyRegion* pRegion = const_cast<varnik::ImgDirtyRegion*>(&cStroke.m_cRegion);
    varnik::Interface* pUi = varnik::Kernel::Interface();
    const int iRedraws = varnik::Kernel::ViewPort()->RedrawCount();
    pUi->ResetRecord();
    CompositeAll()->Execute();  // nothing queued
    EXPECT_EQ(pUi->ProgressStarts(), 1);
    EXPECT_EQ(pUi->ProgressTotal(), 0u);
    EXPECT_FALSE(pUi->ProgressOpen());
    EXPECT_EQ(pUi->ProgressTitle(), QString("Compositing..."));
    EXPECT_EQ(varnik::Kernel::ViewPort()->RedrawCount(), iRedraws + 1);
    EXPECT_EQ(CompositeAll()->Flags(), 96);

    // On the GPU, in CPU memory, and not live: each drained, each back where it was.
    auto pGpu = NewLayer(Image::e8integer, 1), pCpu = NewLayer(Image::e8integer, 2);
    auto pNotLive = NewProbe();
    pNotLive->SetLive(false);
    pNotLive->Create(s_iW, s_iH, 4, Image::e8integer);
    pCpu->SetLocation(varnik::TexturePool::locationCPU);
    for (TextureProbe* p : {pGpu.get(), pCpu.get(), pNotLive.get()}) {
        ASSERT_TRUE(p->setProxyLevel(1, false));
        p->Composite(cStroke.m_pSource.get(), pRegion, 0, nullptr);
        ASSERT_EQ(p->PendingComposites().size(), 1);
    }
    CompositeAll()->Execute();
    EXPECT_EQ(pUi->ProgressTotal(), 3u);
    EXPECT_EQ(pUi->ProgressDone(), 3u);
    const unsigned int aLocations[3] = {varnik::TexturePool::locationGPU, varnik::TexturePool::locationCPU,
                                        varnik::TexturePool::locationCPU};
    const TextureProbe* aTextures[3] = {pGpu.get(), pCpu.get(), pNotLive.get()};
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(aTextures[i]->PendingComposites().isEmpty()) << i;
        EXPECT_EQ(aTextures[i]->Location(), aLocations[i]) << i;
        EXPECT_EQ(aTextures[i]->getProxyLevel(), 1) << i;
    }
    EXPECT_EQ(pGpu->TextureWidth(), unsigned(s_iW / 2));
}

TEST(PaintingGeometryTest, SplitAndRelativeRegions)
{
    VarnikTexture cTexture;
    const ImgTile r(0, 0, 100, 50);
    EXPECT_EQ(cTexture.SplitDirtyRegions(40, r),
              (QVector<ImgTile>{{0, 0, 40, 40}, {40, 0, 40, 40}, {80, 0, 20, 40}, {0, 40, 40, 10}, {40, 40, 40, 10},
                                {80, 40, 20, 10}}));
    EXPECT_EQ(cTexture.SplitDirtyRegions(200, r), QVector<ImgTile>{r});
    EXPECT_TRUE(cTexture.SplitDirtyRegions(0, r).isEmpty());
    for (int iSize : {1, 7, 33, 99}) {  // pieces cover the input exactly, none too large
        int64_t iArea = 0;
        for (const ImgTile& t : cTexture.SplitDirtyRegions(iSize, ImgTile(3, 5, 97, 41))) {
            EXPECT_TRUE(t.nx <= iSize && t.ny <= iSize && ImgTile(t, ImgTile(3, 5, 97, 41)) == t);
            iArea += int64_t(t.nx) * t.ny;
        }
        EXPECT_EQ(iArea, 97 * 41) << iSize;
    }
    const ImgTile a(0, 0, 64, 32), aTimes3(0, 0, 192, 96), cInside(5, 7, 11, 13);
    EXPECT_EQ(cTexture.RelativeRegion(a, a, cInside), cInside);
    EXPECT_EQ(cTexture.RelativeRegion(a, aTimes3, cInside), ImgTile(15, 21, 33, 39));
    EXPECT_EQ(cTexture.RelativeRegion(aTimes3, a, ImgTile(1, 1, 3, 3)), ImgTile(0, 0, 2, 2));  // start down, end up
    EXPECT_EQ(cTexture.RelativeRegion(ImgTile(0, 0, 0, 32), a, cInside).nx, 0);
}
