// Models keep their own look: an OBJ model's material libraries give its
// faces their colours and surface kinds, and a library or texture that is
// missing or lies outside the model's folder is one warning, not a lost
// model.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "render/Renderer.h"
#include "scene/ModelFormats.h"
#include "scene/ModelImporter.h"
#include "scene/ModelReaders.h"
#include "scene/ModelStage.h"
#include "scene/ObjMaterials.h"
#include "tests/support/Support.h"

using support::TempDir;
namespace fs = std::filesystem;

namespace {

const Vec3 kFaceColours[6] = {{0.9f, 0.1f, 0.1f}, {0.1f, 0.9f, 0.1f}, {0.1f, 0.1f, 0.9f},
                              {0.9f, 0.9f, 0.1f}, {0.1f, 0.9f, 0.9f}, {0.9f, 0.1f, 0.9f}};

// A cube turned to show three faces to the camera (a corner pointing at
// it), or with every point mirrored through its centre to show the other
// three in the same places; face k uses material "fk".
// The cube's corner i (bit k set: +1 along axis k, else -1), or a normal,
// turned so that a corner points at the camera.
Vec3 turned(double x, double y, double z) {
    const double a = std::atan(1.0), b = std::atan(std::sqrt(0.5));
    const double x1 = x * std::cos(a) + z * std::sin(a), z1 = -x * std::sin(a) + z * std::cos(a);
    return Vec3(float(x1), float(y * std::cos(b) - z1 * std::sin(b)),
                float(y * std::sin(b) + z1 * std::cos(b)));
}

Vec3 corner(int i, bool mirrored) {
    const float s = mirrored ? -1.f : 1.f;
    return turned(i & 1 ? s : -s, i & 2 ? s : -s, i & 4 ? s : -s);
}

// Face f's corners, counter-clockwise seen from outside (mirroring turns it).
std::array<int, 4> faceCorners(int f, bool mirrored) {
    const int axis = f / 2, sign = f % 2 ? 1 : -1;
    const int u = 1 << ((axis + 1) % 3), v = 1 << ((axis + 2) % 3);
    const int base = sign > 0 ? 1 << axis : 0;
    const bool forward = (sign > 0) != mirrored;
    return {base, forward ? base + u : base + v, base + u + v, forward ? base + v : base + u};
}

std::string text(const Vec3& v) {
    return std::to_string(v.x) + " " + std::to_string(v.y) + " " + std::to_string(v.z) + "\n";
}

// A cube turned to show three faces to the camera (a corner pointing at
// it), or with every point mirrored through its centre to show the other
// three in the same places; face k uses material "fk".
std::string cubeObj(bool mirrored, const std::string& mtllib, bool textured = false) {
    std::string t = mtllib.empty() ? "" : "mtllib " + mtllib + "\n";
    const std::string uv = textured ? "1" : "";
    if (textured) t += "vt 0.5 0.5\n";
    for (int i = 0; i < 8; ++i) t += "v " + text(corner(i, mirrored));
    for (int f = 0; f < 6; ++f) {
        double n[3] = {0, 0, 0};
        n[f / 2] = (f % 2 ? 1 : -1) * (mirrored ? -1 : 1);
        t += "vn " + text(turned(n[0], n[1], n[2]));
        t += "usemtl f" + std::to_string(f) + "\nf";
        for (int c : faceCorners(f, mirrored))
            t += " " + std::to_string(c + 1) + "/" + uv + "/" + std::to_string(f + 1);
        t += "\n";
    }
    return t;
}

// The same cube as a glTF file of one material with this base colour, its
// triangles' corners in a data: URI.
std::string cubeGltf(const Vec3& base) {
    std::vector<float> corners;
    for (int f = 0; f < 6; ++f) {
        const std::array<int, 4> c = faceCorners(f, false);
        for (int k : {c[0], c[1], c[2], c[0], c[2], c[3]}) {
            const Vec3 p = corner(k, false);
            corners.insert(corners.end(), {p.x, p.y, p.z});
        }
    }
    const std::string bytes(reinterpret_cast<const char*>(corners.data()), 4 * corners.size());
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string b64;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size()) n |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size()) n |= uint32_t(uint8_t(bytes[i + 2]));
        for (size_t k = 0; k < 4; ++k)
            b64 += i + k <= bytes.size() ? digits[(n >> (18 - 6 * k)) & 63] : '=';
    }
    return R"({"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}],
