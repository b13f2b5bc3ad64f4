#pragma once
// Shared test support: one EGL context per test program, the file codec
// registered, the host log captured, and after each GL test a check that no GL
// error is pending and that the video-memory ledger is back where it started.
#include <gtest/gtest.h>
#include <array>
#include <cstdint>
#include <vector>
#include <GL/glew.h>
#include <QString>
#include <QStringList>
#include "varnik/Varnik.h"

namespace varnik {
namespace test {

/// The context of this test program, made on first use; null when EGL gave none
/// (tests using GLTest then fail in SetUp with the reason).
GLContext* SharedContext();
/// Destroys the shared context (main does this after the last test).
void ReleaseSharedContext();

/// Records the host log while it lives.
class LogRecorder
{
public:
    LogRecorder();
    ~LogRecorder();
    const QStringList& Lines() const { return m_aLines; }
    QString Text() const { return m_aLines.join(QString()); }
    bool Contains(const QString& s) const { return Text().contains(s); }
    int Count(const QString& s) const { return Text().count(s); }
    void Clear() { m_aLines.clear(); }
private:
    QStringList m_aLines;              ///< every text logged, as given
    Kernel::LogCapture m_fPrevious;    ///< capture active before this one
};

/// Base of tests that need GL: makes sure the context is current, and after the
/// test expects glGetError() == GL_NO_ERROR and the ledger unchanged.
class GLTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;
    int64_t m_iLedgerAtStart = 0;  ///< Kernel::VideoMemoryUsage() before the test
};

/// One integer of GL state (a binding, an alignment), for before/after checks.
inline GLint GLInteger(GLenum eName)
{
    GLint i = 0;
    glGetIntegerv(eName, &i);
    return i;
}

/// The GL state operations promise to put back: program, framebuffers, the
/// texture and sampler of units 0 and 1, viewport, scissor box, colour mask
/// and the blend, depth and scissor tests.
struct GLStateSnapshot
{
    GLStateSnapshot();
    bool operator==(const GLStateSnapshot& o) const;
    GLint iProgram, iDraw, iRead, iUnit;
    std::array<GLint, 4> aViewport, aScissor;
    std::array<GLint, 2> aTex, aSampler;
    std::array<GLboolean, 4> aMask;
    GLboolean bBlend, bDepth, bScissor;
};

/// Reads an RGBA8 / float texture level 0 back with glGetTexImage (a plain path
/// independent of the module's readback) for pixel comparisons.
std::vector<uint8_t> ReadTextureRGBA8(unsigned int iName, unsigned int iWidth, unsigned int iHeight);
std::vector<float> ReadTextureRGBA32F(unsigned int iName, unsigned int iWidth, unsigned int iHeight);

/// A temporary folder removed with its content when the object goes.
class TempDir
{
public:
    TempDir();
    ~TempDir();
    QString Path() const { return m_sPath; }
    QString File(const QString& sName) const { return m_sPath + "/" + sName; }
private:
    QString m_sPath;  ///< absolute path
};

/// Steps through a version history: each step is 'P' (PrevVersion) or 'N'
/// (NextVersion), lower case when it must be refused, then the index into
/// `aStates` of what `fPixels` must read afterwards.
template <typename T, typename F>
void WalkVersions(T& c, const char* sSteps, const std::vector<std::vector<uint8_t>>& aStates, F&& fPixels)
{
    for (const char* p = sSteps; p[0] && p[1]; p += 2) {
        SCOPED_TRACE(testing::Message() << "step " << p[0] << p[1] << " of " << sSteps);
        const bool bPrev = p[0] == 'P' || p[0] == 'p', bMoves = p[0] == 'P' || p[0] == 'N';
        EXPECT_EQ(bPrev ? c.PrevVersion() : c.NextVersion(), bMoves);
        EXPECT_TRUE(fPixels() == aStates[size_t(p[1] - '0')]);
    }
}

/// Runs `f` expecting it to throw a varnik::Error pointer; returns its
/// message text (empty and a test failure when nothing was thrown) and deletes it.
template <typename F>
QString ErrorTextOf(F&& f)
{
    try { f(); }
    catch (Error* pError) {
        QString s = pError->Text();
        Error::Discard(pError);
        return s;
    }
    ADD_FAILURE() << "no varnik::Error was thrown";
    return QString();
}

/// Runs `f` expecting a Error; returns "code|function|file|text" of it.
template <typename F>
QString ErrorRecordOf(F&& f)
{
    try { f(); }
    catch (Error* p) {
        const QString s = QString("%1|%2|%3|%4").arg(p->Code()).arg(p->Function(), p->File(), p->Text());
        Error::Discard(p);
        return s;
    }
    return "no error";
}

} // namespace test
} // namespace varnik

/// Prints QStrings in gtest messages.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }
