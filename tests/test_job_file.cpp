// Job files: broken files are refused before anything runs, with the file and
// the field named; a sound file reads into the layers and steps it describes.
#include "VarnikTest.h"

#include <QFile>
#include "JobFile.h"

using varnik::test::TempDir;

namespace {

const unsigned int s_iMaxSize = 4096;

/// A sound job; each broken case below differs from it in one place.
const char* const s_sSound = R"({
  "settings": { "project": "out", "preferences": { "Use Texture Filtering": false }, "floatTiles": true },
  "layers": [ { "name": "base", "size": [64, 32], "format": "16float", "color": [1, 0, 0] },
              { "name": "skin", "pool": "skin.png", "tile": { "size": [32, 32] }, "tiles": [[0, 0], [1, 0]] } ],
  "steps": [ { "do": "stroke", "layer": "base", "points": [[1, 2], [60, 30]], "blend": "screen", "radius": 3 },
             { "do": "stroke", "layer": "skin", "uv": true, "points": [[1.5, 0.5]] },
             { "do": "memory", "budget": 2 },
             { "do": "save-scene", "file": "s.vks" }, { "do": "open-scene", "file": "s.vks" },
             { "do": "check", "layer": "base", "hash": "00112233445566778899aabbccddeeff00112233" } ]
})";

struct BrokenCase { const char* sJob; const char* sExpected; };

const BrokenCase s_aBroken[] = {
    { "", "job.json: the file is empty" },
    { "{ \"layers\": [", "job.json: not valid JSON at byte" },
    { "[]", "job.json: the top level must be an object" },
    { R"({ "layers": [ { "name": "a", "size": [4.5, 4] } ] })", "layers[0].size[0]: must be a whole number" },
    { R"({ "layers": [ { "name": "a", "size": "4x4" } ] })", "layers[0].size: must be an array, not a string" },
    { R"({ "layers": [ { "name": "a", "size": [4, 4], "colour": [1, 1, 1] } ] })", "layers[0].colour: unknown field" },
    { R"({ "layers": [ { "name": "a", "size": [4, 4], "format": "8bit" } ] })", "layers[0].format: unknown value \"8bit\"" },
    { R"({ "layers": [ { "name": "a", "size": [4, 4] }, { "name": "a", "size": [4, 4] } ] })",
      "layers[1].name: a layer named \"a\" exists already" },
    { R"({ "layers": [ { "name": "a", "size": [4, 4], "file": "x.png" } ] })", "layers[0]: needs exactly one of" },
    { R"({ "layers": [ { "name": "a", "file": "missing.png" } ] })", "layers[0].file: file" },
    { R"({ "layers": [ { "name": "p", "pool": "nowhere/p.png" } ] })", "layers[0].pool: folder of" },
    { R"({ "settings": { "preferences": { "Use POT Textures": "yes" } } })",
      "settings.preferences.Use POT Textures: must be a boolean or a number, not a string" },
    { R"({ "settings": { "project": "afile/out" } })", "settings.project:" },
    { R"({ "steps": [ 3 ] })", "job.json: steps[0]: must be an object, not a number" },
    { R"({ "steps": [ { "do": "paint" } ] })", "steps[0].do: unknown value \"paint\"" },
    { R"({ "steps": [ { "layer": "a" } ] })", "steps[0].do: missing" },
    { R"({ "steps": [ { "do": "proxy", "level": 5 } ] })", "steps[0].level: 5 is out of range (0 to 4)" },
    { R"({ "steps": [ { "do": "undo", "layer": "ghost" } ] })", "steps[0].layer: no layer named \"ghost\"" },
    { R"({ "layers": [ { "name": "a", "size": [8, 8] } ], "steps": [ { "do": "stroke", "layer": "a", "points": [] } ] })",
      "steps[0].points: needs at least one point" },
    { R"({ "layers": [ { "name": "a", "size": [8, 8] } ], "steps": [ { "do": "stroke", "layer": "a", "points": [[9, 1]] } ] })",
      "steps[0].points[0]: (9, 1) is outside the 8x8 layer" },
    { R"({ "layers": [ { "name": "a", "size": [8, 8] } ],
           "steps": [ { "do": "stroke", "layer": "a", "tile": [0, 0], "points": [[1, 1]] } ] })",
      "steps[0].tile: layer \"a\" is not a pool" },
    { R"({ "steps": [ { "do": "save-scene", "file": "afile/s.vks" } ] })", "steps[0].file: folder" },
    { R"({ "steps": [ { "do": "open-scene", "file": "afile" } ] })", "is not a scene file" },
    { R"({ "layers": [ { "name": "a", "size": [8, 8] } ],
           "steps": [ { "do": "check", "layer": "a", "hash": "abc" } ] })", "steps[0].hash: must be 40 hexadecimal digits" },
};

TEST(JobFile, BrokenFilesNameFileAndFieldSoundOnesReadWhole)
{
    TempDir cDir;
    QFile cFile(cDir.File("afile"));
    ASSERT_TRUE(cFile.open(QIODevice::WriteOnly));
    cFile.write("not a folder");
    cFile.close();

    for (const BrokenCase& c : s_aBroken) {
        SCOPED_TRACE(c.sJob);
        const QString sText = varnik::test::ErrorTextOf(
            [&]() { JobFile::Parse(c.sJob, "job.json", cDir.Path(), s_iMaxSize); });
        EXPECT_TRUE(sText.startsWith("job.json: ") && sText.contains(c.sExpected)) << qPrintable(sText);
    }
    EXPECT_TRUE(varnik::test::ErrorTextOf([&]() { JobFile::Load(cDir.File("absent.json"), s_iMaxSize); })
                    .contains("absent.json: cannot read the job file"));

    const JobFile cJob = JobFile::Parse(s_sSound, "job.json", cDir.Path(), s_iMaxSize);
    EXPECT_EQ(cJob.cSettings.sProject, cDir.Path() + "/out/");
    ASSERT_EQ(cJob.cSettings.aPreferences.size(), 1);
    EXPECT_EQ(cJob.cSettings.aPreferences[0].vValue, QVariant(false));
    EXPECT_EQ(cJob.cSettings.iFloatTiles, 1);
    EXPECT_EQ(cJob.cSettings.iTwoChannelTiles, -1);
    ASSERT_EQ(cJob.aLayers.size(), 2);
    EXPECT_EQ(cJob.aLayers[0].eFormat, varnik::Image::e16float);
    EXPECT_EQ(cJob.aLayers[0].cColor.a, 1.f);
    EXPECT_EQ(cJob.aLayers[1].sExtension, QString("png"));
    EXPECT_EQ(cJob.aLayers[1].aTiles, (QVector<QPoint>{ QPoint(0, 0), QPoint(1, 0) }));
    ASSERT_EQ(cJob.aSteps.size(), 6);
    EXPECT_EQ(cJob.aSteps[0].iBlendMode, 3u);
    EXPECT_EQ(cJob.aSteps[0].fRadius, 3.f);
    EXPECT_TRUE(cJob.aSteps[1].bUV);
    EXPECT_TRUE(cJob.aSteps[2].bHasBudget);
    // The scene opened is the one the step before writes, under the project folder.
    EXPECT_EQ(cJob.aSteps[4].sFile, cDir.Path() + "/out/s.vks");
}

} // namespace
