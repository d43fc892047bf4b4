// What the model harness does with one input: the bytes become a model file
// whose extension follows its content (a PLY, STL or glTF signature; other
// bytes go to each format in turn by their length), and the
// importer must end in a success within the limits and the box, or in one
// message naming the file.
#pragma once

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "scene/ModelImporter.h"
#include "tests/fuzz/FuzzTargets.h"

namespace fuzz_targets {

inline std::string modelExtension(const uint8_t* data, size_t size) {
    auto startsWith = [&](const char* magic) {
        const size_t n = std::strlen(magic);
        return size >= n && std::memcmp(data, magic, n) == 0;
    };
    if (startsWith("ply")) return ".ply";
    if (startsWith("glTF")) return ".glb";
    if (startsWith("solid")) return ".stl";
    if (startsWith("{")) return ".gltf";
    if (size >= 84) {
        const uint32_t count = uint32_t(data[80]) | uint32_t(data[81]) << 8 |
                               uint32_t(data[82]) << 16 | uint32_t(data[83]) << 24;
        if (uint64_t(count) * 50 + 84 == size) return ".stl";
    }
    static const std::vector<std::string> all = modelExtensions();
    return all[size % all.size()];
}

inline int modelInput(const uint8_t* data, size_t size) {
    const char* tmp = std::getenv("TMPDIR");
    const std::string path = std::string(tmp && *tmp ? tmp : "/tmp") + "/tresk-model-fuzz-" +
                             std::to_string(getpid()) + modelExtension(data, size);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
    }
    Mesh model;
    ModelBox box;
    std::string error;
    const bool ok = importModel(path, *modelFormatOf(path), model, box, error);
    std::remove(path.c_str());
    if (!ok) {
        FUZZ_CHECK(startsWith(error, "Model file \"" + path + "\": ") ||
                       startsWith(error, "Mesh file \"" + path + "\", line "),
                   error);
        FUZZ_CHECK(error.size() < 1200, error);
        FUZZ_CHECK(model.triangleCount() == 0, "a refused model kept triangles");
        return 0;
    }
    const Mesh& g = model;
    FUZZ_CHECK(model.triangleCount() > 0 && model.triangleCount() <= ObjMeshReader::kMaxTriangles,
               "triangle count " + std::to_string(model.triangleCount()));
    FUZZ_CHECK(g.positions.size() <= size_t(ObjMeshReader::kMaxVertices), "too many vertices");
    // Every position in the box (file coordinates: world size over the
    // reader's scale), every index in its list.
    const float half = kModelSize / ObjMeshReader::kVertexScale * 0.5001f;
    for (const Vec3& p : g.positions)
        FUZZ_CHECK(std::fabs(p.x) <= half && p.y >= 0.f && p.y <= 2.f * half &&
                       std::fabs(p.z) <= half,
                   "a position outside the box");
    for (size_t i = 0; i < g.positionIndices.size(); ++i) {
        FUZZ_CHECK(g.positionIndices[i] >= 0 && size_t(g.positionIndices[i]) < g.positions.size(),
                   "a position index outside its list");
        FUZZ_CHECK(g.normalIndices[i] < 0 || size_t(g.normalIndices[i]) < g.normals.size(),
                   "a normal index outside its list");
    }
    return 0;
}

}  // namespace fuzz_targets
