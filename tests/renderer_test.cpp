// The Renderer: draws, primary rays, ray queries and the two passes.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/Plane.h"
#include "core/SkySphere.h"
#include "core/Sphere.h"
#include "render/ToneMap.h"
#include "tests/TestScene.h"

using namespace testing_scene;

namespace {

// Returns a fixed colour and records how it was called.
class ProbeMaterial : public Material {
public:
    explicit ProbeMaterial(Vec4 c) : colour(c) {}
    Vec4 shade(HitRecord& hit) const override {
        calls.fetch_add(1);
        lastDepth = hit.depth;
        return colour;
    }
    Vec4 colour;
    mutable std::atomic<int> calls{0};
    mutable std::atomic<int> lastDepth{-1};
};

ProbeMaterial* addProbe(Renderer& r, Vec4 colour) {
    return static_cast<ProbeMaterial*>(r.addMaterial(std::make_unique<ProbeMaterial>(colour)));
}

void addSky(Renderer& r, const Material* m, float radius = 100.f) {
    r.addObject(std::make_unique<SkySphere>(Vec4(radius, radius, radius), m));
}

Triangle meshTriangle(const Material* m, const Vec3& a, const Vec3& b, const Vec3& c) {
    Triangle t(m);
    t.v0 = a;
    t.v1 = b;
    t.v2 = c;
    t.n0 = t.n1 = t.n2 = Vec3(0, 0, 1);
    t.computeEdges();
    return t;
}

Ray ray(float ox, float oy, float oz, float dx, float dy, float dz) {
    return Ray(Vec4(ox, oy, oz), Vec4(dx, dy, dz));
}

}  // namespace

TEST(ToneMap, KnownValues) {
    EXPECT_EQ(toneMap(0.f), 0.f);
    EXPECT_FLOAT_EQ(toneMap(1.f), float(std::pow(1.0 - std::exp(-1.0), 0.45454543828964233)));
    EXPECT_NEAR(toneMap(1.f), 0.812f, 0.001f);
    EXPECT_EQ(toneMap(1000.f), 1.f);
    EXPECT_TRUE(std::isnan(toneMap(-1.f)));
}

// The fast per-pixel curve gives toneMap's float exactly (0 where the value
// is not positive), here for the edges of its range and a spread of values
// on float boundaries; bench/pixel_tail_bench checks every float.
TEST(ToneMap, PixelCurveIsTheLibraryCurveToTheBit) {
    std::vector<float> values = {0.f,           -0.f,     -1.f,
                                 std::nanf(""), INFINITY, 1e-45f,
                                 1e-9f,         64.f,     std::nextafter(64.f, 0.f),
                                 1e-3f,         17.33f,   40.f};
    for (uint32_t bits = 0x30000000u; bits < 0x42900000u; bits += 0x1234u) {
        float v;
        std::memcpy(&v, &bits, sizeof v);
        values.push_back(v);
    }
    while (values.size() % 3) values.push_back(1.f);
    for (size_t i = 0; i < values.size(); i += 3) {
        float shown[3];
        toneMapPixel(&values[i], shown);
        for (int c = 0; c < 3; ++c) {
            const float v = values[i + c];
            EXPECT_EQ(shown[c], v > 0.f ? toneMap(v) : 0.f) << "v = " << v;
        }
    }
}

TEST(Renderer, InstanceIsCreatedOnceAndAligned) {
    Renderer* a = Renderer::instance();
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a, Renderer::instance());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(a) % 16, 0u);
}

TEST(Renderer, StateAfterSetUp) {
    Renderer& r = freshRenderer(20, 10, 30, 40);
    finish(r);
    EXPECT_FALSE(r.stillMode());
    EXPECT_EQ(r.geometry().width, 20);
    EXPECT_EQ(r.geometry().height, 10);
    EXPECT_EQ(r.stillGeometry().width, 30);
    EXPECT_FLOAT_EQ(r.geometry().invWidth, 0.05f);
    EXPECT_EQ(r.geometry().halfHeight, 5.f);
    EXPECT_EQ(r.sampleCount, 1.f);
    EXPECT_EQ(r.maxDepth, 3);
    EXPECT_FLOAT_EQ(r.imagePlaneZ, -1.1917542f);
    for (int i = 0; i < 20 * 10; ++i) {
        EXPECT_EQ(r.displayBuffer()[3 * i], 0.5f);
        EXPECT_EQ(r.displayBuffer()[3 * i + 1], 0.75f);
        EXPECT_EQ(r.displayBuffer()[3 * i + 2], 0.25f);
        EXPECT_EQ(r.radianceBuffer()[3 * i], 0.f);
    }
    EXPECT_EQ(reinterpret_cast<uintptr_t>(r.primaryRays()) % 16, 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(r.hemisphereTable().data()) % 16, 0u);
}

