#include "TextureFormat.h"

using varnik::Image;

/// One format: its storage by channel count, its transfer type and sizes.
struct TextureFormat::Row
{
    GLint m_aInternal[4];            ///< internal format for 1, 2, 3 and any other channel count
    GLenum m_iAllocationFormat;      ///< pixel format named when allocating
    GLenum m_iType;                  ///< pixel type of allocation and upload
    unsigned int m_iChannelBytes;    ///< allocation bytes a channel; 0: a fixed size a texel
    unsigned int m_iTexelBytes;      ///< allocation bytes a texel when not counted by channel
    GLenum m_iReadType;              ///< pixel type of readback; 0: cannot be read
    unsigned int m_iReadBytes;       ///< bytes of one component as read back
    GLint m_iTwoChannelAlignment;    ///< pack and unpack alignment of two-channel rows
    bool m_bUpload;                  ///< host images of this format can be uploaded
    Image::Format m_eReadFormat;     ///< format of the image a readback fills
    int m_iSlot;                     ///< render-target slot; -1 none
};

namespace {

const GLint s_aRGBA[4] = {GL_RGBA, GL_RGBA, GL_RGBA, GL_RGBA};

} // namespace

const TextureFormat::Row& TextureFormat::RowOf(Image::Format eFormat)
{
    // Indexed by format; the last row stands for 8 ("no format") and above.
    // Depth formats read back as one red channel of the depth type below.
    static const Row s_aRows[] = {
        {{GL_LUMINANCE, GL_LUMINANCE_ALPHA, GL_RGB, GL_RGBA}, GL_RGBA, GL_UNSIGNED_BYTE, 1, 0,
         GL_UNSIGNED_BYTE, 1, 2, true, Image::e8integer, 0},
        {{GL_LUMINANCE16, GL_LUMINANCE16_ALPHA16, GL_RGB16, GL_RGBA16}, GL_RGBA, GL_UNSIGNED_SHORT, 2, 0,
         GL_UNSIGNED_SHORT, 2, 4, true, Image::e16integer, 0},
        {{GL_RGBA, GL_RGBA, GL_RGBA, GL_RGBA}, GL_RGBA, GL_UNSIGNED_BYTE, 0, 1,
         GL_UNSIGNED_INT, 4, 8, false, Image::e32integer, -1},
        {{GL_LUMINANCE16F_ARB, GL_LUMINANCE_ALPHA16F_ARB, GL_RGB16F_ARB, GL_RGBA16F_ARB}, GL_RGBA, GL_HALF_FLOAT, 2,
         0, GL_HALF_FLOAT, 2, 4, true, Image::e16float, 0},
        {{GL_LUMINANCE32F_ARB, GL_LUMINANCE_ALPHA32F_ARB, GL_RGB32F_ARB, GL_RGBA32F_ARB}, GL_RGBA, GL_FLOAT, 4, 0,
         GL_FLOAT, 4, 8, true, Image::e32float, 0},
        {{GL_DEPTH_COMPONENT16, GL_DEPTH_COMPONENT16, GL_DEPTH_COMPONENT16, GL_DEPTH_COMPONENT16},
         GL_DEPTH_COMPONENT, GL_UNSIGNED_BYTE, 0, 2, GL_UNSIGNED_SHORT, 2, 2, false, Image::e16depth, 4},
        {{GL_DEPTH_COMPONENT24, GL_DEPTH_COMPONENT24, GL_DEPTH_COMPONENT24, GL_DEPTH_COMPONENT24},
         GL_DEPTH_COMPONENT, GL_UNSIGNED_BYTE, 0, 3, GL_UNSIGNED_SHORT, 2, 2, false, Image::e16depth, 4},
        {{GL_DEPTH_COMPONENT32, GL_DEPTH_COMPONENT32, GL_DEPTH_COMPONENT32, GL_DEPTH_COMPONENT32},
         GL_DEPTH_COMPONENT, GL_UNSIGNED_BYTE, 0, 4, GL_UNSIGNED_INT, 4, 4, false, Image::e32depth, 4},
        {{GL_RGBA, GL_RGBA, GL_RGBA, GL_RGBA}, GL_RGBA, GL_UNSIGNED_BYTE, 0, 1, 0, 1, 4, false, Image::eNoFormat, -1},
    };
    static_assert(sizeof(s_aRows) / sizeof(s_aRows[0]) == Image::eNoFormat + 1, "one row a format");
    const unsigned int iIndex = unsigned(eFormat);
    return s_aRows[iIndex < unsigned(Image::eNoFormat) ? iIndex : unsigned(Image::eNoFormat)];
}

