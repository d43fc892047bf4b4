#include "core/KdTree.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_for.h>
#include <tbb/parallel_invoke.h>
#include <tbb/parallel_reduce.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
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

// The three separating-axis tests of one edge e crossed with x, y and z, in
// that order.
inline bool edgeAxesSeparate(const float e[3], const float p[3], const float q[3], const float r[3],
                             const float s[3], const float h[3]) {
    constexpr int X = 0, Y = 1, Z = 2;
    const float fx = std::fabs(e[X]), fy = std::fabs(e[Y]), fz = std::fabs(e[Z]);
    return separated(e[Z] * p[Y] - e[Y] * p[Z], e[Z] * q[Y] - e[Y] * q[Z], fz * h[Y] + fy * h[Z]) ||
           separated(-e[Z] * p[X] + e[X] * p[Z], -e[Z] * q[X] + e[X] * q[Z],
                     fz * h[X] + fx * h[Z]) ||
           separated(e[Y] * r[X] - e[X] * r[Y], e[Y] * s[X] - e[X] * s[Y], fy * h[X] + fx * h[Y]);
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
    // the two ends of the edge project alike, so two projections suffice:
    // p and q for the x and y axes, r and s for the z axis.
    if (edgeAxesSeparate(e0, v0, v2, v1, v2, h)) return false;
    if (edgeAxesSeparate(e1, v0, v2, v0, v1, h)) return false;
    if (edgeAxesSeparate(e2, v0, v1, v1, v2, h)) return false;

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

TriangleExtent extentOf(const TriangleVertices& t, float scale) {
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

// Nodes and leaf slices of one subtree, indices counted from its own start.
// Every leaf's slice is padded to a multiple of four, so that it starts a
// packet wherever the subtree is placed.
struct Subtree {
    std::vector<KdNode> nodes;
    std::vector<uint32_t> references;
    size_t leafReferences = 0;  // references without the padding
};

// Lists at least this long are split and counted on several threads; the
// result does not depend on how the work is shared.
constexpr size_t kParallelList = 8192;

// Most triangle references the leaves may hold, per triangle (and at least
// 65536 in all). Real meshes stay far below (each triangle lands in a
// few leaves), but triangles that overlap every split plane are copied into
// both children at every level: 2^depth copies at a depth limit of 64
// would exhaust any machine. Past this the remaining nodes become leaves,
// which keeps every query exact, only slower. The budget is counted in
// depth-first order: the nodes after the point where the leaves reach it
// become leaves.
constexpr size_t kReferencesPerTriangle = 32;
constexpr size_t kMinReferenceBudget = size_t(1) << 16;

class Builder {
public:
    Builder(const std::vector<TriangleVertices>& vertices, int depthLimit, float margin,
            float scale)
        : vertices_(vertices),
          depthLimit_(depthLimit),
          margin_(margin),
          scale_(scale),
          quick_(scale >= kQuickMinScale && scale <= kQuickMaxScale),
          referenceBudget_(
              std::max(kMinReferenceBudget, kReferencesPerTriangle * vertices.size())) {
        extents_.resize(vertices.size());
        tbb::parallel_for(tbb::blocked_range<size_t>(0, vertices.size(), 4096),
                          [&](const tbb::blocked_range<size_t>& r) {
                              for (size_t i = r.begin(); i != r.end(); ++i)
                                  extents_[i] = extentOf(vertices_[i], scale_);
                          });
    }

    // Two ways to build. Exact: one thread splits (counting may still use
    // several), and the reference budget is checked at every node against
    // the references made so far in depth-first order. Speculative: sides
    // are built on several threads, and only the total is watched; as long
    // as the total stays below the budget, no check of the exact way could
    // have fired (the count so far never exceeds the total), so the tree is
    // the same. Once the total reaches the budget the speculative tree is
    // finished off quickly and must be thrown away (overBudget()).
    void setSpeculative(bool speculative) {
        speculative_ = speculative;
        produced_ = 0;
        overBudget_ = false;
    }
    bool overBudget() const { return overBudget_.load(); }

    // Appends the subtree of one node to out (depth first, left subtree
    // first).
    void build(const BoundingBox& box, std::vector<uint32_t> list, int level, Subtree& out) const {
        const size_t index = out.nodes.size();
        out.nodes.emplace_back();
        const int axis = level % 3;

        if (level >= depthLimit_ || list.size() <= size_t(KdTree::kMaxLeafTriangles) ||
            budgetSpent(out)) {
            const size_t first = out.references.size();
            out.references.insert(out.references.end(), list.begin(), list.end());
            out.references.resize((out.references.size() + 3) / 4 * 4, kNoTriangle);
            out.leafReferences += list.size();
            if (speculative_ &&
                produced_.fetch_add(list.size(), std::memory_order_relaxed) + list.size() >=
                    referenceBudget_)
                overBudget_.store(true, std::memory_order_relaxed);
            out.nodes[index] = KdNode::makeLeaf(uint32_t(first), uint32_t(list.size()));
            return;
        }

        const float split = chooseSplit(box, list, axis);
        const BoundingBox leftBox = box.below(axis, split);
        const BoundingBox rightBox = box.above(axis, split);
        const BoundingBox leftTest = leftBox.widened(margin_);
        const BoundingBox rightTest = rightBox.widened(margin_);
        const Quick quick = quickFor(box, axis);
        std::vector<uint32_t> left, right;
        for (uint32_t t : list) {
            if (overlaps(leftTest, t, quick)) left.push_back(t);
            if (overlaps(rightTest, t, quick)) right.push_back(t);
        }
        const bool parallel = speculative_ && list.size() >= kParallelList;
        std::vector<uint32_t>().swap(list);  // release before going deeper

        const bool hasLeft = !left.empty(), hasRight = !right.empty();
        size_t rightIndex = 0;
        if (hasLeft && hasRight && parallel) {
            // The right subtree is built on the side and placed after the
            // left one, exactly where the sequential build puts it.
            Subtree side;
            tbb::parallel_invoke([&] { build(leftBox, std::move(left), level + 1, out); },
                                 [&] { build(rightBox, std::move(right), level + 1, side); });
            rightIndex = out.nodes.size();
            append(out, side);
        } else {
            if (hasLeft) build(leftBox, std::move(left), level + 1, out);
            rightIndex = out.nodes.size();
            if (hasRight) build(rightBox, std::move(right), level + 1, out);
        }
        if (out.nodes.size() >= KdNode::kMaxNodes || out.references.size() > KdNode::kMaxReferences)
            throw std::length_error("kd-tree: too many nodes or triangle references");
        out.nodes[index] = KdNode::makeInterior(axis, split, hasLeft, hasRight,
                                                hasRight ? uint32_t(rightIndex) : 0u);
    }

private:
    // The distance tolerance of the quick answers at one node, or a negative
    // value where they are not used.
    struct Quick {
        float tolerance = -1.f;
        float size = 0.f;  // the coordinates' size plus the node box's
    };

    Quick quickFor(const BoundingBox& box, int axis) const {
        Quick q;
        if (!quick_) return q;
        float thinnest = 0.05f * (box.max[axis] - box.min[axis]);  // a candidate's half size
        float largest = 0.f;
        for (int a = 0; a < 3; ++a) {
            const float half = 0.5f * (box.max[a] - box.min[a]);
            if (a != axis) thinnest = std::min(thinnest, half);
            largest = std::max(largest, half);
        }
        if (!(thinnest >= kQuickMinHalfSize * scale_)) return q;
        q.size = scale_ + largest + margin_;
        q.tolerance = kQuickTolerance * q.size;
        return q;
    }

    // triangleBoxOverlap of triangle t against box, answered from the
    // triangle's box where that answer is certain.
    bool overlaps(const BoundingBox& box, uint32_t t, const Quick& q) const {
        if (q.tolerance >= 0.f) {
            const int answer = quickAnswer(extents_[t], vertices_[t].v, box, q.tolerance, q.size);
            if (answer >= 0) return answer == 1;
        }
        return triangleBoxOverlap(box, vertices_[t].v);
    }

    // The same for a triangle whose box is neither clearly outside nor
    // clearly inside: a vertex clearly inside, or the full test.
    bool overlapsNearFace(const BoundingBox& box, uint32_t t, const Quick& q) const {
        const float* v = vertices_[t].v;
        if (q.tolerance >= 0.f && vertexClearlyInside(extents_[t], v, box, q.tolerance, q.size))
            return true;
        return triangleBoxOverlap(box, v);
    }

    bool budgetSpent(const Subtree& out) const {
        return speculative_ ? overBudget_.load(std::memory_order_relaxed)
                            : out.leafReferences >= referenceBudget_;
    }

    static void append(Subtree& out, const Subtree& side) {
        const uint32_t nodeOffset = uint32_t(out.nodes.size());
        const uint32_t referenceOffset = uint32_t(out.references.size());
        out.nodes.reserve(out.nodes.size() + side.nodes.size());
        for (const KdNode& n : side.nodes) {
            if (n.isLeaf())
                out.nodes.push_back(
                    KdNode::makeLeaf(n.firstPrimitive() + referenceOffset, n.primitiveCount()));
            else
                out.nodes.push_back(
                    KdNode::makeInterior(n.axis(), n.split(), n.hasLeft(), n.hasRight(),
                                         n.hasRight() ? n.rightChild() + nodeOffset : 0u));
        }
        out.references.insert(out.references.end(), side.references.begin(), side.references.end());
    }

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
        const Quick quick = quickFor(box, axis);
        struct Counts {
            size_t left[kSplitCandidates] = {}, right[kSplitCandidates] = {};
        };
        // The candidate boxes differ only in their face at the plane: the
        // quick answers on the other faces are worked out once per triangle.
        const BoundingBox node = box.widened(margin_);
        const int b1 = (axis + 1) % 3, b2 = (axis + 2) % 3;
        auto count = [&](size_t begin, size_t end, Counts& counts) {
            for (size_t i = begin; i != end; ++i) {
                const uint32_t t = list[i];
                if (quick.tolerance < 0.f) {
                    for (int c = 0; c < kSplitCandidates; ++c) {
                        counts.left[c] += triangleBoxOverlap(leftBox[c], vertices_[t].v);
                        counts.right[c] += triangleBoxOverlap(rightBox[c], vertices_[t].v);
                    }
                    continue;
                }
                const TriangleExtent& e = extents_[t];
                const float tol = quick.tolerance;
                bool out = false, in = e.regular;
                for (int b : {b1, b2}) {
                    out = out || e.hi[b] < node.min[b] - tol || e.lo[b] > node.max[b] + tol;
                    in = in && e.lo[b] > node.min[b] + tol && e.hi[b] < node.max[b] - tol;
                }
                if (out) continue;  // outside every candidate box
                const float lo = e.lo[axis], hi = e.hi[axis];
                const bool belowAll = hi < node.min[axis] - tol;  // outside every left box
                const bool aboveAll = lo > node.max[axis] + tol;  // outside every right box
                const bool lowIn = in && lo > node.min[axis] + tol;
                const bool highIn = in && hi < node.max[axis] - tol;
                for (int c = 0; c < kSplitCandidates; ++c) {
                    const float leftFace = leftBox[c].max[axis];
                    if (!belowAll && !(lo > leftFace + tol))
                        counts.left[c] += (lowIn && hi < leftFace - tol) ||
                                          overlapsNearFace(leftBox[c], t, quick);
                    const float rightFace = rightBox[c].min[axis];
                    if (!aboveAll && !(hi < rightFace - tol))
                        counts.right[c] += (highIn && lo > rightFace + tol) ||
                                           overlapsNearFace(rightBox[c], t, quick);
                }
            }
        };
        Counts total;
        if (list.size() >= kParallelList) {
            // Whole numbers: the sum is the same however the list is cut.
            total = tbb::parallel_reduce(
                tbb::blocked_range<size_t>(0, list.size(), 2048), Counts(),
                [&](const tbb::blocked_range<size_t>& r, Counts partial) {
                    count(r.begin(), r.end(), partial);
                    return partial;
                },
                [](Counts a, const Counts& b) {
                    for (int c = 0; c < kSplitCandidates; ++c) {
                        a.left[c] += b.left[c];
                        a.right[c] += b.right[c];
                    }
                    return a;
                });
        } else {
            count(0, list.size(), total);
        }
        float bestCost = kInitialSplitCost;
        float bestSplit = 0.f;
        for (int c = 0; c < kSplitCandidates; ++c) {
            const float cost =
                frac[c] * float(total.left[c]) + (1.f - frac[c]) * float(total.right[c]);
            if (bestCost >= cost) {  // ties go to the later, higher plane
                bestCost = cost;
                bestSplit = position[c];
            }
        }
        return bestSplit;
    }

    const std::vector<TriangleVertices>& vertices_;
    std::vector<TriangleExtent> extents_;
    const int depthLimit_;
    const float margin_;
    const float scale_;
    const bool quick_;
    const size_t referenceBudget_;
    bool speculative_ = false;
    mutable std::atomic<size_t> produced_{0};
    mutable std::atomic<bool> overBudget_{false};
};

}  // namespace

