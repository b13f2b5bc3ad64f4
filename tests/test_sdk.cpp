// The SDK's own pieces: value types, errors and stores, preferences, the
// kernel, the class registry, attributes, crash-reporter scopes and the GL
// context.
#include "VarnikTest.h"
#include <EGL/egl.h>
#include <cmath>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <sys/resource.h>
#include <QDir>
#include <QByteArray>
#include <QFile>
#include "CrashScope.h"

using namespace varnik;
using varnik::test::LogRecorder;
using varnik::test::ErrorTextOf;

// ---------------------------------------------------------------------------
// Plain value types of the SDK: rectangles, dirty regions, half floats.

namespace {

float BitsToFloat(uint32_t i) { float f; std::memcpy(&f, &i, 4); return f; }

bool IsHalfNaN(uint16_t h) { return (h & 0x7c00u) == 0x7c00u && (h & 0x3ffu) != 0; }

} // namespace

TEST(ImgTileTest, IntersectionClipsOrIsEmpty)
{
    const ImgTile a(10, 20, 100, 50);
    EXPECT_EQ(ImgTile(a, ImgTile(50, 0, 100, 40)), ImgTile(50, 20, 60, 20));
    EXPECT_EQ(ImgTile(ImgTile(50, 0, 100, 40), a), ImgTile(50, 20, 60, 20));
    // Contained, negative positions.
    EXPECT_EQ(ImgTile(ImgTile(-64, -64, 128, 128), ImgTile(-10, -5, 4, 3)), ImgTile(-10, -5, 4, 3));
    // Touching edges share no texel.
    EXPECT_TRUE(ImgTile(a, ImgTile(110, 20, 5, 5)).isEmpty());
    EXPECT_TRUE(ImgTile(a, ImgTile(10, 70, 5, 5)).isEmpty());
    // An empty operand gives an empty result even when its position lies inside.
    EXPECT_TRUE(ImgTile(a, ImgTile(20, 30, 0, 10)).isEmpty());
    EXPECT_EQ(ImgTile(a, ImgTile(500, 500, 1, 1)).Area(), 0);
    // Edges near the 32-bit limit do not wrap.
    const int32_t iBig = std::numeric_limits<int32_t>::max() - 10;
    EXPECT_EQ(ImgTile(ImgTile(iBig, 0, 10, 10), ImgTile(iBig + 5, 0, 100, 10)), ImgTile(iBig + 5, 0, 5, 10));
    EXPECT_EQ(ImgTile(0, 0, 65536, 65536).Area(), int64_t(65536) * 65536);
}

TEST(ImgDirtyRegionTest, TilesAreCellClippedInRowMajorOrder)
{
    ImgDirtyRegion r;
    EXPECT_TRUE(r.IsEmpty());
    // A stroke over the corner of four cells, added after one in a later row.
    r.AddToDirtyRegion(ImgTile(130, 140, 4, 4));
    r.AddToDirtyRegion(ImgTile(60, 50, 10, 20));
    const std::vector<ImgTile> aExpected = {
        ImgTile(60, 50, 4, 14), ImgTile(64, 50, 6, 14),
        ImgTile(60, 64, 4, 6), ImgTile(64, 64, 6, 6),
        ImgTile(130, 140, 4, 4) };
    EXPECT_EQ(r.DirtyTiles(), aExpected);
    EXPECT_EQ(r.BoundingBox(), ImgTile(60, 50, 74, 94));
    EXPECT_EQ(r.AddedTiles().size(), 2u);
    // Negative coordinates use the cell left of zero.
    EXPECT_EQ(ImgDirtyRegion(ImgTile(-3, -70, 6, 8)).DirtyTiles(),
              (std::vector<ImgTile>{ImgTile(-3, -70, 3, 6), ImgTile(0, -70, 3, 6), ImgTile(-3, -64, 3, 2),
                                    ImgTile(0, -64, 3, 2)}));

    // Rectangles in one cell merge; the cached tiles follow changes.
    r = ImgDirtyRegion(ImgTile(2, 3, 4, 4));
    EXPECT_EQ(r.DirtyTiles(), std::vector<ImgTile>{ ImgTile(2, 3, 4, 4) });
    r.AddToDirtyRegion(ImgTile(30, 40, 2, 2));
    r.AddToDirtyRegion(ImgTile(0, 0, 0, 50));  // empty: ignored
    EXPECT_EQ(r.DirtyTiles(), std::vector<ImgTile>{ ImgTile(2, 3, 30, 39) });
    EXPECT_EQ(r.AddedTiles().size(), 2u);
    r.Reset();
    EXPECT_TRUE(r.IsEmpty());
    EXPECT_TRUE(r.DirtyTiles().empty());
    EXPECT_EQ(r.BoundingBox(), ImgTile());
    EXPECT_TRUE(ImgDirtyRegion(ImgTile(5, 5, 0, 0)).IsEmpty());
}

