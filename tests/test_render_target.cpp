// The framebuffer and renderbuffer wrappers, and the render target: slots and
// size, the activation stack shared by all targets, multisample resolve,
// depth-only targets and copies to the screen.
#include "VarnikTest.h"
#include <GL/glew.h>
#include <array>
#include <memory>
#include <utility>
#include <vector>
#include "FrameBufferObject.h"
#include "RenderBufferObject.h"
#include "TestTexture.h"
#include "VarnikRenderTarget.h"

using varnik::test::ErrorTextOf;
using varnik::test::LogRecorder;
using testtex::BoundFramebuffer;
using testtex::NewDepthTexture;
using testtex::TestTexture;

namespace {

typedef std::array<GLint, 4> Box;
const Box kOuterViewport = {3, 5, 7, 9};  ///< set before every test

Box Viewport()
{
    Box a{};
    glGetIntegerv(GL_VIEWPORT, a.data());
    return a;
}

std::unique_ptr<VarnikRenderTarget> NewTarget()
{
    return std::unique_ptr<VarnikRenderTarget>(
        dynamic_cast<VarnikRenderTarget*>(VarnikRenderTarget::CreateInstances(1)));
}

class RenderTargetTest : public varnik::test::GLTest
{
protected:
    void SetUp() override
    {
        varnik::test::GLTest::SetUp();
        glViewport(kOuterViewport[0], kOuterViewport[1], kOuterViewport[2], kOuterViewport[3]);
        m_iDepthAtStart = VarnikRenderTarget::ActivationDepth();
    }
    void TearDown() override
    {
        EXPECT_EQ(VarnikRenderTarget::ActivationDepth(), m_iDepthAtStart) << "activation records left behind";
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
        varnik::test::GLTest::TearDown();
    }
    int m_iDepthAtStart = 0;
};

/// Draws the lower-left half triangle of the viewport in white over black.
void DrawHalfTriangle()
{
    glClearColor(0.f, 0.f, 0.f, 0.f);
    glClear(GL_COLOR_BUFFER_BIT);
    glBegin(GL_TRIANGLES);
    glColor4f(1.f, 1.f, 1.f, 1.f);
    glVertex2f(-1.f, -1.f);
    glVertex2f(1.f, -1.f);
    glVertex2f(-1.f, 1.f);
    glEnd();
}

/// Counts texels of the red channel strictly between 0 and 255.
int PartialTexels(const std::vector<uint8_t>& aPixels)
{
    int iCount = 0;
    for (size_t i = 0; i < aPixels.size(); i += 4)
        iCount += aPixels[i] > 0 && aPixels[i] < 255;
    return iCount;
}

/// Records the blit to the window without forwarding: the headless context has
/// no window framebuffer to draw into.
struct BlitRecorder
{
    static inline int s_iCalls = 0;
    static inline GLint s_iDraw = -1, s_iReadName = -1;
    static inline std::array<GLint, 8> s_aRect = {};
    static inline PFNGLBLITFRAMEBUFFEREXTPROC s_fSaved = nullptr;
    BlitRecorder()
    {
        s_iCalls = 0;
        s_fSaved = std::exchange(glBlitFramebufferEXT, &Blit);
    }
    ~BlitRecorder() { glBlitFramebufferEXT = s_fSaved; }
    static void GLAPIENTRY Blit(GLint a, GLint b, GLint c, GLint d, GLint e, GLint f, GLint g, GLint h,
                                GLbitfield, GLenum)
    {
        ++s_iCalls;
        s_aRect = {a, b, c, d, e, f, g, h};
        glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING_EXT, &s_iDraw);
        glGetFramebufferAttachmentParameterivEXT(GL_READ_FRAMEBUFFER_EXT, GL_COLOR_ATTACHMENT0_EXT,
                                                 GL_FRAMEBUFFER_ATTACHMENT_OBJECT_NAME_EXT, &s_iReadName);
    }
};

} // namespace

