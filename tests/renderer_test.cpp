// The Renderer: the tone map, what a traced ray meets, and the passes over
// the image (every pixel once, the mean of the samples, analytic pictures).
#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <utility>
#include <vector>

#include "core/Plane.h"
#include "core/SkySphere.h"
#include "core/Sphere.h"
#include "render/ObjectGroups.h"
#include "render/ToneMap.h"
#include "tests/support/Support.h"

using namespace support;

namespace {

// A fixed colour; counts its calls and keeps the depth it was handed.
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

// A scene of one probe sky around the eye.
ProbeMaterial* probeSky(Renderer& r, Vec4 colour, float radius = 100.f) {
    auto* probe =
        static_cast<ProbeMaterial*>(r.addMaterial(std::make_unique<ProbeMaterial>(colour)));
    r.addObject(std::make_unique<SkySphere>(Vec4(radius, radius, radius), probe));
    return probe;
}

}  // namespace

// (1 - e^-x)^(1/2.2), computed here in double precision, within a twentieth
// of a display level.
TEST(ToneMap, ExposureCurveAndDisplayGamma) {
    for (float x : {0.f, 0.01f, 0.25f, 1.f, 4.f})
        EXPECT_NEAR(toneMap(x), std::pow(1.0 - std::exp(-double(x)), 1 / 2.2), 2e-4) << x;
    EXPECT_EQ(toneMap(1000.f), 1.f);
}

// The per-pixel curve gives toneMap's float exactly (0 where the value is
// not positive), at the edges of its range and on a spread of floats;
// bench/pixel_tail_bench checks every float.
TEST(ToneMap, PixelCurveIsTheLibraryCurveToTheBit) {
    std::vector<float> values = {0.f, -0.f, -1.f, NAN, INFINITY, 1e-45f, 1e-9f, 64.f, 63.99999f};
    for (uint32_t bits = 0x30000000u; bits < 0x42900000u; bits += 0x1234u) {
        values.push_back(0.f);
        std::memcpy(&values.back(), &bits, sizeof bits);
    }
    values.resize(values.size() / 3 * 3);
    for (size_t i = 0; i < values.size(); i += 3) {
        float shown[3];
        toneMapPixel(&values[i], shown);
        for (int c = 0; c < 3; ++c) {
            const float v = values[i + c];
            EXPECT_EQ(shown[c], v > 0.f ? toneMap(v) : 0.f) << "v = " << v;
        }
    }
}

TEST(Trace, DepthLimitTieBreaksAndBlockers) {
    Renderer& r = freshRenderer(4, 4);
    ProbeMaterial* probe = probeSky(r, Vec4(0.1f, 0.2f, 0.3f));
    finish(r);
    EXPECT_EQ(r.trace(ray(0, 0, 0, 0, 0, -1), 4), Vec4());  // beyond the depth limit
    EXPECT_EQ(probe->calls.load(), 0);
    EXPECT_EQ(r.trace(ray(0, 0, 0, 0, 0, -1), 3), Vec4(0.1f, 0.2f, 0.3f));
    EXPECT_EQ(probe->lastDepth.load(), 4);
    // Two spheres at the same distance: the one listed first; a mesh
    // triangle as near as a sphere wins.
    r.addObject(std::make_unique<Sphere>(Vec4(0, 0, -5), Vec4(1, 1, 1), addMaterial(r, 1, 0, 0)));
    r.addObject(std::make_unique<Sphere>(Vec4(0, 0, -5), Vec4(1, 1, 1), addMaterial(r, 0, 1, 0)));
    EXPECT_EQ(r.trace(ray(0, 0, 0, 0, 0, -1), 0), Vec4(1, 0, 0));
    r.addMesh(
        {triangle(Vec3(-1, -1, -4), Vec3(1, -1, -4), Vec3(0, 1, -4), addMaterial(r, 0, 0, 1))}, 4);
    EXPECT_EQ(r.trace(ray(0, 0, 0, 0, 0, -1), 0), Vec4(0, 0, 1));
    // Blockers count strictly before the distance; the sky beyond a light
    // does not shadow it.
    EXPECT_EQ(r.visibility(ray(0, 0, 0, 0, 0, -1), 4.001f), 0.f);
    EXPECT_EQ(r.visibility(ray(0, 0, 0, 0, 0, -1), 4.f), 1.f);
    EXPECT_EQ(r.visibility(ray(0, 0, 0, 0, 1, 0), 20.f), 1.f);
}

