// The benchmark's shared parts: timing, results files, machine, meshes.
#include "bench/BenchSupport.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "core/KdTree.h"
#include "scene/ObjMeshReader.h"

namespace bench {

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

double median(std::vector<double> v) {
    if (v.empty()) return 0.0;
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

std::string kSourceDir = TRESK_SOURCE_DIR;
std::vector<std::string> gExampleFilter;
const char* const kBunny = "/usr/share/glmark2/models/bunny.obj";
const DebugMaterial kMaterial;

// --- Results: one table per measure, rows keyed by label -----------------------

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
    "Each bundled example read through `readScene`; per size a fresh frame "
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
               "`readScene` with depth limit 20 (total), and separately the OBJ reader "
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
           "    cmake --preset bench && cmake --build --preset bench\n"
           "    ./build-bench/bench/tresk_bench --record LABEL\n\n"
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

}  // namespace bench
