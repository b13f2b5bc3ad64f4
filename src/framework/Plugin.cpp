#include "varnik/Plugin.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <dlfcn.h>
#include <elf.h>
#include <exception>
#include <fcntl.h>
#include <link.h>
#include <poll.h>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <sys/wait.h>
#include <unistd.h>
#include "varnik/ClassDesc.h"
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

/// Checks that the ELF headers, program headers and sections of a module
/// lie inside the file: the dynamic loader maps what they name and a module
/// cut short faults (SIGBUS) inside dlopen. Empty when the file passes or is
/// not ELF at all (dlopen then says why).
template <typename Ehdr, typename Phdr, typename Shdr>
QString CheckElfExtents(const uchar* p, qint64 iSize)
{
    if (iSize < qint64(sizeof(Ehdr)))
        return QString("the ELF header is cut short (%1 bytes)").arg(iSize);
    Ehdr e;
    std::memcpy(&e, p, sizeof(e));
    const qint64 iProgramEnd = qint64(e.e_phoff) + qint64(e.e_phnum) * e.e_phentsize;
    const qint64 iSectionEnd = qint64(e.e_shoff) + qint64(e.e_shnum) * e.e_shentsize;
    if (e.e_phentsize < sizeof(Phdr) || iProgramEnd > iSize)
        return QString("its program headers reach past the end of the file (%1 of %2 bytes)").arg(iProgramEnd).arg(iSize);
    if (e.e_shnum && (e.e_shentsize < sizeof(Shdr) || iSectionEnd > iSize))
        return QString("its section headers reach past the end of the file (%1 of %2 bytes)").arg(iSectionEnd).arg(iSize);
    for (int i = 0; i < e.e_phnum; ++i) {
        Phdr h;
        std::memcpy(&h, p + e.e_phoff + qint64(i) * e.e_phentsize, sizeof(h));
        if (h.p_type == PT_LOAD && qint64(h.p_offset) + qint64(h.p_filesz) > iSize)
            return QString("segment %1 reaches past the end of the file (%2 of %3 bytes)")
                .arg(i).arg(qint64(h.p_offset + h.p_filesz)).arg(iSize);
    }
    for (int i = 0; i < e.e_shnum; ++i) {
        Shdr h;
        std::memcpy(&h, p + e.e_shoff + qint64(i) * e.e_shentsize, sizeof(h));
        if (h.sh_type != SHT_NOBITS && qint64(h.sh_offset) + qint64(h.sh_size) > iSize)
            return QString("section %1 reaches past the end of the file (%2 of %3 bytes)")
                .arg(i).arg(qint64(h.sh_offset + h.sh_size)).arg(iSize);
    }
    return QString();
}

QString CheckElf(const QString& sPath)
{
    QFile cFile(sPath);
    if (!cFile.open(QIODevice::ReadOnly))
        return QString();
    const qint64 iSize = cFile.size();
    const uchar* p = iSize >= EI_NIDENT ? cFile.map(0, iSize) : nullptr;
    if (!p || std::memcmp(p, ELFMAG, SELFMAG) != 0)
        return QString();
    return p[EI_CLASS] == ELFCLASS64 ? CheckElfExtents<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr>(p, iSize)
                                     : CheckElfExtents<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr>(p, iSize);
}

/// Loads the module once in a child process first: a module whose static
/// constructors throw (std::terminate) or crash ends the child, not the host.
/// Empty when the child came through.
QString ProbeInChild(const QString& sPath)
{
    int aPipe[2];
    if (pipe2(aPipe, O_CLOEXEC) != 0)
        return QString();  // no probe: the load itself decides
    const QByteArray aPath = sPath.toLocal8Bit();
    const pid_t iChild = fork();
    if (iChild == 0) {
        // Nothing of the parent's runs here: no destructors, no atexit. An
        // exception may come out of dlopen where the loader has unwind tables.
        // dlopen is declared not to throw, so a direct call would let the
        // compiler drop this handler and the exception would unwind into the
        // parent's frames, running the rest of the parent's program here:
        // call it through a pointer that may throw.
        void* (*volatile fOpen)(const char*, int) = dlopen;
        try {
            fOpen(aPath.constData(), RTLD_NOW | RTLD_LOCAL);
        } catch (...) {
            _exit(3);
        }
        _exit(0);
    }
    close(aPipe[1]);
    if (iChild < 0) {
        close(aPipe[0]);
        return QString();
    }
    // The child's end closes its copy of the pipe; 10 s for a module that hangs.
    pollfd cWait = { aPipe[0], POLLIN, 0 };
    int iReady = 0;
    while ((iReady = poll(&cWait, 1, 10000)) < 0 && errno == EINTR) {
    }
    close(aPipe[0]);
    if (iReady == 0)
        kill(iChild, SIGKILL);
    int iStatus = 0;
    while (waitpid(iChild, &iStatus, 0) < 0 && errno == EINTR) {
    }
    if (iReady == 0)
        return QString("loading it did not finish within 10 s");
    if (WIFSIGNALED(iStatus))
        return QString("loading it ended the process with signal %1 (%2), as a static constructor that throws or "
                       "crashes does")
            .arg(WTERMSIG(iStatus)).arg(QString::fromLocal8Bit(strsignal(WTERMSIG(iStatus))));
    if (WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 3)
        return QString("a static constructor threw an exception while loading it");
    return QString();
}

