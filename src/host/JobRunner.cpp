#include "JobRunner.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QSaveFile>
#include "ContactSheet.h"
#include "varnik/Action.h"
#include "varnik/ClassDesc.h"
#include "varnik/Brush.h"
#include "varnik/Error.h"
#include "varnik/Image.h"
#include "varnik/Interface.h"
#include "varnik/Kernel.h"
#include "varnik/Preferences.h"
#include "varnik/Store.h"
#include "varnik/Stream.h"
#include "varnik/Texture.h"
#include "varnik/TexturePool.h"

namespace {

const char* const s_sCompositeAll = "Composite paint strokes";

varnik::Error* JobError() { return new varnik::Error(QString(), 3, "job"); }

/// A node of `pClass` made through the registry, or an error naming what was asked for.
template <typename T>
std::unique_ptr<varnik::Node> Make(const varnik::ClassDesc* pClass, T*& pOut)
{
    std::unique_ptr<varnik::Node> pNode(varnik::Kernel::CreateClassInstance(pClass));
    pOut = dynamic_cast<T*>(pNode.get());
    if (!pOut)
        throw JobError()->Format("the class registry made no %1", pClass->Name());
    return pNode;
}

QString MiB(int64_t iBytes) { return QString::number(double(iBytes) / (1024. * 1024.), 'f', 1); }

/// The host's record of a job's layers in a scene: each layer's name with a
/// reference to its node (texture records keep no name), and for plain layers
/// the image file beside the scene that holds their pixels (scene records hold
/// none; pools keep theirs in tile files).
class LayerList : public varnik::Node
{
public:
    struct Entry
    {
        QString sName;
        varnik::Node* pNode = nullptr;  ///< not owned
        QString sPixelFile;             ///< relative to the scene's folder; empty for pools
    };
    static varnik::ClassDesc s_cMyClass;
    const varnik::ClassDesc* RuntimeClass() const override { return &s_cMyClass; }
    void Serialize(varnik::Stream& s) override
    {
        varnik::Node::Serialize(s);
        uint32_t iCount = uint32_t(m_aEntries.size());
        if (s.IsStoring()) {
            s << iCount;
            for (const Entry& c : m_aEntries) {
                s << c.sName << c.sPixelFile;
                s.WriteNodeReference(c.pNode);
            }
            return;
        }
        s >> iCount;
        m_aEntries.clear();
        for (uint32_t i = 0; i < iCount; ++i) {
            Entry c;
            s >> c.sName >> c.sPixelFile;
            c.pNode = s.ReadNodeReference();
            m_aEntries.push_back(c);
        }
    }
    std::vector<Entry> m_aEntries;  ///< in layer order
};

/// A lossless file type for a texture's pixels.
QString PixelFileExtension(varnik::Image::Format eFormat)
{
    switch (eFormat) {
    case varnik::Image::e8integer: return "png";
    case varnik::Image::e16float:
    case varnik::Image::e32float: return "exr";
    default: return "tif";
    }
}

varnik::ClassDesc LayerList::s_cMyClass(varnik::Node::StaticClass(), varnik::Node::StaticClass(), "JobLayerList",
                                        "Job layer list", &varnik::CreateInstancesOf<LayerList>, 0, 1);

} // namespace

JobRunner::JobRunner(const JobFile& cJob, QTextStream& out) : m_cJob(cJob), m_cOut(out) {}

JobRunner::~JobRunner()
{
    // Pools before plain layers would not matter; the order of the job is kept reversed.
    while (!m_aLayers.empty())
        m_aLayers.pop_back();
}

void JobRunner::Fail(const JobFile::Step& cStep, const QString& sWhat) const
{
    throw JobError()->Format("%1: %2 (%3): %4", m_cJob.sFileName, cStep.sField, JobFile::StepName(cStep.eKind), sWhat);
}

