// Measure 3: OBJ reading and kd-tree construction of large meshes.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "core/KdTree.h"
#include "render/Renderer.h"
#include "scene/ObjMeshReader.h"
#include "scene/SceneReader.h"

namespace bench {

// A sphere with a bumpy radius at the origin: rings × segments × 2 triangles.
void writeBumpySphere(const fs::path& path, int rings, int segments) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    const double pi = 3.14159265358979;
    for (int i = 0; i <= rings; ++i) {
        for (int j = 0; j < segments; ++j) {
            const double theta = pi * i / rings, phi = 2 * pi * j / segments;
            const double rad = 1.0 + 0.1 * std::sin(7 * theta) * std::cos(5 * phi);
            std::fprintf(f, "v %.6f %.6f %.6f\n", rad * std::sin(theta) * std::cos(phi),
                         rad * std::cos(theta), rad * std::sin(theta) * std::sin(phi));
        }
    }
    auto index = [&](int i, int j) { return i * segments + (j % segments) + 1; };
    for (int i = 0; i < rings; ++i) {
        for (int j = 0; j < segments; ++j) {
            std::fprintf(f, "f %d %d %d\n", index(i, j), index(i, j + 1), index(i + 1, j));
            std::fprintf(f, "f %d %d %d\n", index(i + 1, j), index(i, j + 1), index(i + 1, j + 1));
        }
    }
    std::fclose(f);
}

void writeObj(const fs::path& path, const std::vector<Triangle>& mesh) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    // The reader scales positions up; write them scaled down so the mesh
    // comes back at the size it has here.
    const float s = 1.f / ObjMeshReader::kVertexScale;
    for (const Triangle& t : mesh)
        for (const Vec3* v : {&t.v0, &t.v1, &t.v2})
            std::fprintf(f, "v %.7g %.7g %.7g\n", double(v->x * s), double(v->y * s),
                         double(v->z * s));
    for (const Triangle& t : mesh)
        for (const Vec3* n : {&t.n0, &t.n1, &t.n2})
            std::fprintf(f, "vn %.5g %.5g %.5g\n", double(n->x), double(n->y), double(n->z));
    for (size_t i = 0; i < mesh.size(); ++i)
        std::fprintf(f, "f %zu//%zu %zu//%zu %zu//%zu\n", 3 * i + 1, 3 * i + 1, 3 * i + 2,
                     3 * i + 2, 3 * i + 3, 3 * i + 3);
    std::fclose(f);
}

std::vector<std::vector<std::string>> measureLoading(const fs::path& work, bool quick) {
    struct MeshCase {
        std::string family, name;
        std::function<void(const fs::path&)> write;
    };
    std::vector<MeshCase> cases = {
        {"sphere", "bumpy sphere", [](const fs::path& p) { writeBumpySphere(p, 70, 72); }},
        {"sphere", "bumpy sphere", [](const fs::path& p) { writeBumpySphere(p, 220, 228); }},
        {"sphere", "bumpy sphere", [](const fs::path& p) { writeBumpySphere(p, 700, 715); }},
    };
    if (!quick && fs::exists(kBunny)) {
        cases.push_back({"bunny", "bunny scan", [](const fs::path& p) {
                             auto m = readObj(kBunny);
                             centre(m);
                             writeObj(p, m);
                         }});
        cases.push_back({"bunny", "bunny scan ×4", [](const fs::path& p) {
                             auto m = subdivide(readObj(kBunny));
                             centre(m);
                             writeObj(p, m);
                         }});
        cases.push_back({"bunny", "bunny scan ×16", [](const fs::path& p) {
                             auto m = subdivide(subdivide(readObj(kBunny)));
                             centre(m);
                             writeObj(p, m);
                         }});
    }
    std::vector<std::vector<std::string>> rows;
    std::map<std::string, std::pair<double, double>> previous;  // family -> (n, seconds)
    Renderer& r = *Renderer::instance();
    for (const MeshCase& c : cases) {
        const fs::path obj = work / "mesh.obj", scene = work / "scene.txt";
        c.write(obj);
        {
            std::ofstream s(scene);
            s << "0 1\n32 32\n32 32\n0 0 5\n1\n1\ndiffusephongmaterial 1 1 1\n1\n"
                 "trianglemesh mesh.obj 20 0\n1\nlamp 0 5 5 0 10 10 10 0\n";
        }
        std::vector<double> total, read, build;
        size_t triangles = 0;
        KdTreeStatistics stats;
        for (int rep = 0; rep < (quick ? 1 : 3); ++rep) {
            if (rep > 0 && triangles > 500000) break;  // one run of the largest is enough
            r.reset();
            std::string error;
            Diagnostics diagnostics;
            auto t0 = Clock::now();
            if (!readScene(r, scene.string(), error, diagnostics)) {
                std::fprintf(stderr, "%s\n", error.c_str());
                std::exit(1);
            }
            total.push_back(secondsSince(t0));
            r.reset();

            t0 = Clock::now();
            const std::vector<Triangle> mesh = readObj(obj.string());
            read.push_back(secondsSince(t0));
            triangles = mesh.size();
            KdTree tree;
            t0 = Clock::now();
            tree.build(pointers(mesh), 20);
            build.push_back(secondsSince(t0));
            stats = tree.statistics();
        }
        const double b = median(build);
        std::string growth = "-";
        if (auto p = previous.find(c.family); p != previous.end())
            growth = format("%.2f", std::log(b / p->second.second) /
                                        std::log(double(triangles) / p->second.first));
        previous[c.family] = {double(triangles), b};
        rows.push_back({c.name, format("%zu", triangles), format("%.3f", median(read)),
                        format("%.3f", b), format("%.3f", median(total)), growth,
                        format("%zu", stats.nodes), format("%zu", stats.leaves),
                        format("%.2f", stats.averageLeafSize()),
                        format("%.2f", stats.duplication()), format("%d", stats.maxDepth)});
        std::printf("  %s: %zu triangles, build %.3f s, load + build %.3f s\n", c.name.c_str(),
                    triangles, b, median(total));
        std::fflush(stdout);
    }
    return rows;
}

}  // namespace bench
