#pragma once
#include <cstdint>
#include <vector>
#include <QString>
#include "varnik/Node.h"
#include "varnik/Image.h"
#include "varnik/Color.h"
#include "varnik/AxisAlignedBoundingBox.h"

namespace varnik {

class Texture;
class TextureMixer;
class Material;
class Stream;

/// The UV grid of a pool: maps whole-number tile coordinates to an entry whose
/// first field is a tile index, -1 when no tile is recorded. It grows to
/// include the cells asked for; it is a cache, not the truth.
class TextureTileArray
{
public:
    struct Entry { int32_t m_iIndex = -1; };
    /// True when the grid covers cell (u, v).
    bool contains(int u, int v) const
    {
        return u >= m_iMinU && v >= m_iMinV && int64_t(u) < int64_t(m_iMinU) + m_iColumns &&
               int64_t(v) < int64_t(m_iMinV) + m_iRows;
    }
    /// The entry of a covered cell; throws a `varnik::Error` pointer for a cell
    /// the grid does not cover. Inline: every tile lookup reads the grid.
    Entry& tileFromUV(int u, int v)
    {
        if (!contains(u, v))
            ThrowOutside(u, v);
        return m_aEntries[size_t(v - m_iMinV) * size_t(m_iColumns) + size_t(u - m_iMinU)];
    }
    /// Grows the grid to cover (u, v); existing entries keep their cells.
    void resizeArrayToInclude(int u, int v);
    /// Forgets every cell.
    void dropAll();
    int MinU() const { return m_iMinU; }
    int MinV() const { return m_iMinV; }
    int Columns() const { return m_iColumns; }
    int Rows() const { return m_iRows; }
private:
    [[noreturn]] static void ThrowOutside(int u, int v);
    int m_iMinU = 0, m_iMinV = 0;   ///< cell of entry 0
    int m_iColumns = 0, m_iRows = 0;///< covered size
    std::vector<Entry> m_aEntries;  ///< row-major
};

/// The host's texture pool interface: a paint layer made of UV tiles.
/// Slots in the host's order; the base implements the slots a pool may leave.
class TexturePool : public virtual Node
{
public:
    static const unsigned int locationGPU = 1;
    static const unsigned int locationCPU = 2;

    /// A pool's default tile.
    class TileDescriptor
    {
    public:
        TileDescriptor() = default;
        TileDescriptor(unsigned int iWidth, unsigned int iHeight, Image::Format eFormat, unsigned int iChannels,
                       const QString& sExtension, const Color& cColor = Color::transparent);
        virtual ~TileDescriptor() = default;
        /// Writes or reads width, height, format, channels (uint32 each), colour
        /// (four floats) and extension (string).
        virtual void Serialize(Stream& s);
        /// True when width and height are non-zero, the channel count is 1..4 and
        /// the format is 0..4 or 8.
        bool IsValid() const;
        bool operator==(const TileDescriptor& o) const;

        unsigned int m_iWidth = 0;               ///< texels
        unsigned int m_iHeight = 0;              ///< texels
        Image::Format m_eFormat = Image::eNoFormat; ///< 8: take the source's format
        unsigned int m_iChannels = 0;            ///< channel count
        Color m_cColor = Color::transparent;     ///< fill of blank tiles
        QString m_sExtension;                    ///< file extension without the dot
    };

    TexturePool();
    ~TexturePool() override;

    static const ClassDesc* StaticClass();
    const ClassDesc* RuntimeClass() const override;

    virtual int RenderMode() const;                                              // 0
    virtual unsigned int Location() const = 0;                                   // 1
    virtual int Usage() const;                                                   // 2
    virtual const TileDescriptor& DefaultTileDescriptor() const = 0;             // 3
    virtual void SetDefaultTileDescriptor(const TileDescriptor& d) = 0;          // 4
    virtual void SetUsage(int iUsage);                                           // 5
    QString Name(const ClassDesc* pClass = nullptr) const override;              // 6 (node name)
    virtual void SetRenderMode(int iMode);                                       // 7
    virtual void SetLocation(unsigned int iLocation) = 0;                        // 8
    /// Copies the host's settings; a pool class deep-copies its tiles on top.
    /// Non-const source: copying asks the source for its tiles, which may load them.
    virtual TexturePool& operator=(TexturePool& o);                              // 9
    virtual unsigned int Width() const;                                          // 10
    virtual void SetWidth(unsigned int iWidth);                                  // 11
    virtual void SetFileName(const QString& sName) = 0;                          // 12
    virtual const QString& FileName() const = 0;                                 // 13
    virtual bool Save(const QString& sFile, const QString& sDepth, Material* pMaterial, bool bWriteAll) = 0; // 14
    virtual bool Export(const QString& sFile, const QString& sDepth, Material* pMaterial) = 0; // 15
    virtual void SetDirty(bool bDirty) = 0;                                      // 16
    virtual bool IsDirty() const = 0;                                            // 17
    virtual void AddToDirtyArea(const AxisAlignedBoundingBox& cBox);             // 18
    virtual void SetTilesDirty() = 0;                                            // 19
    virtual void Reload() = 0;                                                   // 20
    virtual void SetContentChanged(bool bChanged);                               // 21
    virtual bool IsContentChanged() const;                                       // 22
    virtual unsigned int TileCount() const = 0;                                  // 23
    /// The tile under UV (u, v): `Tile` by the unit box at the floor of (u, v).
    virtual Texture* Tile(float u, float v, bool bActivate);                     // 24
    virtual Texture* Tile(const AxisAlignedBoundingBox& cBox, bool bActivate) = 0; // 25
    virtual Texture* Tile(unsigned int iIndex) = 0;                              // 26
    virtual AxisAlignedBoundingBox TileArea(unsigned int iIndex) const = 0;      // 27
    /// The pool's texture mixer, made on first use and owned by the pool.
    virtual TextureMixer* Mixer();                                               // 28
    virtual unsigned int BlendMode() const;                                      // 29
    virtual void SetBlendMode(unsigned int iMode);                               // 30
    virtual void SetMaterial(Material* pMaterial);                               // 31
    virtual Material* GetMaterial() const;                                       // 32
    /// Scratch bytes of the pool (the host's staging buffer); empty by default.
    virtual std::vector<uint8_t>& Buffer();                                      // 33
    /// Video memory the tile under `cBox` uses or would use at `fFactor`.
    virtual int64_t TileVideoMemoryUsage(const AxisAlignedBoundingBox& cBox, float fFactor) const = 0; // 34

protected:
    TextureTileArray m_cGrid;                 ///< UV grid cache
    AxisAlignedBoundingBox m_cDirtyArea;      ///< union of AddToDirtyArea boxes
private:
    int m_iRenderMode = 0;                    ///< host render mode
    int m_iUsage = 0;                         ///< host usage flags
    unsigned int m_iWidth = 0;                ///< host width setting
    bool m_bContentChanged = false;           ///< content changed since last save
    unsigned int m_iBlendMode = 0;            ///< layer blend mode
    Material* m_pMaterial = nullptr;          ///< material using this pool (not owned)
    TextureMixer* m_pMixer = nullptr;         ///< owned, made on first Mixer()
    std::vector<uint8_t> m_aBuffer;           ///< scratch bytes
};

} // namespace varnik
