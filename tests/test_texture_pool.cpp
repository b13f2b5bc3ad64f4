// The tile pool: the interface's own parts (the UV grid, the tile descriptor),
// then the module's pool through real files in temporary folders: naming,
// lookup, loading, saving and scene records; and the texture's filled and
// file-backed creation they rest on.
#include <sys/resource.h>
#include <climits>
#include <csignal>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <QDir>
#include <QFile>
#include "TextureTestKit.h"
#include "VarnikTexturePool.h"

using namespace varnik;
using varnik::test::ErrorTextOf;
using varnik::test::LogRecorder;
using varnik::test::TempDir;
typedef AxisAlignedBoundingBox Box;
typedef TexturePool::TileDescriptor Descriptor;

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

} // namespace

TEST(TextureTileArray, GrowsInEveryDirectionKeepingEntriesAndRefusesFarCells)
{
    TextureTileArray cGrid;
    EXPECT_FALSE(ErrorTextOf([&] { cGrid.tileFromUV(0, 0); }).isEmpty());
    cGrid.resizeArrayToInclude(2, 3);
    EXPECT_EQ(cGrid.Columns() * cGrid.Rows(), 1);

    // Right and up by one cell (just past the edge), left into negative cells,
    // down into negative cells, two corners.
    const std::pair<int, int> aSteps[] = { { 3, 3 }, { 3, 4 }, { -2, 4 }, { 0, -3 }, { 7, -5 }, { -4, 9 } };
    for (const auto& cStep : aSteps) {
        const Stamps aStamps = Stamp(cGrid);
        const int iMinU = cGrid.MinU(), iMinV = cGrid.MinV();
        const int iMaxU = iMinU + cGrid.Columns() - 1, iMaxV = iMinV + cGrid.Rows() - 1;
        cGrid.resizeArrayToInclude(cStep.first, cStep.second);
        EXPECT_EQ(cGrid.MinU(), std::min(iMinU, cStep.first));
        EXPECT_EQ(cGrid.MinV(), std::min(iMinV, cStep.second));
        EXPECT_EQ(cGrid.MinU() + cGrid.Columns() - 1, std::max(iMaxU, cStep.first));
        EXPECT_EQ(cGrid.MinV() + cGrid.Rows() - 1, std::max(iMaxV, cStep.second));
        // Old cells keep their index, new ones are empty.
        for (int v = cGrid.MinV(); v < cGrid.MinV() + cGrid.Rows(); ++v)
            for (int u = cGrid.MinU(); u < cGrid.MinU() + cGrid.Columns(); ++u) {
                const auto it = aStamps.find({ u, v });
                EXPECT_EQ(cGrid.tileFromUV(u, v).m_iIndex, it == aStamps.end() ? -1 : it->second) << u << "," << v;
            }
    }
    cGrid.dropAll();
    EXPECT_FALSE(cGrid.contains(0, 0));
    cGrid.resizeArrayToInclude(-1, -2);
    EXPECT_EQ(cGrid.Columns() * cGrid.Rows(), 1);

    // Far cells are refused and change nothing; the extremes do not overflow.
    cGrid.tileFromUV(-1, -2).m_iIndex = 4;
    EXPECT_TRUE(ErrorTextOf([&] { cGrid.resizeArrayToInclude(1 << 20, 1 << 20); }).contains("1048578 x 1048579"));
    EXPECT_FALSE(ErrorTextOf([&] { cGrid.resizeArrayToInclude(INT_MIN, 0); }).isEmpty());
    EXPECT_EQ(cGrid.Columns() * cGrid.Rows(), 1);
    EXPECT_EQ(cGrid.tileFromUV(-1, -2).m_iIndex, 4);
    TextureTileArray cEdge;
    cEdge.resizeArrayToInclude(INT_MAX, INT_MAX);
    EXPECT_TRUE(cEdge.contains(INT_MAX, INT_MAX));
    EXPECT_FALSE(cEdge.contains(INT_MAX - 1, INT_MAX));
}

