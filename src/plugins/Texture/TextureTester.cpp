#include "TextureTester.h"

#include <GL/glew.h>
#include <cmath>
#include <cstring>
#include <memory>
#include <vector>
#include "Texture.h"
#include "varnik/Error.h"
#include "varnik/Image.h"
#include "varnik/Kernel.h"
#include "varnik/Menu.h"

using varnik::Image;
using varnik::ImgTile;

const char* const TextureTester::s_sMenu = "UnitTest";
const char* const TextureTester::s_sRunAll = "Run all tests";

namespace {

typedef void (TextureTester::*GroupFunction)();
struct Group { const char* sName; GroupFunction fRun; };

/// A texture made through the module's class record, deleted with the holder.
std::unique_ptr<VarnikTexture> NewTexture()
{
    return std::unique_ptr<VarnikTexture>(dynamic_cast<VarnikTexture*>(VarnikTexture::CreateInstances(1)));
}

/// Channel c of texel (x, y) of the test pattern, 0..255: every texel differs
/// from its neighbours in every channel, so shifts and swaps show.
uint8_t Pattern(int x, int y, int c)
{
    switch (c) {
    case 0: return uint8_t((x * 7 + y * 3) & 255);
    case 1: return uint8_t((x * 13 + 40) & 255);
    case 2: return uint8_t((y * 5 + x) & 255);
    default: return uint8_t(255 - ((x + 2 * y) & 127));
    }
}

/// An RGBA image of the pattern (shifted by `iSeed`) in `eFormat`.
std::unique_ptr<Image> PatternImage(int w, int h, Image::Format eFormat, int iSeed = 0)
{
    std::unique_ptr<Image> p(new Image);
    p->create(unsigned(w), unsigned(h), 4, eFormat);
    std::vector<uint8_t> a(size_t(w) * size_t(h) * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 4; ++c)
                a[(size_t(y) * size_t(w) + size_t(x)) * 4 + size_t(c)] = Pattern(x + iSeed, y, c);
    const varnik::PixelDescriptor cRGBA8(4, varnik::PixelDescriptor::eUInt8);
    p->setTile(0, 0, w, h, a.data(), &cRGBA8);
    return p;
}

/// The image's pixels as 8-bit RGBA.
std::vector<uint8_t> Pixels8(const Image& cImage)
{
    std::vector<uint8_t> a(size_t(cImage.Width()) * cImage.Height() * 4);
    const varnik::PixelDescriptor cRGBA8(4, varnik::PixelDescriptor::eUInt8);
    cImage.getTile(0, 0, int(cImage.Width()), int(cImage.Height()), a.data(), &cRGBA8);
    return a;
}

/// Level 0 of a GL texture as 8-bit RGBA, read with glGetTexImage: a path of
/// its own, independent of the module's readback. The binding is put back.
std::vector<uint8_t> ReadGL(unsigned int iName, unsigned int w, unsigned int h)
{
    GLint iBound = 0, iPackAlignment = 4, iPackBuffer = 0;
    glGetIntegerv(GL_TEXTURE_BINDING_2D, &iBound);
    glGetIntegerv(GL_PACK_ALIGNMENT, &iPackAlignment);
    glGetIntegerv(GL_PIXEL_PACK_BUFFER_BINDING, &iPackBuffer);
    std::vector<uint8_t> a(size_t(w) * h * 4);
    glBindTexture(GL_TEXTURE_2D, iName);
    glPixelStorei(GL_PACK_ALIGNMENT, 1);
    glBindBuffer(GL_PIXEL_PACK_BUFFER, 0);
    glGetTexImage(GL_TEXTURE_2D, 0, GL_RGBA, GL_UNSIGNED_BYTE, a.data());
    glBindBuffer(GL_PIXEL_PACK_BUFFER, GLuint(iPackBuffer));
    glPixelStorei(GL_PACK_ALIGNMENT, iPackAlignment);
    glBindTexture(GL_TEXTURE_2D, GLuint(iBound));
    return a;
}

/// "equal" or where the first difference is.
QString Difference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b, int iWidth, int iTolerance = 0)
{
    if (a.size() != b.size())
        return QString("sizes %1 and %2 bytes").arg(a.size()).arg(b.size());
    for (size_t i = 0; i < a.size(); ++i)
        if (std::abs(int(a[i]) - int(b[i])) > iTolerance)
            return QString("texel (%1, %2) channel %3: %4, expected %5")
                .arg(int(i / 4) % iWidth).arg(int(i / 4) / iWidth).arg(i % 4).arg(a[i]).arg(b[i]);
    return QString();
}

