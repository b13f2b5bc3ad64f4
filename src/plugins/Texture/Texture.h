#pragma once
#include <GL/glew.h>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>
#include <QList>
#include <QString>
#include <QVector>
#include "varnik/Texture.h"
#include "varnik/Image.h"
#include "varnik/ImgTile.h"
#include "varnik/ImgDirtyRegion.h"
#include "varnik/Preferences.h"
#include "varnik/Plugin.h"
#include "varnik/Store.h"
#include "varnik/AttributePointer.h"
#include "TextureFormat.h"

namespace varnik { class RenderTarget; }

/// The module's texture: one 2D image whose content lives in an OpenGL texture
/// (location 1) or in a backing host image in CPU memory (location 2), possibly
/// shown on the GPU at a reduced proxy resolution while the backing image keeps
/// the full size. The backing image also holds the undo versions.
///
/// All operations run on the thread that owns the GL context; nothing locks.
class VarnikTexture : public varnik::Texture
{
    friend class CompositeAllAction;  // drains the queue of every texture (Update)

public:
    /// The four pixel-unpack buffers that every upload streams its rows
    /// through, shared by all textures. Made by the first upload, deleted with
    /// the last texture.
    struct PBOPool
    {
        GLuint m_aBuffers[4] = {0, 0, 0, 0};  ///< buffer names, all 0 while the pool does not exist
        unsigned int m_iNextIndex = 0;        ///< buffer the next band of rows uses, 0 to 3

        /// The buffer the next band goes through, making the four on first use.
        GLuint Current();
        /// Moves on to the following buffer once a band went through the current one.
        void Advance() { m_iNextIndex = (m_iNextIndex + 1) % 4; }
        /// Deletes the four buffers, if made (with the last texture).
        void Release();
    };

    /// One stroke waiting to be composited at full resolution into the backing
    /// image (strokes painted while the texture shows a proxy). Members are
    /// declared so that they are destroyed tiles first, source image last.
    struct CompositeEntry
    {
        /// Makes empty source and result images through the class registry.
        CompositeEntry();
        ~CompositeEntry();
        CompositeEntry(const CompositeEntry&) = delete;
        CompositeEntry& operator=(const CompositeEntry&) = delete;

        std::unique_ptr<varnik::Image> m_pSourceImage;  ///< snapshot of the stroke's dirty tiles
        varnik::AttributePointer<varnik::Texture> m_cTexture; ///< the texture the entry was queued on
        varnik::ImgDirtyRegion m_cDirtyRegion;          ///< the stroke's region, in source texels
        unsigned int m_iMode = 0;                       ///< blend mode handed to the mixer
        varnik::Store<float> m_cWeights;                ///< copy of the weights, empty when none ("unknown")
        std::unique_ptr<varnik::Image> m_pResultImage;  ///< full-resolution result of budgeted tiles
        QVector<varnik::ImgTile> m_aTiles;              ///< tiles still to composite under a time budget
    };

    /// What one bounded drain of the queue took, on a steady clock. A step is
    /// the work between two checks of the budget: the first fetches the shared
    /// replay texture; each other is one piece, with the finishing of its entry
    /// when that was the entry's last piece; the last one runs from the last
    /// check that passed to the end of the drain. The budget itself is checked
    /// on QTime, whose whole milliseconds can only end a drain early, so a
    /// drain lasts at most 200 ms plus its last step.
    struct DrainRecord
    {
        double m_fDrainMs = 0;          ///< from the budget's start to the end of the drain
        std::vector<float> m_aStepMs;   ///< each step, in order; empty when nothing was queued
    };

    VarnikTexture();
    /// Frees the GL texture, the backing image, the render target and the
    /// queued composites; the last texture also deletes the buffer pool.
    ~VarnikTexture() override;
    VarnikTexture(const VarnikTexture&) = delete;
    VarnikTexture& operator=(const VarnikTexture&) = delete;

    // --- registration ------------------------------------------------------
    static varnik::ClassDesc s_cMyClass;  ///< the class record ("VarnikTexture")
    static const varnik::ClassDesc* StaticClass() { return &s_cMyClass; }
    const varnik::ClassDesc* RuntimeClass() const override { return &s_cMyClass; }
    /// One initialised texture for a count of 0 or 1, an array of `iCount` otherwise;
    /// returns the first one's node.
    static varnik::Node* CreateInstances(unsigned int iCount);
    /// Registers the three preferences the host keeps ("Use POT Textures", "Use
    /// Float16 Instead of Float32 Textures", "Use Texture Filtering") and hides
    /// the module's test preferences outside test mode. Safe to call again.
    static void InitializePlugin();
    /// Translation in the context "VarnikTexture".
    static QString tr(const char* sText, const char* sDisambiguation = nullptr, int iCount = -1);
    static QString trUtf8(const char* sText, const char* sDisambiguation = nullptr, int iCount = -1);

