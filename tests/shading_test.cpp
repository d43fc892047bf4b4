// The surface materials: direct light with shadows, mirrors, glass, the two
// Monte Carlo materials, and rendered scenes that use all of them.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <memory>
#include <vector>

#include "core/Plane.h"
#include "core/SkySphere.h"
#include "core/Sphere.h"
#include "shading/DielectricMaterial.h"
#include "shading/DiffuseGIPhongMaterial.h"
#include "shading/DiffusePhongMaterial.h"
#include "shading/GlossyReflectionMaterial.h"
#include "shading/HdrEnvironmentMap.h"
#include "shading/SimplePhongMaterial.h"
#include "tests/HdrFiles.h"
#include "tests/TestScene.h"

using namespace testing_scene;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Misses every ray and counts the rays it was asked about: in a scene whose
// only object it is, that is the number of rays a material cast.
class CountingPrimitive : public Primitive {
public:
    CountingPrimitive() : Primitive(nullptr) {}
    HitRecord intersect(const Ray& ray) const override {
        ++calls;
        last = ray;
        return HitRecord();
    }
    mutable int calls = 0;
    mutable Ray last;
};

// Returns `above` for rays travelling along +axis and `below` otherwise, and
// records every ray that reached it, in order (single-threaded tests only).
class RecordingMaterial : public Material {
public:
    static constexpr int kMaxRays = 64;
    RecordingMaterial(Vec4 axis_, Vec4 above_, Vec4 below_)
        : axis(axis_), above(above_), below(below_) {}
    Vec4 shade(HitRecord& hit) const override {
        if (count < kMaxRays) rays[size_t(count)] = Ray(hit.rayOrigin, hit.rayDirection);
        ++count;
        return dotf(hit.rayDirection, axis) > 0.f ? above : below;
    }
    Vec4 axis, above, below;
    mutable std::array<Ray, kMaxRays> rays;
    mutable int count = 0;
};

CountingPrimitive* addCounter(Renderer& r) {
    auto counter = std::make_unique<CountingPrimitive>();
    CountingPrimitive* raw = counter.get();
    r.addObject(std::move(counter));
    return raw;
}

RecordingMaterial* addRecordingSky(Renderer& r, Vec4 axis, Vec4 above, Vec4 below,
                                   float radius = 100.f) {
    auto m = std::make_unique<RecordingMaterial>(axis, above, below);
    auto* raw = static_cast<RecordingMaterial*>(r.addMaterial(std::move(m)));
    r.addObject(std::make_unique<SkySphere>(Vec4(radius, radius, radius), raw));
    return raw;
}

void addLight(Renderer& r, Vec4 position, Vec4 colour) {
    Light light;
    light.position = position;
    light.colour = colour;
    r.addLight(light);
}

// A hit as Renderer::trace hands it to a material.
HitRecord hitAt(Vec4 position, Vec4 normal, Vec4 rayOrigin, int depth = 1) {
    HitRecord h;
    h.hit = true;
    h.position = position;
    h.normal = normal;
    h.rayOrigin = rayOrigin;
    h.rayDirection = fastNormalize(position - rayOrigin);
    h.distance = 1.f;
    h.depth = depth;
    return h;
}

::testing::AssertionResult near(const Vec4& actual, const Vec4& expected, float tolerance) {
    for (int lane = 0; lane < 4; ++lane) {
        if (!(std::fabs(actual[lane] - expected[lane]) <= tolerance))
            return ::testing::AssertionFailure()
                   << actual << " differs from " << expected << " by more than " << tolerance;
    }
    return ::testing::AssertionSuccess();
}

Ray ray(float ox, float oy, float oz, float dx, float dy, float dz) {
    return Ray(Vec4(ox, oy, oz), Vec4(dx, dy, dz));
}

}  // namespace

// --- Direct light ------------------------------------------------------------------

TEST(DebugMaterial, FlatColourWithOrWithoutLightsAndNoRay) {
    Renderer& r = freshRenderer(4, 4);
    DebugMaterial* m = addDebug(r, 0.2f, 0.4f, 0.6f);
    const CountingPrimitive* counter = addCounter(r);
    finish(r);
    HitRecord h = hitAt(Vec4(), Vec4(0, 1, 0), Vec4(0, 3, 0));
    EXPECT_EQ(m->shade(h), Vec4(0.2f, 0.4f, 0.6f, 0.f));
    addLight(r, Vec4(0, 2, 0), Vec4(10, 10, 10));
    EXPECT_EQ(m->shade(h), Vec4(0.2f, 0.4f, 0.6f, 0.f));
    EXPECT_EQ(counter->calls, 0);
}