TEST_F(RenderTargetTest, NestedActivationsRestoreInOrderAndDestroyingDropsRecords)
{
    auto pA = NewTarget(), pB = NewTarget();
    TestTexture cA(64, 32), cB(16, 16), cLate(16, 16);
    pA->SetTarget(&cA, 0);
    pB->SetTarget(&cB, 0);
    const GLint iA = GLint(pA->ActiveFrameBuffer()->Id()), iB = GLint(pB->ActiveFrameBuffer()->Id());

    pA->Activate();
    EXPECT_EQ(BoundFramebuffer(), iA);
    EXPECT_EQ(Viewport(), (Box{0, 0, 64, 32}));
    pB->Activate();
    EXPECT_EQ(BoundFramebuffer(), iB);
    // Changing A's attachments while B is on top leaves B bound.
    pA->SetTarget(&cLate, 1);
    EXPECT_EQ(BoundFramebuffer(), iB);
    pA->RemoveTarget(1);
    EXPECT_EQ(BoundFramebuffer(), iB);

    pB->Deactivate();
    EXPECT_EQ(BoundFramebuffer(), iA);
    EXPECT_EQ(Viewport(), (Box{0, 0, 64, 32}));
    pA->Deactivate();
    EXPECT_EQ(BoundFramebuffer(), 0);
    EXPECT_EQ(Viewport(), kOuterViewport);

    // Destroying a target mid-stack drops only its records, both of B's here.
    // Deactivate pops the top record, whichever target calls it.
    auto pC = NewTarget();
    TestTexture cC(10, 10);
    pC->SetTarget(&cC, 0);
    const int iDepth = VarnikRenderTarget::ActivationDepth();
    pA->Activate();
    pB->Activate();
    pB->Activate();
    pC->Activate();
    pB.reset();
    EXPECT_EQ(VarnikRenderTarget::ActivationDepth(), iDepth + 2);
    pA->Deactivate();
    EXPECT_EQ(BoundFramebuffer(), iA);
    EXPECT_EQ(Viewport(), (Box{0, 0, 16, 16}));  // as it was when C was activated
    pC->Deactivate();
    EXPECT_EQ(Viewport(), kOuterViewport);
}

// Refusals change nothing: an empty target, unknown slots, a stray deactivate
// (logged only), and a depth texture in a colour slot (kept, reported false).
// The first texture of an empty target sets the size; later ones keep it.
TEST_F(RenderTargetTest, RefusalsChangeNothingAndTheFirstTextureSetsTheSize)
{
    auto pTarget = NewTarget();
    EXPECT_EQ(testtex::ErrorRecordOf([&] { pTarget->Activate(); }),
              "4|VarnikRenderTarget::Activate|src/plugins/Texture/VarnikRenderTarget|Called for an empty rendertarget");
    TestTexture cFirst(64, 32), cSecond(16, 8);
    for (int iSlot : {5, -1}) {
        EXPECT_EQ(testtex::ErrorRecordOf([&] { pTarget->SetTarget(&cFirst, iSlot); }),
                  "4|GetOpenGLAttachmentFromTarget|src/plugins/Texture/VarnikRenderTarget|Unknown target");
        EXPECT_EQ(ErrorTextOf([&] { pTarget->RemoveTarget(iSlot); }), QString("Unknown target"));
    }
    EXPECT_EQ(pTarget->Width(), 0u);

    LogRecorder cLog;
    pTarget->Deactivate();
    EXPECT_TRUE(cLog.Contains("Function called without the proper Activate"));
    EXPECT_EQ(Viewport(), kOuterViewport);
    auto pDepth = NewDepthTexture(8, 8);
    EXPECT_FALSE(pTarget->SetTarget(pDepth.get(), 0));
    EXPECT_TRUE(cLog.Contains("Framebuffer incomplete"));
    EXPECT_EQ(pTarget->Target(0), pDepth.get());

    // Emptied, the target keeps its size until a texture comes again.
    pTarget->RemoveTarget(0);
    EXPECT_EQ(pTarget->MainFrameBuffer()->AttachmentObjectType(GL_COLOR_ATTACHMENT0_EXT), GL_NONE);
    EXPECT_EQ(pTarget->Width(), 8u);
    EXPECT_TRUE(pTarget->SetTarget(&cFirst, 0));
    EXPECT_TRUE(pTarget->SetTarget(&cSecond, 1));
    EXPECT_EQ(pTarget->Width(), 64u);
    EXPECT_EQ(pTarget->Height(), 32u);
    EXPECT_EQ(BoundFramebuffer(), 0);
    EXPECT_EQ(pTarget->MainFrameBuffer()->AttachmentObjectName(GL_COLOR_ATTACHMENT0_EXT), GLint(cFirst.OpenGLName()));

    PFNGLGENFRAMEBUFFERSEXTPROC fSaved = std::exchange(glGenFramebuffersEXT, nullptr);
    const QString sText = ErrorTextOf([] { VarnikRenderTarget cTarget; });
    glGenFramebuffersEXT = fSaved;
    EXPECT_EQ(sText, QString("Frame Buffer Extension is not supported by your driver, please update"));
}

