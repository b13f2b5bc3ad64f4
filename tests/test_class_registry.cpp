// The class registry, instance creation through the kernel, and the node list.
#include "VarnikTest.h"
#include <memory>
#include <QByteArray>

using namespace varnik;
using varnik::test::ErrorTextOf;

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

TEST(ClassRegistryTest, RecordsAreKeptInRegistrationOrder)
{
    std::vector<const ClassDesc*> aAll;
    for (int i = 0; i < ClassDesc::Count(); ++i)
        aAll.push_back(ClassDesc::At(i));
    const auto itShape = std::find(aAll.begin(), aAll.end(), Shape::StaticClass());
    ASSERT_NE(itShape, aAll.end());
    EXPECT_LT(itShape, std::find(aAll.begin(), aAll.end(), &Circle::s_cMyClass));
    EXPECT_EQ(ClassDesc::FindByName("RegistryTestCircle"), &Circle::s_cMyClass);
    EXPECT_EQ(ClassDesc::FindByName("NoSuchClass"), nullptr);
    EXPECT_FALSE(Shape::StaticClass()->IsKindOf(&Circle::s_cMyClass));
}

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

TEST(ClassRegistryTest, CountAboveOneMakesAnArrayEachInitialised)
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
}

TEST(ClassRegistryTest, MissingImplementationsGiveClearErrors)
{
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

TEST(NodeListTest, ConstructionOrderSurvivesDeletion)
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
}

TEST(NodeTest, NamesDuplicateAndStreamRoundTrip)
{
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
