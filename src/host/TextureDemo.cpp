// The texture part of the "demo" job: layer textures of several formats are
// made through the class registry (the loaded module provides the class),
// filled, read back, moved to CPU memory and back, and shown at a proxy
// level, with the video-memory ledger printed at each step.
#include <GL/glew.h>

#include <cmath>
#include <cstring>
#include <iterator>
#include <memory>
#include <vector>
#include "Jobs.h"
#include "varnik/ClassDesc.h"
#include "varnik/Error.h"
#include "varnik/Image.h"
#include "varnik/Kernel.h"
#include "varnik/PixelDescriptor.h"
#include "varnik/Texture.h"
#include "varnik/TexturePool.h"

namespace {

struct Layer
{
    const char* sName;              ///< shown in the output
    varnik::Image::Format eFormat;  ///< format of the uploaded image
    unsigned int iChannels;         ///< channels of the uploaded image
    unsigned int iWidth;            ///< size of the layer
    unsigned int iHeight;
};

// Sizes include ones that are not powers of two and one below the 128 texels
// where readback changes path.
const Layer s_aLayers[] = {
    { "RGBA 8-bit", varnik::Image::e8integer, 4, 640, 480 },
    { "LA 8-bit", varnik::Image::e8integer, 2, 300, 200 },
    { "RGBA 16-bit", varnik::Image::e16integer, 4, 256, 100 },
    { "RGBA half", varnik::Image::e16float, 4, 320, 240 },
    { "RGBA float", varnik::Image::e32float, 4, 512, 384 },
};

[[noreturn]] void Fail(const QString& sMessage, unsigned int iLine)
{
    throw (new varnik::Error(QString(), 4, "RunTextureDemo", "src/host/TextureDemo", iLine))->Format(sMessage);
}

/// A node of `pClass` made through the registry, as `T`.
template <typename T>
std::unique_ptr<T> Make(const varnik::ClassDesc* pClass, const char* sWhat)
{
    return std::unique_ptr<T>(varnik::CreateInstanceAs<T>(pClass));
}

/// Smooth content with a hard edge, written through a float descriptor so
/// that every format quantises it its own way.
std::unique_ptr<varnik::Image> MakeContent(const Layer& cLayer)
{
    std::unique_ptr<varnik::Image> pImage = Make<varnik::Image>(varnik::Image::StaticClass(), "image");
    pImage->create(cLayer.iWidth, cLayer.iHeight, cLayer.iChannels, cLayer.eFormat);
    std::vector<float> aPixels(size_t(cLayer.iWidth) * cLayer.iHeight * cLayer.iChannels);
    for (unsigned int y = 0; y < cLayer.iHeight; ++y)
        for (unsigned int x = 0; x < cLayer.iWidth; ++x)
            for (unsigned int c = 0; c < cLayer.iChannels; ++c)
                aPixels[(size_t(y) * cLayer.iWidth + x) * cLayer.iChannels + c] =
                    c + 1 == cLayer.iChannels ? (x < cLayer.iWidth / 3 ? 1.f : 0.75f)
                                              : 0.5f + 0.5f * std::sin(0.07f * float(x * (c + 1)) + 0.05f * float(y));
    const varnik::PixelDescriptor cFloats(cLayer.iChannels, varnik::PixelDescriptor::eFloat32);
    pImage->setTile(0, 0, int(cLayer.iWidth), int(cLayer.iHeight), aPixels.data(), &cFloats);
    return pImage;
}

/// The pixels of an image in its own layout.
std::vector<uint8_t> Bytes(const varnik::Image& cImage)
{
    std::vector<uint8_t> a(size_t(cImage.Width()) * cImage.Height() * cImage.BytesPerPixel());
    cImage.getTile(0, 0, int(cImage.Width()), int(cImage.Height()), a.data());
    return a;
}

/// Compares an image with the reference pixels; throws with the first
/// differing byte.
void Compare(const varnik::Image& cImage, const varnik::Image& cReference, const char* sStep)
{
    if (cImage.Width() != cReference.Width() || cImage.Height() != cReference.Height()
        || cImage.ChannelCount() != cReference.ChannelCount() || cImage.format() != cReference.format())
        Fail(QString("%1: read back %2x%3 %4ch format %5, expected %6x%7 %8ch format %9")
                 .arg(sStep).arg(cImage.Width()).arg(cImage.Height()).arg(cImage.ChannelCount())
                 .arg(unsigned(cImage.format())).arg(cReference.Width()).arg(cReference.Height())
                 .arg(cReference.ChannelCount()).arg(unsigned(cReference.format())),
             __LINE__);
    const std::vector<uint8_t> a = Bytes(cImage), b = Bytes(cReference);
    for (size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i])
            Fail(QString("%1: pixels differ at byte %2 (pixel %3): %4 instead of %5")
                     .arg(sStep).arg(i).arg(i / cReference.BytesPerPixel()).arg(a[i]).arg(b[i]),
                 __LINE__);
}

/// Reads what the GPU holds now into a new image and compares it.
void CompareGpu(const varnik::Texture& cTexture, const varnik::Image& cReference, const char* sStep)
{
    std::unique_ptr<varnik::Image> pRead = Make<varnik::Image>(varnik::Image::StaticClass(), "image");
    cTexture.CopyGLTextureToImage(pRead.get(), false, nullptr, varnik::Image::optimizedChannelOrder());
    Compare(*pRead, cReference, sStep);
}

QString Ledger()
{
    return QString("ledger %1 bytes").arg(varnik::Kernel::VideoMemoryUsage());
}

