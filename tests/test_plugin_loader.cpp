// The plug-in loader with a real module: descriptors, class records,
// initialisers, unloading, and folders holding things that are not plug-ins.
#include "VarnikTest.h"

#include <algorithm>
#include <dlfcn.h>
#include <memory>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegExp>

using varnik::ClassDesc;
using varnik::Kernel;
using varnik::Node;
using varnik::Plugin;
using varnik::PluginLoader;
using varnik::test::LogRecorder;
using varnik::test::TempDir;

namespace {

const QString s_sSampleFile = QFileInfo(VARNIK_TEST_PLUGIN_DIR "/SamplePlugin.so").absoluteFilePath();

/// Calls one of the sample module's counters.
int CallCount(const PluginLoader& cLoader, const char* sSymbol)
{
    if (cLoader.Modules().empty())
        return -1;
    auto fCount = reinterpret_cast<int (*)()>(dlsym(cLoader.Modules().front().pHandle, sSymbol));
    return fCount ? fCount() : -2;
}

bool IsRegistered(const Plugin* pPlugin)
{
    return std::count(Plugin::All().begin(), Plugin::All().end(), pPlugin) > 0;
}

/// True while the module file is mapped into the process.
bool IsMapped(const QString& sFile)
{
    void* pHandle = dlopen(sFile.toLocal8Bit().constData(), RTLD_NOW | RTLD_NOLOAD);
    if (pHandle)
        dlclose(pHandle);
    return pHandle != nullptr;
}

} // namespace

TEST(PluginLoader, LoadsTheModuleAndUnloadForgetsItsRecords)
{
    const int iClassesBefore = ClassDesc::Count();
    {
        PluginLoader cLoader;
        EXPECT_EQ(cLoader.LoadFolder(VARNIK_TEST_PLUGIN_DIR), 1);
        ASSERT_EQ(cLoader.Modules().size(), 1u);
        EXPECT_EQ(cLoader.Modules().front().sFile, s_sSampleFile);
        ASSERT_EQ(cLoader.Modules().front().aPlugins.size(), 1u);
        const Plugin* pPlugin = cLoader.Modules().front().aPlugins.front();
        EXPECT_TRUE(pPlugin->IsInitialized());
        EXPECT_TRUE(IsRegistered(pPlugin));
        EXPECT_EQ(ClassDesc::Count(), iClassesBefore + 1);

        // The interface now makes the module's class.
        std::unique_ptr<Node> pNode(Kernel::CreateClassInstance(varnik::Action::StaticClass()));
        auto* pAction = dynamic_cast<varnik::Action*>(pNode.get());
        ASSERT_NE(pAction, nullptr);
        EXPECT_EQ(pAction->RuntimeClass()->Name(), "SampleAction");
        pNode.reset();  // the module's nodes go before the module does

        cLoader.UnloadAll();
        EXPECT_TRUE(cLoader.Modules().empty());
        EXPECT_FALSE(IsRegistered(pPlugin));
        EXPECT_EQ(ClassDesc::FindByName("SampleAction"), nullptr);
        EXPECT_EQ(ClassDesc::Count(), iClassesBefore);
        EXPECT_FALSE(IsMapped(s_sSampleFile));

        // A fresh load builds the module's statics again: the count restarts.
        ASSERT_EQ(cLoader.LoadFolder(VARNIK_TEST_PLUGIN_DIR), 1);
        EXPECT_EQ(CallCount(cLoader, "SamplePluginInitializeCount"), 1);
    }
    // The loader's destructor unloads too.
    EXPECT_EQ(ClassDesc::FindByName("SampleAction"), nullptr);
    EXPECT_FALSE(IsMapped(s_sSampleFile));
}

TEST(PluginLoader, InitialiserRunsOnceAndAThrowIsLoggedNotFatal)
{
    PluginLoader cLoader;
    ASSERT_TRUE(cLoader.Load(s_sSampleFile));
    EXPECT_EQ(CallCount(cLoader, "SamplePluginInitializeCount"), 0);  // Load alone does not initialise
    ASSERT_EQ(CallCount(cLoader, "SamplePluginThrowOnInitialize"), 42);
    LogRecorder cLog;
    cLoader.InitializeAll();
    cLoader.InitializeAll();
    EXPECT_FALSE(cLoader.Modules().front().aPlugins.front()->Initialize());
    EXPECT_EQ(CallCount(cLoader, "SamplePluginInitializeCount"), 1);
    EXPECT_TRUE(cLog.Contains("Plugin: initialiser of \"Sample\" (" + s_sSampleFile + ") failed: an unknown exception"))
        << cLog.Text().toStdString();
}

