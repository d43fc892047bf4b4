// Input made to exhaust the machine or to break the image library: inputs
// that never end, devices and pipes where files belong, NUL-filled sparse
// files, sizes beyond the limits, and headers that overran the library's
// buffers. Each ends in a clear message, quickly, without the allocation
// the input asks for.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <streambuf>
#include <string>

#include "core/Logger.h"
#include "scene/ObjMeshReader.h"
#include "scene/SceneReader.h"
#include "shading/HdrEnvironmentMap.h"
#include "tests/TestFiles.h"
#include "tests/TestScene.h"

using namespace testing_files;

namespace {

// A stream that repeats its pattern for ever: it never reaches its end.
class EndlessBuffer : public std::streambuf {
public:
    explicit EndlessBuffer(std::string prefix, std::string pattern)
        : prefix_(std::move(prefix)), pattern_(std::move(pattern)) {
        for (int i = 0; i < 4096; ++i) block_ += pattern_;
        setg(prefix_.data(), prefix_.data(), prefix_.data() + prefix_.size());
    }

protected:
    int_type underflow() override {
        setg(block_.data(), block_.data(), block_.data() + block_.size());
        return traits_type::to_int_type(block_[0]);
    }

private:
    std::string prefix_, pattern_, block_;
};

// A file of the given size whose bytes are all NUL, after the given text:
// sparse, so it takes no room on the disk however large it is.
std::string sparseFile(const TempDir& dir, const std::string& name, const std::string& text,
                       off_t size) {
    const std::string path = dir.file(name);
    writeText(path, text);
    EXPECT_EQ(::truncate(path.c_str(), size), 0);
    return path;
}

// A small Radiance file with the given header lines (after "#?RADIANCE"
// and before the empty line) and size line, and enough flat pixel data.
std::string radianceFile(const std::string& headerLines, const std::string& sizeLine) {
    std::string text =
        "#?RADIANCE\n" + headerLines + "FORMAT=32-bit_rle_rgbe\n\n" + sizeLine + "\n";
    for (int i = 0; i < 64; ++i) text += "\x40\x40\x40\x81";  // (0.5, 0.5, 0.5)
    return text;
}

struct LoadResult {
    bool loaded;
    std::string said;  // what went to stderr
};

LoadResult loadImage(const std::string& path, int64_t maxTexels = HdrEnvironmentMap::kMaxTexels) {
    HdrEnvironmentMap map;
    ::testing::internal::CaptureStderr();
    const bool loaded = map.load(path, maxTexels);
    return {loaded, ::testing::internal::GetCapturedStderr()};
}

const char* const kSmallScene =
    "0 4 8 6 10 12 0 0 5 1 1 debugmaterial 1 1 1 1 sphere 0 0 0 1 0 1 l 0 5 0 0 9 9 9 0";

}  // namespace

// A scene input that never ends (a device, an endless stream of blanks or
// of one long word) stops after 64 MiB with a message; the scene loaded
// before stays.
TEST(HostileInput, SceneInputThatNeverEndsStopsAt64MiB) {
    TempDir dir;
    WorkingDirectory inside(dir.path());
    Renderer& r = *Renderer::instance();
    std::string error;
    {
        std::istringstream small(kSmallScene);
        ASSERT_TRUE(SceneReader(small, "small.txt").load(r, error)) << error;
    }
    EXPECT_FALSE(readScene(r, "/dev/zero", error));
    EXPECT_EQ(error,
              "Scene file \"/dev/zero\", line 1: expected the still-mode flag (0 or 1), but the "
              "file goes on past 67108864 bytes (64 MiB), the most a scene file may hold.");

    struct Case {
        std::string prefix, pattern, says;
    };
    const Case cases[] = {
        {"", " \t\r\n",
         "line 16777217: expected the still-mode flag (0 or 1), but the file goes on"},
        {"0 1 4 4 4 4 0 0 0 1 0 0 1 lamp 1 2 3 4 5 6 7 8 more", "x",
         "line 1: the file goes on past 67108864 bytes (64 MiB), the most a scene file may hold."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.prefix);
        EndlessBuffer endless(c.prefix, c.pattern);
        std::istream in(&endless);
        EXPECT_FALSE(SceneReader(in, "endless.txt").load(r, error));
        EXPECT_EQ(error.rfind("Scene file \"endless.txt\", ", 0), 0u) << error;
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
    }
    EXPECT_EQ(r.interactiveGeometry().width, 8);
    EXPECT_EQ(r.objects().size(), 1u);
}

