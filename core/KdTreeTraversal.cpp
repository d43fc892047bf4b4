// The kd-tree's queries for any x86-64 processor (four-lane leaf tests), and
// the choice between them and the eight-lane build on processors with AVX2.
#include "core/KdTree.h"
#include "core/KdTreeWalk.h"

namespace {

using QueryFunction = uint32_t (*)(const KdTree&, const Ray&, float);

uint32_t closestFourLanes(const KdTree& tree, const Ray& ray, float best) {
    return KdTreeLeafQueries::closest<FourLanes>(tree, ray, best);
}
uint32_t anyFourLanes(const KdTree& tree, const Ray& ray, float maxDistance) {
    return KdTreeLeafQueries::any<FourLanes, false>(tree, ray, maxDistance);
}
uint32_t anyFromEndFourLanes(const KdTree& tree, const Ray& ray, float maxDistance) {
    return KdTreeLeafQueries::any<FourLanes, true>(tree, ray, maxDistance);
}

// Chosen on first use rather than by the loader, which runs before a
// sanitizer is set up. Both builds give the same answers, bit for bit.
bool eightLanes() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2");
}

}  // namespace

void KdTree::findClosest(const Ray& ray, HitRecord& hit) const {
    static const QueryFunction closest =
        eightLanes() ? kd_walk::closestEightLanes : closestFourLanes;
    const uint32_t ref = closest(*this, ray, hit.distance);
    // The test is deterministic: running it again fills the record exactly.
    if (ref != 0) intersectTriangle(*triangles_[ref - 1], ray, hit);
}

bool KdTree::findAny(const Ray& ray, HitRecord& hit, float maxDistance, WalkFrom from) const {
    static const QueryFunction fromOrigin = eightLanes() ? kd_walk::anyEightLanes : anyFourLanes;
    static const QueryFunction fromEnd =
        eightLanes() ? kd_walk::anyFromEndEightLanes : anyFromEndFourLanes;
    const uint32_t found =
        (from == WalkFrom::farEnd ? fromEnd : fromOrigin)(*this, ray, maxDistance);
    if (found == kd_detail::kNoTriangle) return false;
    intersectTriangle(*triangles_[found], ray, hit);
    return true;
}