TEST(TileDescriptor, ValidOnesRoundTripOthersAreRefusedAndChangeNothing)
{
    const float fNaN = std::numeric_limits<float>::quiet_NaN();
    struct Case { Descriptor d; bool bValid, bReads; };
    const Case aCases[] = {
        {Descriptor(1024, 2048, Image::e32float, 3, QString::fromUtf8("t\xC3\xAF" "f"), Color(1.f, .5f, .25f, 0.f)),
         true, true},
        {Descriptor(2, 2, Image::eNoFormat, 1, "tif"), true, true},  // format taken from the source
        {Descriptor(), false, true},  // a pool that never had one
        {Descriptor(0, 2, Image::e8integer, 4, "tif"), false, false},
        {Descriptor(2, 0, Image::e8integer, 4, "tif"), false, false},
        {Descriptor(2, 2, Image::e8integer, 0, "tif"), false, false},
        {Descriptor(2, 2, Image::e8integer, 5, "tif"), false, false},
        {Descriptor(2, 2, Image::e16depth, 4, "tif"), false, false},  // depth formats make no tiles
        // Valid in memory, but beyond what a file may carry.
        {Descriptor(70000, 256, Image::e8integer, 4, "tif"), true, false},
        {Descriptor(64, 64, Image::e8integer, 4, "tif", Color(fNaN, 0, 0, 1)), true, false},
        {Descriptor(64, 64, Image::e8integer, 4, "../tif"), true, false},
    };
    const Descriptor cBefore(8, 8, Image::e16float, 4, "exr");
    for (Case k : aCases) {
        EXPECT_EQ(k.bValid, k.d.IsValid()) << k.d.m_iWidth << " " << k.d.m_iChannels;
        QByteArray aData;
        Stream cOut(&aData, true);
        cOut << uint8_t(0) << uint16_t(0);  // the descriptor starts at offset 3
        k.d.Serialize(cOut);
        Stream cIn(&aData, false);
        char aPad[3];
        cIn.Read(aPad, 3);
        Descriptor cRead = cBefore;
        if (k.bReads)
            cRead.Serialize(cIn);
        else
            EXPECT_TRUE(ErrorTextOf([&] { cRead.Serialize(cIn); }).contains("invalid tile descriptor at offset 3"))
                << k.d.m_iWidth;
        EXPECT_TRUE(cRead == (k.bReads ? k.d : cBefore));
    }

    // Four uint32, four floats, then the string.
    QByteArray aData;
    Stream cOut(&aData, true);
    Descriptor(aCases[0].d).Serialize(cOut);
    ASSERT_EQ(aData.size(), 4 * 4 + 4 * 4 + 4 + 4);
    const uint32_t aHead[4] = {1024, 2048, Image::e32float, 3};
    EXPECT_EQ(0, std::memcmp(aData.constData(), aHead, sizeof(aHead)));
}

namespace {

/// A GL test with a temporary folder for the pool's files.
class PoolTest : public varnik::test::GLTest
{
protected:
    TempDir m_cDir;
    const QString m_sDir = m_cDir.Path();  ///< where the pool's files go
};

/// Writes a w x h 8-bit image of `iChannels` channels, every byte `iValue`, at `iBits` a channel in the file.
void WriteImage(const QString& sPath, int w, int h, unsigned int iChannels, uint8_t iValue, unsigned int iBits = 8)
{
    Image c;
    c.create(unsigned(w), unsigned(h), iChannels, Image::e8integer);
    const uint8_t aPixel[4] = {iValue, iValue, iValue, iValue};
    c.fillTile(0, 0, w, h, aPixel);
    c.Save(sPath, iBits);
}

/// First pixel of a texture's content, as RGBA bytes.
std::vector<uint8_t> FirstPixel(Texture* pTexture)
{
    const Image* pImage = pTexture->AsImage();
    std::vector<uint8_t> a(4, 0);
    const PixelDescriptor cDesc(4, PixelDescriptor::eUInt8);
    if (pImage)
        pImage->getTile(0, 0, 1, 1, a.data(), &cDesc);
    return a;
}

std::unique_ptr<VarnikTexturePool> NewPool(const QString& sName = QString())
{
    std::unique_ptr<VarnikTexturePool> p(
        dynamic_cast<VarnikTexturePool*>(Kernel::CreateClassInstance(VarnikTexturePool::StaticClass())));
    if (!sName.isEmpty())
        p->SetFileName(sName);
    return p;
}

Box Cell(float u, float v) { return Box(u, v, 0.f, u + 1.f, v + 1.f, 1.f); }

} // namespace