TEST_F(RenderTargetTest, MultisampledDrawingResolvesWithBlendedEdges)
{
    TestTexture cSmooth(16, 16);
    auto pSmooth = NewTarget();
    pSmooth->SetMultisample(true);
    ASSERT_NE(pSmooth->MultisampleFrameBuffer(), nullptr);
    ASSERT_TRUE(pSmooth->SetTarget(&cSmooth, 0));
    pSmooth->Activate();
    EXPECT_EQ(BoundFramebuffer(), GLint(pSmooth->MultisampleFrameBuffer()->Id()));
    DrawHalfTriangle();
    pSmooth->Deactivate();

    auto aSmooth = varnik::test::ReadTextureRGBA8(cSmooth.OpenGLName(), 16, 16);
    EXPECT_GE(PartialTexels(aSmooth), 8);
    // Far from the edge it is solid: inside white, outside black.
    EXPECT_EQ(aSmooth[(1 * 16 + 1) * 4], 255);
    EXPECT_EQ(aSmooth[(14 * 16 + 14) * 4], 0);

    // Off again: the main framebuffer is active and the edge is hard.
    pSmooth->SetMultisample(false);
    pSmooth->Activate();
    EXPECT_EQ(BoundFramebuffer(), GLint(pSmooth->MainFrameBuffer()->Id()));
    DrawHalfTriangle();
    pSmooth->Deactivate();
    auto aHard = varnik::test::ReadTextureRGBA8(cSmooth.OpenGLName(), 16, 16);
    EXPECT_EQ(PartialTexels(aHard), 0);
    EXPECT_EQ(aHard[(1 * 16 + 1) * 4], 255);
}

TEST_F(RenderTargetTest, DepthOnlyTarget)
{
    auto pDepth = NewDepthTexture(8, 8);
    auto pTarget = NewTarget();
    EXPECT_TRUE(pTarget->SetTarget(pDepth.get(), 4));

    // No colour buffer to draw to or read from: both are turned off.
    pTarget->Activate();
    EXPECT_EQ(varnik::test::GLInteger(GL_DRAW_BUFFER), GL_NONE);
    EXPECT_EQ(varnik::test::GLInteger(GL_READ_BUFFER), GL_NONE);
    glClearDepth(0.25);
    glClear(GL_DEPTH_BUFFER_BIT);
    glClearDepth(1.0);
    pTarget->Deactivate();

    std::vector<float> aDepth(64, -1.f);
    glBindTexture(GL_TEXTURE_2D, pDepth->OpenGLName());
    glGetTexImage(GL_TEXTURE_2D, 0, GL_DEPTH_COMPONENT, GL_FLOAT, aDepth.data());
    glBindTexture(GL_TEXTURE_2D, 0);
    for (float f : aDepth)
        ASSERT_NEAR(f, 0.25f, 1e-5f);

    // Depth-only and multisampled: accepted, with a depth renderbuffer.
    auto pMulti = NewTarget();
    pMulti->SetMultisample(true);
    EXPECT_TRUE(pMulti->SetTarget(pDepth.get(), 4));
    EXPECT_EQ(pMulti->MultisampleFrameBuffer()->AttachmentObjectType(GL_DEPTH_ATTACHMENT_EXT), GL_RENDERBUFFER_EXT);
}