int certainTriangleBoxOverlap(const BoundingBox& box, const float vertices[9], float scale) {
    if (!(scale >= kQuickMinScale && scale <= kQuickMaxScale)) return -1;
    float largest = 0.f, thinnest = std::numeric_limits<float>::infinity();
    for (int a = 0; a < 3; ++a) {
        const float half = 0.5f * (box.max[a] - box.min[a]);
        largest = std::max(largest, half);
        thinnest = std::min(thinnest, half);
    }
    if (!(thinnest >= kQuickMinHalfSize * scale)) return -1;
    TriangleVertices t;
    std::copy(vertices, vertices + 9, t.v);
    const float size = scale + largest;
    return quickAnswer(extentOf(t, scale), t.v, box, kQuickTolerance * size, size);
}

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

    const BoundingBox box = computeBounds(triangles);
    float scale = 0.f;
    for (int a = 0; a < 3; ++a) {
        if (box.min[a] <= box.max[a])
            scale = std::max({scale, std::fabs(box.min[a]), std::fabs(box.max[a])});
    }
    const float margin = scale * kOverlapMarginScale;

    Subtree tree;
    {
        // The builder's copies of the vertices and its per-triangle boxes
        // go before the packets are made: a million-triangle mesh needs
        // 80 MB less at its peak.
        std::vector<TriangleVertices> vertices(triangles.size());
        for (size_t i = 0; i < triangles.size(); ++i) {
            const Triangle& t = *triangles[i];
            vertices[i] = {
                {t.v0.x, t.v0.y, t.v0.z, t.v1.x, t.v1.y, t.v1.z, t.v2.x, t.v2.y, t.v2.z}};
        }
        std::vector<uint32_t> all(triangles.size());
        std::iota(all.begin(), all.end(), 0u);

        Builder builder(vertices, std::min(maxDepth, kDepthCeiling), margin, scale);
        builder.setSpeculative(triangles.size() >= kParallelList);
        builder.build(box, all, 0, tree);
        if (builder.overBudget()) {
            // Triangles overlapping split after split: build again the exact way.
            tree = Subtree();
            builder.setSpeculative(false);
            builder.build(box, std::move(all), 0, tree);
        }
    }
    std::vector<KdNode>& nodes = tree.nodes;
    std::vector<uint32_t>& references = tree.references;
    references.shrink_to_fit();
    std::vector<KdTrianglePacket> packets(references.size() / 4);
    for (size_t p = 0; p < packets.size(); ++p) {
        KdTrianglePacket& packet = packets[p];
        for (int k = 0; k < 4; ++k) {
            const uint32_t ref = references[4 * p + size_t(k)];
            const Triangle* t = ref == kNoTriangle ? nullptr : triangles[ref];
            for (int a = 0; a < 3; ++a) {
                // A missing triangle: all zero, so det is 0 and no ray hits it.
                packet.v0[a][k] = t ? t->v0[a] : 0.f;
                packet.edge1[a][k] = t ? t->edge1[a] : 0.f;
                packet.edge2[a][k] = t ? t->edge2[a] : 0.f;
            }
        }
    }

    triangles_ = triangles;
    nodes_ = std::move(nodes);
    references_ = std::move(references);
    packets_ = std::move(packets);
    bounds_ = box;
    overlapMargin_ = margin;
    slack_ = scale * kSlackScale;
}

void KdTree::clear() {
    triangles_ = {};
    nodes_ = {};
    references_ = {};
    packets_ = {};
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
    __m128 ok = _mm_cmpge_ps(det, _mm_set1_ps(triangle_detail::kMinDet));
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