TEST(DiffusePhong, InverseSquareIsCappedForLightsWithinOneUnit) {
    Renderer& r = freshRenderer(4, 4);
    auto* white = addColourMaterial<DiffusePhongMaterial>(r, 1, 1, 1);
    const CountingPrimitive* counter = addCounter(r);
    addLight(r, Vec4(0, 2, 0), Vec4(10, 10, 10));
    finish(r);
    HitRecord h = hitAt(Vec4(), Vec4(0, 1, 0), Vec4(1, 3, 0));
    EXPECT_TRUE(near(white->shade(h), Vec4(2.5f, 2.5f, 2.5f, 0.f), 0.005f));
    // One shadow ray, 0.002 along the light direction, towards the light.
    EXPECT_EQ(counter->calls, 1);
    EXPECT_TRUE(near(counter->last.origin, Vec4(0, 0.002f, 0), 2e-6f));
    EXPECT_TRUE(near(counter->last.direction, Vec4(0, 1, 0), 0.001f));

    r.light(0).position = Vec4(0, 0.5f, 0);
    EXPECT_TRUE(near(white->shade(h), Vec4(10, 10, 10, 0), 0.01f));

    // The colours multiply lane by lane.
    auto* tinted = addColourMaterial<DiffusePhongMaterial>(r, 0.5f, 0.25f, 0);
    r.light(0).colour = Vec4(2, 4, 8);
    EXPECT_TRUE(near(tinted->shade(h), Vec4(1, 1, 0, 0), 0.002f));
}

TEST(DiffusePhong, LightBehindTheSurfaceIsBlackButStillCastsTheShadowRay) {
    Renderer& r = freshRenderer(4, 4);
    auto* white = addColourMaterial<DiffusePhongMaterial>(r, 1, 1, 1);
    const CountingPrimitive* counter = addCounter(r);
    addLight(r, Vec4(0, -2, 0), Vec4(10, 10, 10));
    finish(r);
    HitRecord h = hitAt(Vec4(), Vec4(0, 1, 0), Vec4(0, 3, 0));
    EXPECT_EQ(white->shade(h), Vec4());
    EXPECT_EQ(counter->calls, 1);
    EXPECT_TRUE(near(counter->last.direction, Vec4(0, -1, 0), 0.001f));
}

TEST(DiffusePhong, OnlyObjectsBetweenPointAndLightCastShadows) {
    Renderer& r = freshRenderer(4, 4);
    auto* white = addColourMaterial<DiffusePhongMaterial>(r, 1, 1, 1);
    auto* glass = addColourMaterial<DielectricMaterial>(r, 1, 1, 1);
    addLight(r, Vec4(0, 2, 0), Vec4(10, 10, 10));
    // Beyond the light: no shadow.
    r.addObject(std::make_unique<Sphere>(Vec4(0, 3.5f, 0), Vec4(0.5f, 0.5f, 0.5f), white));
    finish(r);
    HitRecord h = hitAt(Vec4(), Vec4(0, 1, 0), Vec4(0, 3, 0));
    EXPECT_TRUE(near(white->shade(h), Vec4(2.5f, 2.5f, 2.5f, 0.f), 0.005f));

    // A second light, then glass between the point and the first light: the
    // glass lets camera rays through but casts a full shadow.
    addLight(r, Vec4(2, 0, 0), Vec4(0, 0, 4));  // cosine 0: adds nothing
    r.addObject(std::make_unique<Sphere>(Vec4(0, 1, 0), Vec4(0.3f, 0.3f, 0.3f), glass));
    EXPECT_EQ(white->shade(h), Vec4());

    // A light exactly at the hit point has no direction and adds nothing.
    addLight(r, Vec4(), Vec4(5, 5, 5));
    const Vec4 c = white->shade(h);
    EXPECT_EQ(c, Vec4());
}

// --- Mirrors ----------------------------------------------------------------------

TEST(SimplePhong, MirrorShowsTheRedWallTinted) {
    Renderer& r = freshRenderer(4, 4);
    auto* mirror = addColourMaterial<SimplePhongMaterial>(r, 0.5f, 0.5f, 0.5f);
    const DebugMaterial* red = addDebug(r, 1, 0, 0);
    const DebugMaterial* green = addDebug(r, 0, 1, 0);
    r.addObject(std::make_unique<Plane>(Vec4(0, 1, 0, 0), mirror));  // floor y = 0
    r.addObject(std::make_unique<Plane>(Vec4(-1, 0, 0, 3), red));    // x = 3, facing -x
    r.addObject(std::make_unique<Plane>(Vec4(1, 0, 0, 3), green));   // x = -3, facing +x
    finish(r);
    // Down onto the mirror at (1, 0, 0); the reflection climbs to the red wall.
    const float s = 0.70710677f;
    EXPECT_EQ(r.trace(ray(0, 1, 0, s, -s, 0), 0), Vec4(0.5f, 0, 0, 0));
    // The mirror reached at depth 3 traces its reflection at depth 4: black.
    EXPECT_EQ(r.trace(ray(0, 1, 0, s, -s, 0), 3), Vec4());
}

