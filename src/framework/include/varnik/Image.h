#pragma once
#include <cstdint>
#include <memory>
#include <vector>
#include <QString>
#include "varnik/Node.h"
#include "varnik/ImgTile.h"
#include "varnik/PixelDescriptor.h"

namespace varnik {

class ImageCodec;
class Material;

/// A host image: width x height pixels of one to four channels in one of the
/// eight formats, stored in square tiles so that a version costs only the tiles
/// it changes.
///
/// Memory layout as seen by callers: rows top to bottom, channels R, G, B, A
/// (as many as the image has), each channel `BytesPerChannel(format)` bytes:
/// 1 for e8integer, 2 for e16integer/e16float/e16depth, 4 for the others
/// (e24depth is held in 32 bits).
///
/// Versions: `NewVersion` opens a version in O(1); the first write to a tile
/// after it saves that tile's old content (copy on write). Previous/next step
/// through whole-image states like an undo stack.
///
/// Proxy images: level n is the image reduced by 2^n in each direction with a
/// box filter (odd edges average the texels that exist), made on first request
/// from level n-1 and cached until `clearProxyImages()` or any write.
///
/// Every write (setTile, fillTile, copies, DirectAccess, create, load) sets the
/// dirty flag and drops the proxy images.
class Image : public virtual Node
{
public:
    enum Format : uint32_t {
        e8integer = 0, e16integer = 1, e32integer = 2, e16float = 3, e32float = 4,
        e16depth = 5, e24depth = 6, e32depth = 7, eNoFormat = 8
    };
    static const uint32_t s_iMaxDimension = 65536;  ///< larger sides are refused
    static const uint32_t s_iMaxProxyLevel = 4;

    Image();
    ~Image() override;

    static const ClassDesc* StaticClass();
    const ClassDesc* RuntimeClass() const override;

    // --- shape -------------------------------------------------------------
    virtual unsigned int Width() const;
    virtual unsigned int Height() const;
    virtual unsigned int ChannelCount() const;
    virtual Format format() const;
    /// True once the image has been created with a non-zero size.
    virtual bool HasData() const;
    ImgTile getBounds() const { return ImgTile(0, 0, int32_t(Width()), int32_t(Height())); }
    PixelDescriptor Descriptor() const;
    static uint32_t BytesPerChannel(Format eFormat);
    static PixelDescriptor::ChannelType ChannelTypeOf(Format eFormat);
    uint32_t BytesPerPixel() const { return BytesPerChannel(format()) * ChannelCount(); }

    /// Gives the image a shape. When `bKeepIfSame` is true and the image already
    /// has exactly this shape, pixels and versions are kept (readback calls it
    /// for every dirty tile on the same image). Any other call allocates afresh,
    /// cleared to 0, with one version. `iLevels` completes the host's call form
    /// (callers pass 1); the image keeps one level and ignores it.
    /// Throws a `varnik::Error` pointer for a size of 0 or above
    /// `s_iMaxDimension`, a channel count outside 1..4, or a format above 7;
    /// the image is unchanged then.
    virtual void create(unsigned int iWidth, unsigned int iHeight, unsigned int iChannels,
                        Format eFormat, bool bKeepIfSame = false, int iLevels = 1);
    /// Frees the pixels and the versions: back to the state after construction.
    void Clear();

    // --- pixels ------------------------------------------------------------
    /// Copies the rectangle into `pDest`, rows packed, in the layout `pDesc`
    /// gives (null: the image's own). Texels outside the image are not written.
    void getTile(int x, int y, int nx, int ny, void* pDest, const PixelDescriptor* pDesc = nullptr) const;
    /// Writes the rectangle from `pSrc` (rows packed) in the layout `pDesc`
    /// gives (null: the image's own), converting type and channel count.
    /// Parts outside the image are skipped.
    void setTile(int x, int y, int nx, int ny, const void* pSrc, const PixelDescriptor* pDesc = nullptr);
    /// Fills the rectangle, clipped to `pClip` when given, with one pixel.
    void fillTile(int x, int y, int nx, int ny, const void* pPixel, const PixelDescriptor* pDesc = nullptr,
                  const ImgTile* pClip = nullptr);
    /// Copies `cRegion` out of a caller's buffer that holds a whole image of
    /// `cWhole` size (at (0, 0), rows packed, the image's layout) into the same
    /// place of this image.
    void copyTile(const ImgTile& cWhole, const void* pWholeData, const ImgTile& cRegion);
    /// Copies rectangle `cSrcRect` of `cSource` into this image at (x, y). Both
    /// must have the same format and channel count (else a `varnik::Error`);
    /// parts outside either image are skipped.
    void CopyRect(const Image& cSource, const ImgTile& cSrcRect, int x, int y);
    /// Converting copy: the overlap of `cSource` is written into this image,
    /// converted to this image's format and channel count.
    void ConvertFrom(const Image& cSource);
    /// Turns 1 channel into 2 (alpha 1) and 3 into 4 (alpha 1); keeps 2 and 4.
    virtual void NormalizeChannels();
    /// Pointer to the whole pixel memory for writing, or null when the image is
    /// not held contiguously (more than one storage tile). A non-null pointer
    /// stays valid until the next call on the image; getting it counts as a write.
    void* DirectAccess();
    /// A contiguous copy of the pixels of proxy level `iLevel` (-1: the current
    /// level), valid until the next write. `bRefresh` rebuilds it first.
    const void* RawPixels(int iLevel = -1, bool bRefresh = true);

