// Pointer attributes: the plain pointer value and the node reference.
#include "VarnikTest.h"
#include <cstring>
#include <memory>
#include "varnik/AttributePointer.h"
#include "varnik/Stream.h"
#include "TestTexture.h"
#include "Texture.h"

using varnik::Attribute;
using varnik::AttributeInstance;
using varnik::AttributePointer;
using varnik::Node;
using varnik::Texture;
using varnik::test::LogRecorder;
using testtex::TestTexture;

namespace {

class AttributePointerTest : public varnik::test::GLTest
{
protected:
    static std::unique_ptr<TestTexture> NewTexture(const QString& sName)
    {
        auto p = std::make_unique<TestTexture>(2, 2);
        p->SetName(sName);
        return p;
    }
};

bool OnlyNamedKeep(Texture* pTexture) { return pTexture && pTexture->Name().startsWith("keep"); }

} // namespace

TEST_F(AttributePointerTest, TextsOfBothFormsAndReadingThemBack)
{
    // The queued composite's reference: anonymous, no owner, "NULL" while unset.
    VarnikTexture::InitializePlugin();
    VarnikTexture::CompositeEntry cEntry;
    AttributePointer<Texture>& cPointer = cEntry.m_cTexture;
    AttributeInstance<Texture*> cPlain(nullptr, "raw");
    EXPECT_EQ(cPointer.AsString(), QString("NULL"));
    EXPECT_EQ(cPlain.AsString(), QString("0 0 0 0 0 0 0 0"));

    // The plain form reads its own text back.
    auto pA = NewTexture("a"), pB = NewTexture("b");
    AttributeInstance<Texture*> cOther(nullptr, "other", pB.get());
    const int iEvents = cPlain.EventCount(Attribute::eValueChanged);
    cPlain.SetFromString(cOther.AsString(), true);
    EXPECT_EQ(cPlain.Value(), pB.get());
    EXPECT_EQ(cPlain.EventCount(Attribute::eValueChanged), iEvents);
    cPlain.SetFromString(AttributeInstance<Texture*>(nullptr, "n").AsString(), false);
    EXPECT_EQ(cPlain.Value(), nullptr);
    EXPECT_EQ(cPlain.EventCount(Attribute::eValueChanged), iEvents + 1);

    // Text that is not eight bytes changes nothing and says so.
    cPlain.SetValue(pA.get(), true);
    for (const char* sBad : {"1 2 3", "1 2 3 4 5 6 7 256", "a b c d e f g h"}) {
        LogRecorder cLog;
        cPlain.SetFromString(sBad, false);
        EXPECT_EQ(cPlain.Value(), pA.get()) << sBad;
        EXPECT_TRUE(cLog.Contains("is not a pointer value")) << sBad;
    }

    // The reference form treats any text as "no node".
    cPointer.SetValue(pA.get());
    cPointer.SetFromString(cOther.AsString(), false);
    EXPECT_EQ(cPointer.Value(), nullptr);
    EXPECT_EQ(pA->NodeAttribute().TargetCount(), 0);
}

TEST_F(AttributePointerTest, SameValueTwiceAndValidatorDecides)
{
    auto pKeep = NewTexture("keep me"), pDrop = NewTexture("drop me");
    AttributePointer<Texture> cPointer(nullptr, "ref");
    // Setting the same node again is no change for the reference.
    cPointer.SetValue(pDrop.get());
    cPointer.SetValue(pDrop.get());
    EXPECT_EQ(cPointer.EventCount(Attribute::eValueChanged), 1);

    cPointer.SetValidator(&OnlyNamedKeep);
    cPointer.SetPointerValue(pKeep.get(), true);
    EXPECT_EQ(cPointer.RegisteredAt(), &pKeep->NodeAttribute());  // registered through SetValue
    const int iEvents = cPointer.EventCount(Attribute::eValueChanged);
    cPointer.SetPointerValue(pDrop.get(), false);
    EXPECT_EQ(cPointer.Value(), pKeep.get());
    EXPECT_EQ(cPointer.EventCount(Attribute::eValueChanged), iEvents);
    // Null is not asked about.
    cPointer.SetPointerValue(nullptr, false);
    EXPECT_EQ(cPointer.Value(), nullptr);

    // A node of another class is refused with a log line.
    Node cPlainNode("plain");
    LogRecorder cLog;
    cPointer.SetValidator(nullptr);
    cPointer.SetPointerValue(&cPlainNode, true);
    EXPECT_EQ(cPointer.Value(), nullptr);
    EXPECT_TRUE(cLog.Contains("not of the referenced type"));
}

