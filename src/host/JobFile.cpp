#include "JobFile.h"

#include <cmath>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSet>
#include <QStringList>
#include "varnik/Error.h"
#include "varnik/Stream.h"

namespace {

const char* const s_aStepNames[] = { "stroke", "proxy", "memory", "location", "undo", "redo", "composite-all",
                                     "save", "export", "save-scene", "open-scene", "preview", "check" };
const char* const s_aBlendNames[] = { "normal", "add", "multiply", "screen", "erase", "replace" };

struct FormatName { const char* sName; varnik::Image::Format eFormat; };
// Layer formats the module can upload and paint; the others are refused here
// rather than half-way through a job.
const FormatName s_aFormats[] = { { "8integer", varnik::Image::e8integer },
                                  { "16integer", varnik::Image::e16integer },
                                  { "16float", varnik::Image::e16float },
                                  { "32float", varnik::Image::e32float } };

QString TypeName(const QJsonValue& v)
{
    switch (v.type()) {
    case QJsonValue::Null: return "null";
    case QJsonValue::Bool: return "a boolean";
    case QJsonValue::Double: return "a number";
    case QJsonValue::String: return "a string";
    case QJsonValue::Array: return "an array";
    case QJsonValue::Object: return "an object";
    default: return "nothing";
    }
}

/// Reads the fields of one JSON object, remembering which were read so that
/// the rest can be refused as unknown; every error names the file and the field.
class Fields
{
public:
    Fields(const QString& sFile, const QString& sPath, const QJsonObject& cObject)
        : m_sFile(sFile), m_sPath(sPath), m_cObject(cObject) {}

    [[noreturn]] void Fail(const QString& sKey, const QString& sWhat) const
    {
        throw (new varnik::Error(QString(), 1, "job"))->Format("%1: %2: %3", m_sFile, FieldPath(sKey), sWhat);
    }
    QString FieldPath(const QString& sKey) const
    {
        return sKey.isEmpty() ? m_sPath : (m_sPath.isEmpty() ? sKey : m_sPath + "." + sKey);
    }
    bool Has(const QString& sKey) { m_aRead.insert(sKey); return m_cObject.contains(sKey); }

