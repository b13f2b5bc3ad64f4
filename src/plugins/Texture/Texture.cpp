#include "Texture.h"

#include <GL/glu.h>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <QCoreApplication>
#include <QObject>
#include <QTime>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "varnik/ClassDesc.h"
#include "varnik/Error.h"
#include "varnik/Half.h"
#include "varnik/Interface.h"
#include "varnik/Kernel.h"
#include "varnik/RenderTarget.h"
#include "varnik/Stream.h"
#include "varnik/TextureMixer.h"
#include "varnik/TexturePool.h"
#include "CrashScope.h"
#include "FrameBufferObject.h"
#include "TextureFormat.h"
#include "CompositeAllAction.h"
#include "TextureTester.h"
#include "VarnikRenderTarget.h"
#include "VarnikTexturePool.h"

using varnik::Image;
using varnik::ImgTile;

namespace {

const char* const s_sSourceFile = "src/plugins/Texture/Texture";
const char* const s_sReadOperation = "VarnikTexture::CopyGLTextureToImage";

/// A new module error carrying the operation and this line; the caller adds the message.
varnik::Error* NewError(const char* sFunction, unsigned int iLine)
{
    return new varnik::Error(QString(), 4, QString::fromLatin1(sFunction), QString::fromLatin1(s_sSourceFile), iLine);
}

/// The translated display category of a static preference.
QString DisplayCategory(const char* sCategory)
{
    return QCoreApplication::translate("VarnikTexture", sCategory);
}

/// The client pixel-store state (pack and unpack), pushed for a scope.
class ScopedPixelStore
{
public:
    ScopedPixelStore() { glPushClientAttrib(GL_CLIENT_PIXEL_STORE_BIT); }
    ~ScopedPixelStore() { glPopClientAttrib(); }
    ScopedPixelStore(const ScopedPixelStore&) = delete;
    ScopedPixelStore& operator=(const ScopedPixelStore&) = delete;
};

/// A buffer bound to a pixel target for a scope; the binding found is put back.
class ScopedBufferBinding
{
public:
    ScopedBufferBinding(GLenum iTarget, GLuint iBuffer) : m_iTarget(iTarget)
    {
        glGetIntegerv(iTarget == GL_PIXEL_PACK_BUFFER ? GL_PIXEL_PACK_BUFFER_BINDING
                                                       : GL_PIXEL_UNPACK_BUFFER_BINDING,
                      &m_iSaved);
        glBindBuffer(iTarget, iBuffer);
    }
    ~ScopedBufferBinding() { glBindBuffer(m_iTarget, GLuint(m_iSaved)); }
    ScopedBufferBinding(const ScopedBufferBinding&) = delete;
    ScopedBufferBinding& operator=(const ScopedBufferBinding&) = delete;

private:
    GLenum m_iTarget;
    GLint m_iSaved = 0;
};

/// A framebuffer bound for a scope: to GL_FRAMEBUFFER (draw and read, both put
/// back) or to GL_DRAW_FRAMEBUFFER alone (a separate read binding is untouched).
class ScopedFramebufferBinding
{
public:
    ScopedFramebufferBinding(GLenum iTarget, GLuint iFramebuffer) : m_iTarget(iTarget)
    {
        glGetIntegerv(GL_DRAW_FRAMEBUFFER_BINDING, &m_iSavedDraw);
        glGetIntegerv(GL_READ_FRAMEBUFFER_BINDING, &m_iSavedRead);
        glBindFramebufferEXT(iTarget, iFramebuffer);
    }
    ~ScopedFramebufferBinding()
    {
        if (m_iTarget == GL_DRAW_FRAMEBUFFER) {
            glBindFramebufferEXT(GL_DRAW_FRAMEBUFFER, GLuint(m_iSavedDraw));
            return;
        }
        glBindFramebufferEXT(GL_FRAMEBUFFER, GLuint(m_iSavedDraw));
        if (m_iSavedRead != m_iSavedDraw)
            glBindFramebufferEXT(GL_READ_FRAMEBUFFER, GLuint(m_iSavedRead));
    }
    ScopedFramebufferBinding(const ScopedFramebufferBinding&) = delete;
    ScopedFramebufferBinding& operator=(const ScopedFramebufferBinding&) = delete;

private:
    GLenum m_iTarget;
    GLint m_iSavedDraw = 0;
    GLint m_iSavedRead = 0;
};

/// A temporary framebuffer, made and bound for a scope; the bindings found are
/// put back before it is deleted (members go in reverse order).
class ScratchFramebuffer
{
public:
    ScratchFramebuffer() : m_cBinding(GL_FRAMEBUFFER, m_cName.m_iName) {}

private:
    struct Name
    {
        Name() { glGenFramebuffersEXT(1, &m_iName); }
        ~Name() { glDeleteFramebuffersEXT(1, &m_iName); }
        Name(const Name&) = delete;
        Name& operator=(const Name&) = delete;
        GLuint m_iName = 0;
    };
    Name m_cName;
    ScopedFramebufferBinding m_cBinding;
};

} // namespace

// The module's static objects, built in this order when the module is loaded and
// destroyed in reverse order when it is unloaded.

varnik::ClassDesc VarnikRenderTarget::s_cMyClass(varnik::RenderTarget::StaticClass(),
                                                 varnik::RenderTarget::StaticClass(), "VarnikRenderTarget",
                                                 "Default Render Target Implementation",
                                                 &VarnikRenderTarget::CreateInstances, 0, 0);

varnik::ClassDesc CompositeAllAction::s_cMyClass(varnik::Action::StaticClass(), varnik::Action::StaticClass(),
                                                 "CompositeAllAction", "CompositeAllAction",
                                                 &CompositeAllAction::CreateInstances, 0, 0);

varnik::ClassDesc VarnikTexture::s_cMyClass(varnik::Texture::StaticClass(), varnik::Texture::StaticClass(),
                                            "VarnikTexture", "texture", &VarnikTexture::CreateInstances, 2, 1);

varnik::ClassDesc VarnikTexturePool::s_cMyClass(varnik::TexturePool::StaticClass(),
                                                varnik::TexturePool::StaticClass(), "VarnikTexturePool",
                                                "Texture Pool", &VarnikTexturePool::CreateInstances, 0, 101);

varnik::Plugin s_cPlugin("Texture", "Default Texture Class Implementation", "Varnik Labs",
                         "https://www.varnik.example", QStringLiteral(__DATE__ " " __TIME__),
                         &VarnikTexture::InitializePlugin);

varnik::Preferences::Bool s_cUseBGRA8Readback("Use BGRA8 Texture readback", "Paint", "Use BGRA8 Texture readback",
                                              DisplayCategory("Paint"), false, true);
varnik::Preferences::Bool s_cUseGPUForProxies("Use GPU to generate proxies when possible", "Render",
                                              "Use GPU to generate proxies when possible",
                                              DisplayCategory("Render"), true, true);
varnik::Preferences::Integer s_cMaxCompositeSize("Maximum composite size", "Paint", "Maximum composite size",
                                                 DisplayCategory("Paint"), 1024, true);

CompositeAllAction s_cCompositeAllAction;

// The self-test node's record comes last of the module's static objects.
varnik::ClassDesc TextureTester::s_cMyClass(varnik::UnitTest::StaticClass(), varnik::UnitTest::StaticClass(),
                                            "TextureTester", "TextureTester", &TextureTester::CreateInstances, 0, 0);

// The crash reporter names the module's operations from the moment it is loaded.
const bool s_bCrashScopesNamed = (CrashScope::RegisterNames(), true);

VarnikTexture::PBOPool VarnikTexture::s_cPBOPool;

GLuint VarnikTexture::PBOPool::Current()
{
    if (m_aBuffers[0] == 0) {
        glGenBuffersARB(4, m_aBuffers);
        m_iNextIndex = 0;
    }
    return m_aBuffers[m_iNextIndex];
}

void VarnikTexture::PBOPool::Release()
{
    if (m_aBuffers[0] == 0)
        return;
    glDeleteBuffers(4, m_aBuffers);
    for (GLuint& iName : m_aBuffers)
        iName = 0;
}

int VarnikTexture::UploadBandHeight(int64_t iRowBytes)
{
    return iRowBytes <= 8192 ? 1024 : iRowBytes <= 16384 ? 512 : 256;
}

int VarnikTexture::ReadbackStripHeight(unsigned int iComponentBytes)
{
    return iComponentBytes == 1 ? 2048 : iComponentBytes == 2 ? 1024 : 512;
}
varnik::AttributeInstance<bool>* VarnikTexture::s_pUsePot = nullptr;
varnik::AttributeInstance<bool>* VarnikTexture::s_pConvertFloat32ToFloat16 = nullptr;
varnik::AttributeInstance<bool>* VarnikTexture::s_pTextureFiltering = nullptr;
int VarnikTexture::s_iTextureCount = 0;
unsigned int VarnikTexture::s_iMaxTextureSize = 0;

// ---------------------------------------------------------------------------
// Registration

void VarnikTexture::InitializePlugin()
{
    varnik::Preferences* pPrefs = varnik::Kernel()->Preferences();
    s_pUsePot = pPrefs->RegisterBoolVariable("Use POT Textures", "Render", tr("Use POT Textures"), tr("Render"), false);
    s_pUsePot->SetVisible(false);
    s_pConvertFloat32ToFloat16 = pPrefs->RegisterBoolVariable(
        "Use Float16 Instead of Float32 Textures", "Render", tr("Use Float16 Instead of Float32 Textures"),
        tr("Render"), false);
    s_pConvertFloat32ToFloat16->SetVisible(false);
    s_pTextureFiltering = pPrefs->RegisterBoolVariable("Use Texture Filtering", "Render", tr("Use Texture Filtering"),
                                                       tr("Render"), true);
    s_pTextureFiltering->SetVisible(true);
    if (!varnik::Kernel::IsTestModeOn()) {
        s_cUseBGRA8Readback.m_pAttribute->SetVisible(false);
        s_cUseGPUForProxies.m_pAttribute->SetVisible(false);
        s_cMaxCompositeSize.m_pAttribute->SetVisible(false);
    }
}