TEST(HalfTest, KnownValuesTiesDenormalsSpecialsAndEveryHalfRoundTrips)
{
    const float fInf = std::numeric_limits<float>::infinity();
    const std::pair<float, uint16_t> aCases[] = {
        {1.f, 0x3c00}, {-2.f, 0xc000}, {0.5f, 0x3800}, {65504.f, 0x7bff},
        {65519.f, 0x7bff}, {65520.f, 0x7c00},  // below halfway to 65536; the tie rounds to even: infinity
        {1e10f, 0x7c00}, {-fInf, 0xfc00}, {-0.f, 0x8000}, {1e-30f, 0x0000},
        // 1 + 2^-11 lies halfway between 0x3c00 and 0x3c01: the even one wins.
        {1.f + std::ldexp(1.f, -11), 0x3c00}, {1.f + 3.f * std::ldexp(1.f, -11), 0x3c02},
        {1.f + std::ldexp(1.f, -11) + std::ldexp(1.f, -20), 0x3c01},
        // Denormals: 2^-24 is the smallest; 2^-25 is a tie to 0; a bit more rounds up; 1.5 ulp ties to 2.
        {std::ldexp(1.f, -24), 0x0001}, {std::ldexp(1.f, -25), 0x0000}, {std::ldexp(1.5f, -25), 0x0001},
        {std::ldexp(3.f, -25), 0x0002}, {-std::ldexp(1023.f, -24), 0x83ff}, {std::ldexp(1.f, -14), 0x0400}};
    for (const auto& c : aCases)
        EXPECT_EQ(half_::FromFloat(c.first), c.second) << c.first;
    EXPECT_TRUE(std::isinf(half_::ToFloat(0x7c00)));  // the round trip would pass with the largest float
    // NaN stays NaN, also when its payload sits only in bits a half cannot keep.
    EXPECT_TRUE(IsHalfNaN(half_::FromFloat(std::numeric_limits<float>::quiet_NaN())));
    EXPECT_TRUE(IsHalfNaN(half_::FromFloat(BitsToFloat(0x7f800001u))));

    // Every half comes back from its float.
    for (uint32_t i = 0; i < 0x10000u; ++i) {
        const uint16_t h = uint16_t(i);
        const uint16_t hBack = half_::FromFloat(half_::ToFloat(h));
        ASSERT_TRUE(IsHalfNaN(h) ? IsHalfNaN(hBack) : hBack == h) << std::hex << i << " came back as " << hBack;
    }
    // Random finite floats within the half range: no neighbour of the result is closer,
    // and at an exact tie the result is the even one.
    std::mt19937 cRandom(1234);
    std::uniform_real_distribution<float> cExp(-26.f, 16.f);
    for (int n = 0; n < 200000; ++n) {
        const float f = std::exp2(cExp(cRandom)) * ((n & 1) ? -1.f : 1.f);
        if (std::fabs(f) >= 65504.f)
            continue;
        const uint16_t h = half_::FromFloat(f);
        const double fErr = std::fabs(double(half_::ToFloat(h)) - f);
        for (int iStep : { -1, 1 }) {
            const uint16_t hN = uint16_t(h + iStep);
            if ((h & 0x7fffu) == 0 && iStep < 0)
                continue;  // no neighbour below zero's magnitude
            const double fErrN = std::fabs(double(half_::ToFloat(hN)) - f);
            ASSERT_LE(fErr, fErrN) << f;
            ASSERT_TRUE(fErr < fErrN || (h & 1u) == 0) << "tie not rounded to even for " << f;
        }
    }
}

// ---------------------------------------------------------------------------
// varnik::Error texts and the host log, memory blocks and stores.

TEST(ErrorTest, FormatFillsMarkersDescribeAndReport)
{
    Error e(QString(), 4, "VarnikTexture::CopyTo", "src/plugins/Texture/Texture", 42);
    EXPECT_EQ(e.Format("size %1 x %2 of \"%3\"", 512, 256u, QString("layer"))->Text(),
              QString("size 512 x 256 of \"layer\""));
    // Markers out of order, repeated, and an argument that contains a marker itself.
    EXPECT_EQ(e.Format("%2/%1/%2", "a", "b")->Text(), QString("b/a/b"));
    EXPECT_EQ(e.Format("file %1 failed: %2", "C:/50%2_%1.png", "denied")->Text(),
              QString("file C:/50%2_%1.png failed: denied"));
    // Lowest markers take the first arguments, as QString::arg does; extra markers stay.
    EXPECT_EQ(e.Format("%3 then %7 then %9", 1.5, 'x')->Text(), QString("1.5 then x then %9"));
    EXPECT_EQ(e.Format("%10 and %2", "a", "b")->Text(), QString("b and a"));
    EXPECT_EQ(e.Format("100% sure, %1", true)->Text(), QString("100% sure, 1"));
    EXPECT_EQ(e.Format("x"), &e);  // the error itself, ready to throw

    // Describe leaves out empty parts; Report logs it.
    Error cError(QString(), 4, "VarnikTexture::Create", "src/plugins/Texture/Texture", 7);
    EXPECT_EQ(cError.Format("bad size %1", -3)->Describe(),
              QString("VarnikTexture::Create: bad size -3 (file src/plugins/Texture/Texture, line 7)"));
    EXPECT_EQ(Error("Unknown image format").Describe(), QString("Unknown image format"));
    EXPECT_EQ(Error("t", 1, "F").Describe(), QString("F: t"));
    EXPECT_EQ(Error("t", 1, QString(), "file.cpp").Describe(), QString("t (file file.cpp)"));
    EXPECT_EQ(Error("", 1, "F", QString(), 9).Describe(), QString("F (line 9)"));
    LogRecorder cLog;
    Error("went wrong", 4, "Pool::Save", "src/x", 3).Report();
    ASSERT_EQ(cLog.Lines().size(), 1);
    EXPECT_EQ(cLog.Lines()[0], QString("Pool::Save: went wrong (file src/x, line 3)\n"));
}

class StoreTest : public ::testing::Test
{
protected:
    void TearDown() override { Block::SetLimit(0); }
};

/// Whether `f` throws the static out-of-memory error, which Discard must keep.
template <typename F>
bool ThrowsBadAlloc(F&& f)
{
    try {
        f();
    } catch (Error* pError) {
        Error::Discard(pError);
        return pError == &Error::s_cBadAlloc;
    }
    return false;
}