QString TileText(const ImgTile& t) { return QString("(%1, %2, %3, %4)").arg(t.x).arg(t.y).arg(t.nx).arg(t.ny); }

const char* FormatName(Image::Format e)
{
    switch (e) {
    case Image::e8integer: return "8-bit";
    case Image::e16integer: return "16-bit";
    case Image::e16float: return "half float";
    case Image::e32float: return "float";
    default: return "other";
    }
}

const Image::Format s_aColourFormats[] = { Image::e8integer, Image::e16integer, Image::e16float, Image::e32float };

const Group s_aGroups[] = {
    { "Creation", &TextureTester::Creation }, { "Proxying", &TextureTester::Proxying },
    { "CopyTo", &TextureTester::CopyTo }, { "CopyFrom", &TextureTester::CopyFrom },
    { "QueueCompositing", &TextureTester::QueueCompositing }, { "DirtyFlags", &TextureTester::DirtyFlags },
    { "DirtyRegions", &TextureTester::DirtyRegions }, { "RelativeRegion", &TextureTester::RelativeRegion },
};
const int s_iGroupCount = int(sizeof(s_aGroups) / sizeof(s_aGroups[0]));

} // namespace

TextureTester::TextureTester() : m_cCommand(this, QStringLiteral("cmd")) {}

TextureTester::~TextureTester() { varnik::Menus::RemoveOwner(this); }

varnik::Node* TextureTester::CreateInstances(unsigned int iCount)
{
    return varnik::CreateInstancesOf<TextureTester>(iCount);
}

void TextureTester::Initialize()
{
    varnik::UnitTest::Initialize();
    const QString sGroup = s_cMyClass.Name();
    varnik::Menus::Add(s_sMenu, sGroup, s_sRunAll, [this]() { Run(s_sRunAll); }, this);
    for (const Group& g : s_aGroups) {
        const QString sName = g.sName;
        varnik::Menus::Add(s_sMenu, sGroup, sName, [this, sName]() { Run(sName); }, this);
    }
}

void TextureTester::OnNodeEvent(const varnik::Attribute& cAttribute, int iEventType)
{
    if (&cAttribute == &m_cCommand && iEventType == varnik::Attribute::eValueChanged)
        Replay();
    varnik::UnitTest::OnNodeEvent(cAttribute, iEventType);
}

QStringList TextureTester::TestNames() const
{
    QStringList a;
    for (const Group& g : s_aGroups)
        a << g.sName;
    return a;
}

int TextureTester::FailureCount() const
{
    int n = 0;
    for (const Check& c : m_aResults)
        n += c.bPassed ? 0 : 1;
    return n;
}

void TextureTester::Expect(bool bPassed, const QString& sName, const QString& sDetail)
{
    m_aResults.append(Check{ m_sGroup, sName, bPassed, sDetail });
    varnik::Kernel::Log(QString("TextureTester: %1: %2: %3%4\n")
                            .arg(m_sGroup, sName, bPassed ? "pass" : "FAIL",
                                 bPassed || sDetail.isEmpty() ? QString() : " (" + sDetail + ")"));
}

bool TextureTester::Run(const QString& sName)
{
    m_aResults.clear();
    const QString sEntry = sName.isEmpty() ? QString(s_sRunAll) : sName;
    // Recorded silently: a change made by the node itself is not a request to replay.
    m_cCommand.SetValue(QString("PluginTest %1%2").arg(s_cMyClass.Name(), ":" + sEntry), true);
    if (sEntry == s_sRunAll) {
        for (int i = 0; i < s_iGroupCount; ++i)
            RunGroup(i);
    } else {
        int iFound = -1;
        for (int i = 0; i < s_iGroupCount; ++i)
            if (sEntry == s_aGroups[i].sName)
                iFound = i;
        if (iFound < 0) {
            m_sGroup = sEntry;
            Expect(false, "known test", QString("no test named \"%1\"").arg(sEntry));
        } else {
            RunGroup(iFound);
        }
    }
    return FailureCount() == 0;
}