varnik::Node* VarnikTexture::CreateInstances(unsigned int iCount)
{
    return varnik::CreateInstancesOf<VarnikTexture>(iCount);
}

QString VarnikTexture::tr(const char* sText, const char* sDisambiguation, int iCount)
{
    return QCoreApplication::translate("VarnikTexture", sText, sDisambiguation, iCount);
}

QString VarnikTexture::trUtf8(const char* sText, const char* sDisambiguation, int iCount)
{
    return QCoreApplication::translate("VarnikTexture", sText, sDisambiguation, iCount);
}

// ---------------------------------------------------------------------------
// Queued composite entries

VarnikTexture::CompositeEntry::CompositeEntry()
    : m_pSourceImage(VarnikTexture::NewImage()),
      m_cTexture(nullptr, QString()),
      m_cWeights(QStringLiteral("unknown")),
      m_pResultImage(VarnikTexture::NewImage())
{
    m_cTexture.SetNullText(QStringLiteral("NULL"));
}

VarnikTexture::CompositeEntry::~CompositeEntry() = default;

// ---------------------------------------------------------------------------
// Construction and storage

VarnikTexture::VarnikTexture()
{
    // Before the initialiser ran the registered preferences do not exist; keep
    // their defaults rather than dereference null.
    m_bFiltered = s_pTextureFiltering ? s_pTextureFiltering->Value() : true;
    m_bConvertFloat32ToFloat16 = s_pConvertFloat32ToFloat16 ? s_pConvertFloat32ToFloat16->Value() : false;
    ++s_iTextureCount;
}

VarnikTexture::~VarnikTexture()
{
    // Entries refer to this texture: they go first.
    DiscardPendingComposites();
    if (m_iTextureName != 0)
        Free();
    delete m_pBackingImage;
    m_pBackingImage = nullptr;
    delete m_pRenderTarget;
    m_pRenderTarget = nullptr;
    if (--s_iTextureCount == 0)
        s_cPBOPool.Release();
}

Image* VarnikTexture::NewImage()
{
    return varnik::CreateInstanceAs<Image>(Image::StaticClass());
}

void VarnikTexture::DiscardPendingComposites()
{
    while (!m_aPendingComposites.isEmpty())
        delete m_aPendingComposites.takeFirst();
}

unsigned int VarnikTexture::MaxTextureSize()
{
    if (s_iMaxTextureSize == 0) {
        GLint iMax = 0;
        glGetIntegerv(GL_MAX_TEXTURE_SIZE, &iMax);
        // A context that answers nothing sensible still gets a usable limit.
        s_iMaxTextureSize = iMax > 0 ? unsigned(iMax) : 2048u;
    }
    return s_iMaxTextureSize;
}

bool VarnikTexture::LogGLErrors(const char* sOperation, unsigned int iLine)
{
    bool bAny = false;
    // Bounded: a lost context may answer with an error for ever.
    for (int i = 0; i < 16; ++i) {
        const GLenum iError = glGetError();
        if (iError == GL_NO_ERROR)
            break;
        LogGLError(iError, sOperation, iLine);
        bAny = true;
    }
    return bAny;
}

bool VarnikTexture::SetSize(unsigned int iWidth, unsigned int iHeight)
{
    m_iRequestedWidth = iWidth;
    m_iRequestedHeight = iHeight;
    // The process has one context: its extension list is searched once, not at every creation.
    static const bool bNonPowerOfTwo = VarnikRenderTarget::IsExtensionSupported("GL_ARB_texture_non_power_of_two");
    const bool bUsePot = s_pUsePot && s_pUsePot->Value();
    if (bNonPowerOfTwo && !bUsePot) {
        m_iTextureWidth = iWidth;
        m_iTextureHeight = iHeight;
        return false;
    }
    auto fPowerOfTwo = [](unsigned int iSize) {
        int64_t iPot = 1;
        while (iPot < int64_t(int32_t(iSize)))
            iPot <<= 1;
        return unsigned(iPot);
    };
    m_iTextureWidth = fPowerOfTwo(iWidth);
    m_iTextureHeight = fPowerOfTwo(iHeight);
    return m_iTextureWidth != iWidth || m_iTextureHeight != iHeight;
}

void VarnikTexture::Allocate(int64_t iBytes)
{
    varnik::Kernel::ReportVideoMemoryUsage(-m_iReportedVideoMemory);
    m_iReportedVideoMemory = iBytes;
    varnik::Kernel::ReportVideoMemoryUsage(iBytes);
}

void VarnikTexture::Free()
{
    delete m_pRenderTarget;
    m_pRenderTarget = nullptr;
    glDeleteTextures(1, &m_iTextureName);
    varnik::Kernel::ReportVideoMemoryUsage(-m_iReportedVideoMemory);
    m_iTextureName = 0;
    m_iReportedVideoMemory = 0;
}

void VarnikTexture::ApplySampling() const
{
    const GLint iFilter = m_bFiltered ? GL_LINEAR : GL_NEAREST;
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, iFilter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, iFilter);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
}

void VarnikTexture::Create(unsigned int iWidth, unsigned int iHeight, unsigned int iChannels, Image::Format eFormat)
{
    CrashScope cScope(CrashScope::eCreate);
    SetSize(iWidth, iHeight);
    m_eFormat = eFormat;
    m_iChannelCount = iChannels;
    m_iProxyLevel = 0;

    if (!m_bLive) {
        if (!m_pBackingImage)
            m_pBackingImage = NewImage();
        m_pBackingImage->create(iWidth, iHeight, iChannels, eFormat, true, 1);
        m_iLocation = varnik::TexturePool::locationCPU;
        return;
    }
    delete m_pBackingImage;
    m_pBackingImage = nullptr;
    if (m_iTextureName == 0)
        glGenTextures(1, &m_iTextureName);
    glBindTexture(GL_TEXTURE_2D, m_iTextureName);
    ApplySampling();
    // The storage has the size asked for (the texture size may be a power of two
    // above it); sizes GL cannot hold are GL's to refuse, and its error is logged.
    const TextureFormat::Layout cLayout = TextureFormat::Allocation(eFormat, iChannels);
    glTexImage2D(GL_TEXTURE_2D, 0, cLayout.m_iInternalFormat, GLsizei(iWidth), GLsizei(iHeight), 0,
                 cLayout.m_iPixelFormat, cLayout.m_iPixelType, nullptr);
    LogGLErrors("VarnikTexture::Create", __LINE__);
    Allocate(int64_t(cLayout.m_iBytesPerPixel) * int64_t(iWidth) * int64_t(iHeight));
    m_iLocation = varnik::TexturePool::locationGPU;
    if (!m_bLive)
        throw NewError("VarnikTexture::Create", __LINE__)->Format("Non-live texture loaded onto GPU");
}

// ---------------------------------------------------------------------------
// Filled and file-backed creation

namespace {

/// Fills the whole image with one pixel of four components of type T, held in
/// a temporary accounted store.
template <typename T, typename F>
void FillWithColor(Image& cImage, unsigned int iWidth, unsigned int iHeight, const varnik::Color& cColor, F fConvert)
{
    varnik::Store<T> cPixel(QStringLiteral("Pixel Data"), 4);
    cPixel[0] = fConvert(cColor.r);
    cPixel[1] = fConvert(cColor.g);
    cPixel[2] = fConvert(cColor.b);
    cPixel[3] = fConvert(cColor.a);
    cImage.fillTile(0, 0, int(iWidth), int(iHeight), cPixel.Data(), nullptr, nullptr);
}

/// A colour component as a byte: clamped to [0, 1], then rounded.
uint8_t ColorByte(float x)
{
    if (x < 0.f)
        return 0;
    if (x > 1.f)
        return 255;
    return uint8_t(x * 255.f + 0.5f);
}

} // namespace

void VarnikTexture::Create(unsigned int iWidth, unsigned int iHeight, unsigned int iChannels, Image::Format eFormat,
                           const varnik::Color& cColor)
{
    CrashScope cScope(CrashScope::eCreateWithColour);
    Create(iWidth, iHeight, iChannels, eFormat);
    if (m_bLive) {
        // One clear of the attached texture: no pixels cross the bus.
        SetAsRenderTarget();
        glPushAttrib(GL_ENABLE_BIT);
        glClearColor(cColor.r, cColor.g, cColor.b, cColor.a);
        glDisable(GL_BLEND);
        glDisable(GL_SCISSOR_TEST);  // the whole texture, whatever box the caller set
        glClear(GL_COLOR_BUFFER_BIT);
        glClearColor(0.f, 0.f, 0.f, 0.f);
        glPopAttrib();
        RestoreRenderTarget();
        if (m_pRenderTarget) {
            const bool bDepth = Format() == Image::e16depth || Format() == Image::e24depth ||
                                Format() == Image::e32depth;
            m_pRenderTarget->RemoveTarget(bDepth ? 4 : 0);
            delete m_pRenderTarget;
            m_pRenderTarget = nullptr;
        }
        return;
    }
    switch (eFormat) {
    case Image::e8integer:
        FillWithColor<uint8_t>(*m_pBackingImage, iWidth, iHeight, cColor, ColorByte);
        break;
    case Image::e16float:
        FillWithColor<varnik::half_>(*m_pBackingImage, iWidth, iHeight, cColor, [](float x) { return varnik::half_(x); });
        break;
    case Image::e32float:
        FillWithColor<float>(*m_pBackingImage, iWidth, iHeight, cColor, [](float x) { return x; });
        break;
    default:
        break;  // no pixel layout of its own: left as created
    }
}

