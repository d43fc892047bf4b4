// The surface materials against the optics they promise, and rendered
// scenes against expectations worked out independently of the tracer.
#include <gtest/gtest.h>

#include <cmath>

#include "core/Plane.h"
#include "core/SkySphere.h"
#include "core/Sphere.h"
#include "shading/DielectricMaterial.h"
#include "shading/DiffuseGIPhongMaterial.h"
#include "shading/DiffusePhongMaterial.h"
#include "shading/GlossyReflectionMaterial.h"
#include "shading/HdrEnvironmentMap.h"
#include "shading/SimplePhongMaterial.h"
#include "tests/support/Support.h"

using namespace support;

namespace {

constexpr double kPi = 3.14159265358979323846;

// Red for rays travelling up (+z), green for rays travelling down.
class UpDownSky : public Material {
public:
    Vec4 shade(HitRecord& hit) const override {
        return hit.rayDirection.z > 0.f ? Vec4(1, 0, 0) : Vec4(0, 1, 0);
    }
};

// The direction of travel of the ray that reaches it, as a colour.
class DirectionSky : public Material {
public:
    Vec4 shade(HitRecord& hit) const override { return hit.rayDirection; }
};

// A hit as the tracer hands it to a material.
HitRecord hitAt(Vec4 position, Vec4 normal, Vec4 rayOrigin) {
    HitRecord h;
    h.hit = true;
    h.position = position;
    h.normal = normal;
    h.rayOrigin = rayOrigin;
    h.rayDirection = fastNormalize(position - rayOrigin);
    h.distance = 1.f;
    h.depth = 1;
    return h;
}

::testing::AssertionResult near(const Vec4& actual, const Vec4& expected, float tolerance) {
    for (int lane = 0; lane < 3; ++lane)
        if (!(std::fabs(actual[lane] - expected[lane]) <= tolerance))
            return ::testing::AssertionFailure()
                   << actual << " is not within " << tolerance << " of " << expected;
    return ::testing::AssertionSuccess();
}

// Glass of the given tint in a fresh scene whose only object is a sky
// sphere of the given material.
template <class Sky>
const DielectricMaterial* glassUnder(const Vec4& tint) {
    Renderer& r = freshRenderer(4, 4);
    auto* glass = addMaterial<DielectricMaterial>(r, tint.x, tint.y, tint.z);
    r.addObject(
        std::make_unique<SkySphere>(Vec4(100, 100, 100), r.addMaterial(std::make_unique<Sky>())));
    finish(r);
    return glass;
}

}  // namespace

TEST(DiffusePhong, InverseSquareCappedWithinOneUnitAndShadowsOnlyBetween) {
    Renderer& r = freshRenderer(4, 4);
    auto* white = addMaterial<DiffusePhongMaterial>(r, 1, 1, 1);
    auto* tinted = addMaterial<DiffusePhongMaterial>(r, 0.5f, 0.25f, 0);
    auto* glass = addMaterial<DielectricMaterial>(r, 1, 1, 1);
    addLight(r, Vec4(0, 2, 0), Vec4(10, 10, 10));
    // Beyond the light: casts no shadow.
    r.addObject(std::make_unique<Sphere>(Vec4(0, 3.5f, 0), Vec4(0.5f, 0.5f, 0.5f), white));
    finish(r);
    HitRecord h = hitAt(Vec4(), Vec4(0, 1, 0), Vec4(1, 3, 0));
    EXPECT_TRUE(near(white->shade(h), Vec4(2.5f, 2.5f, 2.5f), 0.005f));  // 10 / 2²
    r.light(0).position = Vec4(0, 0.5f, 0);
    EXPECT_TRUE(near(white->shade(h), Vec4(10, 10, 10), 0.01f));  // not 10 / 0.5²
    r.light(0).colour = Vec4(2, 4, 8);
    EXPECT_TRUE(near(tinted->shade(h), Vec4(1, 1, 0), 0.002f));
    r.light(0).position = Vec4(0, -2, 0);
    EXPECT_EQ(white->shade(h), Vec4());  // behind the surface
    // Glass between the point and the light shadows it fully.
    r.light(0).position = Vec4(0, 2, 0);
    r.addObject(std::make_unique<Sphere>(Vec4(0, 1, 0), Vec4(0.3f, 0.3f, 0.3f), glass));
    EXPECT_EQ(white->shade(h), Vec4());
}

