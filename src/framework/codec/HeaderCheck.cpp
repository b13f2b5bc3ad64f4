#include "HeaderCheck.h"
#include <QFile>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace varnik {

namespace {

/// Reads integers of one byte order from a byte array, 0 past its end (the
/// callers check the bounds they rely on).
struct Reader
{
    const QByteArray& a;
    bool bBig;
    uint32_t Byte(qint64 i) const { return i >= 0 && i < a.size() ? uint8_t(a[int(i)]) : 0u; }
    uint32_t U16(qint64 i) const { return bBig ? Byte(i) << 8 | Byte(i + 1) : Byte(i) | Byte(i + 1) << 8; }
    uint32_t U32(qint64 i) const
    {
        return bBig ? U16(i) << 16 | U16(i + 2) : U16(i) | U16(i + 2) << 16;
    }
};

// TIFF tags that locate the pixel data.
const uint32_t s_iStripOffsets = 273, s_iStripByteCounts = 279, s_iTileOffsets = 324, s_iTileByteCounts = 325;
// The predictor: 1 none, 2 horizontal, 3 floating point. Other values send
// the decoder into buffers sized by the value.
const uint32_t s_iPredictor = 317;

} // namespace

QString HeaderCheck::Check(const QString& sFileName)
{
    QFile cFile(sFileName);
    if (!cFile.open(QIODevice::ReadOnly))
        return QString();  // the reader says why
    // Mapped, not read: only the pages the checks look at are touched.
    const qint64 iSize = cFile.size();
    const uchar* pMapped = iSize > 0 && iSize < (qint64(1) << 31) ? cFile.map(0, iSize) : nullptr;
    if (!pMapped)
        return QString();
    const QByteArray aData = QByteArray::fromRawData(reinterpret_cast<const char*>(pMapped), int(iSize));
    if (aData.startsWith(QByteArray("II*\0", 4)) || aData.startsWith(QByteArray("MM\0*", 4)))
        return CheckTiff(aData, aData[0] == 'M');
    if (aData.startsWith("SDPX") || aData.startsWith("XPDS"))
        return CheckDpx(aData, aData[0] == 'S');
    if (aData.startsWith("GIF87a") || aData.startsWith("GIF89a"))
        return CheckGif(aData);
    if (aData.startsWith(QByteArray("\x01\xda", 2)))
        return CheckSgi(aData);
    if (aData.startsWith("8BPS"))
        return CheckPsd(aData);
    if (aData.startsWith("FOR4"))
        return CheckIff(aData, 0, iSize, 0);
    return QString();
}

QString HeaderCheck::CheckPsd(const QByteArray& aData)
{
    // Up to the layer records; lengths are 8 bytes in large documents (version 2).
    const Reader r{ aData, true };
    const qint64 iSize = aData.size();
    const bool bLarge = r.U16(4) == 2;
    auto Length = [&](qint64 i) { return bLarge ? qint64(r.U32(i)) << 32 | r.U32(i + 4) : qint64(r.U32(i)); };
    qint64 i = 26;
    for (const char* sSection : { "colour mode data", "image resources" }) {
        if (i + 4 + r.U32(i) > iSize)
            return QString("the %1 (%2 bytes) reach past the end of the file").arg(sSection).arg(r.U32(i));
        i += 4 + r.U32(i);
    }
    const qint64 iLength = bLarge ? 8 : 4;
    if (Length(i) == 0 || Length(i + iLength) == 0)
        return QString();  // no layers
    const qint64 iLayers = std::abs(int16_t(r.U16(i + 2 * iLength)));
    i += 2 * iLength + 2;
    for (qint64 k = 0; k < iLayers && i < iSize; ++k) {
        const qint64 iTop = int32_t(r.U32(i)), iLeft = int32_t(r.U32(i + 4));
        const qint64 iHeight = int32_t(r.U32(i + 8)) - iTop, iWidth = int32_t(r.U32(i + 12)) - iLeft;
        const qint64 iChannels = r.U16(i + 16);
        // The reader takes a table of two bytes a row and channel before any
        // pixel; the file holds at least that, or the pixels themselves.
        if (iHeight < 0 || iWidth < 0 || (iWidth > 0 && iHeight * iChannels * 2 > iSize))
            return QString("layer %1 (%2 x %3 pixels, %4 channels) does not fit in the file (%5 bytes)")
                .arg(k).arg(iWidth).arg(iHeight).arg(iChannels).arg(iSize);
        i += 18 + iChannels * (2 + iLength) + 12;
        i += 4 + r.U32(i);  // past the extra data
    }
    return QString();
}