TextureFormat::Layout TextureFormat::Allocation(Image::Format eFormat, unsigned int iChannels)
{
    const Row& cRow = RowOf(eFormat);
    Layout cLayout;
    // 1, 2 and 3 channels have their own internal format; 0, 4 and more are RGBA.
    cLayout.m_iInternalFormat = cRow.m_aInternal[(iChannels >= 1 && iChannels <= 3) ? iChannels - 1 : 3];
    cLayout.m_iPixelFormat = cRow.m_iAllocationFormat;
    cLayout.m_iPixelType = cRow.m_iType;
    cLayout.m_iBytesPerPixel = cRow.m_iChannelBytes ? cRow.m_iChannelBytes * iChannels : cRow.m_iTexelBytes;
    return cLayout;
}

bool TextureFormat::Upload(Image::Format eFormat, unsigned int iChannels, bool bFloat16,
                           varnik::PixelDescriptor::MemoryChannelOrder eOrder, Layout& cLayout)
{
    const Row& cRow = RowOf(eFormat);
    if (!cRow.m_bUpload || (iChannels != 2 && iChannels != 4))
        return false;
    const bool bTwo = iChannels == 2;
    // With the float16 option, float rows go up as they are and GL stores them as half floats.
    const Row& cStorage = (bFloat16 && eFormat == Image::e32float) ? RowOf(Image::e16float) : cRow;
    cLayout = Layout();
    cLayout.m_iInternalFormat = cStorage.m_aInternal[bTwo ? 1 : 3];
    cLayout.m_iAlignment = bTwo ? cStorage.m_iTwoChannelAlignment : 4;
    cLayout.m_iPixelFormat = bTwo ? GL_LUMINANCE_ALPHA : GL_RGBA;
    cLayout.m_iPixelType = cRow.m_iType;
    if (eFormat == Image::e8integer && eOrder == varnik::PixelDescriptor::eBGRA) {
        if (!bTwo)
            cLayout.m_iPixelFormat = GL_BGRA;
        cLayout.m_iPixelType = GL_UNSIGNED_INT_8_8_8_8_REV;
    }
    cLayout.m_iComponents = iChannels;
    cLayout.m_iComponentBytes = cRow.m_iChannelBytes;
    cLayout.m_iBytesPerPixel = iChannels * cRow.m_iChannelBytes;
    return true;
}

bool TextureFormat::Readback(Image::Format eFormat, unsigned int iChannels, Layout& cLayout,
                             unsigned int& iImageChannels, Image::Format& eImageFormat)
{
    const Row& cRow = RowOf(eFormat);
    if (cRow.m_iReadType == 0)
        return false;
    cLayout = Layout();
    cLayout.m_iPixelType = cRow.m_iReadType;
    cLayout.m_iComponentBytes = cRow.m_iReadBytes;
    eImageFormat = cRow.m_eReadFormat;
    iImageChannels = iChannels;
    if (RenderTargetSlot(eFormat) == 4 || iChannels == 1) {
        // Depth, and luminance alone: read as red, which GL gives as the value
        // itself (luminance read as RGBA would come back as (L, 0, 0, 1)).
        iImageChannels = 1;
        cLayout.m_iPixelFormat = GL_RED;
        cLayout.m_iComponents = 1;
        cLayout.m_iAlignment = GLint(cRow.m_iReadBytes);
    } else if (iChannels == 2) {
        cLayout.m_iPixelFormat = GL_LUMINANCE_ALPHA;
        cLayout.m_iComponents = 2;
        cLayout.m_iAlignment = cRow.m_iTwoChannelAlignment;
    } else {
        // Three channels are read as RGBA and converted by the image.
        cLayout.m_iComponents = 4;
    }
    cLayout.m_iBytesPerPixel = cLayout.m_iComponents * cLayout.m_iComponentBytes;
    return true;
}

int TextureFormat::RenderTargetSlot(Image::Format eFormat)
{
    return RowOf(eFormat).m_iSlot;
}