TEST_F(StoreTest, StoresAccountCopiesKeepTheLimitAndAreListedLargestFirst)
{
    Store<float> aWeights;  // named "unknown"
    const size_t iUnknown = Block::BytesUnder("unknown");
    aWeights.SetCount(4);
    aWeights[3] = 0.5f;
    EXPECT_EQ(aWeights[0], 0.f);
    EXPECT_EQ(Block::BytesUnder("unknown"), iUnknown + 16);
    {
        Store<float> aCopy(aWeights);
        EXPECT_EQ(aCopy.Count(), 4u);
        EXPECT_EQ(aCopy[3], 0.5f);
        EXPECT_EQ(Block::BytesUnder("unknown"), iUnknown + 32);
        aCopy = Store<float>("Pixel Data", 1);  // assignment keeps the target's name
        EXPECT_EQ(Block::BytesUnder("unknown"), iUnknown + 20);
        EXPECT_EQ(Block::BytesUnder("Pixel Data"), 0u);
    }
    EXPECT_EQ(Block::BytesUnder("unknown"), iUnknown + 16);

    // A limit refuses with the static error.
    Store<double> aData("test: limited", 8);
    Block::SetLimit(Block::TotalBytes() + 100);
    EXPECT_TRUE(ThrowsBadAlloc([&] { aData.SetCount(1000); }));
    // Only the static error is static: a copy, like any other error, belongs to its holder.
    EXPECT_TRUE(Error::s_cBadAlloc.IsStatic() && !Error::s_cBadAlloc.Text().isEmpty());
    EXPECT_FALSE(Error(Error::s_cBadAlloc).IsStatic() || Error("x").IsStatic());
    Error::Discard(new Error("x"));
    Error::Discard(nullptr);
    // Nothing changed on refusal.
    EXPECT_EQ(aData.Count(), 8u);
    EXPECT_EQ(Block::BytesUnder("test: limited"), 64u);
    aData.SetCount(20);  // growing within the limit
    // A new block over the limit is refused at construction and leaves no trace.
    EXPECT_TRUE(ThrowsBadAlloc([] { Block cBig("test: too big", 1000); }));
    EXPECT_EQ(Block::BytesUnder("test: too big"), 0u);

    // A count whose bytes pass what memory can address is refused the same way,
    // with the accounting left as it was.
    Block::SetLimit(0);
    for (const size_t iCount : { std::numeric_limits<size_t>::max() / 2, std::numeric_limits<size_t>::max() / 4 + 1 }) {
        EXPECT_TRUE(ThrowsBadAlloc([&] { aData.SetCount(iCount); })) << iCount;
        EXPECT_EQ(aData.Count(), 20u);
        EXPECT_EQ(Block::BytesUnder("test: limited"), 160u);
    }

    // The listing names the largest blocks first.
    Block a("test: small", 10), b("test: large", 100000000), c("test: middle", 5000000);
    LogRecorder cLog;
    Block::LogAll(0.01, false);
    const QString s = cLog.Text();
    EXPECT_TRUE(s.contains("test: large: 100000000 bytes")) << s.toStdString();
    EXPECT_TRUE(s.contains("test: middle: 5000000 bytes"));
    EXPECT_FALSE(s.contains("test: small"));
    EXPECT_LT(s.indexOf("test: large"), s.indexOf("test: middle"));
    cLog.Clear();
    Block::LogAll(0.01, true);
    EXPECT_TRUE(cLog.Contains("test: small: 10 bytes"));
}

// ---------------------------------------------------------------------------
// The preference store: static preference objects and registered variables.

TEST(PreferencesTest, VariablesAndStaticObjectsAreFoundAgainByCategoryAndName)
{
    Preferences* pPrefs = Kernel::Preferences();
    AttributeInstance<bool>* pPot = pPrefs->RegisterBoolVariable("Test POT", "TestRender", "Test POT", "TestRender", false);
    ASSERT_NE(pPot, nullptr);
    EXPECT_FALSE(pPot->Value());
    EXPECT_EQ(pPrefs->CategoryOf(pPot), QString("TestRender"));
    EXPECT_EQ(pPrefs->Find("TestRender", "Test POT"), pPot);

    // Same name and category: the existing attribute, its value untouched by the new default.
    pPot->SetValue(true);
    EXPECT_EQ(pPrefs->RegisterBoolVariable("Test POT", "TestRender", "x", "y", false), pPot);
    EXPECT_TRUE(pPot->Value());
    // Same name in another category is another preference.
    AttributeInstance<bool>* pOther = pPrefs->RegisterBoolVariable("Test POT", "TestPaint", "", "", true);
    EXPECT_NE(pOther, pPot);
    EXPECT_TRUE(pOther->Value());

    const auto aAll = pPrefs->All();
    const auto itPot = std::find(aAll.begin(), aAll.end(), pPot);
    const auto itOther = std::find(aAll.begin(), aAll.end(), pOther);
    ASSERT_NE(itPot, aAll.end());
    EXPECT_LT(itPot, itOther);  // registration order

    pPrefs->Unregister(pPot);
    pPrefs->Unregister(pOther);
    EXPECT_EQ(pPrefs->Find("TestRender", "Test POT"), nullptr);
    EXPECT_EQ(pPrefs->Find("TestPaint", "Test POT"), nullptr);
    pPrefs->Unregister(nullptr);

    // Static objects add and remove themselves and tell visibility.
    const size_t iCount = pPrefs->All().size();
    {
        Preferences::Bool cBgra("Test BGRA readback", "TestPaint", "Test BGRA readback", "Paint", false, true);
        Preferences::Integer cMax("Test max size", "TestPaint", "Test max size", "Paint", 1024, true);
        EXPECT_EQ(pPrefs->All().size(), iCount + 2);
        EXPECT_EQ(pPrefs->Find("TestPaint", "Test BGRA readback"), cBgra.m_pAttribute);
        EXPECT_EQ(pPrefs->Find("TestPaint", "Test max size"), cMax.m_pAttribute);
        EXPECT_FALSE(bool(cBgra));
        EXPECT_EQ(unsigned(cMax), 1024u);
        cBgra.m_pAttribute->SetValue(true);
        cMax.m_pAttribute->SetFromString("256", false);
        EXPECT_TRUE(bool(cBgra));
        EXPECT_EQ(unsigned(cMax), 256u);

        // A static object's attribute cannot be unregistered from outside.
        LogRecorder cLog;
        pPrefs->Unregister(cBgra.m_pAttribute);
        EXPECT_EQ(pPrefs->Find("TestPaint", "Test BGRA readback"), cBgra.m_pAttribute);
        EXPECT_TRUE(cLog.Contains("static preference"));

        // A bool variable under the name of an integer preference is refused clearly.
        const QString s = varnik::test::ErrorTextOf([&] {
            pPrefs->RegisterBoolVariable("Test max size", "TestPaint", "", "", true);
        });
        EXPECT_TRUE(s.contains("Test max size")) << s.toStdString();
        // A registered bool of the same name as a static bool finds the static one.
        EXPECT_EQ(pPrefs->RegisterBoolVariable("Test BGRA readback", "TestPaint", "", "", true), cBgra.m_pAttribute);

        // Each change of visibility starts one event, and no value event.
        Attribute* pAttribute = cBgra.m_pAttribute;
        EXPECT_TRUE(pAttribute->IsVisible());
        pAttribute->SetVisible(false);
        pAttribute->SetVisible(false);
        EXPECT_FALSE(pAttribute->IsVisible());
        pAttribute->SetVisible(true);
        EXPECT_EQ(pAttribute->EventCount(Attribute::eVisibilityChanged), 2);
        EXPECT_EQ(pAttribute->EventCount(Attribute::eValueChanged), 1);  // the SetValue above
    }
    EXPECT_EQ(pPrefs->All().size(), iCount);
    EXPECT_EQ(pPrefs->Find("TestPaint", "Test BGRA readback"), nullptr);
}

