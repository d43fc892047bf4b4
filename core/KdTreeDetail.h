// Internals shared by the kd-tree's construction and its overlap test (the
// index that pads leaf slices, and the quick answers that settle most
// triangle-box overlaps from the triangle's box alone), and by its
// single-ray and four-ray queries (the distance margin of the walk and the
// four-wide leaf test).
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

// Relative margin on ray distances: the triangle test's distance and the
// plane crossings are rounded differently, so a leaf is only passed over
// when it starts clearly beyond the best hit.
constexpr float kDistanceSlack = 1.f / 4096.f;

inline float widen(float t) { return t + std::fabs(t) * kDistanceSlack; }

// The ray's part of the packet test: its lanes broadcast, and the terms that
// the four-lane dot products of the single-triangle test take from the w
// lanes (the triangle's w lanes are 0, so these depend on the ray alone).
struct PacketRay {
    __m128 o[3], d[3];
    __m128 wDet, wU, wV, wT;

    explicit PacketRay(const Ray& ray) {
        for (int a = 0; a < 3; ++a) {
            o[a] = _mm_set1_ps(ray.origin[a]);
            d[a] = _mm_set1_ps(ray.direction[a]);
        }
        const float dw = ray.direction.w, ow = ray.origin.w;
        const float pw = dw * 0.f - dw * 0.f;  // w of direction × edge2
        const float tw = ow - 0.f;             // w of origin − v0
        const float qw = tw * 0.f - tw * 0.f;  // w of (origin − v0) × edge1
        wDet = _mm_set1_ps(pw * 0.f);
        wU = _mm_set1_ps(tw * pw);
        wV = _mm_set1_ps(dw * qw);
        wT = _mm_set1_ps(0.f * qw);
    }
};

// (a0 b0 + a1 b1) + (a2 b2 + w): the single-triangle test's dot product,
// lane by lane, rounded the same way.
inline __m128 dot4(__m128 a0, __m128 a1, __m128 a2, __m128 b0, __m128 b1, __m128 b2, __m128 w) {
    return _mm_add_ps(_mm_add_ps(_mm_mul_ps(a0, b0), _mm_mul_ps(a1, b1)),
                      _mm_add_ps(_mm_mul_ps(a2, b2), w));
}

// a1 b2 − a2 b1 and so on: one component of a cross product, as crossSimd
// forms it.
inline __m128 crossTerm(__m128 a1, __m128 b2, __m128 a2, __m128 b1) {
    return _mm_sub_ps(_mm_mul_ps(a1, b2), _mm_mul_ps(a2, b1));
}

// The single-triangle test (intersectTriangle) on four triangles at once:
// every value is formed by the same operations in the same order, so the
// hit mask and the distances equal what the single test gives, bit for bit.
// Returns the mask of lanes hit and their distances.
inline int testPacket(const KdTrianglePacket& p, const PacketRay& r, __m128& t) {
    const __m128 e1x = _mm_load_ps(p.edge1[0]), e1y = _mm_load_ps(p.edge1[1]),
                 e1z = _mm_load_ps(p.edge1[2]);
    const __m128 e2x = _mm_load_ps(p.edge2[0]), e2y = _mm_load_ps(p.edge2[1]),
                 e2z = _mm_load_ps(p.edge2[2]);
    const __m128 px = crossTerm(r.d[1], e2z, r.d[2], e2y);
    const __m128 py = crossTerm(r.d[2], e2x, r.d[0], e2z);
    const __m128 pz = crossTerm(r.d[0], e2y, r.d[1], e2x);
    const __m128 det = dot4(px, py, pz, e1x, e1y, e1z, r.wDet);
    __m128 ok = _mm_cmpgt_ps(det, _mm_load_ps(p.minDet));
    if (_mm_movemask_ps(ok) == 0) return 0;
    const __m128 tx = _mm_sub_ps(r.o[0], _mm_load_ps(p.v0[0]));
    const __m128 ty = _mm_sub_ps(r.o[1], _mm_load_ps(p.v0[1]));
    const __m128 tz = _mm_sub_ps(r.o[2], _mm_load_ps(p.v0[2]));
    const __m128 u = dot4(tx, ty, tz, px, py, pz, r.wU);
    const __m128 zero = _mm_setzero_ps();
    ok = _mm_and_ps(ok, _mm_and_ps(_mm_cmpnlt_ps(u, zero), _mm_cmpngt_ps(u, det)));
    if (_mm_movemask_ps(ok) == 0) return 0;
    const __m128 qx = crossTerm(ty, e1z, tz, e1y);
    const __m128 qy = crossTerm(tz, e1x, tx, e1z);
    const __m128 qz = crossTerm(tx, e1y, ty, e1x);
    const __m128 v = dot4(r.d[0], r.d[1], r.d[2], qx, qy, qz, r.wV);
    ok = _mm_and_ps(ok, _mm_and_ps(_mm_cmpnlt_ps(v, zero), _mm_cmpngt_ps(_mm_add_ps(u, v), det)));
    if (_mm_movemask_ps(ok) == 0) return 0;
    const __m128 tScaled = dot4(e2x, e2y, e2z, qx, qy, qz, r.wT);
    ok = _mm_and_ps(ok, _mm_cmpgt_ps(tScaled, zero));
    t = _mm_mul_ps(tScaled, _mm_div_ps(_mm_set1_ps(1.f), det));
    ok = _mm_and_ps(ok, _mm_cmplt_ps(t, _mm_set1_ps(triangle_detail::kFarLimit)));
    return _mm_movemask_ps(ok);
}

// The nearest hit of one ray so far: its distance, the walk's limit, and
// which triangle (0: the caller's own record; else triangle index + 1).
struct ClosestSoFar {
    float best, limit;
    uint32_t bestRef = 0;
    explicit ClosestSoFar(const HitRecord& hit)
        : best(hit.distance), limit(std::min(best, triangle_detail::kFarLimit)) {}
};

// Tests every packet of a leaf and keeps the nearest hit in c.
inline void closestInLeaf(const KdNode& leaf, const std::vector<KdTrianglePacket>& packets,
                          const std::vector<uint32_t>& references, const PacketRay& ray,
                          ClosestSoFar& c) {
    const uint32_t first = leaf.firstPrimitive(), n = leaf.primitiveCount();
    const KdTrianglePacket* packet = packets.data() + first / 4;
    for (uint32_t k = 0; k < n; k += 4, ++packet) {
        __m128 t4;
        int mask = testPacket(*packet, ray, t4);
        if (!mask) continue;
        alignas(16) float t[4];
        _mm_store_ps(t, t4);
        while (mask) {
            const int lane = __builtin_ctz(unsigned(mask));
            mask &= mask - 1;
            const uint32_t ref = references[first + k + uint32_t(lane)] + 1;
            // Equal distances go to the earlier triangle of the build
            // list, never over the caller's own record.
            if (t[lane] < c.best || (t[lane] == c.best && ref < c.bestRef)) {
                c.best = t[lane];
                c.bestRef = ref;
                if (c.best < c.limit) c.limit = c.best;
            }
        }
    }
}

}  // namespace kd_detail