    // --- proxies -----------------------------------------------------------
    void setProxyLevel(unsigned char iLevel);          ///< clamps to s_iMaxProxyLevel
    unsigned char getProxyLevel() const;
    /// The image of the current proxy level (this image at level 0). Owned by this image.
    Image* getProxyImage();
    /// The image of a given level, made on demand.
    Image* ProxyImage(unsigned int iLevel);
    void clearProxyImages();

    // --- versions ----------------------------------------------------------
    bool NewVersion();
    bool PrevVersion();
    bool NextVersion();
    int NumVersions() const;
    int CurrentVersion() const;                        ///< 0-based
    bool MergeOldestVersions();                        ///< the two oldest become one
    bool PurgeNewerVersions();                         ///< false when there were none
    bool PurgeAllButCurrentVersion();                  ///< false when there was only one
    /// Bytes held by saved tiles of versions other than the current one.
    size_t VersionMemoryUsage() const;
    /// Bytes of pixel storage of the current state.
    size_t MemoryUsage() const;

    // --- state -------------------------------------------------------------
    bool IsDirty() const;
    void SetDirty();
    void ClearDirty();
    /// True when discarding the image would lose something a GPU copy cannot
    /// give back: more than one version, the dirty flag, or a proxy level above 0.
    virtual bool Keep() const;

    // --- files -------------------------------------------------------------
    /// Loads a file through the registered codec, replacing the content.
    /// `iChannels` 0 keeps the file's channel count; `bResetVersions` restarts the
    /// history. Throws a `varnik::Error` pointer naming the file and the reason
    /// (no codec, missing, unreadable); the image is unchanged then.
    void Load(const QString& sFileName, unsigned int iChannels = 0, bool bResetVersions = true);
    /// Saves through the codec; the extension picks the writer. `iBitsPerChannel`
    /// 0 keeps the image's depth, else 8, 16 or 32 (float). The file is written
    /// under a temporary name in the same folder, read back whole (some writers
    /// miss a short write), and renamed over `sFileName` only then, so a failed
    /// save leaves the earlier file as it was and no partial file behind. Throws
    /// a `varnik::Error` pointer naming the file and the reason.
    void Save(const QString& sFileName, unsigned int iBitsPerChannel = 0) const;
    /// The host's call form: `Save(sFileName, 0)`; the flags, the material and
    /// the tile position are accepted and ignored.
    void Save(const QString& sFileName, bool bFlag, Material* pMaterial, float u, float v, bool bFlag2) const;

    /// What a file's header says: size, channel count (at most 4) and the
    /// format its pixels load in.
    struct FileShape
    {
        unsigned int m_iWidth = 0;
        unsigned int m_iHeight = 0;
        unsigned int m_iChannels = 0;
        Format m_eFormat = eNoFormat;
    };
    /// Reads only the header of an image file (no pixels). Throws like Load.
    static FileShape ReadFileShape(const QString& sFileName);

    /// The channel order the GPU path reads fastest into this image (RGBA).
    static PixelDescriptor::MemoryChannelOrder optimizedChannelOrder();

    struct Impl;
private:
    std::unique_ptr<Impl> m_pImpl;  ///< tiles, versions, proxies (see Image.cpp)
};

/// The file codec: reading and writing image files. Lives in a library of its
/// own (OpenImageIO-based) so that the SDK core does not pull it in; a program
/// that touches files registers one at start. Without a codec, `Image::Load`
/// and `Image::Save` throw.
class ImageCodec
{
public:
    virtual ~ImageCodec() = default;
    /// Reads `sFileName` into `cImage` (which the codec creates). Throws a
    /// `varnik::Error` pointer with the file name and the library's reason.
    virtual void Read(const QString& sFileName, Image& cImage, unsigned int iChannels) = 0;
    /// Writes `cImage` (bits 0 = as held). Throws like Read.
    virtual void Write(const QString& sFileName, const Image& cImage, unsigned int iBitsPerChannel) = 0;
    /// The file's shape from its header; the default reads the whole file.
    virtual Image::FileShape ReadShape(const QString& sFileName);

    /// The registered codec, not owned; null when none.
    static void Register(ImageCodec* pCodec);
    static ImageCodec* Registered();
};

} // namespace varnik
