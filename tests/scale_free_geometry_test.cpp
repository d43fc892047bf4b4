// Geometry whose picture does not depend on how it is written down: a model
// at a tenth of its size seen from a tenth of the distance, a plane equation
// times two, normals of any length, and the perturbed rays of a glossy
// surface. Each case renders two scenes from files and compares the
// pictures pixel by pixel, with a stated tolerance.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "scene/SceneReader.h"
#include "tests/support/Support.h"

using namespace support;

namespace {

// A pixel differs when one of its channels moves by more than this: one
// step of the 8-bit image and a little more, for other CPUs' rsqrt bits.
constexpr float kChannelTolerance = 1.5f / 255.f;

struct Picture {
    int width = 0, height = 0;
    std::vector<float> display;  // three channels per pixel, in [0, 1]

    size_t pixels() const { return display.size() / 3; }
    bool lit(size_t pixel, float above) const {
        const float* c = &display[3 * pixel];
        return c[0] > above || c[1] > above || c[2] > above;
    }
    // Pixels of another colour than the most common one, the background.
    size_t shown() const {
        std::map<std::array<float, 3>, size_t> counts;
        for (size_t p = 0; p < pixels(); ++p)
            ++counts[{display[3 * p], display[3 * p + 1], display[3 * p + 2]}];
        size_t background = 0;
        for (const auto& entry : counts) background = std::max(background, entry.second);
        return pixels() - background;
    }
};

using Files = std::vector<std::pair<std::string, std::string>>;  // (name, text)

// One fresh frame of the scene at its interactive size, on one thread, with
// the files beside it.
Picture render(const std::string& scene, const Files& files = {}) {
    TempWorkingDirectory dir;  // Log.txt goes there
    for (const auto& [name, text] : files) writeText(dir.file(name), text);
    writeText(dir.file("scene.txt"), scene);
    SingleThread one;
    Renderer& r = *Renderer::instance();
    std::string error;
    EXPECT_TRUE(readScene(r, dir.file("scene.txt"), error)) << error;
    r.setRandomIndex(0);
    r.setHemisphereIndex(0);
    r.render();
    Picture p;
    p.width = r.geometry().width;
    p.height = r.geometry().height;
    p.display.assign(r.displayBuffer(), r.displayBuffer() + size_t(p.width * p.height) * 3);
    return p;
}

size_t differingPixels(const Picture& a, const Picture& b) {
    size_t n = 0;
    for (size_t i = 0; i < a.display.size(); i += 3)
        for (size_t c = 0; c < 3; ++c)
            if (std::fabs(a.display[i + c] - b.display[i + c]) > kChannelTolerance) {
                ++n;
                break;
            }
    return n;
}

// The text with the numbers of every record of this keyword multiplied by
// factor, written back with enough digits to read as the same floats.
std::string scaleRecords(const std::string& text, const std::string& keyword, float factor) {
    std::istringstream in(text);
    std::string out, line;
    while (std::getline(in, line)) {
        float x, y, z;
        char buffer[128];
        if (line.rfind(keyword + " ", 0) == 0 &&
            std::sscanf(line.c_str() + keyword.size(), "%f %f %f", &x, &y, &z) == 3) {
            std::snprintf(buffer, sizeof buffer, "%s %.9g %.9g %.9g", keyword.c_str(),
                          double(x * factor), double(y * factor), double(z * factor));
            line = buffer;
        }
        out += line + "\n";
    }
    return out;
}

// Header of a picture of width x height seen from the camera position.
std::string header(int width, int height, const std::string& camera, int samples = 1) {
    return "0\n" + std::to_string(samples) + "\n" + std::to_string(width) + " " +
           std::to_string(height) + "\n8 8\n" + camera + "\n1.0\n";
}

const std::string kLitScene =
    "3\n"
    "debugmaterial 0.25 0.45 0.9\n"
    "diffusephongmaterial 0.8 0.8 0.8\n"
    "diffusephongmaterial 0.9 0.2 0.15\n";
const std::string kLamp = "1\nlamp 4 8 4 0 100 100 100 0\n";

// A slanted square of two triangles in a "triangle" entry pair, its three
// corners' normals given by the caller.
std::string slantedSquare(const std::string& normals) {
    const std::string uv = " 0 0 0 0 0 0 0 0 0 1\n";
    return "triangle -1 -1 -2  1 -1 -3  1 1 -3 " + normals + uv +
           "triangle -1 -1 -2  1 1 -3  -1 1 -2 " + normals + uv;
}

const char kBunny[] = "/usr/share/glmark2/models/bunny.obj";  // package glmark2-data

struct SamePicture {
    const char* name;
    const char* needs;  // a packaged file the case reads, or ""
    std::string first, second;
    Files firstFiles, secondFiles;
    double differing;  // the share of the second picture's shown pixels that may differ
};

std::vector<SamePicture> samePictureCases() {
    const std::string view = header(96, 72, "0 0.2 1.5");
    const std::string plane =
        header(96, 72, "0 1 4") + kLitScene + "3\nskysphere 100 0\nsphere 0 0 -2 1 2\n";
    const std::string knot =
        readText(std::string(TRESK_SOURCE_DIR) + "/examples/showcase/knot.obj");
    const std::string mesh = view + kLitScene + "2\nskysphere 100 0\ntrianglemesh m.obj 16 2\n";
    const std::string square = "o\nv -1 -1 -2\nv 1 -1 -3\nv 1 1 -3\nv -1 1 -2\n";
    const std::string bunny =
        std::string("1\ndebugmaterial 1 1 1\n1\n") + "trianglemesh bunny.obj 16 0\n0\n";
    const std::string bunnyText = readText(kBunny);
    return {
        {"PlaneEquationTimesTwo",
         "",
         plane + "plane 0 2 0 2 1\n" + kLamp,
         plane + "plane 0 1 0 1 1\n" + kLamp,
         {},
         {},
         0.0},
        {"TriangleEntryNormalsOfLengthThree",
         "",
         view + kLitScene + "3\nskysphere 100 0\n" +
             slantedSquare("1.2 0.6 2.4  1.2 0.6 2.4  1.2 0.6 2.4") + kLamp,
         view + kLitScene + "3\nskysphere 100 0\n" +
             slantedSquare("0.4 0.2 0.8  0.4 0.2 0.8  0.4 0.2 0.8") + kLamp,
         {},
         {},
         0.0},
        {"ZeroTriangleEntryNormalsAreTheGeometricOne",
         "",
         view + kLitScene + "3\nskysphere 100 0\n" + slantedSquare("0 0 0  0 0 0  0 0 0") + kLamp,
         view + kLitScene + "3\nskysphere 100 0\n" +
             slantedSquare("0.4472136 0 0.8944272  0.4472136 0 0.8944272  0.4472136 0 0.8944272") +
             kLamp,
         {},
         {},
         0.0},
        {"ObjNormalsOfLengthTwo",
         "",
         mesh + kLamp,
         mesh + kLamp,
         {{"m.obj", scaleRecords(knot, "vn", 2.f)}},
         {{"m.obj", knot}},
         0.0},
        {"ZeroObjNormalsAreTheGeometricOne",
         "",
         mesh + kLamp,
         mesh + kLamp,
         {{"m.obj", square + "vn 0 0 0\nvn 0 -0 0\nf 1//1 2//2 3//1 4//2\n"}},
         {{"m.obj", square + "f 1 2 3 4\n"}},
         0.0},
        // Only rounding in the walk and the ray origins may move the odd
        // silhouette pixel.
        {"TenthSizeModelFromATenthOfTheDistance",
         kBunny,
         header(160, 120, "0 0 0.4") + bunny,
         header(160, 120, "0 0 4") + bunny,
         {{"bunny.obj", scaleRecords(bunnyText, "v", 0.1f)}},
         {{"bunny.obj", bunnyText}},
         0.02},
    };
}

void PrintTo(const SamePicture& c, std::ostream* os) { *os << c.name; }

class SamePictures : public ::testing::TestWithParam<SamePicture> {};

TEST_P(SamePictures, AsTheirPlainForm) {
    const SamePicture& c = GetParam();
    if (c.needs[0] && !fs::exists(c.needs)) GTEST_SKIP() << c.needs << " is absent";
    const Picture first = render(c.first, c.firstFiles);
    const Picture second = render(c.second, c.secondFiles);
    const size_t shown = second.shown();
    ASSERT_GT(shown, second.pixels() / 20) << "the plain form shows too little";
    EXPECT_GE(double(first.shown()), 0.9 * double(shown));
    const size_t differing = differingPixels(first, second);
    EXPECT_LE(double(differing), c.differing * double(shown))
        << differing << " of " << first.pixels() << " pixels differ, " << shown << " shown";
}

INSTANTIATE_TEST_SUITE_P(Geometry, SamePictures, ::testing::ValuesIn(samePictureCases()),
                         [](const ::testing::TestParamInfo<SamePicture>& info) {
                             return std::string(info.param.name);
                         });

// A white ball over a dark glossy floor, whose reflection keeps the outline
// that a mirror floor shows: the blur of the perturbed rays spreads it
// evenly, so the pixels above half brightness are the mirror's pixels.
TEST(GlossyFloor, ReflectsASphereWithItsOutline) {
    const std::string scene = std::string("4\n") +
                              "debugmaterial 0.1 0.1 0.1\n"
                              "glossyreflectionmaterial 1 1 1\n"
                              "debugmaterial 1 1 1\n"
                              "simplephongmaterial 1 1 1\n"
                              "3\nskysphere 100 0\nsphere 0 0.5 -3 1 2\n";
    const Picture glossy = render(header(120, 90, "0 0.5 4", 32) + scene + "plane 0 1 0 1 1\n0\n");
    const Picture mirror = render(header(120, 90, "0 0.5 4") + scene + "plane 0 1 0 1 3\n0\n");
    size_t reflected = 0, differing = 0;
    // The floor's pixels only: the lower half of the picture, whose rows
    // come first.
    for (size_t p = 0; p < glossy.pixels() / 2; ++p) {
        reflected += mirror.lit(p, 0.5f);
        differing += glossy.lit(p, 0.5f) != mirror.lit(p, 0.5f);
    }
    ASSERT_GT(reflected, 300u);
    EXPECT_LE(differing, reflected / 4) << "of " << reflected << " pixels in the mirror";
}

}  // namespace