// ---------------------------------------------------------------------------
// The kernel's log, video-memory ledger and the headless interface.

namespace {

QString ReadFile(const QString& sFile)
{
    QFile f(sFile);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString("<unreadable>");
}

} // namespace

TEST(KernelLogTest, CapturesNestAndFilesAppend)
{
    {
        LogRecorder cOuter;
        Kernel::Log("one\n");
        {
            LogRecorder cInner;
            Kernel::Log(QString::fromUtf8("zw\xc3\xb6lf"));
            Kernel::Log("");  // nothing to write
            EXPECT_EQ(cInner.Lines(), QStringList{ QString::fromUtf8("zw\xc3\xb6lf") });
        }
        Kernel::Log(static_cast<const char*>(nullptr));
        Kernel::Log("two\n");
        EXPECT_EQ(cOuter.Text(), QString("one\ntwo\n"));
    }

    varnik::test::TempDir cDir;
    const QString sFile = cDir.File("host.log");
    ASSERT_TRUE(Kernel::SetLogFile(sFile));
    Kernel::Log("first\n");
    ASSERT_TRUE(Kernel::SetLogFile(sFile));  // appends, does not truncate
    {
        LogRecorder cLog;  // a capture sees the text, the file still gets it
        Kernel::Log("second\n");
        EXPECT_EQ(cLog.Text(), QString("second\n"));
    }
    // A file that cannot be opened is refused with a reason; logging goes on where it was.
    {
        LogRecorder cLog;
        EXPECT_FALSE(Kernel::SetLogFile(cDir.File("no/such/folder/x.log")));
        EXPECT_TRUE(cLog.Contains("cannot open"));
    }
    Kernel::Log("third\n");
    EXPECT_TRUE(Kernel::SetLogFile(QString()));
    Kernel::Log(" ");  // to standard error, not the file
    EXPECT_TRUE(ReadFile(sFile).startsWith("first\nsecond\n"));
    EXPECT_TRUE(ReadFile(sFile).endsWith("third\n"));
}

// Tile files are joined to the project folder without a separator.
TEST(KernelTest, ProjectFolderEndsInASeparatorAndLedgerSumsSignedReports)
{
    EXPECT_EQ(Kernel::ProjectFilesDirectory(), QDir::currentPath() + "/");
    for (const char* sSet : {"/tmp/project", "/tmp/project/"}) {
        Kernel::SetProjectFilesDirectory(sSet);
        EXPECT_EQ(Kernel::ProjectFilesDirectory(), "/tmp/project/");
    }
    Kernel::SetProjectFilesDirectory(QString());

    // The video-memory ledger sums signed reports past 32 bits.
    const int64_t iUsage = Kernel::VideoMemoryUsage();
    const int64_t iReports = Kernel::VideoMemoryReportCount();
    Kernel::ReportVideoMemoryUsage(4096);
    Kernel::ReportVideoMemoryUsage(int64_t(1) << 33);  // larger than 32 bits
    EXPECT_EQ(Kernel::VideoMemoryUsage(), iUsage + 4096 + (int64_t(1) << 33));
    Kernel::ReportVideoMemoryUsage(-4096);
    Kernel::ReportVideoMemoryUsage(-(int64_t(1) << 33));
    EXPECT_EQ(Kernel::VideoMemoryUsage(), iUsage);
    EXPECT_EQ(Kernel::VideoMemoryReportCount(), iReports + 4);
}

TEST(InterfaceTest, CallsAreRecordedAndLogged)
{
    Interface* pUi = Kernel::Interface();
    pUi->ResetRecord();
    LogRecorder cLog;
    EXPECT_EQ(pUi->MessageBox(Interface::eWarning, "Texture", "Too large for the hardware"), 0);
    pUi->SetMessageBoxAnswer(2);
    EXPECT_EQ(pUi->MessageBox(Interface::eQuestion, "Save", "Overwrite?"), 2);
    pUi->SetMessageBoxAnswer(0);
    EXPECT_EQ(pUi->MessageBoxCount(), 2);
    EXPECT_EQ(pUi->LastMessageBoxText(), QString("Overwrite?"));
    EXPECT_TRUE(cLog.Contains("[ui] warning \"Texture\": Too large for the hardware"));

    pUi->SetStatus("Saving tiles", Interface::eWarning);
    EXPECT_TRUE(cLog.Contains("[ui] status (warning): Saving tiles"));
    // Without a terminal, progress is one line per tenth: 25 steps give the
    // start, ten tenths and the end, whatever the step count.
    pUi->SetProgressBar(false);
    const int iLinesBefore = cLog.Lines().size();
    pUi->ProgressStart("Compositing...", 25, 1.0f, 0);
    for (int i = 0; i < 25; ++i)
        EXPECT_TRUE(pUi->ProgressAdd());
    EXPECT_TRUE(pUi->ProgressOpen() && pUi->ProgressDone() == 25u);
    pUi->ProgressEnd();
    EXPECT_EQ(cLog.Lines().size() - iLinesBefore, 12);
    EXPECT_TRUE(cLog.Contains("[ui] progress \"Compositing...\": 25 of 25 (100%)"));
    EXPECT_FALSE(pUi->ProgressOpen());
    pUi->ProgressStart("Nothing", 0);  // a count of 0 is done at once
    pUi->ProgressEnd();
    EXPECT_TRUE(cLog.Contains("[ui] progress \"Nothing\": 0 of 0 (100%)") && pUi->ProgressStarts() == 2);
    pUi->ProgressEnd();  // unmatched: logged, harmless
    EXPECT_TRUE(cLog.Contains("without a progress open"));
    for (const QString& sLine : cLog.Lines())
        EXPECT_TRUE(sLine.startsWith("[ui] ")) << sLine.toStdString();
    pUi->ResetRecord();
}

