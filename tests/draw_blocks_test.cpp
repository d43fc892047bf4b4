// During a pass threads take their random draws in blocks. On one thread
// that must be invisible: the pass draws exactly the counts it would draw
// one at a time, and leaves the indices where that would leave them.
#include <gtest/gtest.h>

#include "core/SkySphere.h"
#include "tests/TestScene.h"

using namespace testing_scene;

namespace {

// Draws a fixed number of entries from both tables per shaded point.
class DrawingMaterial : public Material {
public:
    explicit DrawingMaterial(int draws) : draws_(draws) {}
    Vec4 shade(HitRecord&) const override {
        Renderer& r = *Renderer::instance();
        for (int i = 0; i < draws_; ++i) {
            r.nextRandom();
            r.nextHemisphereDirection();
        }
        return Vec4(1.f, 1.f, 1.f);
    }

private:
    int draws_;
};

}  // namespace

TEST(DrawBlocks, OneThreadPassesAdvanceTheIndicesByExactlyTheirDraws) {
    SingleThread one;
    // 37 × 23 pixels: the draws of a pass are no multiple of any block size.
    Renderer& r = freshRenderer(37, 23);
    const Material* m = r.addMaterial(std::make_unique<DrawingMaterial>(3));
    r.addObject(std::make_unique<SkySphere>(Vec4(100, 100, 100), m));
    finish(r);
    const int pixels = 37 * 23;
    r.setRandomIndex(999000);  // wraps during the passes
    r.setHemisphereIndex(9000);
    r.render();
    EXPECT_EQ(r.randomIndex(), (999000 + 5 * pixels) % 1000000);
    EXPECT_EQ(r.hemisphereIndex(), (9000 + 3 * pixels) % 10000);
    r.renderProgressive();  // one more count each, then the pass's draws
    EXPECT_EQ(r.randomIndex(), (999000 + 1 + 10 * pixels) % 1000000);
    EXPECT_EQ(r.hemisphereIndex(), (9000 + 1 + 6 * pixels) % 10000);
    // Draws outside passes take one count each.
    r.nextRandom();
    EXPECT_EQ(r.randomIndex(), (999000 + 2 + 10 * pixels) % 1000000);
}

TEST(DrawBlocks, ManyThreadsStillCoverEveryPixelWithDrawsInRange) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, 4);
    Renderer& r = freshRenderer(64, 48);
    const Material* m = r.addMaterial(std::make_unique<DrawingMaterial>(5));
    r.addObject(std::make_unique<SkySphere>(Vec4(100, 100, 100), m));
    finish(r);
    for (int pass = 0; pass < 5; ++pass) r.renderProgressive();
    for (int i = 0; i < 64 * 48; ++i) ASSERT_EQ(r.radianceBuffer()[3 * i], 5.f) << i;
    // Blocks left unfinished by other threads are skipped, never reused: the
    // counter is at least where one-by-one drawing would leave it.
    EXPECT_GE(r.randomIndex(), 5 * (1 + 7 * 64 * 48));
}