bool VarnikTexture::CreateFromFile(const QString& sFile, unsigned int iChannels, Image::Format eFormat)
{
    CrashScope cScope(CrashScope::eCreateFromFile);
    try {
        // A fresh backing image is kept only once the file has loaded, so that a
        // failed load leaves the texture as it was.
        std::unique_ptr<Image> pFresh(m_pBackingImage ? nullptr : NewImage());
        Image* pLoaded = m_pBackingImage ? m_pBackingImage : pFresh.get();
        pLoaded->Load(sFile, 0, true);
        if (pFresh)
            m_pBackingImage = pFresh.release();

        const bool bOtherChannels = iChannels != 0 && iChannels != m_pBackingImage->ChannelCount();
        const bool bOtherFormat = eFormat != Image::eNoFormat && eFormat != m_pBackingImage->format();
        if (bOtherChannels || bOtherFormat) {
            std::unique_ptr<Image> pConverted(NewImage());
            pConverted->create(m_pBackingImage->Width(), m_pBackingImage->Height(), iChannels, eFormat, true, 1);
            pConverted->ConvertFrom(*m_pBackingImage);
            delete m_pBackingImage;
            m_pBackingImage = pConverted.release();
        }
        if (m_pBackingImage->ChannelCount() == 1 || m_pBackingImage->ChannelCount() == 3) {
            varnik::Kernel::Log("Attempting to load 1 or 3 channel texture, converting to 4 channel.\n");
            std::unique_ptr<Image> pFour(NewImage());
            pFour->create(m_pBackingImage->Width(), m_pBackingImage->Height(), 4, m_pBackingImage->format(), true, 1);
            pFour->ConvertFrom(*m_pBackingImage);
            delete m_pBackingImage;
            m_pBackingImage = pFour.release();
        }
        {
            CrashScope cSizeScope(CrashScope::eTextureSizeCheck);
            const unsigned int iMax = MaxTextureSize();
            const unsigned int iW = m_pBackingImage->Width(), iH = m_pBackingImage->Height();
            if (iW > iMax || iH > iMax) {
                // Warned, not refused: whether the GPU takes it is up to the driver.
                varnik::Kernel::Log("Attempting to load a texture that exceeds graphics hardware's texture size "
                                    "limitations.");
                varnik::Kernel::Interface()->MessageBox(
                    1, QObject::tr("Warning"),
                    QObject::tr("The target image size you have selected (%1 x %2) is too large for the graphics "
                                "hardware on your machine. Please select a size of %3 x %3 or smaller.")
                        .arg(iW).arg(iH).arg(int(iMax)),
                    0, 0);
            }
        }
        if (!m_pBackingImage->Keep()) {
            // Keep() false: nothing but the pixels; copied into a plain image of its own.
            std::unique_ptr<Image> pCopy(NewImage());
            pCopy->create(m_pBackingImage->Width(), m_pBackingImage->Height(), m_pBackingImage->ChannelCount(),
                          m_pBackingImage->format(), true, 1);
            pCopy->CopyRect(*m_pBackingImage, m_pBackingImage->getBounds(), 0, 0);
            delete m_pBackingImage;
            m_pBackingImage = pCopy.release();
        }
        // Proxy images down to level 4 are prepared now, so that later level
        // changes find them.
        const unsigned char iLevel = static_cast<unsigned char>(m_iProxyLevel);
        m_pBackingImage->setProxyLevel(4);
        m_pBackingImage->getProxyImage();
        m_pBackingImage->setProxyLevel(iLevel);
        if (m_bLive) {
            setProxyLevel(iLevel, false);
            CopyFrom(m_pBackingImage->getProxyImage(), nullptr);
        } else {
            m_iLocation = varnik::TexturePool::locationCPU;
            m_iTextureWidth = m_pBackingImage->Width();
            m_iTextureHeight = m_pBackingImage->Height();
            m_iChannelCount = m_pBackingImage->ChannelCount();
            m_eFormat = m_pBackingImage->format();
        }
        m_bBackingImageStale = false;
        m_pBackingImage->ClearDirty();
        return true;
    } catch (varnik::Error* pError) {
        varnik::Kernel::Log(QString("VarnikTexture::CreateFromFile -- cannot load \"%1\": ").arg(sFile));
        pError->Report();
        varnik::Error::Discard(pError);
    } catch (const std::bad_alloc&) {
        varnik::Kernel::Log(QString("VarnikTexture::CreateFromFile -- cannot load \"%1\": out of memory\n").arg(sFile));
    }
    return false;
}

void VarnikTexture::Serialize(varnik::Stream& s)
{
    // Members only: reading neither moves nor uploads anything.
    if (s.IsAtLeast(362)) {
        uint8_t iLive = m_bLive ? 1 : 0;
        if (s.IsStoring()) {
            s.Write(&iLive, 1);
        } else {
            s.Read(&iLive, 1);
            m_bLive = iLive != 0;
        }
    }
    if (s.ClassVersion(&s_cMyClass) > 0) {
        uint32_t iLevel = m_iProxyLevel;
        if (s.IsStoring()) {
            s.Write(&iLevel, 4);
        } else {
            s.Read(&iLevel, 4);
            // A damaged record cannot make a level the texture has no proxies for.
            m_iProxyLevel = std::min<uint32_t>(iLevel, 4);
        }
    }
}

// ---------------------------------------------------------------------------
// Accessors

unsigned int VarnikTexture::Width() const
{
    if (m_iLocation == varnik::TexturePool::locationCPU && m_pBackingImage)
        return m_pBackingImage->Width();
    return m_iTextureWidth << m_iProxyLevel;
}

unsigned int VarnikTexture::Height() const
{
    if (m_iLocation == varnik::TexturePool::locationCPU && m_pBackingImage)
        return m_pBackingImage->Height();
    return m_iTextureHeight << m_iProxyLevel;
}

unsigned int VarnikTexture::BitDepth() const { return varnik::Texture::BitDepth(m_eFormat); }

Image::Format VarnikTexture::Format() const { return m_pBackingImage ? m_pBackingImage->format() : m_eFormat; }

unsigned int VarnikTexture::ChannelCount() const { return m_iChannelCount; }

bool VarnikTexture::Activate() const
{
    CrashScope cScope(CrashScope::eActivate);
    if (m_iTextureName != 0)
        glBindTexture(GL_TEXTURE_2D, m_iTextureName);
    return m_iTextureName != 0;
}

bool VarnikTexture::Deactivate() const { return true; }

unsigned int VarnikTexture::OpenGLName() const { return m_iTextureName; }

varnik::AttributeInstance<bool>* VarnikTexture::getFilteringPref() const { return s_pTextureFiltering; }

void VarnikTexture::SetFiltered(bool bFiltered) { m_bFiltered = bFiltered; }

void VarnikTexture::SetConvert32To16bitFloat(bool bConvert) { m_bConvertFloat32ToFloat16 = bConvert; }

unsigned int VarnikTexture::Location() const { return m_iLocation; }

bool VarnikTexture::IsLive() const { return m_bLive; }

// ---------------------------------------------------------------------------
// Drawing into the texture

bool VarnikTexture::SetAsRenderTarget()
{
    CrashScope cScope(CrashScope::eSetAsRenderTarget);
    if (!m_pRenderTarget) {
        const int iSlot = TextureFormat::RenderTargetSlot(Format());
        if (iSlot < 0)
            throw new varnik::Error("Unknown image format", 4);
        m_pRenderTarget = varnik::CreateInstanceAs<varnik::RenderTarget>(varnik::RenderTarget::StaticClass());
        m_pRenderTarget->SetTarget(this, iSlot);
    }
    m_pRenderTarget->Activate();
    glViewport(0, 0, GLsizei(m_iRequestedWidth), GLsizei(m_iRequestedHeight));
    return true;
}

bool VarnikTexture::RestoreRenderTarget()
{
    CrashScope cScope(CrashScope::eRestoreRenderTarget);
    if (m_pRenderTarget)
        m_pRenderTarget->Deactivate();
    return true;
}

// ---------------------------------------------------------------------------
// Upload

void VarnikTexture::CopyFrom(Image* pImage, const ImgTile* pTile)
{
    CrashScope cScope(CrashScope::eCopyFrom);
    static const char* const s_sOperation = "VarnikTexture::CopyFrom";
    if (!pImage || !pImage->HasData())
        throw NewError(s_sOperation, __LINE__)->Format("VarnikTexture::CopyFrom -- Image has no associated data");

    unsigned int iChannels = pImage->ChannelCount();
    if (iChannels != 2 && iChannels != 4) {
        pImage->NormalizeChannels();
        iChannels = pImage->ChannelCount();
        if (iChannels != 2 && iChannels != 4)
            throw NewError(s_sOperation, __LINE__)
                ->Format("VarnikTexture::CopyFrom -- Image is %1 channels. Images must be 2 or 4 channels.",
                         int(iChannels));
    }
    const Image::Format eFormat = pImage->format();
    TextureFormat::Layout cLayout;
    if (!TextureFormat::Upload(eFormat, iChannels, m_bConvertFloat32ToFloat16, pImage->Descriptor().m_eOrder,
                               cLayout)) {
        // GL has no layout for these pixels: nothing is sent, the texture stays as it was.
        varnik::Kernel::Log(
            QString("VarnikTexture::CopyFrom -- Images of format %1 cannot be uploaded to a texture.\n").arg(int(eFormat)));
        return;
    }
    const unsigned int iWidth = pImage->Width();
    const unsigned int iHeight = pImage->Height();
    if (m_iTextureName != 0 && (m_iTextureWidth != iWidth || m_iTextureHeight != iHeight || m_eFormat != eFormat ||
                                m_iChannelCount != iChannels))
        Free();
    const bool bNewStorage = m_iTextureName == 0;
    if (bNewStorage)
        glGenTextures(1, &m_iTextureName);
    glBindTexture(GL_TEXTURE_2D, m_iTextureName);
    {
        const ScopedPixelStore cPixelStore;
        glPixelStorei(GL_UNPACK_ALIGNMENT, cLayout.m_iAlignment);
        // Rows in the buffers are packed: no row length or skips from whoever set them before.
        glPixelStorei(GL_UNPACK_ROW_LENGTH, 0);
        glPixelStorei(GL_UNPACK_SKIP_ROWS, 0);
        glPixelStorei(GL_UNPACK_SKIP_PIXELS, 0);
        ApplySampling();
        // No buffer of the caller may feed the allocation below.
        const ScopedBufferBinding cUnpackBuffer(GL_PIXEL_UNPACK_BUFFER, 0);
        if (bNewStorage) {
            // An image larger than GL can hold goes to GL as it is; its error is logged.
            glTexImage2D(GL_TEXTURE_2D, 0, cLayout.m_iInternalFormat, GLsizei(iWidth), GLsizei(iHeight), 0,
                         cLayout.m_iPixelFormat, cLayout.m_iPixelType, nullptr);
            Allocate(int64_t(iHeight) * int64_t(iWidth) * int64_t(cLayout.m_iBytesPerPixel));
        }
        const ImgTile cBounds = pImage->getBounds();
        UploadBands(pImage, pTile ? ImgTile(cBounds, *pTile) : cBounds, cLayout);
        LogGLErrors(s_sOperation, __LINE__);
    }
    m_iTextureWidth = m_iRequestedWidth = iWidth;
    m_iTextureHeight = m_iRequestedHeight = iHeight;
    m_eFormat = eFormat;
    m_iLocation = varnik::TexturePool::locationGPU;
    if (!m_bLive)
        throw NewError(s_sOperation, __LINE__)->Format("Non-live texture loaded onto GPU");
    m_iChannelCount = iChannels;
}

void VarnikTexture::UploadBands(Image* pImage, const ImgTile& cRegion, const TextureFormat::Layout& cLayout)
{
    const int64_t iWidth = std::max(cRegion.nx, 0);
    const int64_t iSourceRowBytes =
        int64_t(varnik::PixelDescriptor::BytesPerChannel(pImage->Descriptor().m_eChannelType)) *
        int64_t(pImage->ChannelCount()) * iWidth;
    const int64_t iDestRowBytes = iWidth * int64_t(cLayout.m_iBytesPerPixel);
    if (iSourceRowBytes != iDestRowBytes)
        varnik::Kernel::Log(QString("Texture::CopyFrom -- needsConversion is false, but r != r2!!! (r, r2) %1, %2\n")
                                .arg(iSourceRowBytes)
                                .arg(iDestRowBytes));
    if (cRegion.isEmpty())
        return;
    const int iBandHeight = std::min(UploadBandHeight(iSourceRowBytes), cRegion.ny);
    // The image writes its own row size; a buffer sized for the larger of the two never overflows.
    const int64_t iBufferRowBytes = std::max(iSourceRowBytes, iDestRowBytes);
    for (int y0 = 0; y0 < cRegion.ny; y0 += iBandHeight) {
        const int iRows = std::min(iBandHeight, cRegion.ny - y0);
        glBindBufferARB(GL_PIXEL_UNPACK_BUFFER, s_cPBOPool.Current());
        glBufferDataARB(GL_PIXEL_UNPACK_BUFFER, GLsizeiptrARB(int64_t(iRows) * iBufferRowBytes), nullptr,
                        GL_STREAM_DRAW);
        void* pMapped = glMapBuffer(GL_PIXEL_UNPACK_BUFFER, GL_WRITE_ONLY);
        if (!pMapped)
            continue;  // the band is lost; the next one tries the same buffer again
        pImage->getTile(cRegion.x, cRegion.y + y0, cRegion.nx, iRows, pMapped, nullptr);
        glUnmapBuffer(GL_PIXEL_UNPACK_BUFFER);
        glTexSubImage2D(GL_TEXTURE_2D, 0, cRegion.x, cRegion.y + y0, cRegion.nx, iRows, cLayout.m_iPixelFormat,
                        cLayout.m_iPixelType, nullptr);
        s_cPBOPool.Advance();
    }
}

void VarnikTexture::ReplaceWith(Image* pImage, const ImgTile* pTile)
{
    CrashScope cScope(CrashScope::eReplaceWith);
    if (!pImage || !pImage->HasData())
        throw NewError("VarnikTexture::ReplaceWith", __LINE__)
            ->Format("VarnikTexture::ReplaceWith -- Image has no associated data");
    if (m_iLocation == varnik::TexturePool::locationGPU) {
        // The content goes on to the GPU: refuse what the upload cannot take before touching anything.
        TextureFormat::Layout cLayout;
        unsigned int iChannels = pImage->ChannelCount();
        if (iChannels == 1 || iChannels == 3)
            iChannels += 1;  // the upload normalises these
        if (!TextureFormat::Upload(pImage->format(), iChannels, false, varnik::PixelDescriptor::eRGBA, cLayout))
            throw NewError("VarnikTexture::ReplaceWith", __LINE__)
                ->Format("VarnikTexture::ReplaceWith -- Images of format %1 and %2 channels cannot be uploaded to "
                         "a texture.",
                         int(pImage->format()), int(pImage->ChannelCount()));
    }

    if (m_pBackingImage && !m_pBackingImage->Keep()) {
        delete m_pBackingImage;
        m_pBackingImage = nullptr;
    }
    const ImgTile cRegion = pTile ? *pTile : pImage->getBounds();
    if (!m_pBackingImage) {
        std::unique_ptr<Image> pBacking(NewImage());
        pBacking->create(pImage->Width(), pImage->Height(), pImage->ChannelCount(), pImage->format(), true, 1);
        pBacking->CopyRect(*pImage, cRegion, cRegion.x, cRegion.y);
        pBacking->setProxyLevel(static_cast<unsigned char>(m_iProxyLevel));
        m_pBackingImage = pBacking.release();
        if (m_iLocation == 0)
            m_iLocation = varnik::TexturePool::locationCPU;
    } else {
        m_pBackingImage->CopyRect(*pImage, cRegion, cRegion.x, cRegion.y);
    }
    m_pBackingImage->clearProxyImages();
    DiscardPendingComposites();
    if (m_iLocation == varnik::TexturePool::locationGPU)
        CopyFrom(m_pBackingImage->getProxyImage(), nullptr);
}

// ---------------------------------------------------------------------------
// Readback

void VarnikTexture::LogFramebufferStatus(GLenum iStatus, unsigned int iLine)
{
    const QString sMessage = FrameBufferObject::StatusMessage(iStatus, QString(" (at line %1)").arg(iLine));
    if (!sMessage.isEmpty())
        varnik::Kernel::Log(QStringLiteral("Texture: ") + sMessage);
}

GLenum VarnikTexture::CheckFramebufferStatus(unsigned int iLine)
{
    GLenum iStatus = glCheckFramebufferStatusEXT(GL_FRAMEBUFFER);
    LogFramebufferStatus(iStatus, iLine);
    return iStatus;
}

void VarnikTexture::LogGLError(GLenum iError, const char* sOperation, unsigned int iLine)
{
    const GLubyte* sText = gluErrorString(iError);
    varnik::Kernel::Log(QString::asprintf("gl error: %s in %s (file %s, line %u)\n",
                                          sText ? reinterpret_cast<const char*>(sText) : "unknown error", sOperation,
                                          s_sSourceFile, iLine));
}

void VarnikTexture::SwapRedBlue(const uint8_t* pSource, uint8_t* pDest, size_t iPixels)
{
    size_t i = 0;
#if defined(__SSE2__)
    if ((reinterpret_cast<uintptr_t>(pSource) & 15) == 0 && (reinterpret_cast<uintptr_t>(pDest) & 15) == 0) {
        // Four pixels a step: keep bytes 1 and 3, move byte 0 up to 2 and byte 2 down to 0.
        const __m128i cKeep = _mm_set1_epi32(int(0xFF00FF00u));
        const __m128i cLow = _mm_set1_epi32(0x000000FF);
        for (; i + 4 <= iPixels; i += 4) {
            const uint8_t* pNext = pSource + i * 4 + 16;
            _mm_prefetch(reinterpret_cast<const char*>(pNext), _MM_HINT_NTA);
            __m128i v = _mm_load_si128(reinterpret_cast<const __m128i*>(pSource + i * 4));
            __m128i cOut = _mm_or_si128(_mm_and_si128(v, cKeep),
                                        _mm_or_si128(_mm_slli_epi32(_mm_and_si128(v, cLow), 16),
                                                     _mm_and_si128(_mm_srli_epi32(v, 16), cLow)));
            _mm_store_si128(reinterpret_cast<__m128i*>(pDest + i * 4), cOut);
        }
    }
#endif
    for (; i < iPixels; ++i) {
        const uint8_t* s = pSource + i * 4;
        uint8_t* d = pDest + i * 4;
        const uint8_t b = s[0], g = s[1], r = s[2], a = s[3];
        d[0] = r;
        d[1] = g;
        d[2] = b;
        d[3] = a;
    }
}

void VarnikTexture::CopyTo(Image* pImage, bool bFlag, const ImgTile* pTile,
                           varnik::PixelDescriptor::MemoryChannelOrder eOrder)
{
    CrashScope cScope(CrashScope::eCopyTo);
    Update();
    if (m_iLocation == 0)
        throw NewError("VarnikTexture::CopyTo", __LINE__)
            ->Format("VarnikTexture::CopyTo Called on a texture with an unknown location!");
    if (!pImage)
        throw NewError("VarnikTexture::CopyTo", __LINE__)->Format("VarnikTexture::CopyTo -- No destination image");
    if (m_pBackingImage) {
        SynchronizeBackingImageFromGLTexture(false);
        const ImgTile cBounds = m_pBackingImage->getBounds();
        const ImgTile cRegion(pTile ? *pTile : cBounds, cBounds);
        pImage->create(m_pBackingImage->Width(), m_pBackingImage->Height(), m_pBackingImage->ChannelCount(),
                       m_pBackingImage->format(), bFlag, 1);
        if (!cRegion.isEmpty())
            pImage->CopyRect(*m_pBackingImage, cRegion, cRegion.x, cRegion.y);
        return;
    }
    if (m_iProxyLevel != 0)
        throw NewError("VarnikTexture::CopyTo", __LINE__)
            ->Format("VarnikTexture::CopyTo Called on a proxied texture!");
    if (m_iTextureName != 0) {
        CopyGLTextureToImage(pImage, bFlag, pTile, eOrder);
        return;
    }
    throw NewError("VarnikTexture::CopyTo", __LINE__)
        ->Format("VarnikTexture::CopyTo Called on a texture with no texture ID!");
}