// ---------------------------------------------------------------------------
// The class registry, instance creation through the kernel, and the node list.

namespace {

/// An interface of our own, like the host's Texture: a record without a creator.
class Shape : public virtual Node
{
public:
    static const ClassDesc* StaticClass();
    const ClassDesc* RuntimeClass() const override { return StaticClass(); }
    virtual QString Kind() const = 0;
};
const ClassDesc s_cShapeInterface(Node::StaticClass(), Node::StaticClass(), "RegistryTestShape", "shape", nullptr, 0, 1);
const ClassDesc* Shape::StaticClass() { return &s_cShapeInterface; }

/// An interface nobody implements.
const ClassDesc s_cLonelyInterface(Node::StaticClass(), Node::StaticClass(), "RegistryTestLonely", "lonely", nullptr, 0, 1);

class Circle : public Shape
{
public:
    static int s_iInitialized;
    static ClassDesc s_cMyClass;
    int m_iInitializeCalls = 0;
    void Initialize() override { ++m_iInitializeCalls; ++s_iInitialized; }
    const ClassDesc* RuntimeClass() const override { return &s_cMyClass; }
    QString Kind() const override { return "circle"; }
};
int Circle::s_iInitialized = 0;
ClassDesc Circle::s_cMyClass(Shape::StaticClass(), Shape::StaticClass(), "RegistryTestCircle", "Circle",
                             &CreateInstancesOf<Circle>, 0, 3);

class Square : public Shape
{
public:
    static ClassDesc* s_pMyClass;
    void Initialize() override { m_bInitialized = true; }
    const ClassDesc* RuntimeClass() const override { return s_pMyClass; }
    QString Kind() const override { return "square"; }
    bool m_bInitialized = false;
};
ClassDesc* Square::s_pMyClass = nullptr;

Node* MakeNothing(unsigned int) { return nullptr; }

std::vector<Node*> NodeList()
{
    std::vector<Node*> a;
    for (Node* p = Node::First(); p; p = p->Next())
        a.push_back(p);
    return a;
}

} // namespace

TEST(ClassRegistryTest, InterfaceMakesTheLatestImplementationInitialisedOnce)
{
    const int iBefore = Circle::s_iInitialized;
    std::unique_ptr<Node> pNode(Kernel::CreateClassInstance(Shape::StaticClass()));
    auto* pCircle = dynamic_cast<Circle*>(pNode.get());
    ASSERT_NE(pCircle, nullptr);
    EXPECT_EQ(pCircle->m_iInitializeCalls, 1);
    EXPECT_EQ(Circle::s_iInitialized, iBefore + 1);
    EXPECT_TRUE(pNode->IsKindOf(Shape::StaticClass()));

    {
        // A later registration wins for the interface; the concrete record still makes its own class.
        ClassDesc cSquare(Shape::StaticClass(), Shape::StaticClass(), "RegistryTestSquare", "Square",
                          &CreateInstancesOf<Square>, 0, 1);
        Square::s_pMyClass = &cSquare;
        // A class below an implementation implements its parent, not the interface.
        const ClassDesc cRing(&Circle::s_cMyClass, &Circle::s_cMyClass, "RegistryTestRing", "Ring",
                              &CreateInstancesOf<Circle>, 0, 1);
        EXPECT_EQ(ClassDesc::FindImplementation(Shape::StaticClass()), &cSquare);
        EXPECT_EQ(ClassDesc::FindImplementation(&Circle::s_cMyClass), &Circle::s_cMyClass);
        std::unique_ptr<Node> pSquare(Kernel::CreateClassInstance(Shape::StaticClass()));
        ASSERT_NE(dynamic_cast<Square*>(pSquare.get()), nullptr);
        EXPECT_TRUE(dynamic_cast<Square*>(pSquare.get())->m_bInitialized);
        std::unique_ptr<Circle> pCircle2(CreateInstanceAs<Circle>(&Circle::s_cMyClass));
        EXPECT_EQ(pCircle2->Kind(), QString("circle"));
        // A node of another class than asked for is deleted and named in the error.
        const int iNodes = int(NodeList().size());
        EXPECT_TRUE(ErrorTextOf([] { CreateInstanceAs<Square>(&Circle::s_cMyClass); }).contains("RegistryTestCircle"));
        EXPECT_EQ(int(NodeList().size()), iNodes);
    }
    // Unregistered with its destruction: the registry forgets it.
    Square::s_pMyClass = nullptr;
    EXPECT_EQ(ClassDesc::FindByName("RegistryTestSquare"), nullptr);
    EXPECT_EQ(ClassDesc::FindImplementation(Shape::StaticClass()), &Circle::s_cMyClass);
    std::unique_ptr<Node> pAgain(Kernel::CreateClassInstance(Shape::StaticClass()));
    EXPECT_NE(dynamic_cast<Circle*>(pAgain.get()), nullptr);
}

TEST(ClassRegistryTest, ArraysRecordsInOrderAndClearErrors)
{
    const int iBefore = Circle::s_iInitialized;
    Node* pFirst = Kernel::CreateClassInstance(&Circle::s_cMyClass, 3);
    Circle* aCircles = dynamic_cast<Circle*>(pFirst);
    ASSERT_NE(aCircles, nullptr);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(aCircles[i].m_iInitializeCalls, 1) << i;
    EXPECT_EQ(Circle::s_iInitialized, iBefore + 3);
    delete[] aCircles;
    for (unsigned int iCount : { 0u, 1u }) {
        std::unique_ptr<Node> p(Kernel::CreateClassInstance(&Circle::s_cMyClass, iCount));
        EXPECT_EQ(dynamic_cast<Circle*>(p.get())->m_iInitializeCalls, 1);
    }
    EXPECT_EQ(Circle::s_iInitialized, iBefore + 5);

    // Records are kept in registration order and found by name; a missing or
    // broken implementation is a clear error.
    std::vector<const ClassDesc*> aAll;
    for (int i = 0; i < ClassDesc::Count(); ++i)
        aAll.push_back(ClassDesc::At(i));
    const auto itShape = std::find(aAll.begin(), aAll.end(), Shape::StaticClass());
    ASSERT_NE(itShape, aAll.end());
    EXPECT_LT(itShape, std::find(aAll.begin(), aAll.end(), &Circle::s_cMyClass));
    EXPECT_EQ(ClassDesc::FindByName("RegistryTestCircle"), &Circle::s_cMyClass);
    EXPECT_EQ(ClassDesc::FindByName("NoSuchClass"), nullptr);
    EXPECT_FALSE(Shape::StaticClass()->IsKindOf(&Circle::s_cMyClass));
    EXPECT_EQ(ErrorTextOf([] { Kernel::CreateClassInstance(&s_cLonelyInterface); }),
              QString("No class implements RegistryTestLonely"));
    EXPECT_EQ(ErrorTextOf([] { Kernel::CreateClassInstance(nullptr); }),
              QString("No class implements a null class record"));
    ClassDesc cBroken(Node::StaticClass(), Node::StaticClass(), "RegistryTestBroken", "", &MakeNothing, 0, 1);
    EXPECT_EQ(ErrorTextOf([&] { Kernel::CreateClassInstance(&cBroken); }),
              QString("The creator of RegistryTestBroken made no object"));
    // Duplicating a plain node cannot work: its record has no creator (and the
    // registry would otherwise make some class deriving from Node).
    Node cPlain("plain");
    EXPECT_EQ(ErrorTextOf([&] { delete cPlain.Duplicate(); }),
              QString("Cannot duplicate a node of class Node: the class has no creator"));
}

