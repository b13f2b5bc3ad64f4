#include "ImageReader.h"
#include <EGL/egl.h>
#include <GL/gl.h>
#include <QFile>
#include <QFileInfo>
#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <string>
#include <poll.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include "HeaderCheck.h"
#include "varnik/Error.h"

namespace varnik {

namespace {

const char* const s_sSourceFile = "src/framework/codec/ImageReader";

// More channels than this is a damaged header: no image format has them.
const int s_iMaxFileChannels = 64;
// A file tile larger than this is a damaged header: the library allocates a
// tile's worth of scratch per call.
const size_t s_iMaxTileBytes = size_t(256) << 20;
// Tile sides up to this are plausible whatever the image's size.
const int s_iMaxOverhangTile = 1024;
// Rows are read in bands of about this size: large enough for the library's
// threads to share a call, small enough to stay in cache and not to cost
// much when a damaged file fails after its first band.
const size_t s_iBandBytes = size_t(8) << 20;

QString Reason(const std::string& sText, const char* sFallback)
{
    // The library may stack several lines; one line reads better in a log.
    return sText.empty() ? QString(sFallback)
                         : QString::fromStdString(sText).trimmed().replace(QChar('\n'), QStringLiteral("; "));
}

/// Largest side an image may have: what the hardware holds as a texture at
/// the deepest proxy level, within the image's own limit. The hardware is
/// asked only when a GL context is current on this thread.
uint32_t MaxSide()
{
    uint32_t iMax = Image::s_iMaxDimension;
    if (eglGetCurrentContext() != EGL_NO_CONTEXT) {
        GLint iTexture = 0;
        glGetIntegerv(GL_MAX_TEXTURE_SIZE, &iTexture);
        if (iTexture > 0)
            iMax = uint32_t(std::min<uint64_t>(iMax, uint64_t(iTexture) << Image::s_iMaxProxyLevel));
    }
    return iMax;
}

/// Bytes the machine can give now (MemAvailable), or physical memory when
/// that line is missing.
uint64_t AvailableMemory()
{
    if (FILE* pFile = std::fopen("/proc/meminfo", "r")) {
        char aLine[256];
        unsigned long long iKiB = 0;
        while (std::fgets(aLine, sizeof(aLine), pFile))
            if (std::sscanf(aLine, "MemAvailable: %llu kB", &iKiB) == 1)
                break;
        std::fclose(pFile);
        if (iKiB)
            return uint64_t(iKiB) << 10;
    }
    return uint64_t(sysconf(_SC_PHYS_PAGES)) * uint64_t(sysconf(_SC_PAGESIZE));
}

/// How many bytes of pixels one byte of the file can give at most in this
/// format and compression; 0 where no useful bound exists (transform codecs).
double MaxExpansion(const std::string& sFormat, const std::string& sCompression)
{
    std::string c = sCompression;
    std::transform(c.begin(), c.end(), c.begin(), [](unsigned char ch) { return char(std::tolower(ch)); });
    if (c == "none" || (c.empty() && (sFormat == "bmp" || sFormat == "pnm" || sFormat == "dpx" ||
                                      sFormat == "cineon" || sFormat == "fits" || sFormat == "tiff")))
        return 1.0;
    // Run-length codings repeat one value at most about 128 times per packet.
    if (c == "rle" || c == "packbits" || c == "rle4" || c == "rle8" || sFormat == "psd" ||
        sFormat == "hdr" || sFormat == "targa" || sFormat == "sgi" || sFormat == "rla" || sFormat == "iff")
        return 130.0;
    // Deflate stops near 1032:1; LZW codes of 12 bits at 4096 bytes each.
    if (c == "zip" || c == "zips" || c == "deflate" || c == "adobe_deflate" || sFormat == "png")
        return 1100.0;
    if (c == "lzw" || sFormat == "gif")
        return 4200.0;
    return 0.0;
}

Image::Format FormatFor(OIIO::TypeDesc cType)
{
    switch (cType.basetype) {
    case OIIO::TypeDesc::UINT8: return Image::e8integer;
    case OIIO::TypeDesc::UINT16: return Image::e16integer;
    case OIIO::TypeDesc::HALF: return Image::e16float;
    default: return Image::e32float;  // float as it is, the rest converted
    }
}

OIIO::TypeDesc TypeFor(Image::Format eFormat)
{
    switch (eFormat) {
    case Image::e8integer: return OIIO::TypeDesc::UINT8;
    case Image::e16integer: return OIIO::TypeDesc::UINT16;
    case Image::e16float: return OIIO::TypeDesc::HALF;
    default: return OIIO::TypeDesc::FLOAT;
    }
}

/// What the isolating child hands back through shared memory.
struct ChildReport
{
    uint32_t iWidth, iHeight, iChannels, iFormat;
    char aText[1024];  ///< the error message when the read failed
};

} // namespace

ImageReader::ImageReader(const QString& sFileName) : m_sFileName(sFileName)
{
}

ImageReader::~ImageReader() = default;

Error* ImageReader::Fail(unsigned int iLine, const QString& sReason) const
{
    return (new Error(QString(), 4, "VarnikImageIO::Read", s_sSourceFile, iLine))
        ->Format(QString("Image::Load -- cannot read \"%1\": %2").arg(m_sFileName, sReason.trimmed()));
}

void ImageReader::CheckLibrary(bool bOk, unsigned int iLine, const char* sFallback)
{
    // A reader may record an error (a short strip, a bad chunk) and still
    // report success with pixels it made up: both are failures.
    std::string sError = m_pInput ? m_pInput->geterror() : std::string();
    if (OIIO::has_error())
        sError += (sError.empty() ? "" : "; ") + OIIO::geterror();
    if (!bOk || !sError.empty())
        throw Fail(iLine, Reason(sError, sFallback));
}

bool ImageReader::NeedsIsolation(const QString& sFileName)
{
    // Layered documents, Maya-style IFF, DPX and icons: their readers were
    // seen to crash on damaged headers.
    static const char* const s_aSuffixes[] = { "psd", "psb", "pdd", "iff", "dpx", "ico" };
    static const char* const s_aSignatures[] = { "8BPS", "FOR4", "SDPX", "XPDS", "\0\0\1\0" };
    const QString sSuffix = QFileInfo(sFileName).suffix().toLower();
    for (const char* s : s_aSuffixes)
        if (sSuffix == QLatin1String(s))
            return true;
    QFile cFile(sFileName);
    char aMagic[4] = {};
    if (!cFile.open(QIODevice::ReadOnly) || cFile.read(aMagic, 4) != 4)
        return false;
    for (const char* s : s_aSignatures)
        if (std::memcmp(aMagic, s, 4) == 0)
            return true;
    return false;
}

bool ImageReader::Prepare()
{
    // Checked first so that the common failures read plainly.
    const QFileInfo cInfo(m_sFileName);
    if (!cInfo.exists())
        throw Fail(__LINE__, "the file does not exist");
    if (!cInfo.isFile())
        throw Fail(__LINE__, "not a file");
    if (cInfo.size() == 0)
        throw Fail(__LINE__, "the file is empty (0 bytes)");
    m_iFileBytes = cInfo.size();
    OIIO::geterror();  // an error left by someone else's call is not this file's
    const QString sDamage = HeaderCheck::Check(m_sFileName);
    if (!sDamage.isEmpty())
        throw Fail(__LINE__, sDamage);
    return NeedsIsolation(m_sFileName);
}

void ImageReader::Read(Image& cImage)
{
    if (Prepare())
        ReadIsolated(&cImage);
    else
        ReadHere(&cImage);
}

Image::FileShape ImageReader::ReadShape()
{
    if (Prepare())
        ReadIsolated(nullptr);
    else
        ReadHere(nullptr);
    return Shape();
}

Image::FileShape ImageReader::Shape() const
{
    Image::FileShape cShape;
    cShape.m_iWidth = uint32_t(m_cHeader.width);
    cShape.m_iHeight = uint32_t(m_cHeader.height);
    cShape.m_iChannels = m_iChannels;
    cShape.m_eFormat = m_eFormat;
    return cShape;
}

void ImageReader::ReadHere(Image* pImage)
{
    try {
        Open();
        CheckLimits();
        if (pImage)
            ReadBands(*pImage);
    } catch (Error*) {
        throw;
    } catch (const std::bad_alloc&) {
        throw Fail(__LINE__, "out of memory while decoding");
    } catch (const std::exception& cException) {
        throw Fail(__LINE__, QString("the reader failed: %1").arg(QString::fromLocal8Bit(cException.what())));
    } catch (...) {
        throw Fail(__LINE__, "the reader failed with an unknown exception");
    }
}

void ImageReader::Open()
{
    const std::string sName = m_sFileName.toStdString();
    // Paint layers hold straight alpha: ask readers not to premultiply.
    OIIO::ImageSpec cConfig;
    cConfig.attribute("oiio:UnassociatedAlpha", 1);
    // The reader the extension names first, then every other, so that a
    // misnamed file still loads; but the camera-raw reader takes about 700 KiB
    // just to refuse a file, more than a small image's whole load, so a file
    // whose extension has a reader of its own is not offered to it.
    std::string sRefusal;  // the first reader's, as the library reports it
    auto Try = [&](const std::string& sFormat) {
        OIIO::geterror();  // an earlier reader's refusal is not this one's
        std::unique_ptr<OIIO::ImageInput> p = OIIO::ImageInput::create(sFormat);
        const std::string sReader = p ? p->format_name() : "";
        OIIO::ImageSpec cSpec;
        if (p && p->open(sName, cSpec, cConfig))
            m_pInput = std::move(p);
        else if (sRefusal.empty())
            sRefusal = (p ? p->geterror() : std::string()) + OIIO::geterror();
        return sReader;
    };
    const std::string sOwn = Try(QFileInfo(m_sFileName).suffix().toLower().toStdString());
    const QStringList aFormats = QString::fromStdString(OIIO::get_string_attribute("input_format_list")).split(',');
    for (const QString& sFormat : aFormats)
        if (!m_pInput && sFormat.toStdString() != sOwn && (sOwn.empty() || sFormat != "raw"))
            Try(sFormat.toStdString());
    if (!m_pInput)
        throw Fail(__LINE__, Reason(sRefusal, "no reader accepts the file"));
    CheckLibrary(true, __LINE__, "");
    // A layered document with one full-size layer (what our own writer makes)
    // is read from that layer: the flattened image of such a file holds the
    // colour blended over white, which cannot give straight colour back exactly
    // where alpha is below 1.
    m_iSubimage = 0;
    if (std::strcmp(m_pInput->format_name(), "psd") == 0 && m_pInput->spec_dimensions(0, 0).nchannels >= 4 &&
        m_pInput->seek_subimage(1, 0) && !m_pInput->seek_subimage(2, 0)) {
        const OIIO::ImageSpec cComposite = m_pInput->spec_dimensions(0, 0);
        const OIIO::ImageSpec cLayer = m_pInput->spec_dimensions(1, 0);
        if (cLayer.width == cComposite.width && cLayer.height == cComposite.height &&
            cLayer.x == cComposite.x && cLayer.y == cComposite.y &&
            cLayer.nchannels == cComposite.nchannels && cLayer.format == cComposite.format)
            m_iSubimage = 1;
    }
    // Probing for a subimage that is not there records an error: not the file's.
    m_pInput->geterror();
    // Selecting the subimage also copies its header (size, layout and attributes).
    CheckLibrary(m_pInput->seek_subimage(m_iSubimage, 0, m_cHeader), __LINE__,
                 "the image cannot be selected");
    m_eFormat = FormatFor(m_cHeader.format);
    m_iChannels = uint32_t(std::min(std::max(m_cHeader.nchannels, 0), 4));
}

size_t ImageReader::ImageBytes() const
{
    return size_t(m_cHeader.width) * size_t(m_cHeader.height) * m_iChannels * Image::BytesPerChannel(m_eFormat);
}

void ImageReader::CheckLimits() const
{
    const OIIO::ImageSpec& s = m_cHeader;
    if (s.width <= 0 || s.height <= 0 || s.nchannels <= 0)
        throw Fail(__LINE__, QString("the header claims %1 x %2 pixels of %3 channels")
                                 .arg(s.width).arg(s.height).arg(s.nchannels));
    if (s.depth != 1)
        throw Fail(__LINE__, QString("volume images (depth %1) are not supported").arg(s.depth));
    if (s.nchannels > s_iMaxFileChannels)
        throw Fail(__LINE__, QString("the header claims %1 channels (at most %2 are plausible)")
                                 .arg(s.nchannels).arg(s_iMaxFileChannels));
    const uint32_t iMaxSide = MaxSide();
    if (uint32_t(s.width) > iMaxSide || uint32_t(s.height) > iMaxSide)
        throw Fail(__LINE__, QString("the size %1 x %2 is larger than the %3 texels a side an image may have")
                                 .arg(s.width).arg(s.height).arg(iMaxSide));
    const size_t iFileChannelBytes = std::max<size_t>(1, s.format.size());
    if (s.tile_width > 0) {
        const size_t iTileBytes = size_t(s.tile_width) * size_t(std::max(s.tile_height, 0)) * size_t(s.nchannels) *
                                  iFileChannelBytes;
        // Tiles may overhang the image, but not by more than a power of two
        // would, beyond the common sizes.
        const int iMaxTileWidth = std::max(s_iMaxOverhangTile, 2 * s.width);
        const int iMaxTileHeight = std::max(s_iMaxOverhangTile, 2 * s.height);
        if (s.tile_height <= 0 || s.tile_depth > 1 || s.tile_width > iMaxTileWidth ||
            s.tile_height > iMaxTileHeight || iTileBytes > s_iMaxTileBytes)
            throw Fail(__LINE__, QString("the header claims tiles of %1 x %2 x %3 pixels")
                                     .arg(s.tile_width).arg(s.tile_height).arg(s.tile_depth));
    }

    // The image, plus one full copy in the file's own type that some readers
    // decode into before handing rows out.
    const uint64_t iFileBytes = uint64_t(s.width) * uint64_t(s.height) * uint64_t(s.nchannels) * iFileChannelBytes;
    const uint64_t iNeeded = ImageBytes() + iFileBytes;
    const uint64_t iAvailable = AvailableMemory();
    if (iNeeded > iAvailable)
        throw Fail(__LINE__, QString("%1 x %2 pixels of %3 channels need %4 MiB, more than the %5 MiB available")
                                 .arg(s.width).arg(s.height).arg(s.nchannels)
                                 .arg(iNeeded >> 20).arg(iAvailable >> 20));

    // Formats that store pixels raw or run-length coded cannot hold them in
    // fewer bytes than a bound: a header that claims more is damaged, and a
    // file shorter than its raw pixels is truncated.
    const std::string sFormat = m_pInput->format_name();
    const double dExpansion = MaxExpansion(sFormat, s.get_string_attribute("compression"));
    if (dExpansion > 0.0) {
        // Palette images hold one index per pixel whatever the channels they
        // give; other formats may pack samples below a byte.
        const bool bPalette = sFormat == "bmp" || sFormat == "targa" || sFormat == "ico" || sFormat == "psd" ||
                              s.get_int_attribute("tiff:PhotometricInterpretation", 0) == 3;
        const int iBits = s.get_int_attribute("oiio:BitsPerSample", int(iFileChannelBytes * 8));
        const double dPixelBits = double(std::max(iBits, 1)) * (bPalette ? 1 : s.nchannels);
        const double dMinBytes = double(s.width) * double(s.height) * dPixelBits / 8.0 / dExpansion;
        if (double(m_iFileBytes) < dMinBytes)
            throw Fail(__LINE__, QString("the file (%1 bytes) is too short for the %2 x %3 pixels of %4 channels "
                                         "its header claims (truncated or damaged)")
                                     .arg(m_iFileBytes).arg(s.width).arg(s.height).arg(s.nchannels));
    }
}

void ImageReader::ReadRows(uint32_t y, uint32_t iRows, void* pDest, size_t iRowBytes)
{
    const OIIO::ImageSpec& s = m_cHeader;
    const OIIO::TypeDesc cType = TypeFor(m_eFormat);
    const int y0 = s.y + int(y), y1 = s.y + int(y + iRows);
    // Tiled files are read by tiles, as they are laid out; reading them by
    // scanlines goes through paths of the library that fail on them.
    const bool bOk = s.tile_width > 0
                         ? m_pInput->read_tiles(m_iSubimage, 0, s.x, s.x + s.width, y0, y1, s.z, s.z + 1, 0,
                                                int(m_iChannels), cType, pDest, OIIO::AutoStride,
                                                OIIO::stride_t(iRowBytes))
                         : m_pInput->read_scanlines(m_iSubimage, 0, y0, y1, s.z, 0, int(m_iChannels), cType, pDest,
                                                    OIIO::AutoStride, OIIO::stride_t(iRowBytes));
    CheckLibrary(bOk, __LINE__, "the pixel data cannot be read");
}

void ImageReader::ReadBands(Image& cImage)
{
    const uint32_t iWidth = uint32_t(m_cHeader.width), iHeight = uint32_t(m_cHeader.height);
    cImage.create(iWidth, iHeight, m_iChannels, m_eFormat);
    const size_t iRowBytes = size_t(iWidth) * cImage.BytesPerPixel();
    // An image of one storage tile is decoded straight into it.
    if (void* pWhole = iWidth <= 256 && iHeight <= 256 ? cImage.DirectAccess() : nullptr) {
        ReadRows(0, iHeight, pWhole, iRowBytes);
        return;
    }
    // Larger ones band by band through one scratch band per thread, kept from
    // load to load so that its pages are not faulted in afresh each time. Bands
    // are whole file tiles high and, where the size allows, start on rows of
    // storage tiles (whose sides are powers of two up to 256): every tile is
    // then written whole by one band and never cleared first, which would cost
    // a pass over it and, from the allocator, fresh zero pages.
    const uint32_t iUnit = m_cHeader.tile_width > 0 ? uint32_t(m_cHeader.tile_height) : 1u;
    uint32_t iBand = uint32_t(std::max<size_t>(1, s_iBandBytes / iRowBytes));
    if (iBand >= 256)
        iBand &= ~255u;
    else
        while (iBand & (iBand - 1))
            iBand &= iBand - 1;  // down to a power of two
    iBand = std::max(iUnit, iBand / iUnit * iUnit);
    iBand = std::min(iBand, iHeight);
    const size_t iBandBytes = iRowBytes * iBand;
    thread_local std::unique_ptr<uint8_t[]> s_pScratch;
    thread_local size_t s_iScratchBytes = 0;
    if (s_iScratchBytes < iBandBytes) {
        s_pScratch.reset();
        s_iScratchBytes = 0;
        // Not value-initialised: only the rows a reader writes get pages.
        s_pScratch.reset(new uint8_t[iBandBytes]);
        s_iScratchBytes = iBandBytes;
    }
    // The first bands are small and grow: a damaged file whose header claims
    // more rows than its data holds fails before much is decoded for nothing.
    // Each band is as high as all before it together, so they stay on tile rows.
    uint32_t iRows = std::min(iBand, std::max(iUnit, 16u / iUnit * iUnit));
    for (uint32_t y = 0; y < iHeight; y += iRows, iRows = std::min(iBand, y)) {
        iRows = std::min(iRows, iHeight - y);
        ReadRows(y, iRows, s_pScratch.get(), iRowBytes);
        cImage.setTile(0, int(y), int(iWidth), int(iRows), s_pScratch.get());
    }
}

void ImageReader::ReadIsolated(Image* pImage)
{
    // The pixels come back through a memory file, the shape and any error
    // text through a shared page; both exist before the child does.
    void* pShared = mmap(nullptr, sizeof(ChildReport), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (pShared == MAP_FAILED)
        throw Fail(__LINE__, QString("cannot map memory for the reader: %1").arg(std::strerror(errno)));
    ChildReport* pReport = new (pShared) ChildReport();
    const int iPixels = memfd_create("varnik-image", MFD_CLOEXEC);
    if (iPixels < 0) {
        munmap(pShared, sizeof(ChildReport));
        throw Fail(__LINE__, QString("cannot make a memory file for the reader: %1").arg(std::strerror(errno)));
    }
    struct Cleanup
    {
        void* p;
        int fd;
        ~Cleanup() { munmap(p, sizeof(ChildReport)); close(fd); }
    } cCleanup{ pShared, iPixels };

    // The child holds the write end of a pipe: its end, however it comes,
    // wakes the parent at once.
    int aPipe[2];
    if (pipe2(aPipe, O_CLOEXEC) != 0)
        throw Fail(__LINE__, QString("cannot make a pipe for the reader: %1").arg(std::strerror(errno)));
    const pid_t iChild = fork();
    if (iChild < 0) {
        close(aPipe[0]);
        close(aPipe[1]);
        throw Fail(__LINE__, QString("cannot start the reader process: %1").arg(std::strerror(errno)));
    }
    if (iChild == 0) {
        // The child: only the reader's own work, then _exit so that nothing of
        // the parent's (static destructors, buffered output, GL) runs twice.
        int iCode = 1;
        try {
            m_bInChild = true;
#if !defined(__SANITIZE_ADDRESS__)
            // A damaged header must not make the child take the machine's
            // memory: what it maps already, plus what the machine can give.
            unsigned long long iPages = 0;
            if (FILE* pStatm = std::fopen("/proc/self/statm", "r")) {
                if (std::fscanf(pStatm, "%llu", &iPages) != 1)
                    iPages = 0;
                std::fclose(pStatm);
            }
            const rlim_t iLimit = rlim_t(iPages * uint64_t(sysconf(_SC_PAGESIZE)) + AvailableMemory());
            const rlimit cLimit = { iLimit, iLimit };
            setrlimit(RLIMIT_AS, &cLimit);
#endif
            Open();
            // The parent's worker threads do not exist here.
            m_pInput->threads(1);
            CheckLimits();
            const size_t iBytes = ImageBytes();
            pReport->iWidth = uint32_t(m_cHeader.width);
            pReport->iHeight = uint32_t(m_cHeader.height);
            pReport->iChannels = m_iChannels;
            pReport->iFormat = uint32_t(m_eFormat);
            if (!pImage)
                _exit(0);
            if (ftruncate(iPixels, off_t(iBytes)) != 0)
                throw Fail(__LINE__, QString("cannot size the memory file: %1").arg(std::strerror(errno)));
            void* pPixels = mmap(nullptr, iBytes, PROT_READ | PROT_WRITE, MAP_SHARED, iPixels, 0);
            if (pPixels == MAP_FAILED)
                throw Fail(__LINE__, QString("cannot map the memory file: %1").arg(std::strerror(errno)));
            const bool bOk = m_pInput->read_image(m_iSubimage, 0, 0, int(m_iChannels), TypeFor(m_eFormat), pPixels);
            CheckLibrary(bOk, __LINE__, "the pixel data cannot be read");
            iCode = 0;
        } catch (Error* pError) {
            std::snprintf(pReport->aText, sizeof(pReport->aText), "%s", pError->Text().toUtf8().constData());
        } catch (const std::exception& cException) {
            std::snprintf(pReport->aText, sizeof(pReport->aText), "%s",
                          Fail(__LINE__, QString("the reader failed: %1").arg(cException.what()))
                              ->Text().toUtf8().constData());
        } catch (...) {
            std::snprintf(pReport->aText, sizeof(pReport->aText), "%s",
                          Fail(__LINE__, "the reader failed with an unknown exception")->Text().toUtf8().constData());
        }
        _exit(iCode);
    }

    // A reader that loops or waits forever is stopped: 10 s, plus time for
    // large files at a slow 20 MB/s.
    close(aPipe[1]);
    const int iLimitMs = 10000 + int(std::min<int64_t>(m_iFileBytes / 20000, 3600000));
    pollfd cWait = { aPipe[0], POLLIN, 0 };
    int iReady = 0;
    while ((iReady = poll(&cWait, 1, iLimitMs)) < 0 && errno == EINTR) {
    }
    close(aPipe[0]);
    int iStatus = 0;
    if (iReady == 0)
        kill(iChild, SIGKILL);
    pid_t iDone = 0;
    while ((iDone = waitpid(iChild, &iStatus, 0)) < 0 && errno == EINTR) {
    }
    if (iReady == 0)
        throw Fail(__LINE__, QString("the reader did not finish within %1 s").arg(iLimitMs / 1000));
    if (iDone < 0)
        throw Fail(__LINE__, QString("lost the reader process: %1").arg(std::strerror(errno)));
    if (WIFSIGNALED(iStatus))
        throw Fail(__LINE__, QString("the reader crashed on the damaged file (signal %1, %2)")
                                 .arg(WTERMSIG(iStatus)).arg(QString::fromLocal8Bit(strsignal(WTERMSIG(iStatus)))));
    if (!WIFEXITED(iStatus) || WEXITSTATUS(iStatus) != 0) {
        pReport->aText[sizeof(pReport->aText) - 1] = 0;
        if (pReport->aText[0])
            throw (new Error(QString(), 4, "VarnikImageIO::Read", s_sSourceFile, __LINE__))
                ->Format(QString::fromUtf8(pReport->aText));
        throw Fail(__LINE__, "the reader process failed");
    }

    const ChildReport cReport = *pReport;
    m_cHeader.width = int(cReport.iWidth);
    m_cHeader.height = int(cReport.iHeight);
    m_iChannels = cReport.iChannels;
    m_eFormat = Image::Format(cReport.iFormat);
    if (!pImage)
        return;
    Image& cImage = *pImage;
    cImage.create(cReport.iWidth, cReport.iHeight, cReport.iChannels, Image::Format(cReport.iFormat));
    const size_t iBytes = size_t(cReport.iWidth) * cReport.iHeight * cImage.BytesPerPixel();
    void* pPixels = mmap(nullptr, iBytes, PROT_READ, MAP_SHARED, iPixels, 0);
    if (pPixels == MAP_FAILED)
        throw Fail(__LINE__, QString("cannot map the decoded pixels: %1").arg(std::strerror(errno)));
    cImage.setTile(0, 0, int(cReport.iWidth), int(cReport.iHeight), pPixels);
    munmap(pPixels, iBytes);
}

} // namespace varnik