TEST_F(RenderTargetTest, CopyToScreenDrawsAQuadWhenSizesDifferAndBlitsWhenTheyMatch)
{
    // 4x4 source with a distinct value in every byte, drawn into an 8x8 target.
    std::vector<uint8_t> aSource(4 * 4 * 4);
    for (size_t i = 0; i < aSource.size(); ++i)
        aSource[i] = uint8_t(i * 4 + 1);
    TestTexture cSource(4, 4, GL_RGBA8, GL_RGBA, GL_UNSIGNED_BYTE, aSource.data());
    TestTexture cDest(8, 8);
    auto pDest = NewTarget();
    pDest->SetTarget(&cDest, 0);

    pDest->Activate();
    pDest->CopyToScreen(&cSource);
    pDest->Deactivate();
    glMatrixMode(GL_MODELVIEW);

    auto aDest = varnik::test::ReadTextureRGBA8(cDest.OpenGLName(), 8, 8);
    for (size_t i = 0; i < aDest.size(); ++i) {
        const size_t x = i / 4 % 8, y = i / 32;
        ASSERT_EQ(aDest[i], aSource[((y / 2) * 4 + x / 2) * 4 + i % 4]) << x << "," << y << " channel " << i % 4;
    }
    pDest->CopyToScreen(nullptr);  // nothing

    // Sizes that match are blitted to the window.
    auto pTarget = NewTarget();
    ASSERT_TRUE(pTarget->IsBlitSupported());
    TestTexture cSlot0(32, 16), cShown(32, 16);
    pTarget->SetTarget(&cSlot0, 0);
    {
        BlitRecorder cRecorder;
        pTarget->CopyToScreen(&cShown);
        ASSERT_EQ(BlitRecorder::s_iCalls, 1);
    }
    EXPECT_EQ(BlitRecorder::s_iDraw, 0);
    EXPECT_EQ(BlitRecorder::s_iReadName, GLint(cShown.OpenGLName()));
    EXPECT_EQ(BlitRecorder::s_aRect, (std::array<GLint, 8>{0, 0, 32, 16, 0, 0, 32, 16}));
    // The previous slot-0 texture is back.
    EXPECT_EQ(BoundFramebuffer(), 0);
    EXPECT_EQ(pTarget->MainFrameBuffer()->AttachmentObjectName(GL_COLOR_ATTACHMENT0_EXT), GLint(cSlot0.OpenGLName()));

    // With slot 0 empty before (the size stays), it is empty again afterwards.
    pTarget->RemoveTarget(0);
    {
        BlitRecorder cRecorder;
        pTarget->CopyToScreen(&cShown);
        EXPECT_EQ(BlitRecorder::s_iCalls, 1);
    }
    EXPECT_EQ(pTarget->MainFrameBuffer()->AttachmentObjectType(GL_COLOR_ATTACHMENT0_EXT), GL_NONE);
}

