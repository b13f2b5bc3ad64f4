#include "varnik/Node.h"
#include "varnik/Attribute.h"
#include "varnik/Error.h"
#include "varnik/Kernel.h"
#include "varnik/Stream.h"

namespace varnik {

namespace {

// The node list. Plain pointers, constant-initialised, so that static nodes of
// modules (built while the module loads) find the list ready.
Node* s_pFirst = nullptr;
Node* s_pLast = nullptr;
int s_iCount = 0;

} // namespace

Node::Node(const QString& sName, const QString& sStringID) : m_sName(sName), m_sStringID(sStringID)
{
    m_pPrev = s_pLast;
    if (s_pLast)
        s_pLast->m_pNext = this;
    else
        s_pFirst = this;
    s_pLast = this;
    ++s_iCount;
}

Node::~Node()
{
    if (m_pNodeAttribute) {
        // Attributes that refer to this node hear of its end before it goes.
        m_pNodeAttribute->StartEvent(Attribute::eNodeDeleted);
        delete m_pNodeAttribute;
        m_pNodeAttribute = nullptr;
    }
    if (m_pPrev)
        m_pPrev->m_pNext = m_pNext;
    else if (s_pFirst == this)
        s_pFirst = m_pNext;
    if (m_pNext)
        m_pNext->m_pPrev = m_pPrev;
    else if (s_pLast == this)
        s_pLast = m_pPrev;
    --s_iCount;
}

void Node::Initialize()
{
}

void Node::OnNodeEvent(const Attribute& cAttribute, int iEventType)
{
}

void Node::OnEvent(int iEventType)
{
}

QString Node::Name(const ClassDesc* pClass) const
{
    return m_sName;
}

void Node::SetName(const QString& sName)
{
    if (sName == m_sName)
        return;
    m_sName = sName;
    if (m_pNodeAttribute)
        m_pNodeAttribute->StartEvent(Attribute::eNodeRenamed);
}

QString Node::StringID() const
{
    return m_sStringID;
}

void Node::SetStringID(const QString& sID)
{
    m_sStringID = sID;
}

QString Node::DisplayName() const
{
    // Nodes that were never given a display name show their name.
    return m_sDisplayName.isEmpty() ? m_sName : m_sDisplayName;
}

void Node::SetDisplayName(const QString& sName)
{
    m_sDisplayName = sName;
}

QString Node::HelpID() const
{
    return m_sHelpID;
}

void Node::SetHelpID(const QString& sID)
{
    m_sHelpID = sID;
}

QWidget* Node::CreatePropertiesWindow(QWidget* pParent)
{
    return nullptr;
}

void Node::Serialize(Stream& s)
{
    if (s.IsStoring()) {
        s << m_sName << m_sStringID;
    } else {
        // Read into locals first: a truncated stream throws and leaves the node as it was.
        QString sName, sID;
        s >> sName >> sID;
        m_sName = sName;
        m_sStringID = sID;
    }
}

void Node::CheckValidity(DiagnosticLevel eLevel) const
{
}

void Node::CopyTo(Node* pTarget) const
{
    if (!pTarget || pTarget == this)
        return;
    pTarget->SetName(m_sName);
    pTarget->m_sStringID = m_sStringID;
    pTarget->m_sDisplayName = m_sDisplayName;
    pTarget->m_sHelpID = m_sHelpID;
}

Node* Node::Duplicate() const
{
    const ClassDesc* pClass = RuntimeClass();
    // The registry would make some implementation of a class without a creator:
    // not a copy of this node.
    if (pClass && !pClass->CreatorFunction())
        throw (new Error(QString(), 4, QStringLiteral("varnik::Node::Duplicate"), QStringLiteral("src/framework/Node"),
                         __LINE__))
            ->Format(QStringLiteral("Cannot duplicate a node of class %1: the class has no creator"), pClass->Name());
    Node* pCopy = Kernel::CreateClassInstance(pClass);
    CopyTo(pCopy);
    return pCopy;
}

const ClassDesc* Node::RuntimeClass() const
{
    return StaticClass();
}

const ClassDesc* Node::StaticClass()
{
    // Made on first use: interface records of other files name it as their
    // parent while static objects are still being built.
    static const ClassDesc s_cMyClass(nullptr, nullptr, QStringLiteral("Node"), QStringLiteral("Node"), nullptr, 0, 1);
    return &s_cMyClass;
}

bool Node::IsKindOf(const ClassDesc* pClass) const
{
    const ClassDesc* pMine = RuntimeClass();
    return pMine && pMine->IsKindOf(pClass);
}

Node* Node::First()
{
    return s_pFirst;
}

int Node::Count()
{
    return s_iCount;
}

void RefuseInstance(Node* pNode, const ClassDesc* pClass)
{
    const QString sMade = pNode && pNode->RuntimeClass() ? pNode->RuntimeClass()->Name() : QStringLiteral("nothing");
    delete pNode;
    throw (new Error(QString(), 4, QStringLiteral("varnik::CreateInstanceAs"), QStringLiteral("src/framework/Node"),
                     __LINE__))
        ->Format(QStringLiteral("The class registry made %1 for %2, not the class asked for"), sMade,
                 pClass ? pClass->Name() : QStringLiteral("a null record"));
}

} // namespace varnik
