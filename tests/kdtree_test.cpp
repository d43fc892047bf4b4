// The kd-tree: construction rules, and both queries against a scan of every
// triangle.
#include "core/KdTree.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "render/Renderer.h"
#include "shading/DebugMaterial.h"
#include "tests/TestFiles.h"

namespace {

const DebugMaterial kMaterial;

// Triangles in stable storage. Each gets its own normal, so a hit record
// names the triangle that produced it.
struct Mesh {
    std::vector<Triangle> triangles;

    explicit Mesh(size_t capacity = 4096) { triangles.reserve(capacity); }

    const Triangle& add(const Vec3& a, const Vec3& b, const Vec3& c) {
        if (triangles.size() == triangles.capacity()) throw std::logic_error("mesh storage full");
        Triangle t(&kMaterial);
        t.v0 = a;
        t.v1 = b;
        t.v2 = c;
        const Vec3 n(float(triangles.size()) + 1.f, 1.f, 0.5f);
        t.n0 = t.n1 = t.n2 = n;
        t.computeEdges();
        triangles.push_back(t);
        return triangles.back();
    }
    // Both windings, so rays from either side can hit.
    void addTwoSided(const Vec3& a, const Vec3& b, const Vec3& c) {
        add(a, b, c);
        add(a, c, b);
    }
    std::vector<const Triangle*> pointers() const {
        std::vector<const Triangle*> p;
        for (const Triangle& t : triangles) p.push_back(&t);
        return p;
    }
};

Ray makeRay(const Vec3& o, const Vec3& d) { return Ray(Vec4(o), Vec4(d)); }

// The answer of scanning every triangle in list order, keeping a strictly
// closer hit: the reference the tree must reproduce.
HitRecord scanClosest(const std::vector<const Triangle*>& tris, const Ray& ray) {
    HitRecord best, candidate;
    for (const Triangle* t : tris) {
        if (intersectTriangle(*t, ray, candidate) && best.distance > candidate.distance)
            best = candidate;
    }
    return best;
}

bool sameHit(const HitRecord& a, const HitRecord& b) {
    if (a.hit != b.hit) return false;
    if (!a.hit) return a.distance == b.distance;
    return a.distance == b.distance && a.normal == b.normal && a.position == b.position &&
           a.material == b.material;
}

// Triangles of every leaf under a node, in leaf order.
std::vector<const Triangle*> trianglesUnder(const KdTree& tree, uint32_t index) {
    std::vector<const Triangle*> out;
    std::vector<uint32_t> pending{index};
    while (!pending.empty()) {
        const uint32_t i = pending.back();
        pending.pop_back();
        const KdNode& n = tree.nodes()[i];
        if (n.isLeaf()) {
            for (uint32_t k = 0; k < n.primitiveCount(); ++k)
                out.push_back(tree.leafTriangle(n, k));
            continue;
        }
        if (n.hasRight()) pending.push_back(n.rightChild());
        if (n.hasLeft()) pending.push_back(i + 1);
    }
    return out;
}

bool contains(const std::vector<const Triangle*>& list, const Triangle* t) {
    return std::find(list.begin(), list.end(), t) != list.end();
}

float vertexArray(const Triangle& t, int i) {
    const Vec3& v = i < 3 ? t.v0 : (i < 6 ? t.v1 : t.v2);
    return v[i % 3];
}

bool overlaps(const BoundingBox& box, const Triangle& t) {
    float v[9];
    for (int i = 0; i < 9; ++i) v[i] = vertexArray(t, i);
    return triangleBoxOverlap(box, v);
}

// Checks the distribution rules at every node: the list a node receives is
// what its parent's list overlaps of its box; a leaf holds that list in order
// and is a leaf because of the depth limit or the 12-triangle rule; an
// interior node splits on level mod 3 and has a child exactly for each side
// that received triangles. (Which plane is chosen is tested separately.)
void checkDistribution(const KdTree& tree, const std::vector<const Triangle*>& tris, int maxDepth) {
    struct Item {
        uint32_t index;
        BoundingBox box;
        std::vector<const Triangle*> list;
        int level;
    };
    ASSERT_FALSE(tree.nodes().empty());
    std::vector<Item> pending{{0, tree.bounds(), tris, 0}};
    while (!pending.empty()) {
        Item item = std::move(pending.back());
        pending.pop_back();
        const KdNode& n = tree.nodes()[item.index];
        if (n.isLeaf()) {
            EXPECT_TRUE(item.level >= maxDepth || item.list.size() <= 12)
                << "leaf at level " << item.level << " with " << item.list.size();
            ASSERT_EQ(n.primitiveCount(), item.list.size());
            for (uint32_t k = 0; k < n.primitiveCount(); ++k)
                ASSERT_EQ(tree.leafTriangle(n, k), item.list[k]);
            continue;
        }
        EXPECT_LT(item.level, maxDepth);
        EXPECT_GT(item.list.size(), 12u);
        EXPECT_EQ(n.axis(), item.level % 3);
        const BoundingBox below = item.box.below(n.axis(), n.split());
        const BoundingBox above = item.box.above(n.axis(), n.split());
        const float margin = tree.overlapMargin();
        std::vector<const Triangle*> left, right;
        for (const Triangle* t : item.list) {
            if (overlaps(below.widened(margin), *t)) left.push_back(t);
            if (overlaps(above.widened(margin), *t)) right.push_back(t);
        }
        ASSERT_EQ(n.hasLeft(), !left.empty());
        ASSERT_EQ(n.hasRight(), !right.empty());
        if (n.hasLeft()) pending.push_back({item.index + 1, below, left, item.level + 1});
        if (n.hasRight()) pending.push_back({n.rightChild(), above, right, item.level + 1});
    }
}

// A small triangle around (x, y, z), in the plane z = const.
void addSmall(Mesh& m, float x, float y, float z, float size = 0.2f) {
    m.add(Vec3(x - size, y - size, z), Vec3(x + size, y - size, z), Vec3(x, y + size, z));
}

}  // namespace

