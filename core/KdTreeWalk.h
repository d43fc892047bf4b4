// The kd-tree's queries as templates over the width of the leaf test, so
// that each build of them (four lanes for any x86-64 processor, eight where
// the processor has AVX2) holds the whole walk, its leaf loops inlined.
// Included only by the files that build the queries. Everything here but
// the walk has internal linkage: the eight-lane file is compiled for AVX2,
// and none of its copies may stand in for the other file's.
#pragma once

#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/KdTree.h"
#include "core/KdTreeDetail.h"

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

// Rounding allowance of the one-crossing node step: 2^-20, 16 units of the
// last place.
constexpr float kRounding = 1.f / 1048576.f;

// The part [tMin, tMax] of the segment from 0 to widen(limit) that lies in
// the box widened by slack; false when there is none. Along an axis the ray
// does not move on (inv unused there), only the origin is tested.
inline bool clipToBox(const BoundingBox& box, float slack, const float o[3], const float d[3],
                      const float inv[3], float limit, float& tMin, float& tMax) {
    tMin = 0.f, tMax = widen(limit);
    for (int a = 0; a < 3; ++a) {
        const float lo = box.min[a] - slack, hi = box.max[a] + slack;
        if (d[a] == 0.f) {
            if (o[a] < lo || o[a] > hi) return false;
            continue;
        }
        float t0 = (lo - o[a]) * inv[a], t1 = (hi - o[a]) * inv[a];
        if (t0 > t1) std::swap(t0, t1);
        if (t0 > tMin) tMin = t0;
        if (t1 < tMax) tMax = t1;
    }
    return tMin <= tMax;
}

// |d| as the front-cone test takes it, or NaN (no node is passed by) for a
// direction so short or so long that its products could leave the floats'
// range: rays that short hit nothing, and none are that long.
inline float coneLength(const float d[3]) {
    const float length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    return length >= 0x1p-20f && length <= 0x1p20f ? length
                                                    : std::numeric_limits<float>::quiet_NaN();
}

// Whether direction d (of coneLength length) sees only the backs of the
// triangles below a node, so that none of them can be hit.
inline bool seesOnlyBacks(const KdFrontCone& cone, const float d[3], float length) {
    return d[0] * cone.axis[0] + d[1] * cone.axis[1] + d[2] * cone.axis[2] >=
           cone.awayCosine * length;
}

// The largest and the smallest of the four lanes.
inline float horizontalMax(__m128 v) {
    v = _mm_max_ps(v, _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2)));
    return _mm_cvtss_f32(_mm_max_ps(v, _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1))));
}
inline float horizontalMin(__m128 v) {
    v = _mm_min_ps(v, _mm_shuffle_ps(v, v, _MM_SHUFFLE(1, 0, 3, 2)));
    return _mm_cvtss_f32(_mm_min_ps(v, _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1))));
}

// The largest coordinate magnitude of the box: it bounds every split plane's.
inline float extentOf(const BoundingBox& box) {
    float extent = 0.f;
    for (int a = 0; a < 3; ++a)
        extent = std::max({extent, std::fabs(box.min[a]), std::fabs(box.max[a])});
    return extent;
}

// How far a node's one crossing on an axis is moved outward: the slack band,
// the relative distance margin (widen) of any crossing up to tMax, and every
// rounding of both forms of the walk. Infinite (or NaN) where the exact form
// must run instead.
inline float crossingMargin(float inv, float o, float extent, float slack, float tMax) {
    const float scale = std::fabs(inv);
    const float reach = (extent + slack + std::fabs(o)) * scale;
    return (slack * scale + reach * kRounding + tMax * (kDistanceSlack + kRounding)) *
           (1.f + kRounding);
}

}  // namespace