// Glass (index 2.32) at the origin facing +z, under a sky red for rays going
// up and green for rays going down: the colour tells how much of the mirror
// ray (Schlick's Fresnel term) and of the refracted ray was taken.
TEST(Dielectric, FresnelBlendOfTheMirrorAndTheRefractedRay) {
    const DielectricMaterial* glass = glassUnder<UpDownSky>(Vec4(0.9f, 0.8f, 0.7f));
    const float grazing = 0.95f * 0.95f * 0.95f * 0.95f;
    const struct {
        Vec4 towardsEye;
        Vec4 expected;
        const char* what;
    } cases[] = {
        {Vec4(0, 0, 1), Vec4(0, 0.8f, 0), "head-on: all refracted"},
        {Vec4(float(std::sqrt(0.75)), 0, 0.5f), Vec4(0.9f / 16, 0.8f * 15 / 16, 0), "cosine 1/2"},
        {Vec4(std::sqrt(1 - 0.05f * 0.05f), 0, 0.05f),
         Vec4(0.9f * grazing, 0.8f * (1 - grazing), 0), "grazing: almost a mirror"},
        {Vec4(0, 0, -1), Vec4(0.9f, 0, 0), "from inside: the normal turns"},
    };
    for (const auto& c : cases) {
        HitRecord h = hitAt(Vec4(), Vec4(0, 0, 1), c.towardsEye * 4.f);
        EXPECT_TRUE(near(glass->shade(h), c.expected, 0.003f)) << c.what;
    }
    HitRecord deep = hitAt(Vec4(), Vec4(0, 0, 1), Vec4(0, 0, 4));
    deep.depth = 4;
    EXPECT_EQ(glass->shade(deep), Vec4()) << "beyond the depth limit";
}

// Glass bends a ray by one ratio (1/2.32) whichever way it crosses, as
// described: a ray leaving at an angle whose sine is 0.3 goes on at sine
// 0.3/2.32, as one entering does, not at 0.3 × 2.32. The sky shows each
// ray's direction.
TEST(Dielectric, ObliqueRaysBendByOneRatioInBothDirections) {
    const DielectricMaterial* glass = glassUnder<DirectionSky>(Vec4(1, 1, 1));
    const double s = 0.3, c = std::sqrt(1 - s * s);
    const double bent = s / 2.32, cosBent = std::sqrt(1 - bent * bent);
    const float f = float(std::pow(1 - c, 4));
    for (const float side : {1.f, -1.f}) {  // the eye outside the glass, then inside
        HitRecord h = hitAt(Vec4(), Vec4(0, 0, 1), Vec4(float(s), 0, side * float(c)) * 4.f);
        const Vec4 mirror(-float(s), 0, side * float(c));
        const Vec4 refracted(-float(bent), 0, -side * float(cosBent));
        EXPECT_TRUE(near(glass->shade(h), f * mirror + (1 - f) * refracted, 0.003f))
            << (side > 0 ? "entering" : "leaving");
    }
}

// A hit at its ray's own origin, where rounding puts a sphere's far root for
// a ray that leaves from exactly on the sphere's surface: glass and mirrors
// take the way back along the ray and shade exactly as for the same ray hit
// from one unit further back (they normalised a zero vector: not a number).
TEST(Mirrors, HitAtTheRaysOwnOriginShadesAsFromFurtherBack) {
    Renderer& r = freshRenderer(4, 4);
    const Material* const materials[] = {
        addMaterial<DielectricMaterial>(r, 0.9f, 0.8f, 0.7f),
        addMaterial<SimplePhongMaterial>(r, 0.9f, 0.8f, 0.7f),
        addMaterial<GlossyReflectionMaterial>(r, 0.9f, 0.8f, 0.7f)};
    r.addObject(std::make_unique<SkySphere>(Vec4(100, 100, 100),
                                            r.addMaterial(std::make_unique<UpDownSky>())));
    finish(r);
    const Vec4 direction(0.6f, 0, 0.8f);
    for (size_t i = 0; i < 3; ++i) {
        HitRecord fromBack = hitAt(Vec4(), Vec4(0, 0, 1), -direction);
        HitRecord atOrigin = hitAt(Vec4(), Vec4(0, 0, 1), Vec4());
        atOrigin.rayDirection = direction;
        r.setRandomIndex(0);  // the same glossy offsets for both
        const Vec4 expected = materials[i]->shade(fromBack);
        r.setRandomIndex(0);
        EXPECT_EQ(materials[i]->shade(atOrigin), expected) << "material " << i;
        EXPECT_FALSE(expected == Vec4());
    }
}