// --- Overlap test --------------------------------------------------------------------------

TEST(TriangleBoxOverlap, KnownAnswersWithTouchingCounted) {
    const float centre[3] = {0, 0, 0}, half[3] = {1, 1, 1};
    auto test = [&](std::initializer_list<float> v) {
        std::vector<float> a(v);
        return triangleBoxOverlap(centre, half, a.data());
    };
    // Inside, and slicing through the box with every vertex outside.
    EXPECT_TRUE(test({-0.5f, -0.5f, 0, 0.5f, -0.5f, 0, 0, 0.5f, 0}));
    EXPECT_TRUE(test({-5, -5, 0.3f, 5, -5, 0.3f, 0, 5, 0.3f}));
    // Lying in a face plane, touching along an edge, touching at a corner.
    EXPECT_TRUE(test({-0.5f, -0.5f, 1, 0.5f, -0.5f, 1, 0, 0.5f, 1}));
    EXPECT_TRUE(test({1, 1, -3, 1, 1, 3, 4, 4, 0}));
    EXPECT_TRUE(test({1, 1, 1, 3, 1, 2, 1, 3, 2}));
    // Just past a face.
    EXPECT_FALSE(test({-0.5f, -0.5f, 1.0001f, 0.5f, -0.5f, 1.0001f, 0, 0.5f, 1.0001f}));
    // The bounding boxes overlap, yet an edge axis separates them: a
    // triangle cutting past a corner.
    EXPECT_FALSE(test({1.5f, 0.8f, 0, 0.8f, 1.5f, 0, 2, 2, 0}));
    // Only the triangle's own plane separates: a tilted triangle whose
    // plane x + y + z = 3.2 passes the corner (1, 1, 1).
    EXPECT_FALSE(test({3.2f, 0, 0, 0, 3.2f, 0, 0, 0, 3.2f}));
    EXPECT_TRUE(test({3, 0, 0, 0, 3, 0, 0, 0, 3}));
}

TEST(TriangleBoxOverlap, PlaneTest) {
    const float half[3] = {1, 2, 3};
    const float nx[3] = {1, 0, 0};
    EXPECT_TRUE(planeBoxOverlap(nx, -1.f, half));  // x = 1: touches the face
    EXPECT_FALSE(planeBoxOverlap(nx, -1.001f, half));
    EXPECT_TRUE(planeBoxOverlap(nx, 1.f, half));
    EXPECT_FALSE(planeBoxOverlap(nx, 1.001f, half));
    const float diagonal[3] = {1, 1, 1};
    EXPECT_TRUE(planeBoxOverlap(diagonal, -6.f, half));  // through the corner (1, 2, 3)
    EXPECT_FALSE(planeBoxOverlap(diagonal, -6.5f, half));
}

// --- Construction --------------------------------------------------------------------------

TEST(KdTreeBuild, TwelveTrianglesStayInTheRootThirteenAreSplit) {
    Mesh m;
    for (int i = 0; i < 13; ++i) addSmall(m, float(i) * 10.f, 0.f, 0.f);
    std::vector<const Triangle*> tris = m.pointers();

    KdTree tree;
    std::vector<const Triangle*> twelve(tris.begin(), tris.begin() + 12);
    tree.build(twelve, 8);
    ASSERT_EQ(tree.nodes().size(), 1u);
    ASSERT_TRUE(tree.nodes()[0].isLeaf());
    ASSERT_EQ(tree.nodes()[0].primitiveCount(), 12u);
    for (uint32_t k = 0; k < 12; ++k) EXPECT_EQ(tree.leafTriangle(tree.nodes()[0], k), tris[k]);

    tree.build(tris, 8);
    const KdNode& root = tree.nodes()[0];
    ASSERT_FALSE(root.isLeaf());
    EXPECT_EQ(root.axis(), 0);
    EXPECT_TRUE(root.hasLeft());
    EXPECT_TRUE(root.hasRight());
    EXPECT_GT(root.split(), tree.bounds().min[0]);
    EXPECT_LT(root.split(), tree.bounds().max[0]);
    checkDistribution(tree, tris, 8);
    // Separated triangles are never repeated.
    EXPECT_EQ(tree.statistics().references, 13u);
}

