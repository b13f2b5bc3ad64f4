#include "VarnikTexturePool.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <memory>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QRegExp>
#include <QStringList>

#include "varnik/Error.h"
#include "varnik/Image.h"
#include "varnik/Interface.h"
#include "varnik/Kernel.h"
#include "varnik/Preferences.h"
#include "varnik/Stream.h"
#include "CrashScope.h"

using varnik::AxisAlignedBoundingBox;
using varnik::Image;

namespace {

const char* const s_sSourceFile = "src/plugins/Texture/VarnikTexturePool";

// Tile names. A tile suffix is "_u<U>_v<V>", optionally followed by a
// generation marker "_g<n>.<m>." before the extension.
/// The name is itself a tile's name; %1 is its extension.
const char* const s_sTileNameExpression = "_u-?[0-9]+_v-?[0-9]+(\\.|_g[0-9]+\\.[0-9]+\\.)%1$";
/// A complete base name ends in a tile suffix.
const char* const s_sTileBaseExpression = "_u-?[0-9]+_v-?[0-9]+(_g[0-9]+\\.[0-9]+)?$";
/// The tile suffix to strip.
const char* const s_sTileSuffixExpression = "_u-?[0-9]+_v-?[0-9]+(\\.|_g[0-9]+\\.[0-9]+\\.)";
/// The generation marker.
const char* const s_sGenerationExpression = "_g[0-9]+\\.[0-9]+\\.";

varnik::Error* NewError(const char* sFunction, unsigned int iLine)
{
    return new varnik::Error(QString(), 4, QString::fromLatin1(sFunction), QString::fromLatin1(s_sSourceFile), iLine);
}

/// Position of the last path separator of either kind, -1 when none. Matches
/// of the naming expressions count only after it, so that a dot or a tile
/// suffix inside a folder name is never taken for the file's own.
int LastSeparator(const QString& sName)
{
    return std::max(sName.lastIndexOf('/'), sName.lastIndexOf('\\'));
}

/// A tile's suffix number: 1-based for u >= 0, the index itself below 0, so no
/// name carries 0.
int SuffixNumber(int i)
{
    return i >= 0 ? i + 1 : i;
}

/// Backslashes become slashes; a name without a folder is taken from the
/// project folder (which ends in a separator).
QString LoadableName(QString sName)
{
    sName.replace('\\', '/');
    if (!sName.contains('/'))
        sName.prepend(varnik::Kernel::ProjectFilesDirectory());
    return sName;
}

/// The pixel format a depth string ("8", "16", "32", optionally ",fp") names.
Image::Format DepthFormat(const QString& sDepth)
{
    const QString sBits = sDepth.section(',', 0, 0);
    const bool bFloat = sDepth.section(',', 1, 1) == "fp";
    if (sBits == "16")
        return bFloat ? Image::e16float : Image::e16integer;
    if (sBits == "32")
        return bFloat ? Image::e32float : Image::e32integer;
    return Image::e8integer;
}

/// The format a file of this (lower-case) extension can hold, given the one chosen so far.
Image::Format ExtensionFormat(const QString& sExtension, Image::Format eFormat)
{
    static const QStringList s_aEightBit = {"png", "bmp", "jpg", "jpeg", "tga", "targa"};
    if (s_aEightBit.contains(sExtension))
        return Image::e8integer;
    if (sExtension == "exr")
        return (eFormat == Image::e32integer || uint32_t(eFormat) >= uint32_t(Image::e32float)) ? Image::e32float
                                                                                               : Image::e16float;
    if (sExtension == "psd")
        return eFormat != Image::e8integer ? Image::e16integer : Image::e8integer;
    return eFormat;
}

/// A new image through the class registry.
std::unique_ptr<Image> NewImage()
{
    return std::unique_ptr<Image>(varnik::CreateInstanceAs<Image>(Image::StaticClass()));
}

/// The UV square of the tile whose minimum corner is (u, v).
AxisAlignedBoundingBox TileSquare(const AxisAlignedBoundingBox& cBox, float u, float v)
{
    AxisAlignedBoundingBox cSquare = cBox;
    cSquare.m_fMinX = u;
    cSquare.m_fMinY = v;
    cSquare.m_fMinZ = 0.f;
    cSquare.m_fMaxX = u + 1.f;
    cSquare.m_fMaxY = v + 1.f;
    cSquare.m_fMaxZ = 1.f;
    return cSquare;
}

/// True when `cArea` contains the unit square of cell (u, v) (z from 0 to 1).
inline bool CoversCell(const AxisAlignedBoundingBox& cArea, int iU, int iV)
{
    const float u = float(iU), v = float(iV);
    return cArea.m_fMinX <= u && cArea.m_fMinY <= v && cArea.m_fMinZ <= 0.f && u + 1.f <= cArea.m_fMaxX &&
           v + 1.f <= cArea.m_fMaxY && 1.f <= cArea.m_fMaxZ;
}

/// The floor of `f` as a grid cell; false for NaN and for values too far out
/// for the grid's int cells. (std::floor is a library call on plain x86-64,
/// and tile lookup is on the drawing path.)
bool FloorToCell(float f, int& iCell)
{
    if (!(std::fabs(f) < float(std::numeric_limits<int>::max() / 2)))
        return false;
    iCell = int(f);
    if (float(iCell) > f)
        --iCell;
    return true;
}

} // namespace