void VarnikTexture::CopyGLTextureToImage(Image* pImage, bool bFlag, const ImgTile* pTile,
                                         varnik::PixelDescriptor::MemoryChannelOrder) const
{
    // Every path hands the image its rows in its own channel order, so the order asked for changes nothing.
    CrashScope cScope(CrashScope::eCopyGLTextureToImage);
    if (m_iProxyLevel != 0)
        throw NewError(s_sReadOperation, __LINE__)
            ->Format("VarnikTexture::CopyGLTextureToImage Called on a proxied texture!");
    if (m_iLocation != varnik::TexturePool::locationGPU || m_iTextureName == 0)
        throw NewError(s_sReadOperation, __LINE__)
            ->Format("VarnikTexture::CopyGLTextureToImage Called on texture not currently on the GPU");
    if (!pImage)
        throw NewError(s_sReadOperation, __LINE__)
            ->Format("VarnikTexture::CopyGLTextureToImage -- No destination image");
    if (pTile && *pTile == pImage->getBounds())
        pTile = nullptr;

    // The image is made before any GL state is touched: one that refuses the
    // shape leaves nothing to put back.
    const TextureFormat::Layout cLayout = PrepareReadDestination(pImage, bFlag);
    const ImgTile cBounds = pImage->getBounds();
    const ImgTile cRegion = pTile ? ImgTile(*pTile, cBounds) : cBounds;
    // Rows of another component count than the image's (three channels read as RGBA) are converted by it.
    const varnik::PixelDescriptor cReadRows(cLayout.m_iComponents, Image::ChannelTypeOf(pImage->format()));
    const varnik::PixelDescriptor* pConvertFrom = cLayout.m_iComponents != pImage->ChannelCount() ? &cReadRows : nullptr;

    const ScratchFramebuffer cFramebuffer;
    glBindTexture(GL_TEXTURE_2D, m_iTextureName);
    const bool bStrips = AttachForReading() && m_iRequestedWidth >= 128 && m_iRequestedHeight >= 128;
    glFlush();
    const ScopedPixelStore cPixelStore;
    glPixelStorei(GL_PACK_ALIGNMENT, cLayout.m_iAlignment);
    glPixelStorei(GL_PACK_SKIP_ROWS, 0);
    glPixelStorei(GL_PACK_SKIP_PIXELS, 0);
    glPixelStorei(GL_PACK_ROW_LENGTH, 0);
    // Readback never writes into a pack buffer of the caller.
    const ScopedBufferBinding cPackBuffer(GL_PIXEL_PACK_BUFFER, 0);
    if (cRegion.isEmpty())
        return;
    if (!bStrips || !ReadStrips(pImage, cRegion, cLayout, pConvertFrom))
        ReadWholeLevel(pImage, cRegion, cLayout, pConvertFrom);
}

TextureFormat::Layout VarnikTexture::PrepareReadDestination(Image* pImage, bool bFlag) const
{
    TextureFormat::Layout cLayout;
    unsigned int iImageChannels = m_iChannelCount;
    Image::Format eImageFormat = m_eFormat;
    if (!TextureFormat::Readback(m_eFormat, m_iChannelCount, cLayout, iImageChannels, eImageFormat)) {
        // The destination is re-created as asked even though nothing can be read into it.
        try {
            pImage->create(m_iRequestedWidth, m_iRequestedHeight, m_iChannelCount, m_eFormat, bFlag, 1);
        } catch (varnik::Error* pError) {
            varnik::Error::Discard(pError);
        }
        throw NewError(s_sReadOperation, __LINE__)->Format("Bad Pixel type in VarnikTexture::copyTo");
    }
    // The GL storage is read whole: its size is the one asked for, not a power of two above it.
    pImage->create(m_iRequestedWidth, m_iRequestedHeight, iImageChannels, eImageFormat, bFlag, 1);
    return cLayout;
}

bool VarnikTexture::AttachForReading() const
{
    // An error already pending, or one from the attachment, sends the read to the whole-level path;
    // an incomplete framebuffer is logged and still read in strips.
    if (glGetError() != GL_NO_ERROR)
        return false;
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, m_iTextureName, 0);
    if (glGetError() != GL_NO_ERROR)
        return false;
    return CheckFramebufferStatus(__LINE__) != GL_FRAMEBUFFER_UNSUPPORTED;
}

bool VarnikTexture::ReadStrips(Image* pImage, const ImgTile& cRegion, const TextureFormat::Layout& cLayout,
                               const varnik::PixelDescriptor* pConvertFrom) const
{
    const unsigned int iComponentBytes = cLayout.m_iComponentBytes;
    const int iStripHeight = std::min(ReadbackStripHeight(iComponentBytes), cRegion.ny);
    const int64_t iRowBytes = int64_t(cRegion.nx) * int64_t(cLayout.m_iBytesPerPixel);
    LogGLErrors(s_sReadOperation, __LINE__);

    // One pack buffer for all strips; deleting it at the end also unbinds it.
    struct PackBuffer
    {
        PackBuffer() { glGenBuffers(1, &m_iName); }
        ~PackBuffer() { glDeleteBuffers(1, &m_iName); }
        GLuint m_iName = 0;
    } cBuffer;
    glBindBuffer(GL_PIXEL_PACK_BUFFER, cBuffer.m_iName);
    glBufferData(GL_PIXEL_PACK_BUFFER, GLsizeiptr(iRowBytes * iStripHeight), nullptr, GL_STREAM_READ);
    const GLenum iError = glGetError();
    if (iError != GL_NO_ERROR || cBuffer.m_iName == 0) {
        LogGLError(iError, s_sReadOperation, __LINE__);
        glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
        return false;
    }
    // With "Use BGRA8 Texture readback" 8-bit RGBA strips are read as BGRA and swapped on the CPU.
    std::unique_ptr<uint8_t, decltype(&std::free)> pStaging(nullptr, &std::free);
    GLenum iStripFormat = cLayout.m_iPixelFormat;
    if (s_cUseBGRA8Readback && cLayout.m_iPixelType == GL_UNSIGNED_BYTE && cLayout.m_iComponents == 4) {
        const size_t iBytes = (size_t(cRegion.nx) * size_t(iStripHeight) * 4 + 15) & ~size_t(15);
        pStaging.reset(static_cast<uint8_t*>(std::aligned_alloc(16, iBytes)));
        if (pStaging)
            iStripFormat = GL_BGRA;
    }
    for (int y = cRegion.y; y < cRegion.y + cRegion.ny; y += iStripHeight) {
        const int iRows = std::min(iStripHeight, cRegion.y + cRegion.ny - y);
        {
            CrashScope cReadScope(CrashScope::eReadPixels);
            glReadPixels(cRegion.x, y, cRegion.nx, iRows, iStripFormat, cLayout.m_iPixelType, nullptr);
        }
        // The strips differ only in their rows: a read GL refuses is refused on the first one.
        if (y == cRegion.y && LogGLErrors(s_sReadOperation, __LINE__))
            return false;
        const void* pMapped = glMapBuffer(GL_PIXEL_PACK_BUFFER, GL_READ_ONLY);
        if (!pMapped)
            return false;
        const void* pRows = pMapped;
        if (pStaging) {
            SwapRedBlue(static_cast<const uint8_t*>(pMapped), pStaging.get(), size_t(cRegion.nx) * size_t(iRows));
            pRows = pStaging.get();
        }
        pImage->setTile(cRegion.x, y, cRegion.nx, iRows, pRows, pConvertFrom);
        glUnmapBuffer(GL_PIXEL_PACK_BUFFER);
    }
    return true;
}

void VarnikTexture::ReadWholeLevel(Image* pImage, const ImgTile& cRegion, const TextureFormat::Layout& cLayout,
                                   const varnik::PixelDescriptor* pConvertFrom) const
{
    // RGBA whatever the BGRA preference says, so that both paths give R, G, B, A.
    void* pDirect = pConvertFrom ? nullptr : pImage->DirectAccess();
    if (pDirect) {
        glGetTexImage(GL_TEXTURE_2D, 0, cLayout.m_iPixelFormat, cLayout.m_iPixelType, pDirect);
    } else {
        const size_t iPixelBytes = cLayout.m_iBytesPerPixel;
        const size_t iWhole = size_t(m_iRequestedWidth) * m_iRequestedHeight * iPixelBytes;
        std::unique_ptr<uint8_t, decltype(&std::free)> pWhole(
            static_cast<uint8_t*>(std::malloc(std::max<size_t>(iWhole, 1))), &std::free);
        if (!pWhole)
            throw NewError(s_sReadOperation, __LINE__)->Format("Insufficient memory to complete operation\n");
        glGetTexImage(GL_TEXTURE_2D, 0, cLayout.m_iPixelFormat, cLayout.m_iPixelType, pWhole.get());
        if (!pConvertFrom) {
            pImage->copyTile(ImgTile(0, 0, int32_t(m_iRequestedWidth), int32_t(m_iRequestedHeight)), pWhole.get(),
                             cRegion);
        } else {
            for (int y = cRegion.y; y < cRegion.y + cRegion.ny; ++y)
                pImage->setTile(cRegion.x, y, cRegion.nx, 1,
                                pWhole.get() + (size_t(y) * m_iRequestedWidth + size_t(cRegion.x)) * iPixelBytes,
                                pConvertFrom);
        }
    }
    // Depth textures read as colour are refused by some drivers; that leaves the image unfilled.
    LogGLErrors(s_sReadOperation, __LINE__);
}

