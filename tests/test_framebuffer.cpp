// The framebuffer and renderbuffer wrappers; GLEW entry points wrapped by recorders.
#include "VarnikTest.h"
#include <GL/glew.h>
#include <utility>
#include <vector>
#include "FrameBufferObject.h"
#include "RenderBufferObject.h"
#include "TestTexture.h"

using varnik::test::ErrorTextOf;
using varnik::test::LogRecorder;
using testtex::BoundFramebuffer;
using testtex::TestTexture;

namespace {

GLint BoundRenderbuffer()
{
    GLint i = 0;
    glGetIntegerv(GL_RENDERBUFFER_BINDING_EXT, &i);
    return i;
}

/// Counts attach calls and remembers their arguments, forwarding to GL.
struct AttachRecorder
{
    struct Call { GLenum eAttachment; GLuint iName; GLint iLevel; };
    static inline std::vector<Call> s_aTexture;
    static inline std::vector<Call> s_aRenderbuffer;
    static inline PFNGLFRAMEBUFFERTEXTURE2DEXTPROC s_fTexture2D = nullptr;
    static inline PFNGLFRAMEBUFFERRENDERBUFFEREXTPROC s_fRenderbuffer = nullptr;

    AttachRecorder()
    {
        s_aTexture.clear();
        s_aRenderbuffer.clear();
        s_fTexture2D = std::exchange(glFramebufferTexture2DEXT, &Texture2D);
        s_fRenderbuffer = std::exchange(glFramebufferRenderbufferEXT, &Renderbuffer);
    }
    ~AttachRecorder() { glFramebufferTexture2DEXT = s_fTexture2D; glFramebufferRenderbufferEXT = s_fRenderbuffer; }
    static void GLAPIENTRY Texture2D(GLenum eTarget, GLenum eAttachment, GLenum eTexTarget, GLuint iName, GLint iLevel)
    {
        s_aTexture.push_back({eAttachment, iName, iLevel});
        s_fTexture2D(eTarget, eAttachment, eTexTarget, iName, iLevel);
    }
    static void GLAPIENTRY Renderbuffer(GLenum eTarget, GLenum eAttachment, GLenum eRbTarget, GLuint iName)
    {
        s_aRenderbuffer.push_back({eAttachment, iName, 0});
        s_fRenderbuffer(eTarget, eAttachment, eRbTarget, iName);
    }
};

/// Makes glCheckFramebufferStatusEXT answer a chosen status.
struct StatusOverride
{
    static inline GLenum s_eStatus = 0;
    PFNGLCHECKFRAMEBUFFERSTATUSEXTPROC m_fSaved;
    explicit StatusOverride(GLenum eStatus) : m_fSaved(std::exchange(glCheckFramebufferStatusEXT, &Answer)) { s_eStatus = eStatus; }
    ~StatusOverride() { glCheckFramebufferStatusEXT = m_fSaved; }
    static GLenum GLAPIENTRY Answer(GLenum) { return s_eStatus; }
};

class FrameBufferTest : public varnik::test::GLTest
{
protected:
    void TearDown() override
    {
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
        glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, 0);
        varnik::test::GLTest::TearDown();
    }
};

} // namespace

TEST_F(FrameBufferTest, StaysBoundAfterConstructionAttachDetachAndQueries)
{
    TestTexture cColor(16, 16);
    auto pDepth = testtex::NewDepthTexture(16, 16);
    FrameBufferObject cFbo;
    ASSERT_NE(cFbo.Id(), 0u);
    EXPECT_EQ(BoundFramebuffer(), GLint(cFbo.Id()));

    // Every operation below starts from another binding and must end on ours.
    auto ExpectBoundAfter = [&](const char* sWhat, auto&& fOperation) {
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
        fOperation();
        EXPECT_EQ(BoundFramebuffer(), GLint(cFbo.Id())) << sWhat;
    };
    ExpectBoundAfter("attach", [&] { cFbo.SetTextureAttachment(GL_TEXTURE_2D, cColor.OpenGLName(), GL_COLOR_ATTACHMENT0_EXT, 0, 0); });
    ExpectBoundAfter("attach depth", [&] { cFbo.SetTextureAttachment(GL_TEXTURE_2D, pDepth->OpenGLName(), GL_DEPTH_ATTACHMENT_EXT, 0, 0); });
    ExpectBoundAfter("type", [&] { EXPECT_EQ(cFbo.AttachmentObjectType(GL_COLOR_ATTACHMENT0_EXT), GL_TEXTURE); });
    ExpectBoundAfter("name", [&] { EXPECT_EQ(cFbo.AttachmentObjectName(GL_COLOR_ATTACHMENT0_EXT), GLint(cColor.OpenGLName())); });
    ExpectBoundAfter("level", [&] { EXPECT_EQ(cFbo.AttachmentTextureLevel(GL_COLOR_ATTACHMENT0_EXT), 0); });
    ExpectBoundAfter("face", [&] { EXPECT_EQ(cFbo.AttachmentCubeMapFace(GL_COLOR_ATTACHMENT0_EXT), 0); });
    ExpectBoundAfter("status", [&] { glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, cFbo.Id());
                                     EXPECT_EQ(cFbo.CheckStatus(), GLenum(GL_FRAMEBUFFER_COMPLETE_EXT)); });
    ExpectBoundAfter("detach", [&] { cFbo.ClearAttachment(GL_COLOR_ATTACHMENT0_EXT); });
    EXPECT_EQ(cFbo.AttachmentObjectType(GL_COLOR_ATTACHMENT0_EXT), GL_NONE);
    ExpectBoundAfter("detach all", [&] { cFbo.ClearColorAttachments(); });

    // Bind is unconditional and CheckStatus looks at whatever is bound.
    FrameBufferObject cOther;
    EXPECT_EQ(BoundFramebuffer(), GLint(cOther.Id()));
    cFbo.Bind();
    EXPECT_EQ(BoundFramebuffer(), GLint(cFbo.Id()));
}