    // --- varnik::Texture slots, in the host's order --------------------------
    /// Makes GPU storage of the given size (live texture, location 1) or a
    /// backing image of it (not live, location 2). The size goes to GL as
    /// given; GL's error for a size it cannot hold is logged.
    void Create(unsigned int iWidth, unsigned int iHeight, unsigned int iChannels,
                varnik::Image::Format eFormat) override;
    /// `Create` filled with a colour: one clear through a render target when
    /// live (formats without a colour slot throw "Unknown image format"), else
    /// the backing image filled with one pixel of the format (0, 3 and 4 only).
    void Create(unsigned int iWidth, unsigned int iHeight, unsigned int iChannels, varnik::Image::Format eFormat,
                const varnik::Color& cColor) override;
    /// Loads an image file into the backing image (converted to `iChannels` and
    /// `eFormat` when given: 0 and 8 ask for nothing; one or three channels
    /// become four) and, when live, uploads it at the current proxy level.
    /// False, with the reason in the log, when the file cannot be read or the
    /// upload fails; never throws.
    bool CreateFromFile(const QString& sFile, unsigned int iChannels, varnik::Image::Format eFormat) override;
    /// The backing image, brought up to date (moves the texture to the CPU when
    /// the backing image is stale); may be null.
    const varnik::Image* AsImage() override;
    /// The content (or a tile of it) into `pImage`: from the backing image when
    /// there is one, else read from the GPU. `bFlag` goes to the image's create.
    void CopyTo(varnik::Image* pImage, bool bFlag, const varnik::ImgTile* pTile,
                varnik::PixelDescriptor::MemoryChannelOrder eOrder) override;
    using varnik::Texture::CopyTo;
    unsigned int Width() const override;                 ///< full-resolution width
    unsigned int Height() const override;                ///< full-resolution height
    unsigned int BitDepth() const override;              ///< bits per channel of the format
    varnik::Image::Format Format() const override;       ///< the backing image's format, else the member
    unsigned int ChannelCount() const override;          ///< channels per pixel
    bool Activate() const override;                      ///< binds the GL texture; false without one
    bool Deactivate() const override;                    ///< does nothing, returns true
    unsigned int OpenGLName() const override;            ///< GL texture name, 0 when none
    /// Draws into this texture from now on (makes the render target on demand).
    bool SetAsRenderTarget() override;
    /// Ends drawing into this texture.
    bool RestoreRenderTarget() override;
    /// "Use Texture Filtering".
    varnik::AttributeInstance<bool>* getFilteringPref() const override;
    /// Uploads the image (or the tile of it) to the GPU, re-creating the storage
    /// when the image's shape differs. Only 2- and 4-channel images of the 8/16-bit
    /// integer and the 16/32-bit float formats can be uploaded; other formats
    /// are logged and leave the texture as it was.
    void CopyFrom(varnik::Image* pImage, const varnik::ImgTile* pTile) override;
    /// Puts the image (or the tile of it) into the backing image and refreshes
    /// the GPU copy from there; drops the queued composites.
    void ReplaceWith(varnik::Image* pImage, const varnik::ImgTile* pTile) override;
    /// Moves the content to the GPU (1) or the CPU (2); does nothing for a
    /// texture that is not live or not placed yet.
    void SetLocation(unsigned int iLocation) override;
    unsigned int Location() const override;             ///< 0 not placed, 1 GPU, 2 CPU
    /// Video memory at a memory factor (-1: as held now, 0 when off the GPU).
    int64_t VideoMemoryUsage(float fFactor) const override;
    void SetLive(bool bLive) override;                   ///< drains the queue on a change
    bool IsLive() const override;                        ///< a texture that is not live is never moved
    bool NewVersion() override;                          ///< opens a version of the backing image
    bool PrevVersion() override;                         ///< steps back and uploads when on the GPU
    bool NextVersion() override;                         ///< steps forward and uploads when on the GPU
    int NumVersions() override;                          ///< 1 without a backing image
    bool MergeOldestVersions() override;                 ///< forwarded to the backing image
    bool PurgeNewerVersions() override;                  ///< forwarded to the backing image
    bool PurgeAllButCurrentVersion() override;           ///< forwarded to the backing image
    /// Drops the redo history, reads the dirty tiles back and opens a version.
    bool BeginUndoableOperation() override;
    /// Reads the tiles painted since the begin back; the backing image is current.
    bool EndUndoableOperation() override;
    void SetFiltered(bool bFiltered) override;           ///< takes effect at the next allocation or upload
    void SetConvert32To16bitFloat(bool bConvert) override; ///< takes effect at the next upload
    /// Changes the proxy level (0 to 4, larger values act as 4): on the GPU by
    /// drawing a reduced copy, or through the backing image's proxy images.
    /// False when a side would fall below 2 texels, or, bounded, when queued
    /// composites remain after 200 ms of work.
    bool setProxyLevel(unsigned char iLevel, bool bBounded) override;
    /// Drains the queue and re-uploads the backing image's current proxy image.
    void SyncContent() override;
    /// The backing image's proxy level when there is one, else the member.
    unsigned char getProxyLevel() const override;
    /// Reads the GPU texture (or a tile of it) into `pImage` through a temporary
    /// framebuffer, in strips through a pixel-pack buffer, or the whole level
    /// for small textures and when the strip path fails.
    void CopyGLTextureToImage(varnik::Image* pImage, bool bFlag, const varnik::ImgTile* pTile,
                              varnik::PixelDescriptor::MemoryChannelOrder eOrder) const override;
    bool IsDirty() const override;                       ///< the backing image's dirty flag; false without one
    void SetDirty(bool bDirty) override;                 ///< sets or clears the backing image's dirty flag
    /// Adds the tile to the dirty region and marks the backing image stale.
    void AddDirtyTile(const varnik::ImgTile& cTile) override;