// ---------------------------------------------------------------------------
// Registration (the class record is defined with the module's other static
// objects, in Texture.cpp, so that their order is fixed)

varnik::Node* VarnikTexturePool::CreateInstances(unsigned int iCount)
{
    return varnik::CreateInstancesOf<VarnikTexturePool>(iCount);
}

QString VarnikTexturePool::tr(const char* sText, const char* sDisambiguation, int iCount)
{
    return QCoreApplication::translate("VarnikTexturePool", sText, sDisambiguation, iCount);
}

QString VarnikTexturePool::trUtf8(const char* sText, const char* sDisambiguation, int iCount)
{
    return QCoreApplication::translate("VarnikTexturePool", sText, sDisambiguation, iCount);
}

// ---------------------------------------------------------------------------
// Object and tile table

VarnikTexturePool::VarnikTexturePool()
    : varnik::Node(QString(), QString()),
      m_cDefaultTileDescriptor(0, 0, Image::eNoFormat, 0, QString(), varnik::Color::transparent)
{
}

VarnikTexturePool::~VarnikTexturePool()
{
    DropTiles();
}

varnik::Texture* VarnikTexturePool::NewTileTexture()
{
    return varnik::CreateInstanceAs<varnik::Texture>(varnik::Texture::StaticClass());
}

void VarnikTexturePool::DropTiles()
{
    for (TileStruct& cTile : m_aTiles)
        delete cTile.m_pTexture;
    m_aTiles.clear();
    m_cGrid.dropAll();
}

void VarnikTexturePool::RememberCell(int u, int v, int iIndex)
{
    // The grid is only a cache: a cell too far out to fit it is found by the
    // scan every time, which is slower but loses nothing.
    try {
        if (!m_cGrid.contains(u, v))
            m_cGrid.resizeArrayToInclude(u, v);
        m_cGrid.tileFromUV(u, v).m_iIndex = iIndex;
    } catch (varnik::Error* pError) {
        varnik::Error::Discard(pError);
    }
}

unsigned int VarnikTexturePool::Location() const
{
    return m_aTiles.empty() ? 0u : m_aTiles.front().m_pTexture->Location();
}

void VarnikTexturePool::SetDefaultTileDescriptor(const TileDescriptor& d)
{
    DropTiles();
    m_cDefaultTileDescriptor = d;
    if (!varnik::Kernel()->Preferences()->m_bAllowTwoChannelTiles && m_cDefaultTileDescriptor.m_iChannels == 2)
        m_cDefaultTileDescriptor.m_iChannels = 4;
}

QString VarnikTexturePool::Name(const varnik::ClassDesc*) const
{
    return varnik::Node::Name(nullptr);
}

void VarnikTexturePool::SetName(const QString& sName)
{
    varnik::Node::SetName(sName);
    SetTilesDirty();
}

void VarnikTexturePool::SetLocation(unsigned int iLocation)
{
    CrashScope cScope(CrashScope::ePoolSetLocation);
    for (TileStruct& cTile : m_aTiles)
        cTile.m_pTexture->SetLocation(iLocation);
}