TEST_F(FrameBufferTest, AttachingTheSameNameAgainIssuesNoCall)
{
    TestTexture cA(8, 8), cB(8, 8);
    FrameBufferObject cFbo;
    AttachRecorder cRecorder;
    cFbo.SetTextureAttachment(GL_TEXTURE_2D, cA.OpenGLName(), GL_COLOR_ATTACHMENT0_EXT, 0, 0);
    cFbo.SetTextureAttachment(GL_TEXTURE_2D, cA.OpenGLName(), GL_COLOR_ATTACHMENT0_EXT, 0, 0);
    // Only the name counts: another level of the same texture is not attached.
    cFbo.SetTextureAttachment(GL_TEXTURE_2D, cA.OpenGLName(), GL_COLOR_ATTACHMENT0_EXT, 1, 0);
    ASSERT_EQ(AttachRecorder::s_aTexture.size(), 1u);
    cFbo.SetTextureAttachment(GL_TEXTURE_2D, cB.OpenGLName(), GL_COLOR_ATTACHMENT0_EXT, 0, 0);
    ASSERT_EQ(AttachRecorder::s_aTexture.size(), 2u);
    EXPECT_EQ(AttachRecorder::s_aTexture[1].iName, cB.OpenGLName());
    // The same name at another point is a new attachment.
    cFbo.SetTextureAttachment(GL_TEXTURE_2D, cB.OpenGLName(), GL_COLOR_ATTACHMENT1_EXT, 0, 0);
    EXPECT_EQ(AttachRecorder::s_aTexture.size(), 3u);

    RenderBuffer cRb(GL_RGBA8, 8, 8, RenderBuffer::eSingleSample);
    cFbo.SetRenderBufferAttachment(cRb.Id(), GL_COLOR_ATTACHMENT2_EXT);
    cFbo.SetRenderBufferAttachment(cRb.Id(), GL_COLOR_ATTACHMENT2_EXT);
    EXPECT_EQ(AttachRecorder::s_aRenderbuffer.size(), 1u);
}

TEST_F(FrameBufferTest, ClearAttachmentDetachesByKindAndSkipsEmptyPoints)
{
    TestTexture cTex(8, 8);
    RenderBuffer cRb(GL_RGBA8, 8, 8, RenderBuffer::eSingleSample);
    FrameBufferObject cFbo;
    cFbo.SetTextureAttachment(GL_TEXTURE_2D, cTex.OpenGLName(), GL_COLOR_ATTACHMENT0_EXT, 0, 0);
    cFbo.SetRenderBufferAttachment(cRb.Id(), GL_COLOR_ATTACHMENT1_EXT);

    AttachRecorder cRecorder;
    cFbo.ClearAttachment(GL_COLOR_ATTACHMENT3_EXT);  // nothing there
    EXPECT_TRUE(AttachRecorder::s_aTexture.empty());
    EXPECT_TRUE(AttachRecorder::s_aRenderbuffer.empty());

    cFbo.ClearAttachment(GL_COLOR_ATTACHMENT0_EXT);
    ASSERT_EQ(AttachRecorder::s_aTexture.size(), 1u);
    EXPECT_EQ(AttachRecorder::s_aTexture[0].iName, 0u);
    EXPECT_TRUE(AttachRecorder::s_aRenderbuffer.empty());

    cFbo.ClearAttachment(GL_COLOR_ATTACHMENT1_EXT);
    ASSERT_EQ(AttachRecorder::s_aRenderbuffer.size(), 1u);
    EXPECT_EQ(AttachRecorder::s_aRenderbuffer[0].iName, 0u);
    EXPECT_EQ(cFbo.AttachmentObjectType(GL_COLOR_ATTACHMENT1_EXT), GL_NONE);
}

