// Tresk's performance figures in one run, side by side with an outside
// reference where there is one:
//
//   1. queries  closest-hit and shadow rays through the kd-tree against
//               Embree's rtcIntersect1 / rtcOccluded1 on the same rays of a
//               real scan (the Stanford bunny of glmark2-data, each triangle
//               cut into four), one thread, with the agreement of the answers;
//   2. frames   every bundled example at both sizes, a fresh frame and a
//               progressive pass, on 1 and 2 threads;
//   3. loading  OBJ reading and kd-tree construction for meshes of about
//               10,000, 100,000 and 1,000,000 triangles.
//
//   tresk_bench [--only queries|frames|loading] [--record LABEL] [--quick]
//
// Prints a table per measure. With --record LABEL the figures are kept in
// bench/results.tsv under that label (replacing an earlier run of the same
// label and measure) and bench/RESULTS.md is written anew from every
// recorded run, with the machine each ran on. --report only rewrites
// RESULTS.md. Embree is used here only; the product never links it.
#include <embree3/rtcore.h>
#include <sys/utsname.h>
#include <tbb/global_control.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#endif

#include "core/KdTree.h"
#include "render/Renderer.h"
#include "scene/ObjMeshReader.h"
#include "shading/DebugMaterial.h"

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

// The project folder: examples and results; --source overrides it, so that
// a build of older code can record into this tree.
std::string kSourceDir = TRESK_SOURCE_DIR;
const char* const kBunny = "/usr/share/glmark2/models/bunny.obj";
const DebugMaterial kMaterial;

// --- Results: one table per measure, rows keyed by label -----------------------

// A measure's rows: the label of the run, then the row's cells.
struct Table {
    std::string title;
    std::string note;
    std::vector<std::string> columns;  // without the leading "change" column
    std::vector<std::vector<std::string>> rows;
};

Table gQueries{"1. Closest-hit and shadow rays, one thread",
               "Primary rays of a 640 × 480 view of the bunny scan (glmark2-data, 69,666 "
               "triangles, each cut into four: 278,664), and from every hit a shadow ray to a "
               "point light. Tresk: `KdTree::findClosest` / `findAny` (depth limit 20); Embree: "
               "`rtcIntersect1` / `rtcOccluded1` (its default BVH). Median of several runs. "
               "Agreement: rays for which both say hit or both say miss, with Embree held to "
               "Tresk's rule for triangles (front faces only, 0 < t < 1000) through a filter "
               "function in a separate check pass; the timed Embree runs have no filter.",
               {"ray kind", "rays", "Tresk Mrays/s", "Embree Mrays/s", "Tresk / Embree",
                "hit agreement", "same distance"},
               {}};
Table gFrames{
    "2. Whole frames",
    "Each bundled example read through `Renderer::readScene`; per size a fresh frame "
    "(`render` after a reset) and a progressive pass (`renderProgressive`); median "
    "milliseconds of several passes; rays per second from `Renderer::raysTraced()`. "
    "\"direct light\" is the showcase with its GI sample count set to 0. Cores busy: "
    "process CPU time over wall time during the 2-thread passes (2.00 when both threads "
    "ran all the time; less when other work on the machine held a core). CPU time per "
    "ray, 2 vs 1 thread: above 1.00 when threads slow each other down (shared "
    "counters, memory); the speed-up that the code itself allows is about cores busy "
    "divided by this.",
    {"example", "size", "pass", "ms, 1 thread", "ms, 2 threads", "Mrays/s, 1 thread",
     "Mrays/s, 2 threads", "speed-up", "cores busy, 2 threads", "CPU time per ray, 2 vs 1 thread"},
    {}};
Table gLoading{"3. Loading",
               "OBJ file written to a temporary folder, then read and built through "
               "`Renderer::readScene` with depth limit 20 (total), and separately the OBJ reader "
               "alone and `KdTree::build` alone on the same triangles. Growth: exponent k in "
               "time ∝ n^k between this mesh and the previous one of the same family.",
               {"mesh", "triangles", "OBJ read s", "build s", "load + build s", "growth k", "nodes",
                "leaves", "avg leaf", "duplication", "max depth"},
               {}};
Table gCallgrind{"4. Instructions per query (callgrind)",
                 "Instruction counts from `valgrind --tool=callgrind` on the query loops only "
                 "(`bench/callgrind.sh`), independent of the machine's load: the A/B figure for "
                 "changes to the queries.",
                 {"query", "rays", "instructions per ray"},
                 {}};

struct RunInfo {
    std::string label, date, machine, load, command;
};
std::vector<RunInfo> gRuns;

