// make-mesh: writes a (p, q) torus knot as a Wavefront OBJ mesh for the
// example scenes: a tube around the knot curve with smooth per-vertex
// normals, every face wound counter-clockwise as seen from outside (the side
// a triangle is hit from), corners written as p/t/n.
//
//   make-mesh OUT.obj [--knot P Q] [--segments N] [--sides M]
//                     [--radius R] [--tube T] [--centre X Y Z]
//
// Radius, tube and centre are in scene units. Tresk scales OBJ positions by
// 1.5 when it reads them, so the file holds positions divided by 1.5: the
// knot lands where the options say.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr double kPi = 3.14159265358979323846;
// Tresk's scale of OBJ positions on reading.
constexpr double kObjVertexScale = 1.5;

struct D3 {
    double x, y, z;
};
D3 operator+(D3 a, D3 b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
D3 operator-(D3 a, D3 b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
D3 operator*(D3 a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double dot(D3 a, D3 b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
D3 cross(D3 a, D3 b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}
D3 unit(D3 a) { return a * (1.0 / std::sqrt(dot(a, a))); }

struct Knot {
    int p = 2, q = 3;
    double radius = 1.0;  // overall radius of the knot curve
    // Point on the curve at parameter u in [0, 2π), in the xy plane with a
    // little depth, overall radius about `radius`.
    D3 at(double u) const {
        const double r = (2.0 + std::cos(q * u)) / 3.0 * radius;
        return {r * std::cos(p * u), r * std::sin(p * u), -std::sin(q * u) / 3.0 * radius};
    }
};

int usage() {
    std::fprintf(stderr,
                 "usage: make-mesh OUT.obj [--knot P Q] [--segments N] [--sides M]\n"
                 "                 [--radius R] [--tube T] [--centre X Y Z]\n"
                 "  defaults: --knot 2 3 --segments 160 --sides 12 --radius 1 --tube 0.25\n"
                 "            --centre 0 0 0\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string out = argv[1];
    Knot knot;
    int segments = 160, sides = 12;
    double tube = 0.25;
    D3 centre{0, 0, 0};
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        auto more = [&](int n) { return i + n < argc; };
        if (a == "--knot" && more(2)) {
            knot.p = std::atoi(argv[++i]);
            knot.q = std::atoi(argv[++i]);
        } else if (a == "--segments" && more(1)) {
            segments = std::atoi(argv[++i]);
        } else if (a == "--sides" && more(1)) {
            sides = std::atoi(argv[++i]);
        } else if (a == "--radius" && more(1)) {
            knot.radius = std::atof(argv[++i]);
        } else if (a == "--tube" && more(1)) {
            tube = std::atof(argv[++i]);
        } else if (a == "--centre" && more(3)) {
            centre.x = std::atof(argv[++i]);
            centre.y = std::atof(argv[++i]);
            centre.z = std::atof(argv[++i]);
        } else {
            return usage();
        }
    }
    if (segments < 3 || sides < 3 || knot.p < 1 || knot.q < 1 || !(knot.radius > 0) || !(tube > 0))
        return usage();

    // Ring of `sides` vertices around the curve at every segment, in a frame
    // of the tangent T, a normal N towards the curve's bend and B = T × N.
    std::vector<D3> positions, normals;
    for (int s = 0; s < segments; ++s) {
        const double u = 2.0 * kPi * s / segments;
        const D3 p1 = knot.at(u);
        const D3 p2 = knot.at(u + 0.01);
        const D3 t = unit(p2 - p1);
        D3 n = p2 + p1;
        const D3 b = unit(cross(t, n));
        n = unit(cross(b, t));
        for (int k = 0; k < sides; ++k) {
            const double v = 2.0 * kPi * k / sides;
            const D3 dir = n * std::cos(v) + b * std::sin(v);
            positions.push_back(p1 + dir * tube);
            normals.push_back(dir);
        }
    }

    std::FILE* f = std::fopen((out + ".tmp").c_str(), "w");
    if (!f) {
        std::fprintf(stderr, "make-mesh: cannot create %s.tmp\n", out.c_str());
        return 1;
    }
    std::fprintf(f,
                 "# (%d, %d) torus knot, %d segments x %d sides, made by Tresk's tools/make-mesh.\n"
                 "# Positions are in scene units divided by 1.5 (Tresk scales them by 1.5).\n",
                 knot.p, knot.q, segments, sides);
    for (const D3& p : positions) {
        const D3 w = (p + centre) * (1.0 / kObjVertexScale);
        std::fprintf(f, "v %.5f %.5f %.5f\n", w.x, w.y, w.z);
    }
    // One texture coordinate: the materials use none, but every corner names one.
    std::fprintf(f, "vt 0 0 0\n");
    for (const D3& n : normals) std::fprintf(f, "vn %.4f %.4f %.4f\n", n.x, n.y, n.z);

    // Two triangles per quad of neighbouring rings, wound so that the
    // geometric normal agrees with the outward vertex normals.
    const auto index = [&](int s, int k) { return (s % segments) * sides + (k % sides); };
    int faces = 0;
    for (int s = 0; s < segments; ++s) {
        for (int k = 0; k < sides; ++k) {
            const int quad[4] = {index(s, k), index(s + 1, k), index(s + 1, k + 1),
                                 index(s, k + 1)};
            const int tris[2][3] = {{quad[0], quad[1], quad[2]}, {quad[0], quad[2], quad[3]}};
            for (const auto& tri : tris) {
                int a = tri[0], b = tri[1], c = tri[2];
                const D3 geometric =
                    cross(positions[b] - positions[a], positions[c] - positions[a]);
                if (dot(geometric, normals[a] + normals[b] + normals[c]) < 0) std::swap(b, c);
                std::fprintf(f, "f %d/1/%d %d/1/%d %d/1/%d\n", a + 1, a + 1, b + 1, b + 1, c + 1,
                             c + 1);
                ++faces;
            }
        }
    }
    const bool ok = std::fflush(f) == 0 && !std::ferror(f);
    std::fclose(f);
    if (!ok || std::rename((out + ".tmp").c_str(), out.c_str()) != 0) {
        std::fprintf(stderr, "make-mesh: cannot write %s\n", out.c_str());
        std::remove((out + ".tmp").c_str());
        return 1;
    }
    std::printf("make-mesh: wrote %s (%zu vertices, %d triangles)\n", out.c_str(), positions.size(),
                faces);
    return 0;
}
