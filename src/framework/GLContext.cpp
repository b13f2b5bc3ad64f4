#include <cstring>
#include <GL/glew.h>
#include "varnik/GLContext.h"
#include <cstdlib>
#include <map>
#include <vector>
#include <EGL/egl.h>
#include <EGL/eglext.h>
#include <QByteArray>
#include <QList>
#include <QStringList>
#if defined(__SANITIZE_ADDRESS__)
#include <dlfcn.h>
#include <link.h>
#include <set>
#include <string>
#endif

namespace varnik {

namespace {

// eglInitialize hands out one display per device: two contexts on the same
// device share it, and eglTerminate would pull it from under the other one.
// Displays are therefore counted and terminated when the last user goes.
std::map<EGLDisplay, int>& DisplayUsers()
{
    static std::map<EGLDisplay, int>* s_pUsers = new std::map<EGLDisplay, int>();
    return *s_pUsers;
}

void ReleaseDisplay(EGLDisplay pDisplay)
{
    auto it = DisplayUsers().find(pDisplay);
    if (it == DisplayUsers().end())
        return;
    if (--it->second <= 0) {
        DisplayUsers().erase(it);
        eglTerminate(pDisplay);
    }
}

QString EglErrorText(EGLint iError)
{
    return QStringLiteral("EGL error 0x%1").arg(unsigned(iError), 4, 16, QLatin1Char('0'));
}

/// One way to a display: an enumerated device, or the default display.
struct Candidate
{
    EGLDeviceEXT pDevice;  ///< null for the default display
    QString sKind;         ///< "hardware", "software" or "default"
};

/// The context current when Create began, put back when Create fails.
struct CurrentBinding
{
    EGLDisplay pDisplay = eglGetCurrentDisplay();
    EGLContext pContext = eglGetCurrentContext();
    EGLSurface pDraw = eglGetCurrentSurface(EGL_DRAW);
    EGLSurface pRead = eglGetCurrentSurface(EGL_READ);
    void Restore() const
    {
        if (pDisplay != EGL_NO_DISPLAY && pContext != EGL_NO_CONTEXT)
            eglMakeCurrent(pDisplay, pDraw, pRead, pContext);
    }
};

#if defined(__SANITIZE_ADDRESS__)
// eglTerminate unloads the driver, and the leak report made at exit can name
// a module only while it is mapped: the driver's own leaks would show as
// unknown frames that no suppression can match. Under the sanitizers the
// modules a display brings in therefore stay mapped until exit.
std::set<std::string> LoadedModules()
{
    std::set<std::string> aNames;
    dl_iterate_phdr([](dl_phdr_info* pInfo, size_t, void* pData) -> int {
        if (pInfo->dlpi_name && *pInfo->dlpi_name)
            static_cast<std::set<std::string>*>(pData)->insert(pInfo->dlpi_name);
        return 0;
    }, &aNames);
    return aNames;
}

void KeepNewModulesMapped(const std::set<std::string>& aBefore)
{
    for (const std::string& sName : LoadedModules())
        if (!aBefore.count(sName))
            dlopen(sName.c_str(), RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);  // loads nothing, pins what is there
}
#endif

} // namespace

bool GLContext::HasExtension(const char* sList, const char* sName)
{
    if (!sList || !sName || !*sName)
        return false;
    const size_t iNameLength = std::strlen(sName);
    // Whole words only: "GL_EXT_framebuffer" must not match "GL_EXT_framebuffer_blit".
    for (const char* p = sList; *p;) {
        const size_t iWordLength = std::strcspn(p, " ");
        if (iWordLength == iNameLength && std::strncmp(p, sName, iNameLength) == 0)
            return true;
        p += iWordLength;
        while (*p == ' ')
            ++p;
    }
    return false;
}

GLContext::~GLContext()
{
    Destroy();
}

bool GLContext::Create(bool bPreferHardware)
{
    Destroy();
    m_sError.clear();
    m_sDeviceKind.clear();

    // Which kinds may be tried, from the environment (tests of a machine without devices).
    const QByteArray aOverride = qgetenv("VARNIK_EGL_DEVICE").trimmed().toLower();
    if (aOverride == "none") {
        m_sError = QStringLiteral("No EGL device: none is offered (VARNIK_EGL_DEVICE=none)");
        return false;
    }
    if (!aOverride.isEmpty() && aOverride != "hardware" && aOverride != "software" && aOverride != "default") {
        m_sError = QStringLiteral("VARNIK_EGL_DEVICE=\"%1\" is not one of hardware, software, default, none")
                       .arg(QString::fromLatin1(aOverride));
        return false;
    }
    auto Allowed = [&aOverride](const char* sKind) { return aOverride.isEmpty() || aOverride == sKind; };

    std::vector<Candidate> aCandidates;
    QStringList aReasons;
    const char* sClientExtensions = eglQueryString(EGL_NO_DISPLAY, EGL_EXTENSIONS);
    auto fQueryDevices = reinterpret_cast<PFNEGLQUERYDEVICESEXTPROC>(eglGetProcAddress("eglQueryDevicesEXT"));
    auto fQueryDeviceString = reinterpret_cast<PFNEGLQUERYDEVICESTRINGEXTPROC>(eglGetProcAddress("eglQueryDeviceStringEXT"));
    auto fGetPlatformDisplay = reinterpret_cast<PFNEGLGETPLATFORMDISPLAYEXTPROC>(eglGetProcAddress("eglGetPlatformDisplayEXT"));
    const bool bEnumerate = fQueryDevices && fQueryDeviceString && fGetPlatformDisplay &&
                            (GLContext::HasExtension(sClientExtensions, "EGL_EXT_device_enumeration") ||
                             GLContext::HasExtension(sClientExtensions, "EGL_EXT_device_base")) &&
                            GLContext::HasExtension(sClientExtensions, "EGL_EXT_platform_device");
    if (bEnumerate) {
        EGLDeviceEXT aDevices[16];
        EGLint iDevices = 0;
        if (fQueryDevices(16, aDevices, &iDevices) && iDevices > 0) {
            std::vector<Candidate> aHardware, aSoftware;
            for (EGLint i = 0; i < iDevices; ++i) {
                const char* sDeviceExtensions = fQueryDeviceString(aDevices[i], EGL_EXTENSIONS);
                if (GLContext::HasExtension(sDeviceExtensions, "EGL_MESA_device_software"))
                    aSoftware.push_back({ aDevices[i], QStringLiteral("software") });
                else
                    aHardware.push_back({ aDevices[i], QStringLiteral("hardware") });
            }
            const auto& aFirst = bPreferHardware ? aHardware : aSoftware;
            const auto& aSecond = bPreferHardware ? aSoftware : aHardware;
            for (const auto* pList : { &aFirst, &aSecond })
                for (const Candidate& c : *pList)
                    if (Allowed(c.sKind.toLatin1().constData()))
                        aCandidates.push_back(c);
        } else {
            aReasons << QStringLiteral("device enumeration found no device");
        }
    } else {
        aReasons << QStringLiteral("EGL offers no device enumeration");
    }
    if (Allowed("default"))
        aCandidates.push_back({ nullptr, QStringLiteral("default") });

    const CurrentBinding cPrevious;
#if defined(__SANITIZE_ADDRESS__)
    const std::set<std::string> aModulesBefore = LoadedModules();
#endif
    for (const Candidate& c : aCandidates) {
        EGLDisplay pDisplay = c.pDevice ? fGetPlatformDisplay(EGL_PLATFORM_DEVICE_EXT, c.pDevice, nullptr)
                                        : eglGetDisplay(EGL_DEFAULT_DISPLAY);
        EGLint iMajor = 0, iMinor = 0;
        if (pDisplay == EGL_NO_DISPLAY || !eglInitialize(pDisplay, &iMajor, &iMinor)) {
            aReasons << QStringLiteral("%1 device: no display (%2)").arg(c.sKind, EglErrorText(eglGetError()));
            continue;
        }
        ++DisplayUsers()[pDisplay];
#if defined(__SANITIZE_ADDRESS__)
        KeepNewModulesMapped(aModulesBefore);
#endif

        if (!eglBindAPI(EGL_OPENGL_API)) {
            aReasons << QStringLiteral("%1 device: desktop OpenGL not offered").arg(c.sKind);
            ReleaseDisplay(pDisplay);
            continue;
        }
        const bool bSurfaceless = GLContext::HasExtension(eglQueryString(pDisplay, EGL_EXTENSIONS), "EGL_KHR_surfaceless_context");
        const EGLint aConfigAttributes[] = {
            EGL_SURFACE_TYPE, bSurfaceless ? 0 : EGL_PBUFFER_BIT,
            EGL_RENDERABLE_TYPE, EGL_OPENGL_BIT,
            EGL_RED_SIZE, 8, EGL_GREEN_SIZE, 8, EGL_BLUE_SIZE, 8, EGL_ALPHA_SIZE, 8,
            EGL_NONE };
        EGLConfig pConfig = nullptr;
        EGLint iConfigs = 0;
        if (!eglChooseConfig(pDisplay, aConfigAttributes, &pConfig, 1, &iConfigs) || iConfigs < 1) {
            aReasons << QStringLiteral("%1 device: no RGBA8 OpenGL config").arg(c.sKind);
            ReleaseDisplay(pDisplay);
            continue;
        }
        // Compatibility profile: the module draws with fixed-function calls and
        // luminance formats. 3.2 is the first version where a profile means anything;
        // drivers hand out their highest compatible version.
        const EGLint aContextAttributes[] = {
            EGL_CONTEXT_MAJOR_VERSION, 3, EGL_CONTEXT_MINOR_VERSION, 2,
            EGL_CONTEXT_OPENGL_PROFILE_MASK, EGL_CONTEXT_OPENGL_COMPATIBILITY_PROFILE_BIT,
            EGL_NONE };
        EGLContext pContext = eglCreateContext(pDisplay, pConfig, EGL_NO_CONTEXT, aContextAttributes);
        if (pContext == EGL_NO_CONTEXT) {
            // Drivers without profiles: a plain context is a compatibility one.
            pContext = eglCreateContext(pDisplay, pConfig, EGL_NO_CONTEXT, nullptr);
        }
        if (pContext == EGL_NO_CONTEXT) {
            aReasons << QStringLiteral("%1 device: no compatibility context (%2)").arg(c.sKind, EglErrorText(eglGetError()));
            ReleaseDisplay(pDisplay);
            continue;
        }
        EGLSurface pSurface = EGL_NO_SURFACE;
        if (!bSurfaceless) {
            const EGLint aPbuffer[] = { EGL_WIDTH, 1, EGL_HEIGHT, 1, EGL_NONE };
            pSurface = eglCreatePbufferSurface(pDisplay, pConfig, aPbuffer);
            if (pSurface == EGL_NO_SURFACE) {
                aReasons << QStringLiteral("%1 device: no pbuffer (%2)").arg(c.sKind, EglErrorText(eglGetError()));
                eglDestroyContext(pDisplay, pContext);
                ReleaseDisplay(pDisplay);
                continue;
            }
        }
        // Gives this device's objects back and puts the caller's context back current.
        auto fAbandon = [&] {
            eglMakeCurrent(pDisplay, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
            if (pSurface != EGL_NO_SURFACE)
                eglDestroySurface(pDisplay, pSurface);
            eglDestroyContext(pDisplay, pContext);
            ReleaseDisplay(pDisplay);
            cPrevious.Restore();
        };
        if (!eglMakeCurrent(pDisplay, pSurface, pSurface, pContext)) {
            aReasons << QStringLiteral("%1 device: context not made current (%2)").arg(c.sKind, EglErrorText(eglGetError()));
            fAbandon();
            continue;
        }
        // GLEW is built for GLX: it loads every entry point and then reports the
        // missing GLX display (4), which is harmless under EGL.
        glewExperimental = GL_TRUE;
        const GLenum iGlew = glewInit();
        glGetError();  // glewInit may leave GL_INVALID_ENUM behind on core-style queries
        if (iGlew != GLEW_OK && iGlew != GLEW_ERROR_NO_GLX_DISPLAY) {
            aReasons << QStringLiteral("%1 device: GLEW failed (%2)")
                            .arg(c.sKind, QString::fromLatin1(reinterpret_cast<const char*>(glewGetErrorString(iGlew))));
            fAbandon();
            continue;
        }
        m_pDisplay = pDisplay;
        m_pContext = pContext;
        m_pSurface = pSurface;
        m_sDeviceKind = c.sKind;
        return true;
    }

    m_sError = QStringLiteral("No EGL device gave an OpenGL context");
    if (!aOverride.isEmpty())
        m_sError += QStringLiteral(" (VARNIK_EGL_DEVICE=%1)").arg(QString::fromLatin1(aOverride));
    if (!aReasons.isEmpty())
        m_sError += QStringLiteral(": ") + aReasons.join(QStringLiteral("; "));
    return false;
}

void GLContext::Destroy()
{
    if (!m_pContext)
        return;
    EGLDisplay pDisplay = static_cast<EGLDisplay>(m_pDisplay);
    if (eglGetCurrentContext() == static_cast<EGLContext>(m_pContext))
        eglMakeCurrent(pDisplay, EGL_NO_SURFACE, EGL_NO_SURFACE, EGL_NO_CONTEXT);
    if (m_pSurface)
        eglDestroySurface(pDisplay, static_cast<EGLSurface>(m_pSurface));
    eglDestroyContext(pDisplay, static_cast<EGLContext>(m_pContext));
    ReleaseDisplay(pDisplay);
    m_pDisplay = nullptr;
    m_pContext = nullptr;
    m_pSurface = nullptr;
}

namespace {

QString GLText(GLenum eName)
{
    if (eglGetCurrentContext() == EGL_NO_CONTEXT)
        return QString();
    const GLubyte* s = glGetString(eName);
    return s ? QString::fromLatin1(reinterpret_cast<const char*>(s)) : QString();
}

} // namespace

QString GLContext::Vendor() const
{
    return GLText(GL_VENDOR);
}

QString GLContext::Renderer() const
{
    return GLText(GL_RENDERER);
}

QString GLContext::Version() const
{
    return GLText(GL_VERSION);
}

} // namespace varnik