TEST(KdTreeBuild, DepthLimitZeroKeepsTheWholeMeshInOneLeaf) {
    Mesh m;
    for (int i = 0; i < 100; ++i) addSmall(m, float(i % 10), float(i / 10), float(i % 7));
    const std::vector<const Triangle*> tris = m.pointers();
    for (int depth : {0, -3}) {
        KdTree tree;
        tree.build(tris, depth);
        ASSERT_EQ(tree.nodes().size(), 1u);
        EXPECT_EQ(tree.nodes()[0].primitiveCount(), 100u);
        checkDistribution(tree, tris, depth);
    }
}

TEST(KdTreeBuild, EmptyMeshGivesOneEmptyLeafAndAnInvertedBox) {
    KdTree tree;
    tree.build({}, 10);
    ASSERT_EQ(tree.nodes().size(), 1u);
    EXPECT_TRUE(tree.nodes()[0].isLeaf());
    EXPECT_EQ(tree.nodes()[0].primitiveCount(), 0u);
    BoundingBox inverted;
    for (int a = 0; a < 3; ++a) {
        inverted.min[a] = 1000000.f;  // the 0.001 margin vanishes at this magnitude
        inverted.max[a] = -1000000.f;
    }
    EXPECT_EQ(tree.bounds(), inverted);
    EXPECT_EQ(KdTree::computeBounds({}), inverted);

    HitRecord hit;
    hit.depth = 7;
    tree.findClosest(makeRay(Vec3(0, 0, 0), Vec3(0, 0, 1)), hit);
    EXPECT_FALSE(hit.hit);
    EXPECT_EQ(hit.distance, kNoHitDistance);
    EXPECT_EQ(hit.depth, 7);
    EXPECT_FALSE(tree.findAny(makeRay(Vec3(0, 0, 0), Vec3(0, 0, 1)), hit, 1e6f));
}

TEST(KdTreeBuild, BoundsAreTheVerticesWidenedByAThousandth) {
    Mesh m;
    m.add(Vec3(1, 2, 3), Vec3(-4, 5, 6), Vec3(7, -8, 9));
    const BoundingBox b = KdTree::computeBounds(m.pointers());
    const float expectMin[3] = {-4.f - 0.001f, -8.f - 0.001f, 3.f - 0.001f};
    const float expectMax[3] = {7.f + 0.001f, 5.f + 0.001f, 9.f + 0.001f};
    for (int a = 0; a < 3; ++a) {
        EXPECT_EQ(b.min[a], expectMin[a]);
        EXPECT_EQ(b.max[a], expectMax[a]);
    }
}

TEST(KdTreeBuild, TrianglesOverlappingBothSidesGoDownBothToTheDepthLimit) {
    // Thirteen copies of one large triangle: wherever it crosses a plane,
    // both children receive all of them, and no list ever drops to 12.
    Mesh m;
    for (int i = 0; i < 13; ++i) m.add(Vec3(0, 0, 0), Vec3(10, 1, 3), Vec3(2, 10, 10));
    const std::vector<const Triangle*> tris = m.pointers();
    const int depth = 6;
    KdTree tree;
    tree.build(tris, depth);
    checkDistribution(tree, tris, depth);
    const KdTreeStatistics s = tree.statistics();
    EXPECT_EQ(s.maxDepth, depth);
    EXPECT_GT(s.leaves, 8u);
    EXPECT_EQ(s.references, s.leaves * 13);
    // Every leaf is at the depth limit: count the levels of all leaves.
    std::vector<std::pair<uint32_t, int>> pending{{0u, 0}};
    while (!pending.empty()) {
        const auto [i, level] = pending.back();
        pending.pop_back();
        const KdNode& n = tree.nodes()[i];
        if (n.isLeaf()) {
            EXPECT_EQ(level, depth);
            EXPECT_EQ(n.primitiveCount(), 13u);
            continue;
        }
        if (n.hasLeft()) pending.push_back({i + 1, level + 1});
        if (n.hasRight()) pending.push_back({n.rightChild(), level + 1});
    }
}

