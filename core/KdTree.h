// KdTree: the tree over the triangles of every mesh of the scene, and its two
// queries (nearest hit, any hit closer than a distance), which the Renderer
// asks before it tests its list of other objects.
//
// Construction: level L splits on axis L mod 3; a list of 12 triangles or
// fewer, or a node at the depth limit, becomes a leaf. Otherwise nine planes
// at 0.1, 0.2, ... 0.9 of the node's extent (a running float sum) are scored
// by fraction × left count + (1 − fraction) × right count, ties going to the
// higher plane; a triangle goes to every child whose box it touches
// (separating-axis test), and a side that receives nothing gets no child.
// The child boxes are tested widened by a margin of a few units in the last
// place, so that rounding never drops a triangle that touches a box. Once
// the leaves hold 32 references per triangle (at least 65536), which
// only triangles overlapping split after split reach, the remaining nodes
// become leaves.
// Most overlap questions are answered from the triangle's box where that
// answer is certain to be the separating-axis test's own, and large nodes
// are split and counted on several threads; neither changes the tree.
//
// Storage: depth-first array of 8-byte nodes (a node's left child is the next
// node), a record per leaf (the box of its triangles and where its slice
// starts), a front cone per node, and one array of triangle indices that the
// leaves slice, each leaf's slice starting at a multiple of four. Alongside
// it, the same slices as packets of four triangles in the layout the ray
// test reads (v0, edge1, edge2 per axis, four lanes each), so a leaf is
// tested four triangles at a time without touching the Triangle records.
// Triangles are not owned and must outlive the tree.
//
// Queries: front-to-back walk with an explicit stack, clipped to the ray's
// interval. A leaf whose box the ray passes by is not tested (most leaves a
// shadow ray crosses hold triangles only in a corner of their cell), and the
// any-hit query passes by every node whose triangles it sees only from
// behind. The closest-hit query always returns the true nearest triangle,
// with ties resolved as a scan of the build list would (first in the list),
// so it agrees with testing every triangle. Both queries also come four
// rays at a time, stepping through the nodes together. They allocate
// nothing and are safe to call from any number of threads on a finished
// tree.
#pragma once

#include <cstdint>
#include <cstring>
#include <iosfwd>
#include <vector>

#include "core/Triangle.h"

// Axis-aligned box: lower and upper corner per axis (0 = x, 1 = y, 2 = z).
struct BoundingBox {
    float min[3] = {0.f, 0.f, 0.f};
    float max[3] = {0.f, 0.f, 0.f};

    // This box with max[axis] (below) or min[axis] (above) moved to position.
    BoundingBox below(int axis, float position) const {
        BoundingBox b = *this;
        b.max[axis] = position;
        return b;
    }
    BoundingBox above(int axis, float position) const {
        BoundingBox b = *this;
        b.min[axis] = position;
        return b;
    }
    // This box grown by margin on every side.
    BoundingBox widened(float margin) const {
        BoundingBox b = *this;
        for (int a = 0; a < 3; ++a) {
            b.min[a] -= margin;
            b.max[a] += margin;
        }
        return b;
    }
};

bool operator==(const BoundingBox& a, const BoundingBox& b);
std::ostream& operator<<(std::ostream& os, const BoundingBox& b);

// Separating-axis test of a triangle (nine coordinates: v0, v1, v2) against a
// box given by its centre and half sizes. Touching counts as overlap; no
// tolerance is added. Pure (reads only its arguments): the construction, in
// another file, keeps its own values in registers across the call.
[[gnu::pure]] bool triangleBoxOverlap(const float centre[3], const float halfSize[3],
                                      const float vertices[9]);
// Whether the plane normal · p + d = 0 meets the box of the given half sizes
// centred on the origin (touching counts).
bool planeBoxOverlap(const float normal[3], float d, const float halfSize[3]);
// The test above for a box given by its corners, with centre (min + max) × 0.5
// and half size (max − min) × 0.5, as the construction forms them.
// Inline: the construction calls it for every candidate box.
inline bool triangleBoxOverlap(const BoundingBox& box, const float vertices[9]) {
    float centre[3], half[3];
    for (int a = 0; a < 3; ++a) {
        centre[a] = (box.min[a] + box.max[a]) * 0.5f;
        half[a] = (box.max[a] - box.min[a]) * 0.5f;
    }
    return triangleBoxOverlap(centre, half, vertices);
}

