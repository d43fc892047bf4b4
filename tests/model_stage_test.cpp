// Models opened directly, on their generated stage: real files from Debian
// packages are framed whatever their units and place, other formats agree
// with the same model converted to OBJ by the library's own command-line
// tool, and hostile files end in a message naming them.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "render/Renderer.h"
#include "scene/ModelImporter.h"
#include "scene/ModelStage.h"
#include "tests/support/Support.h"

namespace fs = std::filesystem;
using support::TempDir;

namespace {

const std::string kAssimpModels = "/usr/share/assimp/models/";
const std::string kBunny = "/usr/share/glmark2/models/bunny.obj";

// A pixel counts as changed when a channel moves by more than this.
constexpr float kChanged = 0.02f;

struct Picture {
    int width = 0, height = 0;
    std::vector<float> rgb;
};

// The model's stage at the interactive size, one pass on one thread.
Picture renderModel(const std::string& path) {
    support::SingleThread oneThread;
    Renderer& r = *Renderer::instance();
    std::string error;
    Diagnostics diagnostics;
    if (!openSceneOrModel(r, path, BrokenModel::Refuse, error, diagnostics)) {
        ADD_FAILURE() << error;
        return {};
    }
    r.render();
    const FrameGeometry& g = r.geometry();
    return {g.width, g.height,
            std::vector<float>(r.displayBuffer(), r.displayBuffer() + 3 * g.pixelCount())};
}

bool changed(const Picture& a, const Picture& b, size_t pixel) {
    for (size_t c = 3 * pixel; c < 3 * pixel + 3; ++c)
        if (std::fabs(a.rgb[c] - b.rgb[c]) > kChanged) return true;
    return false;
}

double agreement(const Picture& a, const Picture& b) {
    if (a.rgb.size() != b.rgb.size() || a.rgb.empty()) return 0.0;
    size_t same = 0;
    const size_t pixels = a.rgb.size() / 3;
    for (size_t p = 0; p < pixels; ++p) same += !changed(a, b, p);
    return double(same) / double(pixels);
}

// Where the model shows: the pixels that change when its faces turn away
// from the camera (front-face tracing then sees none of them).
struct Coverage {
    double fraction = 0.0;
    double centreX = 0.0, centreY = 0.0;  // of the changed pixels, in picture widths
    // A changed pixel of the model's colour (redder than the grey floor
    // and the blue sky; a changed shadow may reach the edge) on the
    // picture's edge: the model is cut off.
    bool atEdge = false;
};

Coverage coverage(const Picture& model, const Picture& turnedAway) {
    Coverage c;
    size_t count = 0;
    for (int y = 0; y < model.height; ++y) {
        for (int x = 0; x < model.width; ++x) {
            const size_t pixel = size_t(y) * size_t(model.width) + size_t(x);
            if (!changed(model, turnedAway, pixel)) continue;
            ++count;
            const bool edge = x == 0 || y == 0 || x == model.width - 1 || y == model.height - 1;
            c.atEdge |= edge && model.rgb[3 * pixel] > model.rgb[3 * pixel + 1] + kChanged;
            c.centreX += x + 0.5;
            c.centreY += y + 0.5;
        }
    }
    if (count == 0) return c;
    c.fraction = double(count) / double(model.width * model.height);
    c.centreX /= double(count) * model.width;
    c.centreY /= double(count) * model.height;
    return c;
}

// What a copy of an OBJ file changes: positions scaled and moved, faces'
// corners in reverse order, or, for a model converted from STL, the z axis
// turned up and the normals left out, as Tresk shows STL files.
struct ObjCopy {
    double scale = 1.0;
    double offset[3] = {0.0, 0.0, 0.0};
    bool reverse = false;
    bool likeStl = false;
    bool withoutLook = false;  // its material libraries left out
};

void writeObjCopy(const std::string& from, const std::string& to, const ObjCopy& copy) {
    std::ifstream in(from);
    std::ofstream out(to);
    out.precision(17);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string key;
        words >> key;
        if (key == "v") {
            double p[3] = {0, 0, 0};
            words >> p[0] >> p[1] >> p[2];
            if (copy.likeStl) p[1] = std::exchange(p[2], -p[1]);
            out << "v";
            for (int a = 0; a < 3; ++a) out << ' ' << p[a] * copy.scale + copy.offset[a];
            out << '\n';
        } else if (key == "f" && (copy.reverse || copy.likeStl)) {
            std::vector<std::string> corners;
            for (std::string c; words >> c;)
                corners.push_back(copy.likeStl ? c.substr(0, c.find('/')) : c);
            if (copy.reverse) std::reverse(corners.begin(), corners.end());
            out << "f";
            for (const std::string& c : corners) out << ' ' << c;
            out << '\n';
        } else if ((key != "vn" || !copy.likeStl) && (key != "mtllib" || !copy.withoutLook)) {
            out << line << '\n';
        }
    }
}