"nodes": [{"mesh": 0}], "meshes": [{"primitives": [{"attributes": {"POSITION": 0}, "material": 0}]}],
"materials": [{"pbrMetallicRoughness": {"baseColorFactor": [)" +
           std::to_string(base.x) + ", " + std::to_string(base.y) + ", " + std::to_string(base.z) +
           R"(, 1], "metallicFactor": 0}}],
"buffers": [{"uri": "data:application/octet-stream;base64,)" +
           b64 + R"(", "byteLength": )" + std::to_string(bytes.size()) + R"(}],
"bufferViews": [{"buffer": 0, "byteLength": )" +
           std::to_string(bytes.size()) + R"(}],
"accessors": [{"bufferView": 0, "componentType": 5126, "count": 36, "type": "VEC3",
               "min": [-2, -2, -2], "max": [2, 2, 2]}]})";
}

std::string faceMtl(bool white) {
    std::string t;
    for (int f = 0; f < 6; ++f) {
        const Vec3 c = white ? Vec3(1.f, 1.f, 1.f) : kFaceColours[f];
        t += "newmtl f" + std::to_string(f) + "\nKd " + std::to_string(c.x) + " " +
             std::to_string(c.y) + " " + std::to_string(c.z) + "\n";
    }
    return t;
}

void write(const std::string& path, const std::string& text) { std::ofstream(path) << text; }

// The stage's radiance, one pass on one thread.
std::vector<float> radiance(const std::string& path, Diagnostics& diagnostics) {
    support::SingleThread oneThread;
    Renderer& r = *Renderer::instance();
    std::string error;
    if (!openSceneOrModel(r, path, BrokenModel::Refuse, error, diagnostics)) {
        ADD_FAILURE() << error;
        return {};
    }
    r.render();
    return std::vector<float>(r.radianceBuffer(),
                              r.radianceBuffer() + 3 * r.geometry().pixelCount());
}

// The face whose colour this pixel's ratio to the white model shows, -1
// off the model (a ratio of one), -2 for a ratio that is no face's colour.
int faceOf(const float* coloured, const float* white, const Vec3* colours = kFaceColours,
           int count = 6) {
    if (std::max(white[0], std::max(white[1], white[2])) < 0.05f) return -1;  // unlit
    float ratio[3];
    for (int c = 0; c < 3; ++c) ratio[c] = white[c] > 0.f ? coloured[c] / white[c] : 1.f;
    auto near = [&](const Vec3& k) {
        return std::fabs(ratio[0] - k.x) < 0.02f && std::fabs(ratio[1] - k.y) < 0.02f &&
               std::fabs(ratio[2] - k.z) < 0.02f;
    };
    if (near(Vec3(1.f, 1.f, 1.f))) return -1;
    for (int f = 0; f < count; ++f)
        if (near(colours[f])) return f;
    return -2;
}

// The pixels of the coloured model whose ratio to the white one is the
// colour; no pixel may show another ratio than it or one. No diagnostics.
int pixelsShowing(const std::string& coloured, const std::string& white, const Vec3& colour) {
    Diagnostics diagnostics;
    const std::vector<float> a = radiance(coloured, diagnostics), b = radiance(white, diagnostics);
    EXPECT_TRUE(diagnostics.empty()) << diagnostics.front().text;
    if (a.size() != b.size()) return -1;
    int pixels = 0;
    for (size_t i = 0; i < a.size(); i += 3) {
        const int face = faceOf(&a[i], &b[i], &colour, 1);
        if (face == -2) return -1;
        pixels += face == 0;
    }
    return pixels;
}

TEST(ModelLook, EachFaceOfACubeShowsItsOwnKd) {
    TempDir dir;
    write(dir.file("faces.mtl"), faceMtl(false));
    write(dir.file("white.mtl"), faceMtl(true));
    int pixels[6] = {0, 0, 0, 0, 0, 0};
    for (bool mirrored : {false, true}) {
        write(dir.file("faces.obj"), cubeObj(mirrored, "faces.mtl"));
        write(dir.file("white.obj"), cubeObj(mirrored, "white.mtl"));
        Diagnostics diagnostics;
        const std::vector<float> coloured = radiance(dir.file("faces.obj"), diagnostics);
        const std::vector<float> white = radiance(dir.file("white.obj"), diagnostics);
        EXPECT_TRUE(diagnostics.empty()) << diagnostics.front().text;
        ASSERT_EQ(coloured.size(), white.size());
        for (size_t i = 0; i < coloured.size(); i += 3) {
            const int face = faceOf(&coloured[i], &white[i]);
            ASSERT_NE(face, -2) << "pixel " << i / 3;
            if (face >= 0) ++pixels[face];
        }
    }
    for (int f = 0; f < 6; ++f) EXPECT_GT(pixels[f], 500) << "face " << f;
}

// A texture multiplies into the colour, turned from sRGB to linear: every
// face of a cube with one texel's texture shows the texel's colour.
TEST(ModelLook, ATextureColoursItsFaces) {
    TempDir dir;
    std::ofstream(dir.file("texel.ppm"), std::ios::binary) << "P6\n1 1\n255\n\xc8\x64\x32";
    std::string mtl;
    for (int f = 0; f < 6; ++f) mtl += "newmtl f" + std::to_string(f) + "\nmap_Kd texel.ppm\n";
    write(dir.file("textured.mtl"), mtl);
    write(dir.file("white.mtl"), faceMtl(true));
    write(dir.file("textured.obj"), cubeObj(false, "textured.mtl", true));
    write(dir.file("white.obj"), cubeObj(false, "white.mtl", true));
    const Vec3 expected(0.578f, 0.127f, 0.0319f);  // sRGB 200, 100, 50
    EXPECT_GT(pixelsShowing(dir.file("textured.obj"), dir.file("white.obj"), expected), 1000);
}

// The cube as an ASCII PLY file whose every vertex has this 8-bit colour.
std::string cubePly(int r, int g, int b) {
    std::string t =
        "ply\nformat ascii 1.0\nelement vertex 8\nproperty float x\nproperty float y\n"
        "property float z\nproperty uchar red\nproperty uchar green\nproperty uchar blue\n"
        "element face 6\nproperty list uchar int vertex_indices\nend_header\n";
    const std::string colour =
        " " + std::to_string(r) + " " + std::to_string(g) + " " + std::to_string(b) + "\n";
    for (int i = 0; i < 8; ++i) {
        const std::string p = text(corner(i, false));
        t += p.substr(0, p.size() - 1) + colour;
    }
    for (int f = 0; f < 6; ++f) {
        t += "4";
        for (int c : faceCorners(f, false)) t += " " + std::to_string(c);
        t += "\n";
    }
    return t;
}

// Vertex colours, taken as sRGB, against the same model in white.
TEST(ModelLook, APlyShowsItsVertexColours) {
    TempDir dir;
    write(dir.file("coloured.ply"), cubePly(255, 128, 0));
    write(dir.file("white.ply"), cubePly(255, 255, 255));
    const Vec3 expected(1.f, 0.216f, 0.f);
    EXPECT_GT(pixelsShowing(dir.file("coloured.ply"), dir.file("white.ply"), expected), 1000);
}

// A glTF model's base colour, against the same model in white.
TEST(ModelLook, AGltfShowsItsBaseColour) {
    TempDir dir;
    const Vec3 expected(0.2f, 0.5f, 0.8f);
    write(dir.file("coloured.gltf"), cubeGltf(expected));
    write(dir.file("white.gltf"), cubeGltf(Vec3(1.f, 1.f, 1.f)));
    EXPECT_GT(pixelsShowing(dir.file("coloured.gltf"), dir.file("white.gltf"), expected), 1000);
}

std::string repeated(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) out += text;
    return out;
}

