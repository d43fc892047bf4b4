#include "scene/ModelImporter.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "scene/TextSnippet.h"

namespace {

// How much deeper than wide a model must be to be turned to show its side.
constexpr double kTurnRatio = 1.25;
// A flat model, seen from its mid-height, shows only its edge: one whose
// height is below kFlatFrom of its smaller side across (width or depth) is
// tilted back, its top towards the camera, by an angle that grows evenly
// from 0 there to kMaxTilt at kFlatFull of that side and below. Models of
// kFlatFrom or more (a crouching spider is about 0.53) keep their place.
constexpr double kFlatFrom = 0.4;
constexpr double kFlatFull = 0.2;
constexpr double kMaxTilt = 40.0 * 3.14159265358979323846 / 180.0;  // radians

std::string lowerExtension(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

bool readObj(const std::string& path, ObjMeshReader& model, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        error = "Cannot open the model file \"" + path + "\": " + std::strerror(errno) + ".";
        return false;
    }
    return model.parse(in, path, error);
}

// The positions' bounds, in double precision so that no extent overflows;
// false when a position is not a finite number (min and max would pass
// over NaN).
bool bounds(const std::vector<Vec3>& positions, double lo[3], double hi[3]) {
    for (int a = 0; a < 3; ++a) {
        lo[a] = std::numeric_limits<double>::infinity();
        hi[a] = -lo[a];
    }
    bool finite = true;
    for (const Vec3& p : positions) {
        const double v[3] = {double(p.x), double(p.y), double(p.z)};
        for (int a = 0; a < 3; ++a) {
            finite = finite && std::isfinite(v[a]);
            lo[a] = std::min(lo[a], v[a]);
            hi[a] = std::max(hi[a], v[a]);
        }
    }
    return finite;
}

// Keeps only the positions that faces use, renumbering the indices, and
// drops texture coordinates (no material reads them). Gives the bounds of
// what is left, as bounds does.
bool compact(MeshGroup& g, double lo[3], double hi[3]) {
    constexpr int32_t kUnused = -1;
    std::vector<int32_t> renumbered(g.positions.size(), kUnused);
    std::vector<Vec3> kept;
    for (int32_t& index : g.positionIndices) {
        int32_t& slot = renumbered[size_t(index)];
        if (slot == kUnused) {
            slot = int32_t(kept.size());
            kept.push_back(g.positions[size_t(index)]);
        }
        index = slot;
    }
    g.positions.swap(kept);
    std::vector<Vec3>().swap(g.texCoords);
    std::fill(g.texCoordIndices.begin(), g.texCoordIndices.end(), -1);
    return bounds(g.positions, lo, hi);
}

// Moves and scales the positions into the model's box, given their bounds:
// to the coordinates an OBJ file of the normalised model holds (before the
// reader's scale, which fillTriangles expects to have been applied).
// Gives the scale.
double placeInBox(std::vector<Vec3>& positions, const double lo[3], const double hi[3]) {
    double longest = 0.0;
    for (int a = 0; a < 3; ++a) longest = std::max(longest, hi[a] - lo[a]);
    const double scale = double(kModelSize) / double(ObjMeshReader::kVertexScale) / longest;
    const double offset[3] = {-(lo[0] + hi[0]) / 2.0, -lo[1], -(lo[2] + hi[2]) / 2.0};
    for (Vec3& p : positions) {
        p = Vec3(float((double(p.x) + offset[0]) * scale), float((double(p.y) + offset[1]) * scale),
                 float((double(p.z) + offset[2]) * scale));
    }
    return scale;
}

// The angle by which a model of this extent is tilted back (radians).
double tiltFor(const double lo[3], const double hi[3]) {
    const double height = hi[1] - lo[1], across = std::min(hi[0] - lo[0], hi[2] - lo[2]);
    if (!(height < kFlatFrom * across)) return 0.0;
    const double flatness = (kFlatFrom - height / across) / (kFlatFrom - kFlatFull);
    return kMaxTilt * std::min(1.0, flatness);
}

// Tilts the model in its box back by angle about the x axis, its top
// towards the camera, and places it in the box again. Gives the new bounds
// and the scale of placeInBox.
double tiltBack(MeshGroup& g, double angle, double lo[3], double hi[3]) {
    const double c = std::cos(angle), s = std::sin(angle);
    for (std::vector<Vec3>* list : {&g.positions, &g.normals}) {
        for (Vec3& v : *list) {
            const double y = double(v.y), z = double(v.z);
            v = Vec3(v.x, float(y * c - z * s), float(y * s + z * c));
        }
    }
    bounds(g.positions, lo, hi);
    return placeInBox(g.positions, lo, hi);
}

}  // namespace

