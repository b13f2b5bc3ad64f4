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

bool IsHalfNaN(uint16_t h) { return (h & 0x7c00u) == 0x7c00u && (h & 0x3ffu) != 0; }

} // namespace

TEST(ImgTileTest, IntersectionsAndDirtyRegionTiles)
{
    const ImgTile a(10, 20, 100, 50);
    EXPECT_EQ(ImgTile(a, ImgTile(50, 0, 100, 40)), ImgTile(50, 20, 60, 20));
    // Touching edges share no texel.
    EXPECT_TRUE(ImgTile(a, ImgTile(110, 20, 5, 5)).isEmpty());
    // Edges near the 32-bit limit do not wrap.
    const int32_t iBig = std::numeric_limits<int32_t>::max() - 10;
    EXPECT_EQ(ImgTile(ImgTile(iBig, 0, 10, 10), ImgTile(iBig + 5, 0, 100, 10)), ImgTile(iBig + 5, 0, 5, 10));

    // Dirty regions: tiles are clipped to cells, in row-major order.
    ImgDirtyRegion r;
    // A stroke over the corner of four cells, added after one in a later row.
    r.AddToDirtyRegion(ImgTile(130, 140, 4, 4));
    r.AddToDirtyRegion(ImgTile(60, 50, 10, 20));
    const std::vector<ImgTile> aExpected = {
        ImgTile(60, 50, 4, 14), ImgTile(64, 50, 6, 14),
        ImgTile(60, 64, 4, 6), ImgTile(64, 64, 6, 6),
        ImgTile(130, 140, 4, 4) };
    EXPECT_EQ(r.DirtyTiles(), aExpected);
    EXPECT_EQ(r.BoundingBox(), ImgTile(60, 50, 74, 94));
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
    EXPECT_EQ(r.BoundingBox(), r.DirtyTiles()[0]);
    r.Reset();
    EXPECT_TRUE(r.IsEmpty() && r.DirtyTiles().empty());
}

