#include "core/KdTree.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <ostream>
#include <stdexcept>
#include <utility>

// --- Boxes and overlap tests -------------------------------------------------------------

bool operator==(const BoundingBox& a, const BoundingBox& b) {
    for (int i = 0; i < 3; ++i) {
        if (a.min[i] != b.min[i] || a.max[i] != b.max[i]) return false;
    }
    return true;
}

std::ostream& operator<<(std::ostream& os, const BoundingBox& b) {
    return os << "Box{(" << b.min[0] << ", " << b.min[1] << ", " << b.min[2] << ") - (" << b.max[0]
              << ", " << b.max[1] << ", " << b.max[2] << ")}";
}

bool planeBoxOverlap(const float normal[3], float d, const float halfSize[3]) {
    float vmin[3], vmax[3];
    for (int a = 0; a < 3; ++a) {
        if (normal[a] > 0.f) {
            vmin[a] = -halfSize[a];
            vmax[a] = halfSize[a];
        } else {
            vmin[a] = halfSize[a];
            vmax[a] = -halfSize[a];
        }
    }
    if (normal[0] * vmin[0] + normal[1] * vmin[1] + normal[2] * vmin[2] + d > 0.f) return false;
    return normal[0] * vmax[0] + normal[1] * vmax[1] + normal[2] * vmax[2] + d >= 0.f;
}

namespace {

// Projections of two vertices p, q on one edge-cross-axis direction, given by
// the products a·p[i] − b·p[j], against the box's radius fa·h[i] + fb·h[j].
inline bool separated(float p, float q, float rad) {
    const float lo = p < q ? p : q;
    const float hi = p < q ? q : p;
    return lo > rad || hi < -rad;
}

}  // namespace

bool triangleBoxOverlap(const float centre[3], const float h[3], const float vertices[9]) {
    // Move the box centre to the origin.
    float v0[3], v1[3], v2[3];
    for (int a = 0; a < 3; ++a) {
        v0[a] = vertices[a] - centre[a];
        v1[a] = vertices[3 + a] - centre[a];
        v2[a] = vertices[6 + a] - centre[a];
    }
    float e0[3], e1[3], e2[3];
    for (int a = 0; a < 3; ++a) {
        e0[a] = v1[a] - v0[a];
        e1[a] = v2[a] - v1[a];
        e2[a] = v0[a] - v2[a];
    }
    constexpr int X = 0, Y = 1, Z = 2;

    // Nine axes: each edge crossed with x, y and z. Of the three vertices,
    // the two ends of the edge project alike, so two projections suffice.
    {
        const float fx = std::fabs(e0[X]), fy = std::fabs(e0[Y]), fz = std::fabs(e0[Z]);
        if (separated(e0[Z] * v0[Y] - e0[Y] * v0[Z], e0[Z] * v2[Y] - e0[Y] * v2[Z],
                      fz * h[Y] + fy * h[Z]))
            return false;
        if (separated(-e0[Z] * v0[X] + e0[X] * v0[Z], -e0[Z] * v2[X] + e0[X] * v2[Z],
                      fz * h[X] + fx * h[Z]))
            return false;
        if (separated(e0[Y] * v1[X] - e0[X] * v1[Y], e0[Y] * v2[X] - e0[X] * v2[Y],
                      fy * h[X] + fx * h[Y]))
            return false;
    }
    {
        const float fx = std::fabs(e1[X]), fy = std::fabs(e1[Y]), fz = std::fabs(e1[Z]);
        if (separated(e1[Z] * v0[Y] - e1[Y] * v0[Z], e1[Z] * v2[Y] - e1[Y] * v2[Z],
                      fz * h[Y] + fy * h[Z]))
            return false;
        if (separated(-e1[Z] * v0[X] + e1[X] * v0[Z], -e1[Z] * v2[X] + e1[X] * v2[Z],
                      fz * h[X] + fx * h[Z]))
            return false;
        if (separated(e1[Y] * v0[X] - e1[X] * v0[Y], e1[Y] * v1[X] - e1[X] * v1[Y],
                      fy * h[X] + fx * h[Y]))
            return false;
    }
    {
        const float fx = std::fabs(e2[X]), fy = std::fabs(e2[Y]), fz = std::fabs(e2[Z]);
        if (separated(e2[Z] * v0[Y] - e2[Y] * v0[Z], e2[Z] * v1[Y] - e2[Y] * v1[Z],
                      fz * h[Y] + fy * h[Z]))
            return false;
        if (separated(-e2[Z] * v0[X] + e2[X] * v0[Z], -e2[Z] * v1[X] + e2[X] * v1[Z],
                      fz * h[X] + fx * h[Z]))
            return false;
        if (separated(e2[Y] * v1[X] - e2[X] * v1[Y], e2[Y] * v2[X] - e2[X] * v2[Y],
                      fy * h[X] + fx * h[Y]))
            return false;
    }

    // The triangle's extent on x, y and z against the box.
    for (int a = 0; a < 3; ++a) {
        const float lo = std::min(v0[a], std::min(v1[a], v2[a]));
        const float hi = std::max(v0[a], std::max(v1[a], v2[a]));
        if (lo > h[a] || hi < -h[a]) return false;
    }

    // The triangle's plane.
    const float normal[3] = {e0[Y] * e1[Z] - e0[Z] * e1[Y], e0[Z] * e1[X] - e0[X] * e1[Z],
                             e0[X] * e1[Y] - e0[Y] * e1[X]};
    const float d = -(normal[X] * v0[X] + normal[Y] * v0[Y] + normal[Z] * v0[Z]);
    return planeBoxOverlap(normal, d, h);
}