TEST_F(PoolTest, NamesFollowTheSchemesAndSetFileNameStripsTheSuffixAndProbes)
{
    QDir(m_sDir).mkpath("g");
    QDir(m_sDir).mkpath("a.b_u1_v1.d");
    for (const char* s : {"g/skin_u1_v2_g3.1.tif", "g/skin_u1_v2_g10.1.tif", "g/skin_u1_v2_g9.1.tif",
                          "bad.1001.tif", "bad_1_1.tif"})
        QFile(m_sDir + "/" + s).open(QIODevice::WriteOnly);
    WriteImage(m_sDir + "/skin_u2_v1.tif", 8, 8, 4, 1);
    WriteImage(m_sDir + "/skin_u1_v1.tif", 32, 16, 3, 1, 16);
    struct Row { QString sPool; int u, v; bool bForce; QString sExpected; };
    const Row aRows[] = {
        {m_sDir + "/skin.tif", 0, 0, true, m_sDir + "/skin_u1_v1.tif"},
        {m_sDir + "/skin.tif", -1, 4, true, m_sDir + "/skin_u-1_v5.tif"},
        {m_sDir + "/skin.tif", 0, 0, false, m_sDir + "/skin.tif"},  // one tile at most: the pool's own name
        {m_sDir + "/g/skin_g2.7.tif", 0, 1, true, m_sDir + "/g/skin_u1_v2_g10.1.tif"},
        {m_sDir + "/g/skin_g2.7.tif", 5, 1, true, m_sDir + "/g/skin_u6_v2_g2.7.tif"},
        {m_sDir + "/a.b_u1_v1.d/skin", 1, 0, true, m_sDir + "/a.b_u1_v1.d/skin"},
        {m_sDir + "/a.b_u1_v1.d/skin.png", 1, 0, true, m_sDir + "/a.b_u1_v1.d/skin_u2_v1.png"},
        {"C:\\maps\\skin.tif", 0, 0, true, "C:\\maps\\skin_u1_v1.tif"},
        {"t_%u_%v_%i_%x_%y.tif", -2, 3, false, "t_1_1_0002_-2_3.tif"},
    };
    for (const Row& r : aRows)
        EXPECT_EQ(r.sExpected, NewPool(r.sPool)->TileFileName(r.u, r.v, r.bForce)) << r.sPool.toStdString();

    struct Given { QString sGiven, sStored; unsigned int iWidth; };
    const Given aGiven[] = {
        {"C:\\maps\\skin_u1_v1.tif", "C:\\maps\\skin.tif", 0},
        {m_sDir + "/skin_u2_v1_g3.1.tif", m_sDir + "/skin_g3.1.tif", 0},
        {m_sDir + "/a.b_u1_v1.d/skin.tif", m_sDir + "/a.b_u1_v1.d/skin.tif", 0},
        {m_sDir + "/skin_u2_v1.tif", m_sDir + "/skin.tif", 8},  // the given tile file itself
        {"", "", 0},
    };
    for (const Given& r : aGiven) {
        std::unique_ptr<VarnikTexturePool> p = NewPool(r.sGiven);
        EXPECT_EQ(r.sStored, p->FileName());
        EXPECT_EQ(r.iWidth, p->DefaultTileDescriptor().m_iWidth) << r.sGiven.toStdString();
    }
    // Probed from the first tile file, by name.
    EXPECT_EQ(Descriptor(32, 16, Image::e16integer, 4, "tif"), NewPool(m_sDir + "/skin.tif")->DefaultTileDescriptor());
    LogRecorder cLog;
    NewPool(m_sDir + "/bad.tif");
    EXPECT_TRUE(cLog.Contains("bad.1001.tif, bad_1_1.tif")) << cLog.Text().toStdString();
}