void JobRunner::ApplySettings()
{
    const JobFile::Settings& s = m_cJob.cSettings;
    varnik::Preferences* pPrefs = varnik::Kernel()->Preferences();
    // All names are checked before any value changes, so a typo changes nothing.
    std::vector<varnik::Attribute*> aTargets;
    for (const JobFile::Preference& cPref : s.aPreferences) {
        varnik::Attribute* pFound = nullptr;
        for (varnik::Attribute* pAttribute : pPrefs->All())
            if (pAttribute->Name() == cPref.sName)
                pFound = pAttribute;
        const bool bBool = cPref.vValue.type() == QVariant::Bool;
        if (!pFound)
            throw JobError()->Format("%1: settings.preferences.%2: no such preference", m_cJob.sFileName, cPref.sName);
        if (bBool != bool(dynamic_cast<varnik::AttributeInstance<bool>*>(pFound)))
            throw JobError()->Format("%1: settings.preferences.%2: must be %3", m_cJob.sFileName, cPref.sName,
                                     bBool ? QString("a number") : QString("a boolean"));
        aTargets.push_back(pFound);
    }
    for (size_t i = 0; i < aTargets.size(); ++i)
        aTargets[i]->SetFromString(s.aPreferences[int(i)].vValue.toString(), false);
    if (s.iTwoChannelTiles >= 0)
        pPrefs->m_bAllowTwoChannelTiles = s.iTwoChannelTiles != 0;
    if (s.iFloatTiles >= 0)
        pPrefs->m_bUseFloatTiles = s.iFloatTiles != 0;
    QDir().mkpath(s.sProject);
    varnik::Kernel::SetProjectFilesDirectory(s.sProject);
}

std::vector<varnik::Texture*> JobRunner::Textures(const Layer& cLayer)
{
    std::vector<varnik::Texture*> a;
    if (cLayer.pTexture)
        a.push_back(cLayer.pTexture);
    if (cLayer.pPool)
        for (unsigned int i = 0; i < cLayer.pPool->TileCount(); ++i)
            if (varnik::Texture* pTile = cLayer.pPool->Tile(i))
                a.push_back(pTile);
    return a;
}

void JobRunner::MakeLayer(const JobFile::Layer& l)
{
    Layer cLayer;
    cLayer.sName = l.sName;
    if (l.eKind == JobFile::ePool) {
        if (l.bHasTileDescriptor)
            QDir().mkpath(QFileInfo(l.sFile).absolutePath());  // the tiles are saved there
        cLayer.pNode = Make(varnik::TexturePool::StaticClass(), cLayer.pPool);
        cLayer.pNode->SetName(l.sName);
        if (l.bHasTileDescriptor)
            cLayer.pPool->SetDefaultTileDescriptor(varnik::TexturePool::TileDescriptor(
                l.iWidth, l.iHeight, l.eFormat, l.iChannels, l.sExtension, l.cColor));
        cLayer.pPool->SetFileName(l.sFile);
        for (const QPoint& cTile : l.aTiles)
            if (!cLayer.pPool->Tile(float(cTile.x()) + 0.5f, float(cTile.y()) + 0.5f, false))
                throw JobError()->Format("%1: %2: pool \"%3\" has no tile (%4, %5)", m_cJob.sFileName, l.sField,
                                         l.sFile, cTile.x(), cTile.y());
    } else {
        cLayer.pNode = Make(varnik::Texture::StaticClass(), cLayer.pTexture);
        cLayer.pNode->SetName(l.sName);
        if (l.eKind == JobFile::eFromFile) {
            if (!cLayer.pTexture->CreateFromFile(l.sFile, l.iChannels, l.eFormat))
                throw JobError()->Format("%1: %2.file: cannot make a layer of \"%3\" (see the log)", m_cJob.sFileName,
                                         l.sField, l.sFile);
        } else if (l.bHasColor) {
            cLayer.pTexture->Create(l.iWidth, l.iHeight, l.iChannels, l.eFormat, l.cColor);
        } else {
            cLayer.pTexture->Create(l.iWidth, l.iHeight, l.iChannels, l.eFormat);
        }
    }
    m_aLayers.push_back(std::move(cLayer));
}

JobRunner::Layer& JobRunner::FindLayer(const JobFile::Step& cStep)
{
    for (Layer& cLayer : m_aLayers)
        if (cLayer.sName == cStep.sLayer)
            return cLayer;
    Fail(cStep, QString("layer \"%1\" is not open").arg(cStep.sLayer));
}

std::vector<JobRunner::Layer*> JobRunner::StepLayers(const JobFile::Step& cStep)
{
    std::vector<Layer*> a;
    if (!cStep.sLayer.isEmpty())
        a.push_back(&FindLayer(cStep));
    else
        for (Layer& cLayer : m_aLayers)
            a.push_back(&cLayer);
    return a;
}