void VarnikTexturePool::SetTilesDirty()
{
    for (TileStruct& cTile : m_aTiles)
        cTile.m_pTexture->SetDirty(true);
}

varnik::Texture* VarnikTexturePool::Tile(unsigned int iIndex)
{
    TileStruct& cTile = m_aTiles[iIndex];
    if (cTile.m_pTexture)
        return cTile.m_pTexture;
    return Tile(TileArea(iIndex), true);
}

varnik::Texture* VarnikTexturePool::Tile(const AxisAlignedBoundingBox& cBox, bool bActivate)
{
    CrashScope cScope(CrashScope::ePoolTile);
    if (cBox.m_fMinX > cBox.m_fMaxX)
        return nullptr;
    int iU = 0, iV = 0;
    if (!FloorToCell(cBox.m_fMinX, iU) || !FloorToCell(cBox.m_fMinY, iV)) {
        varnik::Kernel::Log(QString("VarnikTexturePool::Tile -- no tile at UV (%1, %2): outside the tile grid\n")
                                .arg(double(cBox.m_fMinX)).arg(double(cBox.m_fMinY)));
        return nullptr;
    }
    // Fast path: the grid's index, if the entry there still covers the cell.
    varnik::Texture* pFound = nullptr;
    if (m_cGrid.contains(iU, iV)) {
        const int i = m_cGrid.tileFromUV(iU, iV).m_iIndex;
        if (i >= 0 && size_t(i) < m_aTiles.size() && CoversCell(m_aTiles[size_t(i)].m_cArea, iU, iV))
            pFound = m_aTiles[size_t(i)].m_pTexture;
    }
    if (!pFound)
        return FindOrMakeTile(cBox, iU, iV, bActivate);
    if (bActivate && pFound->Location() != varnik::TexturePool::locationGPU)
        pFound->SetLocation(varnik::TexturePool::locationGPU);
    return pFound;
}

varnik::Texture* VarnikTexturePool::FindOrMakeTile(const AxisAlignedBoundingBox& cBox, int iU, int iV, bool bActivate)
{
    // Column count for the file-name template. A box that lies wholly left
    // of u = 0 has a negative ceiling, which as an unsigned count would
    // become about four billion columns: such boxes leave the count alone.
    const double fCeiling = std::ceil(double(cBox.m_fMaxX));
    if (fCeiling > 0.0)
        m_iTileColumns = std::max(m_iTileColumns, fCeiling >= 4294967295.0 ? std::numeric_limits<uint32_t>::max()
                                                                           : uint32_t(fCeiling));
    const size_t n = m_aTiles.size();
    for (size_t i = 0; i < n; ++i)
        if (CoversCell(m_aTiles[i].m_cArea, iU, iV)) {
            RememberCell(iU, iV, int(i));
            varnik::Texture* pFound = m_aTiles[i].m_pTexture;
            if (bActivate && pFound->Location() != varnik::TexturePool::locationGPU)
                pFound->SetLocation(varnik::TexturePool::locationGPU);
            return pFound;
        }

    // First use of this cell: a new tile, loaded from its file.
    varnik::Texture* pTexture = NewTileTexture();
    TileStruct cTile;
    cTile.m_pTexture = pTexture;
    cTile.m_cArea = TileSquare(cBox, float(iU), float(iV));
    try {
        m_aTiles.push_back(cTile);
    } catch (...) {
        delete pTexture;
        throw;
    }
    RememberCell(iU, iV, int(n));
    // A tile only looked at keeps its content in CPU memory until activated.
    const bool bWasLive = pTexture->IsLive();
    if (!bActivate)
        pTexture->SetLive(false);
    try {
        LoadTileTexture(m_aTiles.back());
    } catch (varnik::Error* pError) {
        pError->Report();
        varnik::Error::Discard(pError);
    }
    if (!bActivate)
        pTexture->SetLive(bWasLive);
    m_bDirty = true;
    return pTexture;
}