/// True when `p` lies in the main program's own segments (a module linked
/// into the program rather than loaded from a file).
bool InMainProgram(const void* p)
{
    struct Search { uintptr_t iAddress; bool bFound; } cSearch = { reinterpret_cast<uintptr_t>(p), false };
    dl_iterate_phdr([](dl_phdr_info* pInfo, size_t, void* pData) -> int {
        auto* pSearch = static_cast<Search*>(pData);
        for (int i = 0; i < pInfo->dlpi_phnum; ++i) {
            const ElfW(Phdr)& h = pInfo->dlpi_phdr[i];
            const uintptr_t iStart = pInfo->dlpi_addr + h.p_vaddr;
            if (h.p_type == PT_LOAD && pSearch->iAddress >= iStart && pSearch->iAddress < iStart + h.p_memsz)
                pSearch->bFound = true;
        }
        return 1;  // the first object is the main program: stop there
    }, &cSearch);
    return cSearch.bFound;
}

/// The file that holds a class record, for messages.
QString FileOf(const ClassDesc* pClass)
{
    Dl_info cInfo;
    if (dladdr(pClass, &cInfo) && cInfo.dli_fname && *cInfo.dli_fname)
        return QString::fromLocal8Bit(cInfo.dli_fname);
    return QStringLiteral("the program");
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
    // Folders and broken links named like modules are listed too, so that
    // Load logs them instead of passing over them in silence.
    const QFileInfoList aFiles = cDir.entryInfoList(QStringList() << "*.so",
                                                    QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot | QDir::CaseSensitive,
                                                    QDir::Name);
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
    if (cInfo.isSymLink() && !cInfo.exists()) {
        LogPlugin(QString("\"%1\" is a broken link (to \"%2\"); skipped").arg(sPath, cInfo.symLinkTarget()));
        return false;
    }
    if (cInfo.isDir()) {
        LogPlugin(QString("\"%1\" is a folder, not a module; skipped").arg(sPath));
        return false;
    }
    if (!cInfo.isFile()) {
        LogPlugin(QString("\"%1\" is not a file; skipped").arg(sFile));
        return false;
    }
    if (cInfo.size() == 0) {
        LogPlugin(QString("\"%1\" is empty; skipped").arg(sPath));
        return false;
    }

    const QString sBadElf = CheckElf(sPath);
    if (!sBadElf.isEmpty()) {
        LogPlugin(QString("cannot load \"%1\": %2; skipped").arg(sPath, sBadElf));
        return false;
    }
    // A module loaded already answers dlopen without running anything: no probe.
    void* pLoaded = dlopen(sPath.toLocal8Bit().constData(), RTLD_NOW | RTLD_NOLOAD);
    if (pLoaded)
        dlclose(pLoaded);
    const QString sProbe = pLoaded ? QString() : ProbeInChild(sPath);
    if (!sProbe.isEmpty()) {
        LogPlugin(QString("cannot load \"%1\": %2; skipped").arg(sPath, sProbe));
        return false;
    }

    const std::vector<Plugin*> aBefore = Plugin::All();
    std::vector<const ClassDesc*> aClassesBefore;
    for (int i = 0; i < ClassDesc::Count(); ++i)
        aClassesBefore.push_back(ClassDesc::At(i));
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
    // A class name belongs to one module. Records of a module linked into the
    // program itself may be replaced by a loaded one (the program's own copy
    // of a module); records of the SDK and of other modules may not.
    for (int i = 0; i < ClassDesc::Count(); ++i) {
        const ClassDesc* pNew = ClassDesc::At(i);
        if (std::find(aClassesBefore.begin(), aClassesBefore.end(), pNew) != aClassesBefore.end())
            continue;
        for (const ClassDesc* pOld : aClassesBefore) {
            if (pOld->Name() != pNew->Name() || InMainProgram(pOld))
                continue;
            // Taken before dlclose unmaps the new record.
            const QString sMessage = QString("\"%1\" registers class \"%2\", which \"%3\" registered already; skipped")
                                         .arg(sPath, pNew->Name(), FileOf(pOld));
            dlclose(pHandle);
            LogPlugin(sMessage);
            return false;
        }
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