bool TextureTester::Replay()
{
    const QString sPrefix = QString("PluginTest %1:").arg(s_cMyClass.Name());
    const QString sCommand = m_cCommand.Value();
    if (!sCommand.startsWith(sPrefix)) {
        varnik::Kernel::Log(QString("TextureTester: \"%1\" is not a command of this node\n").arg(sCommand));
        return false;
    }
    return Run(sCommand.mid(sPrefix.size()));
}

void TextureTester::RunGroup(int iGroup)
{
    m_sGroup = s_aGroups[iGroup].sName;
    const int64_t iLedger = varnik::Kernel::VideoMemoryUsage();
    const int64_t iScratch = VarnikTexture::CompositeScratchMemory();
    while (glGetError() != GL_NO_ERROR) {}  // errors of earlier work are not this group's
    try {
        (this->*s_aGroups[iGroup].fRun)();
    } catch (varnik::Error* pError) {
        Expect(false, "runs without error", pError->Describe());
        varnik::Error::Discard(pError);
    }
    const GLenum iError = glGetError();
    Expect(iError == GL_NO_ERROR, "leaves no GL error", QString("GL error 0x%1").arg(iError, 0, 16));
    // Replaying a queue keeps a scratch texture for the module's lifetime: what
    // it grew by is not the group's.
    const int64_t iLeft = varnik::Kernel::VideoMemoryUsage() - iLedger - (VarnikTexture::CompositeScratchMemory() - iScratch);
    Expect(iLeft == 0, "gives its video memory back", QString("%1 bytes left").arg(iLeft));
}

// ---------------------------------------------------------------------------
// The groups

void TextureTester::Creation()
{
    for (Image::Format eFormat : s_aColourFormats) {
        const QString sFormat = FormatName(eFormat);
        const int64_t iBefore = varnik::Kernel::VideoMemoryUsage();
        std::unique_ptr<VarnikTexture> p = NewTexture();
        p->Create(100, 60, 4, eFormat);
        Expect(p->OpenGLName() != 0 && p->Location() == 1, sFormat + " texture is on the GPU",
               QString("name %1, location %2").arg(p->OpenGLName()).arg(p->Location()));
        Expect(p->Width() == 100 && p->Height() == 60 && p->Format() == eFormat, sFormat + " keeps size and format",
               QString("%1x%2 format %3").arg(p->Width()).arg(p->Height()).arg(int(p->Format())));
        const int64_t iUsed = varnik::Kernel::VideoMemoryUsage() - iBefore;
        Expect(iUsed > 0 && iUsed == p->VideoMemoryUsage(-1.f), sFormat + " reports its video memory",
               QString("ledger %1, texture %2").arg(iUsed).arg(p->VideoMemoryUsage(-1.f)));
        p.reset();
        Expect(varnik::Kernel::VideoMemoryUsage() == iBefore, sFormat + " returns its video memory when deleted");
    }
    // Creating again reuses the GL name, replaces the storage and its figure.
    std::unique_ptr<VarnikTexture> p = NewTexture();
    p->Create(64, 64, 4, Image::e8integer);
    const unsigned int iName = p->OpenGLName();
    const int64_t iBefore = varnik::Kernel::VideoMemoryUsage() - p->VideoMemoryUsage(-1.f);
    p->Create(32, 16, 4, Image::e16float);
    Expect(p->OpenGLName() == iName && p->Width() == 32 && p->Format() == Image::e16float,
           "creating again reuses the GL name", QString("name %1, was %2").arg(p->OpenGLName()).arg(iName));
    Expect(varnik::Kernel::VideoMemoryUsage() - iBefore == 32 * 16 * 8, "creating again replaces the memory figure",
           QString("%1 bytes").arg(varnik::Kernel::VideoMemoryUsage() - iBefore));
    // A texture that is not live keeps its content in CPU memory only.
    std::unique_ptr<VarnikTexture> pCPU = NewTexture();
    pCPU->SetLive(false);
    pCPU->Create(48, 40, 4, Image::e8integer);
    Expect(pCPU->OpenGLName() == 0 && pCPU->Location() == 2 && pCPU->VideoMemoryUsage(-1.f) == 0,
           "a texture that is not live is made in CPU memory",
           QString("name %1, location %2").arg(pCPU->OpenGLName()).arg(pCPU->Location()));
}