TEST(Renderer, ImageSizeLimits) {
    EXPECT_TRUE(Renderer::validImageSize(1, 1));
    EXPECT_TRUE(Renderer::validImageSize(4096, 4096));
    EXPECT_FALSE(Renderer::validImageSize(0, 10));
    EXPECT_FALSE(Renderer::validImageSize(10, -1));
    EXPECT_FALSE(Renderer::validImageSize(16385, 1));
    EXPECT_FALSE(Renderer::validImageSize(8192, 8192));
}

TEST(RandomTable, DrawsAdvanceThenReadAndWrap) {
    Renderer& r = freshRenderer(4, 4);
    finish(r);
    const auto& table = r.randomTable();
    ASSERT_EQ(table.size(), 1000000u);
    EXPECT_TRUE(std::all_of(table.begin(), table.end(), [](int32_t v) { return v >= 0; }));
    EXPECT_EQ(r.nextRandom(), table[1]);
    EXPECT_EQ(r.nextRandom(), table[2]);
    r.setRandomIndex(999999);
    EXPECT_EQ(r.nextRandom(), table[0]);
    EXPECT_EQ(r.randomIndex(), 0);

    const auto& hemi = r.hemisphereTable();
    r.setHemisphereIndex(9999);
    EXPECT_EQ(r.nextHemisphereDirection(), hemi[0]);
    EXPECT_EQ(r.hemisphereIndex(), 0);
    EXPECT_EQ(r.nextHemisphereDirection(), hemi[1]);

    // The same tables on every load.
    const std::vector<int32_t> first(table.begin(), table.begin() + 1000);
    r.generateTables();
    EXPECT_TRUE(std::equal(first.begin(), first.end(), r.randomTable().begin()));
}

TEST(RandomTable, HemisphereTableIsAShuffledGrid) {
    Renderer& r = freshRenderer(4, 4);
    finish(r);
    const double k = 0.03141592815518379;
    std::vector<Vec4> grid;
    for (int i = 0; i < 100; ++i)
        for (int j = 0; j < 100; ++j)
            grid.emplace_back(float(std::cos(i * k) * std::sin(j * k)),
                              float(std::sin(i * k) * std::sin(j * k)), float(std::cos(j * k)),
                              0.f);
    // Entry (0, 50) of the grid points almost along +x.
    EXPECT_NEAR(grid[50].x, 1.f, 2e-3f);
    std::vector<Vec4> used(r.hemisphereTable().begin(), r.hemisphereTable().begin() + 10000);
    auto less = [](const Vec4& a, const Vec4& b) {
        return std::tie(a.x, a.y, a.z) < std::tie(b.x, b.y, b.z);
    };
    EXPECT_FALSE(std::equal(used.begin(), used.end(), grid.begin()));  // shuffled
    std::sort(used.begin(), used.end(), less);
    std::sort(grid.begin(), grid.end(), less);
    EXPECT_TRUE(std::equal(used.begin(), used.end(), grid.begin()));
    EXPECT_EQ(std::count(used.begin(), used.end(), Vec4(0, 0, 1, 0)), 100);
}

TEST(PrimaryRays, DirectionsFollowTheImagePlaneMapping) {
    Renderer& r = freshRenderer(64, 48);
    finish(r, Vec3(1, 2, 3));
    const auto& table = r.randomTable();
    // Pixel (x, y): compute the expectation independently in double precision.
    const int pixels[][2] = {{32, 24}, {0, 0}, {63, 47}, {5, 40}};
    for (const auto& p : pixels) {
        const int start = r.randomIndex();
        r.generatePrimaryRay(p[0], p[1]);
        EXPECT_EQ(r.randomIndex(), start + 2);
        const int r1 = table[size_t(start + 1)], r2 = table[size_t(start + 2)];
        const double dx = ((r1 % 2000 - 1000) * 0.0005 + (p[0] - 32) * 2.0) / 64.0;
        const double dy = ((r2 % 2000 - 1000) * 0.0005 + (p[1] - 24) * 2.0) / 48.0;
        const double dz = -1.0 / std::tan(double(0.69813144f));
        const double len = std::sqrt(dx * dx + dy * dy + dz * dz);
        const Ray& ray = r.primaryRays()[p[0] + p[1] * 64];
        EXPECT_EQ(ray.origin, Vec4(1, 2, 3, 0));
        EXPECT_NEAR(ray.direction.x, dx / len, 1e-6);
        EXPECT_NEAR(ray.direction.y, dy / len, 1e-6);
        EXPECT_NEAR(ray.direction.z, dz / len, 1e-6);
        EXPECT_EQ(ray.direction.w, 0.f);
    }
}