std::vector<std::string> split(const std::string& line, char sep) {
    std::vector<std::string> out;
    std::string cell;
    std::istringstream in(line);
    while (std::getline(in, cell, sep)) out.push_back(cell);
    if (!line.empty() && line.back() == sep) out.push_back("");
    return out;
}

Table* tableNamed(const std::string& name) {
    if (name == "queries") return &gQueries;
    if (name == "frames") return &gFrames;
    if (name == "loading") return &gLoading;
    if (name == "callgrind") return &gCallgrind;
    return nullptr;
}

std::string resultsFile() { return kSourceDir + "/bench/results.tsv"; }

void loadResults() {
    std::ifstream in(resultsFile());
    std::string line;
    while (std::getline(in, line)) {
        const auto cells = split(line, '\t');
        if (cells.size() < 2) continue;
        if (cells[0] == "run" && cells.size() >= 6) {
            gRuns.push_back({cells[1], cells[2], cells[3], cells[4], cells[5]});
        } else if (Table* t = tableNamed(cells[0])) {
            t->rows.emplace_back(cells.begin() + 1, cells.end());
        }
    }
}

void saveResults() {
    std::ofstream out(resultsFile());
    for (const RunInfo& r : gRuns)
        out << "run\t" << r.label << '\t' << r.date << '\t' << r.machine << '\t' << r.load << '\t'
            << r.command << '\n';
    for (const char* name : {"queries", "frames", "loading", "callgrind"}) {
        for (const auto& row : tableNamed(name)->rows) {
            out << name;
            for (const auto& c : row) out << '\t' << c;
            out << '\n';
        }
    }
}

// Replaces the rows of label in t by rows (kept at the place of the first
// old row, else appended).
void recordRows(Table& t, const std::string& label,
                const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::vector<std::string>> kept;
    bool placed = false;
    for (const auto& row : t.rows) {
        if (!row.empty() && row[0] == label) {
            if (!placed) {
                for (const auto& r : rows) {
                    std::vector<std::string> full{label};
                    full.insert(full.end(), r.begin(), r.end());
                    kept.push_back(full);
                }
                placed = true;
            }
            continue;
        }
        kept.push_back(row);
    }
    if (!placed) {
        for (const auto& r : rows) {
            std::vector<std::string> full{label};
            full.insert(full.end(), r.begin(), r.end());
            kept.push_back(full);
        }
    }
    t.rows = kept;
}

void writeMarkdownTable(std::ostream& out, const Table& t) {
    out << "## " << t.title << "\n\n" << t.note << "\n\n| change |";
    for (const auto& c : t.columns) out << ' ' << c << " |";
    out << "\n|---|";
    for (size_t i = 0; i < t.columns.size(); ++i) out << "---:|";
    out << '\n';
    for (const auto& row : t.rows) {
        out << '|';
        for (size_t i = 0; i < t.columns.size() + 1; ++i)
            out << ' ' << (i < row.size() ? row[i] : "") << " |";
        out << '\n';
    }
    out << '\n';
}

void writeReport() {
    std::ofstream out(kSourceDir + "/bench/RESULTS.md");
    out << "# Tresk benchmark results\n\n"
           "Written by `tresk_bench` from `bench/results.tsv`; do not edit by hand. To "
           "reproduce a row:\n\n"
           "    cmake -S . -B build -G Ninja -DTRESK_BUILD_BENCH=ON && ninja -C build tresk_bench\n"
           "    ./build/bench/tresk_bench --record LABEL\n\n"
           "(`--only queries|frames|loading` runs one measure; `bench/callgrind.sh LABEL` adds "
           "the instruction counts of table 4.) Each change is one row group, in the order the "
           "changes were made; the first is the code before any of them. The machine is shared "
           "with other work, so wall-clock figures carry noise of tens of per cent: the load "
           "average at the time of each run is listed below, and table 4 gives the "
           "load-independent A/B figure for the kd-tree queries.\n\n";
    // The hand-written reading of the figures, when there is one.
    std::ifstream notes(kSourceDir + "/bench/NOTES.md");
    if (notes) out << notes.rdbuf() << "\n";
    out << "## Runs\n\n| change | date | machine | load average (start → end) | command |\n"
           "|---|---|---|---|---|\n";
    for (const RunInfo& r : gRuns)
        out << "| " << r.label << " | " << r.date << " | " << r.machine << " | " << r.load << " | `"
            << r.command << "` |\n";
    out << '\n';
    for (const Table* t : {&gQueries, &gFrames, &gLoading, &gCallgrind})
        if (!t->rows.empty()) writeMarkdownTable(out, *t);
}