TEST_F(PoolTest, LookupMakesEachTileOnceAndCountsColumns)
{
    std::unique_ptr<VarnikTexturePool> p = NewPool();
    p->SetDefaultTileDescriptor(Descriptor(8, 8, Image::e8integer, 2, "tif", Color::red));
    EXPECT_EQ(4u, p->DefaultTileDescriptor().m_iChannels);  // two-channel tiles not allowed
    Texture* pFirst = p->Tile(Box(0.5f, 0.5f, 0.f, 2.5f, 0.7f, 1.f), false);
    ASSERT_NE(nullptr, pFirst);
    EXPECT_EQ(Cell(0, 0), p->TileArea(0));
    EXPECT_EQ(3u, p->TileColumns());
    EXPECT_EQ(TexturePool::locationCPU, pFirst->Location());
    EXPECT_EQ((std::vector<uint8_t>{255, 0, 0, 255}), FirstPixel(pFirst));
    EXPECT_EQ(pFirst, p->Tile(Cell(0, 0), true));
    EXPECT_EQ(TexturePool::locationGPU, pFirst->Location());
    Texture* pNegative = p->Tile(Box(-0.5f, -1.5f, 0.f, -0.2f, -1.2f, 1.f), true);
    EXPECT_EQ(Cell(-1, -2), p->TileArea(1));
    p->Tile(-2.25f, -0.5f, true);  // by UV: the cell at the floor, wholly left of u = 0
    EXPECT_EQ(Cell(-3, -1), p->TileArea(2));
    EXPECT_EQ(3u, p->TileColumns());
    EXPECT_EQ(nullptr, p->Tile(Box(2.f, 0.f, 0.f, 1.f, 1.f, 1.f), true));
    EXPECT_EQ(3u, p->TileCount());
    EXPECT_EQ(pNegative->VideoMemoryUsage(1.f), p->TileVideoMemoryUsage(Cell(-1, -2), 1.f));
    EXPECT_EQ(0, p->TileVideoMemoryUsage(Cell(7, 7), -1.f));

    std::unique_ptr<VarnikTexturePool> pCopy = NewPool();
    p->SetBlendMode(3);
    static_cast<TexturePool&>(*pCopy) = *p;  // settings and tiles; each keeps its own mixer
    ASSERT_EQ(3u, pCopy->TileCount());
    EXPECT_EQ(3u, pCopy->BlendMode());
    p->Mixer()->SetBlendMode(2);  // made on first use, then kept
    EXPECT_EQ(2u, p->Mixer()->BlendMode());
    EXPECT_NE(pCopy->Mixer(), p->Mixer());
    EXPECT_EQ(FirstPixel(p->Tile(0u)), FirstPixel(pCopy->Tile(0u)));
    p->Reload();  // the tiles go, to be made again from the files
    EXPECT_EQ(0u, p->TileCount());
    Kernel()->Preferences()->m_bAllowTwoChannelTiles = true;
    p->SetDefaultTileDescriptor(Descriptor(65536, 65536, Image::e8integer, 2, "tif"));
    Kernel()->Preferences()->m_bAllowTwoChannelTiles = false;
    EXPECT_EQ(2u, p->DefaultTileDescriptor().m_iChannels);
    EXPECT_EQ(int64_t(65536) * 65536 * 2, p->TileVideoMemoryUsage(Cell(9, 9), 1.f));  // 64-bit estimate
}

TEST_F(PoolTest, TilesLoadFromFilesOrComeUpBlankWithALogLine)
{
    WriteImage(m_sDir + "/one_u1_v1.tif", 4, 4, 4, 200);
    for (const char* s : {"/bad_u1_v1.tif", "/bad_u2_v1.tif"})  // zero-length tile files
        QFile(m_sDir + s).open(QIODevice::WriteOnly);
    LogRecorder cLog;
    std::unique_ptr<VarnikTexturePool> p = NewPool(m_sDir + "/one.tif");  // single file missing, tile file present
    EXPECT_EQ(200, FirstPixel(p->Tile(Cell(0, 0), true))[0]);
    EXPECT_FALSE(cLog.Contains("Failed to load"));

    p = NewPool(m_sDir + "/bad.tif");
    p->SetDefaultTileDescriptor(Descriptor(4, 4, Image::e8integer, 4, "tif", Color::green));
    Kernel()->Preferences()->m_bUseFloatTiles = true;
    Texture* pBlank = p->Tile(Cell(1, 0), true);
    Kernel()->Preferences()->m_bUseFloatTiles = false;
    EXPECT_EQ(Image::e16float * 10 + Image::e16float, pBlank->Format() * 10 + p->TileFormat());
    EXPECT_EQ(255, FirstPixel(pBlank)[1]);
    EXPECT_TRUE(cLog.Contains("Failed to load texture files both " + m_sDir + "/bad.tif and " + m_sDir +
                              "/bad_u2_v1.tif.\n"));
}