// Visits, roughly front to back, every leaf that the ray's segment from 0 to
// limit passes through or comes within the spatial slack of;
// visit(leaf, count) returns true to stop, and may lower limit. Leaves whose part of the ray
// starts beyond limit are skipped. The margins make the walk conservative:
// a triangle hit that the segment reaches is never left out by rounding.
template <bool Backs, bool FromEnd, class LeafVisitor>
void KdTree::walk(const Ray& ray, float& limit, LeafVisitor&& visit) const {
    if (nodes_.empty() || triangles_.empty()) return;
    float o[3], d[3], inv[3];
    for (int a = 0; a < 3; ++a) {
        o[a] = ray.origin[a];
        d[a] = ray.direction[a];
        inv[a] = d[a] != 0.f ? 1.f / d[a] : 0.f;  // used only off the parallel case
    }

    float tMin, tMax;
    if (!clipToBox(bounds_, slack_, o, d, inv, limit, tMin, tMax)) return;

    PendingNode stack[kDepthCeiling];
    int top = 0;
    uint32_t index = 0;

    // One crossing per node instead of two, each moved outward by a margin
    // per axis settled once per ray. The margin covers the slack band, the
    // relative distance margin (widen) of any crossing within the clipped
    // interval, and every rounding of both forms, so a node is entered
    // wherever the exact form of the walk (below) enters it: never fewer
    // leaves, and at most a few more near the planes.
    float margin[3];
    bool fast =
        (d[0] > 0.f || d[0] < 0.f) && (d[1] > 0.f || d[1] < 0.f) && (d[2] > 0.f || d[2] < 0.f);
    if (fast) {
        const float extent = extentOf(bounds_);
        for (int a = 0; a < 3; ++a) {
            margin[a] = crossingMargin(inv[a], o[a], extent, slack_, tMax);
            fast = fast && margin[a] <= std::numeric_limits<float>::max();
        }
    }
    if (fast) {
        // No component zero (nor NaN), no margin infinite: the side of each
        // axis settled once per ray instead of once per node.
        bool belowNear[3];
        for (int a = 0; a < 3; ++a) belowNear[a] = d[a] > 0.f;
        float reach = widen(limit);
        // A leaf's box is met as its cell's planes are, margins included;
        // the fourth lane (masked to 0) never limits the interval.
        const __m128 xyz = _mm_castsi128_ps(_mm_setr_epi32(-1, -1, -1, 0));
        const __m128 origin = _mm_setr_ps(o[0], o[1], o[2], 0.f);
        const __m128 inverse = _mm_setr_ps(inv[0], inv[1], inv[2], 1.f);
        const __m128 outward =
            _mm_setr_ps(margin[0], margin[1], margin[2], std::numeric_limits<float>::infinity());
        const float length = coneLength(d);
        for (;;) {
            const KdNode& node = nodes_[index];
            if (Backs && seesOnlyBacks(cones_[index], d, length)) {
                // Nothing below to hit.
            } else if (!node.isLeaf()) {
                const unsigned a = unsigned(node.axis());
                const float x = (node.split() - o[a]) * inv[a];
                const float nearMax = std::min(tMax, x + margin[a]);
                const float farMin = std::max(tMin, x - margin[a]);
                const bool toBelow = belowNear[a];
                const bool nearExists = toBelow ? node.hasLeft() : node.hasRight();
                const bool farExists = toBelow ? node.hasRight() : node.hasLeft();
                const uint32_t nearIndex = toBelow ? index + 1 : node.rightChild();
                const uint32_t farIndex = toBelow ? node.rightChild() : index + 1;
                const bool nearOk = nearExists && tMin <= nearMax;
                const bool farOk = farExists && farMin <= tMax;
                // Near side first, or from the far end the far side.
                const PendingNode near{nearIndex, tMin, nearMax}, far{farIndex, farMin, tMax};
                const PendingNode& first = FromEnd ? far : near;
                const PendingNode& second = FromEnd ? near : far;
                const bool firstOk = FromEnd ? farOk : nearOk;
                const bool secondOk = FromEnd ? nearOk : farOk;
                if (firstOk) {
                    if (secondOk) stack[top++] = second;
                    index = first.node, tMin = first.tMin, tMax = first.tMax;
                    continue;
                }
                if (secondOk) {
                    index = second.node, tMin = second.tMin, tMax = second.tMax;
                    continue;
                }
            } else {
                const KdLeaf& leaf = leaves_[node.leafIndex()];
                const __m128 t0 = _mm_mul_ps(
                    _mm_sub_ps(_mm_and_ps(_mm_load_ps(leaf.lower), xyz), origin), inverse);
                const __m128 t1 = _mm_mul_ps(
                    _mm_sub_ps(_mm_and_ps(_mm_load_ps(leaf.upper), xyz), origin), inverse);
                const __m128 enter = _mm_sub_ps(_mm_min_ps(t0, t1), outward);
                const __m128 leave = _mm_add_ps(_mm_max_ps(t0, t1), outward);
                if (std::max(tMin, horizontalMax(enter)) <= std::min(tMax, horizontalMin(leave))) {
                    if (visit(leaf, node.primitiveCount())) return;
                    reach = widen(limit);
                }
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
            if (FromEnd) aboveFirst = !aboveFirst;
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
        } else if (visit(leaves_[node.leafIndex()], node.primitiveCount())) {
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

// Lane arithmetic of the packet test, for four lanes and (in the AVX2 build)
// eight. The comparisons are those of the four-lane SSE forms: ordered for
// >, <; "not less" and "not greater" true for NaN.
inline __m128 vadd(__m128 a, __m128 b) { return _mm_add_ps(a, b); }
inline __m128 vsub(__m128 a, __m128 b) { return _mm_sub_ps(a, b); }
inline __m128 vmul(__m128 a, __m128 b) { return _mm_mul_ps(a, b); }
inline __m128 vdiv(__m128 a, __m128 b) { return _mm_div_ps(a, b); }
inline __m128 vand(__m128 a, __m128 b) { return _mm_and_ps(a, b); }
inline __m128 vgt(__m128 a, __m128 b) { return _mm_cmpgt_ps(a, b); }
inline __m128 vlt(__m128 a, __m128 b) { return _mm_cmplt_ps(a, b); }
inline __m128 vnlt(__m128 a, __m128 b) { return _mm_cmpnlt_ps(a, b); }
inline __m128 vngt(__m128 a, __m128 b) { return _mm_cmpngt_ps(a, b); }
inline int vmask(__m128 a) { return _mm_movemask_ps(a); }
inline void vstore(float* to, __m128 a) { _mm_storeu_ps(to, a); }

#ifdef TRESK_EIGHT_LANES
inline __m256 vadd(__m256 a, __m256 b) { return _mm256_add_ps(a, b); }
inline __m256 vsub(__m256 a, __m256 b) { return _mm256_sub_ps(a, b); }
inline __m256 vmul(__m256 a, __m256 b) { return _mm256_mul_ps(a, b); }
inline __m256 vdiv(__m256 a, __m256 b) { return _mm256_div_ps(a, b); }
inline __m256 vand(__m256 a, __m256 b) { return _mm256_and_ps(a, b); }
inline __m256 vgt(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_GT_OQ); }
inline __m256 vlt(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_LT_OQ); }
inline __m256 vnlt(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_NLT_UQ); }
inline __m256 vngt(__m256 a, __m256 b) { return _mm256_cmp_ps(a, b, _CMP_NGT_UQ); }
inline int vmask(__m256 a) { return _mm256_movemask_ps(a); }
inline void vstore(float* to, __m256 a) { _mm256_storeu_ps(to, a); }
#endif

// One lane field of the packet at p (four lanes), or of p and the packet
// after it (eight).
template <class V>
V vload(const float* field);
template <>
inline __m128 vload<__m128>(const float* field) {
    return _mm_load_ps(field);
}
template <class V>
V vset(float x);
template <>
inline __m128 vset<__m128>(float x) {
    return _mm_set1_ps(x);
}
#ifdef TRESK_EIGHT_LANES
template <>
inline __m256 vload<__m256>(const float* field) {
    constexpr size_t kNext = sizeof(KdTrianglePacket) / sizeof(float);
    return _mm256_insertf128_ps(_mm256_castps128_ps256(_mm_load_ps(field)),
                                _mm_load_ps(field + kNext), 1);
}
template <>
inline __m256 vset<__m256>(float x) {
    return _mm256_set1_ps(x);
}
#endif

// The ray's part of the packet test: its lanes broadcast, and the terms that
// the four-lane dot products of the single-triangle test take from the w
// lanes (the triangle's w lanes are 0, so these depend on the ray alone).
// (Named by lane count: a vector type as a template argument loses its
// alignment attribute.)
template <int Lanes>
struct PacketRayOf;
template <>
struct PacketRayOf<4> {
    using V = __m128;
};
#ifdef TRESK_EIGHT_LANES
template <>
struct PacketRayOf<8> {
    using V = __m256;
};
#endif

template <int Lanes>
struct PacketRay {
    using V = typename PacketRayOf<Lanes>::V;
    V o[3], d[3];
    V wDet, wU, wV, wT;

    explicit PacketRay(const Ray& ray) {
        for (int a = 0; a < 3; ++a) {
            o[a] = vset<V>(ray.origin[a]);
            d[a] = vset<V>(ray.direction[a]);
        }
        const float dw = ray.direction.w, ow = ray.origin.w;
        const float pw = dw * 0.f - dw * 0.f;  // w of direction × edge2
        const float tw = ow - 0.f;             // w of origin − v0
        const float qw = tw * 0.f - tw * 0.f;  // w of (origin − v0) × edge1
        wDet = vset<V>(pw * 0.f);
        wU = vset<V>(tw * pw);
        wV = vset<V>(dw * qw);
        wT = vset<V>(0.f * qw);
    }
};

// (a0 b0 + a1 b1) + (a2 b2 + w): the single-triangle test's dot product,
// lane by lane, rounded the same way.
template <class V>
inline V dotLanes(V a0, V a1, V a2, V b0, V b1, V b2, V w) {
    return vadd(vadd(vmul(a0, b0), vmul(a1, b1)), vadd(vmul(a2, b2), w));
}

// a1 b2 − a2 b1 and so on: one component of a cross product, as crossSimd
// forms it.
template <class V>
inline V crossTerm(V a1, V b2, V a2, V b1) {
    return vsub(vmul(a1, b2), vmul(a2, b1));
}

// The single-triangle test (intersectTriangle) on the four triangles of the
// packet p, or on the eight of p and the packet after it: every value is
// formed by the same operations in the same order, so the hit mask and the
// distances equal what the single test gives, bit for bit. Returns the mask
// of lanes hit and their distances.
template <int Lanes, class V = typename PacketRayOf<Lanes>::V>
inline int testLanes(const KdTrianglePacket& p, const PacketRay<Lanes>& r, V& t) {
    const V e1x = vload<V>(p.edge1[0]), e1y = vload<V>(p.edge1[1]), e1z = vload<V>(p.edge1[2]);
    const V e2x = vload<V>(p.edge2[0]), e2y = vload<V>(p.edge2[1]), e2z = vload<V>(p.edge2[2]);
    const V px = crossTerm(r.d[1], e2z, r.d[2], e2y);
    const V py = crossTerm(r.d[2], e2x, r.d[0], e2z);
    const V pz = crossTerm(r.d[0], e2y, r.d[1], e2x);
    const V det = dotLanes(px, py, pz, e1x, e1y, e1z, r.wDet);
    V ok = vgt(det, vload<V>(p.minDet));
    if (vmask(ok) == 0) return 0;
    const V tx = vsub(r.o[0], vload<V>(p.v0[0]));
    const V ty = vsub(r.o[1], vload<V>(p.v0[1]));
    const V tz = vsub(r.o[2], vload<V>(p.v0[2]));
    const V u = dotLanes(tx, ty, tz, px, py, pz, r.wU);
    const V zero = vset<V>(0.f);
    ok = vand(ok, vand(vnlt(u, zero), vngt(u, det)));
    if (vmask(ok) == 0) return 0;
    const V qx = crossTerm(ty, e1z, tz, e1y);
    const V qy = crossTerm(tz, e1x, tx, e1z);
    const V qz = crossTerm(tx, e1y, ty, e1x);
    const V v = dotLanes(r.d[0], r.d[1], r.d[2], qx, qy, qz, r.wV);
    ok = vand(ok, vand(vnlt(v, zero), vngt(vadd(u, v), det)));
    if (vmask(ok) == 0) return 0;
    const V tScaled = dotLanes(e2x, e2y, e2z, qx, qy, qz, r.wT);
    ok = vand(ok, vgt(tScaled, zero));
    t = vmul(tScaled, vdiv(vset<V>(1.f), det));
    ok = vand(ok, vlt(t, vset<V>(triangle_detail::kFarLimit)));
    return vmask(ok);
}

// Tests one group of lanes (the packet, or it and the one after it) and
// hands a hit to hits(k, mask, t): k the group's first triangle in the leaf,
// t its lanes' distances. Returns what hits returns, false without a hit.
template <int Lanes, class Hits>
[[gnu::always_inline]] inline bool testGroup(const KdTrianglePacket& packet,
                                             const PacketRay<Lanes>& r, uint32_t k, Hits& hits) {
    typename PacketRayOf<Lanes>::V lanes;
    const int mask = testLanes(packet, r, lanes);
    if (!mask) return false;
    alignas(32) float t[Lanes];
    vstore(t, lanes);
    return hits(k, mask, t);
}

// The packets of a leaf four lanes at a time. scan stops at the first group
// for which hits returns true, and returns whether there was one.
struct FourLanes {
    struct Rays {
        PacketRay<4> four;
        explicit Rays(const Ray& ray) : four(ray) {}
    };
    template <class Hits>
    [[gnu::always_inline]] static bool scan(const KdTrianglePacket* packet, uint32_t n,
                                            const Rays& r, Hits&& hits) {
        for (uint32_t k = 0; k < n; k += 4, ++packet)
            if (testGroup(*packet, r.four, k, hits)) return true;
        return false;
    }
};

#ifdef TRESK_EIGHT_LANES
// Eight lanes (two packets) at a time; a leaf with an odd number of packets
// ends with one four-lane test.
struct EightLanes {
    struct Rays {
        PacketRay<8> eight;
        PacketRay<4> four;
        explicit Rays(const Ray& ray) : eight(ray), four(ray) {}
    };
    template <class Hits>
    [[gnu::always_inline]] static bool scan(const KdTrianglePacket* packet, uint32_t n,
                                            const Rays& r, Hits&& hits) {
        uint32_t k = 0;
        for (; k + 4 < n; k += 8, packet += 2)
            if (testGroup(*packet, r.eight, k, hits)) return true;
        return k < n && testGroup(*packet, r.four, k, hits);
    }
};
#endif

}  // namespace