TEST(PrimaryRays, CameraTurnRotatesTheDirections) {
    Renderer& r = freshRenderer(64, 48);
    finish(r);
    r.getCamera().rotate(-1.5707964f, 0);  // look along -x
    r.generatePrimaryRay(32, 24);
    const Ray& ray = r.primaryRays()[32 + 24 * 64];
    EXPECT_NEAR(ray.direction.x, -1.f, 1e-3f);
    EXPECT_NEAR(ray.direction.z, 0.f, 5e-3f);
}

TEST(Trace, DepthLimitAndDepthHandedToTheMaterial) {
    Renderer& r = freshRenderer(4, 4);
    ProbeMaterial* probe = addProbe(r, Vec4(0.1f, 0.2f, 0.3f));
    addSky(r, probe);
    finish(r);
    EXPECT_EQ(r.trace(ray(0, 0, 0, 0, 0, -1), 4), Vec4());
    EXPECT_EQ(probe->calls.load(), 0);
    EXPECT_EQ(r.trace(ray(0, 0, 0, 0, 0, -1), 3), Vec4(0.1f, 0.2f, 0.3f));
    EXPECT_EQ(probe->lastDepth.load(), 4);
    r.trace(ray(0, 0, 0, 0, 0, -1), 0);
    EXPECT_EQ(probe->lastDepth.load(), 1);
}

TEST(Trace, EmptySceneAndHugeSkyAreBlack) {
    Renderer& r = freshRenderer(4, 4);
    finish(r);
    EXPECT_EQ(r.trace(ray(0, 0, 0, 0, 0, -1), 0), Vec4());
    ProbeMaterial* probe = addProbe(r, Vec4(1, 1, 1));
    addSky(r, probe, 2000000.f);
    EXPECT_EQ(r.trace(ray(0, 0, 0, 0, 0, -1), 0), Vec4());
    EXPECT_EQ(probe->calls.load(), 0);
}

TEST(Trace, TieBreaks) {
    Renderer& r = freshRenderer(4, 4);
    const DebugMaterial* first = addDebug(r, 1, 0, 0);
    const DebugMaterial* second = addDebug(r, 0, 1, 0);
    const DebugMaterial* mesh = addDebug(r, 0, 0, 1);
    r.addObject(std::make_unique<Sphere>(Vec4(0, 0, -5), Vec4(1, 1, 1), first));
    r.addObject(std::make_unique<Sphere>(Vec4(0, 0, -5), Vec4(1, 1, 1), second));
    finish(r);
    // Two objects at the same distance: the one listed first.
    EXPECT_EQ(r.trace(ray(0, 0, 0, 0, 0, -1), 0), Vec4(1, 0, 0));
    // A mesh triangle at the same distance as the sphere wins.
    std::vector<Triangle> tris;
    tris.push_back(meshTriangle(mesh, Vec3(-1, -1, -4), Vec3(1, -1, -4), Vec3(0, 1, -4)));
    r.addMesh(std::move(tris), 4);
    EXPECT_EQ(r.trace(ray(0, 0, 0, 0, 0, -1), 0), Vec4(0, 0, 1));
}

TEST(Visibility, BlockersCountOnlyStrictlyBeforeTheDistance) {
    Renderer& r = freshRenderer(4, 4);
    const DebugMaterial* m = addDebug(r, 1, 1, 1);
    r.addObject(std::make_unique<Plane>(Vec4(0, 0, 1, 4.999f), m));  // z = -4.999
    finish(r);
    EXPECT_EQ(r.visibility(ray(0, 0, 0, 0, 0, -1), 5.f), 0.f);
    Renderer& r2 = freshRenderer(4, 4);
    const DebugMaterial* m2 = addDebug(r2, 1, 1, 1);
    r2.addObject(std::make_unique<Plane>(Vec4(0, 0, 1, 5.f), m2));  // exactly 5
    finish(r2);
    EXPECT_EQ(r2.visibility(ray(0, 0, 0, 0, 0, -1), 5.f), 1.f);
    // A light inside a sky sphere is not shadowed by the sky beyond it.
    addSky(r2, m2, 100.f);
    EXPECT_EQ(r2.visibility(ray(0, -1, 0, 0, 1, 0), 20.f), 1.f);
    // Mesh triangles block too.
    std::vector<Triangle> tris;
    tris.push_back(meshTriangle(m2, Vec3(-1, -1, -2), Vec3(1, -1, -2), Vec3(0, 1, -2)));
    r2.addMesh(std::move(tris), 2);
    EXPECT_EQ(r2.visibility(ray(0, 0, 0, 0, 0, -1), 3.f), 0.f);
    EXPECT_EQ(r2.visibility(ray(0, 0, 0, 0, 0, -1), 2.f), 1.f);
}

