// The scene reader: the example scene, material numbering, layout freedom,
// hostile files, meshes that are missing or broken, and the log of a run.
#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

#include "core/Logger.h"
#include "core/Plane.h"
#include "core/SkySphere.h"
#include "core/Sphere.h"
#include "scene/SceneReader.h"
#include "shading/DebugMaterial.h"
#include "shading/DiffusePhongMaterial.h"
#include "shading/HdrEnvironmentMap.h"
#include "shading/SimplePhongMaterial.h"
#include "tests/TestFiles.h"
#include "tests/TestScene.h"

using namespace testing_files;
using namespace testing_scene;

namespace {

const std::string kExample = dataPath("example/scene.txt");

bool parseText(const std::string& text, SceneDescription& scene, std::string& error,
               const std::string& name = "scene.txt") {
    std::istringstream in(text);
    SceneReader reader(in, name);
    return reader.parse(scene, error);
}

bool loadText(const std::string& text, const std::string& name, std::string& error) {
    std::istringstream in(text);
    SceneReader reader(in, name);
    return reader.load(*Renderer::instance(), error);
}

std::vector<std::string> wordsOf(const std::string& text) {
    std::istringstream in(text);
    std::vector<std::string> words;
    for (std::string w; in >> w;) words.push_back(w);
    return words;
}

void expectSameScene(const SceneDescription& a, const SceneDescription& b) {
    EXPECT_EQ(a.stillMode, b.stillMode);
    EXPECT_EQ(a.giSampleCount, b.giSampleCount);
    EXPECT_EQ(a.interactiveWidth, b.interactiveWidth);
    EXPECT_EQ(a.interactiveHeight, b.interactiveHeight);
    EXPECT_EQ(a.stillWidth, b.stillWidth);
    EXPECT_EQ(a.stillHeight, b.stillHeight);
    EXPECT_EQ(a.cameraPosition, b.cameraPosition);
    EXPECT_EQ(a.exposure, b.exposure);
    ASSERT_EQ(a.materials.size(), b.materials.size());
    for (size_t i = 0; i < a.materials.size(); ++i) {
        EXPECT_EQ(a.materials[i].kind, b.materials[i].kind);
        EXPECT_EQ(a.materials[i].colour, b.materials[i].colour);
        EXPECT_EQ(a.materials[i].fileName, b.materials[i].fileName);
    }
    ASSERT_EQ(a.objects.size(), b.objects.size());
    for (size_t i = 0; i < a.objects.size(); ++i) {
        EXPECT_EQ(a.objects[i].kind, b.objects[i].kind);
        EXPECT_EQ(a.objects[i].values, b.objects[i].values);
        EXPECT_EQ(a.objects[i].material, b.objects[i].material);
        EXPECT_EQ(a.objects[i].fileName, b.objects[i].fileName);
        EXPECT_EQ(a.objects[i].kdMaxDepth, b.objects[i].kdMaxDepth);
    }
    ASSERT_EQ(a.lights.size(), b.lights.size());
    for (size_t i = 0; i < a.lights.size(); ++i) {
        EXPECT_EQ(Vec3(a.lights[i].position.x, a.lights[i].position.y, a.lights[i].position.w),
                  Vec3(b.lights[i].position.x, b.lights[i].position.y, b.lights[i].position.w));
        EXPECT_EQ(a.lights[i].colour.z, b.lights[i].colour.z);
    }
}

// A small valid scene to load before a bad one, to see that it survives.
const char* const kSmallScene =
    "0 4 8 6 10 12 0 0 5 1 1 debugmaterial 1 1 1 1 sphere 0 0 0 1 0 1 l 0 5 0 0 9 9 9 0";

}  // namespace

