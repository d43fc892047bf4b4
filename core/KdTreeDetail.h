// Internals shared by the kd-tree's construction and its overlap test: the
// index that pads leaf slices, and the quick answers that settle most
// triangle-box overlaps from the triangle's box alone.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/KdTree.h"

namespace kd_detail {

// Fills the gaps between leaves in the index array.
constexpr uint32_t kNoTriangle = ~0u;

struct TriangleVertices {
    float v[9];
};

// What the construction knows of a triangle before any overlap test: its
// box, and whether it is shaped well enough for the quick answers below.
struct TriangleExtent {
    float lo[3], hi[3];
    bool regular;
    // 2 e^3 / n, e the largest edge component and n the largest normal
    // component: how thin the triangle is (infinite for no area).
    float thinness;
};

// The quick answers. Most triangles of a node lie far inside or far outside
// each candidate box; for them the separating-axis test's answer is certain
// from the triangle's box alone, and computing it exactly would only repeat
// it. "Far" is a distance tolerance (a few 2^-16 of the coordinates' and the
// box's size) well above the rounding of every step of that test, so the
// quick answer is always the test's own answer and the tree is the same as
// without it:
//  - a triangle whose box lies beyond a face of the box, by the tolerance,
//    fails the test's extent check, whatever its other checks give;
//  - a regular triangle (every edge component 0 or not tiny against the
//    coordinates, so that no product in the test underflows into the
//    margin) whose box
//    lies inside the box, by the tolerance on every side, passes all of the
//    test's checks: each edge axis projects it strictly within the box's
//    radius, and the box's corners lie strictly on both sides of its plane.
// Only triangles near a face of the box get the full test.
constexpr float kQuickTolerance = 1.f / 65536.f;  // 2^-16
// Coordinates outside [2^-8, 2^32] in magnitude (the mesh's scale) and boxes
// thinner than 2^-24 of it get the full test always.
constexpr float kQuickMinScale = 1.f / 256.f;
constexpr float kQuickMaxScale = 4294967296.f;
constexpr float kQuickMinHalfSize = 1.f / 16777216.f;  // 2^-24
constexpr float kRegularEdge = 1.f / 262144.f;         // 2^-18

inline TriangleExtent extentOf(const TriangleVertices& t, float scale) {
    TriangleExtent e;
    bool finite = true;
    for (int a = 0; a < 3; ++a) {
        e.lo[a] = std::min({t.v[a], t.v[3 + a], t.v[6 + a]});
        e.hi[a] = std::max({t.v[a], t.v[3 + a], t.v[6 + a]});
        finite = finite && std::isfinite(e.lo[a]) && std::isfinite(e.hi[a]);
    }
    e.regular = false;
    e.thinness = std::numeric_limits<float>::infinity();
    if (!finite) return e;
    float edge[3][3];
    float largestEdge = 0.f;
    for (int a = 0; a < 3; ++a) {
        edge[0][a] = t.v[3 + a] - t.v[a];
        edge[1][a] = t.v[6 + a] - t.v[3 + a];
        edge[2][a] = t.v[a] - t.v[6 + a];
        for (int k = 0; k < 3; ++k) {
            const float c = edge[k][a];
            if (c != 0.f && !(std::fabs(c) >= kRegularEdge * scale)) return e;
            largestEdge = std::max(largestEdge, std::fabs(c));
        }
    }
    e.regular = true;
    const float n[3] = {edge[0][1] * edge[1][2] - edge[0][2] * edge[1][1],
                        edge[0][2] * edge[1][0] - edge[0][0] * edge[1][2],
                        edge[0][0] * edge[1][1] - edge[0][1] * edge[1][0]};
    const float largestNormal = std::max({std::fabs(n[0]), std::fabs(n[1]), std::fabs(n[2])});
    if (largestNormal > 0.f)
        e.thinness = 2.f * largestEdge * largestEdge * largestEdge / largestNormal;
    return e;
}

// A vertex of a regular, not too thin triangle lies clearly inside box.
inline bool vertexClearlyInside(const TriangleExtent& e, const float v[9], const BoundingBox& box,
                                float tol, float size) {
    if (!e.regular || !(e.thinness <= size)) return false;
    for (int k = 0; k < 9; k += 3) {
        bool in = true;
        for (int a = 0; a < 3; ++a)
            in = in && v[k + a] > box.min[a] + tol && v[k + a] < box.max[a] - tol;
        if (in) return true;
    }
    return false;
}

// The quick answers for one box: 1 or 0 where certain, else -1.
inline int quickAnswer(const TriangleExtent& e, const float v[9], const BoundingBox& box, float tol,
                       float size) {
    bool inside = e.regular;
    for (int a = 0; a < 3; ++a) {
        if (e.hi[a] < box.min[a] - tol || e.lo[a] > box.max[a] + tol) return 0;
        inside = inside && e.lo[a] > box.min[a] + tol && e.hi[a] < box.max[a] - tol;
    }
    if (inside || vertexClearlyInside(e, v, box, tol, size)) return 1;
    return -1;
}

}  // namespace kd_detail