// A corridor between two parallel mirrors (x = ±1) ending in a red wall: the
// ray from the eye bounces every 2 units of z. An object seen through three
// mirrors is shaded normally; a fourth mirror in the chain is black.
TEST(SimplePhong, MirrorCorridorTurnsBlackAtTheDepthLimit) {
    const float s = 0.70710677f;
    const struct {
        float wallZ;
        Vec4 expected;
    } cases[] = {
        {-2.f, Vec4(0.5f, 0, 0, 0)},    // one mirror
        {-4.f, Vec4(0.25f, 0, 0, 0)},   // two
        {-6.f, Vec4(0.125f, 0, 0, 0)},  // three: the wall is shaded at depth 3
        {-8.f, Vec4()},                 // the fourth mirror is reached at depth 3
    };
    for (const auto& c : cases) {
        Renderer& r = freshRenderer(4, 4);
        auto* mirror = addColourMaterial<SimplePhongMaterial>(r, 0.5f, 0.5f, 0.5f);
        const DebugMaterial* red = addDebug(r, 1, 0, 0);
        r.addObject(std::make_unique<Plane>(Vec4(-1, 0, 0, 1), mirror));  // x = 1
        r.addObject(std::make_unique<Plane>(Vec4(1, 0, 0, 1), mirror));   // x = -1
        r.addObject(std::make_unique<Plane>(Vec4(0, 0, 1, -c.wallZ), red));
        finish(r);
        EXPECT_EQ(r.trace(ray(0, 0, 0, s, 0, -s), 0), c.expected) << "wall at z = " << c.wallZ;
    }
}

// --- Glass ------------------------------------------------------------------------

namespace {

// Glass surface at the origin with normal +z, inside a sky that is red
// above the surface's plane and green below it.
struct GlassScene {
    Renderer& r = freshRenderer(4, 4);
    DielectricMaterial* glass = addColourMaterial<DielectricMaterial>(r, 0.9f, 0.8f, 0.7f);
    RecordingMaterial* sky = addRecordingSky(r, Vec4(0, 0, 1), Vec4(1, 0, 0), Vec4(0, 1, 0));
    GlassScene() { finish(r); }

    // Shades a hit whose ray came from direction `towardsOrigin` (unit).
    Vec4 shadeFrom(const Vec4& towardsOrigin, HitRecord* record = nullptr) {
        HitRecord h = hitAt(Vec4(), Vec4(0, 0, 1), towardsOrigin * 4.f);
        const Vec4 c = glass->shade(h);
        if (record) *record = h;
        return c;
    }
};

}  // namespace

TEST(Dielectric, HeadOnTheRayContinuesStraightOn) {
    GlassScene g;
    const Vec4 c = g.shadeFrom(Vec4(0, 0, 1));
    // F = 0: all of the colour comes from the refracted ray.
    EXPECT_TRUE(near(c, Vec4(0, 0.8f, 0, 0), 1e-4f));
    ASSERT_EQ(g.sky->count, 2);  // both rays are traced, mirror first
    EXPECT_TRUE(near(g.sky->rays[0].direction, Vec4(0, 0, 1), 0.001f));
    EXPECT_TRUE(near(g.sky->rays[1].direction, Vec4(0, 0, -1), 0.001f));
    EXPECT_TRUE(near(g.sky->rays[1].origin, Vec4(0, 0, -0.002f), 1e-5f));
}

TEST(Dielectric, HalfCosineBlendsOneSixteenthOfTheMirrorWithSnellRefraction) {
    GlassScene g;
    const double sinI = std::sqrt(0.75);
    const Vec4 c = g.shadeFrom(Vec4(float(sinI), 0, 0.5f));
    const float f = 0.0625f;
    EXPECT_TRUE(near(c, Vec4(0.9f * f, 0.8f * (1 - f), 0, 0), 0.002f));
    ASSERT_EQ(g.sky->count, 2);
    EXPECT_TRUE(near(g.sky->rays[0].direction, Vec4(-float(sinI), 0, 0.5f), 0.002f));
    // Snell's law with index 2.32 entered from index 1.
    const double sinT = sinI / 2.32;
    const Vec4 t(-float(sinT), 0, -float(std::sqrt(1 - sinT * sinT)));
    EXPECT_TRUE(near(g.sky->rays[1].direction, t, 0.002f));
    EXPECT_TRUE(near(g.sky->rays[1].origin, t * 0.002f, 1e-5f));
}