TEST(SceneReader, ExampleSceneLoadsWhatItDescribes) {
    CapturedNotices notices;
    std::string error;
    Renderer& r = *Renderer::instance();
    ASSERT_TRUE(readScene(r, kExample, error)) << error;
    EXPECT_TRUE(notices.notices.empty());

    EXPECT_EQ(r.giSampleCount, 16.f);
    EXPECT_EQ(r.interactiveGeometry().width, 320);
    EXPECT_EQ(r.interactiveGeometry().height, 240);
    EXPECT_EQ(r.stillGeometry().width, 640);
    EXPECT_FLOAT_EQ(r.stillGeometry().invHeight, 1.f / 480.f);
    EXPECT_FALSE(r.stillMode());
    EXPECT_EQ(r.geometry().width, 320);
    EXPECT_EQ(r.getCamera().position, Vec3(0.f, 1.f, 8.f));
    EXPECT_EQ(r.getCamera().yaw, 0.f);
    EXPECT_EQ(r.exposure, 1.f);
    EXPECT_FLOAT_EQ(r.imagePlaneZ, -1.1917542f);
    EXPECT_EQ(r.maxDepth, 3);
    EXPECT_EQ(r.sampleCount, 1.f);
    EXPECT_EQ(r.displayBuffer()[0], 0.5f);
    EXPECT_EQ(r.displayBuffer()[3 * 320 * 240 - 2], 0.75f);
    EXPECT_EQ(r.radianceBuffer()[1000], 0.f);
    EXPECT_EQ(r.randomTable().size(), size_t(Renderer::kRandomTableSize));

    ASSERT_EQ(r.materials().size(), 3u);
    const auto* grey = dynamic_cast<const DiffusePhongMaterial*>(r.materials()[0].get());
    const auto* mirror = dynamic_cast<const SimplePhongMaterial*>(r.materials()[1].get());
    ASSERT_NE(grey, nullptr);
    ASSERT_NE(mirror, nullptr);
    EXPECT_NE(dynamic_cast<const HdrEnvironmentMap*>(r.materials()[2].get()), nullptr);
    EXPECT_EQ(grey->colour.x, 0.8f);
    EXPECT_EQ(grey->colour.w, 0.f);
    EXPECT_EQ(mirror->colour.x, 1.f);
    EXPECT_EQ(mirror->colour.y, 0.f);

    ASSERT_EQ(r.objects().size(), 3u);  // the mesh lives in the tree alone
    const auto* plane = dynamic_cast<const Plane*>(r.objects()[0].get());
    const auto* sphere = dynamic_cast<const Sphere*>(r.objects()[1].get());
    const auto* sky = dynamic_cast<const SkySphere*>(r.objects()[2].get());
    ASSERT_TRUE(plane && sphere && sky);
    EXPECT_EQ(plane->equation.y, 1.f);
    EXPECT_EQ(plane->equation.w, 1.f);
    EXPECT_EQ(plane->material, grey);
    EXPECT_EQ(sphere->centre.z, -4.f);
    EXPECT_EQ(sphere->radius.y, 1.f);
    EXPECT_EQ(sphere->material, mirror);
    EXPECT_EQ(sky->radius.x, 500.f);
    EXPECT_EQ(sky->material, r.materials()[2].get());

    EXPECT_EQ(r.meshTriangleCount(), 12u);  // six quads of the cube
    EXPECT_EQ(r.kdMaxDepth, 12);
    // The cube (±0.5, scaled by 1.5) is grey and seen from the camera.
    Ray down(Vec4(0.f, 5.f, 0.f), Vec4(0.f, -1.f, 0.f));
    HitRecord hit;
    r.kdTree().findClosest(down, hit);
    ASSERT_TRUE(hit.hit);
    EXPECT_FLOAT_EQ(hit.distance, 5.f - 0.75f);
    EXPECT_EQ(hit.material, grey);

    ASSERT_EQ(r.lights().size(), 1u);
    EXPECT_EQ(r.lights()[0].position.x, 5.f);
    EXPECT_EQ(r.lights()[0].position.y, 10.f);
    EXPECT_EQ(r.lights()[0].colour.z, 150.f);
    EXPECT_EQ(r.lights()[0].colour.w, 0.f);
}

