// The headless EGL context: what it offers, and how it fails without a device.
#include "VarnikTest.h"
#include <cstdlib>
#include <EGL/egl.h>

using namespace varnik;

namespace {

/// Sets an environment variable for one scope.
struct ScopedEnv
{
    ScopedEnv(const char* sName, const char* sValue) : m_sName(sName), m_bHad(getenv(sName) != nullptr)
    {
        if (m_bHad)
            m_sOld = getenv(sName);
        setenv(sName, sValue, 1);
    }
    ~ScopedEnv() { m_bHad ? setenv(m_sName.c_str(), m_sOld.c_str(), 1) : unsetenv(m_sName.c_str()); }
    std::string m_sName, m_sOld;
    bool m_bHad;
};

/// The EGL binding current now, to put back after a test made another one current.
struct SavedBinding
{
    EGLDisplay pDisplay = eglGetCurrentDisplay();
    EGLContext pContext = eglGetCurrentContext();
    EGLSurface pDraw = eglGetCurrentSurface(EGL_DRAW);
    EGLSurface pRead = eglGetCurrentSurface(EGL_READ);
    bool Restore() const { return eglMakeCurrent(pDisplay, pDraw, pRead, pContext) == EGL_TRUE; }
};

} // namespace

class GLContextTest : public varnik::test::GLTest {};

TEST_F(GLContextTest, SharedContextIsACompatibilityContextWithGlew)
{
    GLContext* pContext = varnik::test::SharedContext();
    ASSERT_NE(pContext, nullptr);
    EXPECT_TRUE(pContext->IsValid());
    EXPECT_FALSE(pContext->Renderer().isEmpty());
    const QString sVersion = pContext->Version();
    EXPECT_GE(sVersion.section('.', 0, 0).toInt(), 2) << sVersion.toStdString();
    EXPECT_TRUE(pContext->DeviceKind() == "hardware" || pContext->DeviceKind() == "software" ||
                pContext->DeviceKind() == "default");

    GLint iMajor = 0, iProfile = 0;
    glGetIntegerv(GL_MAJOR_VERSION, &iMajor);
    if (iMajor > 3 || (iMajor == 3 && sVersion.section('.', 1, 1).toInt() >= 2)) {
        glGetIntegerv(GL_CONTEXT_PROFILE_MASK, &iProfile);
        EXPECT_TRUE(iProfile & GL_CONTEXT_COMPATIBILITY_PROFILE_BIT) << "profile mask " << iProfile;
    }
    // GLEW loaded the extension entry points the module calls.
    EXPECT_NE(glGenFramebuffersEXT, nullptr);
    EXPECT_NE(glBindBufferARB, nullptr);
    // Fixed-function calls and luminance formats work.
    GLuint iTexture = 0;
    glGenTextures(1, &iTexture);
    glBindTexture(GL_TEXTURE_2D, iTexture);
    const uint8_t aTexels[4] = { 10, 20, 30, 40 };
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_LUMINANCE8, 2, 2, 0, GL_LUMINANCE, GL_UNSIGNED_BYTE, aTexels);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 4);
    const std::vector<uint8_t> aBack = varnik::test::ReadTextureRGBA8(iTexture, 2, 2);
    EXPECT_EQ(aBack[4], 20);   // luminance to red
    EXPECT_EQ(aBack[7], 255);  // opaque
    glBindTexture(GL_TEXTURE_2D, 0);
    glDeleteTextures(1, &iTexture);
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR));
}

TEST_F(GLContextTest, NoDeviceGivesAClearErrorAndKeepsTheCurrentContext)
{
    const EGLContext pCurrent = eglGetCurrentContext();
    {
        ScopedEnv cEnv("VARNIK_EGL_DEVICE", "none");
        GLContext cContext;
        EXPECT_FALSE(cContext.Create());
        EXPECT_FALSE(cContext.IsValid());
        EXPECT_TRUE(cContext.ErrorText().startsWith("No EGL device")) << cContext.ErrorText().toStdString();
        EXPECT_FALSE(cContext.Vendor().isEmpty());  // the shared context is still current
    }
    {
        ScopedEnv cEnv("VARNIK_EGL_DEVICE", "quantum");
        GLContext cContext;
        EXPECT_FALSE(cContext.Create(false));
        EXPECT_TRUE(cContext.ErrorText().contains("quantum"));
    }
    EXPECT_EQ(eglGetCurrentContext(), pCurrent);
}

TEST_F(GLContextTest, ASecondContextOnTheSameDeviceLeavesTheFirstIntact)
{
    const SavedBinding cShared;
    GLuint iTexture = 0;
    glGenTextures(1, &iTexture);
    {
        GLContext cSecond;
        ASSERT_TRUE(cSecond.Create(false)) << cSecond.ErrorText().toStdString();
        EXPECT_NE(eglGetCurrentContext(), cShared.pContext);
        EXPECT_FALSE(cSecond.Version().isEmpty());
        cSecond.Destroy();
        EXPECT_FALSE(cSecond.IsValid());
        EXPECT_EQ(eglGetCurrentContext(), EGL_NO_CONTEXT);
        cSecond.Destroy();  // twice is harmless
    }
    // The shared display was not terminated under the shared context.
    ASSERT_TRUE(cShared.Restore());
    EXPECT_EQ(glIsTexture(iTexture), GLboolean(GL_FALSE));  // generated but never bound: not a texture yet
    glBindTexture(GL_TEXTURE_2D, iTexture);
    EXPECT_EQ(glIsTexture(iTexture), GLboolean(GL_TRUE));
    glBindTexture(GL_TEXTURE_2D, 0);
    glDeleteTextures(1, &iTexture);
}