// The two queries' bodies for one width of the leaf test (Lanes). Each
// returns which triangle to fill the caller's record from. The leaf loops
// are forced inline into the walk: left to the compiler, one query's loop
// stayed out of line whenever the other's was inlined, and flattening the
// whole query ran fewer instructions but made shadow rays slower.
struct KdTreeLeafQueries {
    // 0: none nearer than best; else the nearest triangle's index + 1.
    template <class Lanes>
    static uint32_t closest(const KdTree& tree, const Ray& ray, float best) {
        float limit = std::min(best, triangle_detail::kFarLimit);
        uint32_t bestRef = 0;  // 0: the caller's record; else triangle index + 1
        const uint32_t* references = tree.references_.data();
        scanLeaves<Lanes, false>(tree, ray, limit, [&](uint32_t group, int mask, const float* t) {
            while (mask) {
                const int lane = __builtin_ctz(unsigned(mask));
                mask &= mask - 1;
                const uint32_t ref = references[group + uint32_t(lane)] + 1;
                // Equal distances go to the earlier triangle of the build
                // list, never over the caller's own record.
                if (t[lane] < best || (t[lane] == best && ref < bestRef)) {
                    best = t[lane];
                    bestRef = ref;
                    if (best < limit) limit = best;
                }
            }
            return false;
        });
        return bestRef;
    }