TEST(Dielectric, GrazingIsAlmostAMirror) {
    GlassScene g;
    const float cosI = 0.05f;
    const Vec4 c = g.shadeFrom(Vec4(std::sqrt(1 - cosI * cosI), 0, cosI));
    const float f = 0.95f * 0.95f * 0.95f * 0.95f;
    EXPECT_TRUE(near(c, Vec4(0.9f * f, 0.8f * (1 - f), 0, 0), 0.003f));
}

TEST(Dielectric, RayFromInsideTurnsTheNormalInTheRecord) {
    GlassScene g;
    HitRecord h;
    const Vec4 c = g.shadeFrom(Vec4(0, 0, -1), &h);
    EXPECT_EQ(h.normal, Vec4(0, 0, -1));
    // With the turned normal the mirror ray goes back down (green) and the
    // refracted ray carries on up (red).
    EXPECT_TRUE(near(c, Vec4(0.9f, 0, 0, 0), 1e-4f));
    EXPECT_TRUE(near(g.sky->rays[0].direction, Vec4(0, 0, -1), 0.001f));
    EXPECT_TRUE(near(g.sky->rays[0].origin, Vec4(0, 0, -0.002f), 1e-5f));

    // A hit from the side the normal faces leaves the record alone.
    g.shadeFrom(Vec4(0.6f, 0, 0.8f), &h);
    EXPECT_EQ(h.normal, Vec4(0, 0, 1));
}

TEST(Dielectric, SurfaceReachedAtDepthThreeIsBlack) {
    Renderer& r = freshRenderer(4, 4);
    auto* glass = addColourMaterial<DielectricMaterial>(r, 0.9f, 0.8f, 0.7f);
    addRecordingSky(r, Vec4(0, 0, 1), Vec4(1, 1, 1), Vec4(1, 1, 1));
    r.addObject(std::make_unique<Plane>(Vec4(0, 0, 1, 0), glass));
    finish(r);
    EXPECT_TRUE(near(r.trace(ray(0, 0, 5, 0, 0, -1), 2), Vec4(0.9f, 0.8f, 0.7f, 0), 1e-4f));
    EXPECT_EQ(r.trace(ray(0, 0, 5, 0, 0, -1), 3), Vec4());
}

// A hit at its ray's own origin, where rounding puts a sphere's far root for
// a ray that leaves from exactly on the sphere's surface: glass and mirrors
// take the way back along the ray and shade exactly as for the same ray hit
// from one unit further back (they normalised a zero vector, not-a-number).
TEST(Mirrors, HitAtTheRaysOwnOriginShadesAsFromFurtherBack) {
    Renderer& r = freshRenderer(4, 4);
    addRecordingSky(r, Vec4(0, 0, 1), Vec4(1, 0, 0), Vec4(0, 1, 0));
    const Material* const materials[] = {
        addColourMaterial<DielectricMaterial>(r, 0.9f, 0.8f, 0.7f),
        addColourMaterial<SimplePhongMaterial>(r, 0.9f, 0.8f, 0.7f),
        addColourMaterial<GlossyReflectionMaterial>(r, 0.9f, 0.8f, 0.7f)};
    finish(r);
    const Vec4 direction(0.6f, 0, 0.8f);
    for (size_t i = 0; i < 3; ++i) {
        const Material* m = materials[i];
        HitRecord fromBack = hitAt(Vec4(), Vec4(0, 0, 1), -direction);
        HitRecord atOrigin = hitAt(Vec4(), Vec4(0, 0, 1), Vec4());
        atOrigin.rayDirection = direction;
        r.setRandomIndex(0);  // the same glossy offsets for both
        const Vec4 expected = m->shade(fromBack);
        r.setRandomIndex(0);
        EXPECT_EQ(m->shade(atOrigin), expected) << "material " << i;
        EXPECT_FALSE(expected == Vec4());
    }
}

// --- Diffuse GI ---------------------------------------------------------------------