varnik::Texture* JobRunner::StepTexture(const JobFile::Step& cStep)
{
    Layer& cLayer = FindLayer(cStep);
    if (cLayer.pTexture)
        return cLayer.pTexture;
    const QPoint cTile = cStep.bHasTile ? cStep.cTile : QPoint(0, 0);
    varnik::Texture* pTile = cLayer.pPool->Tile(float(cTile.x()) + 0.5f, float(cTile.y()) + 0.5f, true);
    if (!pTile)
        Fail(cStep, QString("layer \"%1\" has no tile (%2, %3)").arg(cLayer.sName).arg(cTile.x()).arg(cTile.y()));
    return pTile;
}

std::unique_ptr<varnik::Image> JobRunner::ReadBack(varnik::Texture* pTexture)
{
    std::unique_ptr<varnik::Node> pNode(varnik::Kernel::CreateClassInstance(varnik::Image::StaticClass()));
    std::unique_ptr<varnik::Image> pImage(dynamic_cast<varnik::Image*>(pNode.release()));
    pTexture->CopyTo(pImage.get(), false, nullptr, varnik::PixelDescriptor::eRGBA);
    return pImage;
}

QString JobRunner::ContentHash(varnik::Texture* pTexture)
{
    std::unique_ptr<varnik::Image> pImage = ReadBack(pTexture);
    const varnik::ImgTile cBounds = pImage->getBounds();
    QByteArray aPixels(int(size_t(cBounds.nx) * size_t(cBounds.ny) * pImage->BytesPerPixel()), Qt::Uninitialized);
    pImage->getTile(0, 0, cBounds.nx, cBounds.ny, aPixels.data());
    QCryptographicHash cHash(QCryptographicHash::Sha1);
    // The shape is part of the content: equal bytes of another shape differ.
    cHash.addData(QString("%1x%2x%3/%4:").arg(cBounds.nx).arg(cBounds.ny).arg(pImage->ChannelCount())
                      .arg(int(pImage->format())).toLatin1());
    cHash.addData(aPixels);
    return QString::fromLatin1(cHash.result().toHex());
}

void JobRunner::Stroke(const JobFile::Step& cStep)
{
    Layer& cLayer = FindLayer(cStep);
    varnik::Texture* pTarget = nullptr;
    std::vector<varnik::Brush::Point> aPoints;
    if (cStep.bUV) {
        // UV points name their tile by their whole part; all must share one.
        const int u = int(std::floor(cStep.aPoints[0].x())), v = int(std::floor(cStep.aPoints[0].y()));
        for (const QPointF& p : cStep.aPoints)
            if (int(std::floor(p.x())) != u || int(std::floor(p.y())) != v)
                Fail(cStep, QString("UV points (%1, %2) and (%3, %4) lie on different tiles")
                                .arg(cStep.aPoints[0].x()).arg(cStep.aPoints[0].y()).arg(p.x()).arg(p.y()));
        pTarget = cLayer.pPool ? cLayer.pPool->Tile(float(u) + 0.5f, float(v) + 0.5f, true) : cLayer.pTexture;
        if (!pTarget)
            Fail(cStep, QString("layer \"%1\" has no tile (%2, %3)").arg(cLayer.sName).arg(u).arg(v));
        for (const QPointF& p : cStep.aPoints)
            aPoints.push_back({ float(p.x() - u) * float(pTarget->Width()), float(p.y() - v) * float(pTarget->Height()) });
    } else {
        pTarget = StepTexture(cStep);
        for (const QPointF& p : cStep.aPoints) {
            if (p.x() > pTarget->Width() || p.y() > pTarget->Height())
                Fail(cStep, QString("point (%1, %2) is outside the %3x%4 texture")
                                .arg(p.x()).arg(p.y()).arg(pTarget->Width()).arg(pTarget->Height()));
            aPoints.push_back({ float(p.x()), float(p.y()) });
        }
    }
    // The brush paints a full-resolution source the layer composites over
    // itself (at once, or queued while the layer shows a proxy).
    varnik::Texture* pSource = nullptr;
    std::unique_ptr<varnik::Node> pSourceNode = Make(varnik::Texture::StaticClass(), pSource);
    pSource->Create(pTarget->Width(), pTarget->Height(), 4, varnik::Image::e8integer);
    varnik::Brush cBrush;
    cBrush.SetColor(cStep.cColor);
    cBrush.SetRadius(cStep.fRadius);
    cBrush.SetHardness(cStep.fHardness);
    cBrush.Clear(*pSource);
    varnik::ImgDirtyRegion cRegion = cBrush.Paint(*pSource, aPoints);
    if (cRegion.IsEmpty())
        return;
    varnik::Store<float> cWeights;
    cWeights.SetCount(2);
    cWeights[0] = 1.f;
    cWeights[1] = cStep.fOpacity;
    pTarget->Composite(pSource, &cRegion, cStep.iBlendMode, cStep.fOpacity < 1.f ? &cWeights : nullptr);
}