// A library or texture that cannot be read, or a library that is hostile:
// the model still shows, in colours that are numbers of light, with at most
// kMaxLookWarnings printable warnings, the first naming what it is about.
TEST(ModelLook, HostileLibrariesLeaveTheModelShowingWithFewWarnings) {
    std::string names;  // thousands of libraries on one line, none there
    for (int i = 0; i < 5000; ++i) names += " m" + std::to_string(i) + ".mtl";
    const std::string f0 = "newmtl f0\n";
    struct Row {
        std::string mtllib;
        std::string mtl;    // written as "faces.mtl"
        const char* named;  // by the first warning; none without one
        size_t warnings;
    } rows[] = {
        {"missing.mtl", "", "missing.mtl", 1},
        {"../outside.mtl", "", "../outside.mtl", 1},
        {"faces.mtl", "newmtl f0\nmap_Kd gone.png\nnewmtl f1\nmap_Kd gone.png\n", "gone.png", 1},
        {"faces.mtl", f0 + "map_Kd ..\\..\\etc\\passwd.png\n", "../../etc/passwd.png", 1},
        {"/etc/passwd", "", "/etc/passwd", 1},
        {"faces.mtl", f0 + "map_Kd /etc/passwd\n", "by an absolute path", 1},
        {"faces.mtl", f0 + "map_Kd -s 1 1 1 file:///etc/hostname\n", "file:///etc/hostname", 1},
        {"faces.mtl", f0 + "map_Kd sub\n", "\"sub\", which is not a regular file", 1},
        {"faces.mtl", f0 + "map_Kd pipe\n", "\"pipe\", which is not a regular file", 1},
        {"faces.mtl", f0 + "map_Kd zero\n", "outside the model's folder", 1},
        {"pipe", "", "\"pipe\", which is not a regular file", 1},
        {"sub", "", "\"sub\", which is not a regular file", 1},
        {"faces.mtl", "newmtl \x1b[31m\nmap_Kd gone.png\n", "material \"\\x1B[31m\"", 1},
        {"faces.mtl" + names, faceMtl(false), "\"m0.mtl\"", kMaxLookWarnings},
        {repeated("faces.mtl ", 5000), faceMtl(false), nullptr, 0},
        {"faces.mtl", repeated("newmtl m\n", int(kMaxModelMaterials) + 1), "more than 65536", 1},
        {"cube.obj", "", nullptr, 0},  // the model as its own library
        {"texel.ppm", "", nullptr, 0},
        {"faces.mtl", "newmtl f0\nKd 1e39 -1e39 nan\nKs inf inf inf\nNs -5\nd nan\nillum 1e30\n",
         nullptr, 0},
        {"faces.mtl",
         "newmtl\nKd -1 -1 -1\nnewmtl f1\nKd 0.5 0.5 0.5\n" + std::string(1, '\0') +
             "newmtl f2\nKd nan\n",
         nullptr, 0},
        {"faces.mtl", "newmtl f3\nKd 0.5 0 0 " + std::string(10 << 20, '7') + "\n", nullptr, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.mtllib.substr(0, 40));
        TempDir dir;
        write(dir.file("faces.mtl"), row.mtl);
        write(dir.file("texel.ppm"), std::string("P6 1 1 255\n\x80\x40\x00", 14));
        fs::create_directory(dir.file("sub"));
        ASSERT_EQ(::mkfifo(dir.file("pipe").c_str(), 0600), 0);
        fs::create_symlink("/dev/zero", dir.file("zero"));
        write(dir.file("cube.obj"), cubeObj(false, row.mtllib));
        Diagnostics diagnostics;
        const std::vector<float> light = radiance(dir.file("cube.obj"), diagnostics);
        EXPECT_FALSE(light.empty());
        EXPECT_TRUE(std::all_of(light.begin(), light.end(),
                                [](float v) { return std::isfinite(v) && v >= 0.f; }));
        EXPECT_EQ(diagnostics.size(), row.warnings);
        for (const Diagnostic& d : diagnostics) {
            EXPECT_EQ(d.severity, Severity::Warning);
            EXPECT_TRUE(std::none_of(d.text.begin(), d.text.end(), [](unsigned char c) {
                return c < 0x20 || c == 0x7f;
            })) << d.text;
        }
        if (row.named && !diagnostics.empty()) {
            EXPECT_NE(diagnostics[0].text.find(row.named), std::string::npos)
                << diagnostics[0].text;
        }
    }
}

