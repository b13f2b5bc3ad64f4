#include "varnik/Plugin.h"

#include <algorithm>
#include <dlfcn.h>
#include <exception>
#include <QDir>
#include <QFileInfo>
#include "varnik/Error.h"
#include "varnik/Kernel.h"

namespace varnik {

namespace {

// Function-local so that descriptors of modules linked into a program find
// the list built whatever the order of static construction.
std::vector<Plugin*>& Registry()
{
    static std::vector<Plugin*> s_aPlugins;
    return s_aPlugins;
}

void LogPlugin(const QString& sText)
{
    Kernel::Log(QStringLiteral("Plugin: ") + sText + QStringLiteral("\n"));
}

} // namespace

Plugin::Plugin(const QString& sName, const QString& sDescription, const QString& sAuthor,
               const QString& sWebAddress, const QString& sBuildStamp, Initializer fInitializer)
    : m_sName(sName), m_sDescription(sDescription), m_sAuthor(sAuthor),
      m_sWebAddress(sWebAddress), m_sBuildStamp(sBuildStamp), m_fInitializer(fInitializer)
{
    Registry().push_back(this);
}

Plugin::~Plugin()
{
    auto& aPlugins = Registry();
    aPlugins.erase(std::remove(aPlugins.begin(), aPlugins.end(), this), aPlugins.end());
}

bool Plugin::Initialize()
{
    if (m_bInitialized)
        return false;
    // Marked first: an initialiser that fails part-way is not run a second time
    // over the half it already did.
    m_bInitialized = true;
    if (m_fInitializer)
        m_fInitializer();
    return true;
}

const std::vector<Plugin*>& Plugin::All()
{
    return Registry();
}

PluginLoader::~PluginLoader()
{
    UnloadAll();
}

int PluginLoader::LoadFolder(const QString& sFolder)
{
    QDir cDir(sFolder);
    if (sFolder.isEmpty() || !cDir.exists()) {
        LogPlugin(QString("folder \"%1\" does not exist; no modules loaded").arg(sFolder));
        return 0;
    }
    const QFileInfoList aFiles = cDir.entryInfoList(QStringList() << "*.so", QDir::Files | QDir::NoDotAndDotDot | QDir::CaseSensitive, QDir::Name);
    int iLoaded = 0;
    for (const QFileInfo& cInfo : aFiles) {
        if (Load(cInfo.absoluteFilePath()))
            ++iLoaded;
    }
    // Every module is in before any initialiser runs, so an initialiser may
    // rely on the classes of modules later in the folder.
    InitializeAll();
    return iLoaded;
}

bool PluginLoader::Load(const QString& sFile)
{
    const QString sPath = QFileInfo(sFile).absoluteFilePath();
    const QFileInfo cInfo(sPath);
    if (!cInfo.isFile()) {
        LogPlugin(QString("\"%1\" is not a file; skipped").arg(sFile));
        return false;
    }
    if (cInfo.size() == 0) {
        LogPlugin(QString("\"%1\" is empty; skipped").arg(sPath));
        return false;
    }

    const std::vector<Plugin*> aBefore = Plugin::All();
    dlerror();
    void* pHandle = dlopen(sPath.toLocal8Bit().constData(), RTLD_NOW | RTLD_LOCAL);
    if (!pHandle) {
        const char* sReason = dlerror();
        LogPlugin(QString("cannot load \"%1\": %2; skipped").arg(sPath, QString::fromLocal8Bit(sReason ? sReason : "unknown reason")));
        return false;
    }
    for (const Module& cModule : m_aModules) {
        if (cModule.pHandle == pHandle) {
            // dlopen only raised the reference count: give that back.
            dlclose(pHandle);
            LogPlugin(QString("\"%1\" is loaded already (as \"%2\"); skipped").arg(sPath, cModule.sFile));
            return false;
        }
    }

    Module cModule;
    cModule.sFile = sPath;
    cModule.pHandle = pHandle;
    for (Plugin* pPlugin : Plugin::All())
        if (std::find(aBefore.begin(), aBefore.end(), pPlugin) == aBefore.end())
            cModule.aPlugins.push_back(pPlugin);
    if (cModule.aPlugins.empty()) {
        dlclose(pHandle);
        LogPlugin(QString("\"%1\" brings no plug-in descriptor; skipped").arg(sPath));
        return false;
    }
    m_aModules.push_back(cModule);
    return true;
}

void PluginLoader::InitializeAll()
{
    for (const Module& cModule : m_aModules) {
        for (Plugin* pPlugin : cModule.aPlugins) {
            if (pPlugin->IsInitialized())
                continue;
            try {
                pPlugin->Initialize();
            } catch (Error* pError) {
                LogPlugin(QString("initialiser of \"%1\" (%2) failed: %3").arg(pPlugin->Name(), cModule.sFile, pError->Describe()));
                Error::Discard(pError);
            } catch (const std::exception& cException) {
                LogPlugin(QString("initialiser of \"%1\" (%2) failed: %3").arg(pPlugin->Name(), cModule.sFile, QString::fromLocal8Bit(cException.what())));
            } catch (...) {
                // Whatever else a module throws must not take the host down.
                LogPlugin(QString("initialiser of \"%1\" (%2) failed: an unknown exception").arg(pPlugin->Name(), cModule.sFile));
            }
        }
    }
}

void PluginLoader::UnloadAll()
{
    while (!m_aModules.empty()) {
        const Module cModule = m_aModules.back();
        m_aModules.pop_back();
        if (dlclose(cModule.pHandle) != 0) {
            const char* sReason = dlerror();
            LogPlugin(QString("cannot unload \"%1\": %2").arg(cModule.sFile, QString::fromLocal8Bit(sReason ? sReason : "unknown reason")));
            continue;
        }
        // A module the system keeps mapped (another reference to it, or
        // symbols that pin it) keeps its descriptors and class records alive.
        const auto& aAlive = Plugin::All();
        for (Plugin* pPlugin : cModule.aPlugins)
            if (std::find(aAlive.begin(), aAlive.end(), pPlugin) != aAlive.end()) {
                LogPlugin(QString("\"%1\" stayed mapped after unloading; its classes remain registered").arg(cModule.sFile));
                break;
            }
    }
}

} // namespace varnik
