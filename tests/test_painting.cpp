// Painting: the SDK brush, compositing strokes into layers at full resolution
// and through proxies, and the composite-all command.
#include "TextureTestKit.h"
#include <cmath>
#include "CompositeAllAction.h"
#include "varnik/Brush.h"
#include "varnik/Interface.h"

using namespace texkit;
using varnik::Brush;
using varnik::TexturePool;

namespace {

/// The replay textures live as long as the module: not a test's memory.
class PaintingTest : public varnik::test::GLTest
{
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        m_iScratch = ScratchBytes();
    }
    void TearDown() override
    {
        m_iLedgerAtStart += ScratchBytes() - m_iScratch;
        GLTest::TearDown();
    }
    static int64_t ScratchBytes() { return VarnikTexture::CompositeScratchMemory(); }
    int64_t m_iScratch = 0;
};

const int s_iW = 200, s_iH = 136;  // not multiples of the 64-texel cells

/// A live layer of 8-bit or float RGBA holding a pattern of varied alpha.
std::unique_ptr<TextureProbe> NewLayer(Image::Format eFormat, int iSeed)
{
    std::unique_ptr<TextureProbe> pLayer = NewProbe();
    const bool b8 = eFormat == Image::e8integer;
    pLayer->CopyFrom(ImageFrom(b8 ? (void*)MakeRGBA8(s_iW, s_iH, iSeed).data() : MakeRGBA32F(s_iW, s_iH, iSeed).data(),
                               s_iW, s_iH, eFormat).get(), nullptr);
    return pLayer;
}

/// Largest difference of two images: 1/255 steps on 8-bit, values on float.
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

/// A source texture holding a brush stroke that crosses the split pieces.
struct Stroke
{
    std::unique_ptr<TextureProbe> m_pSource = NewProbe();
    mutable varnik::ImgDirtyRegion m_cRegion;
    explicit Stroke(int iVariant)
    {
        m_pSource->Create(s_iW, s_iH, 4, Image::e8integer);
        Brush cBrush;
        cBrush.Clear(*m_pSource);
        cBrush.SetColor(varnik::Color(0.9f, 0.3f - 0.2f * iVariant, 0.1f, 0.7f));
        cBrush.SetHardness(0.3f);
        cBrush.SetRadius(9.f + 4.f * iVariant);
        m_cRegion = cBrush.Paint(*m_pSource, {{10.f + 30 * iVariant, 20}, {120, 110}, {190, 40 + 50.f * iVariant}});
    }
    void On(varnik::Texture& cLayer, unsigned int iMode = 0, const varnik::Store<float>* pWeights = nullptr) const
    {
        cLayer.Composite(m_pSource.get(), &m_cRegion, iMode, pWeights);
    }
};

CompositeAllAction* CompositeAll() { return dynamic_cast<CompositeAllAction*>(varnik::Action::Find("Composite paint strokes")); }

} // namespace