void TextureTester::CopyFrom()
{
    const int w = 70, h = 50;
    for (Image::Format eFormat : s_aColourFormats) {
        std::unique_ptr<Image> pImage = PatternImage(w, h, eFormat);
        std::unique_ptr<VarnikTexture> p = NewTexture();
        p->CopyFrom(pImage.get(), nullptr);
        const std::vector<uint8_t> aExpected = Pixels8(*pImage);
        const QString sDiff = Difference(ReadGL(p->OpenGLName(), w, h), aExpected, w, 1);
        Expect(sDiff.isEmpty(), QString("%1 upload reaches the GPU").arg(FormatName(eFormat)), sDiff);
    }
    // A tile upload changes that tile and nothing around it.
    std::unique_ptr<Image> pFirst = PatternImage(w, h, Image::e8integer);
    std::unique_ptr<Image> pSecond = PatternImage(w, h, Image::e8integer, 31);
    std::unique_ptr<VarnikTexture> p = NewTexture();
    p->CopyFrom(pFirst.get(), nullptr);
    const ImgTile cTile(10, 12, 24, 20);
    p->CopyFrom(pSecond.get(), &cTile);
    std::vector<uint8_t> aExpected = Pixels8(*pFirst);
    const std::vector<uint8_t> aSecond = Pixels8(*pSecond);
    for (int y = cTile.y; y < cTile.y + cTile.ny; ++y)
        std::memcpy(&aExpected[(size_t(y) * w + size_t(cTile.x)) * 4], &aSecond[(size_t(y) * w + size_t(cTile.x)) * 4],
                    size_t(cTile.nx) * 4);
    const QString sDiff = Difference(ReadGL(p->OpenGLName(), w, h), aExpected, w);
    Expect(sDiff.isEmpty(), "a tile upload changes only its tile", sDiff);
}

void TextureTester::CopyTo()
{
    // Above 128 texels a side readback goes in strips; below, whole.
    const int aSizes[][2] = { { 150, 140 }, { 60, 20 } };
    for (const auto& s : aSizes) {
        for (Image::Format eFormat : { Image::e8integer, Image::e16float }) {
            std::unique_ptr<Image> pImage = PatternImage(s[0], s[1], eFormat);
            std::unique_ptr<VarnikTexture> p = NewTexture();
            p->CopyFrom(pImage.get(), nullptr);
            Image cRead;
            p->CopyTo(&cRead, false, nullptr, varnik::PixelDescriptor::eRGBA);
            const QString sDiff = Difference(Pixels8(cRead), Pixels8(*pImage), s[0]);
            Expect(sDiff.isEmpty() && cRead.format() == eFormat,
                   QString("%1 %2x%3 reads back as uploaded").arg(FormatName(eFormat)).arg(s[0]).arg(s[1]), sDiff);
        }
    }
    // Texture to texture, scaled: a uniform colour stays that colour.
    std::unique_ptr<Image> pUniform(new Image);
    pUniform->create(64, 64, 4, Image::e8integer);
    const uint8_t aColour[4] = { 200, 100, 50, 255 };
    pUniform->fillTile(0, 0, 64, 64, aColour);
    std::unique_ptr<VarnikTexture> pSource = NewTexture(), pTarget = NewTexture();
    pSource->CopyFrom(pUniform.get(), nullptr);
    pTarget->Create(32, 16, 4, Image::e8integer);
    pSource->CopyTo(*pTarget);
    std::vector<uint8_t> aExpected(32 * 16 * 4);
    for (size_t i = 0; i < aExpected.size(); ++i)
        aExpected[i] = aColour[i % 4];
    const QString sDiff = Difference(ReadGL(pTarget->OpenGLName(), 32, 16), aExpected, 32, 1);
    Expect(sDiff.isEmpty(), "a texture drawn into a smaller one keeps its colour", sDiff);
}

