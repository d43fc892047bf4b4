// The OBJ reader: records, corner forms, triangulation, skipped statements,
// hostile input, and real models that nobody here wrote.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "scene/ObjMeshReader.h"
#include "tests/TestFiles.h"
#include "tests/TestScene.h"

using namespace testing_files;
using namespace testing_scene;

namespace {

struct Parsed {
    bool ok = false;
    std::string error;
    std::vector<Triangle> triangles;
    ObjMeshReader reader;
};

// Parses OBJ text and fills its triangles (material null).
void parseText(const std::string& text, Parsed& out, const std::string& name = "test.obj") {
    std::istringstream in(text);
    out.ok = out.reader.parse(in, name, out.error);
    out.triangles.clear();
    out.reader.fillTriangles(out.triangles, nullptr);
}

// Triangles after fan triangulation, counted the plain way: words of each
// "f" line up to a comment, minus two.
int independentTriangleCount(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string line;
    int triangles = 0;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string word;
        if (!(words >> word) || word != "f") continue;
        int corners = 0;
        while (words >> word && word[0] != '#') ++corners;
        triangles += corners - 2;
    }
    return triangles;
}

void expectVec(const Vec3& actual, float x, float y, float z) {
    EXPECT_FLOAT_EQ(actual.x, x);
    EXPECT_FLOAT_EQ(actual.y, y);
    EXPECT_FLOAT_EQ(actual.z, z);
}

}  // namespace

TEST(ObjMeshReader, RecordsAreScaledAndCornersPickTheirLists) {
    Parsed p;
    parseText(
        "v 1 2 3\nv 3 2 3\nv 1 4 3\n"
        "vt 0.5 0.25 0\nvt 1 0 0\nvt 0 1 0\nvt 0.1 0.2 0.3\nvt 0.4 0.5 0.6\nvt 0.7 0.8 0.9\n"
        "vn 0 2 0\nvn 1 0 0\nvn 0 0 1\nvn 0 0 3\nvn 0 4 0\nvn 5 0 0\n"
        "f 1/4/4 2/5/5 3/6/6\n",
        p);
    ASSERT_TRUE(p.ok) << p.error;
    const MeshGroup& g = p.reader.mesh();
    expectVec(g.positions[0], 1.5f, 3.f, 4.5f);
    expectVec(g.normals[0], 0.f, 2.f, 0.f);  // kept unnormalised
    expectVec(g.texCoords[0], 0.5f, 0.25f, 0.f);
    ASSERT_EQ(p.reader.triangleCount(), 1);
    const Triangle& t = p.triangles[0];
    expectVec(t.v1, 4.5f, 3.f, 4.5f);
    expectVec(t.edge1, 3.f, 0.f, 0.f);  // differences of the scaled positions
    expectVec(t.edge2, 0.f, 3.f, 0.f);
    expectVec(t.t0, 0.1f, 0.2f, 0.3f);
    expectVec(t.t2, 0.7f, 0.8f, 0.9f);
    expectVec(t.n0, 0.f, 0.f, 3.f);
    expectVec(t.n2, 5.f, 0.f, 0.f);
}

TEST(ObjMeshReader, CornerFormsAndTheGeometricNormal) {
    const std::string vertices = "v 0 0 0\nv 2 0 0\nv 0 2 0\nvt 0.5 0.5\nvn 0 0 7\n";
    for (const char* face : {"f 1 2 3", "f 1/1 2/1 3/1", "f 1//1 2//1 3//1", "f 1/1/1 2/1/1 3/1/1",
                             "f 1/1/1 2/1 3//1"}) {
        SCOPED_TRACE(face);
        Parsed p;
        parseText(vertices + face + "\n", p);
        ASSERT_TRUE(p.ok) << p.error;
        ASSERT_EQ(p.triangles.size(), 1u);
        const Triangle& t = p.triangles[0];
        const std::string f = face;
        const bool allNormals = f == "f 1//1 2//1 3//1" || f == "f 1/1/1 2/1/1 3/1/1";
        // Given normals stay as written; otherwise the unit normal of the
        // counter-clockwise side goes to all three corners.
        expectVec(t.n0, 0.f, 0.f, allNormals ? 7.f : 1.f);
        expectVec(t.n2, 0.f, 0.f, allNormals ? 7.f : 1.f);
        const bool texture = f.find("/1 ") != std::string::npos && f != "f 1//1 2//1 3//1";
        expectVec(t.t0, texture ? 0.5f : 0.f, texture ? 0.5f : 0.f, 0.f);
    }
}