TEST_F(PaintingTest, BrushDabsSpacingAndDirtyRegion)
{
    Brush cBrush;
    cBrush.SetRadius(8.f);
    cBrush.SetSpacing(0.5f);  // a dab every 4 texels, carried over the corner
    const auto aDabs = cBrush.DabCentres({{10, 10}, {16, 10}, {16, 20}});
    ASSERT_EQ(aDabs.size(), 5u);
    EXPECT_TRUE(aDabs[2].x == 16.f && aDabs[2].y == 12.f && aDabs[4].y == 20.f);

    // Every texel the stroke changed lies in a dirty tile; the colour is the
    // brush's own (straight), full inside the hard core, fading outside it.
    const int w = 160, h = 96;
    auto pSource = NewProbe();
    pSource->Create(w, h, 4, Image::e8integer);
    cBrush.Clear(*pSource);
    cBrush.SetColor(varnik::Color(1.f, 0.5f, 0.f, 1.f));
    cBrush.SetRadius(10.f);
    cBrush.SetSpacing(0.25f);
    const varnik::ImgDirtyRegion cRegion = cBrush.Paint(*pSource, {{5, 5}, {150, 70}});
    const std::vector<uint8_t> aPixels = GpuPixels(*pSource, w, h);
    int iPainted = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const uint8_t* p = &aPixels[size_t(y * w + x) * 4];
            if (p[3] == 0)
                continue;
            ++iPainted;
            ASSERT_TRUE(std::any_of(cRegion.DirtyTiles().begin(), cRegion.DirtyTiles().end(), [&](const ImgTile& t) {
                return !ImgTile(t, ImgTile(x, y, 1, 1)).isEmpty(); })) << x << "," << y;
            ASSERT_TRUE(p[0] == 255 && p[1] == 128 && p[2] == 0) << x << "," << y;
        }
    EXPECT_GT(iPainted, 145 * 10);
    EXPECT_TRUE(aPixels[size_t(5 * w + 5) * 4 + 3] == 255 && aPixels[size_t(90 * w + 5) * 4 + 3] == 0);
    // Clipped at the left and bottom edges; the last dab falls short of the end point.
    EXPECT_TRUE(cRegion.BoundingBox() == ImgTile(0, 0, cRegion.BoundingBox().nx, 80) && cRegion.BoundingBox().nx >= 158);

    cBrush.Clear(*pSource, &cRegion);
    EXPECT_EQ(GpuPixels(*pSource, w, h), std::vector<uint8_t>(aPixels.size(), 0));
    EXPECT_TRUE(cBrush.Paint(*pSource, {}).IsEmpty());
    EXPECT_FALSE(varnik::test::ErrorTextOf([&] { cBrush.Paint(*NewProbe(), {{1, 1}}); }).isEmpty());
}

