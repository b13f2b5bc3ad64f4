#pragma once
#include <QByteArray>
#include <QPoint>
#include <QPointF>
#include <QString>
#include <QVariant>
#include <QVector>
#include "varnik/Color.h"
#include "varnik/Image.h"

/// A painting job read from a JSON file: settings, layers and steps, checked
/// whole before anything runs. Every problem is reported as a `varnik::Error`
/// pointer whose text names the job file and the field ("job.json:
/// steps[2].radius: ..."). Relative paths are resolved against the job file's
/// folder (inputs) and the project folder (outputs).
struct JobFile
{
    /// One preference the job sets, by name, in whatever category holds it.
    struct Preference
    {
        QString sName;
        QVariant vValue;  ///< bool or unsigned int
    };

    struct Settings
    {
        QString sProject;                 ///< absolute, with a trailing "/"
        QVector<Preference> aPreferences; ///< in file order
        int iTwoChannelTiles = -1;        ///< -1 not given, else 0 or 1
        int iFloatTiles = -1;             ///< -1 not given, else 0 or 1
    };

    enum LayerKind { eBlank, eFromFile, ePool };
    struct Layer
    {
        QString sField;                   ///< "layers[i]", for messages
        QString sName;
        LayerKind eKind = eBlank;
        unsigned int iWidth = 0, iHeight = 0;
        unsigned int iChannels = 4;       ///< from a file: 0 keeps the file's count
        varnik::Image::Format eFormat = varnik::Image::e8integer; ///< from a file: eNoFormat keeps the file's
        bool bHasColor = false;
        varnik::Color cColor;
        QString sFile;                    ///< texture file, or pool file name / template
        bool bHasTileDescriptor = false;  ///< pool made from a template and a default tile
        QString sExtension;               ///< default tile's extension
        QVector<QPoint> aTiles;           ///< pool tiles to look up at start (u, v)
    };

    enum StepKind { eStroke, eProxy, eMemory, eLocation, eUndo, eRedo, eCompositeAll, eSave, eExport,
                    eSaveScene, eOpenScene, ePreview, eCheck };
    struct Step
    {
        QString sField;                   ///< "steps[i]"
        StepKind eKind = eStroke;
        QString sLayer;                   ///< empty: every layer (where allowed)
        bool bHasTile = false;
        QPoint cTile;                     ///< pool tile (u, v)
        bool bUV = false;                 ///< stroke points are UV coordinates
        QVector<QPointF> aPoints;         ///< stroke points
        varnik::Color cColor = varnik::Color::white;
        float fRadius = 8.f, fHardness = 1.f, fOpacity = 1.f;
        unsigned int iBlendMode = 0;      ///< the mixer's modes: normal, add, multiply, screen, erase, replace
        unsigned int iLevel = 0;          ///< proxy level
        bool bHasBudget = false;
        float fFactor = 1.f;              ///< memory factor
        double fBudgetMiB = 0.;           ///< memory budget, when given instead of a factor
        unsigned int iLocation = 1;       ///< 1 GPU, 2 CPU
        QString sFile;                    ///< absolute path (save, export, scene, preview, check reference)
        QString sDepth;                   ///< pool depth string ("8", "16", "16,fp", "32,fp")
        QString sExtension;               ///< save/export: replaces the file's extension
        QString sHash;                    ///< check: expected content hash, lower-case hex
        float fTolerance = 0.f;           ///< check: largest channel difference allowed, 0..1
    };

    QString sFileName;                    ///< the job file as given
    Settings cSettings;
    QVector<Layer> aLayers;
    QVector<Step> aSteps;

    /// Reads and checks a job file; throws a `varnik::Error` pointer on any problem.
    /// `iMaxTextureSize` is the GL limit sizes are checked against;
    /// `sDefaultProject` the project folder of a job that names none (empty:
    /// the job file's folder).
    static JobFile Load(const QString& sFileName, unsigned int iMaxTextureSize,
                        const QString& sDefaultProject = QString());
    /// Checks job text as if read from `sFileName` (which need not exist);
    /// relative paths resolve against `sBaseFolder`.
    static JobFile Parse(const QByteArray& aText, const QString& sFileName, const QString& sBaseFolder,
                         unsigned int iMaxTextureSize, const QString& sDefaultProject = QString());

    /// Names of the steps as written in job files, indexed by StepKind.
    static QString StepName(StepKind eKind);
    /// Index of a layer by name, -1 when there is none.
    int LayerIndex(const QString& sName) const;
};
