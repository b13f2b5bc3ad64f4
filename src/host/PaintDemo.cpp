// The painting part of the "demo" job: brush strokes composited into a layer
// at full resolution, undone and redone, then painted on a proxy and brought
// to full resolution by the command "Composite paint strokes". The result is
// checked against the same strokes painted at full resolution and written as
// a PNG into the project folder.
#include <GL/glew.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <memory>
#include <vector>
#include <QDir>
#include "Jobs.h"
#include "varnik/Action.h"
#include "varnik/Brush.h"
#include "varnik/ClassDesc.h"
#include "varnik/Error.h"
#include "varnik/Image.h"
#include "varnik/Interface.h"
#include "varnik/Kernel.h"
#include "varnik/PixelDescriptor.h"
#include "varnik/Texture.h"

namespace {

const unsigned int s_iWidth = 512, s_iHeight = 384;

[[noreturn]] void Fail(const QString& sMessage, unsigned int iLine)
{
    throw (new varnik::Error(QString(), 4, "RunPaintDemo", "src/host/PaintDemo", iLine))->Format(sMessage);
}

template <typename T>
std::unique_ptr<T> Make(const varnik::ClassDesc* pClass)
{
    return std::unique_ptr<T>(varnik::CreateInstanceAs<T>(pClass));
}

std::vector<uint8_t> Bytes(const varnik::Image& cImage)
{
    std::vector<uint8_t> a(size_t(cImage.Width()) * cImage.Height() * cImage.BytesPerPixel());
    cImage.getTile(0, 0, int(cImage.Width()), int(cImage.Height()), a.data());
    return a;
}

int MaxDifference(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b)
{
    if (a.size() != b.size())
        return 256;
    int iMax = 0;
    for (size_t i = 0; i < a.size(); ++i)
        iMax = std::max(iMax, std::abs(int(a[i]) - int(b[i])));
    return iMax;
}

/// A layer on the GPU holding a soft, half-transparent paper tone.
std::unique_ptr<varnik::Texture> NewLayer()
{
    auto pImage = Make<varnik::Image>(varnik::Image::StaticClass());
    pImage->create(s_iWidth, s_iHeight, 4, varnik::Image::e8integer);
    std::vector<float> aPixels(size_t(s_iWidth) * s_iHeight * 4);
    for (unsigned int y = 0; y < s_iHeight; ++y)
        for (unsigned int x = 0; x < s_iWidth; ++x) {
            float* p = &aPixels[(size_t(y) * s_iWidth + x) * 4];
            p[0] = 0.95f, p[1] = 0.9f, p[2] = 0.8f;
            p[3] = 0.5f + 0.4f * std::sin(0.01f * float(x + y));
        }
    const varnik::PixelDescriptor cFloats(4, varnik::PixelDescriptor::eFloat32);
    pImage->setTile(0, 0, int(s_iWidth), int(s_iHeight), aPixels.data(), &cFloats);
    auto pLayer = Make<varnik::Texture>(varnik::Texture::StaticClass());
    pLayer->CopyFrom(pImage.get(), nullptr);
    return pLayer;
}

struct StrokePlan
{
    varnik::Color cColor;
    float fRadius;
    unsigned int iMode;
    std::vector<varnik::Brush::Point> aPoints;
};

const StrokePlan s_aStrokes[] = {
    {varnik::Color(0.8f, 0.1f, 0.1f, 0.8f), 14.f, 0, {{40, 60}, {200, 150}, {470, 90}}},
    {varnik::Color(0.1f, 0.3f, 0.9f, 0.6f), 22.f, 0, {{60, 330}, {250, 200}, {300, 340}}},
    {varnik::Color(0.2f, 0.8f, 0.2f, 1.0f), 9.f, 2, {{20, 20}, {490, 360}}},
    {varnik::Color(1.0f, 0.9f, 0.2f, 0.7f), 30.f, 3, {{380, 300}, {450, 200}, {300, 120}}},
    {varnik::Color(0.f, 0.f, 0.f, 0.9f), 12.f, 4, {{100, 250}, {420, 250}}},
};

/// Paints stroke `i` into the source and composites it into the layer.
void PaintStroke(varnik::Brush& cBrush, varnik::Texture& cSource, varnik::Texture& cLayer, size_t i)
{
    const StrokePlan& s = s_aStrokes[i];
    cBrush.Clear(cSource);
    cBrush.SetColor(s.cColor);
    cBrush.SetRadius(s.fRadius);
    cBrush.SetHardness(0.4f);
    cBrush.SetSpacing(0.2f);
    varnik::ImgDirtyRegion cRegion = cBrush.Paint(cSource, s.aPoints);
    cLayer.Composite(&cSource, &cRegion, s.iMode, nullptr);
}

} // namespace