ModelFormat modelFormatOf(const std::string& path) {
    const std::string ext = lowerExtension(path);
    if (ext == ".obj") return ModelFormat::Obj;
    if (ext == ".ply") return ModelFormat::Ply;
    if (ext == ".stl") return ModelFormat::Stl;
    if (ext == ".gltf") return ModelFormat::Gltf;
    if (ext == ".glb") return ModelFormat::Glb;
    static const char* const kOthers[] = {
        ".3ds", ".3mf", ".ac",      ".amf", ".ase",  ".b3d", ".blend", ".bvh",  ".cob",
        ".dae", ".dxf", ".fbx",     ".ifc", ".iqm",  ".irr", ".lwo",   ".lws",  ".m3d",
        ".md2", ".md3", ".md5mesh", ".mdl", ".ms3d", ".nff", ".off",   ".ogex", ".q3d",
        ".smd", ".usd", ".usdz",    ".wrl", ".x",    ".x3d", ".xgl",   ".zgl"};
    for (const char* other : kOthers)
        if (ext == other) return ModelFormat::Other;
    return ModelFormat::None;
}

bool importModel(const std::string& path, ObjMeshReader& model, ModelBox& box, std::string& error) {
    model = ObjMeshReader();
    const ModelFormat format = modelFormatOf(path);
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    bool ok = false;
    if (format == ModelFormat::None || format == ModelFormat::Other) {
        error = "Model file \"" + path +
                "\": Tresk opens models in the formats OBJ, PLY, STL, glTF and GLB (told by the "
                "name's extension), and scene files.";
    } else if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        // A device or a pipe might never end, or never deliver a byte.
        error = "Model file \"" + path + "\": is not a regular file.";
    } else if (format == ModelFormat::Obj) {
        ok = readObj(path, model, error);
    } else {
        ok = importWithAssimp(path, format, model.mesh(), error);
    }
    if (!ok) {
        error = escapeControlBytes(error);
        model = ObjMeshReader();
        return false;
    }
    MeshGroup& g = model.mesh();
    if (format == ModelFormat::Stl) {
        // STL comes from tools for 3D printing, whose z axis points up from
        // the build plate: turned so that it points up here too.
        for (std::vector<Vec3>* list : {&g.positions, &g.normals})
            for (Vec3& v : *list) v = Vec3(v.x, v.z, -v.y);
    }
    double lo[3], hi[3];
    const bool finite = compact(g, lo, hi);
    double longest = 0.0;
    for (int a = 0; a < 3; ++a) longest = std::max(longest, hi[a] - lo[a]);
    std::string problem;
    if (g.positionIndices.empty())
        problem = g.degenerateTriangles == 0
                      ? "holds no triangle"
                      : "holds only triangles that cover no area (" +
                            std::to_string(g.degenerateTriangles) +
                            ", each with its corners on one point or on one line)";
    else if (!finite || !std::isfinite(longest))
        problem = "holds a vertex position that is not a finite number";
    else if (!(longest > 0.0))
        problem = "has all its vertices at one point";
    if (!problem.empty()) {
        error = escapeControlBytes("Model file \"" + path + "\": " + problem + ".");
        model = ObjMeshReader();
        return false;
    }

    double scale = placeInBox(g.positions, lo, hi);
    // A model much deeper than wide is turned a quarter about the vertical,
    // so that the camera, which looks along -z, sees its long side.
    const bool turn = hi[2] - lo[2] > kTurnRatio * (hi[0] - lo[0]);
    if (turn) {
        for (std::vector<Vec3>* list : {&g.positions, &g.normals})
            for (Vec3& v : *list) v = Vec3(v.z, v.y, -v.x);
        std::swap(lo[0], lo[2]);
        std::swap(hi[0], hi[2]);
    }
    const double tilt = tiltFor(lo, hi);
    if (tilt > 0.0) scale = tiltBack(g, tilt, lo, hi);
    const float k = ObjMeshReader::kVertexScale;
    const double world = scale * double(k);
    box.size = Vec3(float((hi[0] - lo[0]) * world), float((hi[1] - lo[1]) * world),
                    float((hi[2] - lo[2]) * world));
    return true;
}