TEST(ObjMeshReader, PolygonsAreFannedAndNegativeIndicesCountBack) {
    const std::string vertices = "v 0 0 0\nv 1 0 0\nv 2 1 0\nv 1 2 0\nv 0 1 0\n";
    Parsed positive, negative;
    parseText(vertices + "f 1 2 3 4 5\n", positive);
    parseText(vertices + "f -5 -4 -3 -2 -1\n", negative);
    ASSERT_TRUE(positive.ok) << positive.error;
    ASSERT_TRUE(negative.ok) << negative.error;
    ASSERT_EQ(positive.reader.triangleCount(), 3);
    ASSERT_EQ(negative.reader.triangleCount(), 3);
    const MeshGroup& g = positive.reader.mesh();
    EXPECT_EQ(g.positionIndices, (std::vector<int32_t>{0, 1, 2, 0, 2, 3, 0, 3, 4}));
    EXPECT_EQ(negative.reader.mesh().positionIndices, g.positionIndices);
    // Negative indices count from the latest entry at the face, not the file's end.
    Parsed later;
    parseText("v 0 0 0\nv 1 0 0\nv 0 1 0\nf -3 -2 -1\nv 5 5 5\n", later);
    ASSERT_TRUE(later.ok) << later.error;
    EXPECT_EQ(later.reader.mesh().positionIndices, (std::vector<int32_t>{0, 1, 2}));
}

TEST(ObjMeshReader, GroupsSeparateNothing) {
    const std::string body = "v 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nf 1 2 3\nf 2 4 3\n";
    Parsed plain, grouped;
    parseText(body, plain);
    parseText("g first\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nf 1 2 3\ng second\nf 2 4 3\n", grouped);
    ASSERT_TRUE(grouped.ok) << grouped.error;
    ASSERT_EQ(grouped.triangles.size(), plain.triangles.size());
    for (size_t i = 0; i < plain.triangles.size(); ++i) {
        EXPECT_EQ(grouped.triangles[i].v0, plain.triangles[i].v0);
        EXPECT_EQ(grouped.triangles[i].v2, plain.triangles[i].v2);
    }
}

TEST(ObjMeshReader, OtherStatementsAndCommentsAreSkippedWholeLines) {
    const std::string longComment = "# " + std::string(100000, 'x') + " v 9 9 9\n";
    // Longer than the reader keeps in memory for a line it skips.
    const std::string hugeComment = "#" + std::string(3 << 20, 'f') + "\n";
    const std::string hugeStatement = "usemtl " + std::string(3 << 20, 'v') + " v 1 2 3\n";
    Parsed p;
    parseText("o v\r\nmtllib v.mtl\nusemtl v\ns 1\n#x v 1 2 3\n" + longComment + hugeComment +
                  hugeStatement +
                  "v 0 0 0\r\nv 1 0 0\nv 0 1 0\n\t  \nl 1 2\np 1\ncstype bspline\n"
                  "f 1 2 3 # a comment after the corners\nf 3 2 1",  // no final line end
              p);
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.reader.mesh().positions.size(), 3u);
    EXPECT_EQ(p.reader.triangleCount(), 2);
}