void printTable(const Table& t, const std::vector<std::vector<std::string>>& rows) {
    std::printf("\n%s\n", t.title.c_str());
    std::vector<size_t> width;
    for (const auto& c : t.columns) width.push_back(c.size());
    for (const auto& r : rows)
        for (size_t i = 0; i < r.size() && i < width.size(); ++i)
            width[i] = std::max(width[i], r[i].size());
    auto line = [&](const std::vector<std::string>& cells) {
        for (size_t i = 0; i < width.size(); ++i)
            std::printf("%s%*s", i ? "  " : "  ", int(width[i]),
                        i < cells.size() ? cells[i].c_str() : "");
        std::printf("\n");
    };
    line(t.columns);
    for (const auto& r : rows) line(r);
    std::fflush(stdout);
}

// --- Machine ---------------------------------------------------------------------

std::string firstLineWith(const char* path, const char* key) {
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return line;
    return "";
}

std::string machineDescription() {
    std::string cpu = firstLineWith("/proc/cpuinfo", "model name");
    if (auto p = cpu.find(':'); p != std::string::npos) cpu = cpu.substr(p + 2);
    std::string mem = firstLineWith("/proc/meminfo", "MemTotal");
    long kb = 0;
    std::sscanf(mem.c_str(), "MemTotal: %ld", &kb);
    utsname u{};
    uname(&u);
    return format("%s, %ld cores, %.0f GiB, Linux %s, GCC %s", cpu.c_str(),
                  sysconf(_SC_NPROCESSORS_ONLN), double(kb) / (1024.0 * 1024.0), u.release,
                  __VERSION__);
}

std::string loadAverage() {
    std::ifstream in("/proc/loadavg");
    double one = 0;
    in >> one;
    return format("%.2f", one);
}

// --- Meshes ------------------------------------------------------------------------

std::vector<Triangle> readObj(const std::string& path) {
    std::vector<Triangle> out;
    std::ifstream in(path);
    ObjMeshReader reader;
    std::string error;
    if (!in || !reader.parse(in, path, error)) {
        std::fprintf(stderr, "cannot read %s: %s\n", path.c_str(), error.c_str());
        std::exit(1);
    }
    reader.fillTriangles(out, &kMaterial);
    return out;
}

Triangle makeTriangle(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& na, const Vec3& nb,
                      const Vec3& nc) {
    Triangle t(&kMaterial);
    t.v0 = a, t.v1 = b, t.v2 = c;
    t.n0 = na, t.n1 = nb, t.n2 = nc;
    t.computeEdges();
    return t;
}

// Each triangle into four through its edge midpoints, keeping the winding.
std::vector<Triangle> subdivide(const std::vector<Triangle>& in) {
    std::vector<Triangle> out;
    out.reserve(in.size() * 4);
    for (const Triangle& t : in) {
        const Vec3 m01 = (t.v0 + t.v1) * 0.5f, m12 = (t.v1 + t.v2) * 0.5f,
                   m20 = (t.v2 + t.v0) * 0.5f;
        const Vec3 n01 = (t.n0 + t.n1) * 0.5f, n12 = (t.n1 + t.n2) * 0.5f,
                   n20 = (t.n2 + t.n0) * 0.5f;
        out.push_back(makeTriangle(t.v0, m01, m20, t.n0, n01, n20));
        out.push_back(makeTriangle(m01, t.v1, m12, n01, t.n1, n12));
        out.push_back(makeTriangle(m20, m12, t.v2, n20, n12, t.n2));
        out.push_back(makeTriangle(m01, m12, m20, n01, n12, n20));
    }
    return out;
}

// Moves the mesh so that its box is centred on the origin.
void centre(std::vector<Triangle>& mesh) {
    const BoundingBox b = KdTree::computeBounds([&] {
        std::vector<const Triangle*> p;
        for (const Triangle& t : mesh) p.push_back(&t);
        return p;
    }());
    const Vec3 c((b.min[0] + b.max[0]) * 0.5f, (b.min[1] + b.max[1]) * 0.5f,
                 (b.min[2] + b.max[2]) * 0.5f);
    for (Triangle& t : mesh) {
        t.v0 = t.v0 - c, t.v1 = t.v1 - c, t.v2 = t.v2 - c;
        t.computeEdges();
    }
}

std::vector<const Triangle*> pointers(const std::vector<Triangle>& mesh) {
    std::vector<const Triangle*> p;
    p.reserve(mesh.size());
    for (const Triangle& t : mesh) p.push_back(&t);
    return p;
}

