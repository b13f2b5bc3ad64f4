// Scene streams: round trips of scalars, strings, references and whole scenes,
// and streams that end early or lie about their sizes.
#include "VarnikTest.h"

#include <cstring>

using varnik::ClassDesc;
using varnik::Node;
using varnik::Stream;
using varnik::test::ErrorTextOf;

namespace {

/// A scene node with a few fields and a reference to another node.
class SceneNode : public Node
{
public:
    static const ClassDesc* StaticClass();
    const ClassDesc* RuntimeClass() const override { return StaticClass(); }
    void Serialize(Stream& s) override
    {
        Node::Serialize(s);
        m_iSeenFormat = s.FormatVersion();
        m_iSeenClassVersion = s.ClassVersion(StaticClass());
        if (s.IsStoring()) {
            s << m_iValue << m_fWeight << m_sLabel;
            s.WriteNodeReference(m_pOther);
        } else {
            s >> m_iValue >> m_fWeight >> m_sLabel;
            m_pOther = s.ReadNodeReference();
        }
    }
    int32_t m_iValue = 0;
    double m_fWeight = 0.0;
    QString m_sLabel;
    Node* m_pOther = nullptr;
    int32_t m_iSeenFormat = 0, m_iSeenClassVersion = 0;  ///< what the last Serialize saw
};

const ClassDesc s_cSceneNodeClass(Node::StaticClass(), Node::StaticClass(), "StreamTestSceneNode", "Scene node",
                                  &varnik::CreateInstancesOf<SceneNode>, 0, 7);
const ClassDesc* SceneNode::StaticClass() { return &s_cSceneNodeClass; }

/// Owns the nodes of a read scene.
struct Scene
{
    std::vector<Node*> aNodes;
    ~Scene() { for (auto it = aNodes.rbegin(); it != aNodes.rend(); ++it) delete *it; }
};

/// Three nodes: a forward reference, a self reference and a null.
struct SampleScene
{
    SceneNode a, b, c;
    SampleScene()
    {
        a.SetName("first");
        b.SetName(QString::fromUtf8("zweite \xC3\xBC"));
        a.m_iValue = -5;
        a.m_fWeight = 0.25;
        a.m_sLabel = "a";
        a.m_pOther = &c;
        b.m_iValue = 1 << 30;
        b.m_fWeight = -1e300;
        b.m_pOther = &b;
        c.m_sLabel = QString::fromUtf8("\xE6\x97\xA5\xE6\x9C\xAC");
    }
    std::vector<Node*> Nodes() { return { &a, &b, &c }; }
};

uint32_t FieldAt(const QByteArray& aData, int iAt)
{
    uint32_t i = 0;
    std::memcpy(&i, aData.constData() + iAt, 4);
    return i;
}

QByteArray Patched(QByteArray aData, int iAt, uint32_t iValue)
{
    std::memcpy(aData.data() + iAt, &iValue, 4);
    return aData;
}

/// Offsets of a scene's count and length fields: the class count, each class
/// name's length, the node count and each record's length. Header: magic 8,
/// version 4, class count 4, per class a name (4 + its bytes) and a version 4;
/// then the node count and a class index per node, then the records.
std::vector<int> CountFieldOffsets(const QByteArray& aData)
{
    std::vector<int> aOffsets = { 12 };
    int iAt = 16;
    for (uint32_t i = 0; i < FieldAt(aData, 12); ++i, iAt += 4 + int(FieldAt(aData, iAt)) + 4)
        aOffsets.push_back(iAt);
    aOffsets.push_back(iAt);
    for (iAt += 4 + 4 * int(FieldAt(aData, iAt)); iAt < aData.size(); iAt += 4 + int(FieldAt(aData, iAt)))
        aOffsets.push_back(iAt);
    return aOffsets;
}

QString ReadError(const QByteArray& aData)
{
    return ErrorTextOf([&] { Scene s; s.aNodes = Stream::ReadScene(aData); });
}

} // namespace

