// The kd-tree's queries with eight-lane leaf tests, for processors with AVX2.
// Only the code below the target switch is built for AVX2 (without FMA and
// without contraction, so every lane repeats the four-lane test's operations
// and the answers are the same bits): the headers above it stay generic, so
// that no copy of their inline functions made here needs AVX2.
// KdTreeTraversal.cpp chooses this build at run time.
#include <immintrin.h>

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "core/KdTree.h"
#include "core/KdTreeDetail.h"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
#define TRESK_EIGHT_LANES 1
#include "core/KdTreePacketWalk.h"
#include "core/KdTreeWalk.h"

uint32_t kd_walk::closestEightLanes(const KdTree& tree, const Ray& ray, float best) {
    return KdTreeLeafQueries::closest<EightLanes>(tree, ray, best);
}

uint32_t kd_walk::anyEightLanes(const KdTree& tree, const Ray& ray, float maxDistance) {
    return KdTreeLeafQueries::any<EightLanes, false>(tree, ray, maxDistance);
}

uint32_t kd_walk::anyFromEndEightLanes(const KdTree& tree, const Ray& ray, float maxDistance) {
    return KdTreeLeafQueries::any<EightLanes, true>(tree, ray, maxDistance);
}

bool kd_walk::closestPacketEightLanes(const KdTree& tree, const Ray rays[4], const float best[4],
                                      uint32_t refs[4]) {
    return KdTreePacketQueries::closest<EightLanes>(tree, rays, best, refs);
}

bool kd_walk::anyPacketEightLanes(const KdTree& tree, const Ray rays[4], const float maxDistance[4],
                                  int asked, uint32_t found[4]) {
    return KdTreePacketQueries::any<EightLanes, false>(tree, rays, maxDistance, asked, found);
}

bool kd_walk::anyPacketFromEndEightLanes(const KdTree& tree, const Ray rays[4],
                                         const float maxDistance[4], int asked, uint32_t found[4]) {
    return KdTreePacketQueries::any<EightLanes, true>(tree, rays, maxDistance, asked, found);
}

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