// --- 1. Queries ----------------------------------------------------------------------

struct EmbreeScene {
    RTCDevice device = nullptr;
    RTCScene scene = nullptr;
    ~EmbreeScene() {
        if (scene) rtcReleaseScene(scene);
        if (device) rtcReleaseDevice(device);
    }
};

const std::vector<Triangle>* gFilterMesh = nullptr;

// Holds Embree to Tresk's rule for triangles: only hits with det above the
// triangle's minimum (front faces) count, and only below the far limit.
void tresksRule(const RTCFilterFunctionNArguments* args) {
    if (!args->valid[0]) return;
    const unsigned prim = RTCHitN_primID(args->hit, args->N, 0);
    const Triangle& t = (*gFilterMesh)[prim];
    const Vec3 d(RTCRayN_dir_x(args->ray, args->N, 0), RTCRayN_dir_y(args->ray, args->N, 0),
                 RTCRayN_dir_z(args->ray, args->N, 0));
    const float det = dot(cross(d, t.edge2), t.edge1);
    const float tHit = RTCRayN_tfar(args->ray, args->N, 0);
    if (!(det > t.minDet) || !(tHit < triangle_detail::kFarLimit) || !(tHit > 0.f))
        args->valid[0] = 0;
}

void makeEmbree(EmbreeScene& e, const std::vector<Triangle>& mesh, bool filtered) {
    e.device = rtcNewDevice(nullptr);
    e.scene = rtcNewScene(e.device);
    RTCGeometry g = rtcNewGeometry(e.device, RTC_GEOMETRY_TYPE_TRIANGLE);
    auto* v = static_cast<float*>(rtcSetNewGeometryBuffer(
        g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 3 * sizeof(float), 3 * mesh.size()));
    auto* idx = static_cast<unsigned*>(rtcSetNewGeometryBuffer(
        g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 3 * sizeof(unsigned), mesh.size()));
    for (size_t i = 0; i < mesh.size(); ++i) {
        const Vec3* corners[3] = {&mesh[i].v0, &mesh[i].v1, &mesh[i].v2};
        for (int c = 0; c < 3; ++c) {
            v[9 * i + 3 * c] = corners[c]->x;
            v[9 * i + 3 * c + 1] = corners[c]->y;
            v[9 * i + 3 * c + 2] = corners[c]->z;
            idx[3 * i + c] = unsigned(3 * i + c);
        }
    }
    if (filtered) {
        rtcSetGeometryIntersectFilterFunction(g, tresksRule);
        rtcSetGeometryOccludedFilterFunction(g, tresksRule);
    }
    rtcCommitGeometry(g);
    rtcAttachGeometry(e.scene, g);
    rtcReleaseGeometry(g);
    rtcCommitScene(e.scene);
}

RTCRayHit embreeRay(const Ray& r, float tfar) {
    RTCRayHit rh{};
    rh.ray.org_x = r.origin.x, rh.ray.org_y = r.origin.y, rh.ray.org_z = r.origin.z;
    rh.ray.dir_x = r.direction.x, rh.ray.dir_y = r.direction.y, rh.ray.dir_z = r.direction.z;
    rh.ray.tnear = 0.f;
    rh.ray.tfar = tfar;
    rh.ray.mask = ~0u;
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    return rh;
}

// Kept out of line so that callgrind can count them alone.
__attribute__((noinline)) size_t runClosestQueries(const KdTree& tree, const std::vector<Ray>& rays,
                                                   std::vector<float>* distances) {
    size_t hits = 0;
    for (size_t i = 0; i < rays.size(); ++i) {
        HitRecord h;
        tree.findClosest(rays[i], h);
        hits += h.hit;
        if (distances) (*distances)[i] = h.hit ? h.distance : -1.f;
    }
    return hits;
}

__attribute__((noinline)) size_t runShadowQueries(const KdTree& tree, const std::vector<Ray>& rays,
                                                  const std::vector<float>& maxDistance,
                                                  std::vector<char>* blocked) {
    size_t count = 0;
    for (size_t i = 0; i < rays.size(); ++i) {
        HitRecord h;
        const bool b = tree.findAny(rays[i], h, maxDistance[i]);
        count += b;
        if (blocked) (*blocked)[i] = b;
    }
    return count;
}

size_t embreeClosest(RTCScene scene, const std::vector<Ray>& rays, std::vector<float>* distances) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    size_t hits = 0;
    for (size_t i = 0; i < rays.size(); ++i) {
        RTCRayHit rh = embreeRay(rays[i], triangle_detail::kFarLimit);
        rtcIntersect1(scene, &context, &rh);
        const bool hit = rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
        hits += hit;
        if (distances) (*distances)[i] = hit ? rh.ray.tfar : -1.f;
    }
    return hits;
}