    QJsonValue Value(const QString& sKey, QJsonValue::Type eType, const char* sExpected, bool bRequired)
    {
        if (!Has(sKey)) {
            if (bRequired)
                Fail(sKey, "missing");
            return QJsonValue(QJsonValue::Undefined);
        }
        const QJsonValue v = m_cObject.value(sKey);
        if (v.type() != eType)
            Fail(sKey, QString("must be %1, not %2").arg(sExpected, TypeName(v)));
        return v;
    }
    QString String(const QString& sKey, bool bRequired, const QString& sDefault = QString())
    {
        const QJsonValue v = Value(sKey, QJsonValue::String, "a string", bRequired);
        if (v.isUndefined())
            return sDefault;
        if (v.toString().isEmpty())
            Fail(sKey, "must not be empty");
        return v.toString();
    }
    bool Bool(const QString& sKey, bool bDefault)
    {
        const QJsonValue v = Value(sKey, QJsonValue::Bool, "a boolean", false);
        return v.isUndefined() ? bDefault : v.toBool();
    }
    double Number(const QString& sKey, double fMin, double fMax, bool bRequired, double fDefault)
    {
        const QJsonValue v = Value(sKey, QJsonValue::Double, "a number", bRequired);
        if (v.isUndefined())
            return fDefault;
        return CheckRange(sKey, v.toDouble(), fMin, fMax);
    }
    double CheckRange(const QString& sKey, double f, double fMin, double fMax) const
    {
        if (!std::isfinite(f) || f < fMin || f > fMax)
            Fail(sKey, QString("%1 is out of range (%2 to %3)").arg(f).arg(fMin).arg(fMax));
        return f;
    }
    unsigned int Integer(const QString& sKey, unsigned int iMin, unsigned int iMax, bool bRequired,
                         unsigned int iDefault)
    {
        const QJsonValue v = Value(sKey, QJsonValue::Double, "a whole number", bRequired);
        if (v.isUndefined())
            return iDefault;
        return CheckInteger(sKey, v.toDouble(), iMin, iMax);
    }
    unsigned int CheckInteger(const QString& sKey, double f, unsigned int iMin, unsigned int iMax) const
    {
        if (f != std::floor(f))
            Fail(sKey, QString("must be a whole number, not %1").arg(f));
        return static_cast<unsigned int>(CheckRange(sKey, f, iMin, iMax));
    }
    int Choice(const QString& sKey, const QStringList& aChoices, bool bRequired, int iDefault)
    {
        const QString s = String(sKey, bRequired);
        if (s.isEmpty())
            return iDefault;
        const int i = aChoices.indexOf(s);
        if (i < 0)
            Fail(sKey, QString("unknown value \"%1\" (one of: %2)").arg(s, aChoices.join(", ")));
        return i;
    }
    /// An array of exactly `iCount` numbers (`iCount` 0: two or more of pairs, see Points).
    QVector<double> Numbers(const QString& sKey, int iMinCount, int iMaxCount, bool bRequired)
    {
        const QJsonValue v = Value(sKey, QJsonValue::Array, "an array", bRequired);
        QVector<double> a;
        if (v.isUndefined())
            return a;
        const QJsonArray cArray = v.toArray();
        if (cArray.size() < iMinCount || cArray.size() > iMaxCount)
            Fail(sKey, iMinCount == iMaxCount ? QString("must hold %1 numbers").arg(iMinCount)
                                              : QString("must hold %1 to %2 numbers").arg(iMinCount).arg(iMaxCount));
        for (int i = 0; i < cArray.size(); ++i) {
            if (!cArray[i].isDouble())
                Fail(QString("%1[%2]").arg(sKey).arg(i), QString("must be a number, not %1").arg(TypeName(cArray[i])));
            a << cArray[i].toDouble();
        }
        return a;
    }
    varnik::Color Color(const QString& sKey, bool bRequired, const varnik::Color& cDefault)
    {
        const QVector<double> a = Numbers(sKey, 3, 4, bRequired);
        if (a.isEmpty())
            return cDefault;
        for (int i = 0; i < a.size(); ++i)
            CheckRange(QString("%1[%2]").arg(sKey).arg(i), a[i], 0., 1.);
        return varnik::Color(float(a[0]), float(a[1]), float(a[2]), a.size() == 4 ? float(a[3]) : 1.f);
    }
    QPoint Tile(const QString& sKey)
    {
        const QVector<double> a = Numbers(sKey, 2, 2, true);
        for (int i = 0; i < 2; ++i)
            if (a[i] != std::floor(a[i]) || std::fabs(a[i]) > 9999.)
                Fail(QString("%1[%2]").arg(sKey).arg(i), "must be a whole tile number (-9999 to 9999)");
        return QPoint(int(a[0]), int(a[1]));
    }
    QJsonArray Array(const QString& sKey, bool bRequired)
    {
        return Value(sKey, QJsonValue::Array, "an array", bRequired).toArray();
    }
    QJsonObject Object(const QString& sKey, bool bRequired)
    {
        return Value(sKey, QJsonValue::Object, "an object", bRequired).toObject();
    }
    /// Refuses the fields nobody read: a misspelt field must not be ignored silently.
    void RefuseUnknown() const
    {
        for (auto it = m_cObject.begin(); it != m_cObject.end(); ++it)
            if (!m_aRead.contains(it.key()))
                Fail(it.key(), "unknown field");
    }
    const QString& File() const { return m_sFile; }

private:
    QString m_sFile;          ///< job file, for messages
    QString m_sPath;          ///< path of this object in the file ("steps[3]")
    QJsonObject m_cObject;    ///< the object read
    QSet<QString> m_aRead;    ///< keys asked for
};

/// The parts of a job that later steps depend on: which layers exist, which
/// files earlier steps will have written.
class Checker
{
public:
    Checker(JobFile& cJob, const QString& sBaseFolder, const QString& sDefaultProject, unsigned int iMaxTextureSize)
        : m_cJob(cJob), m_cBase(sBaseFolder), m_sDefaultProject(sDefaultProject), m_iMaxTextureSize(iMaxTextureSize) {}

