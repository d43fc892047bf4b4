// SceneReader: reads the positional scene description ("scene.txt") and sets
// up the Renderer from it.
//
// The file is a stream of whitespace-separated tokens; line breaks carry no
// meaning and there are no comments. In this order:
//
//   still-mode flag            0 or 1 (read, then the interactive size is active anyway)
//   GI sample count            number, 0 to 1000000: secondary rays per diffuse-GI/glossy hit
//   interactive width height   whole numbers
//   still width height         whole numbers
//   camera x y z               numbers
//   exposure                   number, 0 or more
//   M, then M material entries (scene/SceneMaterials.cpp):
//     a colour material's keyword  r g b
//     the environment's keyword    file   (a Radiance HDR image)
//     any other word               uses up one entry and creates nothing
//   N, then N object entries ("material" is a material number, see below):
//     sphere x y z radius material
//     skysphere radius material               (centred on the origin)
//     plane a b c d material                  (a·x + b·y + c·z + d = 0)
//     triangle v0 v1 v2 n0 n1 n2 t0 t1 t2 material   (27 numbers)
//     trianglemesh file kd-depth material     (Wavefront OBJ; kd-depth 0 to 64)
//     modelmesh file kd-depth material        (the same, with the OBJ's own materials on
//                                              its faces, "material" on faces without)
//     any other word                          uses up one entry and creates nothing
//   L, then L lights: name x y z w r g b a   (the name may be any word)
//
// Material numbers count the entries that created a material, from 0 in
// file order. Anything after the last light is ignored. OBJ and HDR file
// names are taken relative to the scene file's own directory.
//
// Limits: each image side from 1 to Renderer::kMaxImageSide (16384) pixels
// and each size at most Renderer::kMaxImagePixels (16777216, for example
// 4096 × 4096) pixels in all, which keeps the buffers and primary rays of
// one size under 1 GiB; each count from 0 to kMaxEntries; at most
// kMaxFileBytes (64 MiB) read. Every number must be finite. When the scene
// is built, the meshes together hold at most ObjMeshReader::kMaxTriangles
// triangles and the environment images at most
// HdrEnvironmentMap::kSceneTexels texels; a mesh or image that would pass
// that is left out with a diagnostic.
//
// Reading has two phases. SceneReader::parse reads and checks the whole
// file into a plain SceneDescription (scene/SceneParser.cpp), allocating
// only as entries are actually read; the first problem ends it with one
// message naming the file, the line, what was expected and what was found.
// Only a description that passed is built into the Renderer (buildScene,
// scene/SceneBuilder.cpp), so a bad file allocates nothing and leaves an
// earlier scene as it was. SceneReader (scene/SceneReader.cpp) calls each
// once. Problems come back as Diagnostics (scene/Diagnostic.h); the reader
// writes only the log's progress lines.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

#include "core/Vec3.h"
#include "scene/Diagnostic.h"
#include "scene/ObjMeshReader.h"
#include "scene/SceneMaterials.h"
#include "shading/HdrEnvironmentMap.h"
#include "shading/Light.h"

class Renderer;

// What a scene file says, checked but not yet built.
struct SceneDescription {
    // A material keyword's row and what followed it (scene/SceneMaterials.h).
    using MaterialEntry = SceneMaterialEntry;

    struct ObjectEntry {
        enum class Kind { Sphere, SkySphere, Plane, Triangle, TriangleMesh, ModelMesh };
        Kind kind = Kind::Sphere;
        // sphere: x y z radius; skysphere: radius; plane: a b c d;
        // triangle: v0 v1 v2 n0 n1 n2 t0 t1 t2 (three values each).
        std::array<float, 27> values{};
        int material = 0;      // a valid material number
        std::string fileName;  // trianglemesh, modelmesh: as written in the file
        int kdMaxDepth = 0;    // trianglemesh, modelmesh

        bool isMesh() const { return kind == Kind::TriangleMesh || kind == Kind::ModelMesh; }
    };

    bool stillMode = false;
    float giSampleCount = 1.f;
    int interactiveWidth = 0, interactiveHeight = 0;
    int stillWidth = 0, stillHeight = 0;
    Vec3 cameraPosition;
    float exposure = 1.f;
    int materialEntries = 0;  // as announced, unrecognised words included
    int objectEntries = 0;
    std::vector<MaterialEntry> materials;  // only those that create a material
    std::vector<ObjectEntry> objects;      // only those that create something
    std::vector<Light> lights;
};