size_t embreeOccluded(RTCScene scene, const std::vector<Ray>& rays,
                      const std::vector<float>& maxDistance, std::vector<char>* blocked) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    size_t count = 0;
    for (size_t i = 0; i < rays.size(); ++i) {
        RTCRayHit rh = embreeRay(rays[i], maxDistance[i]);
        rtcOccluded1(scene, &context, &rh.ray);
        const bool b = rh.ray.tfar < 0.f;  // -inf when occluded
        count += b;
        if (blocked) (*blocked)[i] = b;
    }
    return count;
}

// Median rays per second of fn over repeats, at least minSeconds in all.
double raysPerSecond(size_t rayCount, int repeats, const std::function<void()>& fn) {
    std::vector<double> rates;
    for (int i = 0; i < repeats; ++i) {
        const auto start = Clock::now();
        fn();
        rates.push_back(double(rayCount) / secondsSince(start));
    }
    return median(rates);
}

struct QueryRays {
    std::vector<Ray> primary;
    std::vector<Ray> shadow;
    std::vector<float> shadowDistance;
};

// Primary rays of a width × height view with Tresk's 80-degree image plane
// (no jitter), from an eye in front of the mesh; shadow rays from every
// closest hit towards a point light, started 0.002 towards the light as the
// materials do.
QueryRays makeRays(const KdTree& tree, int width, int height) {
    QueryRays q;
    const float planeZ = float(-1.0 / std::tan(0.69813144));
    const Vec4 eye(0.f, 0.f, 2.2f);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            Vec3 d((float(x) - 0.5f * float(width)) * 2.f / float(width),
                   (float(y) - 0.5f * float(height)) * 2.f / float(height) * float(height) /
                       float(width),
                   planeZ);
            d.normalize();
            q.primary.emplace_back(eye, Vec4(d));
        }
    }
    const Vec4 light(-5.f, 3.f, -2.f);
    for (const Ray& r : q.primary) {
        HitRecord h;
        tree.findClosest(r, h);
        if (!h.hit) continue;
        const Vec4 toLight = light - h.position;
        const float distance = std::sqrt(dotf(toLight, toLight));
        const Vec4 l = toLight * (1.f / distance);
        q.shadow.emplace_back(h.position + l * 0.002f, l);
        q.shadowDistance.push_back(distance);
    }
    return q;
}

std::vector<std::vector<std::string>> measureQueries(bool quick) {
    std::printf("Queries: reading %s ...\n", kBunny);
    if (!fs::exists(kBunny)) {
        std::fprintf(stderr, "%s is missing: install the package glmark2-data\n", kBunny);
        std::exit(1);
    }
    std::vector<Triangle> mesh = subdivide(readObj(kBunny));
    centre(mesh);
    KdTree tree;
    tree.build(pointers(mesh), 20);
    const QueryRays q = makeRays(tree, 640, 480);
    std::printf("  %zu triangles, %zu primary rays, %zu shadow rays\n", mesh.size(),
                q.primary.size(), q.shadow.size());

    EmbreeScene embree, checked;
    makeEmbree(embree, mesh, false);
    gFilterMesh = &mesh;
    makeEmbree(checked, mesh, true);

    const tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
    const int repeats = quick ? 3 : 7;
    // Interleaved so that both see the same load on a shared machine.
    std::vector<double> tc, ec, ts, es;
    for (int i = 0; i < repeats; ++i) {
        tc.push_back(raysPerSecond(q.primary.size(), 1,
                                   [&] { runClosestQueries(tree, q.primary, nullptr); }));
        ec.push_back(raysPerSecond(q.primary.size(), 1,
                                   [&] { embreeClosest(embree.scene, q.primary, nullptr); }));
        ts.push_back(raysPerSecond(q.shadow.size(), 1, [&] {
            runShadowQueries(tree, q.shadow, q.shadowDistance, nullptr);
        }));
        es.push_back(raysPerSecond(q.shadow.size(), 1, [&] {
            embreeOccluded(embree.scene, q.shadow, q.shadowDistance, nullptr);
        }));
    }

    // Agreement against Embree held to Tresk's rule.
    std::vector<float> td(q.primary.size()), ed(q.primary.size());
    runClosestQueries(tree, q.primary, &td);
    embreeClosest(checked.scene, q.primary, &ed);
    size_t hitAgree = 0, bothHit = 0, sameDistance = 0;
    for (size_t i = 0; i < td.size(); ++i) {
        const bool a = td[i] >= 0.f, b = ed[i] >= 0.f;
        hitAgree += a == b;
        if (a && b) {
            ++bothHit;
            sameDistance += std::fabs(td[i] - ed[i]) <= 1e-4f * std::max(1.f, td[i]);
        }
    }
    std::vector<char> tb(q.shadow.size()), eb(q.shadow.size());
    runShadowQueries(tree, q.shadow, q.shadowDistance, &tb);
    embreeOccluded(checked.scene, q.shadow, q.shadowDistance, &eb);
    size_t shadowAgree = 0, blocked = 0;
    for (size_t i = 0; i < tb.size(); ++i) {
        shadowAgree += tb[i] == eb[i];
        blocked += tb[i];
    }

    auto pct = [](size_t a, size_t b) {
        return format("%.4f%%", b ? 100.0 * double(a) / double(b) : 100.0);
    };
    const double tcr = median(tc), ecr = median(ec), tsr = median(ts), esr = median(es);
    size_t hits = 0;
    for (float d : td) hits += d >= 0.f;
    return {
        {"closest hit",
         format("%zu (%.0f%% hit)", q.primary.size(), 100.0 * double(hits) / double(td.size())),
         format("%.3f", tcr * 1e-6), format("%.3f", ecr * 1e-6), format("%.3f", tcr / ecr),
         format("%zu / %zu (%s)", hitAgree, td.size(), pct(hitAgree, td.size()).c_str()),
         format("%zu / %zu", sameDistance, bothHit)},
        {"shadow",
         format("%zu (%.0f%% blocked)", q.shadow.size(),
                100.0 * double(blocked) / double(tb.size())),
         format("%.3f", tsr * 1e-6), format("%.3f", esr * 1e-6), format("%.3f", tsr / esr),
         format("%zu / %zu (%s)", shadowAgree, tb.size(), pct(shadowAgree, tb.size()).c_str()),
         "-"},
    };
}

