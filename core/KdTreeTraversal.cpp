// The kd-tree's queries: the walk through the nodes and the four-wide leaf
// packet test behind findClosest and findAny.
#include <algorithm>
#include <cmath>

#include "core/KdTree.h"
#include "core/KdTreeDetail.h"

using kd_detail::kNoTriangle;

// --- Queries -----------------------------------------------------------------------------

namespace {

// Relative margin on ray distances: the triangle test's distance and the
// plane crossings are rounded differently, so a leaf is only passed over
// when it starts clearly beyond the best hit.
constexpr float kDistanceSlack = 1.f / 4096.f;

inline float widen(float t) { return t + std::fabs(t) * kDistanceSlack; }

struct PendingNode {
    uint32_t node;
    float tMin, tMax;
};

}  // namespace

// Visits, roughly front to back, every leaf that the ray's segment from 0 to
// limit passes through or comes within the spatial slack of; visit(leaf)
// returns true to stop, and may lower limit. Leaves whose part of the ray
// starts beyond limit are skipped. The margins make the walk conservative:
// a triangle hit that the segment reaches is never left out by rounding.
template <class LeafVisitor>
void KdTree::walk(const Ray& ray, float& limit, LeafVisitor&& visit) const {
    if (nodes_.empty() || triangles_.empty()) return;
    float o[3], d[3], inv[3];
    for (int a = 0; a < 3; ++a) {
        o[a] = ray.origin[a];
        d[a] = ray.direction[a];
        inv[a] = d[a] != 0.f ? 1.f / d[a] : 0.f;  // used only off the parallel case
    }

    // Clip to the root box, widened by the slack.
    float tMin = 0.f, tMax = widen(limit);
    for (int a = 0; a < 3; ++a) {
        const float lo = bounds_.min[a] - slack_, hi = bounds_.max[a] + slack_;
        if (d[a] == 0.f) {
            if (o[a] < lo || o[a] > hi) return;
            continue;
        }
        float t0 = (lo - o[a]) * inv[a], t1 = (hi - o[a]) * inv[a];
        if (t0 > t1) std::swap(t0, t1);
        if (t0 > tMin) tMin = t0;
        if (t1 < tMax) tMax = t1;
    }
    if (!(tMin <= tMax)) return;

    PendingNode stack[kDepthCeiling];
    int top = 0;
    uint32_t index = 0;

    if ((d[0] > 0.f || d[0] < 0.f) && (d[1] > 0.f || d[1] < 0.f) && (d[2] > 0.f || d[2] < 0.f)) {
        // No component zero (nor NaN): the same walk, with the side of each
        // axis settled once per ray instead of once per node. Per axis: the
        // offsets of the near and the far face of the plane's slack band,
        // and whether the near side is the one below the plane.
        float nearOffset[3], farOffset[3];
        bool belowNear[3];
        for (int a = 0; a < 3; ++a) {
            belowNear[a] = d[a] > 0.f;
            nearOffset[a] = belowNear[a] ? slack_ : -slack_;
            farOffset[a] = -nearOffset[a];
        }
        float reach = widen(limit);
        for (;;) {
            const KdNode& node = nodes_[index];
            if (!node.isLeaf()) {
                const int a = node.axis();
                const float s = node.split();
                // The ray is within the slack of the near side before xNear
                // and of the far side after xFar (each widened outward).
                const float xNear = (s + nearOffset[a] - o[a]) * inv[a];
                const float xFar = (s + farOffset[a] - o[a]) * inv[a];
                const float nearMax = std::min(tMax, widen(xNear));
                const float farMin = std::max(tMin, -widen(-xFar));
                const bool toBelow = belowNear[a];
                const bool nearExists = toBelow ? node.hasLeft() : node.hasRight();
                const bool farExists = toBelow ? node.hasRight() : node.hasLeft();
                const uint32_t nearIndex = toBelow ? index + 1 : node.rightChild();
                const uint32_t farIndex = toBelow ? node.rightChild() : index + 1;
                const bool nearOk = nearExists && tMin <= nearMax;
                const bool farOk = farExists && farMin <= tMax;
                if (nearOk) {
                    if (farOk) stack[top++] = {farIndex, farMin, tMax};
                    index = nearIndex, tMax = nearMax;
                    continue;
                }
                if (farOk) {
                    index = farIndex, tMin = farMin;
                    continue;
                }
            } else {
                if (visit(node)) return;
                reach = widen(limit);
            }
            // Next pending node that starts before the best hit so far.
            // (Written out in both loops: as a shared function it cost a shadow
            // query about 4 % more instructions.)
            for (;;) {
                if (top == 0) return;
                const PendingNode& p = stack[--top];
                if (p.tMin <= reach) {
                    index = p.node, tMin = p.tMin, tMax = p.tMax;
                    break;
                }
            }
        }
    }

    for (;;) {
        const KdNode& node = nodes_[index];
        bool descend = false;
        if (!node.isLeaf()) {
            const int a = node.axis();
            const float s = node.split();
            // Parts of [tMin, tMax] where the ray is within the slack of the
            // side below (x ≤ s) and of the side above (x ≥ s).
            float belowMin = tMin, belowMax = tMax, aboveMin = tMin, aboveMax = tMax;
            bool aboveFirst;
            if (d[a] > 0.f) {
                belowMax = std::min(tMax, widen((s + slack_ - o[a]) * inv[a]));
                aboveMin = std::max(tMin, -widen(-(s - slack_ - o[a]) * inv[a]));
                aboveFirst = false;
            } else if (d[a] < 0.f) {
                belowMin = std::max(tMin, -widen(-(s + slack_ - o[a]) * inv[a]));
                aboveMax = std::min(tMax, widen((s - slack_ - o[a]) * inv[a]));
                aboveFirst = true;
            } else {
                // Parallel to the plane: on one side, or on both when it runs
                // within the slack of the plane itself. A NaN visits neither.
                if (!(o[a] <= s + slack_)) belowMax = -1.f;
                if (!(o[a] >= s - slack_)) aboveMax = -1.f;
                aboveFirst = true;
            }
            const bool below = node.hasLeft() && belowMin <= belowMax;
            const bool above = node.hasRight() && aboveMin <= aboveMax;
            const uint32_t belowIndex = index + 1, aboveIndex = node.rightChild();
            if (below && above) {
                if (aboveFirst) {
                    stack[top++] = {belowIndex, belowMin, belowMax};
                    index = aboveIndex, tMin = aboveMin, tMax = aboveMax;
                } else {
                    stack[top++] = {aboveIndex, aboveMin, aboveMax};
                    index = belowIndex, tMin = belowMin, tMax = belowMax;
                }
                descend = true;
            } else if (below) {
                index = belowIndex, tMin = belowMin, tMax = belowMax;
                descend = true;
            } else if (above) {
                index = aboveIndex, tMin = aboveMin, tMax = aboveMax;
                descend = true;
            }
        } else if (visit(node)) {
            return;
        }
        if (descend) continue;

        // Next pending node that starts before the best hit so far.
        for (;;) {
            if (top == 0) return;
            const PendingNode& p = stack[--top];
            if (p.tMin <= widen(limit)) {
                index = p.node, tMin = p.tMin, tMax = p.tMax;
                break;
            }
        }
    }
}