QString HeaderCheck::CheckIff(const QByteArray& aData, qint64 i, qint64 iEnd, int iDepth)
{
    const Reader r{ aData, true };
    // Chunks (a tag, a big-endian size, the data padded to 4 bytes) nest in
    // FOR4 groups. The reader sizes its buffers by a chunk's size, less the 8
    // bytes of a tile's corners, without checking either against the file.
    while (i + 8 <= iEnd) {
        const QByteArray sTag = r.a.mid(int(i), 4);
        const qint64 iBytes = r.U32(i + 4);
        // Writers leave the last chunk's padding out of the file.
        if (i + 8 + iBytes > iEnd + 3)
            return QString("chunk %1 at %2 (%3 bytes) reaches past the end of its group")
                .arg(QString::fromLatin1(sTag)).arg(i).arg(iBytes);
        if ((sTag == "RGBA" || sTag == "ZBUF") && iBytes < 8)
            return QString("tile at %1 (%2 bytes) is too short for its corners").arg(i).arg(iBytes);
        if (sTag == "FOR4" && iDepth < 8) {
            const QString sDamage = CheckIff(aData, i + 12, i + 8 + iBytes, iDepth + 1);
            if (!sDamage.isEmpty())
                return sDamage;
        }
        i += 8 + (iBytes + 3) / 4 * 4;
    }
    return QString();
}

QString HeaderCheck::CheckTiff(const QByteArray& aData, bool bBigEndian)
{
    const Reader r{ aData, bBigEndian };
    const qint64 iSize = aData.size();
    const qint64 iDirectory = r.U32(4);
    if (iDirectory < 8 || iDirectory + 2 > iSize)
        return QString("the first directory at %1 lies outside the file").arg(iDirectory);
    const qint64 iEntries = r.U16(iDirectory);
    if (iDirectory + 2 + iEntries * 12 > iSize)
        return QString("the first directory (%1 entries) reaches past the end of the file").arg(iEntries);
    // Offsets and byte counts of the strips or tiles, pairwise.
    qint64 aArray[2] = { -1, -1 }, aCount[2] = { 0, 0 };
    uint32_t aType[2] = { 0, 0 };
    for (qint64 i = 0; i < iEntries; ++i) {
        const qint64 e = iDirectory + 2 + i * 12;
        const uint32_t iTag = r.U16(e);
        if (iTag == s_iPredictor && (r.U16(e + 8) < 1 || r.U16(e + 8) > 3))
            return QString("unknown predictor %1").arg(r.U16(e + 8));
        const int k = iTag == s_iStripOffsets || iTag == s_iTileOffsets       ? 0
                      : iTag == s_iStripByteCounts || iTag == s_iTileByteCounts ? 1
                                                                                 : -1;
        if (k < 0)
            continue;
        aType[k] = r.U16(e + 2);
        aCount[k] = r.U32(e + 4);
        if (aType[k] != 3 && aType[k] != 4)
            return QString("tag %1 has type %2 (short or long expected)").arg(iTag).arg(aType[k]);
        const qint64 iBytes = aCount[k] * (aType[k] == 3 ? 2 : 4);
        // Values of up to four bytes sit in the entry itself.
        aArray[k] = iBytes <= 4 ? e + 8 : qint64(r.U32(e + 8));
        if (aArray[k] + iBytes > iSize)
            return QString("tag %1 (%2 values) reaches past the end of the file").arg(iTag).arg(aCount[k]);
    }
    if (aArray[0] < 0 || aArray[1] < 0)
        return QString();  // the reader reports what is missing
    if (aCount[0] != aCount[1])
        return QString("%1 data offsets but %2 byte counts").arg(aCount[0]).arg(aCount[1]);
    for (qint64 i = 0; i < aCount[0]; ++i) {
        const qint64 iOffset = aType[0] == 3 ? r.U16(aArray[0] + 2 * i) : r.U32(aArray[0] + 4 * i);
        const qint64 iBytes = aType[1] == 3 ? r.U16(aArray[1] + 2 * i) : r.U32(aArray[1] + 4 * i);
        if (iOffset + iBytes > iSize)
            return QString("strip or tile %1 (%2 bytes at %3) reaches past the end of the file (%4 bytes)")
                .arg(i).arg(iBytes).arg(iOffset).arg(iSize);
    }
    return QString();
}