// The sample directions come from the hemisphere table (y ≥ 0) in draw
// order. A floor never turns one; a ceiling turns every one with y > 0.
// Either way the rays start 0.002 along the normal and the indirect term is
// the mean of the cosines (here under a white sky) divided by π.
TEST(DiffuseGI, FloorKeepsAndCeilingTurnsTheTableDirections) {
    Renderer& r = freshRenderer(4, 4);
    auto* gi = addColourMaterial<DiffuseGIPhongMaterial>(r, 1, 1, 1);
    RecordingMaterial* sky = addRecordingSky(r, Vec4(0, 1, 0), Vec4(1, 1, 1), Vec4(1, 1, 1));
    finish(r);
    const int n = 40;
    r.giSampleCount = float(n);
    const std::vector<Vec4>& table = r.hemisphereTable();

    double cosineSum = 0;
    for (int i = 1; i <= n; ++i) cosineSum += double(table[size_t(i)].y);
    const float expected = float(cosineSum / (kPi * n));

    HitRecord floor = hitAt(Vec4(), Vec4(0, 1, 0), Vec4(0, 1, 1));
    const Vec4 floorColour = gi->shade(floor);
    ASSERT_EQ(sky->count, n);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(sky->rays[size_t(i)].direction, fastNormalize(table[size_t(i + 1)]));
        EXPECT_EQ(sky->rays[size_t(i)].origin, Vec4(0, 0.002f, 0));
    }
    EXPECT_NEAR(floorColour.x, expected, 1e-5f);
    EXPECT_EQ(floorColour.w, 0.f);

    r.setHemisphereIndex(0);
    sky->count = 0;
    HitRecord ceiling = hitAt(Vec4(), Vec4(0, -1, 0), Vec4(0, -1, 1));
    const Vec4 ceilingColour = gi->shade(ceiling);
    ASSERT_EQ(sky->count, n);
    int turned = 0;
    for (int i = 0; i < n; ++i) {
        const Vec4& d = table[size_t(i + 1)];
        const Vec4 expectedDirection = d.y > 0.f ? fastNormalize(-d) : fastNormalize(d);
        turned += d.y > 0.f;
        EXPECT_EQ(sky->rays[size_t(i)].direction, expectedDirection) << "sample " << i;
        EXPECT_EQ(sky->rays[size_t(i)].origin, Vec4(0, -0.002f, 0));
    }
    EXPECT_GT(turned, n / 2);
    EXPECT_EQ(ceilingColour, floorColour);
}

TEST(DiffuseGI, SampleCountIsTruncatedAndBelowOneLeavesTheIndirectTermOut) {
    Renderer& r = freshRenderer(4, 4);
    auto* gi = addColourMaterial<DiffuseGIPhongMaterial>(r, 1, 1, 1);
    addRecordingSky(r, Vec4(0, 1, 0), Vec4(1, 1, 1), Vec4(1, 1, 1));
    addLight(r, Vec4(0, 2, 0), Vec4(10, 10, 10));
    finish(r);
    HitRecord h = hitAt(Vec4(), Vec4(0, 1, 0), Vec4(0, 1, 1));
    const float direct = float(2.5 / kPi);
    for (float count : {0.f, 0.5f}) {
        r.giSampleCount = count;
        r.setHemisphereIndex(0);
        const Vec4 c = gi->shade(h);
        EXPECT_TRUE(near(c, Vec4(direct, direct, direct, 0), 0.002f)) << "count " << count;
        EXPECT_EQ(r.hemisphereIndex(), 0) << "no direction drawn for count " << count;
    }
    r.giSampleCount = 2.5f;
    r.setHemisphereIndex(0);
    const Vec4 c = gi->shade(h);
    EXPECT_EQ(r.hemisphereIndex(), 2);
    const std::vector<Vec4>& table = r.hemisphereTable();
    const double indirect = (double(table[1].y) + double(table[2].y)) / kPi * 0.4;
    EXPECT_NEAR(double(c.y), double(direct) + indirect, 0.002);
}

TEST(DiffuseGI, NegativeColourLanesAreClampedToZero) {
    Renderer& r = freshRenderer(4, 4);
    auto* gi = addColourMaterial<DiffuseGIPhongMaterial>(r, -1, 0.5f, 1);
    addLight(r, Vec4(0, 0.5f, 0), Vec4(10, 10, 10));
    finish(r);
    HitRecord h = hitAt(Vec4(), Vec4(0, 1, 0), Vec4(0, 1, 1));
    const Vec4 c = gi->shade(h);
    EXPECT_EQ(c.x, 0.f);
    // Within one unit the inverse square is capped: colour × light × cosine / π.
    EXPECT_NEAR(c.y, 5 / kPi, 0.005);
    EXPECT_NEAR(c.z, 10 / kPi, 0.01);
}

// --- Glossy ---------------------------------------------------------------------------

TEST(Glossy, OnePerturbedMirrorRayWithoutLights) {
    Renderer& r = freshRenderer(4, 4);
    auto* glossy = addColourMaterial<GlossyReflectionMaterial>(r, 0.5f, 1, 0.25f);
    RecordingMaterial* sky =
        addRecordingSky(r, Vec4(0, 1, 0), Vec4(0.2f, 0.4f, 0.8f), Vec4(9, 9, 9));
    finish(r);
    r.giSampleCount = 1;
    HitRecord h = hitAt(Vec4(), Vec4(0, 1, 0), Vec4(-1, 1, 0));
    const Vec4 c = glossy->shade(h);
    EXPECT_TRUE(near(c, Vec4(0.1f, 0.4f, 0.2f, 0), 1e-6f));
    ASSERT_EQ(sky->count, 1);
    // Offsets from the next three table entries, in x, y, z order, added to
    // the mirror direction and not normalised again.
    const std::vector<int32_t>& table = r.randomTable();
    auto offset = [&](int i) { return float(table[size_t(i)] % 1000 - 500) * 0.0001f; };
    const Vec4 mirror = fastNormalize(Vec4(1, 1, 0));
    EXPECT_EQ(sky->rays[0].direction, mirror + Vec4(offset(1), offset(2), offset(3), 0));
    EXPECT_EQ(sky->rays[0].origin, mirror * 0.002f);
    EXPECT_EQ(r.randomIndex(), 3);

    // Fewer than one sample: no reflection, no draw, no division by zero.
    r.giSampleCount = 0;
    EXPECT_EQ(glossy->shade(h), Vec4());
    EXPECT_EQ(r.randomIndex(), 3);
}