namespace {

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

}  // namespace

void KdTree::findClosest(const Ray& ray, HitRecord& hit) const {
    float best = hit.distance;
    float limit = std::min(best, triangle_detail::kFarLimit);
    uint32_t bestRef = 0;  // 0: the caller's record; else triangle index + 1
    const PacketRay packetRay(ray);
    walk(ray, limit, [&](const KdNode& leaf) {
        const uint32_t first = leaf.firstPrimitive(), n = leaf.primitiveCount();
        const KdTrianglePacket* packet = packets_.data() + first / 4;
        for (uint32_t k = 0; k < n; k += 4, ++packet) {
            __m128 t4;
            int mask = testPacket(*packet, packetRay, t4);
            if (!mask) continue;
            alignas(16) float t[4];
            _mm_store_ps(t, t4);
            while (mask) {
                const int lane = __builtin_ctz(unsigned(mask));
                mask &= mask - 1;
                const uint32_t ref = references_[first + k + uint32_t(lane)] + 1;
                // Equal distances go to the earlier triangle of the build
                // list, never over the caller's own record.
                if (t[lane] < best || (t[lane] == best && ref < bestRef)) {
                    best = t[lane];
                    bestRef = ref;
                    if (best < limit) limit = best;
                }
            }
        }
        return false;
    });
    // The test is deterministic: running it again fills the record exactly.
    if (bestRef != 0) intersectTriangle(*triangles_[bestRef - 1], ray, hit);
}

bool KdTree::findAny(const Ray& ray, HitRecord& hit, float maxDistance) const {
    float limit = std::min(maxDistance, triangle_detail::kFarLimit);
    uint32_t found = kNoTriangle;
    const PacketRay packetRay(ray);
    const __m128 maxT = _mm_set1_ps(maxDistance);
    walk(ray, limit, [&](const KdNode& leaf) {
        const uint32_t first = leaf.firstPrimitive(), n = leaf.primitiveCount();
        const KdTrianglePacket* packet = packets_.data() + first / 4;
        for (uint32_t k = 0; k < n; k += 4, ++packet) {
            __m128 t4;
            int mask = testPacket(*packet, packetRay, t4);
            // The first blocker in leaf order, as a scan of the leaf finds it.
            mask &= _mm_movemask_ps(_mm_cmpgt_ps(maxT, t4));
            if (mask) {
                found = references_[first + k + uint32_t(__builtin_ctz(unsigned(mask)))];
                return true;
            }
        }
        return false;
    });
    if (found == kNoTriangle) return false;
    intersectTriangle(*triangles_[found], ray, hit);
    return true;
}