TEST(ModelLook, MtlStatementsChooseTheSurfaceKind) {
    using Kind = ModelMaterial::Kind;
    struct Row {
        const char* mtl;
        Kind kind;
        Vec3 colour;
    } rows[] = {
        {"Kd 0.2 0.4 0.6", Kind::Diffuse, {0.2f, 0.4f, 0.6f}},
        {"Kd 0.2 0.4 0.6\nKs 0.5 0.5 0.5\nNs 250", Kind::Diffuse, {0.2f, 0.4f, 0.6f}},
        {"Kd 0.2 0.4 0.6\nKs 0.9 0.9 0.9\nNs 200", Kind::Glossy, {0.2f, 0.4f, 0.6f}},
        {"Kd 0.2 0.4 0.6\nKs 0.9 0.8 0.7\nNs 900", Kind::Mirror, {0.9f, 0.8f, 0.7f}},
        {"Kd 0.2 0.4 0.6\nKs 0.9 0.8 0.7\nillum 3", Kind::Mirror, {0.9f, 0.8f, 0.7f}},
        {"Kd 1 1 1\nd 0.3\nNi 1.45", Kind::Glass, {1.f, 1.f, 1.f}},
        {"Kd 1 1 1\nTr 0.7", Kind::Glass, {1.f, 1.f, 1.f}},
        {"Kd 1 1 1\nillum 7", Kind::Glass, {1.f, 1.f, 1.f}},
        {"Kd nan inf -4", Kind::Diffuse, {0.f, 1.f, 0.f}},
        {"Kd 1e39 -1e39 -0", Kind::Diffuse, {1.f, 0.f, 0.f}},
        {"Kd 0.5\nKs 1 1 1\nNs -5\nd nan\nTr inf\nillum 1e30", Kind::Diffuse, {0.5f, 0.5f, 0.5f}},
        {"Ks 1e39 nan 0.5\nillum 3", Kind::Mirror, {1.f, 0.f, 0.5f}},
    };
    TempDir dir;
    const ModelFolder folder(dir.file("model.obj"));
    for (const Row& row : rows) {
        std::istringstream in(std::string("newmtl m\n") + row.mtl + "\n");
        ModelLook look;
        parseMtl(in, folder, "model.mtl", look);
        ASSERT_EQ(look.materials.size(), 1u);
        EXPECT_EQ(look.materials[0].kind, row.kind) << row.mtl;
        EXPECT_EQ(look.materials[0].colour, row.colour) << row.mtl;
    }
}