// Devices and pipes named as meshes or images are not opened for reading:
// a device might never end and a pipe might never deliver a byte (opening
// one without a writer would wait for ever).
TEST(HostileInput, DevicesAndPipesAreNotReadAsMeshesOrImages) {
    TempDir dir;
    WorkingDirectory inside(dir.path());
    ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
    CapturedNotices notices;
    for (const std::string& path : {std::string("/dev/zero"), dir.file("pipe")}) {
        SCOPED_TRACE(path);
        ObjMeshReader mesh;
        EXPECT_FALSE(mesh.read(path));
        ASSERT_FALSE(notices.notices.empty());
        EXPECT_EQ(notices.notices.back().first,
                  "Mesh file \"" + path +
                      "\": is not a regular file (a device or a pipe). The mesh is left out.");
        EXPECT_EQ(notices.notices.back().second, "ERROR");

        const LoadResult image = loadImage(path);
        EXPECT_FALSE(image.loaded);
        EXPECT_NE(image.said.find("Environment image \"" + path +
                                  "\": is not a regular file (a folder, device or pipe); the "
                                  "background stays black"),
                  std::string::npos)
            << image.said;
    }
    // In a scene, the rest still loads.
    writeText("scene.txt",
              "0 1 4 4 4 4 0 0 0 1\n2 debugmaterial 1 1 1 hdrenvmap /dev/zero\n"
              "2 trianglemesh pipe 4 0 sphere 0 0 -3 1 1\n0\n");
    std::string error;
    ::testing::internal::CaptureStderr();
    EXPECT_TRUE(readScene(*Renderer::instance(), "scene.txt", error)) << error;
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(Renderer::instance()->objects().size(), 1u);
    EXPECT_EQ(Renderer::instance()->meshTriangleCount(), 0u);
}

// A NUL byte ends an OBJ file with a message on its line: a file full of
// them (here sparse, 64 GiB long) is refused at once instead of being read
// to its end, and a record line that runs into them does not grow its
// buffer without end.
TEST(HostileInput, NulBytesEndAnObjFileAtOnce) {
    TempDir dir;
    const off_t huge = off_t(64) << 30;
    const std::string tri = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
    struct Case {
        std::string text;
        int line;
    };
    const Case cases[] = {{"", 1}, {tri, 5}, {tri + "v 1 2 ", 5}, {"# comment ", 1}};
    CapturedNotices notices;
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        const std::string path =
            sparseFile(dir, "zeros" + std::to_string(n++) + ".obj", c.text, huge);
        ObjMeshReader mesh;
        EXPECT_FALSE(mesh.read(path));
        EXPECT_EQ(mesh.triangleCount(), 0);
        ASSERT_FALSE(notices.notices.empty());
        EXPECT_EQ(notices.notices.back().first,
                  "Mesh file \"" + path + "\", line " + std::to_string(c.line) +
                      ": found a NUL byte, which text never holds: this is no OBJ file (perhaps "
                      "a binary file, or text in UTF-16). The mesh is left out.");
    }
    // A comment line of any length is still skipped whole when text follows.
    std::istringstream longComment("# " + std::string(3 << 20, 'c') + "\n" + tri);
    ObjMeshReader mesh;
    std::string error;
    EXPECT_TRUE(mesh.parse(longComment, "long.obj", error)) << error;
    EXPECT_EQ(mesh.triangleCount(), 1);
    // Real UTF-16 text says why it is refused.
    const std::string utf16 = packagedObjDirectory() + "/box_UTF16BE.obj";
    if (fs::exists(utf16)) {
        std::ifstream in(utf16, std::ios::binary);
        EXPECT_FALSE(mesh.parse(in, "box.obj", error));
        EXPECT_NE(error.find("text in UTF-16"), std::string::npos) << error;
    }
}