void JobRunner::MemoryFactor(const JobFile::Step& cStep)
{
    std::vector<varnik::Texture*> aAll;
    for (Layer& cLayer : m_aLayers)
        for (varnik::Texture* p : Textures(cLayer))
            aAll.push_back(p);
    float fFactor = cStep.fFactor;
    if (cStep.bHasBudget) {
        // The largest factor (full size, then a quarter of the texels per level)
        // whose video memory, as the textures themselves count it, fits the budget.
        const int64_t iBudget = int64_t(cStep.fBudgetMiB * 1024. * 1024.);
        fFactor = 0.f;
        for (float f = 1.f; f >= 1.f / 256.f; f /= 4.f) {
            int64_t iTotal = 0;
            for (varnik::Texture* p : aAll)
                iTotal += p->VideoMemoryUsage(f);
            if (iTotal <= iBudget) {
                fFactor = f;
                break;
            }
        }
        m_cOut << QString("    budget %1 MiB: memory factor %2\n").arg(cStep.fBudgetMiB).arg(fFactor);
    }
    for (varnik::Texture* p : aAll) {
        const unsigned char iLevel = varnik::Texture::ProxyLevel(fFactor, std::max(p->Width(), p->Height()));
        if (iLevel != p->getProxyLevel() && !p->setProxyLevel(iLevel, false))
            Fail(cStep, QString("%1 refused proxy level %2").arg(p->Name()).arg(iLevel));
    }
}

void JobRunner::Save(const JobFile::Step& cStep)
{
    Layer& cLayer = FindLayer(cStep);
    QString sFile = cStep.sFile;
    if (!sFile.isEmpty()) {
        if (!cStep.sExtension.isEmpty())
            sFile = QFileInfo(sFile).path() + "/" + QFileInfo(sFile).completeBaseName() + "." + cStep.sExtension;
        QDir().mkpath(QFileInfo(sFile).absolutePath());
    }
    if (cLayer.pPool) {
        const bool bDone = cStep.eKind == JobFile::eExport ? cLayer.pPool->Export(sFile, cStep.sDepth, nullptr)
                                                           : cLayer.pPool->Save(sFile, cStep.sDepth, nullptr, false);
        if (!bDone)
            Fail(cStep, QString("layer \"%1\" was not saved (see the log)").arg(cLayer.sName));
    } else {
        ReadBack(cLayer.pTexture)->Save(sFile);
    }
}

void JobRunner::OpenScene(const JobFile::Step& cStep)
{
    std::vector<varnik::Node*> aNodes = varnik::Stream::LoadSceneFile(cStep.sFile);
    std::vector<std::unique_ptr<varnik::Node>> aOwned(aNodes.begin(), aNodes.end());
    std::vector<Layer> aOpened;
    // Names come from the scene's layer list; a node the list does not name
    // keeps its own name.
    std::vector<LayerList::Entry> aNames;
    for (varnik::Node* pNode : aNodes)
        if (LayerList* pList = dynamic_cast<LayerList*>(pNode))
            aNames.insert(aNames.end(), pList->m_aEntries.begin(), pList->m_aEntries.end());
    for (std::unique_ptr<varnik::Node>& pNode : aOwned) {
        if (dynamic_cast<LayerList*>(pNode.get()))
            continue;
        Layer cLayer;
        cLayer.sName = pNode->Name();
        QString sPixelFile;
        for (const LayerList::Entry& c : aNames)
            if (c.pNode == pNode.get()) {
                cLayer.sName = c.sName;
                sPixelFile = c.sPixelFile;
            }
        cLayer.pTexture = dynamic_cast<varnik::Texture*>(pNode.get());
        cLayer.pPool = dynamic_cast<varnik::TexturePool*>(pNode.get());
        if (!cLayer.pTexture && !cLayer.pPool)
            Fail(cStep, QString("scene \"%1\" holds a %2, which is not a layer")
                            .arg(cStep.sFile, pNode->RuntimeClass()->Name()));
        if (cLayer.pTexture && !sPixelFile.isEmpty()) {
            const QString sPath = QFileInfo(cStep.sFile).absolutePath() + "/" + sPixelFile;
            if (!cLayer.pTexture->CreateFromFile(sPath, cLayer.pTexture->ChannelCount(), cLayer.pTexture->Format()))
                Fail(cStep, QString("cannot read the pixels of layer \"%1\" from \"%2\" (see the log)")
                                .arg(cLayer.sName, sPath));
        }
        cLayer.pNode = std::move(pNode);
        aOpened.push_back(std::move(cLayer));
    }
    // The scene's layers replace the open ones of the same names and join the others.
    for (Layer& cOpened : aOpened) {
        auto it = std::find_if(m_aLayers.begin(), m_aLayers.end(),
                               [&](const Layer& c) { return c.sName == cOpened.sName; });
        if (it != m_aLayers.end())
            *it = std::move(cOpened);
        else
            m_aLayers.push_back(std::move(cOpened));
    }
}