QString HeaderCheck::CheckDpx(const QByteArray& aData, bool bBigEndian)
{
    const Reader r{ aData, bBigEndian };
    const qint64 iSize = aData.size();
    if (iSize < 768 + 640)
        return QString("the file (%1 bytes) is shorter than the headers").arg(iSize);
    // All ones marks a field as not given.
    const uint32_t iUndefined = 0xffffffffu;
    const uint32_t iImageOffset = r.U32(4), iUserBytes = r.U32(32);
    if (iImageOffset != iUndefined && iImageOffset > iSize)
        return QString("the image data offset %1 lies past the end of the file").arg(iImageOffset);
    if (iUserBytes != iUndefined && iUserBytes > iSize)
        return QString("the user data (%1 bytes) is larger than the file").arg(iUserBytes);
    return QString();
}

QString HeaderCheck::CheckSgi(const QByteArray& aData)
{
    const Reader r{ aData, true };
    const qint64 iSize = aData.size();
    const uint32_t iStorage = r.Byte(2), iBytes = r.Byte(3);
    const qint64 iWidth = r.U16(6), iHeight = r.U16(8), iChannels = r.U16(10);
    if (iStorage > 1 || iBytes < 1 || iBytes > 2)
        return QString("storage %1 with %2 bytes per sample is not an image").arg(iStorage).arg(iBytes);
    // Run-length files start with two tables of one entry per row and
    // channel; raw ones hold every sample.
    const qint64 iNeeded = 512 + (iStorage == 1 ? 8 * iHeight * iChannels : iWidth * iHeight * iChannels * iBytes);
    if (iNeeded > iSize)
        return QString("%1 x %2 pixels of %3 channels need %4 bytes; the file has %5")
            .arg(iWidth).arg(iHeight).arg(iChannels).arg(iNeeded).arg(iSize);
    return QString();
}

QString HeaderCheck::CheckGif(const QByteArray& aData)
{
    const Reader r{ aData, false };
    const qint64 iSize = aData.size();
    qint64 i = 13;
    const uint32_t iFlags = r.Byte(10);
    if (iFlags & 0x80)
        i += 3 * (qint64(2) << (iFlags & 7));  // global colour table
    // Blocks up to the first image: extensions of sub-blocks, nothing else.
    while (i < iSize) {
        const uint32_t iBlock = r.Byte(i);
        if (iBlock == 0x2c)
            return i + 10 <= iSize ? QString() : QString("the first image descriptor is cut short");
        if (iBlock != 0x21)
            return QString("unknown block 0x%1 at %2 before the first image").arg(iBlock, 2, 16, QChar('0')).arg(i);
        i += 2;
        while (i < iSize && r.Byte(i) != 0)
            i += 1 + r.Byte(i);
        ++i;
    }
    return QString("the file ends before its first image");
}

} // namespace varnik
