// The scene reader: the example scene, layout freedom, words it does not
// know, hostile files, meshes that are missing or broken, the log of a run.
#include <gtest/gtest.h>

#include <algorithm>

#include "app/Notify.h"
#include "app/ReportDiagnostics.h"
#include "core/Plane.h"
#include "core/SkySphere.h"
#include "core/Sphere.h"
#include "scene/SceneMaterials.h"
#include "scene/SceneReader.h"
#include "shading/DiffusePhongMaterial.h"
#include "shading/SimplePhongMaterial.h"
#include "tests/support/Support.h"

using namespace support;

const std::string kExample = dataPath("example/scene.txt");

// The example scene as written, and its words on other lines with other
// blanks between them (line breaks carry no meaning) after a UTF-8
// byte-order mark, which is skipped: the same scene.
TEST(SceneReader, ExampleSceneLoadsWhatItDescribesInAnyLayout) {
    std::istringstream words(readText(kExample));
    std::string ragged = "\xEF\xBB\xBF";
    int i = 0;
    for (std::string w; words >> w; ++i)
        ragged += w + (i % 3 == 0 ? "\t\t" : (i % 3 == 1 ? "\r\n\n \v" : " \f"));
    Diagnostics diagnostics;
    Renderer& r = *Renderer::instance();
    for (bool asWritten : {true, false}) {
        std::string error;
        ASSERT_TRUE(asWritten ? readScene(r, kExample, error, diagnostics)
                              : loadSceneText(ragged, kExample, error, diagnostics))
            << error;
        EXPECT_TRUE(r.giSampleCount == 16.f && r.exposure == 1.f);
        EXPECT_EQ(r.geometry().width * 1000 + r.geometry().height, 320240);
        EXPECT_EQ(r.stillGeometry().width * 1000 + r.stillGeometry().height, 640480);
        EXPECT_EQ(r.getCamera().position, Vec3(0.f, 1.f, 8.f));
        ASSERT_EQ(r.materials().size(), 3u);
        const auto* grey = dynamic_cast<const DiffusePhongMaterial*>(r.materials()[0].get());
        ASSERT_TRUE(grey && grey->colour.x == 0.8f);
        ASSERT_TRUE(dynamic_cast<const SimplePhongMaterial*>(r.materials()[1].get()));
        ASSERT_EQ(r.objects().size(), 3u);  // the mesh lives in the tree alone
        const auto* plane = dynamic_cast<const Plane*>(r.objects()[0].get());
        const auto* sphere = dynamic_cast<const Sphere*>(r.objects()[1].get());
        ASSERT_TRUE(plane && sphere && dynamic_cast<const SkySphere*>(r.objects()[2].get()));
        EXPECT_EQ(plane->equation, Vec4(0, 1, 0, 1));
        EXPECT_TRUE(sphere->centre.z == -4.f && sphere->material == r.materials()[1].get());
        // The cube of model.obj (±0.5, scaled by 1.5), grey, seen from above.
        EXPECT_EQ(r.meshTriangleCount(), 12u);
        HitRecord hit;
        r.kdTree().findClosest(ray(0, 5, 0, 0, -1, 0), hit);
        EXPECT_TRUE(hit.hit && hit.distance == 5.f - 0.75f && hit.material == grey);
        ASSERT_EQ(r.lights().size(), 1u);
        EXPECT_EQ(r.lights()[0].position, Vec4(5, 10, 0, 0));
        EXPECT_EQ(r.lights()[0].colour, Vec4(150, 150, 150, 0));
    }
    EXPECT_TRUE(diagnostics.empty());
}

