// The kd-tree's construction: split choice, the sides' overlap tests and
// the parallel, speculative build of large nodes.
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

#include "core/HugePages.h"
#include "core/KdTree.h"
#include "core/KdTreeDetail.h"

using namespace kd_detail;

namespace {

// Box of an empty mesh, and the start of the running minimum and maximum.
constexpr float kBoundsStart = 1000000.f;
// Widening of the mesh's box, so that no vertex lies on its faces.
constexpr float kBoundsMargin = 0.001f;
// The split cost starts above every candidate's, so the cheapest candidate
// always wins, however many triangles the node holds (a finite start would
// leave a large node split at 0 in world coordinates, whatever its box).
constexpr float kInitialSplitCost = std::numeric_limits<float>::infinity();
constexpr int kSplitCandidates = 9;
// Margin by which the construction widens each child box before the overlap
// test, relative to the largest coordinate: about 16 units in the last place.
// Without it, rounding in the test can drop a triangle that lies in a split
// plane from both children, leaving a hole in the mesh.
constexpr float kOverlapMarginScale = 1.f / 524288.f;  // 2^-19
// Spatial margin of the walk, likewise relative: above the rounding of the
// plane crossings and of the triangle test's hit points.
constexpr float kSlackScale = 1.f / 262144.f;  // 2^-18

// Every leaf's slice is padded to a multiple of four, so that it starts a
// packet wherever the subtree is placed.
struct Subtree {
    std::vector<KdNode> nodes;
    std::vector<uint32_t> leafFirst;  // per leaf, where its slice of references starts
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
            out.nodes[index] =
                KdNode::makeLeaf(uint32_t(out.leafFirst.size()), uint32_t(list.size()));
            out.leafFirst.push_back(uint32_t(first));
            return;
        }

