// The preference store: static preference objects and registered variables.
#include "VarnikTest.h"
#include <memory>

using namespace varnik;
using varnik::test::LogRecorder;

TEST(PreferencesTest, RegisteredVariablesAreFoundAgainByCategoryAndName)
{
    Preferences* pPrefs = Kernel::Preferences();
    AttributeInstance<bool>* pPot = pPrefs->RegisterBoolVariable("Test POT", "TestRender", "Test POT", "TestRender", false);
    ASSERT_NE(pPot, nullptr);
    EXPECT_FALSE(pPot->Value());
    EXPECT_TRUE(pPot->IsVisible());
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
}

TEST(PreferencesTest, StaticObjectsAddAndRemoveThemselves)
{
    Preferences* pPrefs = Kernel::Preferences();
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
    }
    EXPECT_EQ(pPrefs->All().size(), iCount);
    EXPECT_EQ(pPrefs->Find("TestPaint", "Test BGRA readback"), nullptr);
}

TEST(PreferencesTest, VisibilityChangesStartOneEventEach)
{
    Preferences::Bool cGpu("Test GPU proxies", "TestRender", "Test GPU proxies", "Render", true, true);
    Attribute* pAttribute = cGpu.m_pAttribute;
    EXPECT_TRUE(pAttribute->IsVisible());
    pAttribute->SetVisible(false);
    pAttribute->SetVisible(false);  // no change: no event
    EXPECT_FALSE(pAttribute->IsVisible());
    EXPECT_EQ(pAttribute->EventCount(Attribute::eVisibilityChanged), 1);
    pAttribute->SetVisible(true);
    EXPECT_EQ(pAttribute->EventCount(Attribute::eVisibilityChanged), 2);
    EXPECT_EQ(pAttribute->EventCount(Attribute::eValueChanged), 0);
}