// Meshes beyond the limits are refused with a message on the line that
// passes them, before more is allocated; the limits are those of read()
// scaled down, so that the test needs no 20 million triangles.
TEST(HostileInput, MeshLimitsAreRefusedOnTheLineThatPassesThem) {
    EXPECT_EQ(ObjMeshReader::kMaxTriangles, 20000000);
    EXPECT_EQ(ObjMeshReader::kMaxVertices, 20000000);
    ObjMeshReader::Limits limits;
    limits.triangles = 10;
    limits.vertices = 5;
    std::string five, polygon = "f";
    for (int i = 0; i < 5; ++i)
        five += "v " + std::to_string(i) + " 0 " + std::to_string(i * i) + "\n";
    for (int i = 0; i < 13; ++i) polygon += " " + std::to_string(i % 5 + 1);
    std::string tenTriangles;
    for (int i = 0; i < 10; ++i) tenTriangles += "f 1 2 3\n";
    struct Case {
        std::string text;
        std::string error;  // empty: loads
    };
    const Case cases[] = {
        {five + tenTriangles, ""},
        {five + "v 9 9 9\n",
         "line 6: the mesh has more than 5 vertex positions, the most a mesh may hold."},
        {"vn 0 0 1\nvn 0 0 1\nvn 0 0 1\nvn 0 0 1\nvn 0 0 1\nvn 0 1 0\n",
         "line 6: the mesh has more than 5 normals, the most a mesh may hold."},
        {five + tenTriangles + "f 1 2 3\n",
         "line 16: the mesh has more than 10 triangles, the most a mesh may hold."},
        {five + polygon + "\n",
         "line 6: the mesh has more than 10 triangles, the most a mesh may hold."},
        {five + "f 1 2 6\n",
         "line 6: face corner \"6\" refers to vertex position 6, more than a mesh can hold."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.substr(c.text.size() > 40 ? c.text.size() - 40 : 0));
        std::istringstream in(c.text);
        ObjMeshReader mesh;
        std::string error;
        const bool ok = mesh.parse(in, "m.obj", error, limits);
        if (c.error.empty()) {
            EXPECT_TRUE(ok) << error;
            EXPECT_EQ(mesh.triangleCount(), 10);
        } else {
            EXPECT_FALSE(ok);
            EXPECT_EQ(error, "Mesh file \"m.obj\", " + c.error);
            EXPECT_EQ(mesh.triangleCount(), 0);
        }
    }
    // Any number of group records costs nothing; the mesh still loads.
    std::string groups = "v 0 0 0\nv 1 0 0\nv 0 1 0\n";
    for (int i = 0; i < 100000; ++i) groups += "g\n";
    std::istringstream in(groups + "f 1 2 3\n");
    ObjMeshReader mesh;
    std::string error;
    ASSERT_TRUE(mesh.parse(in, "groups.obj", error)) << error;
    EXPECT_EQ(mesh.triangleCount(), 1);
}

// The environment image's size is read from its header and checked before
// the image library allocates anything: none of these files holds the
// pixels its header announces.
TEST(HostileInput, EnvironmentImageSizeIsCheckedFromTheHeader) {
    TempDir dir;
    WorkingDirectory inside(dir.path());
    const std::string limits =
        "an environment image may have from 1 to 16384 texels a side and at most 134217728 texels "
        "in all (16384 x 8192); the background stays black";
    struct Case {
        std::string sizeLine, says;
    };
    const Case cases[] = {
        {"-Y 16384 +X 16384", "is 16384 x 16384 texels; " + limits},
        {"-Y 1 +X 16385", "is 16385 x 1 texels; " + limits},
        {"-Y 4294967295 +X 4294967295", "is 4294967295 x 4294967295 texels; " + limits},
        // The library allocated 2 rows and wrote 4294967294 of them.
        {"-Y -2 +X 4", "is 4 x -2 texels; " + limits},
        {"-Y 0 +X 4", "is 4 x 0 texels; " + limits},
        {"+Y 2 +X 4", "cannot be read as a Radiance HDR image"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.sizeLine);
        writeText("image.hdr", radianceFile("", c.sizeLine));
        const LoadResult result = loadImage("image.hdr");
        EXPECT_FALSE(result.loaded);
        EXPECT_NE(result.said.find("Environment image \"image.hdr\": " + c.says), std::string::npos)
            << result.said;
    }
    // Within the limits, and within what is left of the scene's share.
    writeText("image.hdr", radianceFile("", "-Y 2 +X 4"));
    EXPECT_TRUE(loadImage("image.hdr", 8).loaded);
    const LoadResult overShare = loadImage("image.hdr", 7);
    EXPECT_FALSE(overShare.loaded);
    EXPECT_NE(overShare.said.find("is 4 x 2 texels; an environment image may have from 1 to 16384 "
                                  "texels a side and at most 134217728 texels in all (16384 x "
                                  "8192), and only 7 texels are left of what the scene's "
                                  "environment images may have together"),
              std::string::npos)
        << overShare.said;
}