TEST(KdTreeBuild, EqualCostsGoToTheHigherCandidate) {
    // Along x over [0, 10]: one triangle below the 0.1 plane, three between
    // 0.7 and 0.8, ten above 0.9. The planes at 0.7 and 0.9 then cost the
    // same (4.6) and less than every other; the higher one must win.
    Mesh m;
    m.add(Vec3(0, 0, 0), Vec3(0.5f, 0, 0), Vec3(0.25f, 0.5f, 0));
    for (int i = 0; i < 3; ++i) addSmall(m, 7.5f, float(i), 1.f);
    for (int i = 0; i < 9; ++i) addSmall(m, 9.7f, float(i), 2.f);
    m.add(Vec3(9.5f, 0, 3), Vec3(10, 0, 3), Vec3(9.75f, 0.5f, 3));
    KdTree tree;
    tree.build(m.pointers(), 1);
    const KdNode& root = tree.nodes()[0];
    ASSERT_FALSE(root.isLeaf());
    const float lo = tree.bounds().min[0], extent = tree.bounds().max[0] - lo;
    EXPECT_GT(root.split(), lo + 0.85f * extent);
    EXPECT_LT(root.split(), lo + 0.95f * extent);
    checkDistribution(tree, m.pointers(), 1);
}

TEST(KdTreeBuild, TriangleInTheSplitPlaneOrTouchingItGoesToBothSides) {
    // Thirty triangles near x = 0 and ten near x = 10 put the root plane at
    // the lowest candidate by a margin that two more triangles cannot undo.
    Mesh m;
    for (int i = 0; i < 30; ++i) addSmall(m, 0.3f, float(i) * 0.5f, 0.f, 0.3f);
    for (int i = 0; i < 10; ++i) addSmall(m, 9.7f, float(i) * 0.5f, 0.f, 0.3f);
    KdTree tree;
    tree.build(m.pointers(), 1);
    ASSERT_FALSE(tree.nodes()[0].isLeaf());
    const float s = tree.nodes()[0].split();

    // One triangle lying in the plane x = s, one touching it along an edge
    // from the side above.
    const Triangle& inPlane = m.add(Vec3(s, 1, 1), Vec3(s, 2, 1), Vec3(s, 1.5f, 2));
    const Triangle& touching = m.add(Vec3(s, 3, 1), Vec3(s, 4, 1), Vec3(s + 0.5f, 3.5f, 1));
    const std::vector<const Triangle*> tris = m.pointers();
    tree.build(tris, 1);
    const KdNode& root = tree.nodes()[0];
    ASSERT_EQ(root.split(), s) << "the added triangles moved the plane";
    ASSERT_TRUE(root.hasLeft() && root.hasRight());
    const auto below = trianglesUnder(tree, 1), above = trianglesUnder(tree, root.rightChild());
    EXPECT_TRUE(contains(below, &inPlane));
    EXPECT_TRUE(contains(above, &inPlane));
    EXPECT_TRUE(contains(below, &touching));
    EXPECT_TRUE(contains(above, &touching));
    checkDistribution(tree, tris, 1);
}

TEST(KdTreeBuild, LeafCountsAreNotLimitedTo16Bits) {
    const int n = 40000;
    Mesh m(n);
    for (int i = 0; i < n; ++i) addSmall(m, float(i % 200), float(i / 200), 0.f, 0.1f);
    KdTree tree;
    tree.build(m.pointers(), 0);
    ASSERT_EQ(tree.nodes()[0].primitiveCount(), uint32_t(n));
    // The last triangle is still found.
    const Ray ray = makeRay(Vec3(199.f, 199.f, 1.f), Vec3(0, 0, -1));
    HitRecord hit;
    tree.findClosest(ray, hit);
    EXPECT_TRUE(sameHit(hit, scanClosest(m.pointers(), ray)));
    EXPECT_TRUE(hit.hit);
}

TEST(KdTreeBuild, StatisticsDescribeTheTree) {
    Mesh m;
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> u(0.f, 10.f);
    for (int i = 0; i < 500; ++i) addSmall(m, u(rng), u(rng), u(rng), 0.3f);
    KdTree tree;
    tree.build(m.pointers(), 12);
    const KdTreeStatistics s = tree.statistics();
    EXPECT_EQ(s.triangles, 500u);
    EXPECT_EQ(s.nodes, tree.nodes().size());
    // Every interior node has one or two children.
    const size_t interior = s.nodes - s.leaves;
    EXPECT_GE(s.nodes - 1, interior);
    EXPECT_LE(s.nodes - 1, 2 * interior);
    EXPECT_GE(s.references, s.triangles);  // every triangle is in some leaf
    EXPECT_LE(s.maxDepth, 12);
    EXPECT_DOUBLE_EQ(s.duplication(), double(s.references) / 500.0);
    EXPECT_DOUBLE_EQ(s.averageLeafSize(), double(s.references) / double(s.leaves));
    std::ostringstream text;
    text << s;
    EXPECT_NE(text.str().find("duplication"), std::string::npos);
}

