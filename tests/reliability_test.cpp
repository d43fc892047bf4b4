// Long runs and failing outputs: what must hold after thousands of passes,
// and what a user gets when the disk or the folder refuses a file.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "core/Logger.h"
#include "core/Plane.h"
#include "core/SkySphere.h"
#include "core/Sphere.h"
#include "scene/SceneReader.h"
#include "tests/TestFiles.h"
#include "tests/TestScene.h"

using namespace testing_files;
using namespace testing_scene;

namespace {

// A small scene whose every pixel sees the same constant colours.
Renderer& constantScene() {
    Renderer& r = freshRenderer(13, 9, 21, 17);
    r.addObject(std::make_unique<SkySphere>(Vec4(50, 50, 50), addDebug(r, 0.25f, 0.5f, 4.f)));
    finish(r);
    return r;
}

}  // namespace

// Thousands of progressive passes with mode switches and resets between them:
// the running sum stays exact (the samples are exactly representable), the
// count follows the passes, and the display never holds a NaN or infinity.
TEST(Soak, ProgressivePassesAndModeSwitchesStayExact) {
    Renderer& r = constantScene();
    int expectedSamples = 1;
    r.render();
    for (int frame = 0; frame < 3000; ++frame) {
        if (frame % 500 == 499) {
            r.setStillMode(!r.stillMode());
            r.sampleCount = 1.f;
            r.clearRadiance();
            r.render();
            expectedSamples = 1;
        }
        // Exposure driven to 0 and back, as the E and Q keys would.
        r.exposure = frame % 700 < 100 ? 0.f : 1.f + float(frame % 7);
        r.renderProgressive();
        ++expectedSamples;
        ASSERT_EQ(r.sampleCount, float(expectedSamples));
        const int n = int(r.geometry().pixelCount());
        const float* radiance = r.radianceBuffer();
        const float* display = r.displayBuffer();
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(radiance[3 * i], 0.25f * float(expectedSamples));
            ASSERT_EQ(radiance[3 * i + 2], 4.f * float(expectedSamples));
        }
        for (int k = 0; k < 3 * n; ++k) {
            ASSERT_TRUE(std::isfinite(display[k]) && display[k] >= 0.f && display[k] <= 1.f)
                << "frame " << frame << " value " << display[k];
            if (r.exposure == 0.f) {
                ASSERT_EQ(display[k], 0.f);
            }
        }
    }
}

// A full disk (simulated with a file-size limit) fails the save, reports it
// in the log, and leaves the earlier image intact with no temporary behind.
TEST(OutputFaults, FullDiskKeepsTheEarlierImage) {
    TempWorkingDirectory dir;
    Renderer& r = constantScene();
    r.render();
    ASSERT_TRUE(r.saveImage());
    const std::string earlier = readText("out.tga");
    ASSERT_EQ(earlier.size(), 18u + 3 * 13 * 9);

    r.exposure = 3.f;
    r.render();
    r.setStillMode(true);  // a larger image than the limit below allows
    r.render();
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 512;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    const bool saved = r.saveImage();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    signal(SIGXFSZ, SIG_DFL);

    EXPECT_FALSE(saved);
    EXPECT_EQ(readText("out.tga"), earlier);
    EXPECT_NE(readText("Log.txt").find("Saving the image failed"), std::string::npos);
    const int leftovers = std::system("ls -A | grep -q '\\.tmp'");
    EXPECT_NE(leftovers, 0) << "a temporary file was left behind";
}