TEST_F(FrameBufferTest, ListFormsDefaultToConsecutiveColourPoints)
{
    TestTexture cA(8, 8), cB(8, 8);
    FrameBufferObject cFbo;
    const GLenum aTargets[] = {GL_TEXTURE_2D, GL_TEXTURE_2D};
    const GLuint aNames[] = {cA.OpenGLName(), cB.OpenGLName()};
    AttachRecorder cRecorder;
    cFbo.SetTextureAttachments(0, aTargets, aNames, nullptr, nullptr, nullptr);
    cFbo.SetTextureAttachments(-3, aTargets, aNames, nullptr, nullptr, nullptr);
    EXPECT_TRUE(AttachRecorder::s_aTexture.empty());
    cFbo.SetTextureAttachments(2, aTargets, aNames, nullptr, nullptr, nullptr);
    EXPECT_EQ(cFbo.AttachmentObjectName(GL_COLOR_ATTACHMENT0_EXT), GLint(cA.OpenGLName()));
    EXPECT_EQ(cFbo.AttachmentObjectName(GL_COLOR_ATTACHMENT1_EXT), GLint(cB.OpenGLName()));
    ASSERT_EQ(AttachRecorder::s_aTexture.size(), 2u);
    EXPECT_EQ(AttachRecorder::s_aTexture[0].iLevel, 0);

    // Explicit attachment points are used as given.
    const GLenum aPoints[] = {GL_COLOR_ATTACHMENT3_EXT};
    cFbo.SetTextureAttachments(1, aTargets, aNames, aPoints, nullptr, nullptr);
    EXPECT_EQ(cFbo.AttachmentObjectName(GL_COLOR_ATTACHMENT3_EXT), GLint(cA.OpenGLName()));

    RenderBuffer cR0(GL_RGBA8, 8, 8, 0), cR1(GL_RGBA8, 8, 8, 0);
    FrameBufferObject cRbFbo;
    const GLuint aRbNames[] = {cR0.Id(), cR1.Id()};
    cRbFbo.SetRenderBufferAttachments(2, aRbNames, nullptr);
    EXPECT_EQ(cRbFbo.AttachmentObjectType(GL_COLOR_ATTACHMENT1_EXT), GL_RENDERBUFFER_EXT);
    EXPECT_EQ(cRbFbo.AttachmentObjectName(GL_COLOR_ATTACHMENT1_EXT), GLint(cR1.Id()));
}

TEST_F(FrameBufferTest, ClearColorAttachmentsLeavesDepth)
{
    TestTexture cColor(8, 8), cColor2(8, 8);
    auto pDepth = testtex::NewDepthTexture(8, 8);
    FrameBufferObject cFbo;
    cFbo.SetTextureAttachment(GL_TEXTURE_2D, cColor.OpenGLName(), GL_COLOR_ATTACHMENT0_EXT, 0, 0);
    cFbo.SetTextureAttachment(GL_TEXTURE_2D, cColor2.OpenGLName(), GL_COLOR_ATTACHMENT2_EXT, 0, 0);
    cFbo.SetTextureAttachment(GL_TEXTURE_2D, pDepth->OpenGLName(), GL_DEPTH_ATTACHMENT_EXT, 0, 0);
    ASSERT_GE(FrameBufferObject::MaxColorAttachments(), 4);
    cFbo.ClearColorAttachments();
    EXPECT_EQ(cFbo.AttachmentObjectType(GL_COLOR_ATTACHMENT0_EXT), GL_NONE);
    EXPECT_EQ(cFbo.AttachmentObjectType(GL_COLOR_ATTACHMENT2_EXT), GL_NONE);
    EXPECT_EQ(cFbo.AttachmentObjectName(GL_DEPTH_ATTACHMENT_EXT), GLint(pDepth->OpenGLName()));
}

