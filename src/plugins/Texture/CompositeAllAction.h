#pragma once
#include "varnik/Action.h"
#include "varnik/ClassDesc.h"

/// The command "Composite paint strokes": composites every stroke still queued
/// on any texture of the scene at full resolution, under a progress display,
/// and redraws the view. Each texture ends where it was (location and proxy
/// level). An error of a texture stops the command where it is.
class CompositeAllAction : public varnik::Action
{
public:
    /// Named "Composite paint strokes".
    CompositeAllAction();
    ~CompositeAllAction() override;

    static varnik::ClassDesc s_cMyClass;  ///< the class record ("CompositeAllAction")
    static const varnik::ClassDesc* StaticClass() { return &s_cMyClass; }
    const varnik::ClassDesc* RuntimeClass() const override { return &s_cMyClass; }
    /// One initialised action for a count of 0 or 1, an array otherwise.
    static varnik::Node* CreateInstances(unsigned int iCount);

    /// The host's menu flags for this command.
    int Flags() const override { return 96; }
    void Execute() override;
};

/// The one instance the module makes at load.
extern CompositeAllAction s_cCompositeAllAction;
