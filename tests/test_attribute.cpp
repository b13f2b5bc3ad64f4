// The attribute base (links, events, visibility) and the typed value attributes.
#include "VarnikTest.h"
#include <cstring>
#include <memory>
#include <QByteArray>

using namespace varnik;
using varnik::test::LogRecorder;

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

TEST(AttributeTest, EventsReachOwnerAndListenerAndAreCounted)
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
}

TEST(AttributeTest, TargetsReceiveValuesAndLinksAreUndone)
{
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

TEST(AttributeTest, TextFormsRoundTripAndBadTextKeepsTheValue)
{
    AttributeInstance<bool> cBool(nullptr, "b");
    AttributeInstance<int> cInt(nullptr, "i");
    AttributeInstance<unsigned int> cUInt(nullptr, "u");
    AttributeInstance<float> cFloat(nullptr, "f");
    EXPECT_EQ(std::vector<int>({cBool.TypeCode(), cInt.TypeCode(), cUInt.TypeCode()}), std::vector<int>({1, 2, 3}));

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
}

TEST(AttributeTest, StreamsCarryTheRawValues)
{
    AttributeInstance<bool> cBool(nullptr, "b", true);
    AttributeInstance<unsigned int> cUInt(nullptr, "u", 0xdeadbeefu);
    AttributeInstance<float> cFloat(nullptr, "f", -2.5f);
    QByteArray aBytes;
    for (bool bStoring : {true, false}) {
        Stream s(&aBytes, bStoring);
        cBool.Serialize(s), cUInt.Serialize(s), cFloat.Serialize(s);
        EXPECT_EQ(s.Offset(), 1u + 4u + 4u);
        if (bStoring)
            cBool.SetValue(false), cUInt.SetValue(0), cFloat.SetValue(0.f);
    }
    EXPECT_EQ(aBytes.size(), 9);
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
