// The kd-tree's four-ray queries for any x86-64 processor (four-lane leaf
// tests), the choice of the eight-lane build on processors with AVX2, and
// the fall-back to single rays.
#include "core/KdTree.h"
#include "core/KdTreePacketWalk.h"

namespace {

using ClosestFunction = bool (*)(const KdTree&, const Ray[4], const float[4], uint32_t[4]);
using AnyFunction = bool (*)(const KdTree&, const Ray[4], const float[4], int, uint32_t[4]);

bool closestFourLanes(const KdTree& tree, const Ray rays[4], const float best[4],
                      uint32_t refs[4]) {
    return KdTreePacketQueries::closest<FourLanes>(tree, rays, best, refs);
}
bool anyFourLanes(const KdTree& tree, const Ray rays[4], const float maxDistance[4], int asked,
                  uint32_t found[4]) {
    return KdTreePacketQueries::any<FourLanes, false>(tree, rays, maxDistance, asked, found);
}
bool anyFromEndFourLanes(const KdTree& tree, const Ray rays[4], const float maxDistance[4],
                         int asked, uint32_t found[4]) {
    return KdTreePacketQueries::any<FourLanes, true>(tree, rays, maxDistance, asked, found);
}

// As the single queries choose (on first use: not by the loader, which runs
// before a sanitizer is set up).
bool eightLanes() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

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

}  // namespace

void KdTree::findClosest4(const Ray rays[4], HitRecord hits[4]) const {
    static const ClosestFunction closest =
        eightLanes() ? kd_walk::closestPacketEightLanes : closestFourLanes;
    const float best[4] = {hits[0].distance, hits[1].distance, hits[2].distance, hits[3].distance};
    uint32_t refs[4];
    if (!oneOctant(rays, 0xF) || !closest(*this, rays, best, refs)) {
        for (int i = 0; i < 4; ++i) findClosest(rays[i], hits[i]);
        return;
    }
    // The test is deterministic: running it again fills each record exactly.
    for (int i = 0; i < 4; ++i)
        if (refs[i] != 0) intersectTriangle(*triangles_[refs[i] - 1], rays[i], hits[i]);
}

int KdTree::findAny4(const Ray rays[4], HitRecord hits[4], const float maxDistance[4], int lanes,
                     WalkFrom from) const {
    static const AnyFunction fromOrigin =
        eightLanes() ? kd_walk::anyPacketEightLanes : anyFourLanes;
    static const AnyFunction fromEnd =
        eightLanes() ? kd_walk::anyPacketFromEndEightLanes : anyFromEndFourLanes;
    lanes &= 0xF;
    uint32_t found[4];
    int blocked = 0;
    if ((lanes & (lanes - 1)) == 0 || !oneOctant(rays, lanes) ||
        !(from == WalkFrom::farEnd ? fromEnd : fromOrigin)(*this, rays, maxDistance, lanes,
                                                           found)) {
        for (int i = 0; i < 4; ++i)
            if (lanes >> i & 1 && findAny(rays[i], hits[i], maxDistance[i], from))
                blocked |= 1 << i;
        return blocked;
    }
    for (int i = 0; i < 4; ++i) {
        if (!(lanes >> i & 1) || found[i] == kd_detail::kNoTriangle) continue;
        intersectTriangle(*triangles_[found[i]], rays[i], hits[i]);
        blocked |= 1 << i;
    }
    return blocked;
}