TEST(Glossy, DirectLightIsNotCappedUnlikeDiffuseGI) {
    Renderer& r = freshRenderer(4, 4);
    auto* glossy = addColourMaterial<GlossyReflectionMaterial>(r, 1, 1, 1);
    auto* gi = addColourMaterial<DiffuseGIPhongMaterial>(r, 1, 1, 1);
    addLight(r, Vec4(0, 0.5f, 0), Vec4(10, 10, 10));
    finish(r);
    r.giSampleCount = 1;  // the sample rays meet nothing: black
    HitRecord h = hitAt(Vec4(), Vec4(0, 1, 0), Vec4(0, 1, 1));
    EXPECT_TRUE(near(glossy->shade(h), Vec4(40, 40, 40, 0), 0.05f));
    const float capped = float(10 / kPi);
    EXPECT_TRUE(near(gi->shade(h), Vec4(capped, capped, capped, 0), 0.005f));
    // At distance 2 both follow the inverse square (the diffuse one over π).
    r.light(0).position = Vec4(0, 2, 0);
    EXPECT_TRUE(near(glossy->shade(h), Vec4(2.5f, 2.5f, 2.5f, 0), 0.005f));
}

// --- Rendered scenes --------------------------------------------------------------------

namespace {

// Pixel (x, y) of a w × h image that an unjittered ray through point p
// (camera at the origin looking along -z) falls into.
std::array<int, 2> pixelOf(const Vec3& p, int w, int h, float imagePlaneZ) {
    const double dx = p.x * imagePlaneZ / p.z, dy = p.y * imagePlaneZ / p.z;
    return {int(std::floor((dx + 1) * w / 2)), int(std::floor((dy + 1) * h / 2))};
}

// Unjittered unit direction of pixel (x, y)'s sample region centre.
Vec3 pixelDirection(int x, int y, int w, int h, float imagePlaneZ) {
    const double dx = (2.0 * x - w) / w, dy = (2.0 * y - h) / h;
    const double z = imagePlaneZ;
    const double len = std::sqrt(dx * dx + dy * dy + z * z);
    return Vec3(float(dx / len), float(dy / len), float(z / len));
}

// Whether the ray from the origin along unit direction d passes within
// radius of centre.
bool passesWithin(const Vec3& d, const Vec3& centre, float radius) {
    const double cx = centre.x, cy = centre.y, cz = centre.z, r = radius;
    const double along = double(d.x) * cx + double(d.y) * cy + double(d.z) * cz;
    const double cc = cx * cx + cy * cy + cz * cz;
    return along > 0 && cc - along * along < r * r;
}

// A sky picture: reddish towards its top, bluish towards its bottom, the
// same along every row.
hdr_files::TempFile writeGradientSky() {
    hdr_files::TempFile file("gradient_sky.hdr");
    const int h = 64;
    const bool written = hdr_files::writeHdr(file, 128, h, [h](int, int y) {
        const float t = float(y) / float(h - 1);  // 0 at the bottom row
        return std::array<float, 3>{0.1f + 1.9f * t, 0.6f, 2.0f - 1.9f * t};
    });
    EXPECT_TRUE(written);
    return file;
}

// The gradient sky as a material of r; null when it cannot be loaded.
const HdrEnvironmentMap* addGradientSky(Renderer& r) {
    auto env = std::make_unique<HdrEnvironmentMap>();
    if (!env->load(writeGradientSky())) return nullptr;
    return static_cast<const HdrEnvironmentMap*>(r.addMaterial(std::move(env)));
}

std::vector<float> radianceCopy(const Renderer& r) {
    const float* p = r.radianceBuffer();
    return std::vector<float>(p, p + 3 * size_t(r.geometry().pixelCount()));
}

}  // namespace

