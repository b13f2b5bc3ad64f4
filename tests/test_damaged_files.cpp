// Damaged image files: the small corpus kept in tests/data/damaged, and a few
// thousand more made here from valid seeds of every format the codec reads,
// tiled and scanline.
#include <OpenImageIO/imageio.h>
#include <QDir>
#include <QFile>
#include <csignal>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>
#include "VarnikTest.h"
#include "varnik/ProcessAllocator.h"

using namespace varnik;

namespace {

// A forked child has none of its parent's threads, so this process keeps the
// library's pools empty and the worker starts its own.
int s_iExrThreads = 0;
const bool s_bPoolsEmpty = OIIO::getattribute("exr_threads", s_iExrThreads) &&
                           OIIO::attribute("threads", 1) && OIIO::attribute("exr_threads", -1);

/// One load's outcome, as the worker sends it.
struct Outcome
{
    enum Kind { eCrash, eHang, eError, eLoaded } eKind;
    bool bLibraryError;
    long iPeakKiB;  ///< how far the resident set rose during the load
    bool bRetire;   ///< the worker ends after this answer (see `Serve`)
    long iKiB;      ///< of the loaded image
    size_t iHash;   ///< of the loaded pixels
    char aText[512];
};

long StatusKiB(const char* sField)
{
    std::ifstream cStatus("/proc/self/status");
    for (std::string s; std::getline(cStatus, s);)
        if (s.rfind(sField, 0) == 0)
            return std::stol(s.substr(std::strlen(sField)));
    return 0;
}

long ChildrenPeakKiB()
{
    rusage cUsage = {};
    getrusage(RUSAGE_CHILDREN, &cUsage);
    return cUsage.ru_maxrss;
}

/// The worker's loop: loads each file named on the socket and answers its outcome.
[[noreturn]] void Serve(int iSocket)
{
    setpgid(0, 0);
    std::freopen("/dev/null", "w", stderr);  // the image libraries' own complaints
    OIIO::attribute("threads", 0);
    OIIO::attribute("exr_threads", s_iExrThreads);
    char aPath[4096];
    for (ssize_t n; (n = recv(iSocket, aPath, sizeof(aPath) - 1, 0)) > 0;) {
        aPath[n] = 0;
        OIIO::geterror();
        // Pages kept from earlier loads go back first, or a load reusing them
        // would show nothing; the resident peak then starts again from here.
        ProcessAllocator::Release();
        const long iBefore = StatusKiB("VmRSS:");
        const long iChildrenBefore = ChildrenPeakKiB();
        std::ofstream("/proc/self/clear_refs") << "5";
        Outcome c = {};
        Image cImage;
        try {
            cImage.Load(QString::fromUtf8(aPath));
            c.eKind = Outcome::eLoaded;
        } catch (Error* pError) {
            c.eKind = Outcome::eError;
            std::snprintf(c.aText, sizeof(c.aText), "%s", pError->Text().toUtf8().constData());
            Error::Discard(pError);
        }
        // A reader's own child starts with this process's resident set; only a
        // new highest child shows, so the worker ends after one has shown and
        // the next load's child is measured in a new worker.
        const long iChildren = ChildrenPeakKiB();
        c.iPeakKiB = std::max(StatusKiB("VmHWM:") - iBefore, iChildren > iChildrenBefore ? iChildren - iBefore : 0);
#if !defined(__SANITIZE_ADDRESS__)
        // Not under the address sanitizer: memory is not judged there, and its forks are slow.
        c.bRetire = iChildren > iChildrenBefore;
#endif
        c.bLibraryError = OIIO::has_error();
        std::string aPixels(size_t(cImage.Width()) * cImage.Height() * cImage.BytesPerPixel(), '\0');
        cImage.getTile(0, 0, int(cImage.Width()), int(cImage.Height()), aPixels.data());  // none if it failed
        c.iKiB = long(aPixels.size() / 1024);
        c.iHash = std::hash<std::string>()(aPixels);
        send(iSocket, &c, sizeof(c), MSG_NOSIGNAL);
        if (c.bRetire)
            break;
    }
    _exit(0);
}

/// A forked process that loads files, so that a crash or a hang of a load is
/// counted instead of ending the test; started again after either.
class Worker
{
public:
    ~Worker() { Stop(); }
    Outcome Load(const QString& sFile)
    {
        if (m_iPid <= 0) {
            int aPair[2];
            socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, aPair);
            m_iPid = fork();
            if (m_iPid == 0)
                Serve(aPair[1]);
            setpgid(m_iPid, m_iPid);
            close(aPair[1]);
            m_iSocket = aPair[0];
        }
        const QByteArray aPath = sFile.toUtf8();
        Outcome c = {};
        pollfd cWait = {m_iSocket, POLLIN, 0};
        // 10 s is a hang for one small file.
        const bool bSent = send(m_iSocket, aPath.constData(), size_t(aPath.size()), MSG_NOSIGNAL) == aPath.size();
        const int iReady = bSent ? poll(&cWait, 1, 10000) : -1;
        const bool bAnswered = iReady > 0 && recv(m_iSocket, &c, sizeof(c), 0) == sizeof(c);
        if (!bAnswered)
            c.eKind = iReady == 0 ? Outcome::eHang : Outcome::eCrash;
        if (!bAnswered || c.bRetire)
            Stop();
        return c;
    }

private:
    void Stop()
    {
        if (m_iPid > 0) {
            kill(-m_iPid, SIGKILL);  // with any reader process it started
            waitpid(m_iPid, nullptr, 0);
            close(m_iSocket);
        }
        m_iPid = 0;
    }
    pid_t m_iPid = 0;
    int m_iSocket = -1;
};