void VarnikTexture::SynchronizeBackingImageFromGLTexture(bool bWhole)
{
    CrashScope cScope(CrashScope::eSynchronizeBackingImage);
    if (!m_pBackingImage) {
        if (m_iLocation != varnik::TexturePool::locationGPU)
            return;
        m_pBackingImage = NewImage();
        bWhole = true;
    }
    if (m_iLocation != varnik::TexturePool::locationGPU)
        return;
    if (getProxyLevel() != 0) {
        varnik::Kernel::Log("VarnikTexture::SynchronizeBackingImageFromGLTexture -- WARNING: Proxy level not 0. "
                            "Readback Skipped.\n");
    } else {
        m_pBackingImage->clearProxyImages();
        if (bWhole) {
            const ImgTile cBounds = m_pBackingImage->getBounds();
            CopyGLTextureToImage(m_pBackingImage, true, &cBounds, varnik::PixelDescriptor::eRGBA);
        } else if (m_cDirtyRegion.BoundingBox().nx >= 1 && m_cDirtyRegion.BoundingBox().ny >= 1) {
            // Copy the list: the read may not change it, but it is cached state of the region.
            const std::vector<ImgTile> aTiles = m_cDirtyRegion.DirtyTiles();
            for (const ImgTile& cTile : aTiles)
                CopyGLTextureToImage(m_pBackingImage, true, &cTile, varnik::PixelDescriptor::eRGBA);
        }
    }
    ResetDirtyTile();
}

const Image* VarnikTexture::AsImage()
{
    CrashScope cScope(CrashScope::eAsImage);
    Update();
    if (m_pBackingImage && !m_bBackingImageStale)
        return m_pBackingImage;
    SetLocation(varnik::TexturePool::locationCPU);
    return m_pBackingImage;
}

// ---------------------------------------------------------------------------
// Location, live state, proxies

void VarnikTexture::SetLocation(unsigned int iLocation)
{
    CrashScope cScope(CrashScope::eSetLocation);
    if (!m_bLive || m_iLocation == 0)
        return;
    if (iLocation == m_iLocation && (iLocation == varnik::TexturePool::locationGPU ||
                                     iLocation == varnik::TexturePool::locationCPU))
        return;
    if (iLocation == varnik::TexturePool::locationGPU) {
        Update();
        // Without a backing image there is no content to move.
        if (!m_pBackingImage)
            return;
        CopyFrom(m_pBackingImage->getProxyImage(), nullptr);
        m_bBackingImageStale = false;
        if (!m_pBackingImage->Keep()) {
            delete m_pBackingImage;
            m_pBackingImage = nullptr;
        }
        m_bCompositingAttachment = false;
    } else if (iLocation == varnik::TexturePool::locationCPU) {
        if (!m_pBackingImage || m_bBackingImageStale) {
            SynchronizeBackingImageFromGLTexture(false);
            m_bBackingImageStale = false;
            ResetDirtyTile();
        }
        if (m_iTextureName != 0)
            Free();
    }
    m_iLocation = iLocation;
}

void VarnikTexture::SetLive(bool bLive)
{
    CrashScope cScope(CrashScope::eSetLive);
    if (bLive == m_bLive)
        return;
    Update();
    m_bLive = bLive;
}

unsigned char VarnikTexture::getProxyLevel() const
{
    return m_pBackingImage ? m_pBackingImage->getProxyLevel() : static_cast<unsigned char>(m_iProxyLevel);
}

bool VarnikTexture::setProxyLevel(unsigned char iLevel, bool bBounded)
{
    CrashScope cScope(CrashScope::eSetProxyLevel);
    const unsigned int iNew = std::min<unsigned int>(iLevel, 4);
    const unsigned int iCurrent = getProxyLevel();
    // No level may bring a side of the full-size texture below 2 texels.
    if (m_iTextureWidth > 0 && ((m_iTextureWidth << iCurrent) >> iNew) < 2)
        return false;
    if (m_iTextureHeight > 0 && ((m_iTextureHeight << iCurrent) >> iNew) < 2)
        return false;

    if (!m_pBackingImage) {
        KeepFullResolutionImage();
        if (!m_pBackingImage) {
            m_iProxyLevel = iNew;
            return true;
        }
    }
    if (iCurrent != iNew) {
        const bool bReduceOnGPU =
            s_cUseGPUForProxies && m_bLive && iCurrent < iNew && m_iLocation == varnik::TexturePool::locationGPU;
        if (bReduceOnGPU) {
            ReduceOnGPU(iNew);
        } else {
            if (!bBounded)
                Update();
            else if (!DrainPendingCompositesForAWhile())
                return false;
            m_pBackingImage->setProxyLevel(static_cast<unsigned char>(iNew));
            if (Location() == varnik::TexturePool::locationGPU) {
                if (Image* pProxy = m_pBackingImage->getProxyImage())
                    CopyFrom(pProxy, nullptr);
            }
        }
    }
    if (m_iLocation == varnik::TexturePool::locationGPU && iNew == 0 && iCurrent > 0 && !m_bCompositingAttachment &&
        m_iTextureWidth >= 2048 && m_iTextureHeight >= 2048)
        AttachToCompositingFramebuffer();
    if (iNew != 0)
        m_bCompositingAttachment = false;
    m_iProxyLevel = iNew;
    return true;
}

void VarnikTexture::KeepFullResolutionImage()
{
    if (m_iTextureName == 0 || m_iLocation != varnik::TexturePool::locationGPU || m_iProxyLevel != 0)
        return;
    m_pBackingImage = NewImage();
    const ImgTile cStorage(0, 0, int32_t(m_iRequestedWidth), int32_t(m_iRequestedHeight));
    CopyGLTextureToImage(m_pBackingImage, true, &cStorage, varnik::PixelDescriptor::eRGBA);
    ResetDirtyTile();
    m_bBackingImageStale = false;
    m_pBackingImage->ClearDirty();
    varnik::Kernel::Log("Creating dummy images");
}

void VarnikTexture::ReduceOnGPU(unsigned int iLevel)
{
    const unsigned int iReducedWidth = m_pBackingImage->Width() >> iLevel;
    const unsigned int iReducedHeight = m_pBackingImage->Height() >> iLevel;
    std::unique_ptr<VarnikTexture> pReduced(varnik::CreateInstanceAs<VarnikTexture>(&s_cMyClass));
    pReduced->Create(iReducedWidth, iReducedHeight, ChannelCount(), Format());
    varnik::Texture::CopyTo(*pReduced);

    // The reduced storage becomes this texture's; the former one leaves with the
    // temporary texture, whose destruction deletes it and reports its memory back.
    std::swap(m_iTextureName, pReduced->m_iTextureName);
    std::swap(m_iReportedVideoMemory, pReduced->m_iReportedVideoMemory);
    pReduced->m_iProxyLevel = m_iProxyLevel;
    pReduced->m_iTextureWidth = pReduced->m_iRequestedWidth = m_iTextureWidth;
    pReduced->m_iTextureHeight = pReduced->m_iRequestedHeight = m_iTextureHeight;
    m_iProxyLevel = iLevel;
    m_iTextureWidth = m_iRequestedWidth = iReducedWidth;
    m_iTextureHeight = m_iRequestedHeight = iReducedHeight;
    m_pBackingImage->setProxyLevel(static_cast<unsigned char>(iLevel));
    // It was made for the former storage.
    delete m_pRenderTarget;
    m_pRenderTarget = nullptr;
}

bool VarnikTexture::DrainPendingCompositesForAWhile()
{
    m_cLastDrain = DrainRecord();
    if (m_aPendingComposites.isEmpty())
        return true;
    const QTime cStart = QTime::currentTime();
    auto fElapsed = [&cStart]() {
        const int iMs = cStart.msecsTo(QTime::currentTime());
        return iMs < 0 ? iMs + 86400000 : iMs;  // past midnight
    };
    // Only records what the drain took; the budget runs on QTime above.
    using Clock = std::chrono::steady_clock;
    auto fMs = [](Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); };
    const Clock::time_point tStart = Clock::now();
    Clock::time_point tCheck = tStart;
    varnik::Texture* pStroke = ReplayStrokeTexture();
    // Finished entries are freed after the loop, as in Update.
    std::vector<std::unique_ptr<CompositeEntry>> aDone;
    while (!m_aPendingComposites.isEmpty() && fElapsed() < 200) {
        const Clock::time_point t = Clock::now();
        m_cLastDrain.m_aStepMs.push_back(float(fMs(t - tCheck)));
        tCheck = t;
        CompositeEntry* pEntry = m_aPendingComposites.first();
        if (!pEntry->m_aTiles.isEmpty()) {
            varnik::ImgDirtyRegion cOne(pEntry->m_aTiles.takeLast());
            CompositeNow(pEntry->m_pSourceImage.get(), cOne, pEntry->m_iMode, pEntry->m_cWeights,
                         pEntry->m_pResultImage.get(), false, pStroke);
        }
        if (pEntry->m_aTiles.isEmpty()) {
            m_pBackingImage->NewVersion();
            const ImgTile cSourceBounds = pEntry->m_pSourceImage->getBounds();
            const ImgTile cBackingBounds = m_pBackingImage->getBounds();
            for (const ImgTile& cTile : pEntry->m_cDirtyRegion.DirtyTiles()) {
                const ImgTile cTarget = RelativeRegion(cSourceBounds, cBackingBounds, cTile);
                if (!cTarget.isEmpty())
                    m_pBackingImage->CopyRect(*pEntry->m_pResultImage, cTarget, cTarget.x, cTarget.y);
            }
            m_aPendingComposites.removeFirst();
            aDone.emplace_back(pEntry);
            m_pBackingImage->clearProxyImages();
        }
    }
    aDone.clear();
    const Clock::time_point tEnd = Clock::now();
    m_cLastDrain.m_aStepMs.push_back(float(fMs(tEnd - tCheck)));
    m_cLastDrain.m_fDrainMs = fMs(tEnd - tStart);
    return m_aPendingComposites.isEmpty();
}