// --- Queries -------------------------------------------------------------------------------

TEST(KdTreeQuery, NearerTriangleInALaterLeafIsNotHiddenByAStraddlingOne) {
    // Root plane near x = 5 (depth limit 1: two leaves). A large triangle at
    // z = 10 straddles it; a small one at z = 8 lies wholly above it. A ray
    // from below the plane crosses it before z = 8: the first leaf (below)
    // holds only the large triangle, hit beyond that leaf; the nearer one is
    // in the second leaf alone.
    Mesh m;
    for (int i = 0; i < 6; ++i) addSmall(m, -19.f, -19.f + float(i), 0.f);
    for (int i = 0; i < 6; ++i) addSmall(m, 29.f, -19.f + float(i), 0.f);
    const Triangle& large = m.add(Vec3(-20, -20, 10), Vec3(5, 30, 10), Vec3(30, -20, 10));
    const Triangle& small = m.add(Vec3(7, -0.5f, 8), Vec3(7.5f, 0.5f, 8), Vec3(8, -0.5f, 8));
    const std::vector<const Triangle*> tris = m.pointers();
    KdTree tree;
    tree.build(tris, 1);
    const KdNode& root = tree.nodes()[0];
    ASSERT_FALSE(root.isLeaf());
    const float s = root.split();
    ASSERT_GT(s, 3.f);
    ASSERT_LT(s, 7.f);
    const auto below = trianglesUnder(tree, 1), above = trianglesUnder(tree, root.rightChild());
    ASSERT_TRUE(contains(below, &large));
    ASSERT_FALSE(contains(below, &small));
    ASSERT_TRUE(contains(above, &small));

    const Vec3 origin(s - 1.f, 0.f, 0.f);
    Vec3 direction = Vec3(7.5f, 0.f, 8.f) - origin;
    direction.normalize();
    const Ray ray = makeRay(origin, direction);
    // Both triangles lie on the ray, the small one nearer.
    HitRecord viaLarge, viaSmall;
    ASSERT_TRUE(intersectTriangle(large, ray, viaLarge));
    ASSERT_TRUE(intersectTriangle(small, ray, viaSmall));
    ASSERT_LT(viaSmall.distance, viaLarge.distance);

    HitRecord hit;
    hit.depth = 3;
    tree.findClosest(ray, hit);
    EXPECT_TRUE(sameHit(hit, viaSmall)) << hit;
    EXPECT_EQ(hit.depth, 3);
    // The blocker query sees it too, and only strictly before maxDistance.
    HitRecord blocker;
    EXPECT_TRUE(tree.findAny(ray, blocker, viaSmall.distance * 1.001f));
    EXPECT_LT(blocker.distance, viaSmall.distance * 1.001f);
    EXPECT_FALSE(tree.findAny(ray, blocker, viaSmall.distance));
}

TEST(KdTreeQuery, KeepsTheCallersNearerRecordAndItsDepth) {
    Mesh m;
    for (int i = 0; i < 20; ++i) addSmall(m, float(i), 0.f, 5.f);
    KdTree tree;
    tree.build(m.pointers(), 8);
    const Ray ray = makeRay(Vec3(3, 0, 10), Vec3(0, 0, -1));
    HitRecord hit;
    hit.hit = true;
    hit.distance = 5.f;  // the triangle is exactly as far: the caller's stays
    hit.depth = 2;
    tree.findClosest(ray, hit);
    EXPECT_EQ(hit.normal, Vec4());
    hit.distance = 5.5f;
    tree.findClosest(ray, hit);
    EXPECT_EQ(hit.distance, 5.f);
    EXPECT_FALSE(hit.normal == Vec4());
    EXPECT_EQ(hit.depth, 2);
}

TEST(KdTreeQuery, RaysWithNaNOrZeroDirectionsFindNothing) {
    Mesh m;
    for (int i = 0; i < 40; ++i) addSmall(m, float(i % 5), float(i / 5), 1.f);
    KdTree tree;
    tree.build(m.pointers(), 10);
    const float nan = std::nanf("");
    for (const Ray& ray :
         {makeRay(Vec3(1, 1, 0), Vec3(0, 0, 0)), makeRay(Vec3(1, 1, 0), Vec3(nan, 0, 1)),
          makeRay(Vec3(nan, 1, 0), Vec3(0, 0, 1))}) {
        HitRecord hit;
        tree.findClosest(ray, hit);
        EXPECT_FALSE(hit.hit);
        EXPECT_FALSE(tree.findAny(ray, hit, 100.f));
    }
}

