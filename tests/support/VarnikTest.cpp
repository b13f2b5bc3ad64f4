#include "VarnikTest.h"
#include <QDir>
#include <QTemporaryDir>
#include <memory>
#include <tuple>
#include "VarnikImageIO.h"
#include "varnik/ProcessAllocator.h"

namespace varnik {
namespace test {

namespace {
std::unique_ptr<GLContext> s_pContext;
bool s_bTried = false;
}

GLContext* SharedContext()
{
    if (!s_bTried) {
        s_bTried = true;
        s_pContext.reset(new GLContext());
        if (!s_pContext->Create())
            return nullptr;
    }
    return s_pContext->IsValid() ? s_pContext.get() : nullptr;
}

void ReleaseSharedContext()
{
    s_pContext.reset();
}

LogRecorder::LogRecorder()
{
    m_fPrevious = Kernel::SetLogCapture([this](const QString& s) { m_aLines << s; });
}

LogRecorder::~LogRecorder()
{
    Kernel::SetLogCapture(m_fPrevious);
}

void GLTest::SetUp()
{
    GLContext* pContext = SharedContext();
    ASSERT_NE(pContext, nullptr) << "no GL context: " << (s_pContext ? s_pContext->ErrorText().toStdString() : "");
    while (glGetError() != GL_NO_ERROR) {}
    m_iLedgerAtStart = Kernel::VideoMemoryUsage();
}

void GLTest::TearDown()
{
    if (!SharedContext())
        return;
    EXPECT_EQ(glGetError(), GLenum(GL_NO_ERROR)) << "GL error left pending by the test";
    EXPECT_EQ(Kernel::VideoMemoryUsage(), m_iLedgerAtStart) << "video-memory ledger not back where it started";
}

GLStateSnapshot::GLStateSnapshot()
{
    glGetIntegerv(GL_CURRENT_PROGRAM, &iProgram);
    glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &iDraw);
    glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &iRead);
    glGetIntegerv(GL_ACTIVE_TEXTURE, &iUnit);
    glGetIntegerv(GL_VIEWPORT, aViewport.data());
    glGetIntegerv(GL_SCISSOR_BOX, aScissor.data());
    for (int i = 0; i < 2; ++i) {
        glActiveTexture(GLenum(GL_TEXTURE0 + i));
        glGetIntegerv(GL_TEXTURE_BINDING_2D, &aTex[size_t(i)]);
        glGetIntegerv(GL_SAMPLER_BINDING, &aSampler[size_t(i)]);
    }
    glActiveTexture(GLenum(iUnit));
    bBlend = glIsEnabled(GL_BLEND);
    bDepth = glIsEnabled(GL_DEPTH_TEST);
    bScissor = glIsEnabled(GL_SCISSOR_TEST);
    glGetBooleanv(GL_COLOR_WRITEMASK, aMask.data());
}

bool GLStateSnapshot::operator==(const GLStateSnapshot& o) const
{
    auto fTie = [](const GLStateSnapshot& c) {
        return std::tie(c.iProgram, c.iDraw, c.iRead, c.iUnit, c.aViewport, c.aScissor, c.aTex, c.aSampler, c.aMask,
                        c.bBlend, c.bDepth, c.bScissor);
    };
    return fTie(*this) == fTie(o);
}

namespace {
/// Level 0 of a texture as RGBA of `eType`, the caller's binding put back.
template <typename T>
std::vector<T> ReadLevel0(unsigned int iName, unsigned int iWidth, unsigned int iHeight, GLenum eType)
{
    std::vector<T> a(size_t(iWidth) * iHeight * 4);
    const GLint iPrev = GLInteger(GL_TEXTURE_BINDING_2D);
    glBindTexture(GL_TEXTURE_2D, iName);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, eType, a.data());  // rows of 4-byte texels: any alignment fits
    glBindTexture(GL_TEXTURE_2D, GLuint(iPrev));
    return a;
}
} // namespace

std::vector<uint8_t> ReadTextureRGBA8(unsigned int iName, unsigned int iWidth, unsigned int iHeight)
{
    return ReadLevel0<uint8_t>(iName, iWidth, iHeight, GL_UNSIGNED_BYTE);
}

std::vector<float> ReadTextureRGBA32F(unsigned int iName, unsigned int iWidth, unsigned int iHeight)
{
    return ReadLevel0<float>(iName, iWidth, iHeight, GL_FLOAT);
}

TempDir::TempDir()
{
    QTemporaryDir cDir(QDir::tempPath() + "/varnik-test-XXXXXX");
    cDir.setAutoRemove(false);
    m_sPath = cDir.path();
}

TempDir::~TempDir()
{
    if (!m_sPath.isEmpty())
        QDir(m_sPath).removeRecursively();
}

} // namespace test
} // namespace varnik

// The test programs share this main: the codec is registered before any test,
// and the context is torn down after the last one.
int main(int argc, char** argv)
{
    varnik::ProcessAllocator::Configure();
    ::testing::InitGoogleTest(&argc, argv);
    varnik::RegisterImageIO();
    int iResult = RUN_ALL_TESTS();
    varnik::TextureMixer::ReleaseSharedResources();
    varnik::test::ReleaseSharedContext();
    return iResult;
}