TEST(PluginLoader, UnloadsInReverseOrderOfLoading)
{
    TempDir cDir;
    ASSERT_TRUE(QFile::copy(s_sSampleFile, cDir.File("a.so")));
    ASSERT_TRUE(QFile::copy(VARNIK_TEST_SAMPLE_B, cDir.File("b.so")));
    PluginLoader cLoader;
    ASSERT_EQ(cLoader.LoadFolder(cDir.Path()), 2);

    LogRecorder cLog;
    cLoader.UnloadAll();
    // Each module logs its file from a static destructor: b first, then a.
    const int iB = cLog.Text().indexOf("SamplePlugin: unloading " + cDir.File("b.so"));
    const int iA = cLog.Text().indexOf("SamplePlugin: unloading " + cDir.File("a.so"));
    EXPECT_GE(iB, 0) << cLog.Text().toStdString();
    EXPECT_GT(iA, iB) << cLog.Text().toStdString();
    EXPECT_EQ(ClassDesc::FindByName("SampleAction"), nullptr);
}

TEST(PluginLoader, JunkIsLoggedAndSkipped)
{
    TempDir cDir;
    const QString sJunk = QStringLiteral(VARNIK_TEST_DATA_DIR "/plugins-junk/");
    for (const char* sName : { "x.so", "empty.so", "truncated-elf.so" })
        ASSERT_TRUE(QFile::copy(sJunk + sName, cDir.File(sName)));
    ASSERT_TRUE(QFile::copy(VARNIK_TEST_BARE_MODULE, cDir.File("bare.so")));
    ASSERT_TRUE(QFile::copy(s_sSampleFile, cDir.File("sample.so")));
    // A second copy of a module: its class names are taken.
    ASSERT_TRUE(QFile::copy(s_sSampleFile, cDir.File("zcopy.so")));
    // A real module cut short: the dynamic loader would fault mapping it.
    {
        QFile cSample(s_sSampleFile), cCut(cDir.File("cut.so"));
        ASSERT_TRUE(cSample.open(QIODevice::ReadOnly) && cCut.open(QIODevice::WriteOnly));
        cCut.write(cSample.read(cSample.size() * 2 / 3));
    }
    ASSERT_TRUE(QFile::link(cDir.File("nowhere"), cDir.File("broken.so")));
    ASSERT_TRUE(QFile::copy(sJunk + "x.so", cDir.File("upper.SO")));  // not a module name: case matters
    ASSERT_TRUE(QDir(cDir.Path()).mkdir("folder.so"));

    LogRecorder cLog;
    PluginLoader cLoader;
    EXPECT_EQ(cLoader.LoadFolder(cDir.Path()), 1);
    ASSERT_EQ(cLoader.Modules().size(), 1u);
    EXPECT_TRUE(cLoader.Modules().front().sFile.endsWith("/sample.so"));
    EXPECT_EQ(CallCount(cLoader, "SamplePluginInitializeCount"), 1);
    const std::string sLog = cLog.Text().toStdString();
    EXPECT_EQ(cLog.Lines().filter(QRegExp("^Plugin: ")).size(), 8) << sLog;
    for (const QString& sLine : { cDir.File("x.so") + "\": ", cDir.File("truncated-elf.so") + "\": ",
                                  cDir.File("empty.so") + "\" is empty", cDir.File("bare.so") + "\" brings no plug-in descriptor",
                                  cDir.File("cut.so") + "\": its section headers reach past the end", cDir.File("folder.so") + "\" is a folder",
                                  cDir.File("broken.so") + "\" is a broken link",
                                  cDir.File("zcopy.so") + "\" registers class \"SampleAction\", which \"" +
                                      cDir.File("sample.so") + "\" registered already" })
        EXPECT_TRUE(cLog.Contains(sLine)) << sLine.toStdString() << " missing from\n" << sLog;
    EXPECT_FALSE(IsMapped(cDir.File("bare.so")));  // unloaded again

    // A module loaded twice is refused without keeping a second reference.
    cLog.Clear();
    EXPECT_FALSE(cLoader.Load(cDir.File("sample.so")));
    EXPECT_TRUE(cLog.Contains("is loaded already")) << cLog.Text().toStdString();
    cLoader.UnloadAll();
    EXPECT_FALSE(IsMapped(cDir.File("sample.so")));

    EXPECT_EQ(cLoader.LoadFolder("/no/such/plugin/folder"), 0);
    EXPECT_TRUE(cLog.Contains("Plugin: folder \"/no/such/plugin/folder\" does not exist"));
}

TEST(PluginLoader, ModuleWhoseStaticConstructorThrowsIsSkipped)
{
    TempDir cDir;
    ASSERT_TRUE(QFile::copy(s_sSampleFile, cDir.File("throws.so")));
    LogRecorder cLog;
    PluginLoader cLoader;
    qputenv("VARNIK_SAMPLE_THROW_AT_LOAD", "1");
    const bool bLoaded = cLoader.Load(cDir.File("throws.so"));
    qunsetenv("VARNIK_SAMPLE_THROW_AT_LOAD");
    EXPECT_FALSE(bLoaded);
    // The exception comes through dlopen to the probe's own handler: had it
    // unwound past the probe, the child would go on running this program.
    EXPECT_TRUE(cLog.Contains(cDir.File("throws.so") + "\": a static constructor threw")) << cLog.Text().toStdString();
    EXPECT_FALSE(IsMapped(cDir.File("throws.so")));
    EXPECT_TRUE(cLoader.Load(cDir.File("throws.so")));  // the same file, sound once the variable is gone
}
