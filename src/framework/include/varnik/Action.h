#pragma once
#include "varnik/Node.h"

namespace varnik {

/// The host's action interface: a command the user can run.
class Action : public virtual Node
{
public:
    Action();
    ~Action() override;
    static const ClassDesc* StaticClass();
    const ClassDesc* RuntimeClass() const override;

    /// Host flags of the action (menu placement); 0 in the base.
    virtual int Flags() const;                    // 18
    virtual bool IsSticky() const;                // 19
    virtual bool IsHidden() const;                // 20
    virtual bool IsEnabled() const;               // 21
    virtual void SetEnabled(bool bEnabled);       // 22
    virtual void OnActivate();                    // 23
    virtual void Execute() = 0;                   // 24
    virtual void OnCursorMove(int x, int y);      // 25
    virtual void OnOptions();                     // 26

    /// Actions alive now, by name; null when none.
    static Action* Find(const QString& sName);

private:
    bool m_bEnabled = true;  ///< SetEnabled
};

/// The host's unit-test node interface: runs named tests.
class UnitTest : public virtual Node
{
public:
    UnitTest();
    ~UnitTest() override;
    static const ClassDesc* StaticClass();
    const ClassDesc* RuntimeClass() const override;
    /// Names of the tests this node offers.
    virtual QStringList TestNames() const = 0;
    /// Runs one test (or all for an empty name); returns whether it passed.
    virtual bool Run(const QString& sName) = 0;
};

/// The host's material: not modelled by the headless host beyond its identity.
class Material : public virtual Node
{
public:
    static const ClassDesc* StaticClass();
    const ClassDesc* RuntimeClass() const override;
};

} // namespace varnik