    // --- varnik::Node ------------------------------------------------------
    /// The scene record: the live flag (format 362 on) and the proxy level
    /// member (class version above 0). Reading sets the members only.
    void Serialize(varnik::Stream& s) override;
    /// Throws "bad live state", "bad texture state" or "No associated image data
    /// for proxied texture" when the members contradict each other.
    void CheckValidity(varnik::Node::DiagnosticLevel eLevel) const override;

    // --- compositing helpers -------------------------------------------------
    /// Composites the stroke in `pSource` (its dirty region `pRegion`, the whole
    /// source when null) into this texture with the mixer's blend `iMode` and
    /// optional per-layer `pWeights`. At level 0 it is one undoable operation;
    /// at a proxy level the stroke is mixed into the reduced texture at once
    /// and queued for full resolution (snapshot of the source's dirty tiles).
    /// No source, an empty region, a source without GL name or in CPU memory:
    /// nothing happens. A proxied texture without a backing image cannot
    /// replay a stroke: it throws "No associated image data for proxied
    /// texture" and changes nothing.
    void Composite(const varnik::Texture* pSource, varnik::ImgDirtyRegion* pRegion, unsigned int iMode,
                   const varnik::Store<float>* pWeights) override;
    /// Composites a stroke at full resolution: the region of `pSourceImage`
    /// over the backing image into `pDestination` (through the shared scratch
    /// texture when this texture is proxied, else into this texture). `bFinal`
    /// brackets it as an undoable operation. `pSourceTexture` (may be null)
    /// receives the stroke's tiles; a temporary texture does otherwise.
    void CompositeNow(const varnik::Image* pSourceImage, varnik::ImgDirtyRegion& cRegion, unsigned int iMode,
                      const varnik::Store<float>& cWeights, varnik::Image* pDestination, bool bFinal,
                      varnik::Texture* pSourceTexture);
    /// Video memory of the two textures every replay of queued strokes shares
    /// (the full-resolution scratch written into, and the one receiving the
    /// strokes' tiles): made on first use and kept while the module is loaded.
    static int64_t CompositeScratchMemory();
    /// Maps `r` from the frame of `a` into the frame of `b` (scaled by the
    /// sizes; start truncated, end rounded up) and clips it to `b`.
    varnik::ImgTile RelativeRegion(const varnik::ImgTile& a, const varnik::ImgTile& b,
                                   const varnik::ImgTile& r) const;
    /// Cuts `r` into pieces of at most `iSplitSize` on a side, row by row.
    QVector<varnik::ImgTile> SplitDirtyRegions(int iSplitSize, const varnik::ImgTile& r) const;
    /// The queued composites, oldest first (owned by the texture).
    const QList<CompositeEntry*>& PendingComposites() const { return m_aPendingComposites; }
    /// The last bounded drain of the queue (setProxyLevel with bBounded true).
    const DrainRecord& LastBoundedDrain() const { return m_cLastDrain; }

