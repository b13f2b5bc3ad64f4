#pragma once
#include <QString>

namespace varnik {

/// A headless OpenGL context through EGL: desktop OpenGL, compatibility
/// profile, on a pbuffer-less surface. Prefers a hardware EGL device
/// (EGL_EXT_device_enumeration, devices naming EGL_MESA_device_software are
/// skipped), falls back to Mesa's software device, then to the default display.
/// After making it current, GLEW is initialised; GLEW's "no GLX display" (4)
/// under EGL is accepted, any other failure is fatal.
class GLContext
{
public:
    GLContext() = default;
    ~GLContext();  ///< Destroy()
    GLContext(const GLContext&) = delete;
    GLContext& operator=(const GLContext&) = delete;

    /// Makes the context current on this thread. Returns false and fills
    /// `ErrorText()` when no EGL device or context could be had; nothing is
    /// current then and the context current before stays current.
    /// The environment variable VARNIK_EGL_DEVICE overrides the choice:
    /// "hardware" or "software" allow only that kind of device, "default" only
    /// the default display, "none" finds no device at all (to try a machine
    /// without one).
    bool Create(bool bPreferHardware = true);
    void Destroy();
    bool IsValid() const { return m_pContext != nullptr; }
    const QString& ErrorText() const { return m_sError; }

    /// GL_VENDOR, GL_RENDERER, GL_VERSION of the current context.
    QString Vendor() const;
    QString Renderer() const;
    QString Version() const;
    /// Whether the blank-separated list of extension names (GL or EGL) holds
    /// `sName` as a whole word; false for a null list or an empty name.
    static bool HasExtension(const char* sList, const char* sName);

    /// Which EGL device was used: "hardware", "software" or "default".
    const QString& DeviceKind() const { return m_sDeviceKind; }

private:
    void* m_pDisplay = nullptr;  ///< EGLDisplay
    void* m_pContext = nullptr;  ///< EGLContext
    void* m_pSurface = nullptr;  ///< EGLSurface: a 1x1 pbuffer where surfaceless contexts are not offered
    QString m_sError;            ///< why Create failed
    QString m_sDeviceKind;       ///< see DeviceKind()
};

} // namespace varnik
