// The environment image: loading Radiance HDR files, the nearest-texel
// lookup by direction, and what happens with files that are not usable.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <sstream>
#include <string>

#include "core/SkySphere.h"
#include "shading/HdrEnvironmentMap.h"
#include "tests/HdrFiles.h"
#include "tests/TestFiles.h"
#include "tests/TestScene.h"

using hdr_files::TempFile;
using hdr_files::TexelReader;
using hdr_files::writeHdr;

namespace {

// Texel (x, y) of a small test image: red counts columns, green rows. Small
// integers times a power of two, so RGBE stores them exactly.
std::array<float, 3> indexTexel(int x, int y) { return {float(x + 1), float(y + 1), 0.5f}; }

TempFile writeIndexImage(const std::string& name, int w, int h) {
    TempFile file(name);
    EXPECT_TRUE(writeHdr(file, w, h, indexTexel));
    return file;
}

// Column and row that the lookup read, recovered from the texel's colour.
std::array<int, 2> cell(const Vec4& texel) { return {int(texel.x) - 1, int(texel.y) - 1}; }

::testing::AssertionResult sameTexel(const Vec4& looked, const std::array<float, 3>& read) {
    if (looked.x == read[0] && looked.y == read[1] && looked.z == read[2] && looked.w == 0.f)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "lookup gave " << looked << ", the image holds ("
                                         << read[0] << ", " << read[1] << ", " << read[2] << ")";
}

}  // namespace

// The directions with a named place in the picture, on 5- and 6-texel-wide
// images: +y reads row 0, −y the row before the last (the angle π lands just
// below height − 1), −z the middle column, −x the first quarter and +x the
// third quarter, floored (column 2 of 5, column 3 of 6).
TEST(HdrEnvironmentMap, NamedDirectionsReadTheirColumnsAndRows) {
    HdrEnvironmentMap five;
    ASSERT_TRUE(five.load(writeIndexImage("five.hdr", 5, 5)));
    EXPECT_EQ(five.width, 5);
    EXPECT_EQ(five.height, 5);
    EXPECT_EQ(cell(five.lookup(Vec4(0, 1, 0)))[1], 0);
    EXPECT_EQ(cell(five.lookup(Vec4(0, -1, 0)))[1], 3);
    EXPECT_EQ(cell(five.lookup(Vec4(0, 0, -1))), (std::array<int, 2>{2, 1}));
    EXPECT_EQ(cell(five.lookup(Vec4(-1, 0, 0)))[0], 1);
    EXPECT_EQ(cell(five.lookup(Vec4(1, 0, 0)))[0], 2);
    // +z is the seam: the sign of x decides the side.
    EXPECT_EQ(cell(five.lookup(Vec4(0, 0, 1)))[0], 3);
    EXPECT_EQ(cell(five.lookup(Vec4(-1e-6f, 0, 1)))[0], 0);

    HdrEnvironmentMap six;
    ASSERT_TRUE(six.load(writeIndexImage("six.hdr", 6, 4)));
    EXPECT_EQ(cell(six.lookup(Vec4(1, 0, 0)))[0], 3);
    EXPECT_EQ(cell(six.lookup(Vec4(0, 0, -1)))[0], 2);
    EXPECT_EQ(cell(six.lookup(Vec4(0, -1, 0)))[1], 2);

    // shade() reads only the normal of the record.
    HitRecord hit;
    hit.normal = Vec4(0, 1, 0);
    hit.position = Vec4(7, 7, 7);
    EXPECT_EQ(five.shade(hit), five.lookup(Vec4(0, 1, 0)));
}

// The bounded angles find the texel of the C library's atan2 and acos, on
// random directions, the axes and signed zeros, and near the seam behind.
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

TEST(HdrEnvironmentMap, OneTexelWideOrHighImages) {
    HdrEnvironmentMap column, row;
    ASSERT_TRUE(column.load(writeIndexImage("column.hdr", 1, 4)));
    ASSERT_TRUE(row.load(writeIndexImage("row.hdr", 4, 1)));
    const Vec4 directions[] = {Vec4(0, 1, 0),
                               Vec4(0, -1, 0),
                               Vec4(1, 0, 0),
                               Vec4(-1, 0, 0),
                               Vec4(0, 0, 1),
                               Vec4(0, 0, -1),
                               fastNormalize(Vec4(0.3f, -0.4f, 0.5f))};
    for (const Vec4& n : directions) {
        EXPECT_EQ(cell(column.lookup(n))[0], 0) << n;
        EXPECT_EQ(cell(row.lookup(n))[1], 0) << n;
    }
    EXPECT_EQ(cell(column.lookup(Vec4(0, -1, 0)))[1], 2);
    EXPECT_EQ(cell(row.lookup(Vec4(1, 0, 0)))[0], 2);
}