// A mode for callgrind: runs only the query loops over n rays each.
int callgrindKernel(size_t n) {
    std::vector<Triangle> mesh = subdivide(readObj(kBunny));
    centre(mesh);
    KdTree tree;
    tree.build(pointers(mesh), 20);
    QueryRays q = makeRays(tree, 640, 480);
    // An even spread over the image and over the shadow rays.
    auto sample = [n](const auto& v) {
        std::decay_t<decltype(v)> out;
        for (size_t i = 0; i < n && !v.empty(); ++i) out.push_back(v[i * v.size() / n]);
        return out;
    };
    const auto primary = sample(q.primary);
    const auto shadow = sample(q.shadow);
    const auto distance = sample(q.shadowDistance);
    // Under callgrind with --instr-atstart=no, only what follows is simulated.
    CALLGRIND_START_INSTRUMENTATION;
    const size_t hits = runClosestQueries(tree, primary, nullptr);
    const size_t blocked = runShadowQueries(tree, shadow, distance, nullptr);
    std::printf("%zu closest (%zu hits), %zu shadow (%zu blocked)\n", primary.size(), hits,
                shadow.size(), blocked);
    return 0;
}

// --- 2. Frames -------------------------------------------------------------------------

struct PassFigures {
    double ms = 0, raysPerSecond = 0;
    double coresBusy = 0, cpuSecondsPerRay = 0;
};

double processCpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + 1e-9 * double(t.tv_nsec);
}

// Times passes of one kind on 1 and on 2 threads, alternating, so that both
// see the same load on a shared machine. out[0] is one thread, out[1] two.
void timePasses(Renderer& r, bool progressive, int minRuns, double minSeconds, PassFigures out[2]) {
    std::vector<double> ms[2], rates[2];
    double cpu[2] = {}, wall[2] = {}, rayTotal[2] = {};
    const auto start = Clock::now();
    while (int(ms[0].size()) < minRuns || (secondsSince(start) < minSeconds && ms[0].size() < 15)) {
        for (int k = 0; k < 2; ++k) {
            const tbb::global_control limit(tbb::global_control::max_allowed_parallelism,
                                            size_t(k + 1));
            if (!progressive) {
                r.sampleCount = 1.f;
                r.clearRadiance();
            }
            const uint64_t rays = r.raysTraced();
            const double c0 = processCpuSeconds();
            const auto t0 = Clock::now();
            if (progressive)
                r.renderProgressive();
            else
                r.render();
            const double seconds = secondsSince(t0);
            cpu[k] += processCpuSeconds() - c0;
            wall[k] += seconds;
            rayTotal[k] += double(r.raysTraced() - rays);
            ms[k].push_back(seconds * 1e3);
            rates[k].push_back(double(r.raysTraced() - rays) / seconds);
        }
    }
    for (int k = 0; k < 2; ++k)
        out[k] = {median(ms[k]), median(rates[k]), cpu[k] / wall[k], cpu[k] / rayTotal[k]};
}