// The wrapper leaves its own framebuffer bound after every operation, and
// detaching goes by the kind attached.
TEST_F(RenderTargetTest, FrameBufferStaysBoundAndDetachesByKind)
{
    TestTexture cA(8, 8);
    auto pDepth = testtex::NewDepthTexture(8, 8);
    RenderBuffer cRb(GL_RGBA8, 8, 8, RenderBuffer::eSingleSample);
    FrameBufferObject cFbo;
    EXPECT_EQ(BoundFramebuffer(), GLint(cFbo.Id()));

    // Each operation starts from another binding and must end on ours.
    auto ExpectBoundAfter = [&](const char* sWhat, auto&& fOperation) {
        glBindFramebufferEXT(GL_FRAMEBUFFER_EXT, 0);
        fOperation();
        EXPECT_EQ(BoundFramebuffer(), GLint(cFbo.Id())) << sWhat;
    };
    ExpectBoundAfter("attach", [&] { cFbo.SetTextureAttachment(GL_TEXTURE_2D, cA.OpenGLName(), GL_COLOR_ATTACHMENT0_EXT, 0, 0); });
    ExpectBoundAfter("renderbuffer", [&] { cFbo.SetRenderBufferAttachment(cRb.Id(), GL_COLOR_ATTACHMENT2_EXT); });
    EXPECT_EQ(cFbo.AttachmentObjectName(GL_COLOR_ATTACHMENT2_EXT), GLint(cRb.Id()));
    cFbo.SetTextureAttachment(GL_TEXTURE_2D, pDepth->OpenGLName(), GL_DEPTH_ATTACHMENT_EXT, 0, 0);

    // A texture, a renderbuffer and an empty point: each is left empty.
    for (GLenum e : {GL_COLOR_ATTACHMENT0_EXT, GL_COLOR_ATTACHMENT2_EXT, GL_COLOR_ATTACHMENT3_EXT}) {
        ExpectBoundAfter("detach", [&] { cFbo.ClearAttachment(e); });
        EXPECT_EQ(cFbo.AttachmentObjectType(e), GL_NONE) << std::hex << e;
    }

    // Clearing every colour point leaves the depth attachment.
    cFbo.SetTextureAttachment(GL_TEXTURE_2D, cA.OpenGLName(), GL_COLOR_ATTACHMENT1_EXT, 0, 0);
    ExpectBoundAfter("detach all", [&] { cFbo.ClearColorAttachments(); });
    EXPECT_EQ(cFbo.AttachmentObjectType(GL_COLOR_ATTACHMENT1_EXT), GL_NONE);
    EXPECT_EQ(cFbo.AttachmentObjectName(GL_DEPTH_ATTACHMENT_EXT), GLint(pDepth->OpenGLName()));
}

// Statuses in the words the log shows: the known ones by name, others by code.
TEST(FrameBufferStatusTest, EachStatusInWords)
{
    struct Case { GLenum eStatus; const char* sText; };
    const Case aCases[] = {
        {0x8CD6, "Framebuffer incomplete: No attachment"},
        {0x12, "Unknown framebuffer object error (code: 0x0012)"},
        {GL_FRAMEBUFFER_COMPLETE_EXT, ""},
        {0, ""},  // the check itself failed: nothing to say
    };
    for (const Case& c : aCases)
        EXPECT_EQ(FrameBufferObject::StatusMessage(c.eStatus, QString()), QString(c.sText)) << std::hex << c.eStatus;
}

// Storage up to the size limit; above it an error that keeps the storage. The
// caller's binding is put back.
TEST_F(RenderTargetTest, RenderBufferSizeLimitAndBinding)
{
    auto Width = [](const RenderBuffer& cRb) {
        GLint iValue = -1;
        glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, cRb.Id());
        glGetRenderbufferParameterivEXT(GL_RENDERBUFFER_EXT, GL_RENDERBUFFER_WIDTH_EXT, &iValue);
        return iValue;
    };
    const GLint iMax = RenderBuffer::MaxSize();
    GLuint iOther = RenderBuffer::GenerateId();
    glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, iOther);
    RenderBuffer cRb(RenderBuffer::eMultisample4);
    cRb.Set(GL_RGBA8, iMax, 1);
    EXPECT_EQ(varnik::test::GLInteger(GL_RENDERBUFFER_BINDING_EXT), GLint(iOther));
    EXPECT_EQ(testtex::ErrorRecordOf([&] { cRb.Set(GL_RGBA8, 4, iMax + 1); }),
              QString("4|RenderBuffer::Set|src/plugins/Texture/RenderBufferObject|"
                      "Renderbuffer::Renderbuffer() ERROR:\n\tSize too big (4,%1)\n").arg(iMax + 1));
    EXPECT_EQ(varnik::test::GLInteger(GL_RENDERBUFFER_BINDING_EXT), GLint(iOther));
    EXPECT_EQ(Width(cRb), iMax);
    glBindRenderbufferEXT(GL_RENDERBUFFER_EXT, 0);
    glDeleteRenderbuffersEXT(1, &iOther);
}
