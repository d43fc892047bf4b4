// The kd-tree's queries: the walk through the nodes and the four-wide leaf
// packet test behind findClosest and findAny.
#include <algorithm>
#include <cmath>

#include "core/KdTree.h"
#include "core/KdTreeDetail.h"

using namespace kd_detail;

namespace {

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

void KdTree::findClosest(const Ray& ray, HitRecord& hit) const {
    ClosestSoFar closest(hit);
    const PacketRay packetRay(ray);
    walk(ray, closest.limit, [&](const KdNode& leaf) {
        closestInLeaf(leaf, packets_, references_, packetRay, closest);
        return false;
    });
    // The test is deterministic: running it again fills the record exactly.
    if (closest.bestRef != 0) intersectTriangle(*triangles_[closest.bestRef - 1], ray, hit);
}

bool KdTree::findAny(const Ray& ray, HitRecord& hit, float maxDistance) const {
    float limit = std::min(maxDistance, triangle_detail::kFarLimit);
    uint32_t found = kNoTriangle;
    const PacketRay packetRay(ray);
    const __m128 maxT = _mm_set1_ps(maxDistance);
    walk(ray, limit, [&](const KdNode& leaf) {
        // Written out rather than shared with the four-ray query: as a
        // shared function it cost a shadow query about 3 % more instructions.
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