TEST(SceneReader, SameTokensOnOtherLinesReadTheSameScene) {
    const std::string text = readText(kExample);
    SceneDescription original;
    std::string error;
    ASSERT_TRUE(parseText(text, original, error)) << error;

    const std::vector<std::string> words = wordsOf(text);
    std::string oneLine, onePerLine, ragged;
    for (size_t i = 0; i < words.size(); ++i) {
        oneLine += words[i] + " ";
        onePerLine += words[i] + "\r\n";
        ragged += words[i] + (i % 3 == 0 ? "\t\t" : (i % 3 == 1 ? "\n\n \v" : " \f"));
    }
    for (const std::string& layout : {oneLine, onePerLine, ragged}) {
        SceneDescription again;
        ASSERT_TRUE(parseText(layout, again, error)) << error;
        expectSameScene(original, again);
    }
    // Built from one line, with the mesh found beside the scene file.
    CapturedNotices notices;
    ASSERT_TRUE(loadText(oneLine, kExample, error)) << error;
    EXPECT_TRUE(notices.notices.empty());
    EXPECT_EQ(Renderer::instance()->meshTriangleCount(), 12u);
    EXPECT_EQ(Renderer::instance()->objects().size(), 3u);
}

TEST(SceneReader, UnrecognisedWordsUseASlotAndGetNoNumber) {
    SceneDescription s;
    std::string error;
    // foo uses the first slot; the debug material becomes number 0. The
    // environment image takes number 1 and shifts the phong material to 2.
    // "debugmaterial" among the objects is no object keyword: it uses one
    // slot and the "1" after it is read as the next entry's keyword.
    ASSERT_TRUE(
        parseText("1 1 4 4 4 4 0 0 0 1\n"
                  "4 foo debugmaterial 1 0 0 hdrenvmap sky.hdr simplephongmaterial 0 1 0\n"
                  "5 sphere 0 0 0 1 2 debugmaterial 1 triangle"
                  " 0 0 0 1 0 0 0 1 0  0 0 1 0 0 1 0 0 1  0 0 0 1 0 0 0 1 0  0\n"
                  "plane 0 1 0 0 1\n"
                  "2 sphere 1 2 3 0 4 5 6 7 plane 0 0 0 0 0 0 0 0 trailing words are ignored",
                  s, error))
        << error;
    ASSERT_EQ(s.materials.size(), 3u);
    EXPECT_EQ(s.materialEntries, 4);
    EXPECT_EQ(s.materials[0].kind, SceneDescription::MaterialEntry::Kind::Debug);
    EXPECT_EQ(s.materials[1].fileName, "sky.hdr");
    EXPECT_EQ(s.materials[2].kind, SceneDescription::MaterialEntry::Kind::SimplePhong);
    ASSERT_EQ(s.objects.size(), 3u);
    EXPECT_EQ(s.objects[0].material, 2);
    EXPECT_EQ(s.objects[1].kind, SceneDescription::ObjectEntry::Kind::Triangle);
    EXPECT_EQ(s.objects[1].values[9], 0.f);
    EXPECT_EQ(s.objects[1].values[11], 1.f);
    EXPECT_EQ(s.objects[2].material, 1);
    ASSERT_EQ(s.lights.size(), 2u);  // named "sphere" and "plane"
    EXPECT_EQ(s.lights[0].colour.w, 7.f);
    // Allowed, but likely mistakes: each is named with its line.
    EXPECT_EQ(s.warnings,
              (std::vector<std::string>{
                  "Scene file \"scene.txt\", line 2: \"foo\" is no material keyword: it used up "
                  "one material entry and created nothing.",
                  "Scene file \"scene.txt\", line 3: \"debugmaterial\" is no object keyword: it "
                  "used up one object entry and created nothing.",
                  "Scene file \"scene.txt\", line 3: \"1\" is no object keyword: it used up one "
                  "object entry and created nothing.",
                  "Scene file \"scene.txt\", line 5: the scene ends after the last light; the rest "
                  "of the file, from \"trailing\" on, is ignored."}));

    // A misspelt keyword may leave a scene that reads without error; the
    // user is shown why in one notice, and the log keeps each warning.
    {
        TempDir dir;
        WorkingDirectory inside(dir.path());
        Logger::instance()->restart();
        CapturedNotices captured;
        ASSERT_TRUE(
            loadText("0 1 4 4 4 4 0 0 0 1\n2 debugmaterial 1 1 1\nsimplephongmaterail 1 0 0\n"
                     "1 sphere 0 0 0 1 0\n0",
                     "typo.txt", error))
            << error;
        const std::string first =
            "Scene file \"typo.txt\", line 3: \"simplephongmaterail\" is no material keyword: it "
            "used up one material entry and created nothing.";
        // The numbers after the misspelt word shift every count that follows.
        const std::string all =
            first +
            "\nScene file \"typo.txt\", line 3: \"0\" is no object keyword: it used up one object "
            "entry and created nothing.\nScene file \"typo.txt\", line 4: the scene ends after the "
            "last light; the rest of the file, from \"1\" on, is ignored.";
        ASSERT_EQ(captured.notices.size(), 1u);
        EXPECT_EQ(captured.notices[0].first, all);
        EXPECT_EQ(captured.notices[0].second, "Warning");
        EXPECT_EQ(readText("Log.txt").rfind(first + "\n\n", 0), 0u);
    }

    // Counts of zero give empty lists, and the interactive size is active
    // whatever the flag says.
    ASSERT_TRUE(loadText("1 1 4 4 8 8 0 0 0 1 0 0 0", "empty.txt", error)) << error;
    Renderer& r = *Renderer::instance();
    EXPECT_TRUE(r.materials().empty() && r.objects().empty() && r.lights().empty());
    EXPECT_EQ(r.meshTriangleCount(), 0u);
    EXPECT_FALSE(r.stillMode());
    EXPECT_EQ(r.geometry().width, 4);
    EXPECT_EQ(r.trace(Ray(Vec4(), Vec4(0.f, 0.f, -1.f)), 0).x, 0.f);
}