/// Valid files to damage: format, layout and pixel type.
const struct Seed
{
    const char* sName;
    int iChannels;
    OIIO::TypeDesc::BASETYPE eType;
    int iTile;  ///< tile side, 0 for scanlines
    const char* sCompression;
} s_aSeeds[] = {
    {"scan8.tif", 4, OIIO::TypeDesc::UINT8, 0, "none"},      {"scan16.tif", 3, OIIO::TypeDesc::UINT16, 0, "lzw"},
    {"scanf.tif", 4, OIIO::TypeDesc::FLOAT, 0, "none"},      {"scanzip.tif", 1, OIIO::TypeDesc::UINT8, 0, "zip"},
    {"tile8.tif", 4, OIIO::TypeDesc::UINT8, 64, "zip"},      {"tilef.tif", 3, OIIO::TypeDesc::FLOAT, 32, "none"},
    {"scanh.exr", 4, OIIO::TypeDesc::HALF, 0, "zip"},        {"scanf.exr", 3, OIIO::TypeDesc::FLOAT, 0, "none"},
    {"tileh.exr", 4, OIIO::TypeDesc::HALF, 64, "piz"},       {"tilef.exr", 4, OIIO::TypeDesc::FLOAT, 32, "zip"},
    {"rgba.png", 4, OIIO::TypeDesc::UINT8, 0, ""},           {"rgb16.png", 3, OIIO::TypeDesc::UINT16, 0, ""},
    {"rgb.jpg", 3, OIIO::TypeDesc::UINT8, 0, ""},            {"grey.jpg", 1, OIIO::TypeDesc::UINT8, 0, ""},
    {"rgb.bmp", 3, OIIO::TypeDesc::UINT8, 0, ""},            {"rgba.tga", 4, OIIO::TypeDesc::UINT8, 0, "rle"},
    {"rgb.tga", 3, OIIO::TypeDesc::UINT8, 0, "none"},        {"rgb.hdr", 3, OIIO::TypeDesc::FLOAT, 0, ""},
    {"rgb.ppm", 3, OIIO::TypeDesc::UINT8, 0, ""},            {"rgb.sgi", 3, OIIO::TypeDesc::UINT8, 0, ""},
    {"rgb.dpx", 3, OIIO::TypeDesc::UINT16, 0, ""},           {"grey.fits", 1, OIIO::TypeDesc::FLOAT, 0, ""},
    {"rgba.rla", 4, OIIO::TypeDesc::UINT8, 0, ""},           {"rgba.iff", 4, OIIO::TypeDesc::UINT8, 64, ""},
    {"rgba.ico", 4, OIIO::TypeDesc::UINT8, 0, ""},           {"rgb.gif", 3, OIIO::TypeDesc::UINT8, 0, ""},
    {"rgba.webp", 4, OIIO::TypeDesc::UINT8, 0, ""},          {"rgb.jp2", 3, OIIO::TypeDesc::UINT8, 0, ""},
    {"rgba8.psd", 4, OIIO::TypeDesc::UINT8, 0, ""},          {"rgb16.psd", 3, OIIO::TypeDesc::UINT16, 0, ""},
};