TEST(NodeTest, ListOrderSurvivesDeletionNamesDuplicateAndStreamRoundTrip)
{
    const int iCount = Node::Count();
    auto *pA = new Node("a"), *pB = new Node("b"), *pC = new Node("c");
    EXPECT_EQ(Node::Count(), iCount + 3);
    std::vector<Node*> aList = NodeList();
    ASSERT_GE(aList.size(), 3u);
    EXPECT_EQ(std::vector<Node*>(aList.end() - 3, aList.end()), (std::vector<Node*>{ pA, pB, pC }));
    delete pB;
    EXPECT_EQ(pA->Next(), pC);
    delete pC;  // the last one: a new node must append after pA
    auto* pD = new Node("d");
    EXPECT_EQ(pA->Next(), pD);
    EXPECT_EQ(pD->Next(), nullptr);
    delete pA;
    EXPECT_EQ(NodeList().back(), pD);
    delete pD;
    EXPECT_EQ(Node::Count(), iCount);
    EXPECT_EQ(int(NodeList().size()), iCount);

    // Names survive duplication and a stream round trip.
    std::unique_ptr<Node> pCircle(Kernel::CreateClassInstance(&Circle::s_cMyClass));
    pCircle->SetName("disc");
    pCircle->SetStringID("id-7");
    pCircle->SetDisplayName("Disc");

    std::unique_ptr<Node> pCopy(pCircle->Duplicate());
    auto* pCopyCircle = dynamic_cast<Circle*>(pCopy.get());
    ASSERT_NE(pCopyCircle, nullptr);
    EXPECT_EQ(pCopyCircle->m_iInitializeCalls, 1);
    EXPECT_EQ(QStringList({pCopy->Name(), pCopy->StringID(), pCopy->DisplayName()}), QStringList({"disc", "id-7", "Disc"}));

    QByteArray aBytes;
    {
        Stream s(&aBytes, true);
        pCircle->SetName(QString::fromUtf8("Scheibe \xc3\xa4"));
        pCircle->Serialize(s);
    }
    Node cRead;
    {
        Stream s(&aBytes, false);
        cRead.Serialize(s);
        EXPECT_TRUE(s.AtEnd());
    }
    EXPECT_EQ(cRead.Name(), QString::fromUtf8("Scheibe \xc3\xa4"));
    EXPECT_EQ(cRead.StringID(), QString("id-7"));

    // A cut-off record throws and leaves the node as it was.
    QByteArray aShort = aBytes.left(aBytes.size() - 2);
    Node cPartial("before");
    Stream s(&aShort, false);
    EXPECT_FALSE(ErrorTextOf([&] { cPartial.Serialize(s); }).isEmpty());
    EXPECT_EQ(cPartial.Name(), QString("before"));
}

// ---------------------------------------------------------------------------
// The attribute base (links, events, visibility) and the typed value attributes.

namespace {

/// A node that records the events of the attributes it owns.
class RecordingNode : public Node
{
public:
    void OnNodeEvent(const Attribute& cAttribute, int iEventType) override
    {
        m_aEvents.push_back({ &cAttribute, iEventType });
    }
    std::vector<std::pair<const Attribute*, int>> m_aEvents;
};

std::vector<std::pair<Attribute*, int>> s_aHeard;
void Listen(Attribute& cAttribute, int iType) { s_aHeard.push_back({ &cAttribute, iType }); }

} // namespace

