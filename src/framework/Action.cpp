#include "varnik/Action.h"

#include "varnik/ClassDesc.h"

namespace varnik {

namespace {

// Registered when the library loads, so that the registry lists the host's
// interfaces before a module asks for them.
const ClassDesc* const s_pActionRecord = Action::StaticClass();
const ClassDesc* const s_pUnitTestRecord = UnitTest::StaticClass();
const ClassDesc* const s_pMaterialRecord = Material::StaticClass();

} // namespace

// ---------------------------------------------------------------------------
// Action

Action::Action() = default;
Action::~Action() = default;

const ClassDesc* Action::StaticClass()
{
    static const ClassDesc s_cClass(Node::StaticClass(), Node::StaticClass(), "Action", "Action", nullptr, 0, 0);
    return &s_cClass;
}

const ClassDesc* Action::RuntimeClass() const { return StaticClass(); }

int Action::Flags() const { return 0; }
bool Action::IsSticky() const { return false; }
bool Action::IsHidden() const { return false; }
bool Action::IsEnabled() const { return m_bEnabled; }
void Action::SetEnabled(bool bEnabled) { m_bEnabled = bEnabled; }
void Action::OnActivate() {}
void Action::OnCursorMove(int, int) {}
void Action::OnOptions() {}

Action* Action::Find(const QString& sName)
{
    for (Node* pNode = Node::First(); pNode; pNode = pNode->Next()) {
        Action* pAction = dynamic_cast<Action*>(pNode);
        if (pAction && pNode->Name() == sName)
            return pAction;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------
// UnitTest

UnitTest::UnitTest() = default;
UnitTest::~UnitTest() = default;

const ClassDesc* UnitTest::StaticClass()
{
    static const ClassDesc s_cClass(Node::StaticClass(), Node::StaticClass(), "UnitTest", "UnitTest", nullptr, 0, 0);
    return &s_cClass;
}

const ClassDesc* UnitTest::RuntimeClass() const { return StaticClass(); }

// ---------------------------------------------------------------------------
// Material

const ClassDesc* Material::StaticClass()
{
    static const ClassDesc s_cClass(Node::StaticClass(), Node::StaticClass(), "Material", "Material", nullptr, 0, 0);
    return &s_cClass;
}

const ClassDesc* Material::RuntimeClass() const { return StaticClass(); }

} // namespace varnik
