// The kd-tree's geometry: boxes, the separating-axis test of a triangle
// against a box, and its certain answers without the test.
#include <algorithm>
#include <cmath>
#include <limits>
#include <ostream>

#include "core/KdTree.h"
#include "core/KdTreeDetail.h"

// --- Boxes and overlap tests -------------------------------------------------------------

bool operator==(const BoundingBox& a, const BoundingBox& b) {
    for (int i = 0; i < 3; ++i) {
        if (a.min[i] != b.min[i] || a.max[i] != b.max[i]) return false;
    }
    return true;
}

std::ostream& operator<<(std::ostream& os, const BoundingBox& b) {
    return os << "Box{(" << b.min[0] << ", " << b.min[1] << ", " << b.min[2] << ") - (" << b.max[0]
              << ", " << b.max[1] << ", " << b.max[2] << ")}";
}

bool planeBoxOverlap(const float normal[3], float d, const float halfSize[3]) {
    float vmin[3], vmax[3];
    for (int a = 0; a < 3; ++a) {
        if (normal[a] > 0.f) {
            vmin[a] = -halfSize[a];
            vmax[a] = halfSize[a];
        } else {
            vmin[a] = halfSize[a];
            vmax[a] = -halfSize[a];
        }
    }
    if (normal[0] * vmin[0] + normal[1] * vmin[1] + normal[2] * vmin[2] + d > 0.f) return false;
    return normal[0] * vmax[0] + normal[1] * vmax[1] + normal[2] * vmax[2] + d >= 0.f;
}

namespace {

// Projections of two vertices p, q on one edge-cross-axis direction, given by
// the products a·p[i] − b·p[j], against the box's radius fa·h[i] + fb·h[j].
inline bool separated(float p, float q, float rad) {
    const float lo = p < q ? p : q;
    const float hi = p < q ? q : p;
    return lo > rad || hi < -rad;
}

// The three separating-axis tests of one edge e crossed with x, y and z, in
// that order.
inline bool edgeAxesSeparate(const float e[3], const float p[3], const float q[3], const float r[3],
                             const float s[3], const float h[3]) {
    constexpr int X = 0, Y = 1, Z = 2;
    const float fx = std::fabs(e[X]), fy = std::fabs(e[Y]), fz = std::fabs(e[Z]);
    return separated(e[Z] * p[Y] - e[Y] * p[Z], e[Z] * q[Y] - e[Y] * q[Z], fz * h[Y] + fy * h[Z]) ||
           separated(-e[Z] * p[X] + e[X] * p[Z], -e[Z] * q[X] + e[X] * q[Z],
                     fz * h[X] + fx * h[Z]) ||
           separated(e[Y] * r[X] - e[X] * r[Y], e[Y] * s[X] - e[X] * s[Y], fy * h[X] + fx * h[Y]);
}

}  // namespace

bool triangleBoxOverlap(const float centre[3], const float h[3], const float vertices[9]) {
    // Move the box centre to the origin.
    float v0[3], v1[3], v2[3];
    for (int a = 0; a < 3; ++a) {
        v0[a] = vertices[a] - centre[a];
        v1[a] = vertices[3 + a] - centre[a];
        v2[a] = vertices[6 + a] - centre[a];
    }
    float e0[3], e1[3], e2[3];
    for (int a = 0; a < 3; ++a) {
        e0[a] = v1[a] - v0[a];
        e1[a] = v2[a] - v1[a];
        e2[a] = v0[a] - v2[a];
    }
    constexpr int X = 0, Y = 1, Z = 2;

    // Nine axes: each edge crossed with x, y and z. Of the three vertices,
    // the two ends of the edge project alike, so two projections suffice:
    // p and q for the x and y axes, r and s for the z axis.
    if (edgeAxesSeparate(e0, v0, v2, v1, v2, h)) return false;
    if (edgeAxesSeparate(e1, v0, v2, v0, v1, h)) return false;
    if (edgeAxesSeparate(e2, v0, v1, v1, v2, h)) return false;

    // The triangle's extent on x, y and z against the box.
    for (int a = 0; a < 3; ++a) {
        const float lo = std::min(v0[a], std::min(v1[a], v2[a]));
        const float hi = std::max(v0[a], std::max(v1[a], v2[a]));
        if (lo > h[a] || hi < -h[a]) return false;
    }

    // The triangle's plane.
    const float normal[3] = {e0[Y] * e1[Z] - e0[Z] * e1[Y], e0[Z] * e1[X] - e0[X] * e1[Z],
                             e0[X] * e1[Y] - e0[Y] * e1[X]};
    const float d = -(normal[X] * v0[X] + normal[Y] * v0[Y] + normal[Z] * v0[Z]);
    return planeBoxOverlap(normal, d, h);
}

using namespace kd_detail;

int certainTriangleBoxOverlap(const BoundingBox& box, const float vertices[9], float scale) {
    if (!(scale >= kQuickMinScale && scale <= kQuickMaxScale)) return -1;
    float largest = 0.f, thinnest = std::numeric_limits<float>::infinity();
    for (int a = 0; a < 3; ++a) {
        const float half = 0.5f * (box.max[a] - box.min[a]);
        largest = std::max(largest, half);
        thinnest = std::min(thinnest, half);
    }
    if (!(thinnest >= kQuickMinHalfSize * scale)) return -1;
    TriangleVertices t;
    std::copy(vertices, vertices + 9, t.v);
    const float size = scale + largest;
    return quickAnswer(extentOf(t, scale), t.v, box, kQuickTolerance * size, size);
}