namespace {

// --- Meshes and rays for the comparison with a full scan ---

void sphereMesh(Mesh& m, const Vec3& c, float r, int rings, int segments) {
    const float pi = 3.14159265f;
    auto point = [&](int i, int j) {
        const float theta = pi * float(i) / float(rings),
                    phi = 2.f * pi * float(j) / float(segments);
        return Vec3(c.x + r * std::sin(theta) * std::cos(phi), c.y + r * std::cos(theta),
                    c.z + r * std::sin(theta) * std::sin(phi));
    };
    for (int i = 0; i < rings; ++i) {
        for (int j = 0; j < segments; ++j) {
            const Vec3 a = point(i, j), b = point(i + 1, j), cc = point(i + 1, j + 1),
                       d = point(i, j + 1);
            if (i > 0) m.add(a, d, b);
            if (i < rings - 1) m.add(b, d, cc);
        }
    }
}

// A floor grid of size × size unit squares at z = 0, and a wall at x = 3 on
// the same integer coordinates, every face two-sided.
void gridMesh(Mesh& m, int size) {
    for (int i = 0; i < size; ++i) {
        for (int j = 0; j < size; ++j) {
            const float x = float(i), y = float(j);
            m.addTwoSided(Vec3(x, y, 0), Vec3(x + 1, y, 0), Vec3(x + 1, y + 1, 0));
            m.addTwoSided(Vec3(x, y, 0), Vec3(x + 1, y + 1, 0), Vec3(x, y + 1, 0));
            if (i < 6) m.addTwoSided(Vec3(3, x, y), Vec3(3, x + 1, y), Vec3(3, x, y + 1));
        }
    }
}

// A randomised set of meshes of different character.
struct Case {
    std::string name;
    Mesh mesh;
};

std::vector<Case> comparisonMeshes() {
    std::vector<Case> cases;
    std::mt19937 rng(12345);
    std::uniform_real_distribution<float> u(0.f, 1.f);
    auto randomPoint = [&](float scale) { return Vec3(u(rng), u(rng), u(rng)) * scale; };

    {  // Soup of triangles of mixed sizes, some two-sided, some repeated.
        Case c{"soup", Mesh(2000)};
        for (int i = 0; i < 700; ++i) {
            const Vec3 p = randomPoint(10.f);
            const float size = i % 10 == 0 ? 4.f : 0.8f;
            const Vec3 a = p + (randomPoint(2.f) - Vec3(1, 1, 1)) * size;
            const Vec3 b = p + (randomPoint(2.f) - Vec3(1, 1, 1)) * size;
            if (i % 3 == 0) {
                c.mesh.addTwoSided(p, a, b);
            } else {
                c.mesh.add(p, a, b);
            }
            if (i % 50 == 0) c.mesh.add(p, a, b);  // an exact repeat: equal distances
        }
        cases.push_back(std::move(c));
    }
    {  // Closed spheres: shared edges and vertices, poles where many meet.
        Case c{"spheres", Mesh(4000)};
        sphereMesh(c.mesh, Vec3(0, 0, 0), 3.f, 16, 32);
        sphereMesh(c.mesh, Vec3(4, 1, 2), 1.5f, 12, 24);
        cases.push_back(std::move(c));
    }
    for (int size : {5, 12}) {  // Axis-aligned grids on integer coordinates, both sides.
        Case c{"grids" + std::to_string(size), Mesh(3000)};
        gridMesh(c.mesh, size);
        cases.push_back(std::move(c));
    }
    {  // Long slivers crossing the whole box in every direction.
        Case c{"slivers", Mesh(1000)};
        for (int i = 0; i < 400; ++i) {
            const Vec3 a = randomPoint(20.f), b = randomPoint(20.f);
            c.mesh.addTwoSided(a, b, a + randomPoint(0.3f));
        }
        cases.push_back(std::move(c));
    }
    return cases;
}

// Splitting planes of every interior node: (axis, position).
std::vector<std::pair<int, float>> splitPlanes(const KdTree& tree) {
    std::vector<std::pair<int, float>> planes;
    for (const KdNode& n : tree.nodes()) {
        if (!n.isLeaf()) planes.push_back({n.axis(), n.split()});
    }
    return planes;
}

// Rays of nine kinds in turn, or of the given kinds only.
std::vector<Ray> comparisonRays(const Mesh& mesh, const KdTree& deepest, int count, unsigned seed,
                                const std::vector<int>& kinds = {}) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(0.f, 1.f);
    const BoundingBox& b = deepest.bounds();
    const auto planes = splitPlanes(deepest);
    auto pointAround = [&](float widen) {
        Vec3 p;
        float* c[3] = {&p.x, &p.y, &p.z};
        for (int a = 0; a < 3; ++a) {
            const float mid = 0.5f * (b.min[a] + b.max[a]), half = 0.5f * (b.max[a] - b.min[a]);
            *c[a] = mid + (2.f * u(rng) - 1.f) * half * widen;
        }
        return p;
    };
    auto randomDirection = [&]() {
        for (;;) {
            Vec3 d(2.f * u(rng) - 1.f, 2.f * u(rng) - 1.f, 2.f * u(rng) - 1.f);
            if (dot(d, d) > 0.01f && dot(d, d) <= 1.f) {
                d.normalize();
                return d;
            }
        }
    };
    auto pointOnTriangle = [&]() {
        const Triangle& t = mesh.triangles[size_t(u(rng) * float(mesh.triangles.size() - 1))];
        switch (int(u(rng) * 4.f)) {
            case 0:
                return t.v1;  // a vertex
            case 1:
                return (t.v0 + t.v2) * 0.5f;  // an edge
            default: {
                float s = u(rng), r = u(rng);
                if (s + r > 1.f) s = 1.f - s, r = 1.f - r;
                return t.v0 + t.edge1 * s + t.edge2 * r;
            }
        }
    };
    auto axisDirection = [&]() {
        Vec3 d;
        const int a = int(u(rng) * 3.f) % 3;
        const float sign = u(rng) < 0.5f ? -1.f : 1.f;
        (a == 0 ? d.x : a == 1 ? d.y : d.z) = sign;
        return d;
    };
    auto onPlane = [&](Vec3 p, int& axis) {
        if (planes.empty()) return p;
        const auto& [a, s] = planes[size_t(u(rng) * float(planes.size() - 1))];
        (a == 0 ? p.x : a == 1 ? p.y : p.z) = s;
        axis = a;
        return p;
    };