    void Run(const QJsonObject& cRoot);

private:
    void ReadSettings(Fields& f);
    void ReadLayer(Fields& f, JobFile::Layer& cLayer);
    void ReadStep(Fields& f, JobFile::Step& cStep);
    /// Reads each object of the array sKey with Read and appends it to aOut at once, so an
    /// entry can refer to the entries before it.
    template <typename T>
    void ReadList(Fields& f, const char* sKey, void (Checker::*Read)(Fields&, T&), QVector<T>& aOut);
    varnik::Image::Format ReadFormat(Fields& f, bool bRequired, varnik::Image::Format eDefault);
    /// An input: must exist now or be written by an earlier step.
    QString InputFile(Fields& f, const QString& sKey, bool bRequired);
    /// An output: its folder must exist (or be creatable) and be writable.
    QString OutputFile(Fields& f, const QString& sKey, bool bRequired);
    static bool IsWritableFolder(const QString& sFolder);
    const JobFile::Layer* RequireLayer(Fields& f, const QString& sName, bool bRequired);
    void CheckScene(Fields& f, const QString& sKey, const QString& sFile);

    JobFile& m_cJob;
    QDir m_cBase;                 ///< folder of the job file
    QString m_sDefaultProject;    ///< project folder when the job names none; empty: the job's folder
    unsigned int m_iMaxTextureSize;
    QSet<QString> m_aWritten;     ///< files earlier steps write
    bool m_bSceneOpened = false;  ///< an earlier step opens a scene
};

QString Checker::InputFile(Fields& f, const QString& sKey, bool bRequired)
{
    const QString s = f.String(sKey, bRequired);
    if (s.isEmpty())
        return s;
    // A file the job writes, or one in the project folder, is found by the
    // name it was written under; anything else is next to the job file.
    const QString sProjectPath = QDir::cleanPath(QDir(m_cJob.cSettings.sProject).absoluteFilePath(s));
    if (m_aWritten.contains(sProjectPath) || QFileInfo(sProjectPath).isFile())
        return sProjectPath;
    const QString sPath = QDir::cleanPath(m_cBase.absoluteFilePath(s));
    if (!QFileInfo(sPath).isFile())
        f.Fail(sKey, QString("file \"%1\" does not exist").arg(sPath));
    return sPath;
}

bool Checker::IsWritableFolder(const QString& sFolder)
{
    // The nearest folder that exists decides: the runner makes the missing ones below it.
    QFileInfo cFolder(sFolder);
    while (!cFolder.exists() && cFolder.absoluteFilePath() != cFolder.absolutePath())
        cFolder = QFileInfo(cFolder.absolutePath());
    return cFolder.isDir() && cFolder.isWritable();
}

QString Checker::OutputFile(Fields& f, const QString& sKey, bool bRequired)
{
    const QString s = f.String(sKey, bRequired);
    if (s.isEmpty())
        return s;
    const QString sPath = QDir::cleanPath(QDir(m_cJob.cSettings.sProject).absoluteFilePath(s));
    if (!IsWritableFolder(QFileInfo(sPath).absolutePath()))
        f.Fail(sKey, QString("folder \"%1\" is not writable").arg(QFileInfo(sPath).absolutePath()));
    if (QFileInfo(sPath).isDir())
        f.Fail(sKey, QString("\"%1\" is a folder").arg(sPath));
    m_aWritten.insert(sPath);
    return sPath;
}

void Checker::CheckScene(Fields& f, const QString& sKey, const QString& sFile)
{
    if (m_aWritten.contains(sFile))
        return;
    // A scene written by a newer host is refused before anything runs.
    QFile cFile(sFile);
    QByteArray aHeader;
    if (cFile.open(QIODevice::ReadOnly))
        aHeader = cFile.read(12);
    if (aHeader.size() < 12 || !aHeader.startsWith("VRNKSCN1"))
        f.Fail(sKey, QString("\"%1\" is not a scene file").arg(sFile));
    const uchar* p = reinterpret_cast<const uchar*>(aHeader.constData()) + 8;
    const int32_t iVersion = int32_t(uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
    if (iVersion > varnik::Stream::s_iCurrentFormatVersion)
        f.Fail(sKey, QString("scene \"%1\" has format version %2, newer than this host's %3")
                         .arg(sFile).arg(iVersion).arg(varnik::Stream::s_iCurrentFormatVersion));
}

varnik::Image::Format Checker::ReadFormat(Fields& f, bool bRequired, varnik::Image::Format eDefault)
{
    QStringList aNames;
    for (const FormatName& c : s_aFormats)
        aNames << c.sName;
    const int i = f.Choice("format", aNames, bRequired, -1);
    return i < 0 ? eDefault : s_aFormats[i].eFormat;
}

const JobFile::Layer* Checker::RequireLayer(Fields& f, const QString& sName, bool bRequired)
{
    if (sName.isEmpty()) {
        if (bRequired)
            f.Fail("layer", "missing");
        return nullptr;
    }
    const int i = m_cJob.LayerIndex(sName);
    // Layers of a scene opened by an earlier step are known only when it runs.
    if (i < 0 && !m_bSceneOpened)
        f.Fail("layer", QString("no layer named \"%1\"").arg(sName));
    return i < 0 ? nullptr : &m_cJob.aLayers[i];
}

void Checker::ReadSettings(Fields& f)
{
    JobFile::Settings& s = m_cJob.cSettings;
    const QString sProject = f.String("project", false, m_sDefaultProject.isEmpty() ? "." : m_sDefaultProject);
    s.sProject = QDir::cleanPath(m_cBase.absoluteFilePath(sProject)) + "/";
    if (!IsWritableFolder(s.sProject))
        f.Fail("project", QString("\"%1\" is not a writable folder").arg(s.sProject));

    const QJsonObject cPrefs = f.Object("preferences", false);
    for (auto it = cPrefs.begin(); it != cPrefs.end(); ++it) {
        JobFile::Preference cPref;
        cPref.sName = it.key();
        if (it.value().isBool())
            cPref.vValue = it.value().toBool();
        else if (it.value().isDouble())
            cPref.vValue = f.CheckInteger("preferences." + it.key(), it.value().toDouble(), 0, 1u << 30);
        else
            f.Fail("preferences." + it.key(), QString("must be a boolean or a number, not %1").arg(TypeName(it.value())));
        s.aPreferences << cPref;
    }
    if (f.Has("twoChannelTiles"))
        s.iTwoChannelTiles = f.Bool("twoChannelTiles", false) ? 1 : 0;
    if (f.Has("floatTiles"))
        s.iFloatTiles = f.Bool("floatTiles", false) ? 1 : 0;
    f.RefuseUnknown();
}

void Checker::ReadLayer(Fields& f, JobFile::Layer& l)
{
    l.sName = f.String("name", true);
    if (m_cJob.LayerIndex(l.sName) >= 0)
        f.Fail("name", QString("a layer named \"%1\" exists already").arg(l.sName));
    const int iSources = int(f.Has("size")) + int(f.Has("file")) + int(f.Has("pool"));
    if (iSources != 1)
        f.Fail(QString(), "needs exactly one of \"size\", \"file\" and \"pool\"");

    if (f.Has("size")) {
        l.eKind = JobFile::eBlank;
        const QVector<double> a = f.Numbers("size", 2, 2, true);
        l.iWidth = f.CheckInteger("size[0]", a[0], 1, m_iMaxTextureSize);
        l.iHeight = f.CheckInteger("size[1]", a[1], 1, m_iMaxTextureSize);
        l.eFormat = ReadFormat(f, false, varnik::Image::e8integer);
        l.iChannels = f.Integer("channels", 1, 4, false, 4);
        l.bHasColor = f.Has("color");
        l.cColor = f.Color("color", false, varnik::Color::transparent);
    } else if (f.Has("file")) {
        l.eKind = JobFile::eFromFile;
        l.sFile = InputFile(f, "file", true);
        l.eFormat = ReadFormat(f, false, varnik::Image::eNoFormat);
        l.iChannels = f.Integer("channels", 0, 4, false, 0);
    } else {
        l.eKind = JobFile::ePool;
        const QString sPool = f.String("pool", true);
        // A pool with a default tile is made by the job and lives in the project;
        // one without is read from tile files next to the job.
        l.bHasTileDescriptor = f.Has("tile");
        l.sFile = QDir::cleanPath((l.bHasTileDescriptor ? QDir(m_cJob.cSettings.sProject) : m_cBase).absoluteFilePath(sPool));
        if (l.bHasTileDescriptor) {
            Fields t(f.File(), f.FieldPath("tile"), f.Object("tile", true));
            const QVector<double> a = t.Numbers("size", 2, 2, true);
            l.iWidth = t.CheckInteger("size[0]", a[0], 1, m_iMaxTextureSize);
            l.iHeight = t.CheckInteger("size[1]", a[1], 1, m_iMaxTextureSize);
            l.eFormat = ReadFormat(t, false, varnik::Image::e8integer);
            l.iChannels = t.Integer("channels", 1, 4, false, 4);
            l.sExtension = t.String("extension", false, QFileInfo(sPool).suffix());
            if (l.sExtension.isEmpty())
                t.Fail("extension", "missing, and the pool's name has none");
            l.bHasColor = t.Has("color");
            l.cColor = t.Color("color", false, varnik::Color::transparent);
            t.RefuseUnknown();
        } else if (!QFileInfo(QFileInfo(l.sFile).absolutePath()).isDir()) {
            f.Fail("pool", QString("folder of \"%1\" does not exist").arg(l.sFile));
        }
        const QJsonArray aTiles = f.Array("tiles", false);
        for (int i = 0; i < aTiles.size(); ++i) {
            const QString sKey = QString("tiles[%1]").arg(i);
            Fields cTile(f.File(), f.FieldPath(QString()), QJsonObject{ { sKey, aTiles[i] } });
            l.aTiles << cTile.Tile(sKey);
        }
        if (!l.bHasTileDescriptor && l.aTiles.isEmpty())
            l.aTiles << QPoint(0, 0);
    }
    f.RefuseUnknown();
}

void Checker::ReadStep(Fields& f, JobFile::Step& s)
{
    QStringList aKinds;
    for (const char* sName : s_aStepNames)
        aKinds << sName;
    s.eKind = JobFile::StepKind(f.Choice("do", aKinds, true, 0));
    const bool bLayerRequired = s.eKind == JobFile::eStroke || s.eKind == JobFile::eUndo ||
                                s.eKind == JobFile::eRedo || s.eKind == JobFile::eSave ||
                                s.eKind == JobFile::eExport || s.eKind == JobFile::eCheck;
    const bool bLayerAllowed = bLayerRequired || s.eKind == JobFile::eProxy || s.eKind == JobFile::eLocation;
    const JobFile::Layer* pLayer = nullptr;
    if (bLayerAllowed) {
        s.sLayer = f.String("layer", bLayerRequired);
        pLayer = RequireLayer(f, s.sLayer, bLayerRequired);
    }
    const bool bPool = pLayer && pLayer->eKind == JobFile::ePool;
    const bool bTileAllowed = s.eKind == JobFile::eStroke || s.eKind == JobFile::eUndo ||
                              s.eKind == JobFile::eRedo || s.eKind == JobFile::eCheck;
    if (bTileAllowed && f.Has("tile")) {
        if (!bPool && pLayer)
            f.Fail("tile", QString("layer \"%1\" is not a pool").arg(s.sLayer));
        s.bHasTile = true;
        s.cTile = f.Tile("tile");
    }

    switch (s.eKind) {
    case JobFile::eStroke: {
        s.bUV = f.Bool("uv", false);
        if (s.bUV && s.bHasTile)
            f.Fail("uv", "give either \"uv\" points or a \"tile\", not both");
        const QJsonArray aPoints = f.Array("points", true);
        if (aPoints.isEmpty())
            f.Fail("points", "needs at least one point");
        for (int i = 0; i < aPoints.size(); ++i) {
            const QString sKey = QString("points[%1]").arg(i);
            Fields cPoint(f.File(), f.FieldPath(QString()), QJsonObject{ { sKey, aPoints[i] } });
            const QVector<double> a = cPoint.Numbers(sKey, 2, 2, true);
            s.aPoints << QPointF(a[0], a[1]);
        }
        // Texel points of a blank layer must fall on it; pools and files are checked when they are open.
        if (!s.bUV && pLayer && pLayer->eKind == JobFile::eBlank)
            for (int i = 0; i < s.aPoints.size(); ++i)
                if (s.aPoints[i].x() < 0 || s.aPoints[i].y() < 0 || s.aPoints[i].x() > pLayer->iWidth ||
                    s.aPoints[i].y() > pLayer->iHeight)
                    f.Fail(QString("points[%1]").arg(i), QString("(%1, %2) is outside the %3x%4 layer")
                                                              .arg(s.aPoints[i].x()).arg(s.aPoints[i].y())
                                                              .arg(pLayer->iWidth).arg(pLayer->iHeight));
        s.cColor = f.Color("color", false, varnik::Color::white);
        s.fRadius = float(f.Number("radius", 0.5, 4096., false, 8.));
        s.fHardness = float(f.Number("hardness", 0., 1., false, 1.));
        s.fOpacity = float(f.Number("opacity", 0., 1., false, 1.));
        QStringList aBlends;
        for (const char* sName : s_aBlendNames)
            aBlends << sName;
        s.iBlendMode = unsigned(f.Choice("blend", aBlends, false, 0));
        break;
    }
    case JobFile::eProxy:
        s.iLevel = f.Integer("level", 0, 4, true, 0);
        break;
    case JobFile::eMemory:
        if (f.Has("factor") == f.Has("budget"))
            f.Fail(QString(), "needs exactly one of \"factor\" and \"budget\"");
        s.bHasBudget = f.Has("budget");
        s.fFactor = float(f.Number("factor", 0., 1., false, 1.));
        s.fBudgetMiB = f.Number("budget", 0., 1 << 20, false, 0.);
        break;
    case JobFile::eLocation:
        s.iLocation = unsigned(f.Choice("where", QStringList() << "gpu" << "cpu", true, 0)) + 1;
        break;
    case JobFile::eUndo:
    case JobFile::eRedo:
    case JobFile::eCompositeAll:
        break;
    case JobFile::eSave:
    case JobFile::eExport:
        if (s.eKind == JobFile::eExport && !bPool && pLayer)
            f.Fail("layer", QString("layer \"%1\" is not a pool").arg(s.sLayer));
        s.sFile = OutputFile(f, "file", s.eKind == JobFile::eExport || !bPool);
        if (bPool || !pLayer) {
            s.sDepth = f.String("depth", false);
            if (!s.sDepth.isEmpty() && !QStringList({ "8", "16", "32", "16,fp", "32,fp" }).contains(s.sDepth))
                f.Fail("depth", QString("unknown depth \"%1\" (8, 16, 32, 16,fp or 32,fp)").arg(s.sDepth));
            s.sExtension = f.String("extension", false);
        }
        break;
    case JobFile::eSaveScene:
        s.sFile = OutputFile(f, "file", true);
        break;
    case JobFile::eOpenScene:
        s.sFile = InputFile(f, "file", true);
        CheckScene(f, "file", s.sFile);
        m_bSceneOpened = true;
        break;
    case JobFile::ePreview:
        s.sFile = OutputFile(f, "file", true);
        break;
    case JobFile::eCheck:
        if (f.Has("file") == f.Has("hash"))
            f.Fail(QString(), "needs exactly one of \"file\" and \"hash\"");
        s.sFile = InputFile(f, "file", false);
        s.sHash = f.String("hash", false).toLower();
        if (f.Has("hash") && (s.sHash.size() != 40 || s.sHash.contains(QRegExp("[^0-9a-f]"))))
            f.Fail("hash", "must be 40 hexadecimal digits");
        s.fTolerance = float(f.Number("tolerance", 0., 1., false, 0.));
        if (f.Has("hash") && s.fTolerance > 0.f)
            f.Fail("tolerance", "a hash compares exactly; compare with a file for a tolerance");
        break;
    }
    f.RefuseUnknown();
}

template <typename T>
void Checker::ReadList(Fields& f, const char* sKey, void (Checker::*Read)(Fields&, T&), QVector<T>& aOut)
{
    const QJsonArray aItems = f.Array(sKey, false);
    for (int i = 0; i < aItems.size(); ++i) {
        const QString sPath = QString("%1[%2]").arg(sKey).arg(i);
        if (!aItems[i].isObject())
            f.Fail(sPath, QString("must be an object, not %1").arg(TypeName(aItems[i])));
        T cItem;
        cItem.sField = sPath;
        Fields cFields(m_cJob.sFileName, sPath, aItems[i].toObject());
        (this->*Read)(cFields, cItem);
        aOut << cItem;
    }
}

void Checker::Run(const QJsonObject& cRoot)
{
    Fields f(m_cJob.sFileName, QString(), cRoot);
    Fields cSettings(m_cJob.sFileName, "settings", f.Object("settings", false));
    ReadSettings(cSettings);

    ReadList(f, "layers", &Checker::ReadLayer, m_cJob.aLayers);
    ReadList(f, "steps", &Checker::ReadStep, m_cJob.aSteps);
    f.RefuseUnknown();
}

} // namespace

QString JobFile::StepName(StepKind eKind) { return QString::fromLatin1(s_aStepNames[eKind]); }

int JobFile::LayerIndex(const QString& sName) const
{
    for (int i = 0; i < aLayers.size(); ++i)
        if (aLayers[i].sName == sName)
            return i;
    return -1;
}

JobFile JobFile::Parse(const QByteArray& aText, const QString& sFileName, const QString& sBaseFolder,
                       unsigned int iMaxTextureSize, const QString& sDefaultProject)
{
    JobFile cJob;
    cJob.sFileName = sFileName;
    if (aText.trimmed().isEmpty())
        throw (new varnik::Error(QString(), 1, "job"))->Format("%1: the file is empty", sFileName);
    QJsonParseError cError;
    const QJsonDocument cDocument = QJsonDocument::fromJson(aText, &cError);
    if (cError.error != QJsonParseError::NoError)
        throw (new varnik::Error(QString(), 1, "job"))->Format("%1: not valid JSON at byte %2: %3", sFileName,
                                                               cError.offset, cError.errorString());
    if (!cDocument.isObject())
        throw (new varnik::Error(QString(), 1, "job"))->Format("%1: the top level must be an object", sFileName);
    Checker(cJob, sBaseFolder, sDefaultProject, iMaxTextureSize).Run(cDocument.object());
    return cJob;
}

JobFile JobFile::Load(const QString& sFileName, unsigned int iMaxTextureSize, const QString& sDefaultProject)
{
    QFile cFile(sFileName);
    if (!QFileInfo(sFileName).isFile() || !cFile.open(QIODevice::ReadOnly))
        throw (new varnik::Error(QString(), 1, "job"))->Format("%1: cannot read the job file: %2", sFileName,
                                                               QFileInfo(sFileName).exists() ? cFile.errorString()
                                                                                             : QString("no such file"));
    return Parse(cFile.readAll(), sFileName, QFileInfo(sFileName).absolutePath(), iMaxTextureSize, sDefaultProject);
}