// The model stands framed: it covers at least the given part of the
// picture and at most 85 %, centred and whole.
void expectFramed(const Picture& picture, const std::string& obj, const TempDir& dir,
                  double least = 0.03) {
    ObjCopy reversed;
    reversed.reverse = true;
    writeObjCopy(obj, dir.file("turned-away.obj"), reversed);
    const Coverage c = coverage(picture, renderModel(dir.file("turned-away.obj")));
    EXPECT_GT(c.fraction, least);
    EXPECT_FALSE(c.atEdge);
    EXPECT_LT(c.fraction, 0.85);
    EXPECT_NEAR(c.centreX, 0.5, 0.1);
    EXPECT_NEAR(c.centreY, 0.5, 0.15);
}

// A glTF 2.0 file of six vertices drawn as primitives of the given mode (4
// triangles, 1 lines, 0 points), whose buffer is the file that uri names.
void writeGltf(const std::string& path, const std::string& uri, int mode = 4) {
    support::writeText(path,
                       R"({"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}],
"nodes": [{"mesh": 0}], "meshes": [{"primitives": [{"attributes": {"POSITION": 0}, "mode": )" +
                           std::to_string(mode) + R"(}]}],
"buffers": [{"uri": ")" + uri +
                           R"(", "byteLength": 72}],
"bufferViews": [{"buffer": 0, "byteLength": 72}],
"accessors": [{"bufferView": 0, "componentType": 5126, "count": 6, "type": "VEC3",
               "min": [0, 0, 0], "max": [1, 1, 1]}]})");
}

// The buffer of writeGltf: two triangles.
void writeGltfBuffer(const std::string& path) {
    const float corners[18] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 1, 0, 1, 0, 1, 1};
    support::writeText(path, std::string(reinterpret_cast<const char*>(corners), sizeof corners));
}