// A ball of glass (index 2.32) works as a strong lens: it shows the sky
// behind it upside down, tinted, and never brighter than the sky times the
// tint, whatever the mixture of mirror and refracted rays.
TEST(RenderedScene, GlassBallShowsTheSkyUpsideDownAndNoBrighter) {
    SingleThread oneThread;
    const int w = 64, h = 64;
    Renderer& r = freshRenderer(w, h);
    const HdrEnvironmentMap* sky = addGradientSky(r);
    ASSERT_NE(sky, nullptr);
    const Vec4 tint(0.9f, 0.95f, 0.8f);
    auto* glass = addColourMaterial<DielectricMaterial>(r, tint.x, tint.y, tint.z);
    const Vec3 centre(0, 0, -4);
    r.addObject(std::make_unique<Sphere>(Vec4(centre), Vec4(1, 1, 1), glass));
    r.addObject(std::make_unique<SkySphere>(Vec4(50, 50, 50), sky));
    finish(r);
    r.render();

    float skyMax[3] = {0, 0, 0};
    for (int i = 0; i < sky->width * sky->height; ++i)
        for (int c = 0; c < 3; ++c) skyMax[c] = std::max(skyMax[c], sky->pixels[3 * i + c]);

    double ballRed[2] = {0, 0}, ballBlue[2] = {0, 0}, skyRed[2] = {0, 0};
    int ballCount[2] = {0, 0}, skyCount[2] = {0, 0};
    const float* rad = r.radianceBuffer();
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const float* px = rad + 3 * (x + y * w);
            const Vec3 d = pixelDirection(x, y, w, h, r.imagePlaneZ);
            const int upper = y >= h / 2 ? 1 : 0;
            if (passesWithin(d, centre, 0.85f)) {
                for (int c = 0; c < 3; ++c) {
                    ASSERT_GE(px[c], 0.f);
                    ASSERT_LE(px[c], skyMax[c] * tint[c] * 1.00001f) << x << "," << y;
                }
                if (std::abs(y - h / 2) > 2) {
                    ballRed[upper] += double(px[0]);
                    ballBlue[upper] += double(px[2]);
                    ++ballCount[upper];
                }
            } else if (!passesWithin(d, centre, 1.2f)) {
                skyRed[upper] += double(px[0]);
                ++skyCount[upper];
            }
        }
    }
    ASSERT_GT(ballCount[0], 30);
    ASSERT_GT(ballCount[1], 30);
    // Around the ball the sky is redder above; in the ball it is redder below.
    EXPECT_GT(skyRed[1] / skyCount[1], skyRed[0] / skyCount[0]);
    EXPECT_LT(ballRed[1] / ballCount[1], ballRed[0] / ballCount[0]);
    EXPECT_GT(ballBlue[1] / ballCount[1], ballBlue[0] / ballCount[0]);

    // Straight through the centre both surfaces are met head-on: the sky
    // behind the ball, tinted twice.
    const Vec4 behind = sky->lookup(Vec4(0, 0, 1));
    const float* mid = rad + 3 * (w / 2 + (h / 2) * w);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(mid[c], behind[c] * tint[c] * tint[c], 0.05f * behind[c]) << "channel " << c;
}

// Without any light a diffuse-GI floor under a white sky is lit by the sky
// alone: the mean over the floor approaches the table's mean cosine over π.
TEST(RenderedScene, DiffuseGIFloorUnderWhiteSkyIsLitWithoutLights) {
    SingleThread oneThread;
    const int w = 48, h = 36;
    Renderer& r = freshRenderer(w, h);
    const DebugMaterial* white = addDebug(r, 1, 1, 1);
    auto* floor = addColourMaterial<DiffuseGIPhongMaterial>(r, 0.8f, 0.8f, 0.8f);
    r.addObject(std::make_unique<Plane>(Vec4(0, 1, 0, 1), floor));  // y = -1
    r.addObject(std::make_unique<SkySphere>(Vec4(50, 50, 50), white));
    finish(r);
    r.giSampleCount = 4;
    r.render();
    const std::vector<float> first = radianceCopy(r);

    double tableMeanY = 0;
    for (int i = 0; i < Renderer::kHemisphereDirections; ++i)
        tableMeanY += double(r.hemisphereTable()[size_t(i)].y);
    tableMeanY /= Renderer::kHemisphereDirections;

    double sum = 0;
    int floorPixels = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const float* px = first.data() + 3 * (x + y * w);
            const Vec3 d = pixelDirection(x, y, w, h, r.imagePlaneZ);
            if (d.y < -0.1f) {  // well below the horizon: floor within 10 units
                ASSERT_GT(px[0], 0.f) << x << "," << y;
                ASSERT_LE(px[0], float(0.8 / kPi) * 1.0001f);
                EXPECT_EQ(px[0], px[2]);
                sum += double(px[0]);
                ++floorPixels;
            } else if (d.y > 0.02f) {
                ASSERT_EQ(px[0], 1.f);
            }
        }
    }
    ASSERT_GT(floorPixels, 300);
    EXPECT_NEAR(sum / floorPixels, 0.8 * tableMeanY / kPi, 0.05 * 0.8 * tableMeanY / kPi);

    // On one thread the draws repeat exactly.
    r.setRandomIndex(0);
    r.setHemisphereIndex(0);
    r.render();
    EXPECT_EQ(radianceCopy(r), first);
}

