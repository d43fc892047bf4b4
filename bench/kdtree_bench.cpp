// Builds the kd-tree over large meshes and prints build time, the tree's
// shape and single-thread query rates, checked against a scan of every
// triangle on a sample of rays.
//
//   kdtree_bench [mesh.obj ...]
//
// Without arguments it uses synthetic meshes; OBJ files are read by the
// scene's OBJ reader (for instance /usr/share/glmark2/models/bunny.obj from
// the package glmark2-data, a 69,666-triangle scan).
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "core/KdTree.h"
#include "scene/ObjMeshReader.h"
#include "shading/DebugMaterial.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

const DebugMaterial kMaterial;

void addTriangle(std::vector<Triangle>& out, const Vec3& a, const Vec3& b, const Vec3& c) {
    Triangle t(&kMaterial);
    t.v0 = a;
    t.v1 = b;
    t.v2 = c;
    t.n0 = t.n1 = t.n2 = Vec3(0, 0, 1);
    t.computeEdges();
    out.push_back(t);
}

// Through the product's OBJ reader, so the mesh is what a scene would get.
bool loadObj(const std::string& path, std::vector<Triangle>& out) {
    std::ifstream in(path);
    ObjMeshReader reader;
    std::string error;
    if (!in || !reader.parse(in, path, error)) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return false;
    }
    reader.fillTriangles(out, &kMaterial);
    return true;
}

// A sphere with a bumpy radius, centred at c: rings × segments × 2 triangles.
std::vector<Triangle> bumpySphere(const Vec3& c, int rings, int segments) {
    std::vector<Triangle> out;
    const float pi = 3.14159265f;
    auto point = [&](int i, int j) {
        const float theta = pi * float(i) / float(rings),
                    phi = 2.f * pi * float(j) / float(segments);
        const float r = 1.f + 0.1f * std::sin(7.f * theta) * std::cos(5.f * phi);
        return Vec3(c.x + r * std::sin(theta) * std::cos(phi), c.y + r * std::cos(theta),
                    c.z + r * std::sin(theta) * std::sin(phi));
    };
    for (int i = 0; i < rings; ++i) {
        for (int j = 0; j < segments; ++j) {
            addTriangle(out, point(i, j), point(i, j + 1), point(i + 1, j));
            addTriangle(out, point(i + 1, j), point(i, j + 1), point(i + 1, j + 1));
        }
    }
    return out;
}

void report(const std::string& name, const std::vector<Triangle>& mesh) {
    std::vector<const Triangle*> tris;
    tris.reserve(mesh.size());
    for (const Triangle& t : mesh) tris.push_back(&t);
    std::printf("\n%s: %zu triangles\n", name.c_str(), tris.size());

    for (int depth : {12, 16, 20, 24}) {
        KdTree tree;
        const auto start = Clock::now();
        tree.build(tris, depth);
        const double buildSeconds = secondsSince(start);
        const KdTreeStatistics s = tree.statistics();
        const BoundingBox& b = tree.bounds();
        const float split = tree.nodes()[0].isLeaf() ? 0.f : tree.nodes()[0].split();
        std::printf(
            "  depth limit %2d: build %7.3f s | nodes %8zu, leaves %8zu, avg leaf %6.2f, largest "
            "%6zu, "
            "duplication %5.2f, max depth %2d | root split %g (box x %g..%g)\n",
            depth, buildSeconds, s.nodes, s.leaves, s.averageLeafSize(), s.largestLeaf,
            s.duplication(), s.maxDepth, double(split), double(b.min[0]), double(b.max[0]));

        // Rays from outside the box towards points inside it, like camera rays.
        std::mt19937 rng(1);
        std::uniform_real_distribution<float> u(0.f, 1.f);
        const Vec3 centre((b.min[0] + b.max[0]) * 0.5f, (b.min[1] + b.max[1]) * 0.5f,
                          (b.min[2] + b.max[2]) * 0.5f);
        const float size =
            std::max({b.max[0] - b.min[0], b.max[1] - b.min[1], b.max[2] - b.min[2]});
        const Vec3 eye = centre + Vec3(0.3f, 0.2f, 1.f) * (2.f * size);
        std::vector<Ray> rays;
        for (int i = 0; i < 200000; ++i) {
            Vec3 target(b.min[0] + u(rng) * (b.max[0] - b.min[0]),
                        b.min[1] + u(rng) * (b.max[1] - b.min[1]),
                        b.min[2] + u(rng) * (b.max[2] - b.min[2]));
            Vec3 d = target - eye;
            d.normalize();
            rays.push_back(Ray(Vec4(eye), Vec4(d)));
        }
        size_t hits = 0;
        auto t0 = Clock::now();
        for (const Ray& r : rays) {
            HitRecord h;
            tree.findClosest(r, h);
            hits += h.hit;
        }
        const double closestRate = double(rays.size()) / secondsSince(t0);
        size_t blocked = 0;
        t0 = Clock::now();
        for (const Ray& r : rays) {
            HitRecord h;
            blocked += tree.findAny(r, h, 2.f * size);
        }
        const double anyRate = double(rays.size()) / secondsSince(t0);

        // A sample against the scan of every triangle.
        int mismatches = 0;
        for (size_t i = 0; i < 100; ++i) {
            const Ray& r = rays[i * 997 % rays.size()];
            HitRecord expected, candidate, h;
            for (const Triangle* t : tris) {
                if (intersectTriangle(*t, r, candidate) && expected.distance > candidate.distance)
                    expected = candidate;
            }
            tree.findClosest(r, h);
            mismatches += !(h.hit == expected.hit && h.distance == expected.distance &&
                            h.position == expected.position);
        }
        std::printf(
            "                  closest %.2f Mrays/s (%.0f%% hit), any %.2f Mrays/s, "
            "scan mismatches %d/100\n",
            closestRate * 1e-6, 100.0 * double(hits) / double(rays.size()), anyRate * 1e-6,
            mismatches);
        (void)blocked;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1) {
        for (int i = 1; i < argc; ++i) {
            std::vector<Triangle> mesh;
            if (!loadObj(argv[i], mesh)) {
                std::fprintf(stderr, "cannot read %s\n", argv[i]);
                return 1;
            }
            report(argv[i], mesh);
        }
        return 0;
    }
    report("bumpy sphere at the origin", bumpySphere(Vec3(0, 0, 0), 200, 300));
    report("bumpy sphere off the origin", bumpySphere(Vec3(5, 5, 5), 300, 400));
    return 0;
}