// Every bad file stops with one message naming the file, the line, what
// was expected and what was found, and leaves the loaded scene alone.
TEST(SceneReader, HostileFilesStopWithOneClearMessage) {
    std::string error;
    ASSERT_TRUE(loadText(kSmallScene, "small.txt", error)) << error;
    Renderer& r = *Renderer::instance();

    const std::string header = "0 4 8 6 10 12 0 0 5 1\n";
    std::string garbage;
    for (int i = 0; i < 2000; ++i) garbage.push_back(char((i * 131 + 7) % 256));
    struct Case {
        std::string text;
        int line;
        std::string says;
    };
    const std::vector<Case> cases = {
        {"", 1, "expected the still-mode flag (0 or 1), but the file ends here"},
        {"2", 1, "expected the still-mode flag (0 or 1), but found \"2\""},
        {"0 16 320 240 640", 1,
         "expected the still image height (a whole number from 1 to 16384), "
         "but the file ends here"},
        {"0 16\n320.5 240", 2,
         "expected the interactive image width (a whole number from 1 to "
         "16384), but found \"320.5\""},
        {"0 16\n0 240", 2,
         "interactive image width (a whole number from 1 to 16384), but found \"0\""},
        {"0 16\n320 -240", 2,
         "interactive image height (a whole number from 1 to 16384), but found "
         "\"-240\""},
        {"0 16\n320 240\n99999999999 2", 3,
         "still image width (a whole number from 1 to 16384), "
         "but found \"99999999999\""},
        {"0 16\n16384 16384", 2,
         "expected the interactive image size to be at most 16777216 pixels in all, "
         "but found 16384 x 16384 = 268435456 pixels"},
        {"0 nan 4 4", 1,
         "expected the GI sample count (a number from 0 to 1000000), but found "
         "\"nan\", which is not a finite number"},
        {"0 1e30 4 4", 1, "the GI sample count (a number from 0 to 1000000), but found \"1e30\""},
        {"0 1 4 4 4 4\n0 inf 0", 2,
         "the camera position y (a number), but found \"inf\", which is "
         "not a finite number"},
        {"0 1 4 4 4 4\n0 1e39 0", 2, "the camera position y (a number), but found \"1e39\""},
        {"0 1 4 4 4 4 0 0 0\n-0.5", 2, "the exposure (a number of 0 or more), but found \"-0.5\""},
        {header + "-1", 2,
         "the material count (a whole number from 0 to 1000000), but found \"-1\""},
        {header + "2000000000", 2, "but found \"2000000000\""},
        {header + "1000000 debugmaterial 1 1 1", 2,
         "a material keyword for material entry 2 of "
         "1000000, but the file ends here"},
        {header + "1 debugmaterial 1 one 1", 2,
         "the green value of \"debugmaterial\" (material "
         "entry 1 of 1) (a number), but found \"one\""},
        {header + "1 debugmaterial 1 1 1\n1 sphere 0 0 0 1 1", 3,
         "the material number of \"sphere\" (object entry 1 of 1) (a whole number from 0 to 0, as "
         "1 materials were created), but found \"1\""},
        {header + "1 debugmaterial 1 1 1\n1 plane 0 1 0 0 -1", 3, "but found \"-1\""},
        {header + "0\n1 sphere 0 0 0 1 0", 3, "no material has been created, found \"0\""},
        {header + "1 debugmaterial 1 1 1\n1 trianglemesh m.obj 1000 0", 3,
         "the kd-tree depth limit of \"trianglemesh\" (object entry 1 of 1) (a whole number from 0 "
         "to 64), but found \"1000\""},
        {header + "1 debugmaterial 1 1 1\n1 triangle 0 0 0 1 0 0 0 1", 3,
         "the z of vertex 2 of \"triangle\" (object entry 1 of 1) (a number), but the file ends "
         "here"},
        {header + "0 0\n2 lamp 1 2 3 4 5 6 7 8", 3,
         "the name of light 2 of 2 (any word), but the "
         "file ends here"},
        {header + "0 0\n1 lamp 1 2 3 4 5 6 NaN 8", 3,
         "the colour b of light \"lamp\" (light 1 of "
         "1, a number), but found \"NaN\""},
        {header + "1 debugmaterail 0.5 1 1\n", 2,
         "expected the object count (a whole number from 0 to 1000000), but found \"0.5\". (Note: "
         "on line 2, \"debugmaterail\" is no material keyword: it used up one material entry and "
         "created nothing.)"},
        {header + "1 hdrenvmap " + std::string(5000, 'x'), 2,
         "but found a word of more than 4096 "
         "characters starting \"xxxx"},
        {garbage, 1, "expected the still-mode flag (0 or 1), but found \""},
        {std::string(3000, '\0'), 1, "but found \"\\x00\\x00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        ASSERT_FALSE(loadText(c.text, "bad.txt", error));
        const std::string where = "Scene file \"bad.txt\", line " + std::to_string(c.line) + ": ";
        EXPECT_EQ(error.rfind(where, 0), 0u) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        // The earlier scene is untouched.
        EXPECT_EQ(r.interactiveGeometry().width, 8);
        EXPECT_EQ(r.materials().size(), 1u);
        EXPECT_EQ(r.objects().size(), 1u);
    }
}

TEST(SceneReader, MissingOrUnreadableSceneFile) {
    std::string error;
    EXPECT_FALSE(readScene(*Renderer::instance(), "/nonexistent/tresk/scene.txt", error));
    EXPECT_EQ(error,
              "Cannot open the scene file \"/nonexistent/tresk/scene.txt\": No such file or "
              "directory.");
    TempDir dir;
    EXPECT_FALSE(readScene(*Renderer::instance(), dir.path(), error));
    EXPECT_EQ(error, "Cannot open the scene file \"" + dir.path() + "\": it is a directory.");
}

// A mesh that is missing or broken is shown as a notice; the rest of the
// scene loads, later meshes included, and several meshes share one tree.
TEST(SceneReader, MissingAndBrokenMeshesShowANoticeAndLoadingGoesOn) {
    TempDir dir;
    fs::create_directory(dir.file("models"));
    writeText(dir.file("models/tri.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    writeText(dir.file("models/quad.obj"), "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\n");
    writeText(dir.file("models/bad.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\n\nf 1 2 -4\n");
    writeText(dir.file("scene.txt"),
              "0 1 4 4 4 4 0 0 0 1\n1 debugmaterial 1 1 1\n"
              "5 trianglemesh models/tri.obj 8 0\n"
              "trianglemesh models/missing.obj 8 0\n"
              "trianglemesh models/bad.obj 8 0\n"
              "trianglemesh models/quad.obj 5 0\n"
              "sphere 0 0 -5 1 0\n0\n");
    CapturedNotices notices;
    std::string error;
    Renderer& r = *Renderer::instance();
    ASSERT_TRUE(readScene(r, dir.file("scene.txt"), error)) << error;
    ASSERT_EQ(notices.notices.size(), 2u);
    EXPECT_EQ(notices.notices[0],
              std::make_pair(std::string("FILE NOT FOUND"), std::string("ERROR")));
    EXPECT_EQ(notices.notices[1].first,
              "Mesh file \"" + dir.file("models/bad.obj") +
                  "\", line 5: face corner \"-4\" counts back 4 vertex positions, but only 3 are "
                  "defined before it. The mesh is left out.");
    EXPECT_EQ(notices.notices[1].second, "ERROR");
    EXPECT_EQ(r.meshTriangleCount(), 3u);  // tri.obj and quad.obj
    EXPECT_EQ(r.kdMaxDepth, 5);
    EXPECT_EQ(r.objects().size(), 1u);
}

TEST(SceneReader, NamesResolveAgainstTheSceneFilesDirectory) {
    EXPECT_EQ(resolveScenePath("", "model.obj"), "model.obj");
    EXPECT_EQ(resolveScenePath("scenes/a", "model.obj"), "scenes/a/model.obj");
    EXPECT_EQ(resolveScenePath("scenes/a", "../m/model.obj"), "scenes/a/../m/model.obj");
    EXPECT_EQ(resolveScenePath("scenes", "/abs/model.obj"), "/abs/model.obj");
    std::istringstream in("");
    EXPECT_EQ(SceneReader(in, "scene.txt").baseDirectory(), "");
    EXPECT_EQ(SceneReader(in, "/x/y/scene.txt").baseDirectory(), "/x/y");
}

// The log of a run that loads one mesh: six entries, each followed by an
// empty line, and nothing of an earlier run.
TEST(Log, ARunThatLoadsOneMeshWritesSixEntries) {
    TempDir dir;
    WorkingDirectory inside(dir.path());
    writeText("Log.txt", "an earlier run\n\n");
    Logger::instance()->restart();  // as at program start
    std::string error;
    ASSERT_TRUE(readScene(*Renderer::instance(), kExample, error)) << error;
    Logger::instance()->write("Rendering Time: " + toText(47.f));
    EXPECT_EQ(readText("Log.txt"),
              "Tresk 0.5\n\nReading Scene File...\n\nPolycount: 12\n\nReading Scene File Done\n\n"
              "Random LUT Generated\n\nRendering Time: 47\n\n");
    // A failed load adds its message to the same log.
    EXPECT_FALSE(readScene(*Renderer::instance(), "missing.txt", error));
    EXPECT_NE(readText("Log.txt").find("Random LUT Generated\n\nRendering Time: 47\n\nTresk 0.5\n\n"
                                       "Reading Scene File...\n\nCannot open the scene file"),
              std::string::npos);
}