TEST_F(FrameBufferTest, CheckStatusLogsEachStatusInWords)
{
    FrameBufferObject cFbo;
    struct Case { GLenum eStatus; const char* sText; };
    const Case aCases[] = {
        {0x8CD6, "Framebuffer incomplete: No attachment"},
        {0x8CD7, "Framebuffer incomplete: Missing attachment"},
        {0x8CD9, "Framebuffer incomplete: Missing dimensions"},
        {0x8CDA, "Framebuffer incomplete: Missing format"},
        {0x8CDB, "Framebuffer incomplete: Missing drawbuffer"},
        {0x8CDC, "Framebuffer incomplete: Missing readbuffer"},
        {0x8CDD, "Framebuffer unsupported"},
        {0x8D56, "Framebuffer incomplete (Multisample)"},
        {0x8CD8, "Unknown framebuffer object error (code: 0x8cd8)"},
        {0x12, "Unknown framebuffer object error (code: 0x0012)"},
        {0x1ABCD, "Unknown framebuffer object error (code: 0x1abcd)"},
    };
    for (const Case& c : aCases) {
        LogRecorder cLog;
        StatusOverride cOverride(c.eStatus);
        EXPECT_EQ(cFbo.CheckStatus(), c.eStatus);
        ASSERT_EQ(cLog.Lines().size(), 1) << std::hex << c.eStatus;
        EXPECT_EQ(cLog.Lines()[0], QString(c.sText));
    }
    for (GLenum eSilent : {GLenum(GL_FRAMEBUFFER_COMPLETE_EXT), GLenum(0)}) {
        LogRecorder cLog;
        StatusOverride cOverride(eSilent);
        EXPECT_EQ(cFbo.CheckStatus(), eSilent);
        EXPECT_TRUE(cLog.Lines().isEmpty());
    }
}

TEST_F(FrameBufferTest, RenderBufferSizeLimitAndBindingRestore)
{
    const GLint iMax = RenderBuffer::MaxSize();
    ASSERT_GT(iMax, 0);
    GLuint iOther = RenderBuffer::GenerateId();
    glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, iOther);

    RenderBuffer cRb(RenderBuffer::eSingleSample);
    cRb.Set(GL_RGBA8, iMax, 1);
    EXPECT_EQ(BoundRenderbuffer(), GLint(iOther));
    glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, cRb.Id());
    GLint iWidth = 0;
    glGetRenderbufferParameterivEXT(GL_RENDERBUFFER_EXT, GL_RENDERBUFFER_WIDTH_EXT, &iWidth);
    EXPECT_EQ(iWidth, iMax);
    glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, iOther);

    QString sText = ErrorTextOf([&] { cRb.Set(GL_RGBA8, 4, iMax + 1); });
    EXPECT_EQ(sText, QString("Renderbuffer::Renderbuffer() ERROR:\n\tSize too big (4,%1)\n").arg(iMax + 1));
    EXPECT_EQ(BoundRenderbuffer(), GLint(iOther));
    // The previous storage is kept.
    glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, cRb.Id());
    glGetRenderbufferParameterivEXT(GL_RENDERBUFFER_EXT, GL_RENDERBUFFER_WIDTH_EXT, &iWidth);
    EXPECT_EQ(iWidth, iMax);

    // The error carries the module's code, operation and file.
    EXPECT_TRUE(testtex::ErrorRecordOf([&] { cRb.Set(GL_RGBA8, iMax + 1, 1); })
                    .startsWith("4|RenderBuffer::Set|src/plugins/Texture/RenderBufferObject|"));
    // The constructor that allocates throws the same way and leaks no name.
    EXPECT_FALSE(ErrorTextOf([&] { RenderBuffer cBig(GL_RGBA8, iMax + 1, 1, 0); }).isEmpty());
    glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, 0);
    glDeleteRenderbuffersEXT(1, &iOther);
}

TEST_F(FrameBufferTest, SamplingModes)
{
    auto Query = [](const RenderBuffer& cRb, GLenum eParameter) {
        GLint iSaved = BoundRenderbuffer(), iValue = -1;
        glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, cRb.Id());
        glGetRenderbufferParameterivEXT(GL_RENDERBUFFER_EXT, eParameter, &iValue);
        glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, GLuint(iSaved));
        return iValue;
    };
    RenderBuffer cSingle(GL_RGBA8, 32, 16, 0);
    RenderBuffer cMulti(GL_RGBA8, 32, 16, 1);
    RenderBuffer cNone(GL_RGBA8, 32, 16, 2);
    EXPECT_EQ(Query(cSingle, GL_RENDERBUFFER_SAMPLES_EXT), 0);
    EXPECT_EQ(Query(cSingle, GL_RENDERBUFFER_WIDTH_EXT), 32);
    EXPECT_EQ(Query(cMulti, GL_RENDERBUFFER_SAMPLES_EXT), 4);
    EXPECT_EQ(Query(cMulti, GL_RENDERBUFFER_HEIGHT_EXT), 16);
    EXPECT_EQ(Query(cNone, GL_RENDERBUFFER_WIDTH_EXT), 0);
    EXPECT_EQ(BoundRenderbuffer(), 0);
    // When our own renderbuffer is bound, it stays bound.
    glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, cSingle.Id());
    cSingle.Set(GL_RGBA8, 8, 8);
    EXPECT_EQ(BoundRenderbuffer(), GLint(cSingle.Id()));
}