bool triangleBoxOverlap(const BoundingBox& box, const float vertices[9]) {
    float centre[3], half[3];
    for (int a = 0; a < 3; ++a) {
        centre[a] = (box.min[a] + box.max[a]) * 0.5f;
        half[a] = (box.max[a] - box.min[a]) * 0.5f;
    }
    return triangleBoxOverlap(centre, half, vertices);
}

// --- Construction ------------------------------------------------------------------------

namespace {

// Box of an empty mesh, and the start of the running minimum and maximum.
constexpr float kBoundsStart = 1000000.f;
// Widening of the mesh's box, so that no vertex lies on its faces.
constexpr float kBoundsMargin = 0.001f;
// The split cost starts here: a node whose every candidate costs more (only
// possible above 100,000 triangles) keeps split 0 in world coordinates.
constexpr float kInitialSplitCost = 100000.f;
constexpr int kSplitCandidates = 9;
// Margin by which the construction widens each child box before the overlap
// test, relative to the largest coordinate: about 16 units in the last place.
// Without it, rounding in the test can drop a triangle that lies in a split
// plane from both children, leaving a hole in the mesh.
constexpr float kOverlapMarginScale = 1.f / 524288.f;  // 2^-19
// Spatial margin of the walk, likewise relative: above the rounding of the
// plane crossings and of the triangle test's hit points.
constexpr float kSlackScale = 1.f / 262144.f;  // 2^-18

struct TriangleVertices {
    float v[9];
};

// Most triangle references the leaves may hold, per triangle (and at least
// 65536 in all). Real meshes stay far below (each triangle lands in a
// few leaves), but triangles that overlap every split plane are copied into
// both children at every level: 2^depth copies at a depth limit of 64
// would exhaust any machine. Past this the remaining nodes become leaves,
// which keeps every query exact, only slower.
constexpr size_t kReferencesPerTriangle = 32;
constexpr size_t kMinReferenceBudget = size_t(1) << 16;

class Builder {
public:
    Builder(const std::vector<TriangleVertices>& vertices, int depthLimit, float margin,
            std::vector<KdNode>& nodes, std::vector<uint32_t>& references)
        : vertices_(vertices),
          depthLimit_(depthLimit),
          margin_(margin),
          referenceBudget_(std::max(kMinReferenceBudget, kReferencesPerTriangle * vertices.size())),
          nodes_(nodes),
          references_(references) {}