TEST_F(PoolTest, SaveWritesChangedTilesExportWritesAllAndFilesRoundTrip)
{
    std::unique_ptr<VarnikTexturePool> p = NewPool();
    p->SetDefaultTileDescriptor(Descriptor(16, 16, Image::e8integer, 4, "tif"));
    const float aCells[][2] = {{0, 0}, {1, 0}, {0, 1}, {3, 2}};
    for (int i = 0; i < 4; ++i)  // live tiles, filled on the GPU
        p->Tile(Cell(aCells[i][0], aCells[i][1]), true)->Create(16, 16, 4, Image::e8integer, Color(0.2f * i, .5f, 1, 1));
    EXPECT_TRUE(p->Save(m_sDir + "/layer.tif", "", nullptr, false));

    std::unique_ptr<VarnikTexturePool> q = NewPool(m_sDir + "/layer.tif");
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(FirstPixel(p->Tile(unsigned(i))), FirstPixel(q->Tile(Cell(aCells[i][0], aCells[i][1]), false)));
    // Only the changed tile is written: the others' files, replaced behind the pool's back, stay.
    for (const char* s : {"/layer_u1_v1.tif", "/layer_u2_v1.tif"})
        WriteImage(m_sDir + s, 16, 16, 4, 7);
    q->Tile(Cell(0, 1), false)->SetLive(false);  // a colour fill in its backing image, which marks it dirty
    q->Tile(Cell(0, 1), false)->Create(16, 16, 4, Image::e8integer, Color::white);
    EXPECT_TRUE(q->Save("", "", nullptr, false));
    EXPECT_FALSE(q->Tile(Cell(0, 1), false)->IsDirty());
    q->SetName("renamed");  // marks every tile dirty, so the next save writes all
    EXPECT_TRUE(q->Tile(Cell(0, 1), false)->IsDirty());
    EXPECT_EQ(7, FirstPixel(NewPool(m_sDir + "/layer_u1_v1.tif")->Tile(Cell(0, 0), false))[0]);
    EXPECT_EQ(255, FirstPixel(NewPool(m_sDir + "/layer_u1_v2.tif")->Tile(Cell(0, 1), false))[0]);

    // Export: every tile, the format from the depth string and the extension; name unchanged.
    struct Row { const char* sExtension; const char* sDepth; Image::Format eWritten; };
    for (const Row& r : {Row{"png", "32,fp", Image::e8integer}, Row{"exr", "16,fp", Image::e16float},
                         Row{"exr", "32", Image::e32float}, Row{"exr", "", Image::e16float},
                         Row{"psd", "32,fp", Image::e16integer}, Row{"tif", "16", Image::e16integer}}) {
        EXPECT_TRUE(q->Export(m_sDir + "/out." + r.sExtension, r.sDepth, nullptr));
        const Image::FileShape c = Image::ReadFileShape(m_sDir + "/out_u4_v3." + r.sExtension);
        EXPECT_EQ(r.eWritten * 10 + 4, c.m_eFormat * 10 + c.m_iChannels) << r.sExtension;  // format, four channels
    }
    EXPECT_EQ(m_sDir + "/layer.tif", q->FileName());

    // A write that fails part-way: a file-size limit lets small tiles through but
    // not the one full of noise. Its earlier file stays whole, nothing partial is left.
    Texture* pNoisy = q->Tile(Cell(1, 0), false);
    std::vector<uint8_t> aNoise(16 * 16 * 4);
    std::mt19937 cRandom(5);
    for (uint8_t& i : aNoise)
        i = uint8_t(cRandom());
    pNoisy->ReplaceWith(texkit::ImageFrom(aNoise.data(), 16, 16, Image::e8integer).get(), nullptr);
    QFile cFile(m_sDir + "/layer_u2_v1.tif");
    ASSERT_TRUE(cFile.open(QIODevice::ReadOnly));
    const QByteArray aBefore = cFile.readAll();
    q->SetTilesDirty();
    rlimit cOld, cLimit;
    getrlimit(RLIMIT_FSIZE, &cOld);
    cLimit = {700, cOld.rlim_max};
    void (*fOldHandler)(int) = std::signal(SIGXFSZ, SIG_IGN);
    setrlimit(RLIMIT_FSIZE, &cLimit);
    LogRecorder cLog;
    const bool bSaved = q->Save("", "", nullptr, false);
    setrlimit(RLIMIT_FSIZE, &cOld);
    std::signal(SIGXFSZ, fOldHandler);
    EXPECT_FALSE(bSaved);
    const QString sMessage = "Failed to save texture file " + m_sDir + "/layer_u2_v1.tif.\n";
    EXPECT_EQ(sMessage, Kernel::Interface()->Status());
    EXPECT_FALSE(Kernel::Interface()->ProgressOpen());
    EXPECT_EQ(2, cLog.Count("Failed to save texture file"));  // the status line and the log, one tile only
    EXPECT_EQ(0, FirstPixel(NewPool(m_sDir + "/layer_u1_v1.tif")->Tile(Cell(0, 0), false))[0]);  // others written
    cFile.seek(0);
    EXPECT_EQ(aBefore, cFile.readAll());
    EXPECT_TRUE(QDir(m_sDir).entryList(QStringList("*saving*"), QDir::Files | QDir::Hidden).isEmpty());
}

