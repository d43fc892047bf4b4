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
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"

using namespace bench;

namespace {

// The figures of this run against the performance goals.
void printTargets(
    const std::vector<std::pair<Table*, std::vector<std::vector<std::string>>>>& results) {
    std::printf("\nAgainst the goals:\n");
    for (const auto& [table, rows] : results) {
        if (table == &gQueries) {
            for (const auto& r : rows)
                // Closest hits are to reach half of Embree's speed, shadow rays 0.35 of it.
                std::printf("  %-12s Tresk / Embree %s (goal at least %s)\n", r[0].c_str(),
                            r[4].c_str(), r[0].rfind("shadow", 0) == 0 ? "0.35" : "0.5");
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