// Every material in one scene under an image sky with one light, rendered
// twice on one thread: the same picture both times, finite and never
// negative, with the properties each material promises.
TEST(RenderedScene, EveryMaterialTogether) {
    SingleThread oneThread;
    const int w = 96, h = 72;
    Renderer& r = freshRenderer(w, h);
    const HdrEnvironmentMap* sky = addGradientSky(r);
    ASSERT_NE(sky, nullptr);
    const DebugMaterial* flat = addDebug(r, 0.3f, 0.6f, 0.9f);
    auto* diffuse = addColourMaterial<DiffusePhongMaterial>(r, 0.8f, 0.8f, 0.8f);
    auto* mirror = addColourMaterial<SimplePhongMaterial>(r, 0.9f, 0.9f, 0.9f);
    auto* glossy = addColourMaterial<GlossyReflectionMaterial>(r, 0.7f, 0.7f, 0.7f);
    auto* glass = addColourMaterial<DielectricMaterial>(r, 0.9f, 0.9f, 0.9f);
    auto* floor = addColourMaterial<DiffuseGIPhongMaterial>(r, 0.6f, 0.6f, 0.6f);
    const float radius = 0.6f;
    const Vec3 centres[5] = {Vec3(-2.8f, 0, -4), Vec3(-1.4f, 0, -4), Vec3(0, 0, -4),
                             Vec3(1.4f, 0, -4), Vec3(2.8f, 0, -4)};
    const Material* materials[5] = {flat, diffuse, mirror, glossy, glass};
    for (int i = 0; i < 5; ++i)
        r.addObject(
            std::make_unique<Sphere>(Vec4(centres[i]), Vec4(radius, radius, radius), materials[i]));
    r.addObject(std::make_unique<Plane>(Vec4(0, 1, 0, 1), floor));  // y = -1
    r.addObject(std::make_unique<SkySphere>(Vec4(50, 50, 50), sky));
    addLight(r, Vec4(-1.4f, 4, -4), Vec4(100, 100, 100));  // above the diffuse sphere
    finish(r);
    r.giSampleCount = 2;
    r.render();
    const std::vector<float> first = radianceCopy(r);
    for (float v : first) {
        ASSERT_TRUE(std::isfinite(v));
        ASSERT_GE(v, 0.f);
    }
    auto pixel = [&](const Vec3& p) {
        const auto xy = pixelOf(p, w, h, r.imagePlaneZ);
        return first.data() + 3 * (xy[0] + xy[1] * w);
    };
    // Points of a sphere facing the eye and tilted 30 degrees up or down.
    const Vec3 upFront(0, 0.5f * radius, 0.866f * radius);
    const Vec3 downFront(0, -0.5f * radius, 0.866f * radius);

    // The flat sphere shows its colour exactly.
    const float* flatPx = pixel(centres[0]);
    EXPECT_EQ(flatPx[0], 0.3f);
    EXPECT_EQ(flatPx[2], 0.9f);
    // The diffuse sphere is lit from above and black underneath (no ambient).
    EXPECT_GT(pixel(centres[1] + upFront)[0], 1.f);
    EXPECT_EQ(pixel(centres[1] + downFront)[0], 0.f);
    // The upper half of the mirror reflects only sky, whose green is the same
    // everywhere: tinted by the mirror's 0.9.
    float greenMin = 1e9f, greenMax = 0;
    for (int i = 0; i < sky->width * sky->height; ++i) {
        greenMin = std::min(greenMin, sky->pixels[3 * i + 1]);
        greenMax = std::max(greenMax, sky->pixels[3 * i + 1]);
    }
    const float mirrorGreen = pixel(centres[2] + upFront)[1];
    EXPECT_GE(mirrorGreen, 0.9f * greenMin);
    EXPECT_LE(mirrorGreen, 0.9f * greenMax);
    // The floor in the diffuse sphere's shadow gets only indirect light.
    const float* shadowPx = pixel(Vec3(-1.4f, -1, -4));
    const float* openFloorPx = pixel(Vec3(-0.5f, -1, -2.8f));
    EXPECT_GT(shadowPx[0], 0.f);
    EXPECT_LT(shadowPx[0], 0.5f * openFloorPx[0]);

    r.setRandomIndex(0);
    r.setHemisphereIndex(0);
    r.render();
    EXPECT_EQ(radianceCopy(r), first);
}
