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
#include <string>
#include <vector>

#include "core/Plane.h"
#include "core/SkySphere.h"
#include "core/Sphere.h"
#include "render/Logger.h"
#include "tests/TestScene.h"

using namespace testing_scene;

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A fresh temporary folder made the working directory for the test's life.
class InTempDir {
public:
    InTempDir() {
        char templ[] = "/tmp/tresk-test-XXXXXX";
        dir_ = mkdtemp(templ);
        old_ = getcwd(nullptr, 0);
        EXPECT_EQ(chdir(dir_.c_str()), 0);
        Logger::instance()->restart();
    }
    ~InTempDir() {
        EXPECT_EQ(chdir(old_), 0);
        std::free(old_);
        std::system(("rm -rf " + dir_).c_str());
    }
    const std::string& path() const { return dir_; }

private:
    std::string dir_;
    char* old_;
};

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
    InTempDir dir;
    Renderer& r = constantScene();
    r.render();
    ASSERT_TRUE(r.saveImage());
    const std::string earlier = readFile("out.tga");
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
    EXPECT_EQ(readFile("out.tga"), earlier);
    EXPECT_NE(readFile("Log.txt").find("Saving the image failed"), std::string::npos);
    const int leftovers = std::system("ls -A | grep -q '\\.tmp'");
    EXPECT_NE(leftovers, 0) << "a temporary file was left behind";
}

// A folder that refuses writes: the save fails and says so; the earlier image
// stays. Root ignores permissions, so as root a read-only mount stands in.
TEST(OutputFaults, ReadOnlyFolderKeepsTheEarlierImage) {
    InTempDir dir;
    Renderer& r = constantScene();
    r.render();
    ASSERT_EQ(mkdir("shots", 0755), 0);
    ASSERT_TRUE(r.saveImage("shots/out.tga"));
    const std::string earlier = readFile("shots/out.tga");
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
    EXPECT_EQ(readFile("shots/out.tga"), earlier);
    if (mounted) umount("shots");
    chmod("shots", 0755);
}

// A log that cannot be opened (here a folder stands in its place) loses its
// entries but never stops the program.
TEST(OutputFaults, UnwritableLogDoesNotStopTheProgram) {
    InTempDir dir;
    ASSERT_EQ(mkdir("Log.txt", 0755), 0);
    Logger::instance()->write("Tresk 0.5");
    Logger::instance()->write(std::string("Reading Scene File..."));
    Renderer& r = constantScene();
    r.render();
    EXPECT_TRUE(r.saveImage());
}
