#pragma once
#include <OpenImageIO/imageio.h>
#include <QString>
#include <cstdint>
#include <memory>
#include "varnik/Image.h"

namespace varnik {

class Error;

/// Reads one image file into a varnik::Image through OpenImageIO.
///
/// What the header claims (size, channels, depth, tiles, subimage) is checked
/// against plausible limits before any pixel is read: the largest side an
/// image may have with proxies below the hardware texture limit, the memory
/// the machine can give, and, for formats whose pixel data cannot be smaller
/// than a bound, the file's own size. Pixels are read in bands of rows, by
/// tiles or by scanlines as the file is laid out, straight into the image's
/// tiles; the library's error state is checked after every call, and every
/// exception of the library becomes a `varnik::Error` naming the file.
///
/// Formats whose readers crash on damaged input are read in a child process
/// (see `NeedsIsolation`), so that such a crash ends the child, not the host.
class ImageReader
{
public:
    explicit ImageReader(const QString& sFileName);
    ~ImageReader();
    ImageReader(const ImageReader&) = delete;
    ImageReader& operator=(const ImageReader&) = delete;

    /// Reads the file into `cImage`, created with the file's channel count
    /// (at most 4) and the format nearest the file's. Throws a `varnik::Error`
    /// pointer naming the file and the reason.
    void Read(Image& cImage);
    /// The file's shape from its header, checked like a read, no pixels read.
    Image::FileShape ReadShape();

    /// True for files read in a child process: the formats whose readers
    /// crash on damaged input, found by their signature or their extension
    /// (the library tries every reader on a file whose extension's reader
    /// refuses it).
    static bool NeedsIsolation(const QString& sFileName);

private:
    /// Checks common to reads and shape reads; true when the file must be
    /// read in a child process.
    bool Prepare();
    /// Opens and checks the header, then reads the pixels unless `pImage` is null.
    void ReadHere(Image* pImage);
    void ReadIsolated(Image* pImage);
    Image::FileShape Shape() const;
    void Open();
    void CheckLimits() const;
    void ReadBands(Image& cImage);
    void ReadRows(uint32_t y, uint32_t iRows, void* pDest, size_t iRowBytes);
    /// Throws with the library's pending error when a call failed or left one.
    void CheckLibrary(bool bOk, unsigned int iLine, const char* sFallback);
    Error* Fail(unsigned int iLine, const QString& sReason) const;
    size_t ImageBytes() const;

    QString m_sFileName;                       ///< as given, for messages
    int64_t m_iFileBytes = 0;                  ///< size on disk
    std::unique_ptr<OIIO::ImageInput> m_pInput;
    OIIO::ImageSpec m_cHeader;                   ///< of the subimage read
    int m_iSubimage = 0;                       ///< subimage read
    Image::Format m_eFormat = Image::e8integer;
    uint32_t m_iChannels = 0;                  ///< channels read (at most 4)
    bool m_bInChild = false;                   ///< runs in the isolating child
};

} // namespace varnik