int RunPaintDemo(QTextStream& out)
{
    if (!varnik::ClassDesc::FindImplementation(varnik::Texture::StaticClass())) {
        out << "paint demo: FAILED, no class implements varnik::Texture\n";
        return 1;
    }
    varnik::Action* pCompositeAll = varnik::Action::Find("Composite paint strokes");
    const int64_t iLedgerAtStart = varnik::Kernel::VideoMemoryUsage();
    int iFailures = 0;
    try {
        auto pLayer = NewLayer(), pReference = NewLayer();
        auto pSource = Make<varnik::Texture>(varnik::Texture::StaticClass());
        pSource->Create(s_iWidth, s_iHeight, 4, varnik::Image::e8integer);
        varnik::Brush cBrush;
        const size_t iCount = sizeof(s_aStrokes) / sizeof(s_aStrokes[0]);
        out << "paint demo: " << iCount << " strokes on a " << s_iWidth << "x" << s_iHeight << " RGBA 8-bit layer\n";
        for (size_t i = 0; i < iCount; ++i)
            PaintStroke(cBrush, *pSource, *pReference, i);

        for (size_t i = 0; i < 3; ++i)
            PaintStroke(cBrush, *pSource, *pLayer, i);
        const std::vector<uint8_t> aThree = Bytes(*pLayer->AsImage());
        out << "  3 strokes at full resolution: " << pLayer->NumVersions() << " versions\n";
        pLayer->PrevVersion();
        const std::vector<uint8_t> aUndone = Bytes(*pLayer->AsImage());
        pLayer->NextVersion();
        const int iRedo = MaxDifference(Bytes(*pLayer->AsImage()), aThree);
        out << "  undo: " << (aUndone != aThree ? "stroke 3 gone" : "FAILED, nothing changed") << "; redo: "
            << (iRedo == 0 ? "stroke 3 back" : "FAILED, pixels differ") << "\n";
        if (aUndone == aThree || iRedo != 0)
            ++iFailures;

        if (!pLayer->setProxyLevel(1, false))
            Fail("proxy level 1 refused", __LINE__);
        for (size_t i = 3; i < iCount; ++i)
            PaintStroke(cBrush, *pSource, *pLayer, i);
        out << "  " << (iCount - 3) << " strokes at proxy level 1 (" << s_iWidth / 2 << "x" << s_iHeight / 2
            << " on the GPU), queued for full resolution\n";
        if (!pCompositeAll)
            Fail("the command \"Composite paint strokes\" does not exist", __LINE__);
        pCompositeAll->Execute();
        const varnik::Interface* pUi = varnik::Kernel::Interface();
        out << "  \"Composite paint strokes\": " << pUi->ProgressDone() << " texture(s) composited, level "
            << int(pLayer->getProxyLevel()) << "\n";

        const varnik::Image* pResult = pLayer->AsImage();
        const int iDiff = MaxDifference(Bytes(*pResult), Bytes(*pReference->AsImage()));
        out << "  full-resolution image against every stroke painted at level 0: largest difference " << iDiff
            << "/255" << (iDiff <= 1 ? "  ok" : "  FAILED") << "\n";
        if (iDiff > 1)
            ++iFailures;
        const QString sFile = QDir(varnik::Kernel::ProjectFilesDirectory()).filePath("paint-demo.png");
        try {
            pResult->Save(sFile);
            out << "  written to " << sFile << "\n";
        } catch (varnik::Error* pError) {
            out << "  not written: " << pError->Describe() << "\n";
            varnik::Error::Discard(pError);
        }
    } catch (varnik::Error* pError) {
        out << "  FAILED: " << pError->Describe() << "\n";
        varnik::Error::Discard(pError);
        ++iFailures;
    }
    const int64_t iLeft = varnik::Kernel::VideoMemoryUsage() - iLedgerAtStart;
    out << "paint demo: " << (iFailures == 0 ? "all checks passed" : "FAILED") << ", textures deleted, "
        << iLeft << " bytes of video memory still held (the replay scratch textures are kept)\n";
    return iFailures == 0 ? 0 : 1;
}