int64_t VarnikTexturePool::TileVideoMemoryUsage(const AxisAlignedBoundingBox& cBox, float fFactor) const
{
    if (cBox.m_fMinX > cBox.m_fMaxX)
        return 0;
    int iU = 0, iV = 0;
    const varnik::Texture* pTile = nullptr;
    if (FloorToCell(cBox.m_fMinX, iU) && FloorToCell(cBox.m_fMinY, iV) && m_cGrid.contains(iU, iV)) {
        const int i = const_cast<varnik::TextureTileArray&>(m_cGrid).tileFromUV(iU, iV).m_iIndex;
        if (i >= 0 && size_t(i) < m_aTiles.size())
            pTile = m_aTiles[size_t(i)].m_pTexture;
    }
    if (pTile && pTile->Location() != 0)
        return pTile->VideoMemoryUsage(fFactor);
    if (fFactor == -1.0f)
        return pTile ? pTile->VideoMemoryUsage(fFactor) : 0;
    const TileDescriptor& d = m_cDefaultTileDescriptor;
    const unsigned int p = varnik::Texture::ProxyLevel(fFactor, std::max(d.m_iWidth, d.m_iHeight));
    return int64_t(uint64_t(d.m_iWidth >> p) * uint64_t(d.m_iHeight >> p) * uint64_t(d.m_iChannels) *
                   uint64_t(varnik::Texture::BitDepth(m_eTileFormat)) / 8u);
}

varnik::TexturePool& VarnikTexturePool::operator=(varnik::TexturePool& o)
{
    if (&o == this)
        return *this;
    varnik::TexturePool::operator=(o);
    DropTiles();
    for (unsigned int i = 0; i < o.TileCount(); ++i) {
        std::unique_ptr<Image> pImage = NewImage();
        o.Tile(i)->CopyTo(pImage.get(), true, nullptr, varnik::PixelDescriptor::eRGBA);
        std::unique_ptr<varnik::Texture> pTexture(NewTileTexture());
        pTexture->CopyFrom(pImage.get(), nullptr);
        TileStruct cTile;
        cTile.m_pTexture = pTexture.get();
        cTile.m_cArea = o.TileArea(i);
        m_aTiles.push_back(cTile);
        pTexture.release();
    }
    m_sFileName = o.FileName();
    // The node's own rename: copied tiles are not marked dirty.
    varnik::Node::SetName(m_sFileName);
    return *this;
}

// ---------------------------------------------------------------------------
// Tile file names

QString VarnikTexturePool::TileFileName(int u, int v, bool bForce) const
{
    QString sName = m_sFileName;
    if (sName.contains('%')) {
        const int iNumber = int(uint32_t(v) * m_iTileColumns + uint32_t(u) + 1u);
        sName.replace("%u", QString::number(m_iTileColumns));
        sName.replace("%v", QString::number(m_iTileRows));
        sName.replace("%i", QString::asprintf("%04d", iNumber));
        sName.replace("%x", QString::number(u));
        sName.replace("%y", QString::number(v));
        return sName;
    }
    if (!bForce && (TileCount() <= 1 || sName.isEmpty()))
        return sName;

    const QString sSuffix = QString::asprintf("_u%d_v%d", SuffixNumber(u), SuffixNumber(v));
    const int iSeparator = LastSeparator(sName);
    QRegExp cMarker(s_sGenerationExpression);
    const int g = cMarker.lastIndexIn(sName);
    if (g < 0 || g <= iSeparator) {
        const int d = sName.lastIndexOf('.');
        if (d > iSeparator)
            sName.insert(d, sSuffix);
        return sName;
    }

    // A generation marker: the tile's file may carry any generation.
    sName.insert(g, sSuffix);
    const int s = LastSeparator(sName);
    const QString sFolder = s >= 0 ? sName.left(s) : QString(".");
    QString sPattern = sName.mid(s + 1);
    sPattern.replace(QRegExp(s_sGenerationExpression), "_g*.");
    const QStringList aEntries = QDir(sFolder).entryList(QStringList(sPattern));
    if (aEntries.isEmpty())
        return sName;
    return s >= 0 ? sFolder + "/" + aEntries.first() : aEntries.first();
}