// A header line of exactly 256 bytes made the image library overrun a
// buffer and end the process: such lines are refused. One byte shorter
// still loads.
TEST(HostileInput, EnvironmentImageHeaderLinesThatOverranTheLibrary) {
    TempDir dir;
    WorkingDirectory inside(dir.path());
    for (int length = 250; length <= 260; ++length) {
        SCOPED_TRACE(length);
        // "# " + text + "\n" is length bytes long.
        writeText("comment.hdr",
                  radianceFile("# " + std::string(size_t(length - 3), 'x') + "\n", "-Y 2 +X 4"));
        const LoadResult result = loadImage("comment.hdr");
        EXPECT_EQ(result.loaded, length < 256) << result.said;
        if (length >= 256) {
            EXPECT_NE(result.said.find("header line 2 is 256 bytes or longer, more than the image "
                                       "library can read safely; the background stays black"),
                      std::string::npos)
                << result.said;
        }
    }
    // The size line too, padded with blanks.
    writeText("size.hdr", radianceFile("", "-Y 2 +X 4" + std::string(246, ' ')));
    const LoadResult size = loadImage("size.hdr");
    EXPECT_FALSE(size.loaded);
    EXPECT_NE(size.said.find("header line 4 is 256 bytes"), std::string::npos) << size.said;
}

// One mesh file named by many entries, under several names and a link, is
// read once and its triangles copied for each entry, with the log entry of
// each; a rejected one shows its message for every entry as before.
TEST(HostileInput, MeshNamedManyTimesIsReadOnce) {
    TempDir dir;
    WorkingDirectory inside(dir.path());
    fs::copy_file(dataPath("example/model.obj"), "model.obj");
    fs::create_symlink("model.obj", "link.obj");
    writeText("bad.obj", "v 0 0 0\nf 1 1 2\n");
    writeText("scene.txt",
              "0 1 4 4 4 4 0 0 0 1\n3 debugmaterial 1 0 0 debugmaterial 0 1 0 debugmaterial 0 0 1\n"
              "5 trianglemesh model.obj 4 0 trianglemesh ./model.obj 4 1 trianglemesh link.obj 4 2"
              " trianglemesh bad.obj 4 0 trianglemesh ./bad.obj 4 0\n0\n");
    Logger::instance()->restart();
    CapturedNotices notices;
    std::string error;
    Renderer& r = *Renderer::instance();
    ASSERT_TRUE(readScene(r, "scene.txt", error)) << error;
    EXPECT_EQ(r.meshTriangleCount(), 36u);
    const std::string log = readText("Log.txt");
    size_t polycounts = 0;
    for (size_t at = log.find("Polycount: 12"); at != std::string::npos;
         at = log.find("Polycount: 12", at + 1))
        ++polycounts;
    EXPECT_EQ(polycounts, 3u);
    ASSERT_EQ(notices.notices.size(), 2u);
    EXPECT_EQ(notices.notices[0], notices.notices[1]);
    EXPECT_NE(notices.notices[0].first.find("line 2: a face corner refers to vertex position 2"),
              std::string::npos)
        << notices.notices[0].first;
}

