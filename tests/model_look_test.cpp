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
#include <filesystem>
#include <fstream>
#include <iterator>
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

// A triangle mesh as the tests write it into PLY and glTF files: normals,
// when given, one for each position.
struct Shape {
    std::vector<Vec3> positions, normals;
    std::vector<std::array<int, 3>> triangles;
};

// The turned cube: its eight corners shared by the faces, or four corners
// of each face's own, with the face's normal.
Shape cubeShape(bool withNormals) {
    Shape s;
    if (!withNormals)
        for (int i = 0; i < 8; ++i) s.positions.push_back(corner(i, false));
    for (int f = 0; f < 6; ++f) {
        std::array<int, 4> c = faceCorners(f, false);
        if (withNormals) {
            double n[3] = {0, 0, 0};
            n[f / 2] = f % 2 ? 1 : -1;
            for (int& k : c) {
                s.positions.push_back(corner(k, false));
                s.normals.push_back(turned(n[0], n[1], n[2]));
                k = int(s.positions.size()) - 1;
            }
        }
        s.triangles.push_back({c[0], c[1], c[2]});
        s.triangles.push_back({c[0], c[2], c[3]});
    }
    return s;
}

// A sphere of n rings of 2n corners (poles apart), or with sides only
// (sides > 0): an upright prism of that many sides, closed
// by flat caps. Normals, when given, are the true ones: radial on the
// sphere and on a prism's sides, up and down on its caps.
Shape roundShape(int n, int sides, bool withNormals) {
    Shape s;
    const int around = sides > 0 ? sides : 2 * n, rings = sides > 0 ? 2 : n - 1;
    const double pi = 3.14159265358979323846;
    auto ring = [&](int r) { return 1 + r * around; };
    s.positions.emplace_back(0.f, 1.f, 0.f);
    s.normals.emplace_back(0.f, 1.f, 0.f);
    for (int r = 0; r < rings; ++r) {
        const double t = sides > 0 ? 0.25 * pi + 0.5 * pi * r : pi * (r + 1) / n;
        for (int k = 0; k < around; ++k) {
            const double p = 2 * pi * k / around;
            const Vec3 v(float(std::sin(t) * std::cos(p)), float(std::cos(t)),
                         float(std::sin(t) * std::sin(p)));
            s.positions.push_back(sides > 0 ? Vec3(v.x, r == 0 ? 1.f : -1.f, v.z) : v);
            s.normals.push_back(sides > 0 ? unitOrZero(v.x, 0, v.z) : v);
        }
    }
    s.positions.emplace_back(0.f, -1.f, 0.f);
    s.normals.emplace_back(0.f, -1.f, 0.f);
    const int last = int(s.positions.size()) - 1;
    for (int k = 0; k < around; ++k) {
        const int k1 = (k + 1) % around;
        s.triangles.push_back({0, ring(0) + k1, ring(0) + k});
        s.triangles.push_back({last, ring(rings - 1) + k, ring(rings - 1) + k1});
        for (int r = 0; r + 1 < rings; ++r) {
            s.triangles.push_back({ring(r) + k, ring(r) + k1, ring(r + 1) + k1});
            s.triangles.push_back({ring(r) + k, ring(r + 1) + k1, ring(r + 1) + k});
        }
    }
    if (sides > 0 && withNormals) {
        // The caps' corners apart from the sides', with the caps' normals.
        for (auto& t : s.triangles) {
            if (t[0] != 0 && t[0] != last) continue;
            for (int& k : t) {
                if (k == t[0]) continue;
                s.positions.push_back(s.positions[size_t(k)]);
                s.normals.push_back(s.normals[size_t(t[0])]);
                k = int(s.positions.size()) - 1;
            }
        }
    }
    if (!withNormals) s.normals.clear();
    return s;
}