        // The axes in turn; but where every plane of the turn's axis would
        // leave every triangle on both sides (a mesh lying in a plane across
        // it, such as a floor), the next axis that separates some: the
        // useless split would only copy the node.
        int axis = level % 3;
        bool separates = false;
        float split = chooseSplit(box, list, axis, separates);
        for (int turn = 1; turn < 3 && !separates; ++turn) {
            const int other = (level + turn) % 3;
            const float otherSplit = chooseSplit(box, list, other, separates);
            if (separates) {
                axis = other;
                split = otherSplit;
            }
        }
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
        const uint32_t leafOffset = uint32_t(out.leafFirst.size());
        const uint32_t referenceOffset = uint32_t(out.references.size());
        out.nodes.reserve(out.nodes.size() + side.nodes.size());
        for (const KdNode& n : side.nodes) {
            if (n.isLeaf())
                out.nodes.push_back(
                    KdNode::makeLeaf(n.leafIndex() + leafOffset, n.primitiveCount()));
            else
                out.nodes.push_back(
                    KdNode::makeInterior(n.axis(), n.split(), n.hasLeft(), n.hasRight(),
                                         n.hasRight() ? n.rightChild() + nodeOffset : 0u));
        }
        for (uint32_t first : side.leafFirst) out.leafFirst.push_back(first + referenceOffset);
        out.references.insert(out.references.end(), side.references.begin(), side.references.end());
    }

    // The plane of least fraction-weighted count among the nine candidates
    // across axis; separates tells whether any of them leaves a triangle on
    // one side only.
    float chooseSplit(const BoundingBox& box, const std::vector<uint32_t>& list, int axis,
                      bool& separates) const {
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
        separates = false;
        for (int c = 0; c < kSplitCandidates; ++c) {
            const float cost =
                frac[c] * float(total.left[c]) + (1.f - frac[c]) * float(total.right[c]);
            if (bestCost >= cost) {  // ties go to the later, higher plane
                bestCost = cost;
                bestSplit = position[c];
            }
            separates = separates || total.left[c] < list.size() || total.right[c] < list.size();
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

namespace {

constexpr float kInfinity = std::numeric_limits<float>::infinity();

// Rounding of the triangle test's det against |d| |edge1| |edge2|: some
// 32 units in the last place, well above what its products and sums lose.
constexpr double kDetRounding = 1.0 / 524288.0;  // 2^-19
// Widening of a cone's away cosine, above the rounding of the walk's d · axis.
constexpr double kConeMargin = 1.0 / 1048576.0;  // 2^-20
// Largest subtree, in references, whose node gets a front cone.
constexpr uint32_t kConeReferences = 256;

// The front cone of the triangles of count references (kNoTriangle
// skipped) that can be hit at all. A triangle's front side is the side of
// n = edge1 × edge2: its det = −d · n must pass a positive minDet, and the
// test's det is off by at most kDetRounding |d| |edge1| |edge2|, so a
// direction d with d · n / |n| ≥ kDetRounding |d| |edge1| |edge2| / |n| never
// hits it. The cone's axis is the mean unit normal.
KdFrontCone frontCone(const std::vector<const Triangle*>& triangles, const uint32_t* references,
                      size_t count) {
    // The unit normal of a triangle that can be hit, and the det's rounding
    // against it; false for one that no ray hits.
    const auto normalOf = [](const Triangle& t, double n[3], double& rounding) {
        const double a[3] = {t.edge1.x, t.edge1.y, t.edge1.z},
                     b[3] = {t.edge2.x, t.edge2.y, t.edge2.z};
        n[0] = a[1] * b[2] - a[2] * b[1];
        n[1] = a[2] * b[0] - a[0] * b[2];
        n[2] = a[0] * b[1] - a[1] * b[0];
        const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
        if (!(t.minDet < kInfinity) || !(length > 0.0)) return false;
        for (int k = 0; k < 3; ++k) n[k] /= length;
        rounding = kDetRounding * std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]) *
                   std::sqrt(b[0] * b[0] + b[1] * b[1] + b[2] * b[2]) / length;
        return true;
    };
    KdFrontCone cone;  // no direction passes, unless shown otherwise below
    double axis[3] = {0.0, 0.0, 0.0}, needed = 0.0, n[3], rounding;
    for (size_t i = 0; i < count; ++i) {
        if (references[i] == kNoTriangle || !normalOf(*triangles[references[i]], n, rounding))
            continue;
        needed = std::max(needed, rounding);
        for (int k = 0; k < 3; ++k) axis[k] += n[k];
    }
    const double length = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    if (!(length > 0.0) || !(needed < 1.0)) return cone;
    for (int k = 0; k < 3; ++k) {
        cone.axis[k] = float(axis[k] / length);
        axis[k] = double(cone.axis[k]);  // the spread is measured from the axis as stored
    }
    const double storedLength =
        std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    double narrowest = 1.0;  // the cosine of the widest angle between axis and a normal
    for (size_t i = 0; i < count; ++i) {
        if (references[i] == kNoTriangle || !normalOf(*triangles[references[i]], n, rounding))
            continue;
        narrowest =
            std::min(narrowest, (axis[0] * n[0] + axis[1] * n[1] + axis[2] * n[2]) / storedLength);
    }
    // Directions within this angle of the axis meet every normal at an
    // angle of at most acos(needed).
    const double reach =
        std::acos(needed) - std::acos(std::clamp(narrowest, -1.0, 1.0)) - kConeMargin;
    if (reach > 0.0) cone.awayCosine = std::nextafter(float(std::cos(reach) + kConeMargin), 2.f);
    return cone;
}

// Every node's front cone, from the triangles of its subtree (whose leaves'
// slices lie together in the depth-first order); a node over more than
// kConeReferences references gets none: its normals spread too wide to pay
// for the asking.
std::vector<KdFrontCone> frontCones(const std::vector<const Triangle*>& triangles,
                                    const std::vector<KdNode>& nodes,
                                    const std::vector<KdLeaf>& leaves,
                                    const std::vector<uint32_t>& references) {
    std::vector<std::pair<uint32_t, uint32_t>> slice(nodes.size());  // [first, end) of references
    for (size_t i = nodes.size(); i-- > 0;) {                        // every child after its parent
        const KdNode& n = nodes[i];
        if (n.isLeaf()) {
            const uint32_t first = leaves[n.leafIndex()].firstPrimitive;
            slice[i] = {first, first + n.primitiveCount()};
        } else {
            const auto& below = slice[n.hasLeft() ? i + 1 : n.rightChild()];
            const auto& above = slice[n.hasRight() ? n.rightChild() : i + 1];
            slice[i] = {below.first, above.second};
        }
    }
    std::vector<KdFrontCone> cones(nodes.size());
    tbb::parallel_for(tbb::blocked_range<size_t>(0, nodes.size(), 1024),
                      [&](const tbb::blocked_range<size_t>& r) {
                          for (size_t i = r.begin(); i != r.end(); ++i) {
                              const auto [first, end] = slice[i];
                              if (end - first <= kConeReferences)
                                  cones[i] =
                                      frontCone(triangles, references.data() + first, end - first);
                          }
                      });
    return cones;
}

// The packets of a leaf's count references (padded to whole packets) and
// the box of their triangles' vertices (inverted over none).
void fillLeaf(const std::vector<const Triangle*>& triangles, const uint32_t* references,
              uint32_t count, KdTrianglePacket* packets, KdLeaf& leaf) {
    for (int a = 0; a < 3; ++a) {
        leaf.lower[a] = kInfinity;
        leaf.upper[a] = -kInfinity;
    }
    for (uint32_t p = 0; p < (count + 3) / 4; ++p) {
        KdTrianglePacket& packet = packets[p];
        for (uint32_t k = 0; k < 4; ++k) {
            const uint32_t ref = references[4 * p + k];
            const Triangle* t = ref == kNoTriangle ? nullptr : triangles[ref];
            for (int a = 0; a < 3; ++a) {
                // A missing triangle: zero edges that no ray hits.
                packet.v0[a][k] = t ? t->v0[a] : 0.f;
                packet.edge1[a][k] = t ? t->edge1[a] : 0.f;
                packet.edge2[a][k] = t ? t->edge2[a] : 0.f;
            }
            packet.minDet[k] = t ? t->minDet : kInfinity;
            if (!t) continue;
            for (const Vec3* v : {&t->v0, &t->v1, &t->v2}) {
                for (int a = 0; a < 3; ++a) {
                    leaf.lower[a] = std::min(leaf.lower[a], (*v)[a]);
                    leaf.upper[a] = std::max(leaf.upper[a], (*v)[a]);
                }
            }
        }
    }
}

}  // namespace