// A link hands the value over at once and every new one after it; events
// about the node (types 3, 4, 6 and 8) travel along it.
TEST_F(AttributePointerTest, LinksCarryValuesAndNodeEventsButNothingOverARefusedLink)
{
    auto pA = NewTexture("a"), pB = NewTexture("b");
    AttributePointer<Texture> cSource(nullptr, "source"), cTarget(nullptr, "target");
    cSource.SetValue(pA.get(), true);
    cSource.AddTarget(cTarget, false);
    EXPECT_EQ(cTarget.Value(), pA.get());
    EXPECT_EQ(cSource.EventCount(Attribute::eLinkedAsSource), 1);
    EXPECT_EQ(cTarget.EventCount(Attribute::eLinkedAsTarget), 1);
    cSource.SetValue(pB.get(), true);
    EXPECT_EQ(cTarget.Value(), pB.get());
    for (int iType = 0; iType < 9; ++iType) {
        const int iBefore = cTarget.EventCount(iType);
        cSource.StartEvent(iType);
        const bool bTravels = iType == 3 || iType == 4 || iType == 6 || iType == 8;
        EXPECT_EQ(cTarget.EventCount(iType) - iBefore, int(bTravels)) << "type " << iType;
    }

    // Linking back would close a loop, and nothing links to itself: refused,
    // and neither the value nor the link events move.
    cSource.SetValue(pA.get(), true);
    cTarget.SetValue(pB.get(), true);
    const int iLinkedAsTarget = cSource.EventCount(Attribute::eLinkedAsTarget);
    LogRecorder cLog;
    cTarget.AddTarget(cSource, false);
    cSource.AddTarget(cSource, false);
    EXPECT_TRUE(cLog.Contains("would make a loop; refused"));
    EXPECT_EQ(cSource.Value(), pA.get());
    EXPECT_EQ(cSource.EventCount(Attribute::eLinkedAsTarget), iLinkedAsTarget);
}

TEST_F(AttributePointerTest, TheNodeAttributeCarriesNodeEventsAndDeletion)
{
    auto pTexture = NewTexture("t");
    AttributePointer<Node>& cOwn = pTexture->NodeAttribute();
    AttributePointer<Texture> cRef(nullptr, "ref");
    cRef.SetValue(pTexture.get());
    pTexture->SetName("renamed");
    EXPECT_EQ(cRef.EventCount(Attribute::eNodeRenamed), 1);
    EXPECT_EQ(cRef.AsString(), QString("renamed"));

    // Moving to another node leaves the first one's list.
    auto pOther = NewTexture("other");
    cRef.SetValue(pOther.get());
    EXPECT_EQ(cOwn.TargetCount(), 0);
    EXPECT_EQ(pOther->NodeAttribute().TargetCount(), 1);
    cRef.SetValue(nullptr);
    EXPECT_EQ(pOther->NodeAttribute().TargetCount(), 0);

    // Destroying the node clears every reference to it.
    pTexture = NewTexture("doomed");
    AttributePointer<Texture> cFirst(nullptr, "first"), cSecond(nullptr, "second");
    AttributePointer<Texture> cChained(nullptr, "chained");
    cFirst.SetValue(pTexture.get());
    cSecond.SetValue(pTexture.get());
    // A target of a reference: it follows by propagation.
    cSecond.AddTarget(cChained, false);
    ASSERT_EQ(cChained.Value(), pTexture.get());
    const int iChanges = cFirst.EventCount(Attribute::eValueChanged);

    pTexture.reset();
    EXPECT_EQ(cFirst.Value(), nullptr);
    EXPECT_EQ(cSecond.Value(), nullptr);
    EXPECT_EQ(cChained.Value(), nullptr);
    EXPECT_EQ(cFirst.EventCount(Attribute::eNodeDeleted), 1);
    EXPECT_EQ(cFirst.EventCount(Attribute::eValueChanged), iChanges + 1);
}

TEST_F(AttributePointerTest, StreamFormIsANodeReference)
{
    auto pA = NewTexture("a"), pB = NewTexture("b");
    Node cPlainNode("plain");
    const std::vector<Node*> aTable = {&cPlainNode, pA.get(), pB.get()};

    AttributePointer<Texture> cPointer(nullptr, "ref"), cEmpty(nullptr, "empty");
    AttributeInstance<Texture*> cPlain(nullptr, "raw", pB.get());
    cPointer.SetValue(pA.get(), true);
    QByteArray cBytes;
    {
        varnik::Stream cOut(&cBytes, true);
        cOut.SetNodeTable(aTable);
        cPointer.Serialize(cOut);
        cPlain.Serialize(cOut);
        cEmpty.Serialize(cOut);
    }
    ASSERT_EQ(cBytes.size(), 12);
    const int32_t aExpected[3] = {1, 2, -1};  // table indices
    EXPECT_EQ(std::memcmp(cBytes.constData(), aExpected, 12), 0);

    AttributePointer<Texture> cPointerIn(nullptr, "ref"), cEmptyIn(nullptr, "empty");
    AttributeInstance<Texture*> cPlainIn(nullptr, "raw");
    cEmptyIn.SetValue(pB.get(), true);
    varnik::Stream cIn(&cBytes, false);
    cIn.SetNodeTable(aTable);
    cPointerIn.Serialize(cIn);
    cPlainIn.Serialize(cIn);
    cEmptyIn.Serialize(cIn);
    EXPECT_EQ(cPointerIn.Value(), pA.get());
    EXPECT_EQ(cPointerIn.RegisteredAt(), &pA->NodeAttribute());  // read through SetValue
    EXPECT_EQ(cPointerIn.EventCount(Attribute::eValueChanged), 0);  // silently
    EXPECT_EQ(cPlainIn.Value(), pB.get());
    EXPECT_EQ(cEmptyIn.Value(), nullptr);

    // A reference to a node that is not a texture (index 0) reads as null.
    QByteArray cWrong(4, '\0');
    varnik::Stream cWrongIn(&cWrong, false);
    cWrongIn.SetNodeTable(aTable);
    cPointerIn.Serialize(cWrongIn);
    EXPECT_EQ(cPointerIn.Value(), nullptr);
}