TEST(HdrEnvironmentMap, RadianceComesBackUnscaledWithAZeroFourthLane) {
    HdrEnvironmentMap map;
    const TempFile path("bright.hdr");
    ASSERT_TRUE(writeHdr(path, 3, 2, [](int, int) { return std::array<float, 3>{25, 30, 40}; }));
    ASSERT_TRUE(map.load(path));
    EXPECT_EQ(map.lookup(fastNormalize(Vec4(0.2f, 0.7f, -0.1f))), Vec4(25, 30, 40, 0));
}

// Normals from the approximate normalisation can be slightly longer than 1;
// nothing may read outside the image, whatever the normal.
TEST(HdrEnvironmentMap, NormalsOutsideTheUnitRangeStayInsideTheImage) {
    HdrEnvironmentMap map;
    ASSERT_TRUE(map.load(writeIndexImage("clamp.hdr", 7, 5)));
    EXPECT_EQ(cell(map.lookup(Vec4(0, 1.0005f, 0)))[1], 0);
    EXPECT_EQ(cell(map.lookup(Vec4(0, -1.0005f, 0)))[1], 3);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    for (const Vec4& n :
         {Vec4(nan, nan, nan), Vec4(inf, -inf, inf), Vec4(0, 0, 0), Vec4(1e30f, -1e30f, 1e30f)}) {
        const std::array<int, 2> c = cell(map.lookup(n));
        EXPECT_TRUE(c[0] >= 0 && c[0] < 7 && c[1] >= 0 && c[1] < 5) << n;
    }
}

// A file the library cannot read, or one that is missing, leaves no image:
// load says so, the lookup is black, and "Log.txt" and stderr name the file.
TEST(HdrEnvironmentMap, UnusableFilesGiveBlackAndAreReported) {
    testing_files::TempWorkingDirectory privateDirectory;
    const TempFile text("not_an_image.hdr");
    std::ofstream(text.path()) << "#?RADIANCE\nthis is not a picture\n";
    const TempFile png("picture.png");
    {
        FIBITMAP* b = FreeImage_Allocate(4, 4, 24);
        ASSERT_TRUE(FreeImage_Save(FIF_PNG, b, png.path().c_str(), 0));
        FreeImage_Unload(b);
    }
    const TempFile missing("missing.hdr");

    for (const std::string& path : {text.path(), png.path(), missing.path()}) {
        HdrEnvironmentMap map;
        ::testing::internal::CaptureStderr();
        EXPECT_FALSE(map.load(path)) << path;
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(path), std::string::npos) << err;
        EXPECT_NE(testing_files::readText("Log.txt").find("\"" + path + "\""), std::string::npos);
        EXPECT_EQ(map.pixels, nullptr);
        EXPECT_EQ(map.width, 0);
        EXPECT_EQ(map.lookup(Vec4(0, 1, 0)), Vec4());
        EXPECT_EQ(map.lookup(Vec4(0, 0, -1)), Vec4());
    }

    // A failed load after a good one drops the earlier image too.
    HdrEnvironmentMap map;
    ASSERT_TRUE(map.load(writeIndexImage("good.hdr", 3, 3)));
    ::testing::internal::CaptureStderr();
    EXPECT_FALSE(map.load(missing));
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(map.lookup(Vec4(0, 1, 0)), Vec4());
}

// A file cut short in its pixel data either loads with the full shape (the
// library fills the rest) or is refused; it never yields a mis-shaped image.
TEST(HdrEnvironmentMap, TruncatedFileIsRefusedOrWholeShaped) {
    const TempFile whole("whole.hdr");
    ASSERT_TRUE(writeHdr(whole, 64, 32, indexTexel));
    const std::string bytes = testing_files::readText(whole);
    const TempFile cut("cut.hdr");
    std::ofstream(cut.path(), std::ios::binary) << bytes.substr(0, bytes.size() / 3);
    HdrEnvironmentMap map;
    ::testing::internal::CaptureStderr();
    const bool loaded = map.load(cut);
    ::testing::internal::GetCapturedStderr();
    if (loaded) {
        EXPECT_EQ(map.width, 64);
        EXPECT_EQ(map.height, 32);
        map.lookup(Vec4(0, -1, 0));
    } else {
        EXPECT_EQ(map.lookup(Vec4(0, -1, 0)), Vec4());
    }
}

