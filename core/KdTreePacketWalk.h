// The kd-tree's four-ray queries as templates over the width of the leaf
// test, built beside the single-ray queries of KdTreeWalk.h (which it
// includes) in each of their builds. Four rays of one octant walk the tree
// together, one SSE lane each. Every lane takes the single walk's steps with
// the single walk's operations, so it enters exactly the nodes and leaves
// its own walk enters, in the same order, and ends with the same record;
// what the lanes share is each node's load, its branches and the stack.
#pragma once

#include "core/KdTreeWalk.h"

namespace {

// A far child left for later: each lane's part of the ray in it, the lanes
// that go there, and those of them that the single walk would have entered
// at once (they are not passed over on the way back, whatever their limit).
struct PendingNode4 {
    __m128 tMin, tMax;
    uint32_t node;
    int lanes, entered;
};

// widen, lane by lane: t + |t| × slack, rounded as the scalar form rounds.
inline __m128 widen4(__m128 t) {
    const __m128 magnitude = _mm_andnot_ps(_mm_set1_ps(-0.f), t);
    return _mm_add_ps(t, _mm_mul_ps(magnitude, _mm_set1_ps(kDistanceSlack)));
}

}  // namespace

// The fast form of walk for the lanes set in lanes (bit i for rays[i]),
// whose directions must share one octant. The packet goes to the near child
// when any lane needs it and leaves the far child on the stack for the
// lanes that need that; a lane is active only in nodes its own walk enters.
// visit(leaf, count, active) returns the lanes that stop. Returns false, having
// visited nothing, when some lane's walk would take the exact form instead.
template <bool Backs, bool FromEnd, class LeafVisitor>
bool KdTree::walk4(const Ray rays[4], int lanes, float limit[4], LeafVisitor&& visit) const {
    if (nodes_.empty() || triangles_.empty()) return true;
    const float extent = extentOf(bounds_);
    alignas(16) float o[3][4] = {}, d[3][4] = {}, inv[3][4] = {}, margin[3][4] = {}, start[4] = {},
                      end[4] = {}, length[4] = {};
    int active = 0;
    for (int i = 0; i < 4; ++i) {
        if (!(lanes >> i & 1)) continue;
        float oi[3], di[3], invi[3];
        for (int a = 0; a < 3; ++a) {
            oi[a] = o[a][i] = rays[i].origin[a];
            di[a] = d[a][i] = rays[i].direction[a];
            invi[a] = inv[a][i] = 1.f / di[a];  // one octant: no component zero
        }
        length[i] = coneLength(di);
        // The clip and the crossings' margins exactly as walk forms them.
        float tMin, tMax;
        if (!clipToBox(bounds_, slack_, oi, di, invi, limit[i], tMin, tMax)) continue;
        for (int a = 0; a < 3; ++a) {
            margin[a][i] = crossingMargin(invi[a], oi[a], extent, slack_, tMax);
            if (!(margin[a][i] <= std::numeric_limits<float>::max())) return false;
        }
        active |= 1 << i;
        start[i] = tMin, end[i] = tMax;
    }
    if (!active) return true;

    __m128 origin[3], inverse[3], outward[3], direction[3];
    bool belowNear[3];
    const Ray& any = rays[__builtin_ctz(unsigned(active))];
    const __m128 lengths = _mm_load_ps(length);
    for (int a = 0; a < 3; ++a) {
        direction[a] = _mm_load_ps(d[a]);
        origin[a] = _mm_load_ps(o[a]);
        inverse[a] = _mm_load_ps(inv[a]);
        outward[a] = _mm_load_ps(margin[a]);
        belowNear[a] = any.direction[a] > 0.f;
    }
    __m128 tMin = _mm_load_ps(start), tMax = _mm_load_ps(end);
    __m128 reach = widen4(_mm_loadu_ps(limit));  // lanes not asked: never read
    PendingNode4 stack[kDepthCeiling];
    int top = 0;
    uint32_t index = 0;
    for (;;) {
        const KdNode& node = nodes_[index];
        // Less the lanes that see only the backs of the triangles below, as
        // seesOnlyBacks decides.
        if (Backs) {
            const KdFrontCone& cone = cones_[index];
            const __m128 along =
                _mm_add_ps(_mm_add_ps(_mm_mul_ps(direction[0], _mm_set1_ps(cone.axis[0])),
                                      _mm_mul_ps(direction[1], _mm_set1_ps(cone.axis[1]))),
                           _mm_mul_ps(direction[2], _mm_set1_ps(cone.axis[2])));
            active &= ~_mm_movemask_ps(
                _mm_cmpge_ps(along, _mm_mul_ps(_mm_set1_ps(cone.awayCosine), lengths)));
        }
        if (!active) {
            // Nothing below to hit.
        } else if (!node.isLeaf()) {
            const unsigned a = unsigned(node.axis());
            const __m128 x =
                _mm_mul_ps(_mm_sub_ps(_mm_set1_ps(node.split()), origin[a]), inverse[a]);
            // std::min(tMax, x + margin) and std::max(tMin, x − margin), NaN
            // and ties included.
            const __m128 nearMax = _mm_min_ps(_mm_add_ps(x, outward[a]), tMax);
            const __m128 farMin = _mm_max_ps(_mm_sub_ps(x, outward[a]), tMin);
            const bool toBelow = belowNear[a];
            const bool nearExists = toBelow ? node.hasLeft() : node.hasRight();
            const bool farExists = toBelow ? node.hasRight() : node.hasLeft();
            const int nearOk =
                nearExists ? active & _mm_movemask_ps(_mm_cmple_ps(tMin, nearMax)) : 0;
            const int farOk = farExists ? active & _mm_movemask_ps(_mm_cmple_ps(farMin, tMax)) : 0;
            const uint32_t nearIndex = toBelow ? index + 1 : node.rightChild();
            const uint32_t farIndex = toBelow ? node.rightChild() : index + 1;
            // Near side first, or from the far end the far side.
            const int firstOk = FromEnd ? farOk : nearOk, secondOk = FromEnd ? nearOk : farOk;
            const uint32_t firstIndex = FromEnd ? farIndex : nearIndex;
            const uint32_t secondIndex = FromEnd ? nearIndex : farIndex;
            const __m128 firstMin = FromEnd ? farMin : tMin, firstMax = FromEnd ? tMax : nearMax;
            const __m128 secondMin = FromEnd ? tMin : farMin, secondMax = FromEnd ? nearMax : tMax;
            if (firstOk) {
                // With the lanes that their own walks enter at once.
                if (secondOk)
                    stack[top++] = {secondMin, secondMax, secondIndex, secondOk,
                                    secondOk & ~firstOk};
                index = firstIndex, tMin = firstMin, tMax = firstMax, active = firstOk;
                continue;
            }
            if (secondOk) {
                index = secondIndex, tMin = secondMin, tMax = secondMax, active = secondOk;
                continue;
            }
        } else {
            // The lanes that meet the leaf's box, as in walk.
            const KdLeaf& leaf = leaves_[node.leafIndex()];
            __m128 enter = tMin, leave = tMax;
            for (int a = 0; a < 3; ++a) {
                const __m128 lower =
                    _mm_mul_ps(_mm_sub_ps(_mm_set1_ps(leaf.lower[a]), origin[a]), inverse[a]);
                const __m128 upper =
                    _mm_mul_ps(_mm_sub_ps(_mm_set1_ps(leaf.upper[a]), origin[a]), inverse[a]);
                enter = _mm_max_ps(enter, _mm_sub_ps(belowNear[a] ? lower : upper, outward[a]));
                leave = _mm_min_ps(leave, _mm_add_ps(belowNear[a] ? upper : lower, outward[a]));
            }
            const int inBox = active & _mm_movemask_ps(_mm_cmple_ps(enter, leave));
            if (inBox) {
                lanes &= ~visit(leaf, node.primitiveCount(), inBox);
                if (!lanes) return true;
                reach = widen4(_mm_loadu_ps(limit));
            }
        }
        // Next pending node that some lane still needs.
        for (;;) {
            if (top == 0) return true;
            const PendingNode4& p = stack[--top];
            const int m =
                p.lanes & lanes & (p.entered | _mm_movemask_ps(_mm_cmple_ps(p.tMin, reach)));
            if (m) {
                index = p.node, tMin = p.tMin, tMax = p.tMax, active = m;
                break;
            }
        }
    }
}

