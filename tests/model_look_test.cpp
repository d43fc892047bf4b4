// Models keep their own look: an OBJ model's material libraries give its
// faces their colours and surface kinds, and a library or texture that is
// missing or lies outside the model's folder is one warning, not a lost
// model.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "render/Renderer.h"
#include "scene/ModelStage.h"
#include "scene/ObjMaterials.h"
#include "tests/support/Support.h"

using support::TempDir;

namespace {

const Vec3 kFaceColours[6] = {{0.9f, 0.1f, 0.1f}, {0.1f, 0.9f, 0.1f}, {0.1f, 0.1f, 0.9f},
                              {0.9f, 0.9f, 0.1f}, {0.1f, 0.9f, 0.9f}, {0.9f, 0.1f, 0.9f}};

// A cube turned to show three faces to the camera (a corner pointing at
// it), or with every point mirrored through its centre to show the other
// three in the same places; face k uses material "fk".
std::string cubeObj(bool mirrored, const std::string& mtllib) {
    const double a = std::atan(1.0), b = std::atan(std::sqrt(0.5)), s = mirrored ? -1.0 : 1.0;
    auto turn = [&](double x, double y, double z) {
        const double x1 = x * std::cos(a) + z * std::sin(a),
                     z1 = -x * std::sin(a) + z * std::cos(a);
        const double y2 = y * std::cos(b) - z1 * std::sin(b),
                     z2 = y * std::sin(b) + z1 * std::cos(b);
        return std::to_string(s * x1) + " " + std::to_string(s * y2) + " " +
               std::to_string(s * z2) + "\n";
    };
    std::string t = mtllib.empty() ? "" : "mtllib " + mtllib + "\n";
    for (int i = 0; i < 8; ++i) t += "v " + turn(i & 1 ? 1 : -1, i & 2 ? 1 : -1, i & 4 ? 1 : -1);
    for (int f = 0; f < 6; ++f) {
        const int axis = f / 2, sign = f % 2 ? 1 : -1;
        double n[3] = {0, 0, 0};
        n[axis] = sign;
        t += "vn " + turn(n[0], n[1], n[2]);
        const int u = 1 << ((axis + 1) % 3), v = 1 << ((axis + 2) % 3);
        const int base = sign > 0 ? 1 << axis : 0;
        // Wound counter-clockwise seen from outside (mirroring turns it).
        const bool forward = (sign > 0) != mirrored;
        const int corners[4] = {base, forward ? base + u : base + v, base + u + v,
                                forward ? base + v : base + u};
        t += "usemtl f" + std::to_string(f) + "\nf";
        for (int c : corners) t += " " + std::to_string(c + 1) + "//" + std::to_string(f + 1);
        t += "\n";
    }
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
int faceOf(const float* coloured, const float* white) {
    if (std::max(white[0], std::max(white[1], white[2])) < 0.05f) return -1;  // unlit
    float ratio[3];
    for (int c = 0; c < 3; ++c) ratio[c] = white[c] > 0.f ? coloured[c] / white[c] : 1.f;
    auto near = [&](const Vec3& k) {
        return std::fabs(ratio[0] - k.x) < 0.02f && std::fabs(ratio[1] - k.y) < 0.02f &&
               std::fabs(ratio[2] - k.z) < 0.02f;
    };
    if (near(Vec3(1.f, 1.f, 1.f))) return -1;
    for (int f = 0; f < 6; ++f)
        if (near(kFaceColours[f])) return f;
    return -2;
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

// A library or texture that cannot be read: one warning naming it, and
// the model still shows.
TEST(ModelLook, AMissingOrOutsideFileIsOneWarning) {
    struct Row {
        const char* mtllib;
        const char* mtl;  // written as "faces.mtl"
        const char* named;
    } rows[] = {
        {"missing.mtl", "", "missing.mtl"},
        {"../outside.mtl", "", "../outside.mtl"},
        {"faces.mtl", "newmtl f0\nmap_Kd gone.png\nnewmtl f1\nmap_Kd gone.png\n", "gone.png"},
        {"faces.mtl", "newmtl f0\nmap_Kd ..\\..\\etc\\passwd.png\n", "../../etc/passwd.png"},
    };
    for (const Row& row : rows) {
        TempDir dir;
        write(dir.file("faces.mtl"), row.mtl);
        write(dir.file("cube.obj"), cubeObj(false, row.mtllib));
        Diagnostics diagnostics;
        EXPECT_FALSE(radiance(dir.file("cube.obj"), diagnostics).empty());
        ASSERT_EQ(diagnostics.size(), 1u) << row.mtllib;
        EXPECT_EQ(diagnostics[0].severity, Severity::Warning);
        EXPECT_NE(diagnostics[0].text.find(row.named), std::string::npos) << diagnostics[0].text;
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

TEST(ModelLook, TheSpidersLibraryGivesEveryGroupItsTexture) {
    std::ifstream in("/usr/share/assimp/models/OBJ/spider.obj", std::ios::binary);
    const ObjLooks looks = readObjLooks(in, "/usr/share/assimp/models/OBJ/spider.obj");
    ASSERT_EQ(looks.look.materials.size(), 5u);
    EXPECT_TRUE(looks.look.diagnostics.empty());
    for (const ModelMaterial& m : looks.look.materials)
        EXPECT_FALSE(m.textureFile.empty()) << m.name;
    for (int32_t m : looks.triangleMaterials) EXPECT_GE(m, 0);
}

}  // namespace
