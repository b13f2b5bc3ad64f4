#pragma once
#include <GL/glew.h>
#include "varnik/Image.h"
#include "varnik/PixelDescriptor.h"

/// How OpenGL holds and moves the pixels of each host image format: one table
/// behind allocation, upload, readback and the render-target slot.
class TextureFormat
{
public:
    /// The GL side of one allocation or one transfer.
    struct Layout
    {
        GLint m_iInternalFormat = GL_RGBA;       ///< internal format of the storage
        GLenum m_iPixelFormat = GL_RGBA;         ///< format of the client pixels
        GLenum m_iPixelType = GL_UNSIGNED_BYTE;  ///< type of the client pixels
        unsigned int m_iBytesPerPixel = 1;       ///< bytes of one pixel (allocation: of one texel)
        unsigned int m_iComponents = 4;          ///< components of one client pixel
        unsigned int m_iComponentBytes = 1;      ///< bytes of one component
        GLint m_iAlignment = 4;                  ///< pack or unpack alignment
    };

    /// The storage `Create` allocates; formats without storage of their own get
    /// one byte of RGBA a texel.
    static Layout Allocation(varnik::Image::Format eFormat, unsigned int iChannels);
    /// The layout an upload sends an image in; false for the formats and channel
    /// counts the upload does not handle (only 2 and 4 channels of the 8/16-bit
    /// integer and the 16/32-bit float formats go up).
    static bool Upload(varnik::Image::Format eFormat, unsigned int iChannels, bool bFloat16,
                       varnik::PixelDescriptor::MemoryChannelOrder eOrder, Layout& cLayout);
    /// The layout a readback reads the texture in, and the channel count and
    /// format of the image it fills; false for formats that cannot be read.
    static bool Readback(varnik::Image::Format eFormat, unsigned int iChannels, Layout& cLayout,
                         unsigned int& iImageChannels, varnik::Image::Format& eImageFormat);
    /// Render-target slot of the format (0 colour, 4 depth); -1 for none.
    static int RenderTargetSlot(varnik::Image::Format eFormat);

private:
    struct Row;
    static const Row& RowOf(varnik::Image::Format eFormat);
};