    // Appends the subtree of one node (depth first, left subtree first).
    void build(const BoundingBox& box, std::vector<uint32_t> list, int level) {
        if (nodes_.size() >= KdNode::kMaxNodes) throw std::length_error("kd-tree: too many nodes");
        const size_t index = nodes_.size();
        nodes_.emplace_back();
        const int axis = level % 3;

        if (level >= depthLimit_ || list.size() <= size_t(KdTree::kMaxLeafTriangles) ||
            references_.size() >= referenceBudget_) {
            const size_t first = references_.size();
            if (first + list.size() > KdNode::kMaxReferences)
                throw std::length_error("kd-tree: too many triangle references");
            references_.insert(references_.end(), list.begin(), list.end());
            nodes_[index] = KdNode::makeLeaf(uint32_t(first), uint32_t(list.size()));
            return;
        }

        const float split = chooseSplit(box, list, axis);
        const BoundingBox leftBox = box.below(axis, split);
        const BoundingBox rightBox = box.above(axis, split);
        const BoundingBox leftTest = leftBox.widened(margin_);
        const BoundingBox rightTest = rightBox.widened(margin_);
        std::vector<uint32_t> left, right;
        for (uint32_t t : list) {
            if (triangleBoxOverlap(leftTest, vertices_[t].v)) left.push_back(t);
            if (triangleBoxOverlap(rightTest, vertices_[t].v)) right.push_back(t);
        }
        std::vector<uint32_t>().swap(list);  // release before going deeper

        const bool hasLeft = !left.empty(), hasRight = !right.empty();
        if (hasLeft) build(leftBox, std::move(left), level + 1);
        const size_t rightIndex = nodes_.size();
        if (hasRight) build(rightBox, std::move(right), level + 1);
        nodes_[index] = KdNode::makeInterior(axis, split, hasLeft, hasRight,
                                             hasRight ? uint32_t(rightIndex) : 0u);
    }

private:
    // The plane of least fraction-weighted count among the nine candidates.
    float chooseSplit(const BoundingBox& box, const std::vector<uint32_t>& list, int axis) const {
        const float lo = box.min[axis];
        const float extent = box.max[axis] - lo;
        float position[kSplitCandidates];
        BoundingBox leftBox[kSplitCandidates], rightBox[kSplitCandidates];
        float frac[kSplitCandidates];
        float f = 0.1f;
        for (int c = 0; c < kSplitCandidates; ++c) {
            frac[c] = f;
            position[c] = lo + f * extent;
            leftBox[c] = box.below(axis, position[c]).widened(margin_);
            rightBox[c] = box.above(axis, position[c]).widened(margin_);
            f += 0.1f;  // float running sum: the ninth is slightly above 0.9
        }
        size_t leftCount[kSplitCandidates] = {}, rightCount[kSplitCandidates] = {};
        for (uint32_t t : list) {
            const float* v = vertices_[t].v;
            for (int c = 0; c < kSplitCandidates; ++c) {
                leftCount[c] += triangleBoxOverlap(leftBox[c], v);
                rightCount[c] += triangleBoxOverlap(rightBox[c], v);
            }
        }
        float bestCost = kInitialSplitCost;
        float bestSplit = 0.f;
        for (int c = 0; c < kSplitCandidates; ++c) {
            const float cost =
                frac[c] * float(leftCount[c]) + (1.f - frac[c]) * float(rightCount[c]);
            if (bestCost >= cost) {  // ties go to the later, higher plane
                bestCost = cost;
                bestSplit = position[c];
            }
        }
        return bestSplit;
    }

    const std::vector<TriangleVertices>& vertices_;
    const int depthLimit_;
    const float margin_;
    const size_t referenceBudget_;
    std::vector<KdNode>& nodes_;
    std::vector<uint32_t>& references_;
};

}  // namespace

BoundingBox KdTree::computeBounds(const std::vector<const Triangle*>& triangles) {
    BoundingBox b;
    for (int a = 0; a < 3; ++a) {
        b.min[a] = kBoundsStart;
        b.max[a] = -kBoundsStart;
    }
    for (const Triangle* t : triangles) {
        for (const Vec3* v : {&t->v0, &t->v1, &t->v2}) {
            for (int a = 0; a < 3; ++a) {
                const float c = (*v)[a];
                if (c < b.min[a]) b.min[a] = c;
                if (c > b.max[a]) b.max[a] = c;
            }
        }
    }
    for (int a = 0; a < 3; ++a) {
        b.min[a] -= kBoundsMargin;
        b.max[a] += kBoundsMargin;
    }
    return b;
}