void TextureTester::Proxying()
{
    const int w = 256, h = 128;
    std::unique_ptr<Image> pImage = PatternImage(w, h, Image::e8integer);
    std::unique_ptr<VarnikTexture> p = NewTexture();
    p->Create(w, h, 4, Image::e8integer);  // on the GPU first, so that the backing image is uploaded
    p->ReplaceWith(pImage.get(), nullptr);
    const int64_t iFull = p->VideoMemoryUsage(-1.f);
    Expect(p->setProxyLevel(2, false) && p->getProxyLevel() == 2, "level 2 is taken",
           QString("level %1").arg(p->getProxyLevel()));
    Expect(p->Width() == unsigned(w) && p->Height() == unsigned(h), "a proxy keeps the full size",
           QString("%1x%2").arg(p->Width()).arg(p->Height()));
    const int64_t iProxy = p->VideoMemoryUsage(-1.f);
    Expect(iProxy > 0 && iProxy * 16 <= iFull, "a level-2 proxy needs a sixteenth of the video memory",
           QString("%1 of %2 bytes").arg(iProxy).arg(iFull));
    Expect(p->setProxyLevel(0, false) && p->getProxyLevel() == 0, "level 0 is taken back");
    const QString sDiff = Difference(ReadGL(p->OpenGLName(), w, h), Pixels8(*pImage), w);
    Expect(sDiff.isEmpty(), "full resolution comes back unchanged", sDiff);

    std::unique_ptr<Image> pSmall = PatternImage(4, 4, Image::e8integer);
    std::unique_ptr<VarnikTexture> pTiny = NewTexture();
    pTiny->Create(4, 4, 4, Image::e8integer);
    pTiny->ReplaceWith(pSmall.get(), nullptr);
    Expect(!pTiny->setProxyLevel(2, false) && pTiny->getProxyLevel() == 0, "a proxy below 2 texels is refused",
           QString("level %1").arg(pTiny->getProxyLevel()));
}

void TextureTester::QueueCompositing()
{
    // Strokes painted on a proxy wait in a queue and reach the full-resolution
    // image when the proxy is left: a full-size source replacing the top-left
    // quarter must be found there, texel for texel, and nowhere else.
    const int w = 128, h = 128;
    int64_t iLedgerAfterFirst = 0;
    for (int iRound = 0; iRound < 2; ++iRound) {
        std::unique_ptr<Image> pBase(new Image);
        pBase->create(w, h, 4, Image::e8integer);
        std::unique_ptr<VarnikTexture> p = NewTexture();
        p->Create(w, h, 4, Image::e8integer);
        p->ReplaceWith(pBase.get(), nullptr);
        Expect(p->setProxyLevel(1, false), "level 1 is taken");
        std::unique_ptr<Image> pStroke = PatternImage(w, h, Image::e8integer);
        std::unique_ptr<VarnikTexture> pSource = NewTexture();
        pSource->CopyFrom(pStroke.get(), nullptr);
        const ImgTile cQuarter(0, 0, w / 2, h / 2);
        varnik::ImgDirtyRegion cRegion(cQuarter);
        p->Composite(pSource.get(), &cRegion, 5, nullptr);
        Expect(p->PendingComposites().size() == 1, "a stroke on a proxy is queued",
               QString("%1 queued").arg(p->PendingComposites().size()));
        Expect(p->setProxyLevel(0, false) && p->PendingComposites().isEmpty(), "leaving the proxy drains the queue",
               QString("%1 queued").arg(p->PendingComposites().size()));
        std::vector<uint8_t> aExpected(size_t(w) * h * 4, 0);
        const std::vector<uint8_t> aStroke = Pixels8(*pStroke);
        for (int y = 0; y < cQuarter.ny; ++y)
            std::memcpy(&aExpected[size_t(y) * w * 4], &aStroke[size_t(y) * w * 4], size_t(cQuarter.nx) * 4);
        const QString sDiff = Difference(ReadGL(p->OpenGLName(), w, h), aExpected, w);
        Expect(sDiff.isEmpty(), "the queued stroke lands at full resolution, only in its region", sDiff);
        p.reset();
        pSource.reset();
        if (iRound == 0)
            iLedgerAfterFirst = varnik::Kernel::VideoMemoryUsage();
    }
    Expect(varnik::Kernel::VideoMemoryUsage() == iLedgerAfterFirst, "a second queued stroke keeps no video memory",
           QString("%1 bytes more").arg(varnik::Kernel::VideoMemoryUsage() - iLedgerAfterFirst));
}

