#pragma once
#include <QByteArray>
#include <QString>

namespace varnik {

/// A validation pass of our own over the structure of files whose readers
/// believe what the file says: TIFF strips and tiles, DPX header sizes, SGI
/// tables, GIF blocks up to the first image, PSD layer sizes and IFF chunks.
/// A file whose structure points past its end is refused before the library
/// allocates what it claims.
class HeaderCheck
{
public:
    /// An empty text when the file passes (or is of another format), else
    /// the reason it is damaged.
    static QString Check(const QString& sFileName);

private:
    static QString CheckTiff(const QByteArray& aData, bool bBigEndian);
    static QString CheckDpx(const QByteArray& aData, bool bBigEndian);
    static QString CheckGif(const QByteArray& aData);
    static QString CheckSgi(const QByteArray& aData);
    static QString CheckPsd(const QByteArray& aData);
    /// The chunks from `i` to `iEnd`, and those of the groups among them.
    static QString CheckIff(const QByteArray& aData, qint64 i, qint64 iEnd, int iDepth);
};

} // namespace varnik