TEST(StreamValues, ScalarsAreRawLittleEndianStringsUtf8WithByteLength)
{
    const QStringList aStrings = { QString(), "plain", QString::fromUtf8("\xC3\xBC\xF0\x9F\x98\x80"), QString(1000, QChar('x')) };
    QByteArray aData;
    Stream cOut(&aData, true);
    cOut << uint8_t(0xAB) << uint32_t(0x01020304) << int16_t(-2) << -2.5e-310;
    for (const QString& sText : aStrings)
        cOut << sText;
    const unsigned char aExpected[] = { 0xAB, 0x04, 0x03, 0x02, 0x01, 0xFE, 0xFF };
    EXPECT_EQ(std::memcmp(aData.constData(), aExpected, sizeof(aExpected)), 0);
    // After the 15 scalar bytes, "" (4 bytes) and "plain" (4 + 5): UTF-8 bytes, not UTF-16 units.
    EXPECT_EQ(FieldAt(aData, 15 + 13), 6u);

    Stream cIn(&aData, false);
    uint8_t i8 = 0;
    uint32_t i32 = 0;
    int16_t i16 = 0;
    double f = 0.0;
    cIn >> i8 >> i32 >> i16 >> f;
    EXPECT_TRUE(i8 == 0xAB && i32 == 0x01020304u && i16 == -2 && f == -2.5e-310);
    for (const QString& sText : aStrings) {
        QString sRead = "garbage";
        cIn >> sRead;
        EXPECT_EQ(sRead, sText);
    }
    EXPECT_TRUE(ErrorTextOf([&] { cIn >> i8; }).contains(QString("offset %1").arg(aData.size())));
    EXPECT_FALSE(ErrorTextOf([&] { cIn << 1; }).isEmpty());  // writing a reading stream
}

TEST(StreamValues, NodeReferencesOutsideTheTableAreRefused)
{
    SceneNode a, cStranger;
    QByteArray aData;
    Stream cOut(&aData, true);
    cOut.SetNodeTable({ &a });
    cOut.WriteNodeReference(&a);
    EXPECT_TRUE(ErrorTextOf([&] { cOut.WriteNodeReference(&cStranger); }).contains("not part of the stream"));
    cOut << int32_t(1) << int32_t(-7);

    Stream cIn(&aData, false);
    cIn.SetNodeTable({ &a });
    EXPECT_EQ(cIn.ReadNodeReference(), &a);
    EXPECT_TRUE(ErrorTextOf([&] { cIn.ReadNodeReference(); }).contains("reference 1 at offset 4"));
    EXPECT_TRUE(ErrorTextOf([&] { cIn.ReadNodeReference(); }).contains("reference -7"));
}

TEST(StreamScenes, RoundTripWithVersionsReferencesAndFiles)
{
    SampleScene cScene;
    varnik::test::TempDir cDir;
    ASSERT_TRUE(Stream::SaveSceneFile(cDir.File("scene.vsc"), cScene.Nodes()));
    Scene cRead;
    cRead.aNodes = Stream::LoadSceneFile(cDir.File("scene.vsc"));
    ASSERT_EQ(cRead.aNodes.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const auto* pWritten = static_cast<SceneNode*>(cScene.Nodes()[i]);
        const auto* pRead = dynamic_cast<SceneNode*>(cRead.aNodes[i]);
        ASSERT_NE(pRead, nullptr);
        EXPECT_EQ(pRead->Name(), pWritten->Name());
        EXPECT_EQ(pRead->m_iValue, pWritten->m_iValue);
        EXPECT_EQ(pRead->m_fWeight, pWritten->m_fWeight);
        EXPECT_EQ(pRead->m_sLabel, pWritten->m_sLabel);
        EXPECT_EQ(pRead->m_iSeenFormat, 362);
        EXPECT_EQ(pRead->m_iSeenClassVersion, 7);
    }
    EXPECT_EQ(static_cast<SceneNode*>(cRead.aNodes[0])->m_pOther, cRead.aNodes[2]);  // forward
    EXPECT_EQ(static_cast<SceneNode*>(cRead.aNodes[1])->m_pOther, cRead.aNodes[1]);  // itself

    const QString sMissing = cDir.File("missing.vsc");
    EXPECT_TRUE(ErrorTextOf([&] { Stream::LoadSceneFile(sMissing); }).contains(sMissing));
    varnik::test::LogRecorder cLog;
    EXPECT_FALSE(Stream::SaveSceneFile(cDir.File("no/folder/x.vsc"), cScene.Nodes()));
    EXPECT_TRUE(cLog.Contains("no/folder/x.vsc"));
}

