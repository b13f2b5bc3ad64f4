#include "varnik/TexturePool.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include "varnik/ClassDesc.h"
#include "varnik/Error.h"
#include "varnik/Stream.h"
#include "varnik/Texture.h"
#include "varnik/TextureMixer.h"

namespace varnik {

namespace {

// A grid larger than this is a mistake (a box far out in UV space), not a
// layer: refuse it instead of allocating gigabytes.
const int64_t s_iMaxGridCells = int64_t(1) << 24;

// Registers the record when the library loads, so that the registry lists
// it before anyone asks for it.
const ClassDesc* const s_pTexturePoolRecord = TexturePool::StaticClass();

} // namespace

// ---------------------------------------------------------------------------
// TextureTileArray

void TextureTileArray::ThrowOutside(int u, int v)
{
    throw (new Error(QString(), 4, "varnik::TextureTileArray::tileFromUV", "src/framework/TexturePool", __LINE__))
        ->Format("TextureTileArray: cell (%1, %2) is outside the grid", u, v);
}

void TextureTileArray::resizeArrayToInclude(int u, int v)
{
    if (contains(u, v))
        return;
    int64_t iMinU = u, iMinV = v, iMaxU = u, iMaxV = v;  // inclusive bounds
    if (m_iColumns > 0 && m_iRows > 0) {
        iMinU = std::min<int64_t>(iMinU, m_iMinU);
        iMinV = std::min<int64_t>(iMinV, m_iMinV);
        iMaxU = std::max<int64_t>(iMaxU, int64_t(m_iMinU) + m_iColumns - 1);
        iMaxV = std::max<int64_t>(iMaxV, int64_t(m_iMinV) + m_iRows - 1);
    }
    const int64_t iColumns = iMaxU - iMinU + 1;
    const int64_t iRows = iMaxV - iMinV + 1;
    if (iColumns > s_iMaxGridCells || iRows > s_iMaxGridCells || iColumns * iRows > s_iMaxGridCells)
        throw (new Error(QString(), 4, "varnik::TextureTileArray::resizeArrayToInclude", "src/framework/TexturePool", __LINE__))
            ->Format("TextureTileArray: including cell (%1, %2) would make a grid of %3 x %4 cells", u, v,
                     qlonglong(iColumns), qlonglong(iRows));

    std::vector<Entry> aEntries(size_t(iColumns * iRows));
    for (int iRow = 0; iRow < m_iRows; ++iRow) {
        const int64_t iNewRow = int64_t(m_iMinV) + iRow - iMinV;
        const int64_t iNewColumn = int64_t(m_iMinU) - iMinU;
        std::copy_n(m_aEntries.begin() + ptrdiff_t(iRow) * m_iColumns, m_iColumns,
                    aEntries.begin() + ptrdiff_t(iNewRow * iColumns + iNewColumn));
    }
    m_aEntries.swap(aEntries);
    m_iMinU = int(iMinU);
    m_iMinV = int(iMinV);
    m_iColumns = int(iColumns);
    m_iRows = int(iRows);
}

void TextureTileArray::dropAll()
{
    m_aEntries.clear();
    m_aEntries.shrink_to_fit();
    m_iMinU = m_iMinV = 0;
    m_iColumns = m_iRows = 0;
}

// ---------------------------------------------------------------------------
// TexturePool::TileDescriptor

TexturePool::TileDescriptor::TileDescriptor(unsigned int iWidth, unsigned int iHeight, Image::Format eFormat,
                                            unsigned int iChannels, const QString& sExtension, const Color& cColor)
    : m_iWidth(iWidth), m_iHeight(iHeight), m_eFormat(eFormat), m_iChannels(iChannels),
      m_cColor(cColor), m_sExtension(sExtension)
{
}

void TexturePool::TileDescriptor::Serialize(Stream& s)
{
    uint32_t iFormat = uint32_t(m_eFormat);
    if (s.IsStoring()) {
        s << uint32_t(m_iWidth) << uint32_t(m_iHeight) << iFormat << uint32_t(m_iChannels);
        s << m_cColor.r << m_cColor.g << m_cColor.b << m_cColor.a;
        s << m_sExtension;
        return;
    }
    // Read into locals first: a stream that ends part-way, or holds a
    // descriptor no pool can use, leaves the descriptor as it was.
    const size_t iAt = s.Offset();
    uint32_t iWidth = 0, iHeight = 0, iChannels = 0;
    Color cColor;
    QString sExtension;
    s >> iWidth >> iHeight >> iFormat >> iChannels;
    s >> cColor.r >> cColor.g >> cColor.b >> cColor.a;
    s >> sExtension;
    TileDescriptor cRead(iWidth, iHeight, Image::Format(iFormat), iChannels, sExtension, cColor);
    // A pool that never had a descriptor writes the blank one; anything else
    // must describe tiles an image can hold.
    const bool bBlank = cRead == TileDescriptor();
    const bool bFinite = std::isfinite(cColor.r) && std::isfinite(cColor.g) && std::isfinite(cColor.b) &&
                         std::isfinite(cColor.a);
    if (!bBlank && (!cRead.IsValid() || iWidth > Image::s_iMaxDimension || iHeight > Image::s_iMaxDimension ||
                    !bFinite || sExtension.contains(QChar('/')) || sExtension.contains(QChar('\0'))))
        throw (new Error(QString(), 4, "varnik::TexturePool::TileDescriptor::Serialize", "src/framework/TexturePool", __LINE__))
            ->Format("Stream: invalid tile descriptor at offset %1 (%2 x %3, format %4, %5 channels, extension \"%6\")",
                     qulonglong(iAt), iWidth, iHeight, iFormat, iChannels, sExtension);
    m_iWidth = iWidth;
    m_iHeight = iHeight;
    m_eFormat = Image::Format(iFormat);
    m_iChannels = iChannels;
    m_cColor = cColor;
    m_sExtension = sExtension;
}

bool TexturePool::TileDescriptor::IsValid() const
{
    const bool bFormat = uint32_t(m_eFormat) <= uint32_t(Image::e32float) || m_eFormat == Image::eNoFormat;
    return m_iWidth != 0 && m_iHeight != 0 && m_iChannels >= 1 && m_iChannels <= 4 && bFormat;
}

bool TexturePool::TileDescriptor::operator==(const TileDescriptor& o) const
{
    return m_iWidth == o.m_iWidth && m_iHeight == o.m_iHeight && m_eFormat == o.m_eFormat &&
           m_iChannels == o.m_iChannels && m_cColor == o.m_cColor && m_sExtension == o.m_sExtension;
}

// ---------------------------------------------------------------------------
// TexturePool

// Out-of-line definitions: the values are used by reference (gtest, std::max).
const unsigned int TexturePool::locationGPU;
const unsigned int TexturePool::locationCPU;

TexturePool::TexturePool()
{
    // An inverted box: the first AddToDirtyArea takes its box as it is.
    const float fMax = std::numeric_limits<float>::max();
    m_cDirtyArea = AxisAlignedBoundingBox(fMax, fMax, fMax, -fMax, -fMax, -fMax);
}

TexturePool::~TexturePool()
{
    delete m_pMixer;
    m_pMixer = nullptr;
    m_cGrid.dropAll();
}

const ClassDesc* TexturePool::StaticClass()
{
    static const ClassDesc s_cClass(Node::StaticClass(), Node::StaticClass(), "TexturePool", "Texture Pool",
                                    nullptr, 0, 0);
    return &s_cClass;
}

const ClassDesc* TexturePool::RuntimeClass() const
{
    return StaticClass();
}

int TexturePool::RenderMode() const { return m_iRenderMode; }
int TexturePool::Usage() const { return m_iUsage; }
void TexturePool::SetUsage(int iUsage) { m_iUsage = iUsage; }
QString TexturePool::Name(const ClassDesc* pClass) const { return Node::Name(pClass); }
void TexturePool::SetRenderMode(int iMode) { m_iRenderMode = iMode; }

TexturePool& TexturePool::operator=(TexturePool& o)
{
    // The host's settings only: grid, mixer and scratch buffer belong to each pool.
    if (this != &o) {
        m_iRenderMode = o.m_iRenderMode;
        m_iUsage = o.m_iUsage;
        m_iWidth = o.m_iWidth;
        m_bContentChanged = o.m_bContentChanged;
        m_iBlendMode = o.m_iBlendMode;
        m_pMaterial = o.m_pMaterial;
    }
    return *this;
}

unsigned int TexturePool::Width() const { return m_iWidth; }
void TexturePool::SetWidth(unsigned int iWidth) { m_iWidth = iWidth; }

void TexturePool::AddToDirtyArea(const AxisAlignedBoundingBox& cBox)
{
    if (cBox.m_fMinX > cBox.m_fMaxX || cBox.m_fMinY > cBox.m_fMaxY)
        return;  // empty box
    m_cDirtyArea.m_fMinX = std::min(m_cDirtyArea.m_fMinX, cBox.m_fMinX);
    m_cDirtyArea.m_fMinY = std::min(m_cDirtyArea.m_fMinY, cBox.m_fMinY);
    m_cDirtyArea.m_fMinZ = std::min(m_cDirtyArea.m_fMinZ, cBox.m_fMinZ);
    m_cDirtyArea.m_fMaxX = std::max(m_cDirtyArea.m_fMaxX, cBox.m_fMaxX);
    m_cDirtyArea.m_fMaxY = std::max(m_cDirtyArea.m_fMaxY, cBox.m_fMaxY);
    m_cDirtyArea.m_fMaxZ = std::max(m_cDirtyArea.m_fMaxZ, cBox.m_fMaxZ);
}

void TexturePool::SetContentChanged(bool bChanged) { m_bContentChanged = bChanged; }
bool TexturePool::IsContentChanged() const { return m_bContentChanged; }

Texture* TexturePool::Tile(float u, float v, bool bActivate)
{
    const float fU = std::floor(u), fV = std::floor(v);
    return Tile(AxisAlignedBoundingBox(fU, fV, 0.f, fU + 1.f, fV + 1.f, 1.f), bActivate);
}

TextureMixer* TexturePool::Mixer()
{
    if (!m_pMixer)
        m_pMixer = new TextureMixer();
    return m_pMixer;
}

unsigned int TexturePool::BlendMode() const { return m_iBlendMode; }
void TexturePool::SetBlendMode(unsigned int iMode) { m_iBlendMode = iMode; }
void TexturePool::SetMaterial(Material* pMaterial) { m_pMaterial = pMaterial; }
Material* TexturePool::GetMaterial() const { return m_pMaterial; }
std::vector<uint8_t>& TexturePool::Buffer() { return m_aBuffer; }

} // namespace varnik
