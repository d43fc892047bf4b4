// Whole scenes pushed hard: any finite input numbers, and every material
// and a mesh on more threads than the machine has cores.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "scene/SceneReader.h"
#include "tests/support/Support.h"

using namespace support;

// Loads a scene text as if it lay beside the example's mesh and sky.
Renderer& loadBesideTheExample(const std::string& text) {
    std::string error;
    EXPECT_TRUE(loadSceneText(text, dataPath("example/test.txt"), error)) << error;
    return *Renderer::instance();
}

// Negative and enormous colours and lights, an exposure of 0 or 3e38:
// whatever radiance the materials make of them (infinite, negative, or
// infinity minus infinity), the display holds only values from 0 to 1.
TEST(Soak, FiniteSceneInputNeverPutsNaNOnTheDisplay) {
    TempWorkingDirectory dir;
    SingleThread oneThread;
    const std::string scene =
        "0 2 20 15 8 8 0 0.5 6 EXPOSURE\n"
        "7 debugmaterial -1 2 -3  diffusephongmaterial -0.5 0.8 3e38\n"
        "diffusegiphongmaterial 0.6 -0.6 3e38  glossyreflectionmaterial 1e30 -1e30 0.5\n"
        "dielectricmaterial -0.9 3e38 0.9  simplephongmaterial 3e38 3e38 -3e38  hdrenvmap sky.hdr\n"
        "9 sphere -2.5 0 -3 0.7 0  sphere -1 0 -3 0.7 1  sphere 0.5 0 -3 0.7 2\n"
        "sphere 2 0 -3 0.7 3  sphere 0 1.5 -3 0.7 4  sphere 0 -1.5 -3 0.7 5\n"
        "plane 0 1 0 2 2  trianglemesh model.obj 8 1  skysphere 100 6\n"
        "3 hot 0 5 0 0 3e38 3e38 3e38 0  cold 0 5 -3 0 -3e38 -3e38 -3e38 0\n"
        "inside -1 0 -3 0 1e20 -1e20 1 0\n";
    for (const char* exposure : {"1", "0", "3e38", "1e-30"}) {
        std::string text = scene;
        Renderer& r = loadBesideTheExample(text.replace(text.find("EXPOSURE"), 8, exposure));
        r.render();
        for (int pass = 0; pass < 3; ++pass, r.renderProgressive())
            for (int64_t k = 0; k < 3 * r.geometry().pixelCount(); ++k)
                ASSERT_TRUE(r.displayBuffer()[k] >= 0.f && r.displayBuffer()[k] <= 1.f)
                    << "exposure " << exposure << ", pass " << pass << ", value " << k << " is "
                    << r.displayBuffer()[k];
    }
}

// Every material (shadow rays, mirror, glass, glossy and diffuse GI drawing
// from the tables, the environment image) and a mesh in the tree, on 8
// threads: run under ThreadSanitizer in CI. The picture stays finite and is
// the one a single thread makes, bit for bit (the same binary on the same
// machine): a pixel's draws do not depend on the thread.
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
    auto radiance = [&](int threads) {
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, size_t(threads));
        Renderer& r = loadBesideTheExample(scene);
        r.render();
        for (int pass = 0; pass < 4; ++pass) r.renderProgressive();
        const float* sums = r.radianceBuffer();
        return std::vector<float>(sums, sums + 3 * r.geometry().pixelCount());
    };
    const std::vector<float> single = radiance(1);
    for (size_t k = 0; k < single.size(); ++k)
        ASSERT_TRUE(std::isfinite(single[k]) && single[k] >= 0.f) << k;
    ASSERT_GT(*std::max_element(single.begin(), single.end()), 0.f);
    const std::vector<float> eight = radiance(8);
    EXPECT_EQ(std::memcmp(eight.data(), single.data(), single.size() * sizeof(float)), 0);
}
