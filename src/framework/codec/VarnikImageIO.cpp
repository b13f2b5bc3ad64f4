#include "VarnikImageIO.h"
#include <OpenImageIO/imageio.h>
#include <QFileInfo>
#include <algorithm>
#include <memory>
#include <vector>
#include "ImageReader.h"
#include "PsdWriter.h"
#include "varnik/Error.h"
#include "varnik/Image.h"

namespace varnik {

namespace {

const char* const s_sSourceFile = "src/framework/codec/VarnikImageIO";

Error* WriteError(unsigned int iLine, const QString& sFileName, const QString& sReason)
{
    return (new Error(QString(), 4, "VarnikImageIO::Write", s_sSourceFile, iLine))
        ->Format(QString("Image::Save -- cannot write \"%1\": %2").arg(sFileName, sReason.trimmed()));
}

QString Reason(const std::string& sText, const char* sFallback)
{
    // The library may stack several lines; one line reads better in a log.
    return sText.empty() ? QString(sFallback)
                         : QString::fromStdString(sText).trimmed().replace(QChar('\n'), QStringLiteral("; "));
}

/// The file type each image format is handed to the library in (no conversion).
OIIO::TypeDesc TypeOf(PixelDescriptor::ChannelType eType)
{
    switch (eType) {
    case PixelDescriptor::eUInt8: return OIIO::TypeDesc::UINT8;
    case PixelDescriptor::eUInt16: return OIIO::TypeDesc::UINT16;
    case PixelDescriptor::eFloat16: return OIIO::TypeDesc::HALF;
    case PixelDescriptor::eUInt32: return OIIO::TypeDesc::UINT32;
    default: return OIIO::TypeDesc::FLOAT;
    }
}

/// The codec on OpenImageIO; PSD is written by PsdWriter.
class VarnikImageIO : public ImageCodec
{
public:
    void Read(const QString& sFileName, Image& cImage, unsigned int iChannels) override;
    void Write(const QString& sFileName, const Image& cImage, unsigned int iBitsPerChannel) override;
    Image::FileShape ReadShape(const QString& sFileName) override;
};

void VarnikImageIO::Read(const QString& sFileName, Image& cImage, unsigned int iChannels)
{
    Image cFile;
    ImageReader(sFileName).Read(cFile);
    const uint32_t iWidth = cFile.Width(), iHeight = cFile.Height(), iFileChannels = cFile.ChannelCount();
    const Image::Format eFormat = cFile.format();
    if (iChannels != 0 && iChannels != iFileChannels) {
        cImage.create(iWidth, iHeight, iChannels, eFormat);
        cImage.ConvertFrom(cFile);
    } else {
        cImage.create(iWidth, iHeight, iFileChannels, eFormat);
        cImage.CopyRect(cFile, cFile.getBounds(), 0, 0);  // shares the tiles
    }
}

void VarnikImageIO::Write(const QString& sFileName, const Image& cImage, unsigned int iBitsPerChannel)
{
    if (!cImage.HasData())
        throw WriteError(__LINE__, sFileName, "the image has no pixels");
    const QString sExtension = QFileInfo(sFileName).suffix().toLower();
    if (sExtension == "psd") {
        PsdWriter::Write(sFileName, cImage, iBitsPerChannel);
        return;
    }
    if (sExtension.isEmpty())
        throw WriteError(__LINE__, sFileName, "the name has no extension to choose a file format by");

    const std::string sName = sFileName.toStdString();
    auto pOutput = OIIO::ImageOutput::create(sName);
    if (!pOutput)
        throw WriteError(__LINE__, sFileName,
                         QString("unknown extension \".%1\": %2")
                             .arg(sExtension, Reason(OIIO::geterror(), "no writer for it")));

    const PixelDescriptor cDesc = cImage.Descriptor();
    OIIO::TypeDesc cFileType = TypeOf(cDesc.m_eChannelType);
    switch (iBitsPerChannel) {
    case 8: cFileType = OIIO::TypeDesc::UINT8; break;
    case 16: cFileType = sExtension == "exr" ? OIIO::TypeDesc::HALF : OIIO::TypeDesc::UINT16; break;
    case 32: cFileType = OIIO::TypeDesc::FLOAT; break;
    default: break;
    }
    const uint32_t iWidth = cImage.Width(), iHeight = cImage.Height(), iChannels = cImage.ChannelCount();
    OIIO::ImageSpec cSpec(int(iWidth), int(iHeight), int(iChannels), cFileType);
    if (iChannels == 2) {
        cSpec.channelnames = {"Y", "A"};
        cSpec.alpha_channel = 1;
    }
    // Straight alpha as held: writers must not divide by it.
    cSpec.attribute("oiio:UnassociatedAlpha", 1);
    if (!pOutput->open(sName, cSpec))
        throw WriteError(__LINE__, sFileName, Reason(pOutput->geterror(), "the file cannot be opened"));

    const OIIO::TypeDesc cType = TypeOf(cDesc.m_eChannelType);
    const size_t iRowBytes = size_t(iWidth) * cImage.BytesPerPixel();
    const uint32_t iBand = 256;
    std::vector<uint8_t> aBand(iRowBytes * std::min(iBand, iHeight));
    for (uint32_t y = 0; y < iHeight; y += iBand) {
        const uint32_t iRows = std::min(iBand, iHeight - y);
        cImage.getTile(0, int(y), int(iWidth), int(iRows), aBand.data());
        if (!pOutput->write_scanlines(int(y), int(y + iRows), 0, cType, aBand.data())) {
            const QString sReason = Reason(pOutput->geterror(), "the pixels cannot be written");
            pOutput->close();
            throw WriteError(__LINE__, sFileName, sReason);
        }
    }
    if (!pOutput->close())
        throw WriteError(__LINE__, sFileName, Reason(pOutput->geterror(), "the file cannot be completed"));
}

Image::FileShape VarnikImageIO::ReadShape(const QString& sFileName)
{
    // Only the header: a folder of tile files is opened without decoding any.
    return ImageReader(sFileName).ReadShape();
}

} // namespace

ImageCodec* RegisterImageIO()
{
    static VarnikImageIO s_cCodec;
    ImageCodec::Register(&s_cCodec);
    return &s_cCodec;
}

} // namespace varnik