namespace {

// Unjittered unit direction of pixel (x, y) from the origin looking along -z.
Vec3 pixelDirection(int x, int y, int w, int h, float imagePlaneZ) {
    Vec3 d(float((2.0 * x - w) / w), float((2.0 * y - h) / h), imagePlaneZ);
    d.normalize();
    return d;
}

// Whether the ray from the origin along unit d passes within radius of c.
bool passesWithin(const Vec3& d, const Vec3& c, float radius) {
    const double along = double(dot(d, c));
    return along > 0 && double(dot(c, c)) - along * along < double(radius) * double(radius);
}

// A sky reddish towards its top and bluish towards its bottom.
const HdrEnvironmentMap* addGradientSky(Renderer& r, const TempDir& dir) {
    constexpr int h = 64;
    EXPECT_TRUE(writeHdr(dir.file("sky.hdr"), 128, h, [](int, int y) {
        const float t = float(y) / float(h - 1);
        return std::array<float, 3>{0.1f + 1.9f * t, 0.6f, 2.0f - 1.9f * t};
    }));
    auto env = std::make_unique<HdrEnvironmentMap>();
    if (!env->load(dir.file("sky.hdr"))) return nullptr;
    return static_cast<const HdrEnvironmentMap*>(r.addMaterial(std::move(env)));
}

}  // namespace

// A glass ball is a strong lens: it shows the sky behind it upside down,
// tinted, never brighter than the sky times the tint; straight through the
// centre both surfaces are met head-on and the sky is tinted twice.
TEST(RenderedScene, GlassBallShowsTheSkyUpsideDownAndNoBrighter) {
    TempDir dir;
    SingleThread oneThread;
    const int w = 64, h = 64;
    Renderer& r = freshRenderer(w, h);
    const HdrEnvironmentMap* sky = addGradientSky(r, dir);
    ASSERT_NE(sky, nullptr);
    const Vec4 tint(0.9f, 0.95f, 0.8f);
    auto* glass = addMaterial<DielectricMaterial>(r, tint.x, tint.y, tint.z);
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
                for (int c = 0; c < 3; ++c)
                    ASSERT_TRUE(px[c] >= 0.f && px[c] <= skyMax[c] * tint[c] * 1.00001f)
                        << x << "," << y;
                if (std::abs(y - h / 2) > 2) {
                    ballRed[upper] += double(px[0]), ballBlue[upper] += double(px[2]);
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
    EXPECT_GT(skyRed[1] / skyCount[1], skyRed[0] / skyCount[0]);      // around: redder above
    EXPECT_LT(ballRed[1] / ballCount[1], ballRed[0] / ballCount[0]);  // inside: redder below
    EXPECT_GT(ballBlue[1] / ballCount[1], ballBlue[0] / ballCount[0]);
    const Vec4 behind = sky->lookup(Vec4(0, 0, 1));
    const float* mid = rad + 3 * (w / 2 + (h / 2) * w);
    for (int c = 0; c < 3; ++c)
        EXPECT_NEAR(mid[c], behind[c] * tint[c] * tint[c], 0.05f * behind[c]) << "channel " << c;
}

// Without any light a diffuse-GI floor under a white sky is lit by the sky
// alone: the mean over the floor approaches the table's mean cosine over π,
// and a fresh frame again, on any threads, draws the same entries.
TEST(RenderedScene, DiffuseGIFloorUnderWhiteSkyIsLitWithoutLights) {
    const int w = 48, h = 36;
    Renderer& r = freshRenderer(w, h);
    auto* floor = addMaterial<DiffuseGIPhongMaterial>(r, 0.8f, 0.8f, 0.8f);
    r.addObject(std::make_unique<Plane>(Vec4(0, 1, 0, 1), floor));  // y = -1
    r.addObject(std::make_unique<SkySphere>(Vec4(50, 50, 50), addMaterial(r, 1, 1, 1)));
    finish(r);
    r.giSampleCount = 4;
    r.render();
    const std::vector<float> first(r.radianceBuffer(), r.radianceBuffer() + 3 * w * h);
    double tableMeanY = 0;
    for (int i = 0; i < Renderer::kHemisphereDirections; ++i)
        tableMeanY += double(r.hemisphereTable()[size_t(i)].y) / Renderer::kHemisphereDirections;
    double sum = 0;
    int floorPixels = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const float* px = first.data() + 3 * (x + y * w);
            const Vec3 d = pixelDirection(x, y, w, h, r.imagePlaneZ);
            if (d.y < -0.1f) {  // well below the horizon: floor within 10 units
                ASSERT_TRUE(px[0] > 0.f && px[0] <= float(0.8 / kPi) * 1.0001f) << x << "," << y;
                sum += double(px[0]);
                ++floorPixels;
            } else if (d.y > 0.02f) {
                ASSERT_EQ(px[0], 1.f);
            }
        }
    }
    ASSERT_GT(floorPixels, 300);
    EXPECT_NEAR(sum / floorPixels, 0.8 * tableMeanY / kPi, 0.05 * 0.8 * tableMeanY / kPi);
    r.render();
    EXPECT_TRUE(std::equal(first.begin(), first.end(), r.radianceBuffer()));
}