TEST(ObjMeshReader, MissingAndRejectedFilesShowTheirNoticesAndYieldNothing) {
    CapturedNotices captured;
    ObjMeshReader missing;
    EXPECT_FALSE(missing.read("/nonexistent/tresk/model.obj"));
    EXPECT_EQ(missing.triangleCount(), 0);
    ASSERT_EQ(captured.notices.size(), 1u);
    EXPECT_EQ(captured.notices[0].first, "FILE NOT FOUND");
    EXPECT_EQ(captured.notices[0].second, "ERROR");

    TempDir dir;
    writeText(dir.file("bad.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\nf 1 2 4\n");
    ObjMeshReader rejected;
    EXPECT_FALSE(rejected.read(dir.file("bad.obj")));
    EXPECT_EQ(rejected.triangleCount(), 0);
    ASSERT_EQ(captured.notices.size(), 2u);
    EXPECT_EQ(captured.notices[1].first,
              "Mesh file \"" + dir.file("bad.obj") +
                  "\", line 5: a face corner refers to vertex position 4, but the file defines "
                  "only 3 vertex positions. The mesh is left out.");
    EXPECT_EQ(captured.notices[1].second, "ERROR");
}

// Every hostile input ends either in a message naming the line and what was
// wrong, or loads safely; none reads outside a list.
TEST(ObjMeshReader, HostileInputsEndInAClearMessage) {
    const std::string tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    struct Case {
        std::string text;
        int line;          // 0: loads safely
        std::string says;  // part of the message, or the triangle count when it loads
    };
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage.push_back(char((i * 7919 + 13) % 255 + 1));  // no NUL
    const std::vector<Case> cases = {
        {tri + "f 1 2 0\n", 4, "face corner \"0\" uses the index 0"},
        {tri + "f 1 2 4\n", 4, "refers to vertex position 4, but the file defines only 3"},
        {tri + "f 1 2 -4\n", 4, "counts back 4 vertex positions, but only 3 are defined before it"},
        {tri + "f 1/2 2/1 3/1\nvt 0 0\n", 4,
         "refers to texture coordinate 2, but the file defines only 1"},
        {tri + "vn 0 0 1\nf 1//1 2//1 3//2\n", 5, "refers to normal 2"},
        {tri + "f 1 2 99999999999\n", 4, "more than a mesh can hold"},
        {tri + "f 1 2\n", 4, "at least 3 corners, but found 2"},
        {tri + "f\n", 4, "at least 3 corners, but found 0"},
        {tri + "f 1/2/3/4 2 3\n", 4,
         "p, p/t, p//n or p/t/n (whole numbers), but found \"1/2/3/4\""},
        {tri + "f 1 2 3x\n", 4, "but found \"3x\""},
        {tri + "f 1 2 /3\n", 4, "but found \"/3\""},
        {tri + "f 1 2 3/\n", 4, "but found \"3/\""},
        {"v 0 0 nan\n", 1,
         "expected 3 numbers after \"v\" (finite, in decimal notation), but found \"nan\""},
        {"v 0 inf 0\n", 1, "but found \"inf\""},
        {"v 1e39 0 0\n", 1, "but found \"1e39\""},
        {"v 3e38 0 0\n", 1, "too large for a float once scaled by 1.5"},
        {"v 1 2\n", 1, "expected 3 numbers after \"v\", but found only 2"},
        {"v 1 2 3.1+e2\n", 1, "but found \"3.1+e2\""},
        {"vt\n", 1, "expected 1 to 3 numbers after \"vt\", but found only 0"},
        {"vn 0 0 x\n", 1, "but found \"x\""},
        {tri + "v 1 2 \x01\xff\n", 4, "but found \"\\x01\\xFF\""},
        // Loads safely.
        {"v 1e-50 0 0\nv +1 +2. .5\n" + tri + "f 1 2 3\n", 0, "1"},
        {std::string(10000, '\0'), 1, "found a NUL byte, which text never holds"},
        {garbage, 0, "0"},
        {"", 0, "0"},
        {"\n\n\n", 0, "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(0, 60));
        Parsed p;
        parseText(c.text, p, "m.obj");
        if (c.line == 0) {
            EXPECT_TRUE(p.ok) << p.error;
            EXPECT_EQ(std::to_string(p.reader.triangleCount()), c.says);
            continue;
        }
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.reader.triangleCount(), 0);
        EXPECT_TRUE(p.triangles.empty());
        const std::string where = "Mesh file \"m.obj\", line " + std::to_string(c.line) + ": ";
        EXPECT_EQ(p.error.rfind(where, 0), 0u) << p.error;
        EXPECT_NE(p.error.find(c.says), std::string::npos) << p.error;
    }
}

// Models exported by other programs: the reader's triangle count matches a
// count made the plain way, and a broken model is rejected with its line.
TEST(ObjMeshReader, PackagedModelsMatchAnIndependentCount) {
    const std::string dir = packagedObjDirectory();
    if (!fs::is_directory(dir)) GTEST_SKIP() << dir << " is absent (package assimp-testmodels)";
    const char* const models[] = {"WusonOBJ.obj",
                                  "spider.obj",
                                  "regr01.obj",
                                  "empty_mat.obj",
                                  "box.obj",
                                  "box_longline.obj",
                                  "concave_polygon.obj",
                                  "cube_usemtl.obj",
                                  "cube_mtllib_after_g.obj",
                                  "testmixed.obj",
                                  "multiple_spaces.obj",
                                  "regr_3429812.obj",
                                  "box_without_lineending.obj",
                                  "cube_with_vertexcolors.obj"};
    for (const char* name : models) {
        SCOPED_TRACE(name);
        const std::string path = dir + "/" + name;
        std::ifstream in(path, std::ios::binary);
        ObjMeshReader reader;
        std::string error;
        ASSERT_TRUE(reader.parse(in, path, error)) << error;
        const int expected = independentTriangleCount(path);
        EXPECT_GT(expected, 0);
        EXPECT_EQ(reader.triangleCount(), expected);
    }
    // Vertex indices 12 (line 22) and 0 (line 28) in a file of 8 vertices;
    // the index 0 is found first, the other only once the file has ended.
    const std::string broken = fs::path(dir).parent_path().string() + "/invalid/malformed.obj";
    if (fs::exists(broken)) {
        std::ifstream in(broken, std::ios::binary);
        ObjMeshReader reader;
        std::string error;
        EXPECT_FALSE(reader.parse(in, "malformed.obj", error));
        EXPECT_EQ(error.rfind("Mesh file \"malformed.obj\", line 28: face corner \"0\"", 0), 0u)
            << error;
    }
}

// A real model seen through the renderer covers the pixels that a plain 2D
// rasterisation of its front-facing triangles covers.
TEST(ObjMeshReader, PackagedModelRendersItsSilhouette) {
    const std::string path = packagedObjDirectory() + "/WusonOBJ.obj";
    if (!fs::exists(path)) GTEST_SKIP() << path << " is absent (package assimp-testmodels)";
    std::ifstream in(path, std::ios::binary);
    ObjMeshReader reader;
    std::string error;
    ASSERT_TRUE(reader.parse(in, path, error)) << error;

    const int size = 96;
    Renderer& r = freshRenderer(size, size);
    const Material* white = addDebug(r, 1.f, 1.f, 1.f);
    std::vector<Triangle> triangles;
    reader.fillTriangles(triangles, white);
    // Turn the model a quarter about y (x' = z, z' = -x), so that the view
    // along -z sees it from the side, where its outline is largest.
    for (Triangle& t : triangles) {
        for (Vec3* v : {&t.v0, &t.v1, &t.v2}) *v = Vec3(v->z, v->y, -v->x);
        t.computeEdges();
    }
    // Frame the model: eye on +z in front of its box, the box filling most
    // of the 80° view.
    Vec3 lo = triangles[0].v0, hi = lo;
    for (const Triangle& t : triangles) {
        for (const Vec3& p : {t.v0, t.v1, t.v2}) {
            lo = Vec3(std::min(lo.x, p.x), std::min(lo.y, p.y), std::min(lo.z, p.z));
            hi = Vec3(std::max(hi.x, p.x), std::max(hi.y, p.y), std::max(hi.z, p.z));
        }
    }
    const Vec3 centre = (lo + hi) * 0.5f;
    const float halfSide = std::max(hi.x - lo.x, hi.y - lo.y) * 0.5f;
    const Vec3 eye(centre.x, centre.y, hi.z + halfSide * 1.6f);
    r.addMesh(triangles, 12);
    finish(r, eye);
    SingleThread one;
    r.render();
    r.saveImage(std::string(TRESK_BINARY_DIR) + "/tests/wuson.tga");

    // Independent expectation: project every vertex onto the image plane and
    // test each pixel's sample point (its lower-left corner) against the
    // counter-clockwise projected triangles.
    const float planeZ = r.imagePlaneZ;
    auto project = [&](const Vec3& p) {
        const Vec3 d = p - eye;
        const float s = planeZ / d.z;
        return std::pair<float, float>((d.x * s + 1.f) * 0.5f * size,
                                       (d.y * s + 1.f) * 0.5f * size);
    };
    std::vector<char> expected(size_t(size * size), 0);
    for (const Triangle& t : triangles) {
        const auto a = project(t.v0), b = project(t.v1), c = project(t.v2);
        auto edge = [](std::pair<float, float> p, std::pair<float, float> q, float x, float y) {
            return (q.first - p.first) * (y - p.second) - (q.second - p.second) * (x - p.first);
        };
        if (edge(a, b, c.first, c.second) <= 0.f) continue;  // seen from behind
        const int x0 = std::max(0, int(std::floor(std::min({a.first, b.first, c.first}))));
        const int x1 = std::min(size - 1, int(std::ceil(std::max({a.first, b.first, c.first}))));
        const int y0 = std::max(0, int(std::floor(std::min({a.second, b.second, c.second}))));
        const int y1 = std::min(size - 1, int(std::ceil(std::max({a.second, b.second, c.second}))));
        for (int y = y0; y <= y1; ++y)
            for (int x = x0; x <= x1; ++x)
                if (edge(a, b, float(x), float(y)) >= 0.f &&
                    edge(b, c, float(x), float(y)) >= 0.f && edge(c, a, float(x), float(y)) >= 0.f)
                    expected[size_t(x + y * size)] = 1;
    }
    int covered = 0, differ = 0;
    for (int i = 0; i < size * size; ++i) {
        const bool hit = r.displayBuffer()[3 * i] > 0.f;
        covered += hit;
        differ += hit != bool(expected[size_t(i)]);
    }
    // The model fills a good part of the frame, and the two silhouettes
    // differ only along the outline and the thin tail, where the samples'
    // jitter of up to a quarter pixel decides (27 of 878 pixels when this
    // was written; a wrong scale, winding or offset differs by hundreds).
    EXPECT_GT(covered, size * size / 12);
    EXPECT_LT(covered, size * size * 9 / 10);
    EXPECT_LT(differ, covered / 15) << covered << " pixels covered, " << differ << " differ";
}