// Spheres and planes in groups of four lanes answer as a scan of the list
// through each object's own intersect: the nearest hit below the distance
// found before, the earlier object of equal distances (twins in other
// groups and of other kinds), the same record bits, the same blockers.
TEST(Trace, ObjectGroupsAnswerAsTheListScan) {
    const DebugMaterial m;
    std::vector<std::unique_ptr<Primitive>> list;
    // Twelve spheres (three groups) and five planes (the second group short).
    for (int i = 0; i < 11; ++i) {
        const Vec4 c(float(i % 4) - 1.5f, float(i % 3) - 1.f, -4.f - float(i % 5));
        list.push_back(std::make_unique<Sphere>(c, Vec4(0.8f, 0.8f, 0.8f), &m));
        if (i % 3 == 0) list.push_back(std::make_unique<Plane>(Vec4(0, 1, 0, 2.f + float(i)), &m));
        if (i == 9) list.push_back(std::make_unique<Sphere>(c, Vec4(0.8f, 0.8f, 0.8f), &m));
    }
    list.push_back(std::make_unique<Plane>(Vec4(0, 1, 0, 2), &m));  // the first plane's twin
    list.push_back(std::make_unique<SkySphere>(Vec4(50, 50, 50), &m));
    ObjectGroups groups;
    for (const auto& p : list) groups.add(p.get());
    std::mt19937 random(7);
    std::uniform_real_distribution<float> u(-1.f, 1.f);
    for (int k = 0; k < 20000; ++k) {
        const Ray r(Vec4(2 * u(random), 2 * u(random), 2 * u(random)),
                    fastNormalize(Vec4(u(random), u(random), u(random) - 0.5f)));
        const float before = k % 2 ? kNoHitDistance : 3.f + 4.f * u(random);
        float bestDistance = before;
        const Primitive* expected = nullptr;
        HitRecord scan, found;
        bool blocked = false;
        for (const auto& p : list) {
            const HitRecord h = p->intersect(r);
            blocked = blocked || (h.hit && before > h.distance);
            if (h.hit && bestDistance > h.distance)
                bestDistance = h.distance, expected = p.get(), scan = h;
        }
        float distance = before;
        ASSERT_EQ(groups.nearest(r, distance, found), expected) << k;
        EXPECT_EQ(groups.blocks(r, before), blocked) << k;
        if (!expected) continue;
        EXPECT_EQ(distance, bestDistance);
        EXPECT_EQ(found.distance, scan.distance);
        EXPECT_EQ(found.position, scan.position);
        EXPECT_EQ(found.normal, scan.normal);
    }
    // A plane and a sphere both at distance 2 exactly: the one listed first.
    const Plane floor(Vec4(0, 1, 0, 2), &m);
    const Sphere ball(Vec4(0, -3, 0), Vec4(1, 1, 1), &m);
    for (const bool planeFirst : {true, false}) {
        ObjectGroups pair;
        pair.add(planeFirst ? static_cast<const Primitive*>(&floor) : &ball);
        pair.add(planeFirst ? static_cast<const Primitive*>(&ball) : &floor);
        float distance = kNoHitDistance;
        HitRecord h;
        const Primitive* first = planeFirst ? static_cast<const Primitive*>(&floor) : &ball;
        EXPECT_EQ(pair.nearest(ray(0, 0, 0, 0, -1, 0), distance, h), first);
        EXPECT_EQ(distance, 2.f);
    }
}