// With a sky sphere around the eye the picture lies around the viewer:
// looking up shows the top rows (the last in memory), looking down row 0,
// looking along +z the middle column.
TEST(HdrEnvironmentMap, SkySphereShowsThePictureAroundTheEye) {
    using namespace testing_scene;
    Renderer& r = freshRenderer(4, 4);
    auto env = std::make_unique<HdrEnvironmentMap>();
    ASSERT_TRUE(env->load(writeIndexImage("around.hdr", 9, 7)));
    const Material* sky = r.addMaterial(std::move(env));
    r.addObject(std::make_unique<SkySphere>(Vec4(100, 100, 100), sky));
    finish(r);
    auto look = [&](float x, float y, float z) {
        return cell(r.trace(Ray(Vec4(), Vec4(x, y, z)), 0));
    };
    EXPECT_EQ(look(0, 1, 0)[1], 5);
    EXPECT_EQ(look(0, -1, 0)[1], 0);
    EXPECT_EQ(look(0, 0, 1), (std::array<int, 2>{4, 2}));
    // Looking along -x the normal is +x: the third quarter.
    EXPECT_EQ(look(-1, 0, 0)[0], 5);
}

// A real Radiance picture from outside the project, checked against an
// independent reading of its texels. Set TRESK_REAL_HDR to such a file.
namespace {

// Real HDR photographs (CC0) that Debian ships as OpenEXR files; the test
// converts one to Radiance HDR, the format the environment map reads.
const char* const kRealPhotographs[] = {
    "/usr/share/blender/datafiles/studiolights/world/forest.exr",
    "/usr/share/blender/datafiles/studiolights/world/sunset.exr",
};

bool convertToRadiance(const std::string& source, const std::string& target) {
    FIBITMAP* loaded = FreeImage_Load(FreeImage_GetFileType(source.c_str(), 0), source.c_str(), 0);
    if (!loaded) return false;
    FIBITMAP* rgbf = FreeImage_ConvertToRGBF(loaded);
    FreeImage_Unload(loaded);
    if (!rgbf) return false;
    const bool saved = FreeImage_Save(FIF_HDR, rgbf, target.c_str(), 0) != 0;
    FreeImage_Unload(rgbf);
    return saved;
}

}  // namespace

TEST(HdrEnvironmentMap, RealPictureMatchesItsScanLines) {
    TempFile converted("real_photograph.hdr");
    std::string path;
    if (const char* named = std::getenv("TRESK_REAL_HDR"); named && *named) {
        path = named;
    } else {
        for (const char* photo : kRealPhotographs) {
            if (access(photo, R_OK) == 0 && convertToRadiance(photo, converted)) {
                path = converted.path();
                break;
            }
        }
    }
    if (path.empty()) GTEST_SKIP() << "no real HDR photograph found (Debian package blender-data)";
    TexelReader reader(path);
    if (!reader.ok()) GTEST_SKIP() << "cannot read " << path;
    HdrEnvironmentMap map;
    ASSERT_TRUE(map.load(path));
    const int w = reader.width(), h = reader.height();
    ASSERT_EQ(map.width, w);
    ASSERT_EQ(map.height, h);
    // Rows and columns just below the exact fractions: the angles land a hair
    // short of them.
    auto below = [](double v) { return int(std::ceil(v) - 1); };
    const int middleRow = below(0.5 * (h - 1));
    // +y and −y: −n.z is −0, so atan2 gives π, the seam's last-but-one column.
    EXPECT_TRUE(sameTexel(map.lookup(Vec4(0, 1, 0)), reader.texel(below(w - 1.0), 0)));
    EXPECT_TRUE(
        sameTexel(map.lookup(Vec4(0, -1, 0)), reader.texel(below(w - 1.0), below(h - 1.0))));
    EXPECT_TRUE(sameTexel(map.lookup(Vec4(0, 0, -1)), reader.texel((w - 1) / 2, middleRow)));
    EXPECT_TRUE(
        sameTexel(map.lookup(Vec4(-1, 0, 0)), reader.texel(int(0.25 * (w - 1)), middleRow)));
    EXPECT_TRUE(
        sameTexel(map.lookup(Vec4(1, 0, 0)), reader.texel(below(0.75 * (w - 1)), middleRow)));
}
