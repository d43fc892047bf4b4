#include "scene/ModelImporter.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>

#include "scene/ModelReaders.h"
#include "scene/ObjMaterials.h"
#include "scene/ObjMeshReader.h"
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
// drops texture coordinates unless a texture of the model reads them. Gives the bounds of
// what is left, as bounds does.
bool compact(Mesh& g, double lo[3], double hi[3]) {
    constexpr int32_t kUnused = -1;
    std::vector<int32_t> renumbered(g.positions.size(), kUnused);
    std::vector<Vec3> kept, keptColours;
    for (int32_t& index : g.positionIndices) {
        int32_t& slot = renumbered[size_t(index)];
        if (slot == kUnused) {
            slot = int32_t(kept.size());
            kept.push_back(g.positions[size_t(index)]);
            if (!g.colours.empty()) keptColours.push_back(g.colours[size_t(index)]);
        }
        index = slot;
    }
    g.colours.swap(keptColours);
    g.positions.swap(kept);
    if (!g.look.textured()) {
        std::vector<Vec3>().swap(g.texCoords);
        std::fill(g.texCoordIndices.begin(), g.texCoordIndices.end(), -1);
    }
    return bounds(g.positions, lo, hi);
}

// Moves and scales the positions into the model's box, given their bounds:
// to the coordinates an OBJ file of the normalised model holds (before the
// OBJ reader's scale). Gives the scale.
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
double tiltBack(Mesh& g, double angle, double lo[3], double hi[3]) {
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

bool readObjModel(const std::string& path, Mesh& mesh, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        error = "Cannot open the model file \"" + path + "\": " + std::strerror(errno) + ".";
        return false;
    }
    ObjMeshReader reader;
    ObjLookRecords looks;
    if (!reader.parse(in, path, error, ObjMeshReader::Limits(), &looks)) return false;
    mesh = std::move(reader.mesh());
    applyObjLooks(looks, path, mesh);
    return true;
}

namespace {

// Reads the file in its format's way, with the checks the format asks for.
bool readModel(const std::string& path, const ModelFormat& format, Mesh& mesh, std::string& error) {
    if (!format.read) {
        error = modelFileMessage(path, "Tresk opens models in the formats " +
                                           listOf(modelFormatNames(), " and ") +
                                           " (told by the name's extension), and scene files");
        return false;
    }
    std::error_code ec;
    const auto status = std::filesystem::status(path, ec);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        // A device or a pipe might never end, or never deliver a byte.
        error = modelFileMessage(path, "is not a regular file");
        return false;
    }
    if (format.check && !format.check(path, error)) return false;
    return format.isolated ? readIsolated(format, path, mesh, error)
                           : format.read(path, mesh, error);
}

}  // namespace

bool importModel(const std::string& path, const ModelFormat& format, Mesh& g, ModelBox& box,
                 std::string& error) {
    g = Mesh();
    if (!readModel(path, format, g, error)) {
        error = escapeControlBytes(error);
        g = Mesh();
        return false;
    }
    if (format.zUp) {
        // Tools for 3D printing (STL) have the z axis point up from the
        // build plate: turned so that it points up here too.
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
        error = escapeControlBytes(modelFileMessage(path, problem));
        g = Mesh();
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
