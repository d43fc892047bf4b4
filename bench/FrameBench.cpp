// Measure 2: whole frames of the bundled examples on 1 and 2 threads.
#include <tbb/global_control.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "render/Renderer.h"
#include "scene/SceneReader.h"

namespace bench {

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
        Diagnostics diagnostics;
        if (!readScene(r, c.scene.string(), error, diagnostics)) {
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

}  // namespace bench