// A word that is no keyword uses up its entry, creates nothing and shifts
// the material numbers; each such word, and words after the last light, are
// named in a warning with its line, shown in one notice and in the log.
TEST(SceneReader, UnknownWordsUseAnEntryAndAreNamed) {
    TempWorkingDirectory dir;
    CapturedNotices captured;
    std::string error;
    Diagnostics diagnostics;
    ASSERT_TRUE(loadSceneText(
        "0 1 4 4 4 4 0 0 0 1\n3 foo debugmaterial 1 0 0 simplephongmaterial 0 1 0\n"
        "3 sphere 0 0 -5 1 1 debugmaterial plane 0 1 0 1 0\n1 l 0 5 0 0 9 9 9 0 trailing",
        "typo.txt", error, diagnostics))
        << error;
    ASSERT_EQ(diagnostics.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(diagnostics[size_t(i)].severity == Severity::Warning &&
                    diagnostics[size_t(i)].file == "typo.txt" &&
                    diagnostics[size_t(i)].line == i + 2);
    reportDiagnostics(diagnostics);
    Renderer& r = *Renderer::instance();
    ASSERT_EQ(r.materials().size(), 2u);
    ASSERT_EQ(r.objects().size(), 2u);
    EXPECT_EQ(r.objects()[0]->material, r.materials()[1].get());
    ASSERT_EQ(captured.notices.size(), 1u);
    EXPECT_EQ(captured.notices[0].second, "Warning");
    const std::string where = "Scene file \"typo.txt\", line ";
    EXPECT_EQ(captured.notices[0].first, where +
                                             "2: \"foo\" is no material keyword: it used up one "
                                             "material entry and created nothing.\n" +
                                             where +
                                             "3: \"debugmaterial\" is no object keyword: it used "
                                             "up one object entry and created nothing.\n" +
                                             where +
                                             "4: the scene ends after the last light; the rest of "
                                             "the file, from \"trailing\" on, is ignored.");
    EXPECT_NE(readText("Log.txt").find("\"foo\" is no material keyword"), std::string::npos);
}

// The README's table of material entries lists every row of the material
// table, each keyword with what follows it.
TEST(SceneReader, TheReadmeListsEveryMaterial) {
    const std::string readme = readText(std::string(TRESK_SOURCE_DIR) + "/README.md");
    const std::string header = "| material entry | what it is |\n|---|---|\n";
    size_t at = readme.find(header);
    ASSERT_NE(at, std::string::npos);
    std::vector<std::string> documented, table;
    for (at += header.size(); readme.compare(at, 3, "| `") == 0; at = readme.find('\n', at) + 1)
        documented.push_back(readme.substr(at + 3, readme.find('`', at + 3) - at - 3));
    for (const SceneMaterial& row : sceneMaterials())
        table.push_back(std::string(row.keyword) +
                        (row.parameters == MaterialParameters::Colour ? " r g b" : " file.hdr"));
    std::sort(documented.begin(), documented.end());
    std::sort(table.begin(), table.end());
    EXPECT_EQ(documented, table);
}

// Every bad file stops with one message naming the file, the line, what was
// expected and what was found, and leaves the scene loaded before as it was.
TEST(SceneReader, HostileFilesStopWithOneClearMessage) {
    std::string error;
    ASSERT_TRUE(loadSceneText(
        "0 4 8 6 10 12 0 0 5 1 1 debugmaterial 1 1 1 1 sphere 0 0 0 1 0 1 l 0 5 0 0 9 9 9 0",
        "small.txt", error))
        << error;
    Renderer& r = *Renderer::instance();
    const std::string header = "0 4 8 6 10 12 0 0 5 1\n";
    std::string garbage;
    for (int i = 0; i < 2000; ++i) garbage.push_back(char((i * 131 + 7) % 256));
    const struct {
        std::string text;
        int line;
        std::string says;
    } cases[] = {
        {"", 1, "expected the still-mode flag (0 or 1), but the file ends here"},
        {"0 16\n320.5 240", 2,
         "expected the interactive image width (a whole number from 1 to 16384), but found "
         "\"320.5\""},
        {"0 16\n16384 16384", 2,
         "expected the interactive image size to be at most 16777216 pixels in all, but found "
         "16384 x 16384 = 268435456 pixels"},
        {"0 nan 4 4", 1,
         "the GI sample count (a number from 0 to 1000000), but found \"nan\", which is not a "
         "finite number"},
        {header + "2000000000", 2,
         "the material count (a whole number from 0 to 1000000), but found \"2000000000\""},
        {header + "-1 0 0", 2,
         "the material count (a whole number from 0 to 1000000), but found \"-1\""},
        {header + "0 -1 0", 2,
         "the object count (a whole number from 0 to 1000000), but found \"-1\""},
        {header + "0 0 -1", 2,
         "the light count (a whole number from 0 to 1000000), but found \"-1\""},
        {header + "1000000 debugmaterial 1 1 1", 2,
         "a material keyword for material entry 2 of 1000000, but the file ends here"},
        {header + "1 debugmaterial 1 1 1\n1 sphere 0 0 0 1 1", 3,
         "the material number of \"sphere\" (object entry 1 of 1) (a whole number from 0 to 0, as "
         "1 materials were created), but found \"1\""},
        {header + "1 debugmaterial 1 1 1\n1 plane 0 0\n-0 1 0", 4,
         "expected a plane normal (a, b, c) other than zero of \"plane\" (object entry 1 of 1), "
         "but found 0 0 0"},
        {header + "0\n1 sphere 0 0 0 1 0", 3, "no material has been created, found \"0\""},
        {header + "1 debugmaterial 1 1 1\n1 modelmesh m.obj 65 0", 3,
         "the kd-tree depth limit of \"modelmesh\" (object entry 1 of 1) (a whole number from 0 "
         "to 64), but found \"65\""},
        {header + "0 0\n1 lamp 1 2 3 4 5 6 NaN 8", 3,
         "the colour b of light \"lamp\" (light 1 of 1, a number), but found \"NaN\""},
        {header + "1 debugmaterail 0.5 1 1\n", 2,
         "but found \"0.5\". (Note: on line 2, \"debugmaterail\" is no material keyword"},
        {header + "1 hdrenvmap " + std::string(5000, 'x'), 2,
         "but found a word of more than 4096 characters starting \"xxxx"},
        {garbage, 1, "expected the still-mode flag (0 or 1), but found \""},
        {std::string(3000, '\0'), 1, "but found \"\\x00\\x00"},
    };
    for (const auto& c : cases) {
        ASSERT_FALSE(loadSceneText(c.text, "bad.txt", error)) << c.text.substr(0, 80);
        EXPECT_EQ(error.rfind("Scene file \"bad.txt\", line " + std::to_string(c.line) + ": ", 0),
                  0u)
            << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        EXPECT_EQ(r.interactiveGeometry().width, 8);
        EXPECT_EQ(r.materials().size(), 1u);
        EXPECT_EQ(r.objects().size(), 1u);
        EXPECT_EQ(r.lights().size(), 1u);
    }
    EXPECT_FALSE(readScene(r, "/nonexistent/scene.txt", error));
    EXPECT_EQ(error,
              "Cannot open the scene file \"/nonexistent/scene.txt\": No such file or directory.");
    EXPECT_FALSE(readScene(r, "/tmp", error));
    EXPECT_EQ(error, "Cannot open the scene file \"/tmp\": it is a directory.");
}

// A mesh that is missing or broken is an error shown as a notice; the rest loads,
// later meshes included, named relative to the scene file's folder. A
// mesh's degenerate triangles are left out, counted in one warning.
TEST(SceneReader, MissingAndBrokenMeshesShowANoticeAndLoadingGoesOn) {
    TempDir dir;
    fs::create_directory(dir.file("models"));
    writeText(dir.file("models/tri.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    writeText(dir.file("models/quad.obj"),
              "v 0 0 0\nv 1 0 0\nv 1 1 0\nv 0 1 0\nf 1 2 3 4\nf 1 2 2\nf 1 2 1 2\n");
    writeText(dir.file("models/bad.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\n\nf 1 2 -4\n");
    writeText(dir.file("scene.txt"),
              "0 1 4 4 4 4 0 0 0 1\n2 debugmaterial 1 1 1 hdrenvmap none.hdr\n"
              "5 trianglemesh models/tri.obj 8 0\n"
              "trianglemesh models/missing.obj 8 0  trianglemesh models/bad.obj 8 0\n"
              "trianglemesh models/quad.obj 5 0  sphere 0 0 -5 1 0\n0\n");
    CapturedNotices notices;
    std::string error;
    Diagnostics diagnostics;
    Renderer& r = *Renderer::instance();
    ASSERT_TRUE(readScene(r, dir.file("scene.txt"), error, diagnostics)) << error;
    ASSERT_EQ(diagnostics.size(), 4u);
    EXPECT_EQ(diagnostics[0].severity, Severity::Warning);  // materials are made first
    EXPECT_EQ(diagnostics[1].logged(), "FILE NOT FOUND: " + dir.file("models/missing.obj"));
    EXPECT_EQ(diagnostics[3].severity, Severity::Note);
    // As the viewer and tresk-render show them: the image on stderr, and
    // over the viewer's picture, never in a box.
    TempWorkingDirectory logHere;
    ::testing::internal::CaptureStderr();
    reportDiagnostics(diagnostics);
    const std::string image = "Environment image \"" + dir.file("none.hdr") + "\": is missing";
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("tresk: " + image), std::string::npos);
    EXPECT_NE(readText("Log.txt").find(image), std::string::npos);
    ASSERT_EQ(notices.notices.size(), 4u);
    EXPECT_EQ(notices.notices[0],
              std::make_pair(std::string("FILE NOT FOUND"), std::string("ERROR")));
    EXPECT_EQ(notices.notices[1].first,
              "Mesh file \"" + dir.file("models/bad.obj") +
                  "\", line 5: face corner \"-4\" counts back 4 vertex positions, but only 3 are "
                  "defined before it. The mesh is left out.");
    EXPECT_EQ(notices.notices[2],
              std::make_pair("Mesh file \"" + dir.file("models/quad.obj") +
                                 "\": 3 triangles were left out: their corners lie on one point "
                                 "or on one line.",
                             std::string(kNoteCaption)));
    EXPECT_EQ(notices.notices[3].second, kOverlayCaption);
    EXPECT_EQ(notices.notices[3].first.find(image), 0u);
    EXPECT_EQ(r.meshTriangleCount(), 3u);  // tri.obj and quad.obj
    EXPECT_EQ(r.objects().size(), 1u);
}