void Expect(bool bCondition, const QString& sWhat, unsigned int iLine)
{
    if (!bCondition)
        Fail(sWhat, iLine);
}

/// One layer through every step. Returns the texture, still holding video
/// memory, so that the ledger shows the layers side by side.
std::unique_ptr<varnik::Texture> RunLayer(const Layer& cLayer, QTextStream& out)
{
    const int64_t iBytes = int64_t(cLayer.iWidth) * cLayer.iHeight * cLayer.iChannels
                           * varnik::Image::BytesPerChannel(cLayer.eFormat);
    std::unique_ptr<varnik::Image> pContent = MakeContent(cLayer);
    std::unique_ptr<varnik::Texture> pTexture =
        Make<varnik::Texture>(varnik::Texture::StaticClass(), "texture");

    const int64_t iBefore = varnik::Kernel::VideoMemoryUsage();
    pTexture->CopyFrom(pContent.get(), nullptr);
    Expect(pTexture->Width() == cLayer.iWidth && pTexture->Height() == cLayer.iHeight
               && pTexture->ChannelCount() == cLayer.iChannels && pTexture->Format() == cLayer.eFormat,
           "upload: the texture does not have the image's shape", __LINE__);
    Expect(varnik::Kernel::VideoMemoryUsage() - iBefore == iBytes,
           QString("upload: the ledger grew by %1, expected %2").arg(varnik::Kernel::VideoMemoryUsage() - iBefore).arg(iBytes),
           __LINE__);
    out << "    uploaded " << iBytes << " bytes, " << Ledger() << "\n";

    CompareGpu(*pTexture, *pContent, "read back");
    out << "    read back from the GPU: identical\n";

    pTexture->SetLocation(varnik::TexturePool::locationCPU);
    Expect(pTexture->Location() == varnik::TexturePool::locationCPU && pTexture->OpenGLName() == 0,
           "move to CPU memory: still on the GPU", __LINE__);
    Expect(pTexture->VideoMemoryUsage(-1.f) == 0, "move to CPU memory: video memory still counted", __LINE__);
    const varnik::Image* pHeld = pTexture->AsImage();
    Expect(pHeld != nullptr, "move to CPU memory: no image held", __LINE__);
    Compare(*pHeld, *pContent, "CPU copy");
    out << "    moved to CPU memory: identical, " << Ledger() << "\n";

    pTexture->SetLocation(varnik::TexturePool::locationGPU);
    Expect(pTexture->OpenGLName() != 0, "move back to the GPU: no texture", __LINE__);
    CompareGpu(*pTexture, *pContent, "back on the GPU");
    out << "    moved back to the GPU: identical, " << Ledger() << "\n";

    if (!pTexture->setProxyLevel(1, false))
        Fail("proxy level 1 refused", __LINE__);
    Expect(pTexture->getProxyLevel() == 1 && pTexture->Width() == cLayer.iWidth
               && pTexture->Height() == cLayer.iHeight,
           "proxy level 1: level or size wrong", __LINE__);
    const int64_t iProxyBytes = int64_t(cLayer.iWidth / 2) * (cLayer.iHeight / 2) * cLayer.iChannels
                                * varnik::Image::BytesPerChannel(cLayer.eFormat);
    Expect(pTexture->VideoMemoryUsage(-1.f) == iProxyBytes,
           QString("proxy level 1: %1 bytes of video memory, expected %2").arg(pTexture->VideoMemoryUsage(-1.f)).arg(iProxyBytes),
           __LINE__);
    out << "    proxy level 1: " << pTexture->VideoMemoryUsage(-1.f) << " bytes on the GPU, " << Ledger() << "\n";

    if (!pTexture->setProxyLevel(0, false))
        Fail("proxy level 0 refused", __LINE__);
    CompareGpu(*pTexture, *pContent, "back at full resolution");
    out << "    back at full resolution: identical, " << Ledger() << "\n";
    return pTexture;
}

} // namespace

int RunTextureDemo(QTextStream& out)
{
    if (!varnik::ClassDesc::FindImplementation(varnik::Texture::StaticClass())) {
        out << "texture demo: FAILED, no class implements varnik::Texture (is the Texture module in the plug-in folder?)\n";
        return 1;
    }
    const int64_t iLedgerAtStart = varnik::Kernel::VideoMemoryUsage();
    out << "texture demo: " << Ledger() << " at start\n";

    int iFailures = 0;
    std::vector<std::unique_ptr<varnik::Texture>> aTextures;
    for (const Layer& cLayer : s_aLayers) {
        out << "  " << cLayer.sName << " " << cLayer.iWidth << "x" << cLayer.iHeight << ":\n";
        try {
            aTextures.push_back(RunLayer(cLayer, out));
        } catch (varnik::Error* pError) {
            out << "    FAILED: " << pError->Describe() << "\n";
            varnik::Error::Discard(pError);
            ++iFailures;
        }
        out.flush();
    }

    out << "  " << aTextures.size() << " layers alive, " << Ledger() << "\n";
    aTextures.clear();
    const int64_t iLeft = varnik::Kernel::VideoMemoryUsage() - iLedgerAtStart;
    out << "  layers deleted, " << Ledger() << (iLeft == 0 ? "  ok" : "  FAILED: memory not given back") << "\n";
    if (iLeft != 0)
        ++iFailures;

    const int iCount = int(std::size(s_aLayers)) + 1;
    out << "texture demo: " << (iCount - iFailures) << " of " << iCount << " checks passed\n";
    return iFailures == 0 ? 0 : 1;
}