void VarnikTexturePool::LogForeignTileNames(const QString& sProbe, const QStringList& aEntries)
{
    // Files of the same layer under another naming: "skin.1001.tif",
    // "skin_u1_v1.TIF", "skin_1_1.tif" beside "skin.tif".
    const QString sBase = QFileInfo(sProbe).completeBaseName();
    if (sBase.isEmpty())
        return;
    QRegExp cLooksLikeTile(QString("^%1[._-].*[0-9]").arg(QRegExp::escape(sBase)), Qt::CaseInsensitive);
    QStringList aFound;
    int iCount = 0;
    for (const QString& sEntry : aEntries)
        if (cLooksLikeTile.indexIn(QFileInfo(sEntry).completeBaseName()) == 0 && ++iCount <= 5)
            aFound << sEntry;
    if (aFound.isEmpty())
        return;
    varnik::Kernel::Log(tr("No tile files found for %1; files that look like its tiles under another naming: "
                           "%2%3\n")
                            .arg(sProbe, aFound.join(", "), iCount > 5 ? QString(", ...") : QString()));
}

void VarnikTexturePool::SetFileName(const QString& sName)
{
    CrashScope cScope(CrashScope::ePoolSetFileName);
    DropTiles();
    m_sFileName = sName;
    if (sName.isEmpty())
        return;

    // The probe file gives the default descriptor: the name itself, or the
    // first tile file of the layer in the folder.
    const QString p = QString(sName).replace('\\', '/');
    QString sProbe;
    const QFileInfo cInfo(p);
    if (cInfo.exists()) {
        sProbe = p;
    } else {
        const QString e = cInfo.suffix();
        QRegExp cTileName(QString(s_sTileNameExpression).arg(e));
        const int iMatch = cTileName.lastIndexIn(p);
        if (iMatch < 0 || iMatch <= p.lastIndexOf('/')) {
            const QString sBase = cInfo.completeBaseName();
            QRegExp cTileBase(s_sTileBaseExpression);
            const QFileInfoList aEntries = QDir(cInfo.path()).entryInfoList(
                QDir::Files | QDir::Readable | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
            QStringList aNames;
            for (const QFileInfo& cEntry : aEntries) {
                const QString sEntryBase = cEntry.completeBaseName();
                if (cEntry.suffix() == e && sEntryBase.startsWith(sBase) && cTileBase.indexIn(sEntryBase) >= 0) {
                    sProbe = cEntry.filePath();
                    break;
                }
                aNames << cEntry.fileName();
            }
            if (sProbe.isEmpty())
                LogForeignTileNames(p, aNames);
        }
    }

    if (!sProbe.isEmpty()) {
        try {
            // The header is enough: opening a layer loads no tile.
            const Image::FileShape cShape = Image::ReadFileShape(sProbe);
            TileDescriptor& d = m_cDefaultTileDescriptor;
            d.m_iHeight = cShape.m_iHeight;
            d.m_iWidth = cShape.m_iWidth;
            d.m_eFormat = cShape.m_eFormat;
            d.m_iChannels = (cShape.m_iChannels == 1 || cShape.m_iChannels == 3) ? 4u : cShape.m_iChannels;
            d.m_cColor = varnik::Color::transparent;
            if (m_sFileName.contains('.'))
                d.m_sExtension = QFileInfo(sProbe).suffix();
        } catch (varnik::Error* pError) {
            pError->Report();
            varnik::Error::Discard(pError);
        }
    }

    // Strip a tile suffix from the last path component.
    QRegExp cSuffix(s_sTileSuffixExpression);
    const int t = cSuffix.lastIndexIn(m_sFileName);
    if (t < 0 || t <= LastSeparator(m_sFileName))
        return;
    const int iDot = m_sFileName.lastIndexOf('.');
    const int iMarker = m_sFileName.lastIndexOf("_g");
    if (t < iMarker)
        m_sFileName = m_sFileName.left(t) + m_sFileName.mid(iMarker);
    else if (t < iDot)
        m_sFileName = m_sFileName.left(t) + m_sFileName.mid(iDot);
}

// ---------------------------------------------------------------------------
// Tile loading

Image::Format VarnikTexturePool::ComputeTileFormat() const
{
    const Image::Format eFormat = m_cDefaultTileDescriptor.m_eFormat;
    if (varnik::Kernel()->Preferences()->m_bUseFloatTiles && int32_t(eFormat) < int32_t(Image::e16float))
        return Image::e16float;
    return eFormat;
}

bool VarnikTexturePool::LoadTileTexture(TileStruct& cTile)
{
    CrashScope cScope(CrashScope::ePoolLoadTileTexture);
    if (!cTile.m_pTexture)
        cTile.m_pTexture = NewTileTexture();
    varnik::Texture* pTexture = cTile.m_pTexture;
    const int u = int(cTile.m_cArea.m_fMinX), v = int(cTile.m_cArea.m_fMinY);
    const TileDescriptor& d = m_cDefaultTileDescriptor;
    const bool bDescribesTile = d.m_iWidth != 0 && d.m_iHeight != 0 && d.m_iChannels != 0 &&
                                d.m_eFormat != Image::eNoFormat;

    QString sFirst = TileFileName(u, v, false);
    if (sFirst.isEmpty()) {
        if (!bDescribesTile)
            return false;
        m_eTileFormat = ComputeTileFormat();
        pTexture->Create(d.m_iWidth, d.m_iHeight, d.m_iChannels, m_eTileFormat, d.m_cColor);
        return true;
    }
    sFirst = LoadableName(sFirst);
    m_eTileFormat = ComputeTileFormat();
    if (!pTexture->CreateFromFile(sFirst, d.m_iChannels, m_eTileFormat)) {
        // A single-file layer and one saved as tile files both load.
        const QString sSecond = LoadableName(TileFileName(u, v, true));
        if (!pTexture->CreateFromFile(sSecond, d.m_iChannels, m_eTileFormat)) {
            varnik::Kernel::Log(tr("Failed to load texture files both %1 and %2.\n").arg(sFirst, sSecond));
            if (bDescribesTile)
                pTexture->Create(d.m_iWidth, d.m_iHeight, d.m_iChannels, m_eTileFormat, d.m_cColor);
        }
    }
    // The next tile is asked for in the channel count of the last one read.
    if (pTexture->ChannelCount() != d.m_iChannels)
        m_cDefaultTileDescriptor.m_iChannels = pTexture->ChannelCount();
    return true;
}

// ---------------------------------------------------------------------------
// Saving and export

bool VarnikTexturePool::Save(const QString& sFile, const QString& sDepth, varnik::Material* pMaterial,
                             bool bWriteAll)
{
    return SaveInternal(sFile, sDepth, pMaterial, bWriteAll, true, true);
}

bool VarnikTexturePool::Export(const QString& sFile, const QString& sDepth, varnik::Material* pMaterial)
{
    return SaveInternal(sFile, sDepth, pMaterial, true, false, false);
}

bool VarnikTexturePool::SaveInternal(const QString& sFile, const QString& sDepth, varnik::Material* pMaterial,
                                     bool bWriteAll, bool bMarkClean, bool bKeepName)
{
    CrashScope cScope(CrashScope::ePoolSaveInternal);
    const QString sOldName = m_sFileName;
    if (!sFile.isEmpty()) {
        // Under a new name every tile must be written, changed or not.
        if (sFile != m_sFileName)
            bWriteAll = true;
        m_sFileName = sFile;
    }

    varnik::Interface* pInterface = varnik::Kernel::Interface();
    pInterface->ProgressStart(tr("Saving textures..."), TileCount(), 1.0f, 0);
    bool bAllWritten = true;
    for (unsigned int i = 0; i < TileCount(); ++i) {
        const AxisAlignedBoundingBox cArea = TileArea(i);
        const int u = int(cArea.m_fMinX), v = int(cArea.m_fMinY);
        const QString sName = LoadableName(TileFileName(u, v, false));
        const bool bExists = QFileInfo::exists(sName);
        varnik::Texture* pTexture = m_aTiles[i].m_pTexture;
        // An unchanged tile whose file exists is not even read back.
        if (!bWriteAll && !pTexture->IsDirty() && bExists) {
            pInterface->ProgressAdd();
            continue;
        }
        try {
            if (bMarkClean)
                pTexture->SetDirty(false);
            const Image* pImage = pTexture->AsImage();
            if (!pImage || !pImage->HasData())
                throw NewError("VarnikTexturePool::SaveInternal", __LINE__)
                    ->Format("VarnikTexturePool::SaveInternal -- tile (%1, %2) has no pixels", u, v);
            Image::Format eFormat = m_cDefaultTileDescriptor.m_eFormat;
            if (eFormat == Image::eNoFormat)
                eFormat = pImage->format();
            if (!sDepth.isEmpty())
                eFormat = DepthFormat(sDepth);
            eFormat = ExtensionFormat(QFileInfo(sName).suffix().toLower(), eFormat);
            if (pImage->format() == eFormat && pImage->ChannelCount() == 4) {
                pImage->Save(sName, true, pMaterial, float(u), float(v), false);
            } else {
                // Files always get four channels in the chosen format.
                std::unique_ptr<Image> pConverted = NewImage();
                pConverted->create(pImage->Width(), pImage->Height(), 4, eFormat, false, 1);
                pConverted->ConvertFrom(*pImage);
                pConverted->Save(sName, true, pMaterial, float(u), float(v), false);
            }
        } catch (varnik::Error* pError) {
            const QString sMessage = tr("Failed to save texture file %1.\n").arg(sName);
            pInterface->SetStatus(sMessage, 2);
            varnik::Kernel::Log(sMessage);
            pError->Report();  // the reason, for the log
            varnik::Error::Discard(pError);
            bAllWritten = false;
        }
        pInterface->ProgressAdd();
    }
    pInterface->ProgressEnd();
    if (!bKeepName)
        m_sFileName = sOldName;
    return bAllWritten;
}

// ---------------------------------------------------------------------------
// Scene records

void VarnikTexturePool::Serialize(varnik::Stream& s)
{
    CrashScope cScope(CrashScope::ePoolSerialize);
    if (s.IsOlderThan(332))
        return;
    const bool bStoring = s.IsStoring();
    const int32_t iVersion = s.ClassVersion(&s_cMyClass);
    varnik::Node::Serialize(s);
    if (iVersion > 100)
        m_cDefaultTileDescriptor.Serialize(s);
    if (bStoring)
        s << m_sFileName;
    else
        s >> m_sFileName;
    if (s.IsAtLeast(351)) {
        if (bStoring) {
            s.Write(&m_iTileRows, 4);
            s.Write(&m_iTileColumns, 4);
        } else {
            s.Read(&m_iTileRows, 4);
            s.Read(&m_iTileColumns, 4);
        }
    }
    if (s.IsAtLeast(362)) {
        uint32_t n = uint32_t(m_aTiles.size());
        if (bStoring) {
            s.Write(&n, 4);
            for (TileStruct& cTile : m_aTiles) {
                s.Write(&cTile.m_cArea, sizeof(AxisAlignedBoundingBox));
                static_cast<varnik::Node*>(cTile.m_pTexture)->Serialize(s);
            }
        } else {
            s.Read(&n, 4);
            // Entries are added one by one as they are read: a stream that ends
            // part-way leaves every tile read so far whole and owned.
            for (uint32_t i = 0; i < n; ++i) {
                TileStruct cTile;
                s.Read(&cTile.m_cArea, sizeof(AxisAlignedBoundingBox));
                std::unique_ptr<varnik::Texture> pTexture(NewTileTexture());
                static_cast<varnik::Node*>(pTexture.get())->Serialize(s);
                cTile.m_pTexture = pTexture.get();
                m_aTiles.push_back(cTile);
                pTexture.release();
                LoadTileTexture(m_aTiles.back());
                m_bDirty = true;
            }
            if (iVersion < 101 && TileCount() != 0) {
                varnik::Texture* pFirst = Tile(0u);
                m_cDefaultTileDescriptor = TileDescriptor(pFirst->Width(), pFirst->Height(), pFirst->Format(),
                                                          pFirst->ChannelCount(), QFileInfo(m_sFileName).suffix(),
                                                          varnik::Color::transparent);
            }
        }
    }
    if (!bStoring)
        m_cGrid.dropAll();
    if (iVersion == 100)
        m_cDefaultTileDescriptor.Serialize(s);
    if (!bStoring && iVersion < 100 && !m_cDefaultTileDescriptor.IsValid())
        m_cDefaultTileDescriptor = TileDescriptor(2, 2, Image::e8integer, 4, "tif", varnik::Color::transparent);
}