    // --- GL helpers shared with the module's other classes ---------------------
    /// Checks the bound framebuffer (`glCheckFramebufferStatusEXT`), logs any
    /// status but complete (see LogFramebufferStatus) and returns it.
    static GLenum CheckFramebufferStatus(unsigned int iLine);
    /// Logs the message for a framebuffer status ("Texture: Framebuffer ... (at
    /// line <iLine>)"); nothing for 0 and complete.
    static void LogFramebufferStatus(GLenum iStatus, unsigned int iLine);
    /// Logs "gl error: <text> in <operation> (file <file>, line <line>)\n".
    static void LogGLError(GLenum iError, const char* sOperation, unsigned int iLine);
    /// Logs every pending GL error that way; true when there was one.
    static bool LogGLErrors(const char* sOperation, unsigned int iLine);
    /// Copies `iPixels` 4-byte pixels swapping bytes 0 and 2 (BGRA <-> RGBA);
    /// 16 bytes a step when both pointers are 16-byte aligned.
    static void SwapRedBlue(const uint8_t* pSource, uint8_t* pDest, size_t iPixels);
    /// Rows in one upload band for source rows of `iRowBytes`: narrower bands
    /// as rows get wider, so that a band's buffer stays a few MiB.
    static int UploadBandHeight(int64_t iRowBytes);
    /// Rows in one readback strip for components of `iComponentBytes` bytes.
    static int ReadbackStripHeight(unsigned int iComponentBytes);
    /// GL_MAX_TEXTURE_SIZE of the current context (read once, then cached).
    static unsigned int MaxTextureSize();

    // --- class-wide state ------------------------------------------------------
    static PBOPool s_cPBOPool;                                   ///< upload buffers of all textures
    static varnik::AttributeInstance<bool>* s_pUsePot;           ///< "Use POT Textures"
    static varnik::AttributeInstance<bool>* s_pConvertFloat32ToFloat16; ///< "Use Float16 Instead of Float32 Textures"
    static varnik::AttributeInstance<bool>* s_pTextureFiltering; ///< "Use Texture Filtering"
    /// Number of VarnikTexture objects alive.
    static int TextureCount() { return s_iTextureCount; }

protected:
    /// Sets the requested size and the texture size, enlarged to powers of two
    /// when the GL lacks non-power-of-two textures or "Use POT Textures" is on;
    /// true when the texture size differs from the one asked for.
    bool SetSize(unsigned int iWidth, unsigned int iHeight);
    /// Reports `iBytes` as this texture's video memory (minus the old figure first).
    void Allocate(int64_t iBytes);
    /// Deletes the render target and the GL texture and reports the memory back;
    /// the location stays.
    void Free();

    /// Texture width and height at the current proxy level, as held on the GPU.
    unsigned int TextureWidth() const { return m_iTextureWidth; }
    unsigned int TextureHeight() const { return m_iTextureHeight; }
    unsigned int RequestedWidth() const { return m_iRequestedWidth; }
    unsigned int RequestedHeight() const { return m_iRequestedHeight; }
    int64_t ReportedVideoMemory() const { return m_iReportedVideoMemory; }
    varnik::Image* BackingImage() const { return m_pBackingImage; }
    bool IsBackingImageStale() const { return m_bBackingImageStale; }
    bool IsInUndoableOperation() const { return m_bInUndoableOperation; }
    bool IsFiltered() const { return m_bFiltered; }
    bool ConvertsFloat32To16() const { return m_bConvertFloat32ToFloat16; }
    bool HasCompositingAttachment() const { return m_bCompositingAttachment; }
    unsigned int ProxyLevelMember() const { return m_iProxyLevel; }

private:
    /// Filtering by the filtered flag, clamped edges, on the bound texture.
    void ApplySampling() const;
    /// The upload's rows of `cRegion`, band by band through the buffer pool.
    void UploadBands(varnik::Image* pImage, const varnik::ImgTile& cRegion, const TextureFormat::Layout& cLayout);