void KdTree::build(const std::vector<const Triangle*>& triangles, int maxDepth) {
    clear();
    if (triangles.size() >= KdNode::kMaxReferences)
        throw std::length_error("kd-tree: too many triangles");

    std::vector<TriangleVertices> vertices(triangles.size());
    for (size_t i = 0; i < triangles.size(); ++i) {
        const Triangle& t = *triangles[i];
        vertices[i] = {{t.v0.x, t.v0.y, t.v0.z, t.v1.x, t.v1.y, t.v1.z, t.v2.x, t.v2.y, t.v2.z}};
    }
    std::vector<uint32_t> all(triangles.size());
    std::iota(all.begin(), all.end(), 0u);

    const BoundingBox box = computeBounds(triangles);
    float scale = 0.f;
    for (int a = 0; a < 3; ++a) {
        if (box.min[a] <= box.max[a])
            scale = std::max({scale, std::fabs(box.min[a]), std::fabs(box.max[a])});
    }
    const float margin = scale * kOverlapMarginScale;

    std::vector<KdNode> nodes;
    std::vector<uint32_t> references;
    references.reserve(triangles.size() * 2);
    Builder(vertices, std::min(maxDepth, kDepthCeiling), margin, nodes, references)
        .build(box, std::move(all), 0);

    triangles_ = triangles;
    nodes_ = std::move(nodes);
    references_ = std::move(references);
    references_.shrink_to_fit();
    bounds_ = box;
    overlapMargin_ = margin;
    slack_ = scale * kSlackScale;
}

void KdTree::clear() {
    triangles_ = {};
    nodes_ = {};
    references_ = {};
    bounds_ = BoundingBox();
    overlapMargin_ = 0.f;
    slack_ = 0.f;
}

KdTreeStatistics KdTree::statistics() const {
    KdTreeStatistics s;
    s.triangles = triangles_.size();
    s.nodes = nodes_.size();
    if (nodes_.empty()) return s;
    std::vector<std::pair<uint32_t, int>> pending{{0u, 0}};
    while (!pending.empty()) {
        const auto [index, depth] = pending.back();
        pending.pop_back();
        const KdNode& n = nodes_[index];
        s.maxDepth = std::max(s.maxDepth, depth);
        if (n.isLeaf()) {
            ++s.leaves;
            s.references += n.primitiveCount();
            s.largestLeaf = std::max<size_t>(s.largestLeaf, n.primitiveCount());
            if (n.primitiveCount() == 0) ++s.emptyLeaves;
            continue;
        }
        if (n.hasLeft()) pending.push_back({index + 1, depth + 1});
        if (n.hasRight()) pending.push_back({n.rightChild(), depth + 1});
    }
    return s;
}

std::ostream& operator<<(std::ostream& os, const KdTreeStatistics& s) {
    return os << "triangles " << s.triangles << ", nodes " << s.nodes << ", leaves " << s.leaves
              << " (" << s.emptyLeaves << " empty), references " << s.references
              << ", average leaf " << s.averageLeafSize() << ", largest leaf " << s.largestLeaf
              << ", duplication " << s.duplication() << ", max depth " << s.maxDepth;
}

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
    float best = hit.distance;
    float limit = std::min(best, triangle_detail::kFarLimit);
    uint32_t bestRef = 0;  // 0: the caller's record; else triangle index + 1
    HitRecord candidate;
    walk(ray, limit, [&](const KdNode& leaf) {
        const uint32_t* refs = references_.data() + leaf.firstPrimitive();
        for (uint32_t k = 0, n = leaf.primitiveCount(); k < n; ++k) {
            const uint32_t ref = refs[k] + 1;
            if (!intersectTriangle(*triangles_[ref - 1], ray, candidate)) continue;
            const float t = candidate.distance;
            // Equal distances go to the earlier triangle of the build list,
            // never over the caller's own record.
            if (t < best || (t == best && ref < bestRef)) {
                best = t;
                bestRef = ref;
                if (t < limit) limit = t;
            }
        }
        return false;
    });
    // The test is deterministic: running it again fills the record exactly.
    if (bestRef != 0) intersectTriangle(*triangles_[bestRef - 1], ray, hit);
}

bool KdTree::findAny(const Ray& ray, HitRecord& hit, float maxDistance) const {
    float limit = std::min(maxDistance, triangle_detail::kFarLimit);
    bool found = false;
    HitRecord candidate;
    walk(ray, limit, [&](const KdNode& leaf) {
        const uint32_t* refs = references_.data() + leaf.firstPrimitive();
        for (uint32_t k = 0, n = leaf.primitiveCount(); k < n; ++k) {
            if (intersectTriangle(*triangles_[refs[k]], ray, candidate) &&
                maxDistance > candidate.distance) {
                hit = candidate;
                found = true;
                return true;
            }
        }
        return false;
    });
    return found;
}