TEST(HalfTest, KnownValuesTiesDenormalsSpecialsAndEveryHalfRoundTrips)
{
    // Exact values anchor both directions; the rest are roundings the loop below cannot see.
    const std::pair<float, uint16_t> aCases[] = {
        {1.f, 0x3c00}, {-2.f, 0xc000}, {65504.f, 0x7bff}, {1e10f, 0x7c00}, {1e-30f, 0x0000},
        {65519.f, 0x7bff}, {65520.f, 0x7c00},  // below halfway to 65536; the tie rounds to even: infinity
        // 1 + 2^-11 lies halfway between 0x3c00 and 0x3c01: the even one wins.
        {1.f + std::ldexp(1.f, -11), 0x3c00}, {1.f + 3.f * std::ldexp(1.f, -11), 0x3c02},
        {1.f + std::ldexp(1.f, -11) + std::ldexp(1.f, -20), 0x3c01},
        // Denormals: 2^-24 is the smallest; 2^-25 is a tie to 0; a bit more rounds up; 1.5 ulp ties to 2.
        {std::ldexp(1.f, -24), 0x0001}, {std::ldexp(1.f, -25), 0x0000}, {std::ldexp(1.5f, -25), 0x0001},
        {std::ldexp(3.f, -25), 0x0002}, {-std::ldexp(1023.f, -24), 0x83ff}, {std::ldexp(1.f, -14), 0x0400}};
    for (const auto& c : aCases)
        EXPECT_EQ(half_::FromFloat(c.first), c.second) << c.first;
    EXPECT_TRUE(std::isinf(half_::ToFloat(0x7c00)));  // the round trip would pass with the largest float
    // NaN stays NaN, even when its payload sits only in bits a half cannot keep.
    const uint32_t iNaN = 0x7f800001u;
    float fNaN;
    std::memcpy(&fNaN, &iNaN, 4);
    EXPECT_TRUE(IsHalfNaN(half_::FromFloat(fNaN)));

    // Every half comes back from its float.
    for (uint32_t i = 0; i < 0x10000u; ++i) {
        const uint16_t h = uint16_t(i);
        const uint16_t hBack = half_::FromFloat(half_::ToFloat(h));
        ASSERT_TRUE(IsHalfNaN(h) ? IsHalfNaN(hBack) : hBack == h) << std::hex << i << " came back as " << hBack;
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

    // Describe leaves out empty parts; Report logs it.
    Error cError(QString(), 4, "VarnikTexture::Create", "src/plugins/Texture/Texture", 7);
    EXPECT_EQ(cError.Format("bad size %1", -3)->Describe(),
              QString("VarnikTexture::Create: bad size -3 (file src/plugins/Texture/Texture, line 7)"));
    EXPECT_EQ(Error("Unknown image format").Describe(), QString("Unknown image format"));
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
    EXPECT_EQ(Block::BytesUnder("unknown"), iUnknown + 16);
    {
        Store<float> aCopy(aWeights);
        EXPECT_EQ(aCopy[3], 0.5f);
        EXPECT_EQ(Block::BytesUnder("unknown"), iUnknown + 32);
        aCopy = Store<float>("Pixel Data", 1);  // assignment keeps the target's name
        EXPECT_EQ(Block::BytesUnder("unknown"), iUnknown + 20);
        EXPECT_EQ(Block::BytesUnder("Pixel Data"), 0u);
    }
    EXPECT_EQ(Block::BytesUnder("unknown"), iUnknown + 16);

    // A limit refuses with the static error and changes nothing.
    Store<double> aData("test: limited", 8);
    Block::SetLimit(Block::TotalBytes() + 100);
    EXPECT_TRUE(ThrowsBadAlloc([&] { aData.SetCount(1000); }));
    EXPECT_EQ(aData.Count(), 8u);
    EXPECT_EQ(Block::BytesUnder("test: limited"), 64u);
    aData.SetCount(20);  // growing within the limit
    // A new block over the limit is refused at construction and leaves no trace.
    EXPECT_TRUE(ThrowsBadAlloc([] { Block cBig("test: too big", 1000); }));
    EXPECT_EQ(Block::BytesUnder("test: too big"), 0u);

    // A count whose bytes wrap past what memory can address (to 0 here) is refused
    // the same way, with the accounting left as it was.
    Block::SetLimit(0);
    EXPECT_TRUE(ThrowsBadAlloc([&] { aData.SetCount(std::numeric_limits<size_t>::max() / 4 + 1); }));
    EXPECT_EQ(Block::BytesUnder("test: limited"), 160u);

    // The listing names the largest blocks first.
    Block a("test: small", 10), b("test: large", 100000000), c("test: middle", 5000000);
    LogRecorder cLog;
    Block::LogAll(0.01, false);
    const QString s = cLog.Text();
    EXPECT_TRUE(s.contains("test: large: 100000000 bytes")) << s.toStdString();
    EXPECT_LT(s.indexOf("test: large"), s.indexOf("test: middle: 5000000 bytes"));
    EXPECT_FALSE(s.contains("test: small"));
}

// ---------------------------------------------------------------------------
// The preference store: static preference objects and registered variables.

TEST(PreferencesTest, VariablesAndStaticObjectsAreFoundAgainByCategoryAndName)
{
    Preferences* pPrefs = Kernel::Preferences();
    AttributeInstance<bool>* pPot = pPrefs->RegisterBoolVariable("Test POT", "TestRender", "Test POT", "TestRender", false);
    ASSERT_NE(pPot, nullptr);
    EXPECT_EQ(pPrefs->Find("TestRender", "Test POT"), pPot);

    // Same name and category: the existing attribute, its value untouched by the new default.
    pPot->SetValue(true);
    EXPECT_EQ(pPrefs->RegisterBoolVariable("Test POT", "TestRender", "x", "y", false), pPot);
    EXPECT_TRUE(pPot->Value());
    pPrefs->Unregister(pPot);
    pPrefs->Unregister(nullptr);
    EXPECT_EQ(pPrefs->Find("TestRender", "Test POT"), nullptr);

    // Static objects add and remove themselves and read their attribute's value.
    const size_t iCount = pPrefs->All().size();
    {
        Preferences::Bool cBgra("Test BGRA readback", "TestPaint", "Test BGRA readback", "Paint", false, true);
        Preferences::Integer cMax("Test max size", "TestPaint", "Test max size", "Paint", 1024, true);
        EXPECT_EQ(pPrefs->All().size(), iCount + 2);
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
    }
    EXPECT_EQ(pPrefs->All().size(), iCount);
}

// ---------------------------------------------------------------------------
// The kernel's log, video-memory ledger and the headless interface.

TEST(KernelTest, LogProjectFolderAndLedger)
{
    varnik::test::TempDir cDir;
    const QString sFile = cDir.File("host.log");
    ASSERT_TRUE(Kernel::SetLogFile(sFile));
    Kernel::Log("first\n");
    Kernel::Log(static_cast<const char*>(nullptr));
    Kernel::Log("");  // nothing to write
    ASSERT_TRUE(Kernel::SetLogFile(sFile));  // appends, does not truncate
    {
        LogRecorder cLog;  // a capture sees the text, the file still gets it
        Kernel::Log("second\n");
    }
    // A file that cannot be opened is refused with a reason; logging goes on where it was.
    EXPECT_FALSE(Kernel::SetLogFile(cDir.File("no/such/folder/x.log")));
    Kernel::Log("third\n");
    EXPECT_TRUE(Kernel::SetLogFile(QString()));
    Kernel::Log(" ");  // to standard error, not the file
    QFile cFile(sFile);
    ASSERT_TRUE(cFile.open(QIODevice::ReadOnly));
    const QString sLogged = QString::fromUtf8(cFile.readAll());
    EXPECT_TRUE(sLogged.startsWith("first\nsecond\n") && sLogged.endsWith("third\n")) << sLogged.toStdString();
    EXPECT_TRUE(sLogged.contains("cannot open"));

    // Tile files are joined to the project folder without a separator.
    EXPECT_EQ(Kernel::ProjectFilesDirectory(), QDir::currentPath() + "/");
    for (const char* sSet : {"/tmp/project", "/tmp/project/"}) {
        Kernel::SetProjectFilesDirectory(sSet);
        EXPECT_EQ(Kernel::ProjectFilesDirectory(), "/tmp/project/");
    }
    Kernel::SetProjectFilesDirectory(QString());

    // The video-memory ledger sums signed reports past 32 bits.
    const int64_t iUsage = Kernel::VideoMemoryUsage();
    const int64_t iReports = Kernel::VideoMemoryReportCount();
    Kernel::ReportVideoMemoryUsage(int64_t(1) << 33);
    Kernel::ReportVideoMemoryUsage(-4096);
    EXPECT_EQ(Kernel::VideoMemoryUsage(), iUsage - 4096 + (int64_t(1) << 33));
    Kernel::ReportVideoMemoryUsage(4096 - (int64_t(1) << 33));
    EXPECT_EQ(Kernel::VideoMemoryUsage(), iUsage);
    EXPECT_EQ(Kernel::VideoMemoryReportCount(), iReports + 3);
}

TEST(InterfaceTest, CallsAreRecordedAndLogged)
{
    Interface* pUi = Kernel::Interface();
    pUi->ResetRecord();
    LogRecorder cLog;
    EXPECT_EQ(pUi->MessageBox(Interface::eWarning, "Texture", "Too large for the hardware"), 0);
    EXPECT_TRUE(cLog.Contains("[ui] warning \"Texture\": Too large for the hardware"));
    // Without a terminal, progress is one line per tenth: 25 steps give the
    // start, ten tenths and the end, whatever the step count.
    pUi->SetProgressBar(false);
    const int iLinesBefore = cLog.Lines().size();
    pUi->ProgressStart("Compositing...", 25, 1.0f, 0);
    for (int i = 0; i < 25; ++i)
        EXPECT_TRUE(pUi->ProgressAdd());
    pUi->ProgressEnd();
    EXPECT_EQ(cLog.Lines().size() - iLinesBefore, 12);
    EXPECT_TRUE(cLog.Contains("[ui] progress \"Compositing...\": 25 of 25 (100%)"));
    pUi->ProgressEnd();  // unmatched: logged, harmless
    EXPECT_TRUE(cLog.Contains("without a progress open"));
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
    static ClassDesc s_cMyClass;
    int m_iInitializeCalls = 0;
    void Initialize() override { ++m_iInitializeCalls; }
    const ClassDesc* RuntimeClass() const override { return &s_cMyClass; }
    QString Kind() const override { return "circle"; }
};
ClassDesc Circle::s_cMyClass(Shape::StaticClass(), Shape::StaticClass(), "RegistryTestCircle", "Circle",
                             &CreateInstancesOf<Circle>, 0, 3);

class Square : public Shape
{
public:
    static ClassDesc* s_pMyClass;
    const ClassDesc* RuntimeClass() const override { return s_pMyClass; }
    QString Kind() const override { return "square"; }
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

TEST(ClassRegistryTest, InstancesArraysRecordsAndClearErrors)
{
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
        // A node of another class than asked for is deleted and named in the error.
        const int iNodes = Node::Count();
        EXPECT_TRUE(ErrorTextOf([] { CreateInstanceAs<Square>(&Circle::s_cMyClass); }).contains("RegistryTestCircle"));
        EXPECT_EQ(Node::Count(), iNodes);
    }
    // Unregistered with its destruction: the registry forgets it.
    Square::s_pMyClass = nullptr;
    EXPECT_EQ(ClassDesc::FindByName("RegistryTestSquare"), nullptr);
    EXPECT_EQ(ClassDesc::FindImplementation(Shape::StaticClass()), &Circle::s_cMyClass);

    // A count above one makes an array, each element initialised once; 0 makes one.
    Circle* aCircles = dynamic_cast<Circle*>(Kernel::CreateClassInstance(&Circle::s_cMyClass, 3));
    ASSERT_NE(aCircles, nullptr);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(aCircles[i].m_iInitializeCalls, 1) << i;
    delete[] aCircles;
    std::unique_ptr<Node> pOne(Kernel::CreateClassInstance(&Circle::s_cMyClass, 0));
    EXPECT_EQ(dynamic_cast<Circle*>(pOne.get())->m_iInitializeCalls, 1);

    // A missing or broken implementation is a clear error.
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

TEST(NodeTest, ListOrderSurvivesDeletionAndNamesSurviveDuplication)
{
    const int iCount = Node::Count();
    auto *pA = new Node("a"), *pB = new Node("b"), *pC = new Node("c");
    const std::vector<Node*> aList = NodeList();
    ASSERT_EQ(int(aList.size()), iCount + 3);
    EXPECT_EQ(std::vector<Node*>(aList.end() - 3, aList.end()), (std::vector<Node*>{ pA, pB, pC }));
    delete pB;
    EXPECT_EQ(pA->Next(), pC);
    delete pC;  // the last one: a new node must append after pA
    auto* pD = new Node("d");
    EXPECT_EQ(pA->Next(), pD);
    delete pA;
    EXPECT_EQ(NodeList().back(), pD);
    delete pD;
    EXPECT_EQ(int(NodeList().size()), iCount);

    // Names survive duplication.
    std::unique_ptr<Node> pCircle(Kernel::CreateClassInstance(&Circle::s_cMyClass));
    pCircle->SetName("disc");
    pCircle->SetStringID("id-7");
    pCircle->SetDisplayName("Disc");
    std::unique_ptr<Node> pCopy(pCircle->Duplicate());
    ASSERT_NE(dynamic_cast<Circle*>(pCopy.get()), nullptr);
    EXPECT_EQ(dynamic_cast<Circle*>(pCopy.get())->m_iInitializeCalls, 1);
    EXPECT_EQ(QStringList({pCopy->Name(), pCopy->StringID(), pCopy->DisplayName()}), QStringList({"disc", "id-7", "Disc"}));
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

TEST(AttributeTest, EventsAreCountedAndLinksAreUndoneFromEitherEnd)
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
    EXPECT_EQ(cSize.EventCount(Attribute::eValueChanged), 2);
    EXPECT_EQ(cSize.EventCount(Attribute::eNodeRenamed), 1);
    EXPECT_EQ(cSize.EventCount(42), 0);
    EXPECT_EQ(cSize.EventCount(-1), 0);
    ASSERT_EQ(cNode.m_aEvents.size(), 4u);
    EXPECT_EQ(cNode.m_aEvents[2], std::make_pair(static_cast<const Attribute*>(&cSize), 42));
    EXPECT_EQ(s_aHeard.size(), 3u);  // the listener was gone for the last one

    // A target is linked once; linking it elsewhere moves it.
    AttributeInstance<int> cSource(nullptr, "source"), cTarget(nullptr, "target"), cOther(nullptr, "other");
    cSource.AddTarget(cTarget, false);
    cSource.AddTarget(cTarget, false);
    EXPECT_EQ(cSource.TargetCount(), 1);
    // The target gets the value, and its event even when the source is silent.
    cSource.SetValue(17, true);
    EXPECT_EQ(cTarget.Value(), 17);
    EXPECT_EQ(cTarget.EventCount(Attribute::eValueChanged), 1);
    cOther.AddTarget(cTarget, false);
    EXPECT_EQ(cTarget.Source(), &cOther);
    EXPECT_EQ(cSource.TargetCount(), 0);
    cTarget.ClearSource();
    EXPECT_EQ(cTarget.Source(), nullptr);
    EXPECT_EQ(cOther.TargetCount(), 0);

    // Destroying either end unlinks the other.
    {
        AttributeInstance<int> cTemporary(nullptr, "temporary");
        cSource.AddTarget(cTemporary, false);
    }
    EXPECT_EQ(cSource.TargetCount(), 0);
    cSource.SetValue(3);
    {
        AttributeInstance<int> cShortLived(nullptr, "short-lived");
        cShortLived.AddTarget(cOther, false);
    }
    EXPECT_EQ(cOther.Source(), nullptr);
    cSource.AddTarget(cTarget, false);
    cSource.RemoveTarget(cTarget);
    EXPECT_EQ(cTarget.Source(), nullptr);
    EXPECT_EQ(cSource.TargetCount(), 0);
}

TEST(AttributeTest, TextFormsAndStreamsRoundTripAndBadInputKeepsTheValue)
{
    AttributeInstance<bool> cBool(nullptr, "b");
    AttributeInstance<int> cInt(nullptr, "i");
    AttributeInstance<unsigned int> cUInt(nullptr, "u");
    AttributeInstance<float> cFloat(nullptr, "f");

    cBool.SetFromString(" YES ", false);
    EXPECT_TRUE(cBool.Value());
    cBool.SetFromString("Off", false);
    EXPECT_EQ(cBool.AsString(), QString("false"));
    cInt.SetFromString("-42", false);
    EXPECT_EQ(cInt.Value(), -42);
    cUInt.SetFromString("4294967295", true);
    EXPECT_EQ(cUInt.Value(), 4294967295u);
    cFloat.SetValue(0.1f);
    const QString sFloat = cFloat.AsString();
    cFloat.SetValue(0.f);
    cFloat.SetFromString(sFloat, false);
    EXPECT_EQ(cFloat.Value(), 0.1f);  // exactly the same float

    LogRecorder cLog;
    cBool.SetFromString("maybe", false);
    cInt.SetFromString("12abc", false);
    cUInt.SetFromString("-1", false);
    cFloat.SetFromString("", false);
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
        cBool.Serialize(s);
        cUInt.Serialize(s);
        cFloat.Serialize(s);
        EXPECT_EQ(s.Offset(), 1u + 4u + 4u);
        if (bStoring) {
            cBool.SetValue(false);
            cUInt.SetValue(0);
            cFloat.SetValue(0.f);
        }
    }
    EXPECT_TRUE(cBool.Value());
    EXPECT_EQ(cUInt.Value(), 0xdeadbeefu);
    EXPECT_EQ(cFloat.Value(), -2.5f);

    // A short stream throws and leaves the value.
    QByteArray aShort("\x01\x02", 2);
    Stream sShort(&aShort, false);
    EXPECT_FALSE(ErrorTextOf([&] { cUInt.Serialize(sShort); }).isEmpty());
    EXPECT_EQ(cUInt.Value(), 0xdeadbeefu);
}

// ---------------------------------------------------------------------------
// Crash-reporter scopes and the report a crashing process writes.

TEST(CrashReporterTest, ScopesNestAndTheCrashReportNamesTheOpenOnes)
{
    {
        VKCrashReporterFlag cOuter(5, 0x1);
        {
            VKCrashReporterFlag cInner(5, 0x800);
            VKCrashReporterFlag cSame(5, 0x1);  // the same bit opened twice
            EXPECT_EQ(VKCrashReporterFlag::OpenBits(5), 0x801u);
        }
        // The inner scope of the same bit closed: the outer one still holds it.
        EXPECT_EQ(VKCrashReporterFlag::OpenBits(5), 0x1u);
    }
    EXPECT_EQ(VKCrashReporterFlag::OpenBits(5), 0u);
    // Unknown categories are ignored, never written out of bounds.
    { VKCrashReporterFlag cBad(99, 0x1); }
    EXPECT_EQ(VKCrashReporterFlag::OpenBits(99), 0u);

    // A crashing process lists the operations under way, by category and bit,
    // counting a bit opened twice and leaving out closed ones.
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
            CrashScope cLast(CrashScope::ePoolSetLocation);
            { CrashScope cClosed(CrashScope::eSetAsRenderTarget); }
            raise(SIGSEGV);
        },
        testing::KilledBySignal(SIGSEGV),
        "Fatal signal 11 \\(SIGSEGV\\)\nOperations under way:\n  Painting: Stroke \\(0x10\\)\n"
        "  Texture: SetLocation \\(0x1\\) x2\n  Texture: glReadPixels \\(readback\\) \\(0x400\\)\n"
        "  Texture: VarnikTexturePool::SetLocation \\(0x80000000\\)\n  category 6: 0x4\n");
}

// ---------------------------------------------------------------------------
// The headless EGL context: what it offers, and how it fails without a device.

namespace {

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
    const QByteArray aDevice = qgetenv("VARNIK_EGL_DEVICE");
    // No device, or a device kind nobody knows: a clear error, the shared context still current.
    for (const char* sDevice : { "none", "quantum" }) {
        qputenv("VARNIK_EGL_DEVICE", sDevice);
        GLContext cContext;
        EXPECT_FALSE(cContext.Create());
        EXPECT_FALSE(cContext.IsValid());
        EXPECT_TRUE(cContext.ErrorText().contains(sDevice)) << cContext.ErrorText().toStdString();
    }
    qputenv("VARNIK_EGL_DEVICE", aDevice);  // empty reads as unset
    EXPECT_EQ(eglGetCurrentContext(), pCurrent);

    // A second context on the same device leaves the first intact.
    const SavedBinding cShared;
    GLuint iTexture = 0;
    glGenTextures(1, &iTexture);
    {
        GLContext cSecond;
        ASSERT_TRUE(cSecond.Create(false)) << cSecond.ErrorText().toStdString();
        cSecond.Destroy();
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
