#pragma once
#include <QList>
#include <QString>
#include <QStringList>
#include "varnik/Action.h"
#include "varnik/Attribute.h"

/// The module's self-test node: runs real checks of the texture's behaviour on
/// the live GL context, grouped as the entries of the menu "UnitTest", group
/// "TextureTester". Each run is recorded as the command "PluginTest %1%2"
/// (the class name, then ":" and the entry) in the "cmd" attribute; setting
/// that attribute (not silently) replays the command.
class TextureTester : public varnik::UnitTest
{
public:
    /// The outcome of one check.
    struct Check
    {
        QString sGroup;   ///< entry the check belongs to
        QString sName;    ///< what was checked
        bool bPassed;
        QString sDetail;  ///< what was found, for failures
    };

    TextureTester();
    ~TextureTester() override;  ///< takes the menu entries away

    static varnik::ClassDesc s_cMyClass;  ///< the class record ("TextureTester")
    static const varnik::ClassDesc* StaticClass() { return &s_cMyClass; }
    const varnik::ClassDesc* RuntimeClass() const override { return &s_cMyClass; }
    static varnik::Node* CreateInstances(unsigned int iCount);

    /// Adds the menu entries.
    void Initialize() override;
    /// A non-silent change of "cmd" replays it.
    void OnNodeEvent(const varnik::Attribute& cAttribute, int iEventType) override;

    /// The groups, in menu order, without "Run all tests".
    QStringList TestNames() const override;
    /// Runs one group, or every group for "Run all tests" or an empty name;
    /// records the command; true when every check passed. An unknown name is
    /// one failed check.
    bool Run(const QString& sName) override;
    /// Runs the command held in "cmd"; false when it fails or is not a command of this node.
    bool Replay();

    /// The checks of the last run, in order.
    const QList<Check>& Results() const { return m_aResults; }
    int FailureCount() const;
    /// The "cmd" attribute.
    varnik::AttributeInstance<QString>& CommandAttribute() { return m_cCommand; }

    static const char* const s_sMenu;          ///< "UnitTest"
    static const char* const s_sRunAll;        ///< "Run all tests"

    // The groups, one per menu entry.
    void Creation();
    void Proxying();
    void CopyTo();
    void CopyFrom();
    void QueueCompositing();
    void DirtyFlags();
    void DirtyRegions();
    void RelativeRegion();

private:
    void RunGroup(int iGroup);
    void Expect(bool bPassed, const QString& sName, const QString& sDetail = QString());

    varnik::AttributeInstance<QString> m_cCommand;  ///< "cmd": the last command run
    QList<Check> m_aResults;                        ///< checks of the last run
    QString m_sGroup;                               ///< group running now
};
