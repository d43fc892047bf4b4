// The environment image: the nearest-texel lookup by direction, files that
// are not usable, and a real HDR photograph read independently.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "shading/HdrEnvironmentMap.h"
#include "tests/support/Support.h"

using namespace support;

namespace {

// An image whose texel (x, y) is (x + 1, y + 1, 0.5): the lookup's colour
// names the column and row it read.
::testing::AssertionResult loadIndexImage(HdrEnvironmentMap& map, const TempDir& dir, int w,
                                          int h) {
    const std::string path = dir.file(std::to_string(w) + "x" + std::to_string(h) + ".hdr");
    if (!writeHdr(path, w, h,
                  [](int x, int y) {
                      return std::array<float, 3>{float(x + 1), float(y + 1), 0.5f};
                  }) ||
        !map.load(path))
        return ::testing::AssertionFailure() << "cannot write and load " << path;
    return ::testing::AssertionSuccess();
}

std::array<int, 2> cell(const Vec4& texel) { return {int(texel.x) - 1, int(texel.y) - 1}; }

}  // namespace

// +y reads row 0, -y the row before the last, -z the middle column, -x the
// first quarter, +x the third (floored), +z the seam where x's sign decides.
// No direction, however long, short or undefined, reads outside the image.
TEST(HdrEnvironmentMap, DirectionsReadTheirColumnsAndRowsAndStayInside) {
    TempDir dir;
    HdrEnvironmentMap five, six, column, row;
    ASSERT_TRUE(loadIndexImage(five, dir, 5, 5));
    ASSERT_TRUE(loadIndexImage(six, dir, 6, 4));
    ASSERT_TRUE(loadIndexImage(column, dir, 1, 4));
    ASSERT_TRUE(loadIndexImage(row, dir, 4, 1));
    const struct {
        const HdrEnvironmentMap& map;
        Vec4 direction;
        int axis, index;
    } cases[] = {
        {five, Vec4(0, 1, 0), 1, 0},        {five, Vec4(0, -1, 0), 1, 3},
        {five, Vec4(0, 0, -1), 0, 2},       {five, Vec4(0, 0, -1), 1, 1},
        {five, Vec4(-1, 0, 0), 0, 1},       {five, Vec4(1, 0, 0), 0, 2},
        {five, Vec4(0, 0, 1), 0, 3},        {five, Vec4(-1e-6f, 0, 1), 0, 0},
        {six, Vec4(1, 0, 0), 0, 3},         {six, Vec4(0, 0, -1), 0, 2},
        {six, Vec4(0, -1, 0), 1, 2},        {column, Vec4(0, -1, 0), 1, 2},
        {row, Vec4(1, 0, 0), 0, 2},         {five, Vec4(0, 1.0005f, 0), 1, 0},
        {five, Vec4(0, -1.0005f, 0), 1, 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(cell(c.map.lookup(c.direction))[size_t(c.axis)], c.index)
            << c.direction << " axis " << c.axis;
    const float nan = std::numeric_limits<float>::quiet_NaN(),
                inf = std::numeric_limits<float>::infinity();
    for (const Vec4& n :
         {Vec4(nan, nan, nan), Vec4(inf, -inf, inf), Vec4(0, 0, 0), Vec4(1e30f, -1e30f, 1e30f)})
        for (const HdrEnvironmentMap* map : {&five, &column, &row}) {
            const auto c = cell(map->lookup(n));
            EXPECT_TRUE(c[0] >= 0 && c[0] < map->width && c[1] >= 0 && c[1] < map->height) << n;
        }
    HitRecord hit;
    hit.normal = Vec4(0, 1, 0);
    EXPECT_EQ(five.shade(hit), five.lookup(Vec4(0, 1, 0)));  // the lookup of the normal
}

// A file the library cannot read, or a missing one, leaves no image: the
// lookup is black, and the problem names the file (the scene reader hands
// it on; tresk and tresk-render write it to the log and stderr); a failed
// load after a good one drops the earlier image too.
// The bounded angles find the texel of the C library's atan2 and acos, on
// random directions and on axes, signed zeros, huge, infinite and undefined
// components.
TEST(HdrEnvironmentMap, TexelIsTheLibraryAnglesTexel) {
    HdrEnvironmentMap map;
    map.width = 2048;
    map.height = 1023;
    std::mt19937 random(3);
    std::uniform_real_distribution<float> coordinate(-1.f, 1.f);
    std::vector<Vec4> directions;
    for (int i = 0; i < 200000; ++i)
        directions.emplace_back(coordinate(random), coordinate(random), coordinate(random));
    const float special[] = {0.f, -0.f, 1.f, -1.f, 1e-30f, -1e-7f, 1e30f, INFINITY, NAN};
    for (float a : special)
        for (float b : special)
            for (float c : special) directions.emplace_back(a, b, c);
    for (const Vec4& n : directions) {
        const double ny = std::clamp(double(n.y), -1.0, 1.0);
        EXPECT_EQ(map.texelOf(n), size_t(map.columnOf(std::atan2(double(n.x), -double(n.z)))) +
                                      size_t(map.rowOf(std::acos(ny))) * size_t(map.width))
            << n;
    }
}

TEST(HdrEnvironmentMap, UnusableFilesGiveBlackAndAreReported) {
    TempWorkingDirectory dir;
    writeText("text.hdr", "#?RADIANCE\nthis is not a picture\n");
    FIBITMAP* b = FreeImage_Allocate(4, 4, 24);
    ASSERT_TRUE(FreeImage_Save(FIF_PNG, b, "picture.png", 0));
    FreeImage_Unload(b);
    HdrEnvironmentMap map;
    ASSERT_TRUE(loadIndexImage(map, dir, 3, 3));
    const char* const unreadable = "cannot be read as a Radiance HDR image";
    for (const auto& [path, reason] : {std::pair<std::string, const char*>("text.hdr", unreadable),
                                       {"picture.png", unreadable},
                                       {"missing.hdr", "is missing"}}) {
        EXPECT_FALSE(map.load(path)) << path;
        EXPECT_NE(map.problem().find("\"" + path + "\": " + reason), std::string::npos)
            << map.problem();
        EXPECT_EQ(map.lookup(Vec4(0, 1, 0)), Vec4());
    }
}

// A real photograph (CC0, blender-data, an OpenEXR file converted to
// Radiance HDR here): the named directions read the texels that the image
// library hands out for those rows and columns.
TEST(HdrEnvironmentMap, RealPhotographMatchesItsScanLines) {
    const char* source = "/usr/share/blender/datafiles/studiolights/world/forest.exr";
    FIBITMAP* loaded = FreeImage_Load(FIF_EXR, source, 0);
    if (!loaded) GTEST_SKIP() << source << " is absent (package blender-data)";
    FIBITMAP* rgbf = FreeImage_ConvertToRGBF(loaded);
    FreeImage_Unload(loaded);
    TempDir dir;
    ASSERT_TRUE(rgbf && FreeImage_Save(FIF_HDR, rgbf, dir.file("forest.hdr").c_str(), 0));
    FreeImage_Unload(rgbf);
    FIBITMAP* reread = FreeImage_Load(FIF_HDR, dir.file("forest.hdr").c_str(), 0);
    HdrEnvironmentMap map;
    ASSERT_TRUE(reread && map.load(dir.file("forest.hdr")));
    const int w = int(FreeImage_GetWidth(reread)), h = int(FreeImage_GetHeight(reread));
    ASSERT_TRUE(map.width == w && map.height == h);
    auto texel = [&](int x, int y) {
        const FIRGBF& t = reinterpret_cast<const FIRGBF*>(FreeImage_GetScanLine(reread, y))[x];
        return Vec4(t.red, t.green, t.blue, 0.f);
    };
    // Just below the exact fractions: the angles land a hair short of them.
    auto below = [](double v) { return int(std::ceil(v) - 1); };
    const int middle = below(0.5 * (h - 1));
    EXPECT_EQ(map.lookup(Vec4(0, 1, 0)), texel(below(w - 1.0), 0));
    EXPECT_EQ(map.lookup(Vec4(0, -1, 0)), texel(below(w - 1.0), below(h - 1.0)));
    EXPECT_EQ(map.lookup(Vec4(0, 0, -1)), texel((w - 1) / 2, middle));
    EXPECT_EQ(map.lookup(Vec4(-1, 0, 0)), texel(int(0.25 * (w - 1)), middle));
    EXPECT_EQ(map.lookup(Vec4(1, 0, 0)), texel(below(0.75 * (w - 1)), middle));
    FreeImage_Unload(reread);
}
