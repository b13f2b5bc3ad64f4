// The pool interface's own parts: the UV grid, the tile descriptor and the
// slots a pool may leave to the base.
#include "VarnikTest.h"

#include <climits>
#include <cstring>
#include <map>

using varnik::AxisAlignedBoundingBox;
using varnik::Color;
using varnik::Image;
using varnik::Stream;
using varnik::TexturePool;
using varnik::TextureTileArray;
using varnik::test::ErrorTextOf;

namespace {

typedef std::map<std::pair<int, int>, int> Stamps;

/// Gives every covered cell a distinct index and returns what it gave.
Stamps Stamp(TextureTileArray& cGrid)
{
    Stamps aStamps;
    for (int v = cGrid.MinV(); v < cGrid.MinV() + cGrid.Rows(); ++v)
        for (int u = cGrid.MinU(); u < cGrid.MinU() + cGrid.Columns(); ++u)
            cGrid.tileFromUV(u, v).m_iIndex = aStamps[{ u, v }] = 100 + int(aStamps.size());
    return aStamps;
}

/// The smallest pool; records the box of the last lookup.
class MinimalPool : public TexturePool
{
public:
    unsigned int Location() const override { return 0; }
    const TileDescriptor& DefaultTileDescriptor() const override { return m_cDescriptor; }
    const QString& FileName() const override { return m_sFile; }
    bool Save(const QString&, const QString&, varnik::Material*, bool) override { return false; }
    bool Export(const QString&, const QString&, varnik::Material*) override { return false; }
    void SetDefaultTileDescriptor(const TileDescriptor&) override {}
    void SetLocation(unsigned int) override {}
    void SetFileName(const QString&) override {}
    void SetDirty(bool) override {}
    void SetTilesDirty() override {}
    void Reload() override {}
    bool IsDirty() const override { return false; }
    unsigned int TileCount() const override { return 0; }
    using TexturePool::Tile;
    varnik::Texture* Tile(const AxisAlignedBoundingBox& cBox, bool) override { m_cLastBox = cBox; return nullptr; }
    varnik::Texture* Tile(unsigned int) override { return nullptr; }
    AxisAlignedBoundingBox TileArea(unsigned int) const override { return AxisAlignedBoundingBox(); }
    int64_t TileVideoMemoryUsage(const varnik::AxisAlignedBoundingBox&, float) const override { return 0; }

    TileDescriptor m_cDescriptor;
    QString m_sFile;
    AxisAlignedBoundingBox m_cLastBox;
};

} // namespace

TEST(TextureTileArray, GrowsInEveryDirectionKeepingEntriesInTheirCells)
{
    TextureTileArray cGrid;
    EXPECT_FALSE(cGrid.contains(0, 0));
    EXPECT_FALSE(ErrorTextOf([&] { cGrid.tileFromUV(0, 0); }).isEmpty());
    cGrid.resizeArrayToInclude(2, 3);
    EXPECT_EQ(cGrid.Columns() * cGrid.Rows(), 1);
    EXPECT_EQ(cGrid.tileFromUV(2, 3).m_iIndex, -1);

    // Right, up, left into negative cells, down into negative cells, two corners.
    const std::pair<int, int> aSteps[] = { { 5, 3 }, { 3, 6 }, { -2, 4 }, { 0, -3 }, { 7, -5 }, { -4, 9 } };
    for (const auto& cStep : aSteps) {
        const Stamps aStamps = Stamp(cGrid);
        const int iMinU = cGrid.MinU(), iMinV = cGrid.MinV();
        const int iMaxU = iMinU + cGrid.Columns() - 1, iMaxV = iMinV + cGrid.Rows() - 1;
        cGrid.resizeArrayToInclude(cStep.first, cStep.second);
        EXPECT_EQ(cGrid.MinU(), std::min(iMinU, cStep.first));
        EXPECT_EQ(cGrid.MinV(), std::min(iMinV, cStep.second));
        EXPECT_EQ(cGrid.MinU() + cGrid.Columns() - 1, std::max(iMaxU, cStep.first));
        EXPECT_EQ(cGrid.MinV() + cGrid.Rows() - 1, std::max(iMaxV, cStep.second));
        EXPECT_FALSE(cGrid.contains(cGrid.MinU() - 1, cGrid.MinV()));
        EXPECT_FALSE(cGrid.contains(cGrid.MinU(), cGrid.MinV() + cGrid.Rows()));
        // Old cells keep their index, new ones are empty.
        for (int v = cGrid.MinV(); v < cGrid.MinV() + cGrid.Rows(); ++v)
            for (int u = cGrid.MinU(); u < cGrid.MinU() + cGrid.Columns(); ++u) {
                const auto it = aStamps.find({ u, v });
                EXPECT_EQ(cGrid.tileFromUV(u, v).m_iIndex, it == aStamps.end() ? -1 : it->second) << u << "," << v;
            }
    }
    EXPECT_EQ(cGrid.Columns(), 12);
    EXPECT_EQ(cGrid.Rows(), 15);
    cGrid.dropAll();
    EXPECT_FALSE(cGrid.contains(0, 0));
    cGrid.resizeArrayToInclude(-1, -2);
    EXPECT_EQ(cGrid.Columns() * cGrid.Rows(), 1);
    EXPECT_EQ(cGrid.tileFromUV(-1, -2).m_iIndex, -1);
}

