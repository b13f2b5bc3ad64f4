#include "varnik/Attribute.h"
#include <algorithm>
#include <cmath>
#include <limits>
#include "varnik/Kernel.h"
#include "varnik/Node.h"
#include "varnik/Stream.h"

namespace varnik {

namespace {

Attribute::EventListener s_fListener = nullptr;

void LogUnreadable(const Attribute& cAttribute, const QString& sValue, const char* sType)
{
    Kernel::Log(QStringLiteral("Attribute \"%1\": cannot read \"%2\" as %3; value kept\n")
                    .arg(cAttribute.Name(), sValue, QString::fromLatin1(sType)));
}

} // namespace

Attribute::Attribute(Node* pOwner, const QString& sName, uint32_t iSize)
    : m_pOwner(pOwner), m_sName(sName), m_iSize(iSize)
{
}

Attribute::~Attribute()
{
    ClearSource();
    // The targets outlive us: they must not keep pointing here.
    for (Attribute* pTarget : m_aTargets)
        if (pTarget->m_pSource == this)
            pTarget->m_pSource = nullptr;
    m_aTargets.clear();
}

int Attribute::TypeCode() const
{
    return 0;
}

void Attribute::Serialize(Stream& s)
{
}

QString Attribute::AsString() const
{
    // The raw value bytes as decimal numbers, for types without a text form.
    const auto* pBytes = static_cast<const unsigned char*>(ValueAddress());
    if (!pBytes)
        return QString();
    QStringList aParts;
    for (uint32_t i = 0; i < m_iSize; ++i)
        aParts << QString::number(pBytes[i]);
    return aParts.join(QLatin1Char(' '));
}

void Attribute::SetFromString(const QString& sValue, bool bSilent)
{
}

void Attribute::AddTarget(Attribute& cTarget, bool bSilent)
{
    if (&cTarget == this)
        return;
    // Refuse a link that would close a loop: propagation would never end.
    for (const Attribute* p = m_pSource; p; p = p->m_pSource)
        if (p == &cTarget) {
            Kernel::Log(QStringLiteral("Attribute \"%1\": linking \"%2\" as a target would make a loop; refused\n")
                            .arg(m_sName, cTarget.m_sName));
            return;
        }
    if (std::find(m_aTargets.begin(), m_aTargets.end(), &cTarget) != m_aTargets.end())
        return;
    if (cTarget.m_pSource)
        cTarget.m_pSource->RemoveTarget(cTarget);
    m_aTargets.push_back(&cTarget);
    cTarget.m_pSource = this;
}

void Attribute::AddListener(Attribute& cTarget)
{
    if (&cTarget != this && std::find(m_aTargets.begin(), m_aTargets.end(), &cTarget) == m_aTargets.end())
        m_aTargets.push_back(&cTarget);
}

void Attribute::PropagateValue()
{
    // The base holds no typed value: tell each target that its source changed.
    for (int i = 0; i < TargetCount(); ++i)
        Target(i)->StartEvent(eValueChanged);
}

const ClassDesc* Attribute::TargetType() const
{
    return nullptr;
}

void Attribute::SetPointerValue(Node* pNode, bool bFlag)
{
}

Node* Attribute::PointerValue() const
{
    return nullptr;
}

bool Attribute::ValidatePointerValue(const Node* pNode) const
{
    const ClassDesc* pType = TargetType();
    return !pNode || !pType || pNode->IsKindOf(pType);
}

void Attribute::StartEvent(int iType)
{
    if (iType >= 0 && iType < 9)
        ++m_aEventCounts[iType];
    if (m_pOwner)
        m_pOwner->OnNodeEvent(*this, iType);
    if (s_fListener)
        s_fListener(*this, iType);
}

QWidget* Attribute::CreateEditorWidget(QWidget* pParent, int iFlags)
{
    return nullptr;
}

int Attribute::ParameterCount() const
{
    return 0;
}

QString Attribute::ParameterName(int i) const
{
    return QString();
}

QString Attribute::ParameterValue(int i) const
{
    return QString();
}

void Attribute::SetParameterValue(int i, const QString& sValue)
{
}

void Attribute::SetVisible(bool bVisible)
{
    if (bVisible == m_bVisible)
        return;
    m_bVisible = bVisible;
    StartEvent(eVisibilityChanged);
}

void Attribute::RemoveTarget(Attribute& cTarget)
{
    auto it = std::find(m_aTargets.begin(), m_aTargets.end(), &cTarget);
    if (it == m_aTargets.end())
        return;
    m_aTargets.erase(it);
    if (cTarget.m_pSource == this)
        cTarget.m_pSource = nullptr;
}

void Attribute::ClearSource()
{
    if (m_pSource)
        m_pSource->RemoveTarget(*this);
    m_pSource = nullptr;
}

int Attribute::EventCount(int iType) const
{
    return iType >= 0 && iType < 9 ? m_aEventCounts[iType] : 0;
}

void Attribute::SetEventListener(EventListener fListener)
{
    s_fListener = fListener;
}

// ---- typed attributes: raw bytes in streams, plain text for editors ----

template <typename T>
static void SerializeRaw(Stream& s, T& value)
{
    if (s.IsStoring()) {
        s.Write(&value, sizeof(T));
        return;
    }
    // Through a local: a short stream throws and must leave the value as it was.
    T read = value;
    s.Read(&read, sizeof(T));
    value = read;
}

template <> int AttributeInstance<bool>::TypeCode() const { return 1; }
template <> int AttributeInstance<int>::TypeCode() const { return 2; }
template <> int AttributeInstance<unsigned int>::TypeCode() const { return 3; }
template <> int AttributeInstance<float>::TypeCode() const { return 4; }
template <> int AttributeInstance<QString>::TypeCode() const { return 6; }

template <> void AttributeInstance<bool>::Serialize(Stream& s)
{
    // One byte; any byte other than 0 reads as true (a stray byte must not make an invalid bool).
    uint8_t iByte = m_value ? 1 : 0;
    SerializeRaw(s, iByte);
    m_value = iByte != 0;
}
template <> void AttributeInstance<int>::Serialize(Stream& s) { SerializeRaw(s, m_value); }
template <> void AttributeInstance<unsigned int>::Serialize(Stream& s) { SerializeRaw(s, m_value); }
template <> void AttributeInstance<float>::Serialize(Stream& s) { SerializeRaw(s, m_value); }

template <> QString AttributeInstance<bool>::AsString() const
{
    return m_value ? QStringLiteral("true") : QStringLiteral("false");
}
template <> QString AttributeInstance<int>::AsString() const { return QString::number(m_value); }
template <> QString AttributeInstance<unsigned int>::AsString() const { return QString::number(m_value); }
template <> QString AttributeInstance<float>::AsString() const
{
    // Nine significant digits give every float back exactly.
    return QString::number(double(m_value), 'g', 9);
}

template <> void AttributeInstance<bool>::SetFromString(const QString& sValue, bool bSilent)
{
    const QString s = sValue.trimmed().toLower();
    if (s == QLatin1String("true") || s == QLatin1String("1") || s == QLatin1String("yes") || s == QLatin1String("on"))
        SetValue(true, bSilent);
    else if (s == QLatin1String("false") || s == QLatin1String("0") || s == QLatin1String("no") || s == QLatin1String("off"))
        SetValue(false, bSilent);
    else
        LogUnreadable(*this, sValue, "bool");
}

template <> void AttributeInstance<int>::SetFromString(const QString& sValue, bool bSilent)
{
    bool bOk = false;
    const int i = sValue.trimmed().toInt(&bOk);
    if (bOk)
        SetValue(i, bSilent);
    else
        LogUnreadable(*this, sValue, "int");
}

template <> void AttributeInstance<unsigned int>::SetFromString(const QString& sValue, bool bSilent)
{
    const QString s = sValue.trimmed();
    bool bOk = false;
    // toUInt would take "-1" as 4294967295 on some versions; a sign is refused outright.
    const unsigned int i = s.startsWith(QLatin1Char('-')) ? 0u : s.toUInt(&bOk);
    if (bOk)
        SetValue(i, bSilent);
    else
        LogUnreadable(*this, sValue, "unsigned int");
}

template <> void AttributeInstance<float>::SetFromString(const QString& sValue, bool bSilent)
{
    bool bOk = false;
    const float f = sValue.trimmed().toFloat(&bOk);
    if (bOk)
        SetValue(f, bSilent);
    else
        LogUnreadable(*this, sValue, "float");
}

// Text values: a stream string; any text is a valid value.
template <> void AttributeInstance<QString>::Serialize(Stream& s)
{
    if (s.IsStoring()) {
        s << m_value;
        return;
    }
    QString sRead;  // a short stream throws and leaves the value as it was
    s >> sRead;
    m_value = sRead;
}
template <> QString AttributeInstance<QString>::AsString() const { return m_value; }
template <> void AttributeInstance<QString>::SetFromString(const QString& sValue, bool bSilent)
{
    SetValue(sValue, bSilent);
}

} // namespace varnik