TEST(AttributeTest, EventsAreCountedAndTargetsReceiveValuesUntilUnlinked)
{
    RecordingNode cNode;
    AttributeInstance<int> cSize(&cNode, "size", 3);
    s_aHeard.clear();
    Attribute::SetEventListener(&Listen);
    cSize.SetValue(4);
    cSize.SetValue(5, true);  // silent: no event
    cSize.StartEvent(Attribute::eNodeRenamed);
    cSize.StartEvent(42);     // unknown type: passed on, not counted
    Attribute::SetEventListener(nullptr);
    cSize.SetValue(6);
    EXPECT_EQ(cSize.Value(), 6);
    EXPECT_EQ(cSize.EventCount(Attribute::eValueChanged), 2);
    EXPECT_EQ(cSize.EventCount(Attribute::eNodeRenamed), 1);
    EXPECT_EQ(cSize.EventCount(42), 0);
    EXPECT_EQ(cSize.EventCount(-1), 0);
    ASSERT_EQ(cNode.m_aEvents.size(), 4u);
    EXPECT_EQ(cNode.m_aEvents[0].first, &cSize);
    EXPECT_EQ(cNode.m_aEvents[1].second, int(Attribute::eNodeRenamed));
    EXPECT_EQ(cNode.m_aEvents[2].second, 42);
    ASSERT_EQ(s_aHeard.size(), 3u);  // the listener was gone for the last one
    EXPECT_EQ(s_aHeard[0], std::make_pair(static_cast<Attribute*>(&cSize), 0));

    // Targets receive values; links are undone.
    AttributeInstance<int> cSource(nullptr, "source"), cTarget(nullptr, "target"), cOther(nullptr, "other");
    AttributeInstance<bool> cNarrow(nullptr, "narrow");
    cSource.AddTarget(cTarget, false);
    cSource.AddTarget(cTarget, false);  // once only
    cSource.AddTarget(cNarrow, false);
    cSource.AddTarget(cSource, false);  // never itself
    ASSERT_EQ(cSource.TargetCount(), 2);
    EXPECT_EQ(cTarget.Source(), &cSource);
    cSource.SetValue(17, true);
    EXPECT_EQ(cTarget.Value(), 17);
    EXPECT_EQ(cTarget.EventCount(Attribute::eValueChanged), 1);  // targets are told even when the source is silent
    EXPECT_FALSE(cNarrow.Value());                               // different size: told, not set
    EXPECT_EQ(cNarrow.EventCount(Attribute::eValueChanged), 1);

    // A loop is refused: propagation would never end.
    {
        LogRecorder cLog;
        cTarget.AddTarget(cSource, false);
        EXPECT_EQ(cTarget.TargetCount(), 0);
        EXPECT_TRUE(cLog.Contains("loop"));
    }
    // Linking a target elsewhere moves it.
    cOther.AddTarget(cTarget, false);
    EXPECT_EQ(cTarget.Source(), &cOther);
    EXPECT_EQ(cSource.TargetCount(), 1);
    cTarget.ClearSource();
    EXPECT_EQ(cTarget.Source(), nullptr);
    EXPECT_EQ(cOther.TargetCount(), 0);

    // Destroying either end unlinks the other.
    {
        AttributeInstance<int> cTemporary(nullptr, "temporary");
        cSource.AddTarget(cTemporary, false);
        EXPECT_EQ(cSource.TargetCount(), 2);
    }
    EXPECT_EQ(cSource.TargetCount(), 1);
    cSource.SetValue(3);
    {
        auto pSource = std::make_unique<AttributeInstance<int>>(nullptr, "short-lived");
        pSource->AddTarget(cOther, false);
        pSource->SetValue(9);
        EXPECT_EQ(cOther.Value(), 9);
    }
    EXPECT_EQ(cOther.Source(), nullptr);
    cOther.SetValue(1);
    cSource.RemoveTarget(cNarrow);
    EXPECT_EQ(cNarrow.Source(), nullptr);
    EXPECT_EQ(cSource.TargetCount(), 0);
}

TEST(AttributeTest, TextFormsAndStreamsRoundTripAndBadInputKeepsTheValue)
{
    AttributeInstance<bool> cBool(nullptr, "b");
    AttributeInstance<int> cInt(nullptr, "i");
    AttributeInstance<unsigned int> cUInt(nullptr, "u");
    AttributeInstance<float> cFloat(nullptr, "f");

    for (const char* s : { "true", " YES ", "1", "on" }) {
        cBool.SetValue(false);
        cBool.SetFromString(s, false);
        EXPECT_TRUE(cBool.Value()) << s;
    }
    cBool.SetFromString("Off", false);
    EXPECT_EQ(cBool.AsString(), QString("false"));
    cInt.SetFromString("-42", false);
    EXPECT_EQ(cInt.Value(), -42);
    EXPECT_EQ(cInt.AsString(), QString("-42"));
    cUInt.SetFromString("4294967295", true);
    EXPECT_EQ(cUInt.Value(), 4294967295u);
    EXPECT_EQ(cUInt.EventCount(Attribute::eValueChanged), 0);  // silent
    cFloat.SetValue(0.1f);
    const QString sFloat = cFloat.AsString();
    cFloat.SetValue(0.f);
    cFloat.SetFromString(sFloat, false);
    EXPECT_EQ(cFloat.Value(), 0.1f);  // exactly the same float

    LogRecorder cLog;
    cBool.SetFromString("maybe", false), cInt.SetFromString("12abc", false);
    cUInt.SetFromString("-1", false), cFloat.SetFromString("", false);
    EXPECT_FALSE(cBool.Value());
    EXPECT_EQ(cInt.Value(), -42);
    EXPECT_EQ(cUInt.Value(), 4294967295u);
    EXPECT_EQ(cFloat.Value(), 0.1f);
    EXPECT_EQ(cLog.Count("cannot read"), 4);
    EXPECT_TRUE(cLog.Contains("\"12abc\" as int"));

    // Streams carry the raw values.
    cBool.SetValue(true);
    cUInt.SetValue(0xdeadbeefu);
    cFloat.SetValue(-2.5f);
    QByteArray aBytes;
    for (bool bStoring : {true, false}) {
        Stream s(&aBytes, bStoring);
        cBool.Serialize(s), cUInt.Serialize(s), cFloat.Serialize(s);
        EXPECT_EQ(s.Offset(), 1u + 4u + 4u);
        if (bStoring)
            cBool.SetValue(false), cUInt.SetValue(0), cFloat.SetValue(0.f);
    }
    EXPECT_TRUE(cBool.Value());
    EXPECT_EQ(cUInt.Value(), 0xdeadbeefu);
    EXPECT_EQ(cFloat.Value(), -2.5f);

    // Any non-zero byte is true; a short stream throws and leaves the value.
    QByteArray aOdd("\x07\x01\x02", 3);
    Stream sOdd(&aOdd, false);
    cBool.SetValue(false);
    cBool.Serialize(sOdd);
    EXPECT_TRUE(cBool.Value());
    EXPECT_FALSE(varnik::test::ErrorTextOf([&] { cUInt.Serialize(sOdd); }).isEmpty());
    EXPECT_EQ(cUInt.Value(), 0xdeadbeefu);
}

// ---------------------------------------------------------------------------
// Crash-reporter scopes and the report a crashing process writes.