// The four-ray queries' bodies for one width of the leaf test; the leaves
// are tested lane by lane. Each returns false, having changed nothing, when
// the rays must go one by one; otherwise refs[i] tells which triangle to
// fill record i from, as the single queries' bodies do.
struct KdTreePacketQueries {
    template <class Lanes>
    static bool closest(const KdTree& tree, const Ray rays[4], const float best[4],
                        uint32_t refs[4]) {
        float nearest[4], limit[4];
        for (int i = 0; i < 4; ++i) {
            nearest[i] = best[i];
            limit[i] = std::min(best[i], triangle_detail::kFarLimit);
            refs[i] = 0;
        }
        const typename Lanes::Rays lanes[4] = {
            typename Lanes::Rays(rays[0]), typename Lanes::Rays(rays[1]),
            typename Lanes::Rays(rays[2]), typename Lanes::Rays(rays[3])};
        const KdTrianglePacket* packets = tree.packets_.data();
        const uint32_t* references = tree.references_.data();
        return tree.walk4<false, false>(
            rays, 0xF, limit, [&](const KdLeaf& leaf, uint32_t count, int active) {
                const uint32_t first = leaf.firstPrimitive;
                for (; active; active &= active - 1) {
                    const int i = __builtin_ctz(unsigned(active));
                    Lanes::scan(packets + first / 4, count, lanes[i],
                                [&](uint32_t k, int mask, const float* t) {
                                    for (; mask; mask &= mask - 1) {
                                        const int lane = __builtin_ctz(unsigned(mask));
                                        const uint32_t ref =
                                            references[first + k + uint32_t(lane)] + 1;
                                        // As the single query: ties to the earlier
                                        // triangle, never over the caller's record.
                                        if (t[lane] < nearest[i] ||
                                            (t[lane] == nearest[i] && ref < refs[i])) {
                                            nearest[i] = t[lane];
                                            refs[i] = ref;
                                            if (nearest[i] < limit[i]) limit[i] = nearest[i];
                                        }
                                    }
                                    return false;
                                });
                }
                return 0;
            });
    }

