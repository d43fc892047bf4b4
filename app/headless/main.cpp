// tresk-render: renders a scene without a window, for machines without a
// display and for final pictures. Same scene file, same Renderer as the
// viewer; see renderUsage() for the command line.
#include <tbb/global_control.h>
#include <unistd.h>

#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/ReportDiagnostics.h"
#include "app/headless/ProgressReport.h"
#include "app/headless/RenderOptions.h"
#include "app/headless/RunFiles.h"
#include "app/headless/StopSignals.h"
#include "core/Logger.h"
#include "render/ImageFiles.h"
#include "render/PassRecord.h"
#include "render/Renderer.h"
#include "render/TgaWriter.h"
#include "scene/DataFiles.h"
#include "scene/ModelStage.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

void complain(const std::string& message) {
    std::fprintf(stderr, "tresk-render: %s\n", message.c_str());
}

// Encodes the active image in the format that the name asks for and writes
// it atomically. HDR and EXR files say which passes of which scene they hold,
// so that parts rendered apart can be merged.
bool writeOutput(const RenderOptions& options, const Renderer& renderer, std::string& error) {
    const FrameGeometry& g = renderer.geometry();
    PassRecord record;
    record.scene = options.sceneFile;
    record.sceneHash = sceneFileHash(options.sceneFile);
    record.firstPass = options.firstPass;
    record.passes = options.passes;
    record.size = options.stillSize ? "still" : "interactive";
    record.width = g.width;
    record.height = g.height;
    record.exposure = renderer.exposure;
    std::vector<uint8_t> bytes;
    // The radiance buffer holds the sum of sampleCount samples.
    return encodeImage(options.outputType, g.width, g.height, renderer.displayBuffer(),
                       renderer.radianceBuffer(), 1.f / renderer.sampleCount, &record, bytes,
                       error) &&
           writeFileAtomically(options.outputFile, bytes, error);
}

}  // namespace

int main(int argc, char** argv) {
    RenderOptions options;
    std::string error;
    if (!parseRenderOptions(argc, argv, options, error)) {
        complain(error);
        std::fprintf(stderr, "Try 'tresk-render --help' for more information.\n");
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(renderUsage().c_str(), stdout);
        return 0;
    }
    if (options.version) {
        std::printf("tresk-render %s\n", TRESK_VERSION);
        return 0;
    }
    const RunFiles files = runFiles(options);
    if (!outputAllowed(options, files, error) || !stageSaveAllowed(options, files, error)) {
        complain(error);
        return kExitUsage;
    }
    if (!outputFolderWritable(options, error)) {
        complain(error);
        return kExitFailure;
    }
    removeTemporaryFilesOnSignals();

    std::unique_ptr<tbb::global_control> threadLimit;
    if (options.threads > 0) {
        threadLimit = std::make_unique<tbb::global_control>(
            tbb::global_control::max_allowed_parallelism, size_t(options.threads));
    }
    const size_t threads =
        tbb::global_control::active_value(tbb::global_control::max_allowed_parallelism);

    Renderer* renderer = Renderer::instance();
    if (!renderer) {
        complain("out of memory");
        return kExitFailure;
    }
    if (!options.sceneGiven && ::access(options.sceneFile.c_str(), F_OK) != 0) {
        std::fputs(startHelp("tresk-render", options.sceneFile).c_str(), stderr);
        return kExitFailure;
    }
    // Only the size asked for gets buffers and load-time rays.
    renderer->setOnlySize(options.stillSize);
    const Clock::time_point loadStart = Clock::now();
    Diagnostics diagnostics;
    const bool opened = openSceneOrModel(*renderer, options.sceneFile, BrokenModel::Refuse, error,
                                         diagnostics, options.saveSceneFolder);
    reportDiagnostics(diagnostics);
    if (!opened) {
        complain(error);
        return kExitFailure;
    }
    if (!outputSparesImages(options, *renderer, error)) {
        complain(error);
        return kExitUsage;
    }
    const double loadSeconds = secondsSince(loadStart);

    renderer->setStillMode(options.stillSize);
    const FrameGeometry& g = renderer->geometry();
    std::fprintf(stderr, "tresk-render: %s, %s size %d x %d, %d pass%s on %zu thread%s\n",
                 options.sceneFile.c_str(), options.stillSize ? "still" : "interactive", g.width,
                 g.height, options.passes, options.passes == 1 ? "" : "es", threads,
                 threads == 1 ? "" : "s");

    ProgressReport progress(options.passes, ::isatty(STDERR_FILENO) == 1);
    const uint64_t raysBefore = renderer->raysTraced();
    const Clock::time_point renderStart = Clock::now();
    progress.update(0, 0.0);

    // Passes firstPass ... of the sequence that a fresh frame (pass 1) starts,
    // as after any change in the viewer, summed from nothing: the first
    // pass of a whole run adds the fresh frame to an empty sum.
    renderer->startPassRange(uint32_t(options.firstPass));
    // Only the last pass's picture is written: the display is made once,
    // after it.
    renderer->setDisplayDeferred(true);
    for (int pass = 1; pass <= options.passes; ++pass) {
        renderer->renderProgressive();
        if (pass == 1) {
            const double firstFrameMs = secondsSince(renderStart) * 1000.0;
            Logger::instance()->write("Rendering Time: " + toText(float(firstFrameMs)));
        }
        progress.update(pass, secondsSince(renderStart));
    }
    renderer->updateDisplay();
    renderer->setDisplayDeferred(false);
    progress.finish();
    const double renderSeconds = secondsSince(renderStart);
    const uint64_t rays = renderer->raysTraced() - raysBefore;

    // Samples left out of the mean; a count above 0 points at a fault.
    Logger::instance()->write("Samples Not Finite: " +
                              std::to_string(renderer->nonFiniteSamples()));
    if (!writeOutput(options, *renderer, error)) {
        complain(error);
        return kExitFailure;
    }

    const double raysPerSecond = renderSeconds > 0.0 ? double(rays) / renderSeconds : 0.0;
    std::printf("%s: %d x %d, %d pass%s, %zu thread%s, %.2f s (scene read in %.2f s), %" PRIu64
                " rays, %.2f M rays/s\n",
                options.outputFile.c_str(), g.width, g.height, options.passes,
                options.passes == 1 ? "" : "es", threads, threads == 1 ? "" : "s", renderSeconds,
                loadSeconds, rays, raysPerSecond / 1e6);
    return 0;
}