TEST(RenderPass, EveryPixelOnceForSizesNotMultipleOf16) {
    const int sizes[][2] = {{37, 23}, {16, 16}, {1, 1}, {17, 33}};
    for (const auto& s : sizes) {
        Renderer& r = freshRenderer(s[0], s[1], s[1], s[0]);
        ProbeMaterial* probe = addProbe(r, Vec4(1, 1, 1));
        addSky(r, probe);
        finish(r);
        for (bool still : {false, true}) {
            r.setStillMode(still);
            probe->calls = 0;
            r.clearRadiance();
            r.render();
            const int n = s[0] * s[1];
            EXPECT_EQ(probe->calls.load(), n);
            // A second progressive pass adds exactly one sample everywhere.
            r.sampleCount = 1.f;
            r.renderProgressive();
            EXPECT_EQ(probe->calls.load(), 2 * n);
            for (int i = 0; i < 3 * n; ++i) ASSERT_EQ(r.radianceBuffer()[i], 2.f) << "float " << i;
        }
    }
}

TEST(RenderPass, ProgressiveShowsTheMeanOfAllSamples) {
    Renderer& r = freshRenderer(20, 20);
    const ProbeMaterial* probe = addProbe(r, Vec4(0.25f, 0.5f, 2.f));
    addSky(r, probe);
    finish(r);
    r.exposure = 0.7f;
    r.render();
    for (int pass = 0; pass < 3; ++pass) r.renderProgressive();
    EXPECT_EQ(r.sampleCount, 4.f);
    const float* rad = r.radianceBuffer();
    const float* disp = r.displayBuffer();
    for (int i = 0; i < 400; ++i) {
        EXPECT_EQ(rad[3 * i], 1.f);
        EXPECT_EQ(rad[3 * i + 2], 8.f);
        EXPECT_EQ(disp[3 * i + 1], toneMap(2.f * 0.25f * 0.7f));
    }
    // Each progressive pass advances both indices by one before drawing.
    const int before = r.hemisphereIndex();
    r.renderProgressive();
    EXPECT_EQ(r.hemisphereIndex(), before + 1);
    // Exposure 0 is a black display.
    r.exposure = 0.f;
    r.render();
    EXPECT_TRUE(std::all_of(disp, disp + 1200, [](float v) { return v == 0.f; }));
}

TEST(RenderPass, StillModeRoundTripKeepsTheInteractiveImage) {
    Renderer& r = freshRenderer(12, 10, 30, 20);
    const ProbeMaterial* probe = addProbe(r, Vec4(0.3f, 0.3f, 0.3f));
    addSky(r, probe);
    finish(r);
    r.render();
    const std::vector<float> display(r.displayBuffer(), r.displayBuffer() + 360);
    const std::vector<float> radiance(r.radianceBuffer(), r.radianceBuffer() + 360);
    const Ray firstRay = r.primaryRays()[0];
    r.setStillMode(true);
    EXPECT_EQ(r.geometry().width, 30);
    r.setStillMode(false);
    EXPECT_TRUE(std::equal(display.begin(), display.end(), r.displayBuffer()));
    EXPECT_TRUE(std::equal(radiance.begin(), radiance.end(), r.radianceBuffer()));
    EXPECT_EQ(r.primaryRays()[0].direction, firstRay.direction);
}