TEST(CrashReporterTest, ScopesNestAndTheCrashReportNamesTheOpenOnes)
{
    const uint32_t iBefore = VKCrashReporterFlag::OpenBits(5);
    {
        VKCrashReporterFlag cOuter(5, 0x1);
        EXPECT_EQ(VKCrashReporterFlag::OpenBits(5), iBefore | 0x1u);
        {
            VKCrashReporterFlag cInner(5, 0x800);
            VKCrashReporterFlag cSame(5, 0x1);  // the same bit opened twice
            EXPECT_EQ(VKCrashReporterFlag::OpenBits(5), iBefore | 0x801u);
        }
        // The inner scope of the same bit closed: the outer one still holds it.
        EXPECT_EQ(VKCrashReporterFlag::OpenBits(5), iBefore | 0x1u);
        VKCrashReporterFlag cOtherCategory(2, 0x80000000u);
        EXPECT_EQ(VKCrashReporterFlag::OpenBits(2), 0x80000000u);
    }
    EXPECT_EQ(VKCrashReporterFlag::OpenBits(5), iBefore);
    EXPECT_EQ(VKCrashReporterFlag::OpenBits(2), 0u);
    // Unknown categories are ignored, never written out of bounds.
    { VKCrashReporterFlag cBad(99, 0x1); }
    EXPECT_EQ(VKCrashReporterFlag::OpenBits(99), 0u);

    // A crashing process lists the operations under way, by category and bit,
    // counting a bit opened twice and leaving out closed ones; or says none.

    const struct rlimit cNoCore = {0, 0};  // the crashes are wanted; their core files are not
    EXPECT_EXIT(
        {
            setrlimit(RLIMIT_CORE, &cNoCore);
            VKCrashReporterFlag::InstallCrashHandler();
            CrashScope::RegisterNames();  // the module names its own bits
            VKCrashReporterFlag::SetCategoryName(3, "Painting");
            VKCrashReporterFlag::SetBitName(3, 0x10, "Stroke");
            CrashScope cOuter(CrashScope::eSetLocation);
            CrashScope cAgain(CrashScope::eSetLocation);
            CrashScope cRead(CrashScope::eReadPixels);
            VKCrashReporterFlag cStroke(3, 0x10);
            VKCrashReporterFlag cUnnamed(6, 0x4);
            CrashScope cPool(CrashScope::ePoolSetFileName);
            CrashScope cLast(CrashScope::ePoolSetLocation);
            { CrashScope cClosed(CrashScope::eSetAsRenderTarget); }
            raise(SIGSEGV);
        },
        testing::KilledBySignal(SIGSEGV),
        "Fatal signal 11 \\(SIGSEGV\\)\nOperations under way:\n  Painting: Stroke \\(0x10\\)\n"
        "  Texture: SetLocation \\(0x1\\) x2\n  Texture: glReadPixels \\(readback\\) \\(0x400\\)\n"
        "  Texture: VarnikTexturePool::SetFileName \\(0x4000000\\)\n"
        "  Texture: VarnikTexturePool::SetLocation \\(0x80000000\\)\n  category 6: 0x4\n");
    EXPECT_EXIT(
        {
            setrlimit(RLIMIT_CORE, &cNoCore);
            VKCrashReporterFlag::InstallCrashHandler();
            abort();
        },
        testing::KilledBySignal(SIGABRT), "Fatal signal 6 \\(SIGABRT\\)\nOperations under way:\n  none\n");
}

// ---------------------------------------------------------------------------
// The headless EGL context: what it offers, and how it fails without a device.

namespace {

/// Sets an environment variable for one scope.
struct ScopedEnv
{
    ScopedEnv(const char* sName, const char* sValue) : m_sName(sName), m_bHad(getenv(sName) != nullptr)
    {
        if (m_bHad)
            m_sOld = getenv(sName);
        setenv(sName, sValue, 1);
    }
    ~ScopedEnv() { m_bHad ? setenv(m_sName.c_str(), m_sOld.c_str(), 1) : unsetenv(m_sName.c_str()); }
    std::string m_sName, m_sOld;
    bool m_bHad;
};

/// The EGL binding current now, to put back after a test made another one current.
struct SavedBinding
{
    EGLDisplay pDisplay = eglGetCurrentDisplay();
    EGLContext pContext = eglGetCurrentContext();
    EGLSurface pDraw = eglGetCurrentSurface(EGL_DRAW);
    EGLSurface pRead = eglGetCurrentSurface(EGL_READ);
    bool Restore() const { return eglMakeCurrent(pDisplay, pDraw, pRead, pContext) == EGL_TRUE; }
};

} // namespace

class GLContextTest : public varnik::test::GLTest {};

TEST_F(GLContextTest, NoDeviceIsAClearErrorAndASecondContextLeavesTheFirstIntact)
{
    const EGLContext pCurrent = eglGetCurrentContext();
    {
        ScopedEnv cEnv("VARNIK_EGL_DEVICE", "none");
        GLContext cContext;
        EXPECT_FALSE(cContext.Create());
        EXPECT_FALSE(cContext.IsValid());
        EXPECT_TRUE(cContext.ErrorText().startsWith("No EGL device")) << cContext.ErrorText().toStdString();
        EXPECT_FALSE(cContext.Vendor().isEmpty());  // the shared context is still current
    }
    {
        ScopedEnv cEnv("VARNIK_EGL_DEVICE", "quantum");
        GLContext cContext;
        EXPECT_FALSE(cContext.Create(false));
        EXPECT_TRUE(cContext.ErrorText().contains("quantum"));
    }
    EXPECT_EQ(eglGetCurrentContext(), pCurrent);

    // A second context on the same device leaves the first intact.
    const SavedBinding cShared;
    GLuint iTexture = 0;
    glGenTextures(1, &iTexture);
    {
        GLContext cSecond;
        ASSERT_TRUE(cSecond.Create(false)) << cSecond.ErrorText().toStdString();
        EXPECT_NE(eglGetCurrentContext(), cShared.pContext);
        EXPECT_FALSE(cSecond.Version().isEmpty() || cSecond.Renderer().isEmpty());
        cSecond.Destroy();
        EXPECT_FALSE(cSecond.IsValid());
        EXPECT_EQ(eglGetCurrentContext(), EGL_NO_CONTEXT);
        cSecond.Destroy();  // twice is harmless
    }
    // The shared display was not terminated under the shared context.
    ASSERT_TRUE(cShared.Restore());
    glBindTexture(GL_TEXTURE_2D, iTexture);
    EXPECT_EQ(glIsTexture(iTexture), GLboolean(GL_TRUE));
    glBindTexture(GL_TEXTURE_2D, 0);
    glDeleteTextures(1, &iTexture);
}
