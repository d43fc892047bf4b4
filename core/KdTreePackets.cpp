// The kd-tree's four-ray queries: four rays of one octant walk the tree
// together, one SSE lane each. Every lane takes the single walk's steps with
// the single walk's operations, so it visits exactly the leaves the single
// walk visits, in the same order, and ends with the same record; what the
// lanes share is the node's load, its branches and the stack.
#include <algorithm>
#include <cmath>

#include "core/KdTree.h"
#include "core/KdTreeDetail.h"

using namespace kd_detail;

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
inline __m128 negate4(__m128 t) { return _mm_xor_ps(t, _mm_set1_ps(-0.f)); }

// Whether the asked lanes' directions have no component zero (nor NaN) and
// the same sign on each axis: then their near sides agree at every node.
bool oneOctant(const Ray rays[4], int lanes) {
    int positive[3] = {-1, -1, -1};
    for (int i = 0; i < 4; ++i) {
        if (!(lanes >> i & 1)) continue;
        for (int a = 0; a < 3; ++a) {
            const float d = rays[i].direction[a];
            if (!(d > 0.f || d < 0.f)) return false;
            if (positive[a] < 0) positive[a] = d > 0.f;
            if (positive[a] != (d > 0.f)) return false;
        }
    }
    return true;
}

// Whether a triangle of the leaf is hit closer than maxT (all four lanes
// the same); found is then the first in leaf order, as a scan finds it.
bool blockerInLeaf(const KdNode& leaf, const std::vector<KdTrianglePacket>& packets,
                   const std::vector<uint32_t>& references, const PacketRay& ray,
                   const __m128& maxT, uint32_t& found) {
    const uint32_t first = leaf.firstPrimitive(), n = leaf.primitiveCount();
    const KdTrianglePacket* packet = packets.data() + first / 4;
    for (uint32_t k = 0; k < n; k += 4, ++packet) {
        __m128 t4;
        int mask = testPacket(*packet, ray, t4);
        mask &= _mm_movemask_ps(_mm_cmpgt_ps(maxT, t4));
        if (mask) {
            found = references[first + k + uint32_t(__builtin_ctz(unsigned(mask)))];
            return true;
        }
    }
    return false;
}

}  // namespace