void KdTree::build(std::vector<const Triangle*> triangles, int maxDepth) {
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
    returnFreedMemory();  // the builder's lists, before the packets
    // Each leaf's packets and box, the leaves on several threads.
    std::vector<KdTrianglePacket> packets;
    assignOnHugePages(packets, references.size() / 4, KdTrianglePacket{});
    std::vector<KdLeaf> leaves(tree.leafFirst.size());
    tbb::parallel_for(tbb::blocked_range<size_t>(0, nodes.size(), 1024),
                      [&](const tbb::blocked_range<size_t>& r) {
                          for (size_t i = r.begin(); i != r.end(); ++i) {
                              const KdNode& n = nodes[i];
                              if (!n.isLeaf()) continue;
                              KdLeaf& leaf = leaves[n.leafIndex()];
                              leaf.firstPrimitive = tree.leafFirst[n.leafIndex()];
                              fillLeaf(triangles, references.data() + leaf.firstPrimitive,
                                       n.primitiveCount(), packets.data() + leaf.firstPrimitive / 4,
                                       leaf);
                          }
                      });

    std::vector<KdFrontCone> cones = frontCones(triangles, nodes, leaves, references);

    triangles_ = std::move(triangles);
    nodes_ = std::move(nodes);
    cones_ = std::move(cones);
    leaves_ = std::move(leaves);
    references_ = std::move(references);
    packets_ = std::move(packets);
    bounds_ = box;
    overlapMargin_ = margin;
    slack_ = scale * kSlackScale;
}

void KdTree::clear() {
    triangles_ = {};
    nodes_ = {};
    leaves_ = {};
    cones_ = {};
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
