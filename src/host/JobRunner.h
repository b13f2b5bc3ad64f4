#pragma once
#include <memory>
#include <vector>
#include <QString>
#include <QTextStream>
#include "JobFile.h"

namespace varnik {
class Image;
class Node;
class Texture;
class TexturePool;
}

/// Runs a checked job: makes its layers through the loaded module, runs the
/// steps in order, and prints one table row per step (name, time, video
/// memory). A step that fails stops the job; the error names the step.
class JobRunner
{
public:
    /// One layer while the job runs: a texture or a pool, owned here.
    struct Layer
    {
        QString sName;
        std::unique_ptr<varnik::Node> pNode;     ///< the texture or pool node
        varnik::Texture* pTexture = nullptr;     ///< set for plain layers
        varnik::TexturePool* pPool = nullptr;    ///< set for pools
    };

    JobRunner(const JobFile& cJob, QTextStream& out);
    ~JobRunner();

    /// Applies the settings (checking the preference names against the loaded
    /// module), then makes the layers and runs every step. Throws a
    /// `varnik::Error` pointer for a failing step; settings that do not fit the
    /// module are reported before anything is made.
    void Run();

    /// Layers as they stand (after the last step).
    const std::vector<Layer>& Layers() const { return m_aLayers; }
    /// The textures of a layer: the texture itself, or the pool's tiles in table order.
    static std::vector<varnik::Texture*> Textures(const Layer& cLayer);
    /// The content of a texture at full resolution, read back without moving it.
    static std::unique_ptr<varnik::Image> ReadBack(varnik::Texture* pTexture);
    /// SHA-1 of a texture's pixels in its own format (lower-case hex).
    static QString ContentHash(varnik::Texture* pTexture);
    /// Seconds each step took, in step order (for the demo's table).
    const std::vector<double>& StepSeconds() const { return m_aStepSeconds; }

private:
    void ApplySettings();
    void MakeLayer(const JobFile::Layer& cLayer);
    void RunStep(const JobFile::Step& cStep);
    Layer& FindLayer(const JobFile::Step& cStep);
    /// The texture a step addresses: a plain layer, or a pool's tile (the step's, else (0, 0)).
    varnik::Texture* StepTexture(const JobFile::Step& cStep);
    std::vector<Layer*> StepLayers(const JobFile::Step& cStep);
    void Stroke(const JobFile::Step& cStep);
    void MemoryFactor(const JobFile::Step& cStep);
    void Save(const JobFile::Step& cStep);
    void OpenScene(const JobFile::Step& cStep);
    void Check(const JobFile::Step& cStep);
    [[noreturn]] void Fail(const JobFile::Step& cStep, const QString& sWhat) const;

    const JobFile& m_cJob;
    QTextStream& m_cOut;
    std::vector<Layer> m_aLayers;        ///< in job order
    std::vector<double> m_aStepSeconds;  ///< per step run
};
