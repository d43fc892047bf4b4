// What the benchmark's measures share: timing, the results tables and their
// files, the machine's description and the meshes the measures make.
#pragma once

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <string>
#include <vector>

#include "core/Triangle.h"
#include "shading/DebugMaterial.h"

namespace fs = std::filesystem;

namespace bench {

using Clock = std::chrono::steady_clock;
using Rows = std::vector<std::vector<std::string>>;

double secondsSince(Clock::time_point start);
double median(std::vector<double> v);
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The project folder: examples and results; --source overrides it, so that
// a build of older code can record into this tree.
extern std::string kSourceDir;
extern const char* const kBunny;
extern const DebugMaterial kMaterial;
// Only the examples whose folder is named here, when any is.
extern std::vector<std::string> gExampleFilter;

// --- Results: one table per measure, rows keyed by label -----------------------

// A measure's rows: the label of the run, then the row's cells.
struct Table {
    std::string title;
    std::string note;
    std::vector<std::string> columns;  // without the leading "change" column
    Rows rows;
};
extern Table gQueries, gFrames, gLoading, gCallgrind;

struct RunInfo {
    std::string label, date, machine, load, command;
};
extern std::vector<RunInfo> gRuns;

void loadResults();
void saveResults();
void recordRows(Table& t, const std::string& label, const Rows& rows);
void writeReport();
void printTable(const Table& t, const Rows& rows);

std::string machineDescription();
std::string loadAverage();

// --- Meshes --------------------------------------------------------------------

std::vector<Triangle> readObj(const std::string& path);
Triangle makeTriangle(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& na, const Vec3& nb,
                      const Vec3& nc);
std::vector<Triangle> subdivide(const std::vector<Triangle>& in);
void centre(std::vector<Triangle>& mesh);
std::vector<const Triangle*> pointers(const std::vector<Triangle>& mesh);

// --- The measures, each in a file of its own -------------------------------------

Rows measureQueries(bool quick);                        // QueryBench.cpp
int callgrindKernel(size_t rays);                       // QueryBench.cpp
Rows measureFrames(bool quick);                         // FrameBench.cpp
Rows measureLoading(const fs::path& work, bool quick);  // LoadingBench.cpp

}  // namespace bench
