// A small real plug-in for the loader tests: one descriptor whose initialiser
// counts its calls, and an action class that implements a host interface.
#include <cstdlib>
#include <dlfcn.h>
#include "varnik/Action.h"
#include "varnik/ClassDesc.h"
#include "varnik/Kernel.h"
#include "varnik/Plugin.h"

extern "C" int SamplePluginInitializeCount();

namespace {

int s_iInitializeCount = 0;
int s_iThrowOnInitialize = 0;

void InitializeSample()
{
    ++s_iInitializeCount;
    if (s_iThrowOnInitialize)
        throw s_iThrowOnInitialize;  // neither a varnik::Error nor a std::exception
}

/// An action of the module, made through the host's interface.
class SampleAction : public varnik::Action
{
public:
    static const varnik::ClassDesc* StaticClass();
    const varnik::ClassDesc* RuntimeClass() const override { return StaticClass(); }
    void Execute() override {}
};

// A second build of this file gives its names a suffix: a distinct module.
#ifndef VARNIK_SAMPLE_SUFFIX
#define VARNIK_SAMPLE_SUFFIX ""
#endif

/// Throws from a static constructor when asked to through the environment:
/// a module that ends any process loading it.
struct LoadThrower
{
    LoadThrower()
    {
        if (std::getenv("VARNIK_SAMPLE_THROW_AT_LOAD"))
            throw 1;
    }
} s_cLoadThrower;

varnik::ClassDesc s_cSampleActionClass(varnik::Action::StaticClass(), varnik::Action::StaticClass(), "SampleAction" VARNIK_SAMPLE_SUFFIX,
                                       "Sample Action", &varnik::CreateInstancesOf<SampleAction>, 0, 3);
varnik::Plugin s_cPlugin("Sample" VARNIK_SAMPLE_SUFFIX, "Sample plug-in of the loader tests", "Varnik test suite", "https://example.invalid/sample",
                         __DATE__ " " __TIME__, &InitializeSample);

/// Logs the module's file when the module's statics go (at unload), so that a
/// test can see in which order copies of the module were unloaded.
struct UnloadReporter
{
    ~UnloadReporter()
    {
        Dl_info cInfo;
        if (dladdr(reinterpret_cast<void*>(&SamplePluginInitializeCount), &cInfo) && cInfo.dli_fname)
            varnik::Kernel::Log(QString("SamplePlugin: unloading %1\n").arg(QString::fromLocal8Bit(cInfo.dli_fname)));
    }
} s_cUnloadReporter;

const varnik::ClassDesc* SampleAction::StaticClass() { return &s_cSampleActionClass; }

} // namespace

extern "C" {

/// How often the descriptor's initialiser ran since the module was loaded.
__attribute__((visibility("default"))) int SamplePluginInitializeCount() { return s_iInitializeCount; }
/// Makes the next initialiser call throw a plain int.
__attribute__((visibility("default"))) int SamplePluginThrowOnInitialize() { return s_iThrowOnInitialize = 42; }

}