std::string base64(const std::string& bytes) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string b64;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t n = uint32_t(uint8_t(bytes[i])) << 16;
        if (i + 1 < bytes.size()) n |= uint32_t(uint8_t(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size()) n |= uint32_t(uint8_t(bytes[i + 2]));
        for (size_t k = 0; k < 4; ++k)
            b64 += i + k <= bytes.size() ? digits[(n >> (18 - 6 * k)) & 63] : '=';
    }
    return b64;
}

// The shape as a glTF file of one material with this base colour and
// these further properties of its metal-roughness block (or the whole
// material's, after a closing brace), its triangles' corners (and their
// normals) in a data: URI.
std::string gltfOf(const Shape& shape, const Vec3& base,
                   const std::string& more = R"("metallicFactor": 0)") {
    std::vector<float> floats;
    for (const std::vector<Vec3>* list : {&shape.positions, &shape.normals})
        for (const auto& t : shape.triangles)
            for (int k : t)
                if (!list->empty())
                    floats.insert(floats.end(), {(*list)[size_t(k)].x, (*list)[size_t(k)].y,
                                                 (*list)[size_t(k)].z});
    const std::string bytes(reinterpret_cast<const char*>(floats.data()), 4 * floats.size());
    const std::string count = std::to_string(3 * shape.triangles.size());
    const std::string half = std::to_string(shape.normals.empty() ? 0 : bytes.size() / 2);
    return R"({"asset": {"version": "2.0"}, "extensionsUsed": ["KHR_materials_transmission"],
"scene": 0, "scenes": [{"nodes": [0]}],
"nodes": [{"mesh": 0}], "meshes": [{"primitives": [{"attributes": {"POSITION": 0)" +
           std::string(shape.normals.empty() ? "" : R"(, "NORMAL": 1)") + R"(}, "material": 0}]}],
"materials": [{"pbrMetallicRoughness": {"baseColorFactor": [)" +
           std::to_string(base.x) + ", " + std::to_string(base.y) + ", " + std::to_string(base.z) +
           ", 1], " + more + R"(}}],
"buffers": [{"uri": "data:application/octet-stream;base64,)" +
           base64(bytes) + R"(", "byteLength": )" + std::to_string(bytes.size()) + R"(}],
"bufferViews": [{"buffer": 0, "byteLength": )" +
           std::to_string(bytes.size()) + R"(}],
"accessors": [{"bufferView": 0, "componentType": 5126, "count": )" +
           count + R"(, "type": "VEC3", "min": [-2, -2, -2], "max": [2, 2, 2]},
              {"bufferView": 0, "byteOffset": )" +
           half + R"(, "componentType": 5126, "count": )" + count + R"(, "type": "VEC3"}]})";
}

// The same cube as a glTF file of one material with this base colour (and
// more, as gltfOf takes it).
std::string cubeGltf(const Vec3& base, const std::string& more = R"("metallicFactor": 0)") {
    return gltfOf(cubeShape(false), base, more);
}

// The shape as an ASCII PLY file.
std::string plyOf(const Shape& shape) {
    const bool normals = !shape.normals.empty();
    std::string t = "ply\nformat ascii 1.0\nelement vertex " +
                    std::to_string(shape.positions.size()) +
                    "\nproperty float x\nproperty float y\nproperty float z\n" +
                    (normals ? "property float nx\nproperty float ny\nproperty float nz\n" : "") +
                    "element face " + std::to_string(shape.triangles.size()) +
                    "\nproperty list uchar int vertex_indices\nend_header\n";
    for (size_t i = 0; i < shape.positions.size(); ++i) {
        const std::string p = text(shape.positions[i]);
        t += normals ? p.substr(0, p.size() - 1) + " " + text(shape.normals[i]) : p;
    }
    for (const auto& f : shape.triangles)
        t += "3 " + std::to_string(f[0]) + " " + std::to_string(f[1]) + " " + std::to_string(f[2]) +
             "\n";
    return t;
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

// A scene that shows the cube of this OBJ file through a "modelmesh" entry,
// its faces without a material of the file in white.
std::string modelMeshScene(const std::string& obj) {
    return "0 1 160 160 160 160 0 0 7 1\n1 diffusephongmaterial 1 1 1\n1 modelmesh " + obj +
           " 8 0\n1 lamp 2 3 9 0 120 120 120 0\n";
}

// Opened as a model, and in a scene through the "modelmesh" entry.
TEST(ModelLook, EachFaceOfACubeShowsItsOwnKd) {
    TempDir dir;
    write(dir.file("faces.mtl"), faceMtl(false));
    write(dir.file("white.mtl"), faceMtl(true));
    write(dir.file("faces.txt"), modelMeshScene("faces.obj"));
    write(dir.file("white.txt"), modelMeshScene("white.obj"));
    for (const char* form : {".obj", ".txt"}) {
        int pixels[6] = {0, 0, 0, 0, 0, 0};
        for (bool mirrored : {false, true}) {
            write(dir.file("faces.obj"), cubeObj(mirrored, "faces.mtl"));
            write(dir.file("white.obj"), cubeObj(mirrored, "white.mtl"));
            Diagnostics diagnostics;
            const std::vector<float> coloured =
                radiance(dir.file(std::string("faces") + form), diagnostics);
            const std::vector<float> white =
                radiance(dir.file(std::string("white") + form), diagnostics);
            EXPECT_TRUE(diagnostics.empty()) << diagnostics.front().text;
            ASSERT_EQ(coloured.size(), white.size());
            for (size_t i = 0; i < coloured.size(); i += 3) {
                const int face = faceOf(&coloured[i], &white[i]);
                ASSERT_NE(face, -2) << "pixel " << i / 3;
                if (face >= 0) ++pixels[face];
            }
        }
        for (int f = 0; f < 6; ++f) EXPECT_GT(pixels[f], 500) << form << " face " << f;
    }
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
        write(dir.file("scene.txt"), modelMeshScene("cube.obj"));
        for (const char* opened : {"cube.obj", "scene.txt"}) {
            SCOPED_TRACE(opened);
            Diagnostics diagnostics;
            const std::vector<float> light = radiance(dir.file(opened), diagnostics);
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

// The mean colour of the 5 x 5 pixels about (x, y), given as fractions of
// the picture's width and height from its top left (the rows of the
// radiance run from the bottom up).
Vec3 colourAt(const std::vector<float>& rgb, float x, float y) {
    const FrameGeometry& g = Renderer::instance()->geometry();
    const int cx = int(x * float(g.width)), cy = int((1.f - y) * float(g.height));
    Vec3 sum;
    for (int py = cy - 2; py <= cy + 2; ++py)
        for (int px = cx - 2; px <= cx + 2; ++px) {
            const float* p = &rgb[3 * (size_t(py) * size_t(g.width) + size_t(px))];
            sum = sum + Vec3(p[0], p[1], p[2]);
        }
    return sum * (1.f / 25.f);
}

// The textured box as a glTF file beside its image, as a GLB and with the
// image in a data: URI: each gives its material its texture, top row of
// the image at the top of the face (texture coordinate (0, 0) is the
// image's top left). The face seen runs u from 4 on its left to 3 on its
// right: repeated, the logo shows mirrored, its sun on the left, as the GLB
// and the embedded file ask; the file beside its image asks for mirrored
// repetition across u (the library's test models changed its sampler), which
// shows the logo the right way round. With that sampler made plain
// repetition, it matches the others.
TEST(ModelLook, PackagedGltfBoxesShowTheirTextureAsTheirSamplersAsk) {
    const std::string box = "/usr/share/assimp/models/glTF2/BoxTextured-glTF";
    TempDir dir;
    std::ifstream in(box + "/BoxTextured.gltf");
    std::string gltf((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (const char* mode : {"33648", "33071"}) gltf.replace(gltf.find(mode), 5, "10497");
    write(dir.file("BoxTextured.gltf"), gltf);
    for (const char* file : {"BoxTextured0.bin", "CesiumLogoFlat.png"})
        std::filesystem::copy_file(box + "/" + file, dir.file(file));
    const struct Row {
        std::string path;
        bool sunOnLeft;
    } rows[] = {{box + "/BoxTextured.gltf", false},
                {box + "-Binary/BoxTextured.glb", true},
                {box + "-Embedded/BoxTextured.gltf", true},
                {dir.file("BoxTextured.gltf"), true}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        Mesh mesh;
        ModelBox size;
        std::string error;
        ASSERT_TRUE(importModel(row.path, *modelFormatOf(row.path), mesh, size, error)) << error;
        EXPECT_TRUE(mesh.look.textured());
        EXPECT_EQ(mesh.texCoords.size(), mesh.positions.size());
        Diagnostics diagnostics;
        const std::vector<float> rgb = radiance(row.path, diagnostics);
        EXPECT_TRUE(diagnostics.empty());
        // The sun is light grey, the sky around it blue.
        const Vec3 left = colourAt(rgb, 0.37f, 0.31f), right = colourAt(rgb, 0.63f, 0.31f);
        const Vec3& sun = row.sunOnLeft ? left : right;
        const Vec3& sky = row.sunOnLeft ? right : left;
        EXPECT_LT(std::max(sun.x, std::max(sun.y, sun.z)),
                  1.3f * std::min(sun.x, std::min(sun.y, sun.z)))
            << sun;
        EXPECT_GT(sky.z, 2.f * sky.x) << sky;
    }
}

}  // namespace

namespace {

// A model without normals shades as the same model with its true normals:
// the faces of a box flat (its corners shared in a PLY file, or each face's
// own in a glTF file), an eight-sided prism smooth around its sides and
// sharp at its caps, a finely divided sphere smooth. Smooth normals across
// every edge darken a box along its faces' diagonals.
TEST(ModelLook, NormalsAreMadeSmoothOnlyWithinTheCreaseAngle) {
    struct Row {
        const char* name;
        Shape without, with;
    } rows[] = {
        {"box.ply", cubeShape(false), cubeShape(true)},
        {"box.gltf", cubeShape(false), cubeShape(true)},
        {"prism.ply", roundShape(0, 8, false), roundShape(0, 8, true)},
        {"sphere.ply", roundShape(48, 0, false), roundShape(48, 0, true)},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        TempDir dir;
        const bool gltf = std::string(row.name).find(".gltf") != std::string::npos;
        const Vec3 white(1.f, 1.f, 1.f);
        write(dir.file(std::string("made-") + row.name),
              gltf ? gltfOf(row.without, white) : plyOf(row.without));
        write(dir.file(std::string("given-") + row.name),
              gltf ? gltfOf(row.with, white) : plyOf(row.with));
        Diagnostics diagnostics;
        const std::vector<float> made =
            radiance(dir.file(std::string("made-") + row.name), diagnostics);
        const std::vector<float> given =
            radiance(dir.file(std::string("given-") + row.name), diagnostics);
        ASSERT_EQ(made.size(), given.size());
        size_t differing = 0;
        for (size_t i = 0; i < made.size(); ++i)
            differing += std::fabs(made[i] - given[i]) > 0.03f * std::max(given[i], 0.1f);
        EXPECT_LT(differing, made.size() / 200) << differing << " of " << made.size();
    }
}

}  // namespace

namespace {

// A triangle whose texture coordinates are (0, 0), (1, 0) and (0, 1), its
// base colour texture moved by this KHR_texture_transform.
std::string transformedTriangleGltf(const std::string& transform) {
    const float data[] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1};
    const std::string bytes(reinterpret_cast<const char*>(data), sizeof data);
    return R"({"asset": {"version": "2.0"}, "extensionsUsed": ["KHR_texture_transform"],
"scene": 0, "scenes": [{"nodes": [0]}], "nodes": [{"mesh": 0}],
"meshes": [{"primitives": [{"attributes": {"POSITION": 0, "TEXCOORD_0": 1}, "material": 0}]}],
"materials": [{"pbrMetallicRoughness": {"baseColorTexture": {"index": 0,
    "extensions": {"KHR_texture_transform": )" +
           transform + R"(}}, "metallicFactor": 0}}],
"textures": [{"source": 0}], "images": [{"uri": "texel.ppm"}],
"buffers": [{"uri": "data:application/octet-stream;base64,)" +
           base64(bytes) + R"(", "byteLength": 60}],
"bufferViews": [{"buffer": 0, "byteLength": 36}, {"buffer": 0, "byteOffset": 36, "byteLength": 24}],
"accessors": [{"bufferView": 0, "componentType": 5126, "count": 3, "type": "VEC3",
               "min": [0, 0, 0], "max": [1, 1, 0]},
              {"bufferView": 1, "componentType": 5126, "count": 3, "type": "VEC2"}]})";
}

// KHR_texture_transform: the coordinates are scaled, turned and moved as
// glTF says, in its texture space (v down; the mesh holds v up).
TEST(ModelLook, AGltfTextureTransformMovesTheTextureCoordinates) {
    const struct Row {
        const char* transform;
        float offset[2], rotation, scale[2];
    } rows[] = {
        {"{}", {0, 0}, 0, {1, 1}},
        {R"({"offset": [0.5, 0.25]})", {0.5f, 0.25f}, 0, {1, 1}},
        {R"({"rotation": 0.39269908})", {0, 0}, 0.39269908f, {1, 1}},
        {R"({"scale": [1.5, 2]})", {0, 0}, 0, {1.5f, 2.f}},
        {R"({"offset": [-0.2, 0.7], "rotation": 1.2, "scale": [0.5, 3]})",
         {-0.2f, 0.7f},
         1.2f,
         {0.5f, 3.f}},
    };
    TempDir dir;
    std::ofstream(dir.file("texel.ppm"), std::ios::binary) << "P6\n1 1\n255\n\xc8\x64\x32";
    for (const Row& row : rows) {
        SCOPED_TRACE(row.transform);
        write(dir.file("triangle.gltf"), transformedTriangleGltf(row.transform));
        Mesh mesh;
        ModelBox size;
        std::string error;
        const std::string path = dir.file("triangle.gltf");
        ASSERT_TRUE(importModel(path, *modelFormatOf(path), mesh, size, error)) << error;
        ASSERT_EQ(mesh.texCoords.size(), 3u);
        const float uv[3][2] = {{0, 0}, {1, 0}, {0, 1}};
        const float c = std::cos(row.rotation), s = std::sin(row.rotation);
        for (int k = 0; k < 3; ++k) {
            const float u = uv[k][0] * row.scale[0], v = uv[k][1] * row.scale[1];
            const Vec3& got = mesh.texCoords[size_t(mesh.texCoordIndices[size_t(k)])];
            EXPECT_NEAR(got.x, c * u + s * v + row.offset[0], 1e-5f) << k;
            EXPECT_NEAR(1.f - got.y, -s * u + c * v + row.offset[1], 1e-5f) << k;
        }
    }
}

// The pixels where a model of these two looks differs: the model's pixels.
std::vector<bool> modelPixels(const std::vector<float>& a, const std::vector<float>& b) {
    std::vector<bool> on(a.size() / 3);
    for (size_t i = 0; i < a.size(); ++i) on[i / 3] = on[i / 3] || std::fabs(a[i] - b[i]) > 0.01f;
    return on;
}

// Mean radiance over the pixels on the model, or off it.
Vec3 meanOver(const std::vector<float>& picture, const std::vector<bool>& on, bool model) {
    double sum[3] = {0, 0, 0};
    size_t n = 0;
    for (size_t p = 0; p < on.size(); ++p) {
        if (on[p] != model) continue;
        for (int c = 0; c < 3; ++c) sum[c] += double(picture[3 * p + c]);
        ++n;
    }
    return n ? Vec3(float(sum[0] / n), float(sum[1] / n), float(sum[2] / n)) : Vec3();
}

// A smooth metal mirrors, and a transmissive one lets through, the sky
// and floor around it: on average the model shows the background's hue
// (each channel's share within 0.03), where a white diffuse model shows
// the lights' warm white (the sky's blue share is 0.41, the model's 0.33).
TEST(ModelLook, MirrorAndGlassGltfShowTheSceneAroundThem) {
    struct Row {
        const char* what;
        const char* material;
        bool showsBackground;
    } rows[] = {
        {"diffuse", R"("metallicFactor": 0)", false},
        {"smooth metal", R"("metallicFactor": 1, "roughnessFactor": 0)", true},
        {"transmission", R"("metallicFactor": 0}, "extensions": {
             "KHR_materials_transmission": {"transmissionFactor": 1})",
         true},
    };
    TempDir dir;
    Diagnostics diagnostics;
    write(dir.file("black.gltf"), cubeGltf(Vec3(0.f, 0.f, 0.f)));
    write(dir.file("white.gltf"), cubeGltf(Vec3(1.f, 1.f, 1.f)));
    const std::vector<bool> on = modelPixels(radiance(dir.file("black.gltf"), diagnostics),
                                             radiance(dir.file("white.gltf"), diagnostics));
    for (const Row& row : rows) {
        write(dir.file("cube.gltf"), cubeGltf(Vec3(1.f, 1.f, 1.f), row.material));
        const std::vector<float> picture = radiance(dir.file("cube.gltf"), diagnostics);
        const Vec3 model = meanOver(picture, on, true), around = meanOver(picture, on, false);
        const float m = model.x + model.y + model.z, a = around.x + around.y + around.z;
        const bool alike = std::fabs(model.x / m - around.x / a) < 0.03f &&
                           std::fabs(model.y / m - around.y / a) < 0.03f &&
                           std::fabs(model.z / m - around.z / a) < 0.03f;
        EXPECT_EQ(alike, row.showsBackground)
            << row.what << ": model " << model.x << " " << model.y << " " << model.z
            << ", around it " << around.x << " " << around.y << " " << around.z;
    }
    EXPECT_TRUE(diagnostics.empty());
}

// The packaged textured box against the same box with a white texture: on
// the box, the ratio's mean is the texture's mean linear colour (each face
// shows the whole image), within 10 % for the faces' foreshortening.
TEST(ModelLook, TheTexturedBoxShowsItsTexturesMeanColour) {
    const std::string box = "/usr/share/assimp/models/glTF2/BoxTextured-glTF/";
    TempDir dir;
    Diagnostics diagnostics;
    std::vector<float> pictures[3];  // the texture, white, black
    const char* texel[3] = {nullptr, "\xff\xff\xff", "\0\0\0"};
    for (int k = 0; k < 3; ++k) {
        const std::string folder = dir.file(std::to_string(k));
        fs::create_directory(folder);
        for (const char* name : {"BoxTextured.gltf", "BoxTextured0.bin"})
            fs::copy_file(box + name, folder + "/" + name);
        if (texel[k])
            std::ofstream(folder + "/CesiumLogoFlat.png", std::ios::binary)
                << "P6\n1 1\n255\n"
                << std::string(texel[k], 3);
        else
            fs::copy_file(box + "CesiumLogoFlat.png", folder + "/CesiumLogoFlat.png");
        pictures[k] = radiance(folder + "/BoxTextured.gltf", diagnostics);
    }
    EXPECT_TRUE(diagnostics.empty());
    const std::vector<bool> on = modelPixels(pictures[1], pictures[2]);
    const Vec3 textured = meanOver(pictures[0], on, true), white = meanOver(pictures[1], on, true);
    int width = 0, height = 0;
    std::vector<float> rgb;
    std::string error;
    ASSERT_TRUE(readImageFile(box + "CesiumLogoFlat.png", width, height, rgb, error)) << error;
    double mean[3] = {0, 0, 0};
    for (size_t i = 0; i < rgb.size(); ++i) {
        const double s = rgb[i];
        mean[i % 3] +=
            (s <= 0.04045 ? s / 12.92 : std::pow((s + 0.055) / 1.055, 2.4)) * 3 / rgb.size();
    }
    EXPECT_NEAR(textured.x / white.x, mean[0], 0.1 * mean[0]);
    EXPECT_NEAR(textured.y / white.y, mean[1], 0.1 * mean[1]);
    EXPECT_NEAR(textured.z / white.z, mean[2], 0.1 * mean[2]);
}

// The stage of a model with a look, saved as a scene folder: the folder's
// scene shows the model's picture, within a mean difference of 0.2 % of the
// mean radiance (the same scene, built again from the written numbers).
TEST(ModelLook, ASavedStageKeepsTheLook) {
    struct Row {
        const char* model;  // written into the folder, or a packaged file
        std::string text;
        const char* mtl;
    } rows[] = {
        {"faces.obj", cubeObj(false, "faces.mtl"), nullptr},
        {"kinds.obj", cubeObj(false, "kinds.mtl"),
         "newmtl f0\nKd 0.5 0.5 0.5\nKs 0.9 0.7 0.5\nillum 3\n"
         "newmtl f1\nKd 0.2 0.5 0.8\nKs 0.9 0.9 0.9\nNs 200\n"
         "newmtl f2\nKd 0.9 0.9 0.6\nd 0.4\n"},
        {"clamped.obj", cubeObj(false, "clamped.mtl", true),
         "newmtl f0\nKd 1 0.5 1\nmap_Kd -clamp on texel.ppm\nnewmtl f1\nmap_Kd texel.ppm\n"},
        {"coloured.ply", cubePly(255, 128, 0), nullptr},
        {"coloured.gltf", cubeGltf(Vec3(0.2f, 0.5f, 0.8f)), nullptr},
        {"/usr/share/assimp/models/glTF2/BoxTextured-glTF-Binary/BoxTextured.glb", "", nullptr},
        // Mirrored along u: written unfolded.
        {"/usr/share/assimp/models/glTF2/BoxTextured-glTF/BoxTextured.gltf", "", nullptr},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.model);
        TempDir dir;
        write(dir.file("faces.mtl"), faceMtl(false));
        std::ofstream(dir.file("texel.ppm"), std::ios::binary) << "P6\n1 1\n255\n\xc8\x64\x32";
        const std::string model = row.text.empty() ? row.model : dir.file(row.model);
        if (!row.text.empty()) write(model, row.text);
        if (row.mtl)
            write(dir.file(fs::path(row.model).replace_extension("mtl").string()), row.mtl);
        Diagnostics diagnostics;
        std::string error;
        ASSERT_TRUE(openSceneOrModel(*Renderer::instance(), model, BrokenModel::Refuse, error,
                                     diagnostics, dir.file("saved")))
            << error;
        ASSERT_TRUE(fs::exists(dir.file("saved/model.mtl")));
        const std::vector<float> direct = radiance(model, diagnostics);
        const std::vector<float> saved = radiance(dir.file("saved/scene.txt"), diagnostics);
        EXPECT_TRUE(diagnostics.empty()) << diagnostics.front().text;
        ASSERT_EQ(direct.size(), saved.size());
        double difference = 0.0, level = 0.0;
        for (size_t i = 0; i < direct.size(); ++i) {
            difference += std::fabs(double(direct[i]) - double(saved[i]));
            level += double(direct[i]);
        }
        EXPECT_LT(difference, 0.002 * level);
    }
}

}  // namespace