extern std::vector<std::string> gExampleFilter;

std::vector<fs::path> exampleScenes() {
    std::vector<fs::path> scenes;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(kSourceDir + "/examples", ec)) {
        const std::string name = e.path().filename().string();
        if (!gExampleFilter.empty() &&
            std::find(gExampleFilter.begin(), gExampleFilter.end(), name) == gExampleFilter.end())
            continue;
        if (fs::exists(e.path() / "scene.txt")) scenes.push_back(e.path() / "scene.txt");
    }
    std::sort(scenes.begin(), scenes.end());
    return scenes;
}

// Only the examples whose folder is named here, when any is.
std::vector<std::string> gExampleFilter;

std::vector<std::vector<std::string>> measureFrames(bool quick) {
    std::vector<std::vector<std::string>> rows;
    Renderer& r = *Renderer::instance();
    struct Case {
        fs::path scene;
        std::string name;
        bool directOnly;
    };
    std::vector<Case> cases;
    for (const fs::path& s : exampleScenes())
        cases.push_back({s, s.parent_path().filename().string(), false});
    for (const fs::path& s : exampleScenes())
        if (s.parent_path().filename() == "showcase")
            cases.push_back({s, "showcase, direct light", true});
    if (cases.empty()) std::printf("Frames: no examples under %s/examples\n", kSourceDir.c_str());

    for (const Case& c : cases) {
        std::string error;
        if (!r.readScene(c.scene.string(), error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            std::exit(1);
        }
        if (c.directOnly) r.giSampleCount = 0.f;
        for (bool still : {false, true}) {
            if (c.directOnly && still) continue;
            r.setStillMode(still);
            const FrameGeometry& g = r.geometry();
            PassFigures fig[2][2];  // [progressive][threads - 1]
            {
                // Warm-up: the scheduler's threads started, caches filled.
                const tbb::global_control limit(tbb::global_control::max_allowed_parallelism, 2);
                r.sampleCount = 1.f;
                r.clearRadiance();
                r.render();
            }
            const int runs = quick ? 2 : (still ? 3 : 5);
            timePasses(r, false, runs, quick ? 0.2 : 1.0, fig[0]);
            r.sampleCount = 1.f;
            r.clearRadiance();
            r.render();
            timePasses(r, true, runs, quick ? 0.2 : 1.0, fig[1]);
            for (int p = 0; p < 2; ++p) {
                rows.push_back(
                    {c.name, format("%d × %d", g.width, g.height), p ? "progressive" : "fresh",
                     format("%.1f", fig[p][0].ms), format("%.1f", fig[p][1].ms),
                     format("%.2f", fig[p][0].raysPerSecond * 1e-6),
                     format("%.2f", fig[p][1].raysPerSecond * 1e-6),
                     format("%.2f", fig[p][0].ms / fig[p][1].ms),
                     format("%.2f", fig[p][1].coresBusy),
                     format("%.2f", fig[p][1].cpuSecondsPerRay / fig[p][0].cpuSecondsPerRay)});
                std::printf("  %s\n",
                            [&] {
                                std::string s;
                                for (const auto& cell : rows.back()) s += cell + " | ";
                                return s;
                            }()
                                .c_str());
                std::fflush(stdout);
            }
        }
    }
    return rows;
}

// --- 3. Loading -----------------------------------------------------------------------

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
            auto t0 = Clock::now();
            if (!r.readScene(scene.string(), error)) {
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

// The figures of this run against the performance goals.
void printTargets(
    const std::vector<std::pair<Table*, std::vector<std::vector<std::string>>>>& results) {
    std::printf("\nAgainst the goals:\n");
    for (const auto& [table, rows] : results) {
        if (table == &gQueries) {
            for (const auto& r : rows)
                std::printf("  %-12s Tresk / Embree %s (goal at least 0.5)\n", r[0].c_str(),
                            r[4].c_str());
        } else if (table == &gFrames) {
            double lowest = 1e9;
            std::string where;
            for (const auto& r : rows) {
                const double s = std::atof(r[7].c_str());
                if (s < lowest) lowest = s, where = r[0] + ", " + r[1] + ", " + r[2];
                if (r[0] == "showcase, direct light" && r[2] == "fresh")
                    std::printf("  showcase, direct light, 2 threads: %.1f frames/s (goal 30)\n",
                                1000.0 / std::atof(r[4].c_str()));
            }
            std::printf("  lowest 2-thread speed-up %.2f (%s; goal 1.85)\n", lowest, where.c_str());
        } else if (table == &gLoading) {
            for (const auto& r : rows)
                if (std::atol(r[1].c_str()) >= 1000000)
                    std::printf("  %s, %s triangles: loaded and built in %s s (goal under 5)\n",
                                r[0].c_str(), r[1].c_str(), r[4].c_str());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string only, label;
    bool quick = false, reportOnly = false;
    size_t kernelRays = 0;
    std::vector<std::string> callgrindRecord;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--only" && i + 1 < argc)
            only = argv[++i];
        else if (a == "--record" && i + 1 < argc)
            label = argv[++i];
        else if (a == "--example" && i + 1 < argc)
            gExampleFilter.push_back(argv[++i]);
        else if (a == "--source" && i + 1 < argc)
            kSourceDir = argv[++i];
        else if (a == "--quick")
            quick = true;
        else if (a == "--report")
            reportOnly = true;
        else if (a == "--query-kernel" && i + 1 < argc)
            kernelRays = size_t(std::atol(argv[++i]));
        else if (a == "--record-callgrind" && i + 4 < argc) {
            callgrindRecord = {argv[i + 1], argv[i + 2], argv[i + 3], argv[i + 4]};
            i += 4;
        } else {
            std::fprintf(stderr,
                         "usage: tresk_bench [--only queries|frames|loading] [--record LABEL] "
                         "[--quick] [--report]\n");
            return 2;
        }
    }
    if (kernelRays) return callgrindKernel(kernelRays);
    loadResults();
    if (!callgrindRecord.empty()) {
        // label, query, rays, instructions per ray (from bench/callgrind.sh)
        Table& t = gCallgrind;
        std::vector<std::vector<std::string>> keep;
        for (const auto& row : t.rows)
            if (!(row.size() > 1 && row[0] == callgrindRecord[0] && row[1] == callgrindRecord[1]))
                keep.push_back(row);
        t.rows = keep;
        t.rows.push_back(callgrindRecord);
        saveResults();
        writeReport();
        return 0;
    }
    if (reportOnly) {
        writeReport();
        return 0;
    }

    // Log.txt and the generated meshes go to a folder of their own.
    const fs::path work = fs::temp_directory_path() / format("tresk_bench_%d", int(getpid()));
    fs::create_directories(work);
    const fs::path home = fs::current_path();
    fs::current_path(work);

    RunInfo run;
    run.label = label;
    run.machine = machineDescription();
    const std::string loadBefore = loadAverage();
    {
        std::time_t now = std::time(nullptr);
        char date[32];
        std::strftime(date, sizeof date, "%Y-%m-%d %H:%M", std::localtime(&now));
        run.date = date;
    }
    run.command = "tresk_bench";
    if (!only.empty()) run.command += " --only " + only;
    if (quick) run.command += " --quick";
    if (!label.empty()) run.command += " --record \"" + label + "\"";
    std::printf("Machine: %s\nLoad average: %s\n", run.machine.c_str(), loadBefore.c_str());

    std::vector<std::pair<Table*, std::vector<std::vector<std::string>>>> results;
    if (only.empty() || only == "queries") {
        results.push_back({&gQueries, measureQueries(quick)});
        printTable(gQueries, results.back().second);
    }
    if (only.empty() || only == "frames") {
        std::printf("\nFrames:\n");
        results.push_back({&gFrames, measureFrames(quick)});
        printTable(gFrames, results.back().second);
    }
    if (only.empty() || only == "loading") {
        std::printf("\nLoading:\n");
        results.push_back({&gLoading, measureLoading(work, quick)});
        printTable(gLoading, results.back().second);
    }
    run.load = loadBefore + " → " + loadAverage();
    printTargets(results);

    fs::current_path(home);
    std::error_code ec;
    fs::remove_all(work, ec);

    if (!label.empty()) {
        for (auto& [table, rows] : results) recordRows(*table, label, rows);
        bool replaced = false;
        for (RunInfo& r : gRuns) {
            if (r.label == label && r.command == run.command) {
                r = run;
                replaced = true;
            }
        }
        if (!replaced) gRuns.push_back(run);
        saveResults();
        writeReport();
        std::printf("\nRecorded as \"%s\" in bench/results.tsv and bench/RESULTS.md\n",
                    label.c_str());
    }
    return 0;
}
