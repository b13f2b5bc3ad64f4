// The image part of the "demo" job: images of several formats go to files and
// come back, and the pixels are compared.
#include <GL/glew.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <memory>
#include <vector>
#include <QFileInfo>
#include <QTemporaryDir>
#include "Jobs.h"
#include "varnik/ClassDesc.h"
#include "varnik/Error.h"
#include "varnik/Image.h"
#include "varnik/Kernel.h"
#include "varnik/PixelDescriptor.h"

namespace {

struct Case
{
    const char* sExtension;       ///< picks the writer
    varnik::Image::Format eFormat; ///< format of the image written
    unsigned int iChannels;       ///< channels of the image written
    unsigned int iBits;           ///< bits per channel asked of the writer (0: as held)
    float fTolerance;             ///< largest difference accepted per channel
};

// Lossless writers must give back what they got (to the precision of their
// depth); JPEG only something close.
const Case s_aCases[] = {
    { "png", varnik::Image::e8integer, 4, 0, 0.5f / 255.f },
    { "png", varnik::Image::e16integer, 3, 0, 0.5f / 65535.f },
    { "tif", varnik::Image::e16integer, 4, 0, 0.5f / 65535.f },
    { "tif", varnik::Image::e32float, 4, 0, 0.f },
    { "exr", varnik::Image::e16float, 4, 0, 0.f },
    { "exr", varnik::Image::e32float, 1, 0, 0.f },
    { "tga", varnik::Image::e8integer, 4, 0, 0.5f / 255.f },
    { "bmp", varnik::Image::e8integer, 3, 0, 0.5f / 255.f },
    { "psd", varnik::Image::e8integer, 4, 8, 0.f },
    { "psd", varnik::Image::e16integer, 3, 16, 0.5f / 65535.f },
    { "jpg", varnik::Image::e8integer, 3, 0, 24.f / 255.f },
};

const char* FormatName(varnik::Image::Format eFormat)
{
    static const char* s_aNames[] = { "8-bit", "16-bit", "32-bit int", "half", "float", "16-bit depth", "24-bit depth", "32-bit depth" };
    return uint32_t(eFormat) < 8 ? s_aNames[eFormat] : "no format";
}

/// A smooth pattern with a hard edge, in 0..1, so that both filtering and
/// quantisation show up in the comparison.
std::vector<float> Pattern(unsigned int iWidth, unsigned int iHeight, unsigned int iChannels)
{
    std::vector<float> aPixels(size_t(iWidth) * iHeight * iChannels);
    for (unsigned int y = 0; y < iHeight; ++y)
        for (unsigned int x = 0; x < iWidth; ++x)
            for (unsigned int c = 0; c < iChannels; ++c) {
                float f;
                if (c == 3)
                    f = x < iWidth / 2 ? 1.f : 0.5f;
                else
                    f = 0.5f + 0.5f * std::sin(0.15f * float(x + 2 * c) + 0.1f * float(y * (c + 1)));
                aPixels[(size_t(y) * iWidth + x) * iChannels + c] = f;
            }
    return aPixels;
}

std::unique_ptr<varnik::Image> NewImage()
{
    return std::unique_ptr<varnik::Image>(varnik::CreateInstanceAs<varnik::Image>(varnik::Image::StaticClass()));
}

} // namespace

int RunImageDemo(QTextStream& out)
{
    QTemporaryDir cDir;
    if (!cDir.isValid()) {
        out << "image demo: cannot make a temporary folder\n";
        return 1;
    }
    out << "image demo: writing to " << cDir.path() << "\n";

    const unsigned int iWidth = 61, iHeight = 37;  // odd sizes: partial storage tiles
    int iFailures = 0;
    int iIndex = 0;
    for (const Case& cCase : s_aCases) {
        const QString sFile = cDir.filePath(QString("image%1.%2").arg(iIndex++).arg(cCase.sExtension));
        const QString sWhat = QString("%1 %2 %3ch %4x%5").arg(QString(cCase.sExtension).leftJustified(3))
                                  .arg(QString(FormatName(cCase.eFormat)).leftJustified(6))
                                  .arg(cCase.iChannels).arg(iWidth).arg(iHeight);
        try {
            const varnik::PixelDescriptor cFloats(cCase.iChannels, varnik::PixelDescriptor::eFloat32);
            const std::vector<float> aWritten = Pattern(iWidth, iHeight, cCase.iChannels);
            std::unique_ptr<varnik::Image> pImage = NewImage();
            pImage->create(iWidth, iHeight, cCase.iChannels, cCase.eFormat);
            pImage->setTile(0, 0, int(iWidth), int(iHeight), aWritten.data(), &cFloats);
            // What the image holds after quantisation to its own format is the
            // reference: the file must keep exactly that (up to the tolerance).
            std::vector<float> aHeld(aWritten.size());
            pImage->getTile(0, 0, int(iWidth), int(iHeight), aHeld.data(), &cFloats);
            pImage->Save(sFile, cCase.iBits);

            std::unique_ptr<varnik::Image> pLoaded = NewImage();
            pLoaded->Load(sFile, cCase.iChannels);
            if (pLoaded->Width() != iWidth || pLoaded->Height() != iHeight || pLoaded->ChannelCount() != cCase.iChannels) {
                out << "  " << sWhat << ": FAILED, read back " << pLoaded->Width() << "x" << pLoaded->Height()
                    << " " << pLoaded->ChannelCount() << "ch\n";
                ++iFailures;
                continue;
            }
            std::vector<float> aRead(aWritten.size());
            pLoaded->getTile(0, 0, int(iWidth), int(iHeight), aRead.data(), &cFloats);
            float fMax = 0.f;
            size_t iWorst = 0;
            for (size_t i = 0; i < aRead.size(); ++i) {
                const float fDifference = std::fabs(aRead[i] - aHeld[i]);
                if (fDifference > fMax) {
                    fMax = fDifference;
                    iWorst = i;
                }
            }
            const bool bOk = fMax <= cCase.fTolerance + 1e-6f;
            out << "  " << sWhat << ": " << QFileInfo(sFile).size() << " bytes, read back as "
                << FormatName(pLoaded->format()) << ", largest difference " << QString::number(double(fMax), 'g', 3);
            if (bOk) {
                out << "  ok\n";
            } else {
                // Where it is worst says what went wrong (alpha handling shows in colour channels where alpha < 1).
                const size_t iPixel = iWorst / cCase.iChannels;
                out << " (channel " << iWorst % cCase.iChannels << " at " << iPixel % iWidth << "," << iPixel / iWidth
                    << ": wrote " << aHeld[iWorst] << ", read " << aRead[iWorst] << ")  FAILED\n";
            }
            if (!bOk)
                ++iFailures;
        } catch (varnik::Error* pError) {
            out << "  " << sWhat << ": FAILED, " << pError->Text() << "\n";
            varnik::Error::Discard(pError);
            ++iFailures;
        }
    }

    // A file that is not there must give a clear error, not a crash.
    try {
        std::unique_ptr<varnik::Image> pMissing = NewImage();
        pMissing->Load(cDir.filePath("missing.png"));
        out << "  missing file: FAILED, no error\n";
        ++iFailures;
    } catch (varnik::Error* pError) {
        out << "  missing file: error as expected (" << pError->Text() << ")\n";
        varnik::Error::Discard(pError);
    }

    out << "image demo: " << (std::size(s_aCases) + 1 - size_t(iFailures)) << " of " << (std::size(s_aCases) + 1)
        << " checks passed\n";
    return iFailures == 0 ? 0 : 1;
}