// The answer triangleBoxOverlap(box, vertices) gives, where the
// construction can tell it from the triangle's box and shape alone: 1 or 0;
// -1 where only the full test can tell. scale bounds the magnitude of every
// coordinate of the mesh (as the construction takes it, from the mesh's box).
int certainTriangleBoxOverlap(const BoundingBox& box, const float vertices[9], float scale);

// One node of the flattened tree. An interior node's left child, when it has
// one, is the node right after it; its right child is at rightChild().
class KdNode {
public:
    static KdNode makeLeaf(uint32_t leafIndex, uint32_t primitiveCount) {
        KdNode n;
        n.word_ = primitiveCount;
        n.bits_ = kLeafTag | (leafIndex << 2);
        return n;
    }
    static KdNode makeInterior(int axis, float split, bool hasLeft, bool hasRight,
                               uint32_t rightChild) {
        KdNode n;
        std::memcpy(&n.word_, &split, sizeof split);
        n.bits_ = uint32_t(axis) | (hasLeft ? 4u : 0u) | (hasRight ? 8u : 0u) | (rightChild << 4);
        return n;
    }

    bool isLeaf() const { return (bits_ & 3u) == kLeafTag; }

    // Interior nodes only.
    int axis() const { return int(bits_ & 3u); }
    float split() const {
        float s;
        std::memcpy(&s, &word_, sizeof s);
        return s;
    }
    bool hasLeft() const { return (bits_ & 4u) != 0; }
    bool hasRight() const { return (bits_ & 8u) != 0; }
    uint32_t rightChild() const { return bits_ >> 4; }

    // Leaves only: the number of triangles, and the leaf's record (KdLeaf)
    // in the tree's list.
    uint32_t primitiveCount() const { return word_; }
    uint32_t leafIndex() const { return bits_ >> 2; }

    // Capacity of the packed fields.
    static constexpr uint32_t kMaxNodes = 1u << 28;
    static constexpr uint32_t kMaxReferences = 1u << 30;

private:
    static constexpr uint32_t kLeafTag = 3u;
    uint32_t word_ = 0;  // split (bit pattern) or leaf triangle count
    uint32_t bits_ = 0;  // axis or leaf tag (2 bits), then child flags and index, or leaf index
};

// What a leaf's walk needs besides its node: the box of its triangles'
// vertices (inverted for a leaf over none) and the start of its slice of
// the triangle index array, a multiple of four. One record per 32-byte
// block, so that the box test and the slice cost one cache line.
struct alignas(32) KdLeaf {
    float lower[3] = {0.f, 0.f, 0.f};
    uint32_t firstPrimitive = 0;
    float upper[3] = {0.f, 0.f, 0.f};
    uint32_t unused = 0;  // the upper corner's fourth lane
};

// The cone of the front sides of the triangles below a node: a ray whose
// direction d has d · axis ≥ awayCosine × |d| sees only their backs, which
// are never hit, and passes the node by. awayCosine is above 1 where no
// direction does (normals spread too wide, or a node too large to ask).
struct alignas(16) KdFrontCone {
    float axis[3] = {0.f, 0.f, 0.f};
    float awayCosine = 2.f;
};

// Four triangles of one leaf in the layout the ray test reads: per axis, the
// four lanes of v0, edge1 and edge2, and the det each lane must pass. Lanes
// past the leaf's end hold a triangle with zero edges and an infinite
// minimum det, which no ray hits.
struct alignas(16) KdTrianglePacket {
    float v0[3][4];
    float edge1[3][4];
    float edge2[3][4];
    float minDet[4];
};

// Shape of a built tree, for logs and benchmarks.
struct KdTreeStatistics {
    size_t triangles = 0;  // distinct triangles the tree was built over
    size_t nodes = 0;      // interior nodes and leaves
    size_t leaves = 0;
    size_t emptyLeaves = 0;  // only a root leaf over no triangles
    size_t references = 0;   // triangle entries over all leaves
    size_t largestLeaf = 0;
    int maxDepth = 0;  // deepest level (root = 0)
    double averageLeafSize() const { return leaves ? double(references) / double(leaves) : 0.0; }
    // References per triangle: how often straddling triangles are repeated.
    double duplication() const { return triangles ? double(references) / double(triangles) : 0.0; }
};

std::ostream& operator<<(std::ostream& os, const KdTreeStatistics& s);

class KdTree {
public:
    // A list of this many triangles or fewer is not split.
    static constexpr int kMaxLeafTriangles = 12;
    // Depth limits above this are treated as this: the query stack has one
    // entry per level, and deeper trees only repeat triangles that meet at a
    // vertex.
    static constexpr int kDepthCeiling = 64;

