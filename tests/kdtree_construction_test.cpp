// The kd-tree's construction answers most overlap questions from the
// triangles' boxes and builds large nodes on several threads. Neither may
// change the tree: these tests build each mesh again with a plain
// transcription of the construction rules (every overlap through the
// separating-axis test, one thread) and require the same nodes, the same
// split bits and the same leaf lists in the same order.
#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <vector>

#include "core/KdTree.h"
#include "shading/DebugMaterial.h"
#include "tests/TestFiles.h"

namespace {

const DebugMaterial kMaterial;

Triangle makeTriangle(const Vec3& a, const Vec3& b, const Vec3& c) {
    Triangle t(&kMaterial);
    t.v0 = a, t.v1 = b, t.v2 = c;
    t.n0 = t.n1 = t.n2 = Vec3(0, 0, 1);
    t.computeEdges();
    return t;
}

struct RefNode {
    bool leaf = false;
    int axis = 0;
    float split = 0.f;
    bool hasLeft = false, hasRight = false;
    size_t rightChild = 0;
    std::vector<const Triangle*> triangles;
};

// The construction rules, written out plainly.
class ReferenceBuilder {
public:
    ReferenceBuilder(int depthLimit, float margin, size_t referenceBudget)
        : depthLimit_(depthLimit), margin_(margin), budget_(referenceBudget) {}

    void build(const BoundingBox& box, const std::vector<const Triangle*>& list, int level) {
        const size_t index = nodes.size();
        nodes.emplace_back();
        nodes[index].axis = level % 3;
        // Past the budget of references (counted in depth-first order) the
        // remaining nodes become leaves.
        if (level >= depthLimit_ || list.size() <= 12 || references_ >= budget_) {
            nodes[index].leaf = true;
            nodes[index].triangles = list;
            references_ += list.size();
            return;
        }
        const int axis = level % 3;
        const float lo = box.min[axis], extent = box.max[axis] - lo;
        // The cost starts where it started before it started at +infinity:
        // below 100,000 triangles every candidate costs less, so these trees
        // are also the trees of that former rule, node for node.
        float bestCost = 100000.f, bestSplit = 0.f, frac = 0.1f;
        for (int c = 0; c < 9; ++c, frac += 0.1f) {
            const float position = lo + frac * extent;
            size_t left = 0, right = 0;
            for (const Triangle* t : list) {
                left += overlaps(box.below(axis, position), *t);
                right += overlaps(box.above(axis, position), *t);
            }
            const float cost = frac * float(left) + (1.f - frac) * float(right);
            if (bestCost >= cost) {
                bestCost = cost;
                bestSplit = position;
            }
        }
        std::vector<const Triangle*> left, right;
        for (const Triangle* t : list) {
            if (overlaps(box.below(axis, bestSplit), *t)) left.push_back(t);
            if (overlaps(box.above(axis, bestSplit), *t)) right.push_back(t);
        }
        nodes[index].split = bestSplit;
        nodes[index].hasLeft = !left.empty();
        nodes[index].hasRight = !right.empty();
        if (!left.empty()) build(box.below(axis, bestSplit), left, level + 1);
        nodes[index].rightChild = nodes.size();
        if (!right.empty()) build(box.above(axis, bestSplit), right, level + 1);
    }

    std::vector<RefNode> nodes;

private:
    bool overlaps(const BoundingBox& box, const Triangle& t) const {
        const float v[9] = {t.v0.x, t.v0.y, t.v0.z, t.v1.x, t.v1.y, t.v1.z, t.v2.x, t.v2.y, t.v2.z};
        return triangleBoxOverlap(box.widened(margin_), v);
    }