TEST(TextureTileArray, FarCellsAreRefusedAndExtremesDoNotOverflow)
{
    TextureTileArray cGrid;
    cGrid.resizeArrayToInclude(0, 0);
    cGrid.tileFromUV(0, 0).m_iIndex = 4;
    EXPECT_TRUE(ErrorTextOf([&] { cGrid.resizeArrayToInclude(1 << 20, 1 << 20); }).contains("1048577 x 1048577"));
    EXPECT_FALSE(ErrorTextOf([&] { cGrid.resizeArrayToInclude(INT_MIN, 0); }).isEmpty());
    EXPECT_EQ(cGrid.Columns() * cGrid.Rows(), 1);  // unchanged by the refusals
    EXPECT_EQ(cGrid.tileFromUV(0, 0).m_iIndex, 4);

    TextureTileArray cEdge;
    cEdge.resizeArrayToInclude(INT_MAX, INT_MAX);
    EXPECT_TRUE(cEdge.contains(INT_MAX, INT_MAX));
    EXPECT_FALSE(cEdge.contains(INT_MIN, INT_MIN));
    EXPECT_FALSE(cEdge.contains(INT_MAX - 1, INT_MAX));
}

TEST(TileDescriptor, Validity)
{
    EXPECT_FALSE(TexturePool::TileDescriptor().IsValid());
    auto Valid = [](unsigned int w, unsigned int h, uint32_t f, unsigned int c) {
        return TexturePool::TileDescriptor(w, h, Image::Format(f), c, "tif").IsValid();
    };
    EXPECT_TRUE(Valid(2, 2, 0, 1) && Valid(2, 2, 4, 4) && Valid(2, 2, 8, 2));  // 8: format taken from the source
    EXPECT_FALSE(Valid(0, 2, 0, 4));
    EXPECT_FALSE(Valid(2, 0, 0, 4));
    EXPECT_FALSE(Valid(2, 2, 0, 0));
    EXPECT_FALSE(Valid(2, 2, 0, 5));
    EXPECT_FALSE(Valid(2, 2, 5, 4));  // depth formats make no tiles
    EXPECT_FALSE(Valid(2, 2, 9, 4));
}

TEST(TileDescriptor, StreamRoundTripAndTruncation)
{
    const TexturePool::TileDescriptor cTile(1024, 2048, Image::e8integer, 3, QString::fromUtf8("t\xC3\xAF" "f"),
                                            Color(1.f, 0.5f, 0.25f, 0.f));
    QByteArray aData;
    Stream cOut(&aData, true);
    TexturePool::TileDescriptor(cTile).Serialize(cOut);
    ASSERT_EQ(aData.size(), 4 * 4 + 4 * 4 + 4 + 4);  // four uint32, four floats, string
    uint32_t aHead[4];
    std::memcpy(aHead, aData.constData(), sizeof(aHead));
    EXPECT_EQ(aHead[0], 1024u);
    EXPECT_EQ(aHead[1], 2048u);
    EXPECT_EQ(aHead[3], 3u);

    TexturePool::TileDescriptor cRead;
    Stream cIn(&aData, false);
    cRead.Serialize(cIn);
    EXPECT_TRUE(cRead == cTile);
    EXPECT_TRUE(cIn.AtEnd());

    // Cut anywhere, the read fails and the descriptor keeps what it had.
    const TexturePool::TileDescriptor cBefore(8, 8, Image::e16float, 4, "exr");
    for (int iLength = 0; iLength < aData.size(); ++iLength) {
        QByteArray aCut(aData.constData(), iLength);
        Stream cShort(&aCut, false);
        TexturePool::TileDescriptor cKept = cBefore;
        EXPECT_TRUE(ErrorTextOf([&] { cKept.Serialize(cShort); }).contains("offset")) << iLength;
        EXPECT_TRUE(cKept == cBefore) << iLength;
    }
}

TEST(TexturePoolBase, RecordsTileByUVAndMixer)
{
    const varnik::ClassDesc* pRecord = TexturePool::StaticClass();
    EXPECT_EQ(pRecord->CreatorFunction(), nullptr);  // an interface
    for (const char* sName : { "TexturePool", "Action", "UnitTest", "Material", "RenderTarget" }) {
        const varnik::ClassDesc* pInterface = varnik::ClassDesc::FindByName(sName);
        ASSERT_NE(pInterface, nullptr) << sName;  // registered when the library loads
        EXPECT_EQ(pInterface->Parent(), varnik::Node::StaticClass()) << sName;
    }

    MinimalPool cPool;
    EXPECT_EQ(cPool.RuntimeClass(), pRecord);
    // Tile by UV: the unit box at the floor of (u, v), negative values included.
    cPool.Tile(2.75f, -0.25f, true);
    EXPECT_EQ(cPool.m_cLastBox, AxisAlignedBoundingBox(2.f, -1.f, 0.f, 3.f, 0.f, 1.f));
    cPool.Tile(-3.f, 5.5f, false);
    EXPECT_EQ(cPool.m_cLastBox, AxisAlignedBoundingBox(-3.f, 5.f, 0.f, -2.f, 6.f, 1.f));

    // One mixer per pool, made on first use; copying settings does not share it.
    varnik::TextureMixer* pMixer = cPool.Mixer();
    ASSERT_NE(pMixer, nullptr);
    EXPECT_EQ(cPool.Mixer(), pMixer);
    MinimalPool cOther;
    cPool.SetBlendMode(3);
    static_cast<TexturePool&>(cOther) = cPool;
    EXPECT_EQ(cOther.BlendMode(), 3u);
    EXPECT_NE(cOther.Mixer(), pMixer);
}