// A scene made in code, rendered on one thread: each pixel whose sample
// region lies clearly inside or outside a silhouette must show the colour
// that an independent calculation predicts.
TEST(RenderPass, ImageMatchesAnalyticSilhouettes) {
    SingleThread oneThread;
    const int w = 96, h = 64;
    Renderer& r = freshRenderer(w, h);
    const DebugMaterial* red = addDebug(r, 1, 0, 0);
    const DebugMaterial* green = addDebug(r, 0, 1, 0);
    const DebugMaterial* blue = addDebug(r, 0, 0, 1);
    const DebugMaterial* grey = addDebug(r, 0.2f, 0.2f, 0.2f);
    // Sphere of radius 1 at (0, 0, -5); floor y = -2; triangle to the upper right.
    r.addObject(std::make_unique<Sphere>(Vec4(0, 0, -5), Vec4(1, 1, 1), red));
    r.addObject(std::make_unique<Plane>(Vec4(0, 1, 0, 2), green));
    auto tri = std::make_unique<Triangle>(blue);
    tri->v0 = Vec3(1.5f, 1.f, -4.f);
    tri->v1 = Vec3(3.f, 1.f, -4.f);
    tri->v2 = Vec3(1.5f, 2.5f, -4.f);
    tri->computeEdges();
    r.addObject(std::move(tri));
    addSky(r, grey, 500.f);
    finish(r);
    r.exposure = 1.f;
    r.render();

    const double zPlane = -1.0 / std::tan(double(0.69813144f));
    const double sphereSin = 1.0 / 5.0;  // angular radius of the sphere from the eye
    int checked[4] = {0, 0, 0, 0};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            // The sample lies within ±0.25 pixel of the lower-left corner:
            // test the four corners of that region against each shape.
            int votes[4] = {0, 0, 0, 0};
            for (double jx : {-0.25, 0.25}) {
                for (double jy : {-0.25, 0.25}) {
                    const double dx = (2.0 * (x + jx) - w) / w, dy = (2.0 * (y + jy) - h) / h;
                    const double len = std::sqrt(dx * dx + dy * dy + zPlane * zPlane);
                    const double ux = dx / len, uy = dy / len, uz = zPlane / len;
                    // Sphere: angle to the centre direction (0, 0, -1).
                    const double cosToCentre = -uz;
                    const bool inSphere = cosToCentre > std::sqrt(1.0 - sphereSin * sphereSin);
                    // Triangle at z = -4: where the ray crosses that plane.
                    const double t = -4.0 / uz;
                    const double px = ux * t, py = uy * t;
                    const bool inTriangle = px > 1.5 && py > 1.0 && (px - 1.5) + (py - 1.0) < 1.5;
                    const bool onFloor = uy < 0 && -2.0 / uy < 1000.0;
                    const int shape = inSphere ? 0 : inTriangle ? 2 : onFloor ? 1 : 3;
                    ++votes[shape];
                }
            }
            const int shape = int(std::max_element(votes, votes + 4) - votes);
            if (votes[shape] != 4) continue;  // on a silhouette: either is right
            const float expected[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.2f, 0.2f, 0.2f}};
            const float* px = r.radianceBuffer() + 3 * (x + y * w);
            ASSERT_EQ(px[0], expected[shape][0]) << "pixel " << x << "," << y << " shape " << shape;
            ASSERT_EQ(px[1], expected[shape][1]) << "pixel " << x << "," << y << " shape " << shape;
            ASSERT_EQ(px[2], expected[shape][2]) << "pixel " << x << "," << y << " shape " << shape;
            EXPECT_EQ(r.displayBuffer()[3 * (x + y * w)], toneMap(expected[shape][0]));
            ++checked[shape];
        }
    }
    // Every shape covered a real area of the picture.
    for (int s = 0; s < 4; ++s) EXPECT_GT(checked[s], 40) << "shape " << s;
}

// Many threads drawing from the shared tables at once: every draw stays in
// its table and every pixel is still written exactly once. Run under
// ThreadSanitizer in CI.
TEST(RenderPass, ConcurrentPassesWithSharedDraws) {
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, 8);
    class DrawingMaterial : public Material {
    public:
        Vec4 shade(HitRecord&) const override {
            Renderer& r = *Renderer::instance();
            float sum = 0.f;
            for (int i = 0; i < 8; ++i) {
                sum += float(r.nextRandom() % 2);
                sum += r.nextHemisphereDirection().y;
            }
            return Vec4(1.f, sum >= 0.f ? 1.f : 0.f, 0.f);
        }
    };
    Renderer& r = freshRenderer(67, 45);
    const Material* m = r.addMaterial(std::make_unique<DrawingMaterial>());
    addSky(r, m);
    finish(r);
    r.setRandomIndex(999000);  // wrap during the pass
    r.setHemisphereIndex(9990);
    r.render();
    for (int pass = 0; pass < 20; ++pass) r.renderProgressive();
    EXPECT_EQ(r.sampleCount, 21.f);
    for (int i = 0; i < 67 * 45; ++i) ASSERT_EQ(r.radianceBuffer()[3 * i], 21.f);
    EXPECT_GE(r.randomIndex(), 0);
    EXPECT_LT(r.randomIndex(), 1000000);
}