TEST(ModelLook, PackagedObjFilesGiveTheirTexturesAndVertexColours) {
    Mesh spider, cube;
    std::string error;
    ASSERT_TRUE(readObjModel("/usr/share/assimp/models/OBJ/spider.obj", spider, error)) << error;
    ASSERT_EQ(spider.look.materials.size(), 5u);
    EXPECT_TRUE(spider.look.diagnostics.empty());
    for (const ModelMaterial& m : spider.look.materials)
        EXPECT_FALSE(m.textureFile.empty()) << m.name;
    ASSERT_EQ(spider.materialIndices.size(), size_t(spider.triangleCount()));
    for (int32_t m : spider.materialIndices) EXPECT_GE(m, 0);
    ASSERT_TRUE(
        readObjModel("/usr/share/assimp/models/OBJ/cube_with_vertexcolors.obj", cube, error))
        << error;
    ASSERT_EQ(cube.colours.size(), 8u);  // "v 1 0 0 0.09412 0.78431 0.09804"
    EXPECT_NEAR(cube.colours[4].x, 0.0090f, 1e-3f);
    EXPECT_NEAR(cube.colours[4].y, 0.5776f, 1e-3f);
    EXPECT_NEAR(cube.colours[4].z, 0.0097f, 1e-3f);
}