    // Steps of CopyGLTextureToImage.
    /// Creates the destination at the GL storage size in the readback layout,
    /// which it returns; throws for formats that cannot be read.
    TextureFormat::Layout PrepareReadDestination(varnik::Image* pImage, bool bFlag) const;
    /// Attaches the texture to the bound scratch framebuffer; true when strips can be read through it.
    bool AttachForReading() const;
    /// Reads `cRegion` in strips through a pixel-pack buffer; false when the
    /// whole-level path must do it instead.
    bool ReadStrips(varnik::Image* pImage, const varnik::ImgTile& cRegion, const TextureFormat::Layout& cLayout,
                    const varnik::PixelDescriptor* pConvertFrom) const;
    /// Reads the whole level and hands `cRegion` of it to the image.
    void ReadWholeLevel(varnik::Image* pImage, const varnik::ImgTile& cRegion, const TextureFormat::Layout& cLayout,
                        const varnik::PixelDescriptor* pConvertFrom) const;

    // Steps of setProxyLevel.
    /// A texture on the GPU at full size and without backing image reads its
    /// content into a new one, which then holds the full resolution.
    void KeepFullResolutionImage();
    /// Replaces the GPU storage by a copy reduced to `iLevel`, drawn by the GPU.
    void ReduceOnGPU(unsigned int iLevel);
    /// Composites queued tiles for up to 200 ms; true when the queue is empty.
    bool DrainPendingCompositesForAWhile();
    /// Attaches the texture once to the shared compositing framebuffer.
    void AttachToCompositingFramebuffer();

    /// Runs and deletes every queued composite, oldest first.
    void Update();
    /// The shared texture that receives the tiles of replayed strokes; reused
    /// so that a drain does not allocate a source-sized texture each time.
    static VarnikTexture* ReplayStrokeTexture();
    /// Reads the GPU content into the backing image: all of it (`bWhole`) or
    /// the dirty tiles; empties the dirty region.
    void SynchronizeBackingImageFromGLTexture(bool bWhole);
    /// A new image made through the class registry.
    static varnik::Image* NewImage();
    /// Deletes the queued composites without running them.
    void DiscardPendingComposites();

    GLuint m_iTextureName = 0;                  ///< GL texture name; 0 means none
    unsigned int m_iTextureWidth = 0;           ///< width at the current proxy level (a power of two above the storage's when POT sizing applies)
    unsigned int m_iTextureHeight = 0;          ///< height at the current proxy level, likewise
    unsigned int m_iChannelCount = 4;           ///< channels per pixel
    varnik::Image::Format m_eFormat = varnik::Image::eNoFormat; ///< pixel format
    unsigned int m_iRequestedWidth = 0;         ///< width asked for: of the GL storage and of the viewport
    unsigned int m_iRequestedHeight = 0;        ///< height asked for: of the GL storage and of the viewport
    bool m_bLive = true;                        ///< not live: never moved
    varnik::RenderTarget* m_pRenderTarget = nullptr; ///< made on demand to draw into the texture (owned)
    int64_t m_iReportedVideoMemory = 0;         ///< bytes last reported to the host
    bool m_bBackingImageStale = true;           ///< the GPU holds changes the backing image lacks
    varnik::Image* m_pBackingImage = nullptr;   ///< CPU copy, versions and proxies (owned)
    unsigned int m_iLocation = 0;               ///< 0 not placed, 1 GPU, 2 CPU
    bool m_bInUndoableOperation = false;        ///< between Begin- and EndUndoableOperation
    bool m_bFiltered = true;                    ///< linear (true) or nearest filtering
    bool m_bConvertFloat32ToFloat16 = false;    ///< store 32-bit float images as half floats
    bool m_bCompositingAttachment = false;      ///< attached once to the compositing framebuffer
    unsigned int m_iProxyLevel = 0;             ///< 0 full size, n: size / 2^n
    QList<CompositeEntry*> m_aPendingComposites; ///< queued composites, oldest first (owned)
    DrainRecord m_cLastDrain;                   ///< what the last bounded drain took

    static int s_iTextureCount;                 ///< textures alive
    static unsigned int s_iMaxTextureSize;      ///< cached GL_MAX_TEXTURE_SIZE, 0 until read
};

/// The module's descriptor, read by the host's loader.
extern varnik::Plugin s_cPlugin;
/// "Use BGRA8 Texture readback" (Paint): read 8-bit RGBA strips as BGRA and swap on the CPU.
extern varnik::Preferences::Bool s_cUseBGRA8Readback;
/// "Use GPU to generate proxies when possible" (Render).
extern varnik::Preferences::Bool s_cUseGPUForProxies;
/// "Maximum composite size" (Paint): side of the pieces queued strokes are cut into.
extern varnik::Preferences::Integer s_cMaxCompositeSize;