void JobRunner::Check(const JobFile::Step& cStep)
{
    varnik::Texture* pTexture = StepTexture(cStep);
    if (!cStep.sHash.isEmpty()) {
        const QString sHash = ContentHash(pTexture);
        if (sHash != cStep.sHash)
            Fail(cStep, QString("content hash %1, expected %2").arg(sHash, cStep.sHash));
        return;
    }
    std::unique_ptr<varnik::Image> pActual = ReadBack(pTexture);
    varnik::Image cExpected;
    cExpected.Load(cStep.sFile, 4);
    if (cExpected.Width() != pActual->Width() || cExpected.Height() != pActual->Height())
        Fail(cStep, QString("layer is %1x%2, \"%3\" is %4x%5").arg(pActual->Width()).arg(pActual->Height())
                        .arg(cStep.sFile).arg(cExpected.Width()).arg(cExpected.Height()));
    // Both sides as float RGBA, so that files of another depth compare by value.
    const varnik::PixelDescriptor cFloat(4, varnik::PixelDescriptor::eFloat32);
    const int w = int(cExpected.Width()), h = int(cExpected.Height());
    std::vector<float> aA(size_t(w) * 4), aB(size_t(w) * 4);
    float fWorst = 0.f;
    int iWorstX = 0, iWorstY = 0;
    for (int y = 0; y < h; ++y) {
        pActual->getTile(0, y, w, 1, aA.data(), &cFloat);
        cExpected.getTile(0, y, w, 1, aB.data(), &cFloat);
        for (size_t i = 0; i < aA.size(); ++i) {
            const float d = std::fabs(aA[i] - aB[i]);
            if (d > fWorst) {
                fWorst = d;
                iWorstX = int(i / 4);
                iWorstY = y;
            }
        }
    }
    if (fWorst > cStep.fTolerance)
        Fail(cStep, QString("differs from \"%1\" by %2 at (%3, %4), tolerance %5")
                        .arg(cStep.sFile).arg(fWorst).arg(iWorstX).arg(iWorstY).arg(cStep.fTolerance));
}

