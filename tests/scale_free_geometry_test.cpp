// Geometry whose picture does not depend on how it is written down: a model
// at a tenth of its size seen from a tenth of the distance, a plane equation
// times two, normals of any length, and the perturbed rays of a glossy
// surface. Each case renders two scenes from files and compares the
// pictures pixel by pixel, with a stated tolerance.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "tests/support/Support.h"

using namespace support;

namespace {

using Files = std::vector<std::pair<std::string, std::string>>;  // (name, text)

// The display values of one fresh frame, on one thread, with the files beside the scene.
std::vector<float> render(const std::string& scene, const Files& files = {}) {
    TempWorkingDirectory dir;  // Log.txt goes there
    for (const auto& [name, text] : files) writeText(dir.file(name), text);
    writeText(dir.file("scene.txt"), scene);
    SingleThread one;
    const Renderer& r = renderSceneFile(dir.file("scene.txt"));
    return {r.displayBuffer(), r.displayBuffer() + 3 * r.geometry().pixelCount()};
}

// Pixels of another colour than the most common one, the background.
size_t shown(const std::vector<float>& d) {
    std::map<std::array<float, 3>, size_t> counts;
    size_t background = 0;
    for (size_t i = 0; i < d.size(); i += 3)
        background = std::max(background, ++counts[{d[i], d[i + 1], d[i + 2]}]);
    return d.size() / 3 - background;
}

// Pixels with a channel apart by more than one step of the 8-bit image and
// a little more, for other CPUs' rsqrt bits.
size_t differing(const std::vector<float>& a, const std::vector<float>& b) {
    size_t n = 0;
    for (size_t i = 0; i < a.size(); i += 3)
        n += std::max({std::fabs(a[i] - b[i]), std::fabs(a[i + 1] - b[i + 1]),
                       std::fabs(a[i + 2] - b[i + 2])}) > 1.5f / 255.f;
    return n;
}

// The text with the numbers of every record of this keyword multiplied by
// factor, written back with enough digits to read as the same floats.
std::string scaleRecords(const std::string& text, const std::string& keyword, float factor) {
    std::istringstream in(text);
    std::string out, line;
    for (float x, y, z; std::getline(in, line); out += line + "\n") {
        char buffer[128];
        if (line.rfind(keyword + " ", 0) == 0 &&
            std::sscanf(line.c_str() + keyword.size(), "%f %f %f", &x, &y, &z) == 3) {
            std::snprintf(buffer, sizeof buffer, "%s %.9g %.9g %.9g", keyword.c_str(),
                          double(x * factor), double(y * factor), double(z * factor));
            line = buffer;
        }
    }
    return out;
}

// Header of a picture of width x height seen from the camera position.
std::string header(int width, int height, const std::string& camera, int samples = 1) {
    return "0\n" + std::to_string(samples) + "\n" + std::to_string(width) + " " +
           std::to_string(height) + "\n8 8\n" + camera + "\n1.0\n";
}

const char kBunny[] = "/usr/share/glmark2/models/bunny.obj";  // package glmark2-data

struct SamePicture {
    const char* name;
    std::string first, second;
    double differing = 0;  // the share of the second picture's shown pixels that may differ
    Files firstFiles = {}, secondFiles = {};
};

std::vector<SamePicture> samePictureCases() {
    const std::string lamp = "1\nlamp 4 8 4 0 100 100 100 0\n";
    const std::string materials =
        "3\ndebugmaterial 0.25 0.45 0.9\ndiffusephongmaterial 0.8 0.8 0.8\n"
        "diffusephongmaterial 0.9 0.2 0.15\n";
    const std::string lit = header(96, 72, "0 0.2 1.5") + materials;
    const std::string plane =
        header(96, 72, "0 1 4") + materials + "3\nskysphere 100 0\nsphere 0 0 -2 1 2\n";
    // A slanted square of two "triangle" entries, every corner with this normal.
    auto square = [&](const std::string& n) {
        const std::string corners = n + " " + n + " " + n + " 0 0 0 0 0 0 0 0 0 1\n";
        return lit + "3\nskysphere 100 0\ntriangle -1 -1 -2  1 -1 -3  1 1 -3 " + corners +
               "triangle -1 -1 -2  1 1 -3  -1 1 -2 " + corners + lamp;
    };
    const std::string mesh = lit + "2\nskysphere 100 0\ntrianglemesh m.obj 16 2\n" + lamp;
    const std::string knot =
        readText(std::string(TRESK_SOURCE_DIR) + "/examples/showcase/knot.obj");
    const std::string quad = "o\nv -1 -1 -2\nv 1 -1 -3\nv 1 1 -3\nv -1 1 -2\n";
    const std::string bunny = "1\ndebugmaterial 1 1 1\n1\ntrianglemesh bunny.obj 16 0\n0\n";
    const Files twoLong = {{"m.obj", scaleRecords(knot, "vn", 2.f)}}, unit = {{"m.obj", knot}},
                zero = {{"m.obj", quad + "vn 0 0 0\nvn 0 -0 0\nf 1//1 2//2 3//1 4//2\n"}},
                none = {{"m.obj", quad + "f 1 2 3 4\n"}};
    std::vector<SamePicture> cases = {
        {"PlaneEquationTimesTwo", plane + "plane 0 2 0 2 1\n" + lamp,
         plane + "plane 0 1 0 1 1\n" + lamp},
        {"TriangleEntryNormalsOfLengthThree", square("1.2 0.6 2.4"), square("0.4 0.2 0.8")},
        {"ZeroTriangleEntryNormalsAreTheGeometricOne", square("0 0 0"),
         square("0.4472136 0 0.8944272")},
        {"ObjNormalsOfLengthTwo", mesh, mesh, 0, twoLong, unit},
        {"ZeroObjNormalsAreTheGeometricOne", mesh, mesh, 0, zero, none}};
    // Only rounding in the walk and the ray origins may move the odd
    // silhouette pixel.
    if (fs::exists(kBunny))
        cases.push_back({"TenthSizeModelFromATenthOfTheDistance",
                         header(160, 120, "0 0 0.4") + bunny,
                         header(160, 120, "0 0 4") + bunny,
                         0.02,
                         {{"bunny.obj", scaleRecords(readText(kBunny), "v", 0.1f)}},
                         {{"bunny.obj", readText(kBunny)}}});
    return cases;
}

void PrintTo(const SamePicture& c, std::ostream* os) { *os << c.name; }

class SamePictures : public ::testing::TestWithParam<SamePicture> {};

TEST_P(SamePictures, AsTheirPlainForm) {
    const SamePicture& c = GetParam();
    const std::vector<float> first = render(c.first, c.firstFiles);
    const std::vector<float> second = render(c.second, c.secondFiles);
    const size_t pixels = second.size() / 3, plain = shown(second),
                 apart = differing(first, second);
    ASSERT_GT(plain, pixels / 20) << "the plain form shows too little";
    EXPECT_GE(double(shown(first)), 0.9 * double(plain));
    EXPECT_LE(double(apart), c.differing * double(plain))
        << apart << " of " << pixels << " pixels differ, " << plain << " shown";
}

INSTANTIATE_TEST_SUITE_P(Geometry, SamePictures, ::testing::ValuesIn(samePictureCases()),
                         [](const auto& info) { return std::string(info.param.name); });

// A white ball over a dark glossy floor, whose reflection keeps the outline
// that a mirror floor shows: the blur of the perturbed rays spreads it
// evenly, so the pixels above half brightness are the mirror's pixels.
TEST(GlossyFloor, ReflectsASphereWithItsOutline) {
    const std::string scene =
        "4\ndebugmaterial 0.1 0.1 0.1\nglossyreflectionmaterial 1 1 1\ndebugmaterial 1 1 1\n"
        "simplephongmaterial 1 1 1\n3\nskysphere 100 0\nsphere 0 0.5 -3 1 2\n";
    const auto glossy = render(header(120, 90, "0 0.5 4", 32) + scene + "plane 0 1 0 1 1\n0\n");
    const auto mirror = render(header(120, 90, "0 0.5 4") + scene + "plane 0 1 0 1 3\n0\n");
    size_t reflected = 0, apart = 0;
    // The floor's pixels only: the lower half of the picture, whose rows
    // come first; everything is grey, so the red channel tells.
    for (size_t i = 0; i < glossy.size() / 2; i += 3) {
        reflected += mirror[i] > 0.5f;
        apart += (glossy[i] > 0.5f) != (mirror[i] > 0.5f);
    }
    ASSERT_GT(reflected, 300u);
    EXPECT_LE(apart, reflected / 4) << "of " << reflected << " pixels in the mirror";
}

}  // namespace