// The display shows the tone-mapped mean of all samples times the exposure;
// a sample that is not a finite number leaves the mean as it was and is
// counted (a fresh frame shows it black); leaving the still size brings back
// the interactive picture as it was.
TEST(RenderPass, ProgressiveMeanAndTheStillModeRoundTrip) {
    Renderer& r = freshRenderer(20, 20, 30, 10);
    ProbeMaterial* probe = probeSky(r, Vec4(0.25f, 0.5f, 2.f));
    finish(r);
    r.exposure = 0.7f;
    r.render();
    for (int pass = 0; pass < 3; ++pass) r.renderProgressive();
    EXPECT_EQ(r.sampleCount, 4.f);
    const uint64_t counted = r.nonFiniteSamples();
    probe->colour = Vec4(std::nanf(""), INFINITY, 2.f);
    r.renderProgressive();
    EXPECT_EQ(r.nonFiniteSamples(), counted + 400);
    for (int i = 0; i < 400; ++i) {
        ASSERT_EQ(r.radianceBuffer()[3 * i + 2], 10.f);  // 4 samples of 2, and their mean
        ASSERT_EQ(r.displayBuffer()[3 * i + 1], toneMap(0.5f * 0.7f));
    }
    const std::vector<float> display(r.displayBuffer(), r.displayBuffer() + 1200);
    r.setStillMode(true);
    EXPECT_EQ(r.geometry().width, 30);
    r.render();
    r.setStillMode(false);
    EXPECT_TRUE(std::equal(display.begin(), display.end(), r.displayBuffer()));
    r.render();
    EXPECT_EQ(r.nonFiniteSamples(), counted + 400 + 300 + 400);  // and both fresh frames'
    EXPECT_EQ(r.radianceBuffer()[0], 0.f);
}

// A scene made in code, on one thread: each pixel whose sample region lies
// clearly inside or outside a silhouette shows the colour that an
// independent calculation of the camera's rays predicts.
TEST(RenderPass, ImageMatchesAnalyticSilhouettes) {
    SingleThread oneThread;
    const int w = 96, h = 64;
    Renderer& r = freshRenderer(w, h);
    const float colours[4][3] = {{1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0.2f, 0.2f, 0.2f}};
    const Material* m[4];
    for (int s = 0; s < 4; ++s) m[s] = addMaterial(r, colours[s][0], colours[s][1], colours[s][2]);
    r.addObject(std::make_unique<Sphere>(Vec4(0, 0, -5), Vec4(1, 1, 1), m[0]));
    r.addObject(std::make_unique<Plane>(Vec4(0, 1, 0, 2), m[1]));  // floor y = -2
    r.addObject(std::make_unique<Triangle>(
        triangle(Vec3(1.5f, 1.f, -4.f), Vec3(3.f, 1.f, -4.f), Vec3(1.5f, 2.5f, -4.f), m[2])));
    r.addObject(std::make_unique<SkySphere>(Vec4(500, 500, 500), m[3]));
    finish(r);
    r.exposure = 1.f;
    r.render();

    const double zPlane = -1.0 / std::tan(40.0 * 3.14159265358979 / 180.0);  // 80° view
    int checked[4] = {0, 0, 0, 0};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            // The sample lies within a quarter pixel of the lower-left corner:
            // all four corners of that region must see the same shape.
            int shapes = 0, shape = 0;
            for (double jx : {-0.25, 0.25}) {
                for (double jy : {-0.25, 0.25}) {
                    const double dx = (2.0 * (x + jx) - w) / w, dy = (2.0 * (y + jy) - h) / h;
                    const double len = std::sqrt(dx * dx + dy * dy + zPlane * zPlane);
                    const double ux = dx / len, uy = dy / len, uz = zPlane / len;
                    const double px = ux * -4.0 / uz, py = uy * -4.0 / uz;  // at z = -4
                    shape = -uz > std::sqrt(1.0 - 0.04)                             ? 0
                            : px > 1.5 && py > 1.0 && (px - 1.5) + (py - 1.0) < 1.5 ? 2
                            : uy < 0 && -2.0 / uy < 1000.0                          ? 1
                                                                                    : 3;
                    shapes |= 1 << shape;
                }
            }
            if (shapes != 1 << shape) continue;  // on a silhouette: either is right
            const float* px = r.radianceBuffer() + 3 * (x + y * w);
            for (int c = 0; c < 3; ++c)
                ASSERT_EQ(px[c], colours[shape][c])
                    << "pixel " << x << "," << y << " shape " << shape;
            ++checked[shape];
        }
    }
    for (int s = 0; s < 4; ++s) EXPECT_GT(checked[s], 40) << "shape " << s;
}