void TextureTester::DirtyFlags()
{
    const int w = 40, h = 30;
    std::unique_ptr<Image> pFirst = PatternImage(w, h, Image::e8integer);
    std::unique_ptr<Image> pSecond = PatternImage(w, h, Image::e8integer, 9);
    std::unique_ptr<VarnikTexture> p = NewTexture();
    p->Create(w, h, 4, Image::e8integer);
    p->ReplaceWith(pFirst.get(), nullptr);
    p->SetDirty(true);
    const bool bSet = p->IsDirty();
    p->SetDirty(false);
    Expect(bSet && !p->IsDirty(), "the dirty flag follows SetDirty");
    const int iVersions = p->NumVersions();
    Expect(p->NewVersion() && p->NumVersions() == iVersions + 1, "a new version is counted",
           QString("%1 versions").arg(p->NumVersions()));
    p->ReplaceWith(pSecond.get(), nullptr);
    Expect(p->PrevVersion(), "the previous version can be taken");
    QString sDiff = Difference(ReadGL(p->OpenGLName(), w, h), Pixels8(*pFirst), w);
    Expect(sDiff.isEmpty(), "undo shows the earlier content on the GPU", sDiff);
    Expect(p->NextVersion(), "the next version can be taken");
    sDiff = Difference(ReadGL(p->OpenGLName(), w, h), Pixels8(*pSecond), w);
    Expect(sDiff.isEmpty(), "redo shows the later content on the GPU", sDiff);
    Expect(p->PurgeAllButCurrentVersion() && p->NumVersions() == 1, "history can be dropped",
           QString("%1 versions").arg(p->NumVersions()));
}

void TextureTester::DirtyRegions()
{
    std::unique_ptr<VarnikTexture> p = NewTexture();
    p->Create(256, 256, 4, Image::e8integer);
    p->AddDirtyTile(ImgTile(10, 10, 20, 20));
    p->AddDirtyTile(ImgTile(100, 5, 8, 8));
    const ImgTile cBox = p->DirtyRegion().BoundingBox();
    Expect(cBox == ImgTile(10, 5, 98, 25), "the dirty box covers every added tile", TileText(cBox));
    p->ResetDirtyTile();
    Expect(p->DirtyRegion().IsEmpty(), "reset empties the dirty region");

    const ImgTile r(5, 7, 200, 130);
    const QVector<ImgTile> aPieces = p->SplitDirtyRegions(64, r);
    int64_t iArea = 0;
    bool bInside = true, bSmall = true, bOrdered = true;
    for (int i = 0; i < aPieces.size(); ++i) {
        const ImgTile& t = aPieces[i];
        iArea += int64_t(t.nx) * t.ny;
        bInside = bInside && t.x >= r.x && t.y >= r.y && t.x + t.nx <= r.x + r.nx && t.y + t.ny <= r.y + r.ny;
        bSmall = bSmall && t.nx >= 1 && t.ny >= 1 && t.nx <= 64 && t.ny <= 64;
        if (i > 0)
            bOrdered = bOrdered && (t.y > aPieces[i - 1].y || (t.y == aPieces[i - 1].y && t.x > aPieces[i - 1].x));
    }
    // Pieces inside r, in row order, adding up to r's area: they cover r exactly once.
    Expect(bInside && bSmall && bOrdered && iArea == int64_t(r.nx) * r.ny && aPieces.size() == 12,
           "split pieces cover the region once, row by row",
           QString("%1 pieces, area %2").arg(aPieces.size()).arg(iArea));
    Expect(p->SplitDirtyRegions(0, r).isEmpty() && p->SplitDirtyRegions(64, ImgTile(0, 0, 0, 5)).isEmpty(),
           "no pieces for a split size or region without texels");
}

void TextureTester::RelativeRegion()
{
    std::unique_ptr<VarnikTexture> p = NewTexture();
    struct Case { ImgTile a, b, r, expected; const char* sName; };
    const Case aCases[] = {
        { ImgTile(0, 0, 256, 256), ImgTile(0, 0, 64, 64), ImgTile(10, 10, 20, 20), ImgTile(2, 2, 6, 6),
          "down: start truncated, end rounded up" },
        { ImgTile(0, 0, 64, 64), ImgTile(0, 0, 256, 256), ImgTile(3, 5, 10, 1), ImgTile(12, 20, 40, 4), "up" },
        { ImgTile(0, 0, 100, 100), ImgTile(0, 0, 50, 50), ImgTile(90, 90, 20, 20), ImgTile(45, 45, 5, 5),
          "clipped to the target" },
        { ImgTile(7, 9, 128, 64), ImgTile(0, 0, 64, 32), ImgTile(64, 32, 64, 32), ImgTile(32, 16, 32, 16),
          "positions do not scale" },
    };
    for (const Case& c : aCases) {
        const ImgTile t = p->RelativeRegion(c.a, c.b, c.r);
        Expect(t == c.expected, c.sName, QString("%1, expected %2").arg(TileText(t), TileText(c.expected)));
    }
}
