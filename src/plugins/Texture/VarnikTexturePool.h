#pragma once
#include <cstdint>
#include <vector>
#include <QString>
#include <QStringList>
#include "varnik/AxisAlignedBoundingBox.h"
#include "varnik/TexturePool.h"
#include "varnik/Texture.h"

/// The module's texture pool: one paint layer covering UV space with unit
/// tiles. Tile (u, v) covers (u, v) to (u + 1, v + 1); each tile is a texture of
/// its own, made on first lookup and filled from its own image file, whose name
/// is derived from the pool's file name and the tile's indices.
///
/// The tile table is the truth; the UV grid of the base is a cache that maps a
/// cell to its table index and is repaired by the next lookup when it is wrong
/// or empty.
class VarnikTexturePool : public virtual varnik::TexturePool
{
public:
    /// One tile: its texture (owned by the pool) and its UV square.
    struct TileStruct
    {
        varnik::Texture* m_pTexture = nullptr;  ///< the tile's texture; null only while being added
        varnik::AxisAlignedBoundingBox m_cArea; ///< (u, v, 0) to (u + 1, v + 1, 1)
    };

    VarnikTexturePool();
    /// Two pools must never own the same tile textures: copy through the
    /// deep-copying `operator=` of the pool interface instead.
    VarnikTexturePool(const VarnikTexturePool&) = delete;
    VarnikTexturePool& operator=(const VarnikTexturePool&) = delete;
    ~VarnikTexturePool() override;

    // --- registration ------------------------------------------------------
    static varnik::ClassDesc s_cMyClass;  ///< the class record ("VarnikTexturePool")
    static const varnik::ClassDesc* StaticClass() { return &s_cMyClass; }
    const varnik::ClassDesc* RuntimeClass() const override { return &s_cMyClass; }
    /// One initialised pool for a count of 0 or 1, an array of `iCount` otherwise.
    static varnik::Node* CreateInstances(unsigned int iCount);
    /// Translation in the context "VarnikTexturePool".
    static QString tr(const char* sText, const char* sDisambiguation = nullptr, int iCount = -1);
    static QString trUtf8(const char* sText, const char* sDisambiguation = nullptr, int iCount = -1);

    // --- varnik::TexturePool slots, in the host's order -------------------------
    /// Location of tile 0; 0 for an empty pool.
    unsigned int Location() const override;
    const TileDescriptor& DefaultTileDescriptor() const override { return m_cDefaultTileDescriptor; }
    /// Drops the tiles and takes `d`; a two-channel descriptor becomes
    /// four-channel unless the host allows two-channel tiles.
    void SetDefaultTileDescriptor(const TileDescriptor& d) override;
    QString Name(const varnik::ClassDesc* pClass = nullptr) const override;
    /// Moves every loaded tile to the GPU (1) or the CPU (2); loads nothing.
    void SetLocation(unsigned int iLocation) override;
    /// Deep copy: every tile of `o` is read back and uploaded into a new texture.
    varnik::TexturePool& operator=(varnik::TexturePool& o) override;
    /// Drops the tiles, takes the name with any tile suffix stripped, and reads
    /// the default descriptor from the header of a tile file found on disk.
    void SetFileName(const QString& sName) override;
    const QString& FileName() const override { return m_sFileName; }
    /// Writes the dirty tiles and those whose file is missing (every tile when
    /// `bWriteAll` or a new name); clears the written tiles' dirty flags.
    bool Save(const QString& sFile, const QString& sDepth, varnik::Material* pMaterial, bool bWriteAll) override;
    /// Writes every tile under `sFile`; the pool keeps its name and dirty flags.
    bool Export(const QString& sFile, const QString& sDepth, varnik::Material* pMaterial) override;
    void SetDirty(bool bDirty) override { m_bDirty = bDirty; }
    bool IsDirty() const override { return m_bDirty; }
    void SetTilesDirty() override;
    /// Drops the tiles; each comes back from its file when next asked for.
    void Reload() override { DropTiles(); }
    unsigned int TileCount() const override { return unsigned(m_aTiles.size()); }
    using varnik::TexturePool::Tile;
    /// The tile under the box's minimum corner, made and loaded on first use;
    /// null for an empty box. `bActivate` brings the tile to the GPU.
    varnik::Texture* Tile(const varnik::AxisAlignedBoundingBox& cBox, bool bActivate) override;
    /// The tile at a table index (below TileCount()).
    varnik::Texture* Tile(unsigned int iIndex) override;
    varnik::AxisAlignedBoundingBox TileArea(unsigned int iIndex) const override { return m_aTiles[iIndex].m_cArea; }
    /// Video memory of the tile under the box at `fFactor`; for a cell without a
    /// tile (and a factor other than -1) an estimate from the default descriptor.
    int64_t TileVideoMemoryUsage(const varnik::AxisAlignedBoundingBox& cBox, float fFactor) const override;