class SceneReader {
public:
    // Largest count a section may announce.
    static constexpr int kMaxEntries = 1000000;
    // Largest kd-tree depth limit a "trianglemesh" entry may ask for.
    static constexpr int kMaxKdDepth = 64;
    // Most bytes read from a scene file (64 MiB): far more than a million
    // entries need. Reading stops there with a message, so a file, device
    // or pipe that never ends cannot keep the reader busy for ever.
    static constexpr int64_t kMaxFileBytes = int64_t(64) << 20;

    // fileName names the file in messages and gives the directory that
    // OBJ and HDR names inside the scene are relative to.
    SceneReader(std::istream& in, std::string fileName);

    // Phase one (scene/SceneParser.h): reads and checks the whole
    // description. Appends the things that are allowed but look like
    // mistakes (words that are no keyword of their section, text after the
    // last light) to diagnostics as warnings. On the first problem returns
    // false with one message in error, which also ends diagnostics (Fatal).
    bool parse(SceneDescription& scene, std::string& error, Diagnostics& diagnostics);

    // Both phases, with the log entries from "Polycount: " on: parses, then
    // (only if that succeeded) disposes of the Renderer's earlier scene and
    // builds this one (buildScene), reads the meshes and generates the
    // random tables. What went wrong on the way is appended to diagnostics,
    // in order, a failure last.
    bool load(Renderer& renderer, std::string& error, Diagnostics& diagnostics);

    // The directory that names inside the scene file are relative to.
    const std::string& baseDirectory() const { return baseDirectory_; }

private:
    std::istream& in_;
    std::string fileName_;
    std::string baseDirectory_;
};

// What the files a scene names may add up to when it is built: a mesh or
// an environment image that would pass these is left out with a diagnostic.
struct SceneLimits {
    int64_t meshTriangles = ObjMeshReader::kMaxTriangles;         // all meshes together
    int64_t environmentTexels = HdrEnvironmentMap::kSceneTexels;  // all images together
};

// Phase two: builds a checked description into the Renderer, after
// disposing of its earlier scene. Reads the OBJ files (a missing or
// rejected one is an Error in diagnostics and contributes no triangles; a
// file named by several entries is read once) and the HDR images (one that
// cannot be used is a Warning), resolving their names against
// baseDirectory, builds the kd-tree over every mesh, and ends with the
// primary rays and the random tables. With a readMesh (a mesh read
// beforehand, as the model stage's: positions multiplied by
// ObjMeshReader::kVertexScale, as the reader leaves them), the
// "trianglemesh" entry takes its triangles instead of reading its file,
// and empties it.
void buildScene(const SceneDescription& scene, const std::string& baseDirectory, Renderer& renderer,
                Diagnostics& diagnostics, const SceneLimits& limits = SceneLimits(),
                Mesh* readMesh = nullptr);

// The log's first entries for a scene ("Scene") or a model ("Model"): the
// program's name and version, then "Reading ... File...".
void logReadingStarts(const std::string& what);

// Where a name written in a scene file points: unchanged if absolute or if
// the base directory is empty, else relative to the base directory.
std::string resolveScenePath(const std::string& baseDirectory, const std::string& name);

// Reads a scene file into the Renderer and sets up everything for the first
// frame, after disposing of any earlier scene. The whole file is checked
// before anything is disposed of or allocated: on failure returns false with
// one message naming the file, the line, what was expected and what was
// found (also the last of diagnostics, Fatal), and leaves an earlier scene
// as it was (only when memory runs out while building is no scene left
// loaded). A missing or broken OBJ file is not a failure: it is an Error in
// diagnostics and the mesh is left out. Names of OBJ and HDR files inside
// the scene resolve relative to the scene file's directory. The caller
// decides how diagnostics reach the user.
bool readScene(Renderer& renderer, const std::string& fileName, std::string& error,
               Diagnostics& diagnostics);

// Runs build, which sets up the Renderer. When memory runs out, or a
// structure would grow past what its indices count, disposes of the
// half-built scene and returns false with a message that starts with what
// (the file that was being set up).
bool buildOrReset(Renderer& renderer, const std::string& what, const std::function<void()>& build,
                  std::string& error);