void JobRunner::RunStep(const JobFile::Step& cStep)
{
    switch (cStep.eKind) {
    case JobFile::eStroke:
        Stroke(cStep);
        break;
    case JobFile::eProxy:
        for (Layer* pLayer : StepLayers(cStep))
            for (varnik::Texture* p : Textures(*pLayer))
                if (!p->setProxyLevel(static_cast<unsigned char>(cStep.iLevel), false))
                    Fail(cStep, QString("layer \"%1\" refused proxy level %2").arg(pLayer->sName).arg(cStep.iLevel));
        break;
    case JobFile::eMemory:
        MemoryFactor(cStep);
        break;
    case JobFile::eLocation:
        for (Layer* pLayer : StepLayers(cStep)) {
            if (pLayer->pPool)
                pLayer->pPool->SetLocation(cStep.iLocation);
            else
                pLayer->pTexture->SetLocation(cStep.iLocation);
        }
        break;
    case JobFile::eUndo:
        if (!StepTexture(cStep)->PrevVersion())
            Fail(cStep, "nothing to undo");
        break;
    case JobFile::eRedo:
        if (!StepTexture(cStep)->NextVersion())
            Fail(cStep, "nothing to redo");
        break;
    case JobFile::eCompositeAll: {
        varnik::Action* pAction = varnik::Action::Find(s_sCompositeAll);
        if (!pAction)
            Fail(cStep, QString("no action \"%1\" is loaded").arg(s_sCompositeAll));
        pAction->Execute();
        break;
    }
    case JobFile::eSave:
    case JobFile::eExport:
        Save(cStep);
        break;
    case JobFile::eSaveScene: {
        QDir().mkpath(QFileInfo(cStep.sFile).absolutePath());
        LayerList cNames;
        std::vector<varnik::Node*> aNodes;
        for (Layer& cLayer : m_aLayers) {
            aNodes.push_back(cLayer.pNode.get());
            LayerList::Entry cEntry{ cLayer.sName, cLayer.pNode.get(), QString() };
            if (cLayer.pTexture) {
                std::unique_ptr<varnik::Image> pPixels = ReadBack(cLayer.pTexture);
                cEntry.sPixelFile = QString("%1.%2.%3").arg(QFileInfo(cStep.sFile).completeBaseName(), cLayer.sName,
                                                            PixelFileExtension(pPixels->format()));
                pPixels->Save(QFileInfo(cStep.sFile).absolutePath() + "/" + cEntry.sPixelFile);
            }
            cNames.m_aEntries.push_back(cEntry);
        }
        aNodes.push_back(&cNames);
        const QByteArray aData = varnik::Stream::WriteScene(aNodes);
        // Written under a temporary name and renamed when complete: a failed
        // write leaves no half scene behind.
        QSaveFile cFile(cStep.sFile);
        if (!cFile.open(QIODevice::WriteOnly) || cFile.write(aData) != aData.size() || !cFile.commit())
            Fail(cStep, QString("cannot write \"%1\": %2").arg(cStep.sFile, cFile.errorString()));
        break;
    }
    case JobFile::eOpenScene:
        OpenScene(cStep);
        break;
    case JobFile::ePreview: {
        QDir().mkpath(QFileInfo(cStep.sFile).absolutePath());
        ContactSheet cSheet;
        for (const Layer& cLayer : m_aLayers) {
            if (cLayer.pTexture) {
                cSheet.Add(cLayer.sName, *ReadBack(cLayer.pTexture));
                continue;
            }
            for (unsigned int i = 0; i < cLayer.pPool->TileCount(); ++i) {
                const varnik::AxisAlignedBoundingBox cArea = cLayer.pPool->TileArea(i);
                if (varnik::Texture* pTile = cLayer.pPool->Tile(i))
                    cSheet.Add(QString("%1 %2,%3").arg(cLayer.sName).arg(int(cArea.m_fMinX)).arg(int(cArea.m_fMinY)),
                               *ReadBack(pTile));
            }
        }
        cSheet.Save(cStep.sFile);
        break;
    }
    case JobFile::eCheck:
        Check(cStep);
        break;
    }
}

void JobRunner::Run()
{
    ApplySettings();
    varnik::Interface* pUI = varnik::Kernel::Interface();
    if (!m_cJob.aLayers.isEmpty()) {
        pUI->ProgressStart("Loading layers", unsigned(m_cJob.aLayers.size()));
        for (const JobFile::Layer& cLayer : m_cJob.aLayers) {
            try {
                MakeLayer(cLayer);
            } catch (varnik::Error*) {
                pUI->ProgressEnd();
                throw;
            }
            pUI->ProgressAdd();
        }
        pUI->ProgressEnd();
    }

    // The steps that take long (saving, compositing) show progress of their own.
    m_cOut << QString("%1  %2  %3\n").arg("step", -34).arg("seconds", 8).arg("video MiB", 9);
    for (const JobFile::Step& cStep : m_cJob.aSteps) {
        const auto tStart = std::chrono::steady_clock::now();
        try {
            RunStep(cStep);
        } catch (varnik::Error* pError) {
            // Errors from the module or the SDK get the step they happened in.
            if (!pError->Text().startsWith(m_cJob.sFileName) && !pError->IsStatic())
                pError->Format(QString("%1: %2 (%3): %4").arg(m_cJob.sFileName, cStep.sField,
                                                                 JobFile::StepName(cStep.eKind), pError->Text()));
            throw;
        }
        const double fSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - tStart).count();
        m_aStepSeconds.push_back(fSeconds);
        const QString sLabel = QString("%1 %2 %3").arg(cStep.sField, JobFile::StepName(cStep.eKind), cStep.sLayer);
        m_cOut << QString("%1  %2  %3\n").arg(sLabel.trimmed(), -34).arg(fSeconds, 8, 'f', 3)
                      .arg(MiB(varnik::Kernel::VideoMemoryUsage()), 9);
        m_cOut.flush();
    }
}