    std::vector<Ray> rays;
    while (int(rays.size()) < count) {
        const int kind = kinds.empty() ? int(rays.size()) % 9 : kinds[rays.size() % kinds.size()];
        Vec3 o, d;
        int axis = -1;
        switch (kind) {
            case 0:  // anywhere, inside or outside the box
                o = pointAround(1.6f);
                d = randomDirection();
                break;
            case 1:
            case 2: {  // aimed at a point of the mesh from anywhere
                o = kind == 1 ? pointAround(1.6f) : pointAround(0.9f);
                d = pointOnTriangle() - o;
                if (dot(d, d) == 0.f) continue;
                d.normalize();
                break;
            }
            case 3:  // parallel to an axis, through a point of the mesh
                d = axisDirection();
                o = pointOnTriangle() - d * (u(rng) * 30.f);
                break;
            case 4:  // from a split plane, aimed at the mesh
                o = onPlane(pointAround(1.2f), axis);
                d = pointOnTriangle() - o;
                if (dot(d, d) == 0.f) continue;
                d.normalize();
                break;
            case 5:  // from a split plane, in any direction
                o = onPlane(pointAround(1.f), axis);
                d = randomDirection();
                break;
            case 6: {  // lying in a split plane: no movement along its axis
                o = onPlane(pointAround(1.f), axis);
                d = randomDirection();
                if (axis >= 0) (axis == 0 ? d.x : axis == 1 ? d.y : d.z) = 0.f;
                if (dot(d, d) < 0.01f) continue;
                d.normalize();
                break;
            }
            case 7:  // parallel to an axis, from a split plane
                o = onPlane(pointAround(1.2f), axis);
                d = axisDirection();
                break;
            default: {  // at a mesh point moved onto a split plane: shared edges there
                Vec3 target = onPlane(pointOnTriangle(), axis);
                o = pointAround(1.6f);
                d = target - o;
                if (dot(d, d) == 0.f) continue;
                d.normalize();
                break;
            }
        }
        rays.push_back(makeRay(o, d));
    }
    return rays;
}

}  // namespace

TEST(KdTreeQuery, AgreesWithAScanOfEveryTriangle) {
    const int depths[] = {1, 4, 9, 16, 30};
    const int rayCount = 2400;
    for (Case& c : comparisonMeshes()) {
        const std::vector<const Triangle*> tris = c.mesh.pointers();
        std::vector<KdTree> trees(std::size(depths));
        for (size_t k = 0; k < trees.size(); ++k) {
            trees[k].build(tris, depths[k]);
            checkDistribution(trees[k], tris, depths[k]);
        }
        const std::vector<Ray> rays =
            comparisonRays(c.mesh, trees.back(), rayCount, unsigned(c.name.size()));
        std::mt19937 rng(99);
        std::uniform_real_distribution<float> u(0.f, 1.5f);
        int hits = 0, failures = 0;
        for (const Ray& ray : rays) {
            const HitRecord expected = scanClosest(tris, ray);
            hits += expected.hit;
            // Distances for the blocker query: exactly at the nearest hit (not
            // blocked), just beyond it, anywhere, and the far limit.
            const float near = expected.hit ? expected.distance : 10.f;
            const float limits[] = {near, std::nextafter(near, 1e9f), near * u(rng), 1e6f};
            for (size_t k = 0; k < trees.size() && failures < 5; ++k) {
                HitRecord got;
                trees[k].findClosest(ray, got);
                if (!sameHit(got, expected)) {
                    ++failures;
                    ADD_FAILURE() << c.name << " depth " << depths[k] << ' ' << ray
                                  << "\n  expected " << expected << " n=" << expected.normal
                                  << "\n  found    " << got << " n=" << got.normal;
                }
                for (float limit : limits) {
                    HitRecord blocker;
                    const bool blocked = trees[k].findAny(ray, blocker, limit);
                    const bool expectBlocked = expected.hit && expected.distance < limit;
                    if (blocked != expectBlocked || (blocked && !(blocker.distance < limit))) {
                        ++failures;
                        ADD_FAILURE()
                            << c.name << " depth " << depths[k] << ' ' << ray << " maxDistance "
                            << limit << ": blocked " << blocked << ", nearest " << expected;
                    }
                }
            }
        }
        EXPECT_EQ(failures, 0) << c.name;
        // The rays must actually meet the mesh often for the comparison to
        // mean anything.
    }
}

