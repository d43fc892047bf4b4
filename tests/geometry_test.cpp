// The four primitives: which root, which side, which bounds.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/Plane.h"
#include "core/Sphere.h"
#include "tests/support/Support.h"

using namespace support;

namespace {

const DebugMaterial kMaterial;

struct Case {
    const char* what;
    Ray ray;
    float distance;  // 0: a miss
    float normalZ;   // of the hit, when it is not 0
};

void expectHits(const Primitive& p, std::initializer_list<Case> cases) {
    for (const Case& c : cases) {
        const HitRecord h = p.intersect(c.ray);
        ASSERT_EQ(h.hit, c.distance > 0.f) << c.what;
        if (!h.hit) continue;
        EXPECT_NEAR(h.distance, c.distance, 1e-5f * std::max(1.f, c.distance)) << c.what;
        if (c.normalZ != 0.f) {
            EXPECT_NEAR(h.normal.z, c.normalZ, 1e-3f) << c.what;
        }
        EXPECT_EQ(h.material, &kMaterial);
    }
}

}  // namespace

TEST(Primitives, SphereTakesTheNearRootOutsideTheFarRootInsideOrWithinTheMargin) {
    expectHits(Sphere(Vec4(0, 0, 0), Vec4(1, 1, 1), &kMaterial),
               {{"from outside", ray(0, 0, 10, 0, 0, -1), 9.f, 1.f},
                {"0.005 outside: within the margin", ray(0, 0, 1.005f, 0, 0, -1), 2.005f, -1.f},
                {"from inside", ray(0, 0, 0.5f, 0, 0, -1), 1.5f, -1.f},
                {"0.02 outside: beyond the margin", ray(0, 0, 1.02f, 0, 0, -1), 0.02f, 1.f},
                {"leaving the surface", ray(0, 0, 1, 0, 0, 1), 0.f, 0.f},
                {"grazing", ray(1, 0, 10, 0, 0, -1), 0.f, 0.f},
                {"behind the origin", ray(0, 0, 10, 0, 0, 1), 0.f, 0.f}});
    expectHits(Sphere(Vec4(0, 0, -100600.f), Vec4(500, 500, 500), &kMaterial),
               {{"near root beyond 100000", ray(0, 0, 0, 0, 0, -1), 0.f, 0.f}});
}

TEST(Primitives, PlaneHitsFromAboveWithinAThousandUnits) {
    expectHits(Plane(Vec4(0, 0, 1, 1), &kMaterial),  // z = -1
               {{"down", ray(0, 0, 0, 0, 0, -1), 1.f, 1.f},
                {"up", ray(0, 0, 0, 0, 0, 1), 0.f, 0.f},
                {"starting on it", ray(0, 0, -1, 0, 0, -1), 0.f, 0.f},
                {"parallel", ray(0, 0, 0, 1, 0, 0), 0.f, 0.f},
                {"999 away", ray(0, 0, 998, 0, 0, -1), 999.f, 1.f},
                {"1000 away", ray(0, 0, 999, 0, 0, -1), 0.f, 0.f}});
}

TEST(Primitives, TriangleCountsItsEdgesAndVerticesFromTheFrontOnly) {
    expectHits(triangle(Vec3(0, 0, 0), Vec3(1, 0, 0), Vec3(0, 1, 0), &kMaterial),
               {{"inside", ray(0.25f, 0.25f, 1, 0, 0, -1), 1.f, 1.f},
                {"back face", ray(0.25f, 0.25f, -1, 0, 0, 1), 0.f, 0.f},
                {"edge v = 0", ray(0.5f, 0, 1, 0, 0, -1), 1.f, 1.f},
                {"edge u = 0", ray(0, 0.5f, 1, 0, 0, -1), 1.f, 1.f},
                {"hypotenuse", ray(0.5f, 0.5f, 1, 0, 0, -1), 1.f, 1.f},
                {"vertex", ray(1, 0, 1, 0, 0, -1), 1.f, 1.f},
                {"outside the hypotenuse", ray(0.6f, 0.6f, 1, 0, 0, -1), 0.f, 0.f},
                {"outside an edge", ray(-0.01f, 0.5f, 1, 0, 0, -1), 0.f, 0.f},
                {"starting on it", ray(0.25f, 0.25f, 0, 0, 0, -1), 0.f, 0.f},
                {"in its plane", ray(0.25f, 0.25f, 1, 1, 0, 0), 0.f, 0.f}});
    // The far bound applies to the distance, whatever the triangle's size.
    expectHits(triangle(Vec3(-5, -5, 0), Vec3(15, -5, 0), Vec3(-5, 5, 0), &kMaterial),
               {{"large, 999 away", ray(0, 0, 999, 0, 0, -1), 999.f, 1.f},
                {"large, 1000.5 away", ray(0, 0, 1000.5f, 0, 0, -1), 0.f, 0.f}});
    expectHits(triangle(Vec3(0, 0, 0), Vec3(0.1f, 0, 0), Vec3(0, 0.1f, 0), &kMaterial),
               {{"small, 900 away", ray(0.01f, 0.01f, 900, 0, 0, -1), 900.f, 1.f},
                {"small, 1100 away", ray(0.01f, 0.01f, 1100, 0, 0, -1), 0.f, 0.f}});
}
