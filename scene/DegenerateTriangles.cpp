#include "scene/DegenerateTriangles.h"

#include "scene/ObjMeshReader.h"
#include "scene/TextSnippet.h"

namespace {

// With kMaterials, the material of each triangle goes with it.
template <bool kMaterials>
void dropFrom(Mesh& g) {
    size_t kept = 0;
    for (size_t i = 0; i + 2 < g.positionIndices.size(); i += 3) {
        const int32_t* p = &g.positionIndices[i];
        if (isDegenerateTriangle(g.positions[size_t(p[0])], g.positions[size_t(p[1])],
                                 g.positions[size_t(p[2])])) {
            ++g.degenerateTriangles;
            continue;
        }
        for (auto* list : {&g.positionIndices, &g.texCoordIndices, &g.normalIndices})
            for (size_t c = 0; c < 3; ++c) (*list)[kept + c] = (*list)[i + c];
        if constexpr (kMaterials) g.materialIndices[kept / 3] = g.materialIndices[i / 3];
        kept += 3;
    }
    // Not shrunk: a copy would cost more at once than the room it frees.
    for (auto* list : {&g.positionIndices, &g.texCoordIndices, &g.normalIndices})
        list->resize(kept);
    if constexpr (kMaterials) g.materialIndices.resize(kept / 3);
}

}  // namespace

void dropDegenerateTriangles(Mesh& g) {
    if (!g.materialIndices.empty() && g.materialIndices.size() * 3 == g.positionIndices.size())
        dropFrom<true>(g);
    else
        dropFrom<false>(g);
}

void noteDegenerateTriangles(const std::string& what, const std::string& path, int64_t count,
                             Diagnostics& diagnostics) {
    if (count == 0) return;
    const std::string note = escapeControlBytes(
        what + ": " + std::to_string(count) +
        (count == 1 ? " triangle was left out: its" : " triangles were left out: their") +
        " corners lie on one point or on one line.");
    diagnostics.push_back({Severity::Note, path, 0, note, ""});
}