// The single walk's fast path (see walk), for the lanes set in lanes, which
// must run into one octant. The lanes share the node sequence: the packet
// goes to the near child when any lane needs it and leaves the far child on
// the stack for the lanes that need that; a lane is active only in nodes its
// own single walk would enter.
template <class LeafVisitor>
void KdTree::walk4(const Ray rays[4], int lanes, float limit[4], LeafVisitor&& visit) const {
    alignas(16) float o[3][4] = {}, inv[3][4] = {}, start[4] = {}, end[4] = {};
    int active = 0;
    for (int i = 0; i < 4; ++i) {
        if (!(lanes >> i & 1)) continue;
        for (int a = 0; a < 3; ++a) {
            o[a][i] = rays[i].origin[a];
            inv[a][i] = 1.f / rays[i].direction[a];  // one octant: no component zero
        }
        // Clip to the root box, widened by the slack.
        float tMin = 0.f, tMax = widen(limit[i]);
        for (int a = 0; a < 3; ++a) {
            const float lo = bounds_.min[a] - slack_, hi = bounds_.max[a] + slack_;
            float t0 = (lo - o[a][i]) * inv[a][i], t1 = (hi - o[a][i]) * inv[a][i];
            if (t0 > t1) std::swap(t0, t1);
            if (t0 > tMin) tMin = t0;
            if (t1 < tMax) tMax = t1;
        }
        if (tMin <= tMax) active |= 1 << i;
        start[i] = tMin, end[i] = tMax;
    }
    if (!active) return;

    __m128 origin[3], inverse[3], nearOffset[3], farOffset[3];
    bool belowNear[3];
    const Ray& any = rays[__builtin_ctz(unsigned(active))];
    for (int a = 0; a < 3; ++a) {
        origin[a] = _mm_load_ps(o[a]);
        inverse[a] = _mm_load_ps(inv[a]);
        belowNear[a] = any.direction[a] > 0.f;
        const float offset = belowNear[a] ? slack_ : -slack_;
        nearOffset[a] = _mm_set1_ps(offset);
        farOffset[a] = _mm_set1_ps(-offset);
    }
    __m128 tMin = _mm_load_ps(start), tMax = _mm_load_ps(end);
    __m128 reach = widen4(_mm_loadu_ps(limit));  // lanes not asked: never read
    PendingNode4 stack[kDepthCeiling];
    int top = 0;
    uint32_t index = 0;
    for (;;) {
        const KdNode& node = nodes_[index];
        if (!node.isLeaf()) {
            const int a = node.axis();
            const __m128 s = _mm_set1_ps(node.split());
            const __m128 xNear =
                _mm_mul_ps(_mm_sub_ps(_mm_add_ps(s, nearOffset[a]), origin[a]), inverse[a]);
            const __m128 xFar =
                _mm_mul_ps(_mm_sub_ps(_mm_add_ps(s, farOffset[a]), origin[a]), inverse[a]);
            // std::min(tMax, x) and std::max(tMin, x), NaN and ties included.
            const __m128 nearMax = _mm_min_ps(widen4(xNear), tMax);
            const __m128 farMin = _mm_max_ps(negate4(widen4(negate4(xFar))), tMin);
            const bool toBelow = belowNear[a];
            const bool nearExists = toBelow ? node.hasLeft() : node.hasRight();
            const bool farExists = toBelow ? node.hasRight() : node.hasLeft();
            const int nearOk =
                nearExists ? active & _mm_movemask_ps(_mm_cmple_ps(tMin, nearMax)) : 0;
            const int farOk = farExists ? active & _mm_movemask_ps(_mm_cmple_ps(farMin, tMax)) : 0;
            const uint32_t nearIndex = toBelow ? index + 1 : node.rightChild();
            const uint32_t farIndex = toBelow ? node.rightChild() : index + 1;
            if (nearOk) {
                if (farOk) stack[top++] = {farMin, tMax, farIndex, farOk, farOk & ~nearOk};
                index = nearIndex, tMax = nearMax, active = nearOk;
                continue;
            }
            if (farOk) {
                index = farIndex, tMin = farMin, active = farOk;
                continue;
            }
        } else {
            lanes &= ~visit(node, active);
            if (!lanes) return;
            reach = widen4(_mm_loadu_ps(limit));
        }
        // Next pending node that some lane still needs.
        for (;;) {
            if (top == 0) return;
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

void KdTree::findClosest4(const Ray rays[4], HitRecord hits[4]) const {
    if (!oneOctant(rays, 0xF)) {
        for (int i = 0; i < 4; ++i) findClosest(rays[i], hits[i]);
        return;
    }
    const PacketRay packetRays[4] = {PacketRay(rays[0]), PacketRay(rays[1]), PacketRay(rays[2]),
                                     PacketRay(rays[3])};
    ClosestSoFar closest[4] = {ClosestSoFar(hits[0]), ClosestSoFar(hits[1]), ClosestSoFar(hits[2]),
                               ClosestSoFar(hits[3])};
    float limit[4] = {closest[0].limit, closest[1].limit, closest[2].limit, closest[3].limit};
    if (!nodes_.empty() && !triangles_.empty())
        walk4(rays, 0xF, limit, [&](const KdNode& leaf, int active) {
            for (int m = active; m; m &= m - 1) {
                const int i = __builtin_ctz(unsigned(m));
                closestInLeaf(leaf, packets_, references_, packetRays[i], closest[i]);
                limit[i] = closest[i].limit;
            }
            return 0;
        });
    for (int i = 0; i < 4; ++i)
        if (closest[i].bestRef != 0)
            intersectTriangle(*triangles_[closest[i].bestRef - 1], rays[i], hits[i]);
}

int KdTree::findAny4(const Ray rays[4], HitRecord hits[4], const float maxDistance[4],
                     int lanes) const {
    lanes &= 0xF;
    if ((lanes & (lanes - 1)) == 0 || !oneOctant(rays, lanes)) {
        int blocked = 0;
        for (int i = 0; i < 4; ++i)
            if (lanes >> i & 1 && findAny(rays[i], hits[i], maxDistance[i])) blocked |= 1 << i;
        return blocked;
    }
    if (nodes_.empty() || triangles_.empty()) return 0;
    float limit[4];
    __m128 maxT[4];
    uint32_t found[4];
    for (int i = 0; i < 4; ++i) {
        limit[i] = std::min(maxDistance[i], triangle_detail::kFarLimit);
        maxT[i] = _mm_set1_ps(maxDistance[i]);
    }
    // Only the asked lanes' rays are read.
    const Ray* asked[4];
    for (int i = 0; i < 4; ++i)
        asked[i] = &rays[lanes >> i & 1 ? i : __builtin_ctz(unsigned(lanes))];
    const PacketRay packetRays[4] = {PacketRay(*asked[0]), PacketRay(*asked[1]),
                                     PacketRay(*asked[2]), PacketRay(*asked[3])};
    int blocked = 0;
    walk4(rays, lanes, limit, [&](const KdNode& leaf, int active) {
        int stop = 0;
        for (int m = active; m; m &= m - 1) {
            const int i = __builtin_ctz(unsigned(m));
            if (blockerInLeaf(leaf, packets_, references_, packetRays[i], maxT[i], found[i]))
                stop |= 1 << i;
        }
        blocked |= stop;
        return stop;
    });
    for (int i = 0; i < 4; ++i)
        if (blocked >> i & 1) intersectTriangle(*triangles_[found[i]], rays[i], hits[i]);
    return blocked;
}