// A folder that refuses writes: the save fails and says so; the earlier image
// stays. Root ignores permissions, so as root a read-only mount stands in.
TEST(OutputFaults, ReadOnlyFolderKeepsTheEarlierImage) {
    TempWorkingDirectory dir;
    Renderer& r = constantScene();
    r.render();
    ASSERT_EQ(mkdir("shots", 0755), 0);
    ASSERT_TRUE(r.saveImage("shots/out.tga"));
    const std::string earlier = readText("shots/out.tga");
    bool mounted = false;
    if (geteuid() == 0) {
        // Remount the folder read-only over itself.
        mounted = mount("shots", "shots", nullptr, MS_BIND, nullptr) == 0 &&
                  mount(nullptr, "shots", nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
        if (!mounted) {
            umount("shots");
            GTEST_SKIP() << "running as root without permission to mount a read-only folder";
        }
    } else {
        ASSERT_EQ(chmod("shots", 0555), 0);
    }
    r.exposure = 5.f;
    r.render();
    EXPECT_FALSE(r.saveImage("shots/out.tga"));
    EXPECT_EQ(readText("shots/out.tga"), earlier);
    if (mounted) umount("shots");
    chmod("shots", 0755);
}

// A log that cannot be opened (here a folder stands in its place) loses its
// entries but never stops the program.
TEST(OutputFaults, UnwritableLogDoesNotStopTheProgram) {
    TempWorkingDirectory dir;
    ASSERT_EQ(mkdir("Log.txt", 0755), 0);
    Logger::instance()->write("Tresk 0.5");
    Logger::instance()->write(std::string("Reading Scene File..."));
    Renderer& r = constantScene();
    r.render();
    EXPECT_TRUE(r.saveImage());
}

// Scene files hold any finite numbers: negative and enormous colours and
// lights, an exposure of 0 or of 3e38. Whatever radiance the materials make
// of them (infinite, negative, or infinity minus infinity), the display
// holds only values from 0 to 1, pass after pass.
TEST(Soak, FiniteSceneInputNeverPutsNaNOnTheDisplay) {
    TempWorkingDirectory dir;
    SingleThread oneThread;
    const std::string scene =
        "0 2 20 15 8 8 0 0.5 6 EXPOSURE\n"
        "7 debugmaterial -1 2 -3\n"
        "diffusephongmaterial -0.5 0.8 3e38\n"
        "diffusegiphongmaterial 0.6 -0.6 3e38\n"
        "glossyreflectionmaterial 1e30 -1e30 0.5\n"
        "dielectricmaterial -0.9 3e38 0.9\n"
        "simplephongmaterial 3e38 3e38 -3e38\n"
        "hdrenvmap sky.hdr\n"
        "9 sphere -2.5 0 -3 0.7 0  sphere -1 0 -3 0.7 1  sphere 0.5 0 -3 0.7 2\n"
        "sphere 2 0 -3 0.7 3  sphere 0 1.5 -3 0.7 4  sphere 0 -1.5 -3 0.7 5\n"
        "plane 0 1 0 2 2  trianglemesh model.obj 8 1  skysphere 100 6\n"
        "3 hot 0 5 0 0 3e38 3e38 3e38 0\n"
        "cold 0 5 -3 0 -3e38 -3e38 -3e38 0\n"
        "inside -1 0 -3 0 1e20 -1e20 1 0\n";
    const std::string exposures[] = {"1", "0", "3e38", "1e-30"};
    for (const std::string& exposure : exposures) {
        SCOPED_TRACE(exposure);
        std::string text = scene;
        text.replace(text.find("EXPOSURE"), 8, exposure);
        std::istringstream in(text);
        // Named as if it lay beside the example's mesh and sky.
        SceneReader reader(in, std::string(TRESK_SOURCE_DIR) + "/tests/data/example/nan.txt");
        std::string error;
        Renderer& r = *Renderer::instance();
        ASSERT_TRUE(reader.load(r, error)) << error;
        r.render();
        for (int pass = 0; pass < 3; ++pass) {
            const float* display = r.displayBuffer();
            for (int64_t k = 0; k < 3 * r.geometry().pixelCount(); ++k)
                ASSERT_TRUE(display[k] >= 0.f && display[k] <= 1.f)
                    << "pass " << pass << " value " << k << " is " << display[k];
            r.renderProgressive();
        }
    }
}

// Every material (direct light with shadow rays, mirror, glass, glossy and
// diffuse GI drawing from the shared tables, the environment image) and a
// mesh in the tree, rendered on 8 threads, more than the machine has cores:
// run under ThreadSanitizer in CI. The picture stays finite and close to
// the one a single thread makes; only the order of the draws differs.
TEST(Concurrency, EveryMaterialAndMeshOnEightThreads) {
    TempWorkingDirectory dir;
    const std::string scene =
        "0 2 24 18 8 8 0 0.5 5 1\n"
        "7 debugmaterial 0.3 0.6 0.9  diffusephongmaterial 0.8 0.8 0.8\n"
        "diffusegiphongmaterial 0.6 0.6 0.6  glossyreflectionmaterial 0.7 0.7 0.7\n"
        "dielectricmaterial 0.9 0.9 0.9  simplephongmaterial 0.9 0.9 0.9  hdrenvmap sky.hdr\n"
        "8 sphere -2.4 0 -3 0.6 0  sphere -1.2 0.8 -3 0.6 1  sphere 0 0 -3 0.6 3\n"
        "sphere 1.2 0.8 -3 0.6 4  sphere 2.4 0 -3 0.6 5  plane 0 1 0 1 2\n"
        "trianglemesh model.obj 8 1  skysphere 100 6\n"
        "1 lamp 0 5 -2 0 60 60 60 0\n";
    auto meanRadiance = [&](int threads) {
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, size_t(threads));
        std::istringstream in(scene);
        SceneReader reader(in, std::string(TRESK_SOURCE_DIR) + "/tests/data/example/all.txt");
        std::string error;
        Renderer& r = *Renderer::instance();
        EXPECT_TRUE(reader.load(r, error)) << error;
        r.setRandomIndex(0);
        r.setHemisphereIndex(0);
        r.render();
        for (int pass = 0; pass < 4; ++pass) r.renderProgressive();
        EXPECT_EQ(r.sampleCount, 5.f);
        double sum = 0;
        const float* radiance = r.radianceBuffer();
        for (int64_t k = 0; k < 3 * r.geometry().pixelCount(); ++k) {
            EXPECT_TRUE(std::isfinite(radiance[k]) && radiance[k] >= 0.f) << k;
            sum += double(radiance[k]);
        }
        return sum / double(3 * r.geometry().pixelCount());
    };
    const double single = meanRadiance(1);
    const double eight = meanRadiance(8);
    ASSERT_GT(single, 0.0);
    EXPECT_NEAR(eight, single, 0.1 * single);
}
