#include "VarnikImageIO.h"
#include <OpenImageIO/imageio.h>
#include <QFileInfo>
#include <algorithm>
#include <memory>
#include <vector>
#include "PsdWriter.h"
#include "varnik/Error.h"
#include "varnik/Image.h"

namespace varnik {

namespace {

const char* const s_sSourceFile = "src/framework/codec/VarnikImageIO";

Error* ReadError(unsigned int iLine, const QString& sFileName, const QString& sReason)
{
    return (new Error(QString(), 4, "VarnikImageIO::Read", s_sSourceFile, iLine))
        ->Format(QString("Image::Load -- cannot read \"%1\": %2").arg(sFileName, sReason.trimmed()));
}

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
    // Checked first so that the common failures read plainly.
    const QFileInfo cInfo(sFileName);
    if (!cInfo.exists())
        throw ReadError(__LINE__, sFileName, "the file does not exist");
    if (!cInfo.isFile())
        throw ReadError(__LINE__, sFileName, "not a file");
    if (cInfo.size() == 0)
        throw ReadError(__LINE__, sFileName, "the file is empty (0 bytes)");

    const std::string sName = sFileName.toStdString();
    // Paint layers hold straight alpha: ask readers not to premultiply.
    OIIO::ImageSpec cConfig;
    cConfig.attribute("oiio:UnassociatedAlpha", 1);
    auto pInput = OIIO::ImageInput::open(sName, &cConfig);
    if (!pInput)
        throw ReadError(__LINE__, sFileName, Reason(OIIO::geterror(), "no reader accepts the file"));
    // A layered document with one full-size layer (what our own writer makes)
    // is read from that layer: the flattened image of such a file holds the
    // colour blended over white, which cannot give straight colour back exactly
    // where alpha is below 1.
    // Only the dimension and type fields are read, which is all a pixel read needs.
    int iSubimage = 0;
    if (cInfo.suffix().toLower() == "psd" && pInput->spec_dimensions(0, 0).nchannels >= 4 &&
        pInput->seek_subimage(1, 0) && !pInput->seek_subimage(2, 0)) {
        const OIIO::ImageSpec cComposite = pInput->spec_dimensions(0, 0);
        const OIIO::ImageSpec cLayer = pInput->spec_dimensions(1, 0);
        if (cLayer.width == cComposite.width && cLayer.height == cComposite.height &&
            cLayer.x == cComposite.x && cLayer.y == cComposite.y &&
            cLayer.nchannels == cComposite.nchannels && cLayer.format == cComposite.format)
            iSubimage = 1;
    }
    pInput->seek_subimage(iSubimage, 0);
    const OIIO::ImageSpec cSpec = pInput->spec_dimensions(iSubimage, 0);
    if (cSpec.width <= 0 || cSpec.height <= 0 || cSpec.nchannels <= 0 ||
        uint32_t(cSpec.width) > Image::s_iMaxDimension || uint32_t(cSpec.height) > Image::s_iMaxDimension)
        throw ReadError(__LINE__, sFileName,
                        QString("unsupported size %1 x %2 with %3 channels")
                            .arg(cSpec.width).arg(cSpec.height).arg(cSpec.nchannels));

    Image::Format eFormat = Image::e32float;
    switch (cSpec.format.basetype) {
    case OIIO::TypeDesc::UINT8: eFormat = Image::e8integer; break;
    case OIIO::TypeDesc::UINT16: eFormat = Image::e16integer; break;
    case OIIO::TypeDesc::HALF: eFormat = Image::e16float; break;
    default: eFormat = Image::e32float; break;  // float as it is, the rest converted
    }
    const uint32_t iFileChannels = uint32_t(std::min(cSpec.nchannels, 4));
    const uint32_t iWidth = uint32_t(cSpec.width), iHeight = uint32_t(cSpec.height);

    Image cFile;
    cFile.create(iWidth, iHeight, iFileChannels, eFormat);
    const OIIO::TypeDesc cType = TypeOf(Image::ChannelTypeOf(eFormat));
    const size_t iRowBytes = size_t(iWidth) * cFile.BytesPerPixel();
    // Bands of about 16 MiB: the library decodes the chunks of one call in
    // parallel, so small calls leave its threads idle, while a whole-image
    // buffer would cost a second copy's worth of fresh memory.
    const uint32_t iBand = std::max<uint32_t>(256, uint32_t((size_t(16) << 20) / iRowBytes)) & ~255u;
    std::vector<uint8_t> aBand(iRowBytes * std::min(iBand, iHeight));
    for (uint32_t y = 0; y < iHeight; y += iBand) {
        const uint32_t iRows = std::min(iBand, iHeight - y);
        if (!pInput->read_scanlines(iSubimage, 0, cSpec.y + int(y), cSpec.y + int(y + iRows), cSpec.z, 0,
                                    int(iFileChannels), cType, aBand.data()))
            throw ReadError(__LINE__, sFileName, Reason(pInput->geterror(), "the pixel data cannot be read"));
        cFile.setTile(0, int(y), int(iWidth), int(iRows), aBand.data());
    }
    pInput->close();

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
    const QFileInfo cInfo(sFileName);
    if (!cInfo.isFile())
        throw ReadError(__LINE__, sFileName, cInfo.exists() ? "not a file" : "the file does not exist");
    OIIO::ImageSpec cConfig;
    cConfig.attribute("oiio:UnassociatedAlpha", 1);
    auto pInput = OIIO::ImageInput::open(sFileName.toStdString(), &cConfig);
    if (!pInput)
        throw ReadError(__LINE__, sFileName, Reason(OIIO::geterror(), "no reader accepts the file"));
    const OIIO::ImageSpec cSpec = pInput->spec_dimensions(0, 0);
    pInput->close();
    if (cSpec.width <= 0 || cSpec.height <= 0 || cSpec.nchannels <= 0 ||
        uint32_t(cSpec.width) > Image::s_iMaxDimension || uint32_t(cSpec.height) > Image::s_iMaxDimension)
        throw ReadError(__LINE__, sFileName,
                        QString("unsupported size %1 x %2 with %3 channels")
                            .arg(cSpec.width).arg(cSpec.height).arg(cSpec.nchannels));
    Image::FileShape cShape;
    cShape.m_iWidth = uint32_t(cSpec.width);
    cShape.m_iHeight = uint32_t(cSpec.height);
    cShape.m_iChannels = uint32_t(std::min(cSpec.nchannels, 4));
    // The formats Read loads the pixels in.
    switch (cSpec.format.basetype) {
    case OIIO::TypeDesc::UINT8: cShape.m_eFormat = Image::e8integer; break;
    case OIIO::TypeDesc::UINT16: cShape.m_eFormat = Image::e16integer; break;
    case OIIO::TypeDesc::HALF: cShape.m_eFormat = Image::e16float; break;
    default: cShape.m_eFormat = Image::e32float; break;
    }
    return cShape;
}

} // namespace

ImageCodec* RegisterImageIO()
{
    static VarnikImageIO s_cCodec;
    ImageCodec::Register(&s_cCodec);
    return &s_cCodec;
}

} // namespace varnik