TEST(KdTreeQuery, MeshesOnSplitPlanesHaveNoHoles) {
    // Grids on integer coordinates meet planes that land exactly on their
    // faces and edges; rounding in the overlap test must not lose a face
    // there. Rays aimed at mesh points on the planes find what a scan finds.
    int failures = 0;
    for (int size = 3; size <= 16 && failures < 5; ++size) {
        Mesh m;
        gridMesh(m, size);
        const std::vector<const Triangle*> tris = m.pointers();
        KdTree tree;
        tree.build(tris, 16);
        const std::vector<Ray> rays = comparisonRays(m, tree, 900, unsigned(size), {4, 6, 8});
        for (const Ray& ray : rays) {
            const HitRecord expected = scanClosest(tris, ray);
            HitRecord hit;
            tree.findClosest(ray, hit);
            if (!sameHit(hit, expected) && ++failures <= 5)
                ADD_FAILURE() << "grid " << size << ' ' << ray << "\n  expected " << expected
                              << "\n  found    " << hit;
        }
    }
    EXPECT_EQ(failures, 0);
}

TEST(KdTreeQuery, RealModelsAgreeWithAScan) {
    // Packaged models that nobody here wrote, read as a scene would read them.
    const std::string dir = "/usr/share/assimp/models/OBJ/";
    for (const char* name : {"WusonOBJ.obj", "spider.obj"}) {
        const std::string path = dir + name;
        if (!std::filesystem::exists(path))
            GTEST_SKIP() << path << " is absent (package assimp-testmodels)";
        const std::vector<Triangle> filled = testing_files::readObjTriangles(path, &kMaterial);
        ASSERT_FALSE(filled.empty());
        Mesh m(filled.size());
        for (const Triangle& t : filled) m.add(t.v0, t.v1, t.v2);  // own normals: names each
        const std::vector<const Triangle*> tris = m.pointers();
        for (int depth : {12, 24}) {
            KdTree tree;
            tree.build(tris, depth);
            int hits = 0, failures = 0;
            for (const Ray& ray : comparisonRays(m, tree, 600, unsigned(depth))) {
                const HitRecord expected = scanClosest(tris, ray);
                hits += expected.hit;
                HitRecord hit;
                tree.findClosest(ray, hit);
                if (!sameHit(hit, expected) && ++failures <= 3)
                    ADD_FAILURE() << name << " depth " << depth << ' ' << ray << "\n  expected "
                                  << expected << "\n  found    " << hit;
            }
            EXPECT_EQ(failures, 0) << name;
            EXPECT_GT(hits, 200) << name;
        }
    }
}

TEST(KdTreeQuery, EveryMeshOfASceneStaysReachable) {
    Renderer& r = *Renderer::instance();
    r.reset();
    std::vector<Triangle> first, second;
    for (int i = 0; i < 20; ++i) {
        Triangle t(&kMaterial);
        t.v0 = Vec3(float(i), 0, 5);
        t.v1 = Vec3(float(i) + 0.5f, 0, 5);
        t.v2 = Vec3(float(i) + 0.25f, 0.5f, 5);
        t.n0 = t.n1 = t.n2 = Vec3(0, 0, -1);
        t.computeEdges();
        first.push_back(t);
        t.v0.y += 10.f, t.v1.y += 10.f, t.v2.y += 10.f;
        second.push_back(t);
    }
    r.addMesh(first, 6);
    r.addMesh(second, 6);
    for (float y : {0.2f, 10.2f}) {
        HitRecord hit;
        r.kdTree().findClosest(makeRay(Vec3(3.25f, y, 10), Vec3(0, 0, -1)), hit);
        EXPECT_TRUE(hit.hit) << "mesh at y " << y;
        EXPECT_EQ(hit.distance, 5.f);
    }
    r.reset();
}
