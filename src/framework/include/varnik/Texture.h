#pragma once
#include <cstdint>
#include <QString>
#include "varnik/Node.h"
#include "varnik/Image.h"
#include "varnik/ImgDirtyRegion.h"
#include "varnik/Color.h"
#include "varnik/PixelDescriptor.h"
#include "varnik/Attribute.h"

namespace varnik {

template <typename T> class Store;

/// The host's texture interface: one 2D image whose content lives on the GPU or
/// in a CPU image. The virtual operations are in the host's slot order.
/// Operations a texture class does not support throw a `varnik::Error` pointer
/// ("<operation> is not supported by <class>").
class Texture : public virtual Node
{
public:
    Texture();
    ~Texture() override;

    static const ClassDesc* StaticClass();
    const ClassDesc* RuntimeClass() const override;

    virtual void Create(unsigned int iWidth, unsigned int iHeight, unsigned int iChannels, Image::Format eFormat) = 0;
    virtual void Create(unsigned int iWidth, unsigned int iHeight, unsigned int iChannels, Image::Format eFormat,
                        const Color& cColor);
    virtual bool CreateFromFile(const QString& sFile, unsigned int iChannels, Image::Format eFormat);
    virtual const Image* AsImage() = 0;
    virtual void CopyTo(Image* pImage, bool bFlag, const ImgTile* pTile,
                        PixelDescriptor::MemoryChannelOrder eOrder) = 0;
    /// Draws this texture into `cTarget`, scaled to the target's size, on the GPU:
    /// a framebuffer blit with linear filtering (a textured quad when the blit
    /// is refused), over the whole target whatever scissor box and colour mask are
    /// set. Restores the framebuffer bindings, viewport, scissor test and colour
    /// mask it found.
    /// Throws when either texture has no OpenGL name.
    virtual void CopyTo(Texture& cTarget) const;
    virtual unsigned int Width() const = 0;
    virtual unsigned int Height() const = 0;
    virtual unsigned int BitDepth() const = 0;
    virtual Image::Format Format() const = 0;
    virtual unsigned int ChannelCount() const = 0;
    virtual bool Activate() const = 0;
    virtual bool Deactivate() const = 0;
    virtual unsigned int OpenGLName() const = 0;
    virtual bool SetAsRenderTarget();
    virtual bool RestoreRenderTarget();
    virtual AttributeInstance<bool>* getFilteringPref() const;
    virtual void CopyFrom(Image* pImage, const ImgTile* pTile) = 0;
    virtual void ReplaceWith(Image* pImage, const ImgTile* pTile) = 0;
    virtual void SetLocation(unsigned int iLocation) = 0;
    virtual unsigned int Location() const = 0;
    /// Video memory plus the CPU memory of the image `AsImage` would return
    /// when one is held; the base counts `VideoMemoryUsage(-1)`.
    virtual int64_t TotalMemoryUsage() const;
    virtual int64_t VideoMemoryUsage(float fFactor) const = 0;
    virtual void SetLive(bool bLive) = 0;
    virtual bool IsLive() const = 0;
    virtual bool NewVersion() = 0;
    virtual bool PrevVersion() = 0;
    virtual bool NextVersion() = 0;
    virtual int NumVersions() = 0;
    virtual bool MergeOldestVersions() = 0;
    virtual bool PurgeNewerVersions() = 0;
    virtual bool PurgeAllButCurrentVersion() = 0;
    virtual bool BeginUndoableOperation() = 0;
    virtual bool EndUndoableOperation() = 0;
    virtual void SetFiltered(bool bFiltered) = 0;
    virtual void SetConvert32To16bitFloat(bool bConvert) = 0;
    virtual bool setProxyLevel(unsigned char iLevel, bool bBounded) = 0;
    virtual void SyncContent() = 0;
    virtual unsigned char getProxyLevel() const = 0;
    virtual void Composite(const Texture* pSource, ImgDirtyRegion* pRegion, unsigned int iMode,
                           const Store<float>* pWeights);
    virtual void CopyGLTextureToImage(Image* pImage, bool bFlag, const ImgTile* pTile,
                                      PixelDescriptor::MemoryChannelOrder eOrder) const = 0;
    virtual bool IsDirty() const = 0;
    virtual void SetDirty(bool bDirty) = 0;
    /// Adds the 1x1 tile at (x, y) through AddDirtyTile.
    virtual void AddDirtyPixel(int x, int y);
    virtual void AddDirtyTile(const ImgTile& cTile) = 0;

    /// The proxy level a memory factor gives for a texture whose larger side is
    /// `iSize`: 0 for a factor of 1 or more, 4 for 0 or less, otherwise the
    /// smallest n (up to 4) with 4^-n <= factor; then lowered while
    /// `iSize >> n` would fall below 2.
    static unsigned char ProxyLevel(float fFactor, unsigned int iSize);
    /// Bits per channel of a format: 8, 16, 32, 16, 32, 16, 24, 32 for 0 to 7; 8 otherwise.
    static unsigned int BitDepth(Image::Format eFormat);

    /// The tiles painted on the GPU since the last readback.
    ImgDirtyRegion& DirtyRegion() { return m_cDirtyRegion; }
    const ImgDirtyRegion& DirtyRegion() const { return m_cDirtyRegion; }
    void ResetDirtyTile() { m_cDirtyRegion.Reset(); }

protected:
    /// Throws "<sOperation> is not supported by <class name>".
    [[noreturn]] void NotSupported(const char* sOperation) const;

    ImgDirtyRegion m_cDirtyRegion;  ///< painted tiles not read back yet
};

} // namespace varnik