void VarnikTexture::AttachToCompositingFramebuffer()
{
    // The driver sees the full-size texture in the shared compositing framebuffer
    // once, before the first stroke needs it there.
    if (varnik::TextureMixer::s_iCompositingFBO == 0)
        glGenFramebuffersEXT(1, &varnik::TextureMixer::s_iCompositingFBO);
    // Only the draw binding (the GL_FRAMEBUFFER attachment target) is switched,
    // so a separate read binding of the caller stays as it was.
    const ScopedFramebufferBinding cBinding(GL_DRAW_FRAMEBUFFER, varnik::TextureMixer::s_iCompositingFBO);
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, m_iTextureName, 0);
    glFramebufferTexture2DEXT(GL_FRAMEBUFFER, GL_COLOR_ATTACHMENT0, GL_TEXTURE_2D, 0, 0);
    m_bCompositingAttachment = true;
}

void VarnikTexture::SyncContent()
{
    Update();
    if (m_iLocation == varnik::TexturePool::locationGPU && m_pBackingImage) {
        Image* pProxy = m_pBackingImage->getProxyImage();
        if (pProxy)
            CopyFrom(pProxy, nullptr);
    }
}

int64_t VarnikTexture::VideoMemoryUsage(float fFactor) const
{
    unsigned int iLevel = getProxyLevel();
    if (fFactor == -1.0f) {
        if (!(Location() == varnik::TexturePool::locationGPU && m_bLive))
            return 0;
    } else {
        iLevel = varnik::Texture::ProxyLevel(fFactor, std::max(Width(), Height()));
    }
    return int64_t(Width() >> iLevel) * int64_t(Height() >> iLevel) * int64_t(BitDepth()) *
           int64_t(m_iChannelCount) / 8;
}

void VarnikTexture::CheckValidity(varnik::Node::DiagnosticLevel eLevel) const
{
    varnik::Node::CheckValidity(eLevel);
    if (!m_bLive && OpenGLName() != 0)
        throw NewError("VarnikTexture::CheckValidity", __LINE__)->Format("bad live state");
    if (!m_bLive && Location() == varnik::TexturePool::locationGPU)
        throw NewError("VarnikTexture::CheckValidity", __LINE__)->Format("bad live state");
    if (Location() == varnik::TexturePool::locationCPU && OpenGLName() != 0)
        throw NewError("VarnikTexture::CheckValidity", __LINE__)->Format("bad texture state");
    if (m_iProxyLevel > 0 && !m_pBackingImage)
        throw NewError("VarnikTexture::CheckValidity", __LINE__)
            ->Format("No associated image data for proxied texture");
}

// ---------------------------------------------------------------------------
// Versions and dirty state

bool VarnikTexture::NewVersion()
{
    CrashScope cScope(CrashScope::eNewVersion);
    if (m_pBackingImage && !m_pBackingImage->Keep() && m_iTextureName != 0) {
        // Nothing in it the GPU cannot give back: read it afresh below.
        delete m_pBackingImage;
        m_pBackingImage = nullptr;
    }
    if (!m_pBackingImage) {
        if (m_iLocation != varnik::TexturePool::locationGPU)
            return false;
        m_pBackingImage = NewImage();
        CopyGLTextureToImage(m_pBackingImage, true, nullptr, Image::optimizedChannelOrder());
    }
    return m_pBackingImage->NewVersion();
}

bool VarnikTexture::PrevVersion()
{
    CrashScope cScope(CrashScope::ePrevVersion);
    if (!m_pBackingImage)
        return false;
    Update();
    m_pBackingImage->SetDirty();
    const bool bResult = m_pBackingImage->PrevVersion();
    if (m_iLocation == varnik::TexturePool::locationGPU)
        CopyFrom(m_pBackingImage->getProxyImage(), nullptr);
    return bResult;
}

bool VarnikTexture::NextVersion()
{
    CrashScope cScope(CrashScope::eNextVersion);
    if (!m_pBackingImage)
        return false;
    m_pBackingImage->SetDirty();
    const bool bResult = m_pBackingImage->NextVersion();
    if (m_iLocation == varnik::TexturePool::locationGPU)
        CopyFrom(m_pBackingImage->getProxyImage(), nullptr);
    return bResult;
}

int VarnikTexture::NumVersions() { return m_pBackingImage ? m_pBackingImage->NumVersions() : 1; }

bool VarnikTexture::MergeOldestVersions()
{
    CrashScope cScope(CrashScope::eMergeOldestVersions);
    return m_pBackingImage ? m_pBackingImage->MergeOldestVersions() : false;
}

bool VarnikTexture::PurgeNewerVersions() { return m_pBackingImage ? m_pBackingImage->PurgeNewerVersions() : false; }

bool VarnikTexture::PurgeAllButCurrentVersion()
{
    return m_pBackingImage ? m_pBackingImage->PurgeAllButCurrentVersion() : false;
}

bool VarnikTexture::BeginUndoableOperation()
{
    CrashScope cScope(CrashScope::eBeginUndoableOperation);
    if (m_bInUndoableOperation)
        return false;
    PurgeNewerVersions();
    m_bInUndoableOperation = true;
    SynchronizeBackingImageFromGLTexture(false);
    return NewVersion();
}

bool VarnikTexture::EndUndoableOperation()
{
    CrashScope cScope(CrashScope::eEndUndoableOperation);
    if (!m_bInUndoableOperation)
        return false;
    SynchronizeBackingImageFromGLTexture(false);
    m_bBackingImageStale = false;
    m_bInUndoableOperation = false;
    return true;
}

bool VarnikTexture::IsDirty() const { return m_pBackingImage ? m_pBackingImage->IsDirty() : false; }

void VarnikTexture::SetDirty(bool bDirty)
{
    if (!m_pBackingImage)
        return;
    if (bDirty)
        m_pBackingImage->SetDirty();
    else
        m_pBackingImage->ClearDirty();
}

void VarnikTexture::AddDirtyTile(const ImgTile& cTile)
{
    m_cDirtyRegion.AddToDirtyRegion(cTile);
    m_bBackingImageStale = true;
}

// ---------------------------------------------------------------------------
// Queued compositing

namespace {

/// The replay textures, made on first use and deleted when the module is
/// unloaded (before its class record goes).
struct CompositeScratchHolder
{
    VarnikTexture* m_pTexture = nullptr;  ///< full-resolution scratch written into
    VarnikTexture* m_pStroke = nullptr;   ///< receives the tiles of replayed strokes
    ~CompositeScratchHolder()
    {
        delete m_pStroke;
        delete m_pTexture;
    }
};
CompositeScratchHolder s_cCompositeScratch;

/// Scissor test on with a box, put back as found when the scope ends.
class ScopedScissor
{
public:
    explicit ScopedScissor(const ImgTile& cBox)
    {
        m_bEnabled = glIsEnabled(GL_SCISSOR_TEST);
        glGetIntegerv(GL_SCISSOR_BOX, m_aBox);
        glEnable(GL_SCISSOR_TEST);
        glScissor(cBox.x, cBox.y, cBox.nx, cBox.ny);
    }
    ~ScopedScissor()
    {
        glScissor(m_aBox[0], m_aBox[1], m_aBox[2], m_aBox[3]);
        if (!m_bEnabled)
            glDisable(GL_SCISSOR_TEST);
    }
    ScopedScissor(const ScopedScissor&) = delete;
    ScopedScissor& operator=(const ScopedScissor&) = delete;

private:
    GLboolean m_bEnabled = GL_FALSE;
    GLint m_aBox[4] = {0, 0, 0, 0};
};

/// Blends `iStroke` over `iLayer` into `iTarget` within each of `aBoxes` (a
/// scissor box each), with the host's mixer of a temporary texture pool. A
/// host without a pool class gives the mixer directly.
void MixStroke(GLuint iLayer, GLuint iStroke, unsigned int iMode, const varnik::Store<float>* pWeights,
               GLuint iTarget, unsigned int iWidth, unsigned int iHeight, Image::Format eFormat,
               const std::vector<ImgTile>& aBoxes)
{
    std::unique_ptr<varnik::TexturePool> pPool;
    std::unique_ptr<varnik::TextureMixer> pOwnMixer;
    varnik::TextureMixer* pMixer = nullptr;
    if (varnik::ClassDesc::FindImplementation(varnik::TexturePool::StaticClass())) {
        pPool.reset(varnik::CreateInstanceAs<varnik::TexturePool>(varnik::TexturePool::StaticClass()));
        pMixer = pPool->Mixer();
    }
    if (!pMixer) {
        pOwnMixer.reset(new varnik::TextureMixer());
        pMixer = pOwnMixer.get();
    }
    pMixer->SetLayerCount(2);
    pMixer->SetLayer(0, iLayer, 1.0f, 0, 1.0f);
    pMixer->SetLayer(1, iStroke, 1.0f, 0, 1.0f);
    pMixer->SetBlendMode(iMode);
    if (pWeights && !pWeights->IsEmpty())
        pMixer->SetWeights(pWeights);
    for (const ImgTile& cBox : aBoxes) {
        ScopedScissor cScissor(cBox);
        pMixer->MixIntoTexture(iTarget, iWidth, iHeight, eFormat);
    }
}


} // namespace

int64_t VarnikTexture::CompositeScratchMemory()
{
    int64_t iBytes = 0;
    for (const VarnikTexture* p : {s_cCompositeScratch.m_pTexture, s_cCompositeScratch.m_pStroke})
        iBytes += p ? p->ReportedVideoMemory() : 0;
    return iBytes;
}

VarnikTexture* VarnikTexture::ReplayStrokeTexture()
{
    if (!s_cCompositeScratch.m_pStroke)
        s_cCompositeScratch.m_pStroke = varnik::CreateInstanceAs<VarnikTexture>(&s_cMyClass);
    return s_cCompositeScratch.m_pStroke;
}

