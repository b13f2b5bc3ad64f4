// The self-test node: its menu entries, the command each run records, replay
// from "cmd", and a failing check reaching the result.
#include "VarnikTest.h"

#include <memory>
#include "Texture.h"
#include "TextureTester.h"

namespace {

class TextureTesterTest : public varnik::test::GLTest
{
protected:
    void SetUp() override
    {
        GLTest::SetUp();
        VarnikTexture::InitializePlugin();
        m_pTester.reset(dynamic_cast<TextureTester*>(varnik::Kernel::CreateClassInstance(TextureTester::StaticClass())));
        ASSERT_TRUE(m_pTester);
        m_iScratch = VarnikTexture::CompositeScratchMemory();
    }
    void TearDown() override
    {
        m_pTester.reset();
        // The module's compositing scratch texture outlives the test.
        m_iLedgerAtStart += VarnikTexture::CompositeScratchMemory() - m_iScratch;
        GLTest::TearDown();
    }
    std::unique_ptr<TextureTester> m_pTester;
    int64_t m_iScratch = 0;
};

TEST_F(TextureTesterTest, MenuOffersEveryGroupAndGoesWithTheNode)
{
    const QStringList aExpected = { "Run all tests", "Creation", "Proxying", "CopyTo", "CopyFrom",
                                    "QueueCompositing", "DirtyFlags", "DirtyRegions", "RelativeRegion" };
    EXPECT_EQ(varnik::Menus::Entries("UnitTest", "TextureTester"), aExpected);
    EXPECT_EQ(m_pTester->TestNames(), aExpected.mid(1));
    // A menu entry runs its group on the node.
    ASSERT_TRUE(varnik::Menus::Trigger("UnitTest", "TextureTester", "RelativeRegion"));
    EXPECT_EQ(m_pTester->CommandAttribute().Value(), QString("PluginTest TextureTester:RelativeRegion"));
    EXPECT_FALSE(m_pTester->Results().isEmpty());
    m_pTester.reset();
    EXPECT_TRUE(varnik::Menus::Entries("UnitTest", "TextureTester").isEmpty());
}

TEST_F(TextureTesterTest, RunsRecordTheirCommandAndReplayFromIt)
{
    struct Case { QString sRun; QString sCommand; bool bPasses; };
    const Case aCases[] = {
        { "DirtyRegions", "PluginTest TextureTester:DirtyRegions", true },
        { "", "PluginTest TextureTester:Run all tests", true },
        { "NoSuchGroup", "PluginTest TextureTester:NoSuchGroup", false },
    };
    for (const Case& c : aCases) {
        SCOPED_TRACE(qPrintable(c.sRun));
        EXPECT_EQ(m_pTester->Run(c.sRun), c.bPasses);
        EXPECT_EQ(m_pTester->CommandAttribute().Value(), c.sCommand);
        EXPECT_EQ(m_pTester->FailureCount() == 0, c.bPasses);
    }
    // Setting "cmd" as a user would (not silently) runs that command; every
    // check of it is of the group named.
    m_pTester->CommandAttribute().SetFromString("PluginTest TextureTester:CopyFrom", false);
    ASSERT_FALSE(m_pTester->Results().isEmpty());
    for (const TextureTester::Check& c : m_pTester->Results())
        EXPECT_EQ(c.sGroup, QString("CopyFrom")) << qPrintable(c.sName);
    EXPECT_EQ(m_pTester->FailureCount(), 0);
    // A command of another node is refused and changes nothing.
    const int iChecks = m_pTester->Results().size();
    m_pTester->CommandAttribute().SetValue("PluginTest Other:Creation", true);
    EXPECT_FALSE(m_pTester->Replay());
    EXPECT_EQ(m_pTester->Results().size(), iChecks);
}

} // namespace
