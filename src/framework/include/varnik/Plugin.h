#pragma once
#include <QString>
#include <QStringList>
#include <vector>

namespace varnik {

/// A plug-in descriptor: one static object per module. It registers with the
/// kernel when the module is loaded; the loader calls its initialiser once.
class Plugin
{
public:
    typedef void (*Initializer)();
    Plugin(const QString& sName, const QString& sDescription, const QString& sAuthor,
           const QString& sWebAddress, const QString& sBuildStamp, Initializer fInitializer);
    ~Plugin();
    Plugin(const Plugin&) = delete;
    Plugin& operator=(const Plugin&) = delete;

    const QString& Name() const { return m_sName; }
    const QString& Description() const { return m_sDescription; }
    const QString& Author() const { return m_sAuthor; }
    const QString& WebAddress() const { return m_sWebAddress; }
    const QString& BuildStamp() const { return m_sBuildStamp; }
    Initializer InitializerFunction() const { return m_fInitializer; }
    /// Calls the initialiser unless it ran already; returns whether it ran now.
    bool Initialize();
    bool IsInitialized() const { return m_bInitialized; }

    /// Descriptors alive now, in registration order.
    static const std::vector<Plugin*>& All();

private:
    QString m_sName, m_sDescription, m_sAuthor, m_sWebAddress, m_sBuildStamp;  ///< descriptor texts
    Initializer m_fInitializer;   ///< called once by the loader
    bool m_bInitialized = false;  ///< the initialiser ran
};

/// Loads the modules of a plug-in folder with dlopen and unloads them in
/// reverse order. What cannot be a sound module is logged ("Plugin: ...") and
/// skipped before dlopen: folders and broken links, empty files, ELF files
/// whose headers, segments or sections reach past the end of the file. Each
/// module is loaded once in a child process first, so that one whose static
/// constructors throw or crash is skipped without ending the host. A module
/// that does not load, brings no descriptor, or registers a class name that
/// the SDK or another loaded module registered already is logged (naming
/// both files) and unloaded again. Records of a module linked into the
/// program itself may be replaced by those of a loaded module.
class PluginLoader
{
public:
    PluginLoader() = default;
    ~PluginLoader();  ///< UnloadAll()

    /// Loads every entry of `sFolder` whose name ends in ".so", in name
    /// order, then calls each new descriptor's initialiser once. Returns the
    /// number of modules loaded.
    int LoadFolder(const QString& sFolder);
    /// Loads one module file; returns false (after logging) when it does not
    /// load or has no descriptor. Does not call initialisers.
    bool Load(const QString& sFile);
    /// Calls the initialisers not run yet, in load order.
    void InitializeAll();
    /// Unloads in reverse order of loading.
    void UnloadAll();

    struct Module {
        QString sFile;                    ///< path of the module file
        void* pHandle;                    ///< dlopen handle
        std::vector<Plugin*> aPlugins;    ///< descriptors it brought
    };
    const std::vector<Module>& Modules() const { return m_aModules; }

private:
    std::vector<Module> m_aModules;  ///< loaded modules, in load order
};

} // namespace varnik