    // The first blocker closer than maxDistance that the walk from the
    // origin (or, FromEnd, from the far end) meets, or kNoTriangle.
    template <class Lanes, bool FromEnd>
    static uint32_t any(const KdTree& tree, const Ray& ray, float maxDistance) {
        float limit = std::min(maxDistance, triangle_detail::kFarLimit);
        uint32_t found = kd_detail::kNoTriangle;
        const uint32_t* references = tree.references_.data();
        // The first blocker in leaf order, as a scan of the leaf finds it.
        const auto blocker = [&](uint32_t group, int mask, const float* t) {
            for (; mask; mask &= mask - 1) {
                const int lane = __builtin_ctz(unsigned(mask));
                if (maxDistance > t[lane]) {
                    found = references[group + uint32_t(lane)];
                    return true;
                }
            }
            return false;
        };
        scanLeaves<Lanes, true, FromEnd>(tree, ray, limit, blocker);
        return found;
    }

    // Scans every leaf of the walk up to limit, handing each group of lanes
    // hit to hits(group, mask, t), group the index of its first reference,
    // until hits returns true.
    template <class Lanes, bool Backs, bool FromEnd = false, class Hits>
    [[gnu::always_inline]] static void scanLeaves(const KdTree& tree, const Ray& ray, float& limit,
                                                  Hits&& hits) {
        const typename Lanes::Rays lanes(ray);
        const KdTrianglePacket* packets = tree.packets_.data();
        tree.template walk<Backs, FromEnd>(
            ray, limit, [&](const KdLeaf& leaf, uint32_t count) __attribute__((always_inline)) {
                const uint32_t first = leaf.firstPrimitive;
                return Lanes::scan(
                    packets + first / 4, count, lanes,
                    [&](uint32_t k, int mask, const float* t) { return hits(first + k, mask, t); });
            });
    }
};

// The eight-lane build (KdTreeTraversalAvx2.cpp), for processors with AVX2.
namespace kd_walk {
uint32_t closestEightLanes(const KdTree& tree, const Ray& ray, float best);
uint32_t anyEightLanes(const KdTree& tree, const Ray& ray, float maxDistance);
uint32_t anyFromEndEightLanes(const KdTree& tree, const Ray& ray, float maxDistance);
}  // namespace kd_walk