TEST_F(PoolTest, SceneRecordsAreLaidOutByVersionAndReadBack)
{
    WriteImage(m_sDir + "/s_u1_v1.tif", 4, 4, 4, 90);
    std::unique_ptr<VarnikTexturePool> p = NewPool(m_sDir + "/s.tif");
    p->Tile(Cell(0, 0), true);
    p->Tile(Cell(2, 0), false)->SetLive(false);
    const Descriptor cDescriptor = p->DefaultTileDescriptor();
    // What the record must hold, written field by field.
    auto fExpected = [&](int32_t iFormat, int32_t iPoolVersion) {
        QByteArray a;
        Stream s(&a, true, iFormat);
        Descriptor d = cDescriptor;
        if (iFormat < 332)  // nothing at all, not even the node
            return a;
        p->Node::Serialize(s);
        if (iPoolVersion > 100)
            d.Serialize(s);
        s << p->FileName();
        if (iFormat >= 351)
            s << uint32_t(1) << uint32_t(3);  // rows, then columns
        if (iFormat >= 362) {
            s << uint32_t(2);
            for (unsigned int i = 0; i < 2; ++i) {  // area, live flag, proxy level
                const Box c = p->TileArea(i);
                s.Write(&c, 24);
                s << uint8_t(i == 0) << uint32_t(0);
            }
        }
        if (iPoolVersion == 100)
            d.Serialize(s);
        return a;
    };
    // Reads a record into `q`; true when it took the whole record.
    auto fRead = [](QByteArray& a, int32_t iFormat, int32_t iPoolVersion, VarnikTexturePool& q) {
        Stream cIn(&a, false, iFormat);
        cIn.SetClassVersion(VarnikTexturePool::StaticClass(), iPoolVersion);
        cIn.SetClassVersion(VarnikTexture::StaticClass(), 1);
        q.Serialize(cIn);
        return cIn.AtEnd();
    };
    struct Row { int32_t iFormat, iPoolVersion; };
    for (const Row& r : {Row{362, 101}, Row{362, 100}, Row{351, 101}, Row{332, 101}, Row{331, 101}, Row{362, 99}, Row{351, 99}}) {
        QByteArray a;
        Stream s(&a, true, r.iFormat);
        s.SetClassVersion(VarnikTexturePool::StaticClass(), r.iPoolVersion);
        p->Serialize(s);
        EXPECT_EQ(fExpected(r.iFormat, r.iPoolVersion), a) << r.iFormat << " " << r.iPoolVersion;

        std::unique_ptr<VarnikTexturePool> q = NewPool();
        EXPECT_TRUE(fRead(a, r.iFormat, r.iPoolVersion, *q));
        EXPECT_EQ(r.iFormat >= 332 ? p->FileName() : QString(), q->FileName());
        if (r.iFormat >= 362) {
            ASSERT_EQ(2u, q->TileCount());
            EXPECT_EQ(Cell(2, 0), q->TileArea(1));
            EXPECT_FALSE(q->Tile(1u)->IsLive());
            EXPECT_EQ(90, FirstPixel(q->Tile(Cell(0, 0), false))[0]);
        }
        if (r.iPoolVersion == 99) {  // rebuilt from tile 0, or the fixed one without tiles
            EXPECT_EQ(r.iFormat >= 362 ? Descriptor(4, 4, Image::e8integer, 4, "tif")
                                       : Descriptor(2, 2, Image::e8integer, 4, "tif"),
                      q->DefaultTileDescriptor());
        }
    }
    // A whole scene: the tile textures' class versions come from the header too.
    const std::vector<Node*> aRead = Stream::ReadScene(Stream::WriteScene({p.get()}));
    ASSERT_EQ(1u, aRead.size());
    std::unique_ptr<VarnikTexturePool> pRead(dynamic_cast<VarnikTexturePool*>(aRead[0]));
    ASSERT_EQ(2u, pRead ? pRead->TileCount() : 0u);
    EXPECT_EQ(90, FirstPixel(pRead->Tile(0u))[0]);
    // A record cut short: an error, and the tiles read so far are whole.
    QByteArray a;
    Stream s(&a, true);
    p->Serialize(s);
    a.chop(20);
    std::unique_ptr<VarnikTexturePool> q = NewPool();
    EXPECT_FALSE(ErrorTextOf([&] { fRead(a, 362, 101, *q); }).isEmpty());
    EXPECT_EQ(1u, q->TileCount());
}