    // found[i]: lane i's first blocker (from the origin, or FromEnd from
    // the far end), or kNoTriangle.
    template <class Lanes, bool FromEnd>
    static bool any(const KdTree& tree, const Ray rays[4], const float maxDistance[4], int asked,
                    uint32_t found[4]) {
        float limit[4];
        for (int i = 0; i < 4; ++i) {
            limit[i] = asked >> i & 1 ? std::min(maxDistance[i], triangle_detail::kFarLimit) : 0.f;
            found[i] = kd_detail::kNoTriangle;
        }
        // Lanes not asked test nothing; their rays are not read.
        const Ray& spare = rays[__builtin_ctz(unsigned(asked))];
        const typename Lanes::Rays lanes[4] = {typename Lanes::Rays(asked & 1 ? rays[0] : spare),
                                               typename Lanes::Rays(asked & 2 ? rays[1] : spare),
                                               typename Lanes::Rays(asked & 4 ? rays[2] : spare),
                                               typename Lanes::Rays(asked & 8 ? rays[3] : spare)};
        const KdTrianglePacket* packets = tree.packets_.data();
        const uint32_t* references = tree.references_.data();
        return tree.walk4<true, FromEnd>(
            rays, asked, limit, [&](const KdLeaf& leaf, uint32_t count, int active) {
                const uint32_t first = leaf.firstPrimitive;
                int stop = 0;
                for (; active; active &= active - 1) {
                    const int i = __builtin_ctz(unsigned(active));
                    const bool blocked =
                        Lanes::scan(packets + first / 4, count, lanes[i],
                                    [&](uint32_t k, int mask, const float* t) {
                                        // The first blocker in leaf order, as a scan of the
                                        // leaf finds it.
                                        for (; mask; mask &= mask - 1) {
                                            const int lane = __builtin_ctz(unsigned(mask));
                                            if (maxDistance[i] > t[lane]) {
                                                found[i] = references[first + k + uint32_t(lane)];
                                                return true;
                                            }
                                        }
                                        return false;
                                    });
                    if (blocked) stop |= 1 << i;
                }
                return stop;
            });
    }
};

// The eight-lane build (KdTreeTraversalAvx2.cpp), for processors with AVX2.
namespace kd_walk {
bool closestPacketEightLanes(const KdTree& tree, const Ray rays[4], const float best[4],
                             uint32_t refs[4]);
bool anyPacketEightLanes(const KdTree& tree, const Ray rays[4], const float maxDistance[4],
                         int asked, uint32_t found[4]);
bool anyPacketFromEndEightLanes(const KdTree& tree, const Ray rays[4], const float maxDistance[4],
                                int asked, uint32_t found[4]);
}  // namespace kd_walk
