#include "scene/Mesh.h"

#include <tbb/parallel_for.h>

#include <algorithm>

#include "core/HugePages.h"

namespace {

Vec3 entryOrZero(const std::vector<Vec3>& list, int32_t index) {
    return index >= 0 ? list[size_t(index)] : Vec3();
}

}  // namespace

void appendTriangles(const Mesh& g, std::vector<Triangle>& triangles, const Material* material) {
    // Room grows at least twofold, so that many meshes in a row cost no
    // more copying than one large one.
    const size_t needed = triangles.size() + size_t(g.triangleCount());
    if (needed > triangles.capacity())
        reserveOnHugePages(triangles, std::max(needed, 2 * triangles.capacity()));
    const size_t first = triangles.size();
    triangles.resize(needed, Triangle(material));
    // Each triangle from its own three corners: filled in parallel.
    const auto fill = [&](size_t k) {
        const size_t i = 3 * k;
        Triangle& t = triangles[first + k];
        t.v0 = g.positions[size_t(g.positionIndices[i])];
        t.v1 = g.positions[size_t(g.positionIndices[i + 1])];
        t.v2 = g.positions[size_t(g.positionIndices[i + 2])];
        t.computeEdges();
        const int32_t na = g.normalIndices[i], nb = g.normalIndices[i + 1],
                      nc = g.normalIndices[i + 2];
        if (na >= 0 && nb >= 0 && nc >= 0) {
            t.n0 = g.normals[size_t(na)];
            t.n1 = g.normals[size_t(nb)];
            t.n2 = g.normals[size_t(nc)];
            t.fillZeroNormals();
        } else {
            t.n0 = t.n1 = t.n2 = geometricNormal(t.v0, t.v1, t.v2);
        }
        t.t0 = entryOrZero(g.texCoords, g.texCoordIndices[i]);
        t.t1 = entryOrZero(g.texCoords, g.texCoordIndices[i + 1]);
        t.t2 = entryOrZero(g.texCoords, g.texCoordIndices[i + 2]);
    };
    tbb::parallel_for(size_t(0), needed - first, fill);
}