TEST_F(PoolTest, ColourAndFileCreationHandleGoodAndBadInput)
{
    std::unique_ptr<texkit::TextureProbe> t = texkit::NewProbe();
    t->Create(123, 456, 4, Image::e8integer, Color::green);
    const std::vector<uint8_t> aGreen = texkit::GpuPixels(*t, 123, 456);
    EXPECT_EQ((std::vector<uint8_t>{0, 255, 0, 255}), std::vector<uint8_t>(aGreen.end() - 4, aGreen.end()));
    t = texkit::NewProbe();
    t->SetLive(false);
    t->Create(111, 222, 4, Image::e8integer, Color(-1.f, 0.5f, 2.f, 1.f));
    EXPECT_EQ((std::vector<uint8_t>{0, 128, 255, 255}), FirstPixel(t.get()));

    WriteImage(m_sDir + "/rgb.png", 8, 8, 3, 40);
    WriteImage(m_sDir + "/wide.png", int(VarnikTexture::MaxTextureSize()) + 1, 1, 4, 9);
    // Each kind of unreadable file is the image loader's to refuse; here one live
    // and one backing-image texture show a refused file leaves the texture as it was.
    struct Row { QString sFile; bool bLive, bLoads; int iFirst; const char* sLog; };
    for (const Row& r : {Row{m_sDir + "/rgb.png", true, true, 40, "converting to 4 channel"},
                         Row{m_sDir + "/missing.png", true, false, 255, "does not exist"},
                         Row{VARNIK_TEST_DATA_DIR "/corrupt.exr", false, false, 255, "corrupt.exr"},
                         Row{m_sDir + "/wide.png", false, true, 9, "exceeds graphics hardware's texture size limitations"},
                         Row{m_sDir + "/wide.png", true, true, 9, "gl error: invalid value in VarnikTexture::CopyFrom"}}) {
        LogRecorder cLog;
        Kernel::Interface()->ResetRecord();
        t = texkit::NewProbe();
        t->SetLive(r.bLive);
        t->Create(2, 2, 4, Image::e8integer, Color::red);
        EXPECT_EQ(r.bLoads, t->CreateFromFile(r.sFile, 0, Image::eNoFormat)) << r.sFile.toStdString();
        EXPECT_TRUE(cLog.Contains(r.sLog)) << cLog.Text().toStdString();
        EXPECT_EQ(4u, t->ChannelCount());
        EXPECT_EQ(r.iFirst, FirstPixel(t.get())[0]);  // loaded, or still usable as it was
        EXPECT_EQ(r.sFile.endsWith("wide.png") ? 1 : 0, Kernel::Interface()->MessageBoxCount());
    }
    // A requirement on one of channels and format only: the other is the file's.
    EXPECT_TRUE(t->CreateFromFile(m_sDir + "/rgb.png", 0, Image::e16float));
    EXPECT_EQ(Image::e16float * 10 + 4, t->Format() * 10 + t->ChannelCount());
    EXPECT_TRUE(t->CreateFromFile(m_sDir + "/rgb.png", 2, Image::eNoFormat));
    EXPECT_EQ(Image::e8integer * 10 + 2, t->Format() * 10 + t->ChannelCount());
}
