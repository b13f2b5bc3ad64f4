#include "PsdWriter.h"
#include <QFile>
#include <algorithm>
#include <vector>
#include "varnik/Error.h"
#include "varnik/Image.h"

namespace varnik {

namespace {

const char* const s_sSourceFile = "src/framework/codec/PsdWriter";
const uint32_t s_iMaxSide = 30000;  // larger images need the large-document variant

Error* WriteError(unsigned int iLine, const QString& sFileName, const QString& sReason)
{
    return (new Error(QString(), 4, "PsdWriter::Write", s_sSourceFile, iLine))
        ->Format(QString("Image::Save -- cannot write \"%1\": %2").arg(sFileName, sReason));
}

void PutU16(std::vector<uint8_t>& a, uint32_t v)
{
    a.push_back(uint8_t(v >> 8));
    a.push_back(uint8_t(v));
}

void PutU32(std::vector<uint8_t>& a, uint32_t v)
{
    PutU16(a, v >> 16);
    PutU16(a, v & 0xFFFF);
}

} // namespace

void PsdWriter::Write(const QString& sFileName, const Image& cImage, unsigned int iBits)
{
    if (!cImage.HasData())
        throw WriteError(__LINE__, sFileName, "the image has no pixels");
    if (iBits == 0)
        iBits = cImage.format() == Image::e8integer ? 8 : 16;
    if (iBits != 8 && iBits != 16)
        throw WriteError(__LINE__, sFileName,
                         QString("PSD files are written with 8 or 16 bits per channel, not %1").arg(iBits));
    const uint32_t iWidth = cImage.Width(), iHeight = cImage.Height(), iChannels = cImage.ChannelCount();
    if (iWidth > s_iMaxSide || iHeight > s_iMaxSide)
        throw WriteError(__LINE__, sFileName,
                         QString("%1 x %2 is larger than a PSD file holds (%3 a side)")
                             .arg(iWidth).arg(iHeight).arg(s_iMaxSide));

    QFile cFile(sFileName);
    if (!cFile.open(QIODevice::WriteOnly | QIODevice::Truncate))
        throw WriteError(__LINE__, sFileName, cFile.errorString());

    const uint32_t iBytes = iBits / 8;
    const uint64_t iPlaneBytes = uint64_t(iWidth) * iHeight * iBytes;
    const bool bAlpha = iChannels == 2 || iChannels == 4;

    // Header, empty colour-mode and resource sections.
    std::vector<uint8_t> aHead;
    aHead.insert(aHead.end(), {'8', 'B', 'P', 'S'});
    PutU16(aHead, 1);
    aHead.insert(aHead.end(), 6, 0);
    PutU16(aHead, iChannels);
    PutU32(aHead, iHeight);
    PutU32(aHead, iWidth);
    PutU16(aHead, iBits);
    PutU16(aHead, iChannels < 3 ? 1 : 3);  // grayscale or RGB
    PutU32(aHead, 0);
    PutU32(aHead, 0);
    // Readers take the flat image's extra channel as its transparency only when
    // the layer count is negative, so an image with alpha carries its one
    // layer; one without has an empty layer section.
    bool bPad = false;
    if (!bAlpha) {
        PutU32(aHead, 0);
    } else {
        std::vector<uint8_t> aRecord;
        PutU32(aRecord, 0);        // top
        PutU32(aRecord, 0);        // left
        PutU32(aRecord, iHeight);  // bottom
        PutU32(aRecord, iWidth);   // right
        PutU16(aRecord, iChannels);
        for (uint32_t c = 0; c < iChannels; ++c) {
            PutU16(aRecord, c + 1 == iChannels ? 0xFFFF : c);  // -1 is the alpha
            PutU32(aRecord, uint32_t(2 + iPlaneBytes));
        }
        aRecord.insert(aRecord.end(), {'8', 'B', 'I', 'M', 'n', 'o', 'r', 'm'});
        aRecord.insert(aRecord.end(), {255, 0, 0, 0});  // opacity, clipping, flags, filler
        PutU32(aRecord, 12);       // extra data: no mask, no blending ranges, empty name
        PutU32(aRecord, 0);
        PutU32(aRecord, 0);
        aRecord.insert(aRecord.end(), {0, 0, 0, 0});
        uint64_t iLayerInfo = 2 + aRecord.size() + uint64_t(iChannels) * (2 + iPlaneBytes);
        bPad = iLayerInfo % 2 != 0;
        iLayerInfo += bPad ? 1 : 0;
        if (iLayerInfo + 8 > 0xFFFFFFFFull)
            throw WriteError(__LINE__, sFileName, "the image is too large for a PSD layer");
        PutU32(aHead, uint32_t(iLayerInfo + 8));
        PutU32(aHead, uint32_t(iLayerInfo));
        PutU16(aHead, 0xFFFF);  // layer count -1
        aHead.insert(aHead.end(), aRecord.begin(), aRecord.end());
    }
    bool bOk = cFile.write(reinterpret_cast<const char*>(aHead.data()), qint64(aHead.size())) ==
               qint64(aHead.size());

    const PixelDescriptor cDesc(iChannels, iBits == 8 ? PixelDescriptor::eUInt8 : PixelDescriptor::eUInt16);
    const uint32_t iBand = 64;
    std::vector<uint8_t> aPixels(size_t(iWidth) * iBand * cDesc.BytesPerPixel());
    std::vector<uint8_t> aPlane(size_t(iWidth) * iBand * iBytes);
    const char aNoCompression[2] = {0, 0};
    // One channel's plane, big-endian samples: the file holds each plane whole.
    // The flat RGBA image is stored matted over white, as readers expect and
    // undo; layers and gray images hold straight values.
    auto fPlane = [&](uint32_t c, bool bMatte) {
        for (uint32_t y = 0; y < iHeight && bOk; y += iBand) {
            const uint32_t iRows = std::min(iBand, iHeight - y);
            cImage.getTile(0, int(y), int(iWidth), int(iRows), aPixels.data(), &cDesc);
            const size_t iCount = size_t(iWidth) * iRows;
            if (iBytes == 1) {
                for (size_t i = 0; i < iCount; ++i) {
                    const uint32_t v = aPixels[i * iChannels + c];
                    if (bMatte) {
                        const uint32_t a = aPixels[i * iChannels + 3];
                        aPlane[i] = uint8_t((v * a + 255 * (255 - a) + 127) / 255);
                    } else {
                        aPlane[i] = uint8_t(v);
                    }
                }
            } else {
                const uint16_t* p = reinterpret_cast<const uint16_t*>(aPixels.data());
                for (size_t i = 0; i < iCount; ++i) {
                    uint64_t v = p[i * iChannels + c];
                    if (bMatte) {
                        const uint64_t a = p[i * iChannels + 3];
                        v = (v * a + 65535 * (65535 - a) + 32767) / 65535;
                    }
                    aPlane[2 * i] = uint8_t(v >> 8);
                    aPlane[2 * i + 1] = uint8_t(v);
                }
            }
            const qint64 iSize = qint64(iCount * iBytes);
            bOk = cFile.write(reinterpret_cast<const char*>(aPlane.data()), iSize) == iSize;
        }
    };
    if (bAlpha) {
        for (uint32_t c = 0; c < iChannels && bOk; ++c) {
            bOk = cFile.write(aNoCompression, 2) == 2;
            fPlane(c, false);
        }
        if (bPad && bOk)
            bOk = cFile.write(aNoCompression, 1) == 1;
        const char aNoGlobalMask[4] = {0, 0, 0, 0};
        bOk = bOk && cFile.write(aNoGlobalMask, 4) == 4;
    }
    // The flat image: compression 0, then the planes.
    bOk = bOk && cFile.write(aNoCompression, 2) == 2;
    for (uint32_t c = 0; c < iChannels && bOk; ++c)
        fPlane(c, iChannels == 4 && c < 3);
    if (!bOk || !cFile.flush()) {
        const QString sReason = cFile.errorString();
        cFile.close();
        cFile.remove();
        throw WriteError(__LINE__, sFileName, sReason);
    }
    cFile.close();
}

} // namespace varnik