    int depthLimit_;
    float margin_;
    size_t budget_;
    size_t references_ = 0;
};

uint32_t bitsOf(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

void expectSameTree(const std::vector<Triangle>& mesh, int depthLimit) {
    std::vector<const Triangle*> tris;
    for (const Triangle& t : mesh) tris.push_back(&t);
    KdTree tree;
    tree.build(tris, depthLimit);
    const size_t budget = std::max<size_t>(65536, 32 * mesh.size());
    ReferenceBuilder reference(depthLimit, tree.overlapMargin(), budget);
    reference.build(KdTree::computeBounds(tris), tris, 0);

    ASSERT_EQ(tree.nodes().size(), reference.nodes.size());
    size_t interior = 0;
    for (size_t i = 0; i < reference.nodes.size(); ++i) {
        const KdNode& n = tree.nodes()[i];
        const RefNode& r = reference.nodes[i];
        ASSERT_EQ(n.isLeaf(), r.leaf) << "node " << i;
        if (r.leaf) {
            ASSERT_EQ(n.primitiveCount(), r.triangles.size()) << "leaf " << i;
            for (uint32_t k = 0; k < n.primitiveCount(); ++k)
                ASSERT_EQ(tree.leafTriangle(n, k), r.triangles[k])
                    << "leaf " << i << " entry " << k;
            continue;
        }
        ++interior;
        ASSERT_EQ(n.axis(), r.axis) << "node " << i;
        ASSERT_EQ(bitsOf(n.split()), bitsOf(r.split)) << "node " << i;
        ASSERT_EQ(n.hasLeft(), r.hasLeft) << "node " << i;
        ASSERT_EQ(n.hasRight(), r.hasRight) << "node " << i;
        if (r.hasRight) {
            ASSERT_EQ(n.rightChild(), r.rightChild) << "node " << i;
        }
    }
    EXPECT_GT(interior, 0u);
}

// Random triangles of every awkward kind: tiny, long slivers, zero area,
// lying in axis planes, sharing the coordinates that candidate planes of a
// unit box fall on, and ordinary ones.
std::vector<Triangle> awkwardSoup(size_t count, float scale, const Vec3& offset, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> u(-1.f, 1.f);
    std::uniform_int_distribution<int> kind(0, 5), grid(-10, 10);
    std::vector<Triangle> out;
    auto point = [&] { return Vec3(u(rng), u(rng), u(rng)); };
    auto place = [&](const Vec3& p) { return p * scale + offset; };
    while (out.size() < count) {
        const Vec3 a = point();
        Vec3 b, c;
        switch (kind(rng)) {
            case 0:  // small
                b = a + point() * 0.02f;
                c = a + point() * 0.02f;
                break;
            case 1:  // sliver
                b = a + point() * 0.5f;
                c = b + point() * 1e-5f;
                break;
            case 2:  // zero area
                b = a + point() * 0.1f;
                c = a + (b - a) * 0.5f;
                break;
            case 3: {  // in an axis plane at a grid coordinate
                const float z = float(grid(rng)) * 0.1f;
                b = Vec3(a.x + 0.1f * u(rng), a.y + 0.1f * u(rng), z);
                c = Vec3(a.x + 0.1f * u(rng), a.y + 0.1f * u(rng), z);
                out.push_back(makeTriangle(place(Vec3(a.x, a.y, z)), place(b), place(c)));
                continue;
            }
            case 4:  // vertices on grid coordinates
                b = Vec3(float(grid(rng)) * 0.1f, a.y, float(grid(rng)) * 0.1f);
                c = Vec3(a.x, float(grid(rng)) * 0.1f, a.z);
                break;
            default:  // ordinary
                b = a + point() * 0.2f;
                c = a + point() * 0.2f;
                break;
        }
        out.push_back(makeTriangle(place(a), place(b), place(c)));
    }
    return out;
}

// The construction's quick answers, straight against the full test, on
// triangles made to lie close to the box's faces: vertices just inside or
// just outside a face by a few times the quick answers' tolerance, thin
// slivers, and triangles at many scales and far from the origin.
TEST(KdTreeConstruction, QuickOverlapAnswersAreTheFullTestsAnswers) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> unit(0.f, 1.f), sym(-1.f, 1.f);
    const float scales[] = {0.01f, 1.f, 3.f, 250.f, 40000.f};
    size_t certain[2] = {}, cases = 0;
    for (int i = 0; i < 200000; ++i) {
        const float s = scales[i % 5];
        BoundingBox box;
        for (int a = 0; a < 3; ++a) {
            const float c = sym(rng) * 0.5f * s;
            const float h = s * (i % 3 == 0 ? 1e-4f : 0.02f + 0.3f * unit(rng));
            box.min[a] = c - h;
            box.max[a] = c + h;
        }
        float largest = 0.f;
        for (int a = 0; a < 3; ++a) largest = std::max(largest, 0.5f * (box.max[a] - box.min[a]));
        const float tol = (s + largest) / 65536.f;
        float v[9];
        for (int k = 0; k < 3; ++k) {
            for (int a = 0; a < 3; ++a) {
                float c;
                switch ((i + k * 7 + a * 3) % 5) {
                    case 4: {  // a few units in the last place from a face
                        c = (i & 1) ? box.min[a] : box.max[a];
                        const float toward = sym(rng) > 0.f ? 1e30f : -1e30f;
                        for (int step = int(unit(rng) * 4.f); step > 0; --step)
                            c = std::nextafter(c, toward);
                        break;
                    }
                    case 0:  // near the lower face
                        c = box.min[a] + sym(rng) * 3.f * tol;
                        break;
                    case 1:  // near the upper face
                        c = box.max[a] + sym(rng) * 3.f * tol;
                        break;
                    case 2:  // anywhere in or around the box
                        c = box.min[a] + (box.max[a] - box.min[a]) * (1.4f * unit(rng) - 0.2f);
                        break;
                    default:  // within a few tolerances of the previous vertex: slivers
                        c = k > 0 ? v[3 * (k - 1) + a] + sym(rng) * 4.f * tol : box.min[a];
                        break;
                }
                v[3 * k + a] = c;
            }
        }
        if (i % 4 == 3) {
            // Moved to just beyond the lower face along one axis (or onto it).
            const int a = (i / 4) % 3;
            const float hi = std::max({v[a], v[3 + a], v[6 + a]});
            const float shift = box.min[a] - hi - unit(rng) * 3.f * tol;
            for (int k = 0; k < 3; ++k) v[3 * k + a] += shift;
        }
        float scale = 0.f;
        for (float c : v) scale = std::max(scale, std::fabs(c));
        for (int a = 0; a < 3; ++a)
            scale = std::max({scale, std::fabs(box.min[a]), std::fabs(box.max[a])});
        const int quick = certainTriangleBoxOverlap(box, v, scale);
        ++cases;
        if (quick < 0) continue;
        ++certain[quick];
        ASSERT_EQ(quick == 1, triangleBoxOverlap(box, v))
            << "case " << i << ": box " << box << ", vertices " << v[0] << ' ' << v[1] << ' '
            << v[2] << ' ' << v[3] << ' ' << v[4] << ' ' << v[5] << ' ' << v[6] << ' ' << v[7]
            << ' ' << v[8];
    }
    // Many cases get a quick answer either way, so the comparison means
    // something.
    EXPECT_GT(certain[0], cases / 100);
    EXPECT_GT(certain[1], cases / 100);
}

TEST(KdTreeConstruction, SameTreeAsThePlainRulesOnAwkwardTriangles) {
    expectSameTree(awkwardSoup(3000, 1.f, Vec3(0, 0, 0), 1), 20);
    expectSameTree(awkwardSoup(3000, 7.f, Vec3(0.3f, -0.2f, 0.1f), 2), 16);
    // Far from the origin, so rounding is coarse against the mesh's size.
    expectSameTree(awkwardSoup(2000, 0.5f, Vec3(900.f, -700.f, 300.f), 3), 20);
    // Small coordinates, where the quick answers are not used at all.
    expectSameTree(awkwardSoup(2000, 0.001f, Vec3(0, 0, 0), 4), 20);
}

TEST(KdTreeConstruction, SameTreeWhenTheReferenceBudgetRunsOut) {
    // Large triangles that overlap every split plane go down both sides at
    // every level, so the leaves run through the budget of 65536 references
    // long before the depth limit, and the rest of the tree is leaves.
    const std::string path =
        std::string(TRESK_SOURCE_DIR) + "/tests/fuzz/regressions/obj/overlapping-fan-deep-tree.obj";
    std::vector<Triangle> mesh = testing_files::readObjTriangles(path, &kMaterial);
    ASSERT_FALSE(mesh.empty());
    std::vector<const Triangle*> tris;
    for (const Triangle& t : mesh) tris.push_back(&t);
    KdTree tree;
    tree.build(tris, 16);
    const KdTreeStatistics stats = tree.statistics();
    EXPECT_GE(stats.references, 65536u);
    EXPECT_LT(stats.references, 65536u + 2 * mesh.size());
    expectSameTree(mesh, 16);
}

TEST(KdTreeConstruction, SameTreeOnSeveralThreadsAndOnOne) {
    // Large enough for the parallel split and the parallel count.
    const std::vector<Triangle> mesh = awkwardSoup(9000, 2.f, Vec3(0, 0, 0), 5);
    expectSameTree(mesh, 12);
    std::vector<const Triangle*> tris;
    for (const Triangle& t : mesh) tris.push_back(&t);
    KdTree parallel, serial;
    parallel.build(tris, 12);
    {
        tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
        serial.build(tris, 12);
    }
    ASSERT_EQ(parallel.nodes().size(), serial.nodes().size());
    EXPECT_EQ(0, std::memcmp(parallel.nodes().data(), serial.nodes().data(),
                             parallel.nodes().size() * sizeof(KdNode)));
}

TEST(KdTreeConstruction, SameTreeOnARealScan) {
    const char* path = "/usr/share/glmark2/models/bunny.obj";
    if (!std::filesystem::exists(path))
        GTEST_SKIP() << path << " is missing (package glmark2-data)";
    std::vector<Triangle> mesh = testing_files::readObjTriangles(path, &kMaterial);
    ASSERT_FALSE(mesh.empty());
    mesh.erase(mesh.begin() + 12000, mesh.end());  // a part, to keep the plain build quick
    expectSameTree(mesh, 20);
}

}  // namespace