/// A gradient with some noise, so that compressed formats hold more than a
/// few bytes of pixel data.
bool WriteSeed(const Seed& k, const QString& sFile, int w, int h)
{
    std::mt19937 r(uint32_t(w * 31 + h));
    std::vector<float> a(size_t(w) * h * k.iChannels);
    for (size_t i = 0; i < a.size(); ++i) {
        const size_t p = i / size_t(k.iChannels);
        a[i] = float((p % w) * 3 + (p / w) * 5 + (i % k.iChannels) * 50 + r() % 16) / 1100.0f;
    }
    if (sFile.endsWith(".psd")) {
        // Our own writer makes the layered documents the codec reads back.
        Image c;
        c.create(uint32_t(w), uint32_t(h), uint32_t(k.iChannels),
                 k.eType == OIIO::TypeDesc::UINT16 ? Image::e16integer : Image::e8integer);
        const PixelDescriptor cDesc(uint32_t(k.iChannels), PixelDescriptor::eFloat32);
        c.setTile(0, 0, w, h, a.data(), &cDesc);
        c.Save(sFile);
        return true;
    }
    auto pOut = OIIO::ImageOutput::create(sFile.toStdString());
    OIIO::ImageSpec cSpec(w, h, k.iChannels, k.eType);
    cSpec.tile_width = cSpec.tile_height = k.iTile;
    if (*k.sCompression)
        cSpec.attribute("compression", k.sCompression);
    return pOut && pOut->open(sFile.toStdString(), cSpec) &&
           pOut->write_image(OIIO::TypeDesc::FLOAT, a.data()) && pOut->close();
}

/// Truncations, header fields set to 0, 1, 2^31 and other values, a wrong
/// signature, and random mutants.
std::vector<std::pair<QString, QByteArray>> Damages(const QByteArray& a, uint32_t iSeed)
{
    std::vector<std::pair<QString, QByteArray>> aOut;
    std::set<int> aLengths = {1, 2, 4, 8, 12, 16, 24, 32, 48, 64, 100, 128, 200, 256, 512, 1024};
    for (int k = 1; k < 10; ++k)
        aLengths.insert(int(int64_t(a.size()) * k / 10));
    for (int d : {1, 2, 3, 4, 8, 17})
        aLengths.insert(a.size() - d);
    for (int n : aLengths)
        if (n < a.size())
            aOut.push_back({QString("cut%1").arg(n), a.left(n)});

    for (int p = 0; p + 4 <= std::min(a.size(), 72); p += 4)
        for (uint32_t v : {0u, 1u, 0x80000000u, 0xffffffffu, 0x01000000u}) {
            QByteArray b = a;
            std::memcpy(b.data() + p, &v, 4);
            if (b != a)
                aOut.push_back({QString("field%1=%2").arg(p).arg(v), b});
        }
    aOut.push_back({"magic0", QByteArray(4, '\0') + a.mid(4)});
    aOut.push_back({"magicswap", a.mid(1, 1) + a.left(1) + a.mid(2)});

    std::mt19937 r(iSeed);
    for (int i = 0; i < 12; ++i) {
        QByteArray b = a;
        for (int j = 0, n = 1 + int(r() % 16); j < n; ++j)
            b.data()[r() % uint32_t(a.size())] = char(r());
        aOut.push_back({QString("mutant%1").arg(i), b});
    }
    return aOut;
}

} // namespace

TEST(DamagedFiles, KeptCorpusFailsCleanly)
{
    // Each kept file is a different kind of damage that must give an error.
    const QFileInfoList aFiles = QDir(VARNIK_TEST_DATA_DIR "/damaged").entryInfoList(QDir::Files, QDir::Name);
    ASSERT_GE(aFiles.size(), 100);
    Worker cWorker;
    for (const QFileInfo& cInfo : aFiles) {
        const Outcome c = cWorker.Load(cInfo.absoluteFilePath());
        EXPECT_EQ(c.eKind, Outcome::eError) << cInfo.fileName().toStdString() << " (0 crashed, 1 hung, 3 loaded)";
        EXPECT_TRUE(QString(c.aText).startsWith("Image::Load -- cannot read \"" + cInfo.absoluteFilePath() + "\": "))
            << c.aText;
    }
}