// Which table entries a pixel's draws read depends on the pass and the pixel
// alone: passes on one and on eight threads give the same sums, bit for bit
// (the same binary on the same machine), every pixel written once per pass.
// Run under ThreadSanitizer in CI.
TEST(RenderPass, AnyThreadCountGivesTheSamePicture) {
    class DrawingMaterial : public Material {
    public:
        Vec4 shade(HitRecord&) const override {
            Renderer& r = *Renderer::instance();
            float random = 0.f, hemisphere = 0.f;
            for (int i = 0; i < 8; ++i) {
                random += float(r.nextRandom() % 1000);
                hemisphere += r.nextHemisphereDirection().y;
            }
            return Vec4(1.f, random, hemisphere);
        }
    };
    Renderer& r = freshRenderer(67, 45);
    r.addObject(std::make_unique<SkySphere>(Vec4(100, 100, 100),
                                            r.addMaterial(std::make_unique<DrawingMaterial>())));
    finish(r);
    std::vector<float> sums[2];
    for (int threads : {1, 8}) {
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, size_t(threads));
        r.render();
        for (int pass = 0; pass < 20; ++pass) r.renderProgressive();
        sums[threads > 1].assign(r.radianceBuffer(), r.radianceBuffer() + 67 * 45 * 3);
    }
    for (int i = 0; i < 67 * 45; ++i) ASSERT_EQ(sums[1][3 * i], 21.f);
    EXPECT_EQ(std::memcmp(sums[0].data(), sums[1].data(), sums[0].size() * sizeof(float)), 0);
    EXPECT_NE(sums[1][1], sums[1][4]);  // neighbours draw apart
}

// A pass walks each row's hash keys by addition; every pixel still starts
// where the hash of its pass and place says, its two primary draws taken.
TEST(RenderPass, EachPixelStartsWhereItsHashSays) {
    class PlaceMaterial : public Material {
    public:
        Vec4 shade(HitRecord&) const override {
            const Renderer& r = *Renderer::instance();
            return Vec4(float(r.randomIndex()), float(r.hemisphereIndex()), 0.f);
        }
    };
    const int w = 37, h = 35;  // tiles cut unevenly on both axes
    Renderer& r = freshRenderer(w, h);
    r.addObject(std::make_unique<SkySphere>(Vec4(100, 100, 100),
                                            r.addMaterial(std::make_unique<PlaceMaterial>())));
    finish(r);
    r.render();
    r.renderProgressive();  // pass 2 holds the sum of both passes' places
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            float expected[2] = {};
            for (uint32_t pass : {1u, 2u}) {
                const Renderer::DrawStart s =
                    Renderer::pixelDrawStart(pass, Renderer::randomWindow(pass), x, y);
                expected[0] += float((s.random + 2) % Renderer::kRandomTableSize);
                expected[1] += float(s.hemisphere);
            }
            const float* px = r.radianceBuffer() + 3 * (x + y * w);
            ASSERT_EQ(px[0], expected[0]) << x << "," << y;
            ASSERT_EQ(px[1], expected[1]) << x << "," << y;
        }
    }
}

// Passes 1-5, 6-11 and 12-16 rendered as ranges, their means weighted by
// their pass counts, make the mean of one run of 16 passes, to float
// rounding: what parts rendered on several machines are merged into.
TEST(PassRanges, PartsWeightedByTheirPassesMakeTheWholeRun) {
    Renderer& r = *Renderer::instance();
    std::string error;
    ASSERT_TRUE(readScene(r, (examplesDirectory() / "room" / "scene.txt").string(), error))
        << error;
    const size_t floats = size_t(r.geometry().pixelCount()) * 3;
    r.sampleCount = 1.f;
    r.render();
    for (int pass = 2; pass <= 16; ++pass) r.renderProgressive();
    const std::vector<float> whole(r.radianceBuffer(), r.radianceBuffer() + floats);
    std::vector<double> merged(floats, 0.0);
    for (const auto& [first, count] : {std::pair{1, 5}, {6, 6}, {12, 5}}) {
        r.startPassRange(uint32_t(first));
        for (int pass = 0; pass < count; ++pass) r.renderProgressive();
        ASSERT_EQ(r.sampleCount, float(count));
        ASSERT_EQ(r.passNumber(), uint32_t(first + count - 1));
        for (size_t k = 0; k < floats; ++k)
            merged[k] += double(r.radianceBuffer()[k] / r.sampleCount) * count / 16.0;
    }
    for (size_t k = 0; k < floats; ++k) {
        const double mean = double(whole[k]) / 16.0;
        ASSERT_NEAR(merged[k], mean, 1e-5 * std::max(1.0, mean)) << "float " << k;
    }
}