// A text long enough to be read in many pieces side by side: each face
// keeps the material of the last "usemtl" before it, however many pieces
// back, a library named after faces gives them none, and every position's
// colour is kept in order.
TEST(ModelLook, MaterialsAndColoursLastAcrossThePiecesOfALongText) {
    TempDir dir;
    write(dir.file("m.mtl"), "newmtl m0\nKd 1 0 0\nnewmtl m1\nKd 0 1 0\nnewmtl m2\nKd 0 0 1\n");
    constexpr int kRows = 300, kColumns = 200;  // 120000 triangles, about 3 MB
    std::string obj;
    for (int j = 0; j <= kRows; ++j)
        for (int i = 0; i <= kColumns; ++i)
            obj += "v " + std::to_string(i) + " " + std::to_string(j) + " " +
                   std::to_string((i * j) % 7) + " " + std::to_string(i % 2) + " 0.5 " +
                   std::to_string(j % 2) + "\n";
    std::vector<int32_t> expected;
    int32_t current = -1;
    for (int j = 0; j < kRows; ++j) {
        if (j == 10) obj += "mtllib m.mtl\n";
        if (j % 7 == 3) {
            const int m = j / 7 % 5;  // m3 and m4 are defined nowhere
            obj += "usemtl m" + std::to_string(m) + "\n";
            current = j < 10 || m > 2 ? -1 : m;
        }
        if (j % 11 == 5) obj += "usemtl\n";
        if (j % 11 == 5) current = -1;
        for (int i = 0; i < kColumns; ++i) {
            const int a = j * (kColumns + 1) + i + 1, b = a + kColumns + 1;
            obj += "f " + std::to_string(a) + " " + std::to_string(a + 1) + " " +
                   std::to_string(b + 1) + " " + std::to_string(b) + "\n";
            expected.insert(expected.end(), {j < 10 ? -1 : current, j < 10 ? -1 : current});
        }
    }
    write(dir.file("long.obj"), obj);
    Mesh mesh;
    std::string error;
    ASSERT_TRUE(readObjModel(dir.file("long.obj"), mesh, error)) << error;
    EXPECT_EQ(mesh.materialIndices, expected);
    ASSERT_EQ(mesh.colours.size(), size_t((kRows + 1) * (kColumns + 1)));
    for (size_t k = 0; k < mesh.colours.size(); k += 997) {
        const int i = int(k) % (kColumns + 1), j = int(k) / (kColumns + 1);
        EXPECT_EQ(mesh.colours[k].x, float(i % 2)) << k;
        EXPECT_NEAR(mesh.colours[k].y, 0.2140411f, 1e-6f) << k;  // sRGB 0.5
        EXPECT_EQ(mesh.colours[k].z, float(j % 2)) << k;
    }
}

// The textured box as a glTF file beside its image, as a GLB and with the
// image in a data: URI: each gives its material its texture.
TEST(ModelLook, PackagedGltfBoxesCarryTheirTexture) {
    const std::string box = "/usr/share/assimp/models/glTF2/BoxTextured-glTF";
    for (const std::string& path : {box + "/BoxTextured.gltf", box + "-Binary/BoxTextured.glb",
                                    box + "-Embedded/BoxTextured.gltf"}) {
        SCOPED_TRACE(path);
        Mesh mesh;
        ModelBox size;
        std::string error;
        ASSERT_TRUE(importModel(path, *modelFormatOf(path), mesh, size, error)) << error;
        EXPECT_TRUE(mesh.look.textured());
        EXPECT_TRUE(mesh.look.diagnostics.empty());
        EXPECT_EQ(mesh.texCoords.size(), mesh.positions.size());
    }
}

}  // namespace