void VarnikTexture::Composite(const varnik::Texture* pSource, varnik::ImgDirtyRegion* pRegion, unsigned int iMode,
                              const varnik::Store<float>* pWeights)
{
    CrashScope cScope(CrashScope::eComposite);
    if (!pSource)
        return;
    const ImgTile cSourceFrame(0, 0, int32_t(pSource->Width()), int32_t(pSource->Height()));
    varnik::ImgDirtyRegion cWholeSource(cSourceFrame);
    const varnik::ImgDirtyRegion& cRegion = pRegion ? *pRegion : cWholeSource;
    const ImgTile cBox = cRegion.BoundingBox();
    if (cBox.nx < 1 || cBox.ny < 1 || pSource->OpenGLName() == 0 ||
        pSource->Location() == varnik::TexturePool::locationCPU)
        return;

    const bool bProxied = getProxyLevel() != 0;
    if (bProxied) {
        // Replay needs the full-resolution frame: without a backing image the
        // stroke could only be shown, never kept, so it is refused whole.
        if (!m_pBackingImage)
            throw NewError("VarnikTexture::Composite", __LINE__)
                ->Format("No associated image data for proxied texture");
        std::unique_ptr<CompositeEntry> pEntry(new CompositeEntry());
        pEntry->m_cDirtyRegion = cRegion;
        pEntry->m_cTexture.SetPointerValue(this, true);
        pEntry->m_iMode = iMode;
        if (pWeights)
            pEntry->m_cWeights = *pWeights;
        for (const ImgTile& cTile : cRegion.DirtyTiles())
            pSource->CopyGLTextureToImage(pEntry->m_pSourceImage.get(), true, &cTile, varnik::PixelDescriptor::eRGBA);
        // Pieces cover at most "Maximum composite size" full-resolution texels a
        // side, so that the bounded drain can stop after any of them.
        const int32_t iMax = int32_t(std::min<unsigned int>(std::max(1u, unsigned(s_cMaxCompositeSize)), 1u << 30));
        const int iSplitSize = std::max<int32_t>(
            1, RelativeRegion(m_pBackingImage->getBounds(), pEntry->m_pSourceImage->getBounds(),
                              ImgTile(0, 0, iMax, iMax)).nx);
        for (const ImgTile& cTile : cRegion.DirtyTiles()) {
            if (cTile.nx <= iSplitSize && cTile.ny <= iSplitSize)
                pEntry->m_aTiles.append(cTile);
            else
                pEntry->m_aTiles += SplitDirtyRegions(iSplitSize, cTile);
        }
        m_aPendingComposites.append(pEntry.release());
    }

    if (pSource->OpenGLName() == 0 || m_iLocation != varnik::TexturePool::locationGPU || m_iTextureName == 0)
        return;
    if (!m_pBackingImage)
        m_pBackingImage = NewImage();
    if (!bProxied) {
        Update();
        BeginUndoableOperation();
        const ImgTile cBackingBounds = m_pBackingImage->getBounds();
        for (const ImgTile& cTile : cRegion.DirtyTiles())
            AddDirtyTile(RelativeRegion(cSourceFrame, cBackingBounds, cTile));
    }
    SetDirty(true);
    try {
        // Mixed tile by tile, not over the bounding box: texels between the
        // stroke's tiles are neither changed nor read back, so a stroke replayed
        // from its tiles at full resolution gives the same pixels.
        const ImgTile cTextureFrame(0, 0, int32_t(m_iTextureWidth), int32_t(m_iTextureHeight));
        std::vector<ImgTile> aBoxes;
        for (const ImgTile& cTile : cRegion.DirtyTiles()) {
            const ImgTile cScissor = RelativeRegion(cSourceFrame, cTextureFrame, cTile);
            if (!cScissor.isEmpty())
                aBoxes.push_back(cScissor);
        }
        MixStroke(m_iTextureName, pSource->OpenGLName(), iMode, pWeights, m_iTextureName, m_iTextureWidth,
                  m_iTextureHeight, Format(), aBoxes);
    } catch (varnik::Error*) {
        // The undoable operation is closed so that the next stroke can open one.
        if (!bProxied)
            EndUndoableOperation();
        throw;
    }
    if (!bProxied)
        EndUndoableOperation();
}

void VarnikTexture::Update()
{
    CrashScope cScope(CrashScope::eUpdate);
    if (m_aPendingComposites.isEmpty())
        return;
    // One shared texture receives every entry's stroke in turn, rather than one
    // made and sized afresh per entry.
    VarnikTexture* pStroke = ReplayStrokeTexture();
    // Replayed entries are freed only after the loop: freeing an entry's
    // source tiles between two replays lets the heap hand that memory back to
    // the system, so the next step's copy-on-write undo tile lands on fresh
    // pages and pays a page fault per page (about 4x the copy itself).
    std::vector<std::unique_ptr<CompositeEntry>> aDone;
    while (!m_aPendingComposites.isEmpty()) {
        // Taken off only once composited: a failed replay leaves the stroke queued.
        CompositeEntry* pEntry = m_aPendingComposites.first();
        if (!m_pBackingImage)
            m_pBackingImage = NewImage();
        CompositeNow(pEntry->m_pSourceImage.get(), pEntry->m_cDirtyRegion, pEntry->m_iMode, pEntry->m_cWeights,
                     m_pBackingImage, true, pStroke);
        m_aPendingComposites.removeFirst();
        aDone.emplace_back(pEntry);
    }
}

void VarnikTexture::CompositeNow(const Image* pSourceImage, varnik::ImgDirtyRegion& cRegion, unsigned int iMode,
                                 const varnik::Store<float>& cWeights, Image* pDestination, bool bFinal,
                                 varnik::Texture* pSourceTexture)
{
    CrashScope cScope(CrashScope::eCompositeNow);
    if (!pSourceImage || !pDestination)
        throw NewError("VarnikTexture::CompositeNow", __LINE__)->Format("No source or destination image");
    if (!s_cCompositeScratch.m_pTexture)
        s_cCompositeScratch.m_pTexture = varnik::CreateInstanceAs<VarnikTexture>(&s_cMyClass);
    VarnikTexture* pScratch = s_cCompositeScratch.m_pTexture;

    // A source of another size is sampled scaled: one texel around each tile
    // keeps the filter's neighbours.
    const ImgTile cSourceBounds = pSourceImage->getBounds();
    const bool bScaled = m_pBackingImage && !(m_pBackingImage->getBounds() == cSourceBounds);
    std::vector<ImgTile> aSourceTiles;
    for (ImgTile cTile : cRegion.DirtyTiles()) {
        if (bScaled)
            cTile = ImgTile(cTile.x - 1, cTile.y - 1, cTile.nx + 2, cTile.ny + 2);
        cTile = ImgTile(cTile, cSourceBounds);
        if (!cTile.isEmpty())
            aSourceTiles.push_back(cTile);
    }

    std::unique_ptr<VarnikTexture> pTemporary;
    if (!pSourceTexture)
        pTemporary.reset(varnik::CreateInstanceAs<VarnikTexture>(varnik::Texture::StaticClass()));
    varnik::Texture* pStroke = pSourceTexture ? pSourceTexture : pTemporary.get();
    for (const ImgTile& cTile : aSourceTiles)
        pStroke->CopyFrom(const_cast<Image*>(pSourceImage), &cTile);  // read only

    if (!m_pBackingImage)
        m_pBackingImage = NewImage();
    const ImgTile cBackingBounds = m_pBackingImage->getBounds();
    std::vector<ImgTile> aTargetTiles;
    for (const ImgTile& cTile : cRegion.DirtyTiles()) {
        const ImgTile cTarget = RelativeRegion(cSourceBounds, cBackingBounds, cTile);
        if (!cTarget.isEmpty())
            aTargetTiles.push_back(cTarget);
    }

    const bool bProxied = m_iProxyLevel != 0;
    VarnikTexture* pWritten = this;
    if (bProxied) {
        for (const ImgTile& cTile : aTargetTiles)
            pScratch->CopyFrom(m_pBackingImage, &cTile);
        pWritten = pScratch;
    }
    if (bFinal) {
        BeginUndoableOperation();
        if (!bProxied)
            for (const ImgTile& cTile : aTargetTiles)
                AddDirtyTile(cTile);
    }
    try {
        // Tile by tile, as `Composite` mixes at level 0.
        MixStroke(pWritten->m_iTextureName, pStroke->OpenGLName(), iMode, &cWeights, pWritten->m_iTextureName,
                  Width(), Height(), Format(), aTargetTiles);
        if (bProxied) {
            for (const ImgTile& cTile : aTargetTiles)
                pScratch->CopyGLTextureToImage(pDestination, true, &cTile, varnik::PixelDescriptor::eRGBA);
            pDestination->clearProxyImages();
            if (bFinal)
                ResetDirtyTile();
        }
    } catch (varnik::Error*) {
        if (bFinal)
            EndUndoableOperation();
        throw;
    }
    if (bFinal)
        EndUndoableOperation();
}

ImgTile VarnikTexture::RelativeRegion(const ImgTile& a, const ImgTile& b, const ImgTile& r) const
{
    const double fScaleX = a.nx != 0 ? double(b.nx) / double(a.nx) : 0.0;
    const double fScaleY = a.ny != 0 ? double(b.ny) / double(a.ny) : 0.0;
    const int32_t x = int32_t(double(r.x) * fScaleX);
    const int32_t y = int32_t(double(r.y) * fScaleY);
    const int32_t nx = int32_t(std::ceil(double(r.x + r.nx) * fScaleX)) - x;
    const int32_t ny = int32_t(std::ceil(double(r.y + r.ny) * fScaleY)) - y;
    return ImgTile(ImgTile(x, y, nx, ny), b);
}

QVector<ImgTile> VarnikTexture::SplitDirtyRegions(int iSplitSize, const ImgTile& r) const
{
    QVector<ImgTile> aPieces;
    if (iSplitSize < 1 || r.nx <= 0 || r.ny <= 0)
        return aPieces;
    for (int32_t y = r.y; y < r.y + r.ny; y += iSplitSize) {
        const int32_t ny = std::min<int32_t>(iSplitSize, r.y + r.ny - y);
        for (int32_t x = r.x; x < r.x + r.nx; x += iSplitSize)
            aPieces.append(ImgTile(x, y, std::min<int32_t>(iSplitSize, r.x + r.nx - x), ny));
    }
    return aPieces;
}