TEST(DamagedFiles, GeneratedCorpusMeetsTheTargets)
{
    ASSERT_TRUE(s_bPoolsEmpty);
    varnik::test::TempDir cDir;
    Worker cWorker;
    int iFiles = 0, iErrors = 0, iCrashes = 0, iHangs = 0, iTruncated = 0, iWhole = 0, iLibrary = 0, iMemory = 0;
    QStringList aFaults;
    double fWorst = 0;
    QString sWorst = "none measured";
    auto Fault = [&](int& iCount, const QString& sWhat) {
        ++iCount;
        aFaults << sWhat;
    };
    auto Write = [](const QString& sFile, const QByteArray& a) {
        QFile cFile(sFile);
        return cFile.open(QIODevice::WriteOnly) && cFile.write(a) == a.size();
    };
    uint32_t iRandom = 0;
    for (const Seed& k : s_aSeeds) {
        // Wider than one storage tile, so that band reading is exercised;
        // icons are at most 256 pixels wide.
        const QString sSeed = cDir.File(QString("seed-") + k.sName);
        const QString sFile = cDir.File("damaged." + QFileInfo(sSeed).suffix());
        QFile cSeedFile(sSeed);
        // A first load and a first failed open set up what the library keeps
        // for every later file of the format (error handlers, code tables):
        // not a load's memory. The seed's next load is the yardstick.
        Outcome cSeed = WriteSeed(k, sSeed, sSeed.endsWith(".ico") ? 256 : 600, 180) ? cWorker.Load(sSeed) : Outcome{};
        if (cSeed.eKind != Outcome::eLoaded || !cSeedFile.open(QIODevice::ReadOnly)) {
            ADD_FAILURE() << k.sName << " makes no seed that loads: " << cSeed.aText << OIIO::geterror();
            continue;
        }
        const QByteArray aSeed = cSeedFile.readAll();
        ASSERT_TRUE(Write(sFile, aSeed.left(1)));
        cWorker.Load(sFile);
        cSeed = cWorker.Load(sSeed);
        // Under another format's extension the file is still found by its content.
        const QString sMisnamed = cDir.File(QString("misnamed.") + (sSeed.endsWith(".png") ? "jpg" : "png"));
        ASSERT_TRUE(Write(sMisnamed, aSeed));
        const Outcome cMisnamed = cWorker.Load(sMisnamed);
        EXPECT_TRUE(cMisnamed.eKind == Outcome::eLoaded && cMisnamed.iHash == cSeed.iHash) << k.sName << ": " << cMisnamed.aText;
        // At least the decoded size, so that a cheap seed is no tiny yardstick.
        [[maybe_unused]] const long iSeedKiB = std::max(cSeed.iPeakKiB, cSeed.iKiB);
        for (const auto& [sKind, aBytes] : Damages(aSeed, ++iRandom)) {
            ASSERT_TRUE(Write(sFile, aBytes));
            const Outcome c = cWorker.Load(sFile);
            const QString sWhat = QString("%1 %2: ").arg(k.sName, sKind);
            ++iFiles;
            iErrors += c.eKind == Outcome::eError;
            const bool bCrash = c.eKind == Outcome::eCrash;
            if (bCrash || c.eKind == Outcome::eHang)
                Fault(bCrash ? iCrashes : iHangs, sWhat + (bCrash ? "crash" : "hang"));
            if (c.eKind == Outcome::eLoaded && c.bLibraryError)
                Fault(iLibrary, sWhat + "loaded with a library error");
            // A cut in trailing bytes that hold no pixels reads whole.
            const bool bTruncated = c.eKind == Outcome::eLoaded && sKind.startsWith("cut");
            iWhole += bTruncated && c.iHash == cSeed.iHash;
            if (bTruncated && c.iHash != cSeed.iHash)
                Fault(iTruncated, sWhat + "truncated yet loaded");
#if !defined(__SANITIZE_ADDRESS__)
            // Redzones and quarantine make resident memory say nothing about a
            // load under the address sanitizer.
            // A damaged size field that still describes a whole image (a GIF's
            // screen) makes a larger image: its own size is a yardstick too.
            const double fRatio = double(c.iPeakKiB) / double(std::max({iSeedKiB, c.iKiB, 1L}));
            if (fRatio > fWorst)
                std::tie(fWorst, sWorst) = std::pair(fRatio, sWhat + QString("%1 KiB").arg(c.iPeakKiB));
            if (fRatio > 4)
                Fault(iMemory, sWhat + QString("%1 KiB where the seed's load takes %2 KiB").arg(c.iPeakKiB).arg(iSeedKiB));
#endif
        }
    }
    std::printf("damaged files: %d (%d errors, %d loaded)\n"
                "  crashes %d, hangs over 10 s %d\n"
                "  truncated files loaded %d (and %d cut only in trailing bytes that read back whole)\n"
                "  loads after which the library holds an error %d\n"
                "  loads over 4x the memory of the original's load %d (worst %.2fx, %s)\n",
                iFiles, iErrors, iFiles - iErrors - iCrashes - iHangs, iCrashes, iHangs, iTruncated, iWhole,
                iLibrary, iMemory, fWorst, sWorst.toUtf8().constData());
    EXPECT_GE(iFiles, 2000);
    EXPECT_TRUE(aFaults.isEmpty()) << aFaults.join('\n').toStdString();
}
