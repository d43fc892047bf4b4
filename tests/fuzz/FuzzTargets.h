// What each fuzz harness does with one input: the scene reader, the OBJ
// reader and the environment image, each driven the way the program drives
// it, with the promises that must hold whatever the bytes are. A broken
// promise aborts, which the fuzzer reports like a crash.
//
// The same functions replay the committed corpora and every input that
// once crashed in the normal test suite (tests/fuzz_replay_test.cpp), so
// that a fixed fault stays fixed without the fuzzer.
#pragma once

#include <tbb/global_control.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/KdTree.h"
#include "core/Triangle.h"
#include "render/ImageFiles.h"
#include "render/PassRecord.h"
#include "render/Renderer.h"
#include "scene/ObjMeshReader.h"
#include "scene/SceneReader.h"
#include "shading/HdrEnvironmentMap.h"

namespace fuzz_targets {

// Reports a broken promise and aborts, so that the fuzzer keeps the input.
#define FUZZ_CHECK(condition, what)                                                           \
    do {                                                                                      \
        if (!(condition)) {                                                                   \
            std::fprintf(stderr, "fuzz check failed at %s:%d: %s (%s)\n", __FILE__, __LINE__, \
                         #condition, std::string(what).c_str());                              \
            std::abort();                                                                     \
        }                                                                                     \
    } while (false)

inline bool startsWith(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// Every diagnostic says something and names its file.
inline void checkDiagnostics(const Diagnostics& diagnostics) {
    for (const Diagnostic& d : diagnostics)
        FUZZ_CHECK(!d.text.empty() && !d.file.empty(), "a diagnostic without text or file");
}

// --- Scene reader -------------------------------------------------------------

// dataDirectory holds the files that scene inputs may name ("model.obj",
// "sky.hdr"), so that the fuzzer reaches the mesh and the image too.
inline int sceneInput(const uint8_t* data, size_t size, const std::string& dataDirectory) {
    const std::string fileName = dataDirectory + "/fuzz-scene.txt";
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    SceneReader reader(in, fileName);
    SceneDescription scene;
    std::string error;
    Diagnostics diagnostics;
    const bool parsed = reader.parse(scene, error, diagnostics);
    checkDiagnostics(diagnostics);
    if (!parsed) {
        FUZZ_CHECK(startsWith(error, "Scene file \"" + fileName + "\", line "), error);
        FUZZ_CHECK(diagnostics.back().severity == Severity::Fatal && diagnostics.back().line > 0,
                   "a failure without its line");
        // Quoted pieces of the input are cut short: a message stays readable.
        FUZZ_CHECK(error.size() < 1200, error);
        FUZZ_CHECK(scene.materials.empty() && scene.objects.empty(), "a failed parse kept entries");
        return 0;
    }
    FUZZ_CHECK(diagnostics.size() <= 10, "warnings flood");
    FUZZ_CHECK(Renderer::validImageSize(scene.interactiveWidth, scene.interactiveHeight) &&
                   Renderer::validImageSize(scene.stillWidth, scene.stillHeight),
               "an image size beyond the limits was accepted");
    FUZZ_CHECK(scene.giSampleCount >= 0.f && scene.giSampleCount <= 1000000.f &&
                   std::isfinite(scene.exposure) && scene.exposure >= 0.f,
               "a setting beyond its range was accepted");
    for (const auto& o : scene.objects) {
        FUZZ_CHECK(o.material >= 0 && o.material < int(scene.materials.size()),
                   "a material number outside the materials was accepted");
        for (float v : o.values) FUZZ_CHECK(std::isfinite(v), "a value that is not finite");
    }

    // Build and render only scenes that stay cheap, so that the fuzzer spends
    // its time on many inputs; the limits themselves are checked above.
    const bool small = int64_t(scene.interactiveWidth) * scene.interactiveHeight <= 24 * 24 &&
                       int64_t(scene.stillWidth) * scene.stillHeight <= 32 * 32 &&
                       scene.giSampleCount <= 4.f && scene.objects.size() <= 16 &&
                       scene.lights.size() <= 4 && scene.materials.size() <= 16;
    if (!small) return 0;
    tbb::global_control oneThread(tbb::global_control::max_allowed_parallelism, 1);
    Renderer& r = *Renderer::instance();
    buildScene(scene, reader.baseDirectory(), r, diagnostics);
    checkDiagnostics(diagnostics);
    r.render();
    r.renderProgressive();
    const float* display = r.displayBuffer();
    for (int64_t i = 0; i < 3 * r.geometry().pixelCount(); ++i)
        FUZZ_CHECK(std::isfinite(display[i]) && display[i] >= 0.f && display[i] <= 1.f,
                   "the display holds " + std::to_string(display[i]));
    return 0;
}

// --- OBJ reader -----------------------------------------------------------------

// Nearest hit among all triangles, the plain way.
inline HitRecord bruteForceClosest(const std::vector<Triangle>& triangles, const Ray& ray) {
    HitRecord best;
    HitRecord candidate;
    for (const Triangle& t : triangles)
        if (intersectTriangle(t, ray, candidate) && best.distance > candidate.distance)
            best = candidate;
    return best;
}

inline int objInput(const uint8_t* data, size_t size) {
    std::istringstream in(std::string(reinterpret_cast<const char*>(data), size));
    ObjMeshReader reader;
    std::string error;
    const bool ok = reader.parse(in, "fuzz.obj", error);
    std::vector<Triangle> triangles;
    reader.fillTriangles(triangles, nullptr);
    FUZZ_CHECK(int64_t(triangles.size()) == reader.triangleCount(), "triangle count");
    if (!ok) {
        FUZZ_CHECK(startsWith(error, "Mesh file \"fuzz.obj\", line "), error);
        FUZZ_CHECK(error.size() < 1200, error);
        FUZZ_CHECK(triangles.empty(), "a rejected mesh kept triangles");
        return 0;
    }
    FUZZ_CHECK(reader.triangleCount() <= ObjMeshReader::kMaxTriangles, "too many triangles");
    // The tree check tests every triangle per ray: kept to meshes that stay quick.
    if (triangles.empty() || triangles.size() > 4096) return 0;
    for (const Triangle& t : triangles)
        for (const Vec3* v : {&t.v0, &t.v1, &t.v2, &t.n0, &t.n1, &t.n2})
            FUZZ_CHECK(std::isfinite(v->x) && std::isfinite(v->y) && std::isfinite(v->z),
                       "a vertex or normal that is not finite");

    // The tree over the mesh finds the same nearest hit as a search of every
    // triangle, for rays aimed at the triangles' corners and centroids.
    std::vector<const Triangle*> pointers;
    for (const Triangle& t : triangles) pointers.push_back(&t);
    KdTree tree;
    tree.build(pointers, int(size % 17));  // depth 0 to 16, as the examples use
    const Vec3 eyes[4] = {Vec3(0.f, 0.f, 10.f), Vec3(7.f, 3.f, -5.f), Vec3(-9.f, -4.f, 1.f),
                          Vec3(0.5f, 20.f, 0.25f)};
    const size_t step = std::max<size_t>(1, triangles.size() / 16);
    for (size_t i = 0; i < triangles.size(); i += step) {
        const Triangle& t = triangles[i];
        const Vec3 targets[2] = {
            t.v0, Vec3((t.v0.x + t.v1.x + t.v2.x) / 3.f, (t.v0.y + t.v1.y + t.v2.y) / 3.f,
                       (t.v0.z + t.v1.z + t.v2.z) / 3.f)};
        for (const Vec3& eye : eyes) {
            for (const Vec3& target : targets) {
                const double dx = double(target.x) - double(eye.x);
                const double dy = double(target.y) - double(eye.y);
                const double dz = double(target.z) - double(eye.z);
                const double length = std::sqrt(dx * dx + dy * dy + dz * dz);
                if (!(length > 1e-6) || !std::isfinite(length)) continue;
                const Vec3 d(float(dx / length), float(dy / length), float(dz / length));
                const Ray ray(Vec4(eye.x, eye.y, eye.z), Vec4(d.x, d.y, d.z));
                const HitRecord expected = bruteForceClosest(triangles, ray);
                HitRecord found;
                tree.findClosest(ray, found);
                FUZZ_CHECK(found.hit == expected.hit, "the tree and the plain search disagree");
                if (expected.hit)
                    FUZZ_CHECK(found.distance == expected.distance,
                               "nearest hit " + std::to_string(found.distance) + " instead of " +
                                   std::to_string(expected.distance));
            }
        }
    }
    return 0;
}

// --- Environment image ---------------------------------------------------------

// The image library reads files by name: each input goes to a file of this
// process's own.
inline std::string environmentInputPath() {
    const char* tmp = std::getenv("TMPDIR");
    return std::string(tmp && *tmp ? tmp : "/tmp") + "/tresk-envmap-fuzz-" +
           std::to_string(getpid()) + ".hdr";
}

inline int environmentInput(const uint8_t* data, size_t size) {
    static const std::string path = environmentInputPath();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    HdrEnvironmentMap map;
    const bool loaded = map.load(path);
    std::remove(path.c_str());
    if (!loaded) {
        FUZZ_CHECK(map.pixels == nullptr && map.width == 0 && map.height == 0,
                   "a refused image left pixels");
    } else {
        FUZZ_CHECK(map.width > 0 && map.height > 0 && map.width <= HdrEnvironmentMap::kMaxSide &&
                       map.height <= HdrEnvironmentMap::kMaxSide &&
                       int64_t(map.width) * map.height <= HdrEnvironmentMap::kMaxTexels,
                   "an image beyond the limits was accepted");
    }
    // Every direction, long or short, odd or not a number, reads a texel of
    // the image (or black without one).
    const float inf = INFINITY, nan = NAN;
    const float odd[] = {0.f, -0.f,   1.f,    -1.f, 0.5f, -0.7f, 1.0000001f,
                         3.f, -1e30f, 1e-40f, inf,  -inf, nan};
    const int n = int(sizeof odd / sizeof odd[0]);
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < n; ++j) {
            for (int k = 0; k < n; k += 3) {
                const Vec4 texel = map.lookup(Vec4(odd[i], odd[j], odd[k]));
                if (!loaded) FUZZ_CHECK(texel == Vec4(), "a colour without an image");
                FUZZ_CHECK(texel.w == 0.f, "the fourth lane");
            }
        }
    }
    for (int a = 0; a < 64; ++a) {
        const float theta = float(a) * 0.1f, phi = float(a) * 0.37f;
        HitRecord hit;
        hit.normal =
            Vec4(std::sin(theta) * std::cos(phi), std::cos(theta), std::sin(theta) * std::sin(phi));
        const Vec4 texel = map.shade(hit);
        FUZZ_CHECK(texel.w == 0.f, "the fourth lane");
    }
    return 0;
}

// --- A part of a picture, as tresk-merge reads it ------------------------------

// The bytes as an HDR and as an EXR part: the record is refused with a
// reason, or complete, a range of passes and printable; only then are the
// pixels decoded, and they fill the picture.
inline int partInput(const uint8_t* data, size_t size) {
    const std::vector<uint8_t> file(data, data + size);
    for (ImageFileType type : {ImageFileType::Hdr, ImageFileType::Exr}) {
        PassRecord record;
        std::string error;
        if (!readPassRecord(type, file, record, error)) {
            FUZZ_CHECK(!error.empty(), "a record refused without a reason");
            continue;
        }
        FUZZ_CHECK(record.firstPass >= 1 && record.lastPass() >= record.firstPass, "no range");
        FUZZ_CHECK(std::none_of(record.scene.begin(), record.scene.end(),
                                [](char c) { return uint8_t(c) < 0x20 || c == 0x7f; }),
                   "a control character in the scene's name");
        int width = 0, height = 0;
        std::vector<float> rgb;
        if (decodeImage(file, width, height, rgb, error))
            FUZZ_CHECK(rgb.size() == size_t(width) * size_t(height) * 3, "pixels missing");
    }
    return 0;
}

}  // namespace fuzz_targets