TEST_F(PaintingTest, ProxyStrokesReplayedByEveryRoadMatchLevelZero)
{
    s_cMaxCompositeSize.m_pAttribute->SetValue(48, true);  // strokes cross many pieces
    const Stroke aStrokes[2] = {Stroke(0), Stroke(1)};
    varnik::Store<float> cWeights("unknown", 2);
    cWeights[0] = 0.8f;
    cWeights[1] = 0.6f;
    const varnik::Store<float>* const aWeights[2] = {nullptr, &cWeights};
    int iCase = 0;
    for (Image::Format eFormat : {Image::e8integer, Image::e32float})
        for (unsigned int iMode = 0; iMode <= 5; ++iMode)
            for (const varnik::Store<float>* pWeights : aWeights) {
                SCOPED_TRACE(testing::Message() << "format " << eFormat << " mode " << iMode << (pWeights ? " w" : ""));
                auto pReference = NewLayer(eFormat, iMode);
                for (const Stroke& s : aStrokes)
                    s.On(*pReference, iMode, pWeights);
                // Three textures at proxy levels 1, 2, 1, drained by the three roads
                // in an order that changes from case to case.
                std::unique_ptr<TextureProbe> aLayers[3];
                for (int i = 0; i < 3; ++i) {
                    aLayers[i] = NewLayer(eFormat, iMode);
                    ASSERT_TRUE(aLayers[i]->setProxyLevel(i == 1 ? 2 : 1, false));
                    auto Shown = [&] { return GpuPixels(*aLayers[i], aLayers[i]->TextureWidth(), aLayers[i]->TextureHeight()); };
                    const auto aShown = Shown();
                    for (const Stroke& s : aStrokes)
                        s.On(*aLayers[i], iMode, pWeights);
                    ASSERT_EQ(aLayers[i]->PendingComposites().size(), 2);
                    EXPECT_TRUE(eFormat != Image::e8integer || Shown() != aShown);  // shown at once on the proxy
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
                    EXPECT_TRUE(aLayers[i]->PendingComposites().isEmpty() &&
                                aLayers[i]->getProxyLevel() == (i == iBounded ? 0 : i == 1 ? 2 : 1));
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
            pLayer->SyncContent();  // on a proxy the GPU then holds the backing image's reduced copy
            const auto aGpuBefore = Gpu();
            const auto aBefore = Backing();
            cStroke.On(*pLayer);
            const auto aAfter = Backing();
            pLayer->SyncContent();
            const auto aGpuAfter = Gpu();
            ASSERT_TRUE(aAfter != aBefore && pLayer->IsDirty());
            ASSERT_TRUE(pLayer->PrevVersion());
            EXPECT_TRUE(Backing() == aBefore && Gpu() == aGpuBefore);
            ASSERT_TRUE(pLayer->NextVersion());
            EXPECT_TRUE(Backing() == aAfter && Gpu() == aGpuAfter);
        }
}

TEST_F(PaintingTest, CompositesWithNothingToDoChangeAndQueueNothing)
{
    const Stroke cStroke(0);
    auto pBlank = NewProbe(), pOnCpu = NewProbe();  // no GL name; in CPU memory
    pOnCpu->Create(s_iW, s_iH, 4, Image::e8integer);
    pOnCpu->SetLocation(TexturePool::locationCPU);
    varnik::ImgDirtyRegion cEmpty;
    struct Case { const varnik::Texture* pSource; varnik::ImgDirtyRegion* pRegion; bool bLayerOnCpu; };
    const Case aCases[] = {{nullptr, &cStroke.m_cRegion, false}, {cStroke.m_pSource.get(), &cEmpty, false},
                           {pBlank.get(), nullptr, false}, {pOnCpu.get(), nullptr, false},
                           {cStroke.m_pSource.get(), &cStroke.m_cRegion, true}};
    for (const Case& c : aCases)
        for (unsigned char iLevel : {0, 1}) {
            SCOPED_TRACE(testing::Message() << "case " << (&c - aCases) << " level " << int(iLevel));
            auto pLayer = NewLayer(Image::e8integer, 5);
            pLayer->setProxyLevel(iLevel, false);
            pLayer->SetLocation(c.bLayerOnCpu ? 2 : 1);
            const auto aBefore = ImageBytes(*pLayer->AsImage());
            const int iVersions = pLayer->NumVersions();
            pLayer->Composite(c.pSource, c.pRegion, 0, nullptr);
            // A layer in CPU memory at a proxy level still queues: its backing image gets the stroke.
            const bool bQueues = c.bLayerOnCpu && iLevel == 1;
            EXPECT_EQ(pLayer->PendingComposites().size(), bQueues ? 1 : 0);
            EXPECT_TRUE(bQueues || (ImageBytes(*pLayer->AsImage()) == aBefore && pLayer->NumVersions() == iVersions));
        }

    // A proxied texture without a backing image cannot keep a stroke: refused whole.
    auto pBare = NewProbe();
    pBare->Create(64, 64, 4, Image::e8integer);
    pBare->Free();
    pBare->setProxyLevel(1, false);
    EXPECT_EQ(varnik::test::ErrorTextOf([&] { cStroke.On(*pBare); }), "No associated image data for proxied texture");
    EXPECT_TRUE(pBare->PendingComposites().isEmpty());
    // Deleted with strokes queued: the ledger is checked when the test ends.
    auto pQueued = NewLayer(Image::e32float, 6);
    pQueued->setProxyLevel(2, false);
    cStroke.On(*pQueued, 1);
}

TEST_F(PaintingTest, CompositeAllKeepsLocationAndLevelAndAlwaysRedraws)
{
    const Stroke cStroke(1);
    varnik::Interface* pUi = varnik::Kernel::Interface();
    const int iRedraws = varnik::Kernel::ViewPort()->RedrawCount();
    pUi->ResetRecord();
    CompositeAll()->Execute();  // nothing queued
    EXPECT_TRUE(pUi->ProgressStarts() == 1 && pUi->ProgressTotal() == 0 && !pUi->ProgressOpen() &&
                pUi->ProgressTitle() == "Compositing...");
    EXPECT_EQ(varnik::Kernel::ViewPort()->RedrawCount(), iRedraws + 1);

    // On the GPU, in CPU memory, and not live: each drained, each back where it was.
    std::unique_ptr<TextureProbe> aTextures[3] = {NewLayer(Image::e8integer, 1), NewLayer(Image::e8integer, 2),
                                                  NewProbe()};
    aTextures[2]->SetLive(false);
    aTextures[2]->Create(s_iW, s_iH, 4, Image::e8integer);
    aTextures[1]->SetLocation(TexturePool::locationCPU);
    for (auto& p : aTextures) {
        ASSERT_TRUE(p->setProxyLevel(1, false));
        cStroke.On(*p);
    }
    CompositeAll()->Execute();
    EXPECT_TRUE(pUi->ProgressTotal() == 3 && pUi->ProgressDone() == 3);
    const unsigned int aLocations[3] = {TexturePool::locationGPU, TexturePool::locationCPU, TexturePool::locationCPU};
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(aTextures[i]->PendingComposites().isEmpty() && aTextures[i]->Location() == aLocations[i] &&
                    aTextures[i]->getProxyLevel() == 1) << i;
}

TEST_F(PaintingTest, SmallerTwoChannelSourceIsStretchedOverTheLayer)
{
    // A 512^2 luminance-alpha half ramp over a blue 1024x2048 RGBA8 layer, at level 0 and replayed
    // from level 1: the layer keeps its shape, and the mixer's bilinear stretch of a ramp is exact.
    const int n = 512, w = 1024, h = 2048;
    std::vector<float> aSource(size_t(n) * n * 2, 1.f);
    for (int i = 0; i < n * n; ++i)
        aSource[size_t(i) * 2] = float(i % n + i / n) / (2 * n - 2);
    auto pImage = NewImage();
    auto pSource = NewProbe();
    const varnik::PixelDescriptor cFloats(2, varnik::PixelDescriptor::eFloat32);
    pImage->create(n, n, 2, Image::e16float);
    pImage->setTile(0, 0, n, n, aSource.data(), &cFloats);
    pSource->CopyFrom(pImage.get(), nullptr);
    auto At = [&](size_t i, int iSide) { return std::min(std::max((i + 0.5) * n / iSide - 0.5, 0.0), n - 1.0); };
    std::vector<uint8_t> aReference(size_t(w) * h * 4, 255);
    for (size_t i = 0; i < aReference.size(); ++i)
        aReference[i] = i % 4 == 3 ? 255 : uint8_t(std::lround((At(i / 4 % w, w) + At(i / 4 / w, h)) * 255 / (2 * n - 2)));
    for (unsigned char iLevel : {0, 1}) {
        auto pLayer = NewProbe();
        pLayer->Create(w, h, 4, Image::e8integer, varnik::Color(0.f, 0.f, 1.f, 1.f));
        pLayer->setProxyLevel(iLevel, false);
        pLayer->Composite(pSource.get(), nullptr, 0, nullptr);
        EXPECT_EQ(pLayer->PendingComposites().size(), iLevel);
        EXPECT_LE(MaxDifference(ImageBytes(*pLayer->AsImage()), aReference), 1) << "level " << int(iLevel);
    }
}

// Splitting and scaling are checked by the module's own tester groups; here
// only a source without width, which must not divide by zero.
TEST(PaintingGeometryTest, RelativeRegionOfAnEmptySourceIsEmpty)
{
    VarnikTexture cTexture;
    EXPECT_EQ(cTexture.RelativeRegion(ImgTile(0, 0, 0, 32), ImgTile(0, 0, 64, 32), ImgTile(5, 7, 11, 13)).nx, 0);
}