// The message for a model file that its reader has no right to read. Root
// reads every file, so as root the model is read in a child process that
// gave up root's rights and runs as the user nobody.
std::string errorWithoutReadRight(const std::string& path) {
    int fds[2];
    if (::pipe(fds) != 0) return "no pipe";
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        constexpr uid_t kNobody = 65534;
        Mesh model;
        ModelBox box;
        std::string error = "the test could not become the user nobody";
        if (::geteuid() != 0 || (::setgid(kNobody) == 0 && ::setuid(kNobody) == 0))
            importModel(path, *modelFormatOf(path), model, box, error);
        ::_exit(::write(fds[1], error.data(), error.size()) == ssize_t(error.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::string error;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;)
        error.append(buffer, size_t(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(child, &status, 0);
    return error;
}

// A model's folder in dir, and its models that name buffers in it and
// outside it (each of these would read a good buffer), and models that
// cannot be read; returns the folder's path, ending in '/'.
std::string writeModelFolder(const TempDir& dir) {
    const std::string folder = dir.file("model/");
    fs::create_directory(folder);
    writeGltfBuffer(dir.file("outside.bin"));
    writeGltfBuffer(folder + "inside.bin");
    fs::create_symlink("../outside.bin", folder + "link.bin");
    writeGltf(folder + "inside.gltf", "inside.bin");
    writeGltf(folder + "climbs.gltf", "../outside.bin");
    writeGltf(folder + "linked.gltf", "link.bin");
    writeGltf(folder + "absolute.gltf", dir.file("outside.bin"));
    writeGltf(folder + "file-uri.gltf", "file://" + dir.file("outside.bin"));
    writeGltf(folder + "control.gltf", "\\u001B[31m.bin");
    writeGltf(folder + "points.gltf", "inside.bin", 0);
    writeGltf(folder + "lines.gltf", "inside.bin", 1);
    // Unreadable for nobody, whose way to them is open.
    fs::permissions(dir.path(), fs::perms::owner_all | fs::perms::others_exec);
    fs::permissions(folder, fs::perms::owner_all | fs::perms::others_exec);
    for (const char* ext : {".obj", ".ply", ".stl", ".gltf", ".glb"}) {
        support::writeText(folder + "unreadable" + ext, "solid\n");
        fs::permissions(folder + "unreadable" + ext, fs::perms::none);
    }
    return folder;
}

// A flat cylinder along y, standing on y = 0, as an OBJ file: a plate for
// 4 sides, a coin for many; zero height makes a sheet in the x–z plane
// whose single side faces up.
std::string flatObj(int sides, double halfWidth, double height) {
    std::string obj;
    const double step = 2.0 * 3.14159265358979323846 / sides, turn = step / 2.0;
    for (int i = 0; i < sides; ++i) {
        const double x = halfWidth / std::cos(turn) * std::cos(turn + i * step);
        const double z = halfWidth / std::cos(turn) * std::sin(turn + i * step);
        obj += "v " + std::to_string(x) + " 0 " + std::to_string(z) + "\n";
        obj += "v " + std::to_string(x) + " " + std::to_string(height) + " " + std::to_string(z) +
               "\n";
    }
    auto corner = [sides](int i, int top) { return " " + std::to_string(i % sides * 2 + 1 + top); };
    for (int i = 1; i + 1 < sides; ++i) {
        obj += "f" + corner(0, 1) + corner(i + 1, 1) + corner(i, 1) + "\n";  // top, facing up
        if (height > 0.0) obj += "f" + corner(0, 0) + corner(i, 0) + corner(i + 1, 0) + "\n";
    }
    for (int i = 0; i < sides && height > 0.0; ++i)
        obj += "f" + corner(i, 0) + corner(i, 1) + corner(i + 1, 1) + corner(i + 1, 0) + "\n";
    return obj;
}

}  // namespace

// Three flat models (a plate, a coin and a sheet of no thickness lying in
// the x–z plane) and four real OBJ files of different sources and units:
// each stands framed in the picture, and a copy moved far off and shrunk a
// hundredfold gives the same picture.
// Copies the material libraries and textures beside an OBJ model into dir,
// so that a copy of the model there keeps its look.
void copyMaterialLibraries(const std::string& model, const TempDir& dir) {
    for (const auto& entry : fs::directory_iterator(fs::path(model).parent_path()))
        if ((entry.path().extension() == ".mtl" || entry.path().extension() == ".jpg") &&
            !fs::exists(dir.file(entry.path().filename().string())))
            fs::copy_file(entry.path(), dir.file(entry.path().filename().string()));
}

TEST(ModelStage, RealModelsAreFramedWhateverTheirUnitsAndPlace) {
    TempDir dir;
    // The bunny scan at its real size, about 15 cm, in metres.
    writeObjCopy(kBunny, dir.file("bunny-metres.obj"), ObjCopy{0.0775});
    support::writeText(dir.file("plate.obj"), flatObj(4, 50.0, 2.0));  // 100 × 100 × 2 mm
    support::writeText(dir.file("coin.obj"), flatObj(64, 10.0, 0.5));  // 20 mm across
    support::writeText(dir.file("sheet.obj"), flatObj(4, 1.0, 0.0));
    // The least part of the picture each covers: flat ones are looked down on.
    const std::pair<std::string, double> models[] = {
        {dir.file("plate.obj"), 0.15},
        {dir.file("coin.obj"), 0.15},
        {dir.file("sheet.obj"), 0.15},
        {kBunny, 0.03},
        {kAssimpModels + "OBJ/spider.obj", 0.03},
        {kAssimpModels + "OBJ/WusonOBJ.obj", 0.03},
        {dir.file("bunny-metres.obj"), 0.03},
    };
    for (const auto& [model, least] : models) {
        SCOPED_TRACE(model);
        if (!fs::exists(model)) GTEST_SKIP() << model << " is not installed";
        const Picture original = renderModel(model);
        expectFramed(original, model, dir, least);
        // Far off for its size, yet where single precision still holds it.
        const ObjCopy moved = {0.01, {3.5, -2.25, 1.75}};
        writeObjCopy(model, dir.file("moved.obj"), moved);
        copyMaterialLibraries(model, dir);
        EXPECT_GE(agreement(original, renderModel(dir.file("moved.obj"))), 0.98);
    }
}

// A PLY, a binary STL and a glTF of many nodes, read through the library,
// agree with the same models converted to OBJ by its command-line tool (node
// transforms applied) and read by Tresk's own OBJ reader; the package's
// ASCII and binary STL of one model give the same picture.
TEST(ModelStage, OtherFormatsAgreeWithTheirConversionToObj) {
    if (std::system("command -v assimp >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "the assimp command (assimp-utils) is not installed";
    TempDir dir;
    for (const std::string name : {"PLY/Wuson.ply", "STL/Wuson.stl",
                                   "glTF2/2CylinderEngine-glTF-Binary/2CylinderEngine.glb"}) {
        SCOPED_TRACE(name);
        const std::string model = kAssimpModels + name;
        if (!fs::exists(model)) GTEST_SKIP() << model << " is not installed";
        const Picture picture = renderModel(model);
        const std::string exported = dir.file("exported.obj"), obj = dir.file("converted.obj");
        const std::string command =
            "assimp export '" + model + "' '" + exported + "' -ptv >/dev/null";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
        ObjCopy conversion;
        conversion.likeStl = name.find(".stl") != std::string::npos;
        // Only glTF gives its own look; the tool writes a grey one for the others.
        conversion.withoutLook = name.find(".glb") == std::string::npos;
        writeObjCopy(exported, obj, conversion);
        const Picture converted = renderModel(obj);
        EXPECT_GE(agreement(picture, converted), 0.98);
        expectFramed(converted, obj, dir);
    }
    EXPECT_GE(agreement(renderModel(kAssimpModels + "STL/Spider_ascii.stl"),
                        renderModel(kAssimpModels + "STL/Spider_binary.stl")),
              0.99);
}

// Broken and hostile files end in one message that names the file, and the
// scene on view stays as it was. A model reads nothing outside its folder,
// whichever way its buffer's URI leads there: each of these would read a
// good buffer. Files that cannot be read say so, in every format.
TEST(ModelStage, HostileFilesEndInAMessageNamingTheFile) {
    TempDir dir;
    const std::string folder = writeModelFolder(dir);
    // A buffer inside the folder, and one in a data: URI, are read.
    for (const std::string& path :
         {folder + "inside.gltf",
          std::string(TRESK_SOURCE_DIR) + "/tests/fuzz/corpus/model/box-embedded.gltf"}) {
        std::string error;
        Diagnostics diagnostics;
        EXPECT_TRUE(
            openSceneOrModel(*Renderer::instance(), path, BrokenModel::Refuse, error, diagnostics))
            << error;
    }
    fs::create_symlink("/dev/zero", dir.file("endless.stl"));
    support::writeText(dir.file("huge.stl"), std::string(80, ' ') + "\xff\xff\xff\x7f");
    support::writeText(dir.file("model.fbx"), "Kaydara FBX Binary");
    // Binary STL cut short, its header zeroed as some exporters leave it.
    support::writeText(dir.file("cut.stl"), std::string(80, '\0') + "d" + std::string(2003, '\0'));
    support::writeText(dir.file("short.stl"), "hello");
    support::writeText(dir.file("escape.stl"),
                       "SOLID exported by a tool that writes its keywords in capitals\n"
                       "FACET NORMAL NAN NAN NAN\nOUTER LOOP\nVERTEX 0 0 \x1b[31m\n");
    support::writeText(dir.file("flat.obj"), "v 0 0 0\nv 1 0 0\nv 2 0 0\nf 1 2 3\nf 1 1 2\n");
    support::writeText(dir.file("flat.ply"),
                       "ply\nformat ascii 1.0\nelement vertex 3\nproperty float x\nproperty float "
                       "y\nproperty float z\nelement face 1\nproperty list uchar int "
                       "vertex_indices\nend_header\n0 0 0\n1 1 1\n3 3 3\n3 0 1 2\n");
    const std::string gltf = kAssimpModels + "glTF2/";
    const std::pair<std::string, std::string> cases[] = {
        {gltf + "IndexOutOfRange/IndexOutOfRange.gltf", "out-of-range"},
        {gltf + "IndexOutOfRange/AllIndicesOutOfRange.gltf", "no faces"},
        {gltf + "BoxWithInfinites-glTF-Binary/BoxWithInfinites.glb", "not a finite number"},
        {gltf + "RecursiveNodes/RecursiveNodes.gltf", "recursive"},
        {gltf + "wrongTypes/badArray.gltf", "not of type"},
        {gltf + "wrongTypes/badNumber.gltf", "not of type"},
        {kAssimpModels + "invalid/empty.ply", "PLY header"},
        {kAssimpModels + "invalid/malformed.obj", "\", line 28: "},
        {kAssimpModels + "PLY/points.ply", "only points"},
        {std::string(TRESK_SOURCE_DIR) +
             "/tests/fuzz/regressions/model/skin-without-bind-matrices.gltf",
         "failed on it"},
        {dir.file("endless.stl"), "not a regular file"},
        {dir.file("huge.stl"), "2147483647 triangles"},
        {dir.file("model.fbx"), "OBJ, PLY, STL, glTF and GLB"},
        {dir.file("cut.stl"), "binary STL of 100 triangles needs 5084 bytes, the file has 2084."},
        {dir.file("short.stl"), "binary STL takes at least 84 bytes, the file has 5."},
        {dir.file("escape.stl"),
         "line 4: expected a finite number (ASCII STL), but found "
         "\"\\x1B[31m\"."},
        {dir.file("flat.obj"), "holds only triangles that cover no area (2, each"},
        {dir.file("flat.ply"), "holds only triangles that cover no area (1, each"},
        {dir.file("missing.glb"), "No such file"},
        {folder + "climbs.gltf", "\"../outside.bin\", which lies outside the model's folder"},
        {folder + "linked.gltf", "\"link.bin\", which lies outside the model's folder"},
        {folder + "absolute.gltf", "by an absolute path"},
        {folder + "file-uri.gltf", "a URI of the scheme \"file:\""},
        {folder + "control.gltf", "\"\\x1B[31m.bin\", which cannot be found"},
        {folder + "points.gltf", "only points: Tresk shows surfaces"},
        {folder + "lines.gltf", "only lines: Tresk shows surfaces"},
        {kAssimpModels + "glTF/BoxTextured-glTF-Binary/BoxTextured.glb",
         "a GLB file of glTF 1.0, which Tresk does not read"},
        {folder + "unreadable.obj", "Permission denied"},
        {folder + "unreadable.ply", "Permission denied"},
        {folder + "unreadable.stl", "Permission denied"},
        {folder + "unreadable.gltf", "Permission denied"},
        {folder + "unreadable.glb", "Permission denied"},
    };
    const size_t before = renderModel(kAssimpModels + "OBJ/spider.obj").rgb.size();
    const size_t triangles = Renderer::instance()->meshTriangleCount();
    for (const auto& [path, why] : cases) {
        SCOPED_TRACE(path);
        std::string error;
        Diagnostics diagnostics;
        if (fs::path(path).stem() == "unreadable")
            error = errorWithoutReadRight(path);
        else
            EXPECT_FALSE(openSceneOrModel(*Renderer::instance(), path, BrokenModel::Refuse, error,
                                          diagnostics));
        EXPECT_NE(error.find("file \"" + path + "\""), std::string::npos) << error;
        EXPECT_NE(error.find(why), std::string::npos) << error;
        EXPECT_TRUE(std::none_of(error.begin(), error.end(), [](unsigned char c) {
            return c < 0x20 || c == 0x7f;
        })) << error;
        EXPECT_EQ(Renderer::instance()->meshTriangleCount(), triangles);
    }
    EXPECT_GT(before, 0u);
}

// ASCII STL as exporters write it, in upper case or without its last
// "endsolid", and binary STL of the same facets give the same triangles; a
// degenerate facet is left out and counted in one warning.
TEST(ModelStage, StlOfAnyLetterCaseOrKindGivesTheSameTriangles) {
    const float corners[3][9] = {{0, 0, 0, 4, 0, 0, 0, 3, 1},
                                 {4, 0, 0, 4, 3, 2, 0, 3, 1},
                                 {0, 0, 0, 2, 0, 0, 4, 0, 0}};  // on one line
    std::ostringstream ascii;
    std::string binary(80, '\0');
    binary += std::string("\x03\0\0\0", 4);
    ascii << "solid plate\n";
    for (const auto& c : corners) {
        ascii << "  facet normal 0 0 0\n    outer loop\n";
        for (int v = 0; v < 3; ++v)
            ascii << "      vertex " << c[3 * v] << " " << c[3 * v + 1] << " " << c[3 * v + 2]
                  << "\n";
        ascii << "    endloop\n  endfacet\n";
        binary += std::string(12, '\0') + std::string(reinterpret_cast<const char*>(c), 36) +
                  std::string(2, '\0');
    }
    const std::string lower = ascii.str() + "endsolid plate\n";
    std::string upper = lower;
    for (char& ch : upper) ch = char(std::toupper(static_cast<unsigned char>(ch)));
    TempDir dir;
    support::writeText(dir.file("lower.stl"), lower);
    support::writeText(dir.file("upper.stl"), upper);
    support::writeText(dir.file("unended.stl"), ascii.str());
    support::writeText(dir.file("binary.stl"), binary);
    std::vector<Vec3> first;
    for (const char* name : {"lower.stl", "upper.stl", "unended.stl", "binary.stl"}) {
        SCOPED_TRACE(name);
        ModelStage stage;
        std::string error;
        ASSERT_TRUE(makeModelStage(dir.file(name), *modelFormatOf(name), stage, error)) << error;
        EXPECT_EQ(stage.model.triangleCount(), 2);
        if (first.empty()) first = stage.model.positions;
        EXPECT_EQ(stage.model.positions, first);
        ASSERT_EQ(stage.diagnostics.size(), 1u);
        EXPECT_EQ(stage.diagnostics[0].severity, Severity::Note);
        EXPECT_EQ(stage.diagnostics[0].text,
                  "Model file \"" + dir.file(name) +
                      "\": 1 triangle was left out: its corners lie on one point or on one line.");
    }
}