    // --- varnik::Node --------------------------------------------------------
    /// Renames the pool and marks every loaded tile dirty.
    void SetName(const QString& sName) override;
    /// The pool's scene record: node, descriptor, file name, grid size and the
    /// tile table with each tile texture's own record.
    void Serialize(varnik::Stream& s) override;

    // --- own operations ------------------------------------------------------
    /// Deletes every tile and forgets the grid; name and descriptor stay.
    void DropTiles();
    /// The file name of tile (u, v). With `bForce` false a pool of at most one
    /// tile uses its own file name; otherwise the suffix "_u<U>_v<V>" is added
    /// (U = u + 1 for u >= 0), or the `%u %v %i %x %y` template is filled.
    QString TileFileName(int u, int v, bool bForce) const;
    /// Fills the tile's texture from its file, or as a blank tile of the default
    /// descriptor. False only when there is no file name and the descriptor
    /// cannot describe a blank tile.
    bool LoadTileTexture(TileStruct& cTile);

    /// Number of tile columns and rows (used by the file-name template).
    unsigned int TileColumns() const { return m_iTileColumns; }
    unsigned int TileRows() const { return m_iTileRows; }
    /// The format the last tile was made or loaded in.
    varnik::Image::Format TileFormat() const { return m_eTileFormat; }

protected:
    /// Writes the tiles of the pool (see Save and Export). A tile that fails is
    /// reported on the status line and in the log; the others are still written.
    virtual bool SaveInternal(const QString& sFile, const QString& sDepth, varnik::Material* pMaterial,
                              bool bWriteAll, bool bMarkClean, bool bKeepName);

private:
    /// Copies the tiles of `o` into new textures (after dropping ours).
    void CopyTilesFrom(varnik::TexturePool& o);
    /// A new texture through the class registry.
    static varnik::Texture* NewTileTexture();
    /// The lookup past the grid: the scan of the table (repairing the grid) and,
    /// for a cell without a tile, its creation and load.
    varnik::Texture* FindOrMakeTile(const varnik::AxisAlignedBoundingBox& cBox, int iU, int iV, bool bActivate);
    /// Records table index `iIndex` for cell (u, v) in the grid, growing it;
    /// a cell the grid cannot grow to stays uncached.
    void RememberCell(int u, int v, int iIndex);
    /// The tile format for the default descriptor and the host's float-tile setting.
    varnik::Image::Format ComputeTileFormat() const;
    /// Logs up to five files of the folder that look like tiles of `sProbe` under
    /// another naming, so that a layer that comes up blank says why.
    static void LogForeignTileNames(const QString& sProbe, const QStringList& aEntries);

    QString m_sFileName;                          ///< pool name, no tile suffix; may be a template
    std::vector<TileStruct> m_aTiles;             ///< tile table; index = position
    uint32_t m_iTileColumns = 1;                  ///< tile columns in U (grows by lookup)
    uint32_t m_iTileRows = 1;                     ///< tile rows in V (from scene files)
    bool m_bDirty = true;                         ///< pool dirty flag
    TileDescriptor m_cDefaultTileDescriptor;      ///< what new or missing tiles get
    varnik::Image::Format m_eTileFormat = varnik::Image::e16float; ///< format of the last tile made
};