// All meshes of a scene together, and all its environment images, stay
// within the scene's limits: what would pass them is left out with a
// notice, the rest loads. (The real limits, 20 million triangles and
// 2 × 16384 × 8192 texels, are scaled down here.)
TEST(HostileInput, SceneTotalsOfMeshesAndImagesAreBounded) {
    TempDir dir;
    WorkingDirectory inside(dir.path());
    const std::string text =
        "0 1 4 4 4 4 0 0 0 1\n3 debugmaterial 1 1 1 hdrenvmap sky.hdr hdrenvmap sky.hdr\n"
        "3 trianglemesh model.obj 4 0 trianglemesh model.obj 4 0 trianglemesh model.obj 4 0\n0\n";
    std::istringstream in(text);
    SceneReader reader(in, dataPath("example/scene.txt"));
    SceneDescription scene;
    std::string error;
    ASSERT_TRUE(reader.parse(scene, error)) << error;
    SceneLimits limits;
    limits.meshTriangles = 30;      // two copies of the 12-triangle cube
    limits.environmentTexels = 12;  // one 4 x 2 sky
    CapturedNotices notices;
    ::testing::internal::CaptureStderr();
    Renderer& r = *Renderer::instance();
    buildScene(scene, reader.baseDirectory(), r, limits);
    const std::string said = ::testing::internal::GetCapturedStderr();

    EXPECT_EQ(r.meshTriangleCount(), 24u);
    ASSERT_EQ(notices.notices.size(), 1u);
    EXPECT_EQ(notices.notices[0].first,
              "Mesh file \"" + dataPath("example/model.obj") +
                  "\": its 12 triangles would take the scene's meshes past 30 triangles, the most "
                  "a scene may hold. The mesh is left out.");
    const auto* first = dynamic_cast<const HdrEnvironmentMap*>(r.materials()[1].get());
    const auto* second = dynamic_cast<const HdrEnvironmentMap*>(r.materials()[2].get());
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->pixels, nullptr);
    EXPECT_EQ(second->pixels, nullptr);
    EXPECT_NE(said.find("is 4 x 2 texels; an environment image may have from 1 to 16384 texels a "
                        "side and at most 134217728 texels in all (16384 x 8192), and only 4 "
                        "texels are left of what the scene's environment images may have "
                        "together; the background stays black"),
              std::string::npos)
        << said;
    // The limits in force otherwise.
    EXPECT_EQ(SceneLimits().meshTriangles, 20000000);
    EXPECT_EQ(SceneLimits().environmentTexels, int64_t(2) * 16384 * 8192);
}

// Triangles that overlap every split plane are copied into both children
// at every level: at the deepest limit a scene may ask for (64) that would
// be 2^64 copies. The tree stops splitting after a bounded number of
// references, builds at once, and still finds every nearest hit.
TEST(HostileInput, OverlappingTrianglesAtTheDeepestTreeStayBounded) {
    TempDir dir;
    WorkingDirectory inside(dir.path());
    std::string obj = "v 0 0 0\nv 10 1 3\nv 2 10 10\n";
    for (int i = 0; i < 40; ++i) obj += "f 1 2 3\n";
    writeText("overlap.obj", obj);
    writeText("scene.txt",
              "0 1 8 8 8 8 0 0 20 1\n1 debugmaterial 1 1 1\n1 trianglemesh overlap.obj 64 0\n0\n");
    std::string error;
    Renderer& r = *Renderer::instance();
    ASSERT_TRUE(readScene(r, "scene.txt", error)) << error;
    ASSERT_EQ(r.meshTriangleCount(), 40u);
    const KdTreeStatistics s = r.kdTree().statistics();
    EXPECT_LE(s.references, (size_t(1) << 16) + 64 * 40);
    EXPECT_GE(s.maxDepth, 10);  // it did go deep, as far as the budget allowed
    // The queries still find the mesh.
    HitRecord hit;
    r.kdTree().findClosest(Ray(Vec4(4.f, 3.f, 20.f), Vec4(0.f, 0.f, -1.f)), hit);
    ASSERT_TRUE(hit.hit);
    r.render();
}