    // The box of all vertices, widened by 0.001 on every side. Over no
    // triangles it stays inverted (min 1,000,000, max −1,000,000).
    static BoundingBox computeBounds(const std::vector<const Triangle*>& triangles);

    // Builds the tree over the given triangles (not owned; they must outlive
    // the tree), replacing whatever it held. The root is level 0; nodes at
    // level maxDepth become leaves. On an exception the tree is left empty.
    // The list is kept as the tree's own (move it in to spare the copy).
    void build(std::vector<const Triangle*> triangles, int maxDepth);
    void clear();

    // Leaves the nearest triangle hit in hit when it is closer than
    // hit.distance on entry; otherwise leaves hit untouched (depth always).
    void findClosest(const Ray& ray, HitRecord& hit) const;
    // Where the any-hit walk starts. It stops at the first blocker it
    // meets, so the answer is the same from either end; the work is not. A
    // shadow ray towards a light behind its surface first crosses the body
    // it leaves, where it sees only backs, and its blocker, if any, lies
    // beyond, where a walk from the far end meets it sooner. From a lit
    // surface the blocker tends to lie near the origin.
    enum class WalkFrom { origin, farEnd };
    // True when some triangle is hit closer than maxDistance; that hit is
    // then left in hit (depth untouched). Which blocker is reported when
    // there are several depends on from.
    bool findAny(const Ray& ray, HitRecord& hit, float maxDistance,
                 WalkFrom from = WalkFrom::origin) const;

    // The two queries for four rays at once, each record left exactly as
    // the single query leaves it. Rays that run into one octant (no
    // direction component zero) share the steps through the interior
    // nodes, which pays when they are coherent: neighbouring pixels, or
    // their hits towards one light. Others are answered one by one.
    void findClosest4(const Ray rays[4], HitRecord hits[4]) const;
    // Only the lanes set in lanes (bit i for rays[i]) are asked (the others'
    // rays and records are not touched); returns the mask of those blocked
    // closer than their own maxDistance.
    int findAny4(const Ray rays[4], HitRecord hits[4], const float maxDistance[4], int lanes = 0xF,
                 WalkFrom from = WalkFrom::origin) const;

    // --- Read-only view of the built tree --------------------------------

    const BoundingBox& bounds() const { return bounds_; }
    // Root first; empty before the first build.
    const std::vector<KdNode>& nodes() const { return nodes_; }
    // The record of a leaf node.
    const KdLeaf& leaf(const KdNode& node) const { return leaves_[node.leafIndex()]; }
    // The i-th triangle of a leaf node, i below leaf.primitiveCount().
    const Triangle* leafTriangle(const KdNode& node, uint32_t i) const {
        return triangles_[references_[leaf(node).firstPrimitive + i]];
    }
    size_t triangleCount() const { return triangles_.size(); }
    // How much each child box was widened for the overlap tests.
    float overlapMargin() const { return overlapMargin_; }
    KdTreeStatistics statistics() const;

private:
    friend struct KdTreeLeafQueries;    // the queries' bodies, one build per leaf-test width
    friend struct KdTreePacketQueries;  // and the four-ray queries' bodies

    // With Backs, nodes whose triangles the ray sees only from behind are
    // passed by (worth its cost where hits are rare: shadow rays). With
    // FromEnd, the leaves come roughly back to front.
    template <bool Backs, bool FromEnd, class LeafVisitor>
    void walk(const Ray& ray, float& limit, LeafVisitor&& visit) const;
    // The walk above for up to four rays of one octant (bit i of lanes for
    // rays[i]); visit(leaf, count, active) returns the lanes that stop.
    // False when the rays must go one by one.
    template <bool Backs, bool FromEnd, class LeafVisitor>
    bool walk4(const Ray rays[4], int lanes, float limit[4], LeafVisitor&& visit) const;

    std::vector<const Triangle*> triangles_;  // in build order: ties go to the earlier
    std::vector<KdNode> nodes_;
    std::vector<KdLeaf> leaves_;             // in the order of their nodes
    std::vector<KdFrontCone> cones_;         // one per node
    std::vector<uint32_t> references_;       // indices into triangles_, sliced by the leaves
    std::vector<KdTrianglePacket> packets_;  // references_ in groups of four
    BoundingBox bounds_;
    float overlapMargin_ = 0.f;
    float slack_ = 0.f;  // spatial margin of the walk, from the scene's coordinate scale
};