TEST(StreamScenes, TruncatedAtEveryOffsetFailsNamingTheOffset)
{
    // A save cut short is the most common damage a scene file meets.
    SampleScene cScene;
    const QByteArray aData = Stream::WriteScene(cScene.Nodes());
    const int iNodesBefore = Node::Count();
    for (int iLength = 0; iLength < aData.size(); ++iLength) {
        // A copy of the prefix only, so that reading past it touches no valid byte.
        const QString sError = ReadError(QByteArray(aData.constData(), iLength));
        EXPECT_TRUE(sError.contains("offset")) << iLength << ": " << sError.toStdString();
        ASSERT_EQ(Node::Count(), iNodesBefore) << "nodes of a failed read left behind, cut at " << iLength;
    }
}

TEST(StreamScenes, CorruptHeadersTablesCountsAndRecordsAreRefused)
{
    SampleScene cScene;
    const QByteArray aGood = Stream::WriteScene(cScene.Nodes());
    EXPECT_TRUE(ReadError(QByteArray(aGood).replace(0, 1, "X")).contains("magic"));
    EXPECT_TRUE(ReadError(Patched(aGood, 8, 363)).contains("format version 363"));
    EXPECT_TRUE(ReadError(Patched(aGood, 8, 0)).contains("format version 0"));
    EXPECT_TRUE(ReadError(Patched(aGood, 12, 0xFFFFFFFFu)).contains("class count"));

    // Every count and length field, changed either way, fails naming an offset
    // and leaves no node of the failed read behind.
    const std::vector<int> aFields = CountFieldOffsets(aGood);
    ASSERT_EQ(aFields.size(), FieldAt(aGood, 12) + 5);
    const int iNodesBefore = Node::Count();
    for (int iAt : aFields) {
        const uint32_t iValue = FieldAt(aGood, iAt);
        for (uint32_t iChanged : { iValue - 1, iValue + 1, 0u, iValue * 2, 0xFFFFFFFFu }) {
            EXPECT_TRUE(ReadError(Patched(aGood, iAt, iChanged)).contains("offset")) << iAt << " set to " << iChanged;
            ASSERT_EQ(Node::Count(), iNodesBefore) << "nodes left behind, field " << iAt << " set to " << iChanged;
        }
    }
    const QString sTrailing = ReadError(aGood + QByteArray(3, '\0'));
    EXPECT_TRUE(sTrailing.contains(QString("3 bytes of unexpected data at offset %1").arg(aGood.size())))
        << sTrailing.toStdString();

    // Each guard by name: counts that cannot fit are refused before anything is
    // allocated or read, and a record longer than its node reads is named.
    const int iNodeCountAt = aFields.end()[-4], iFirstLengthAt = aFields.end()[-3];
    const uint32_t iClasses = FieldAt(aGood, 12);
    EXPECT_TRUE(ReadError(Patched(aGood, iNodeCountAt, 0x40000000u)).contains("node count"));
    EXPECT_TRUE(ReadError(Patched(aGood, iNodeCountAt + 4, iClasses)).contains(QString("class index %1 ").arg(iClasses)));
    EXPECT_TRUE(ReadError(Patched(aGood, iFirstLengthAt, 0xFFFFFF00u)).contains("claims"));
    const QByteArray aLonger = Patched(aGood, iFirstLengthAt, FieldAt(aGood, iFirstLengthAt) + 1);
    EXPECT_TRUE(ReadError(aLonger).contains("node 0 (StreamTestSceneNode)"));
    QByteArray aUnknown = aGood;
    aUnknown.replace("StreamTestSceneNode", "StreamTestSceneNoda");
    EXPECT_TRUE(ReadError(aUnknown).contains("unknown class \"StreamTestSceneNoda\""));
    // A known record that nothing implements (an interface): refused at its table entry.
    QByteArray aInterface;
    Stream cInterface(&aInterface, true);
    cInterface.WriteHeader({ varnik::Material::StaticClass() });
    const int iEntryAt = int(cInterface.Offset()) + 4;
    cInterface << uint32_t(1) << uint32_t(0) << uint32_t(0);
    const QString sInterface = ReadError(aInterface);
    EXPECT_TRUE(sInterface.contains(QString("class \"Material\" at offset %1").arg(iEntryAt))) << sInterface.toStdString();
}
