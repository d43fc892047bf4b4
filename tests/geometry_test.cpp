// Value types and the four primitives.
#include <gtest/gtest.h>

#include <cmath>

#include "core/Plane.h"
#include "core/SkySphere.h"
#include "core/Sphere.h"
#include "core/Triangle.h"
#include "shading/DebugMaterial.h"

namespace {

const DebugMaterial kMaterial;

Ray ray(float ox, float oy, float oz, float dx, float dy, float dz) {
    return Ray(Vec4(ox, oy, oz, 0.f), Vec4(dx, dy, dz, 0.f));
}

Sphere unitSphere() { return Sphere(Vec4(0, 0, 0), Vec4(1, 1, 1), &kMaterial); }

Triangle triangle(const Vec3& a, const Vec3& b, const Vec3& c, const Vec3& n = Vec3(0, 0, 1)) {
    Triangle t(&kMaterial);
    t.v0 = a;
    t.v1 = b;
    t.v2 = c;
    t.n0 = t.n1 = t.n2 = n;
    t.computeEdges();
    return t;
}

}  // namespace

TEST(Vec, DotFillsEveryLaneWithTheThreeComponentSum) {
    const Vec4 d = dot(Vec4(1, 2, 3, 0), Vec4(4, -5, 6, 0));
    for (int lane = 0; lane < 4; ++lane) EXPECT_EQ(d[lane], 12.f);
    EXPECT_EQ(dotf(Vec4(1, 2, 3, 0), Vec4(4, -5, 6, 0)), 12.f);
}

TEST(Vec, ExactAndFastNormalisation) {
    Vec3 v(3, 0, 4);
    v.normalize();
    EXPECT_FLOAT_EQ(v.x, 0.6f);
    EXPECT_EQ(v.y, 0.f);
    EXPECT_FLOAT_EQ(v.z, 0.8f);

    const Vec4 f = fastNormalize(Vec4(3, 0, 4, 0));
    const float bound = 1.5f * std::ldexp(1.f, -12);
    EXPECT_NEAR(f.x, 0.6f, 0.6f * bound);
    EXPECT_NEAR(f.z, 0.8f, 0.8f * bound);
    EXPECT_EQ(f.w, 0.f);
    // No refinement step: the hardware estimate is used as it stands.
    EXPECT_EQ(f.x, 3.f * approxRsqrt(25.f));
}

TEST(Vec, ScalarProductScalesTheFourthLaneToo) {
    const Vec4 v = Vec4(1, 2, 3, 4) * 2.f;
    EXPECT_EQ(v, Vec4(2, 4, 6, 8));
}

TEST(HitRecord, DefaultIsAMissAtTheSentinelDistance) {
    HitRecord h;
    EXPECT_FALSE(h.hit);
    EXPECT_EQ(h.distance, 1000000.f);
}

TEST(HitRecord, AssignmentKeepsTheTargetsDepth) {
    HitRecord source;
    source.position = Vec4(1, 2, 3);
    source.normal = Vec4(0, 1, 0);
    source.rayOrigin = Vec4(4, 5, 6);
    source.rayDirection = Vec4(0, 0, -1);
    source.distance = 7.f;
    source.material = &kMaterial;
    source.hit = true;
    source.depth = 5;
    HitRecord target;
    target.depth = 2;
    target = source;
    EXPECT_EQ(target.depth, 2);
    EXPECT_EQ(target.position, source.position);
    EXPECT_EQ(target.normal, source.normal);
    EXPECT_EQ(target.rayOrigin, source.rayOrigin);
    EXPECT_EQ(target.rayDirection, source.rayDirection);
    EXPECT_EQ(target.distance, 7.f);
    EXPECT_EQ(target.material, &kMaterial);
    EXPECT_TRUE(target.hit);
}

TEST(Sphere, NearRootFromOutsideFarRootFromInsideOrTheMargin) {
    const Sphere s = unitSphere();
    HitRecord h = s.intersect(ray(0, 0, 10, 0, 0, -1));
    ASSERT_TRUE(h.hit);
    EXPECT_FLOAT_EQ(h.distance, 9.f);
    EXPECT_NEAR(h.normal.z, 1.f, 1e-3f);
    EXPECT_EQ(h.material, &kMaterial);
    EXPECT_EQ(h.position, Vec4(0, 0, 1));
    EXPECT_EQ(h.rayOrigin, Vec4(0, 0, 10));

    // 0.005 outside the surface lies within the 0.01 margin: the far wall.
    h = s.intersect(ray(0, 0, 1.005f, 0, 0, -1));
    ASSERT_TRUE(h.hit);
    EXPECT_NEAR(h.distance, 2.005f, 1e-5f);
    EXPECT_NEAR(h.normal.z, -1.f, 1e-3f);

    h = s.intersect(ray(0, 0, 0.5f, 0, 0, -1));
    ASSERT_TRUE(h.hit);
    EXPECT_FLOAT_EQ(h.distance, 1.5f);
    EXPECT_NEAR(h.normal.z, -1.f, 1e-3f);

    // 0.02 outside is beyond the margin: the near wall again.
    h = s.intersect(ray(0, 0, 1.02f, 0, 0, -1));
    ASSERT_TRUE(h.hit);
    EXPECT_NEAR(h.distance, 0.02f, 1e-5f);

    // Leaving from the surface outward finds nothing behind the origin.
    EXPECT_FALSE(s.intersect(ray(0, 0, 1.f, 0, 0, 1)).hit);
}

TEST(Sphere, GrazingAndTooFarAreMisses) {
    const Sphere s = unitSphere();
    EXPECT_FALSE(s.intersect(ray(1, 0, 10, 0, 0, -1)).hit);  // disc = 0
    EXPECT_FALSE(s.intersect(ray(0, 0, 10, 0, 0, 1)).hit);   // behind the origin
    // Near roots at 100100 (beyond the limit) and 98500.
    const Sphere far(Vec4(0, 0, -100600.f), Vec4(500, 500, 500), &kMaterial);
    EXPECT_FALSE(far.intersect(ray(0, 0, 0, 0, 0, -1)).hit);
    const Sphere near(Vec4(0, 0, -99000.f), Vec4(500, 500, 500), &kMaterial);
    EXPECT_TRUE(near.intersect(ray(0, 0, 0, 0, 0, -1)).hit);
}

TEST(SkySphere, AlwaysTheFarSideWithAnInwardNormal) {
    const SkySphere sky(Vec4(100, 100, 100), &kMaterial);
    const float dirs[][3] = {{0, 0, -1}, {1, 0, 0}, {0, 1, 0}, {0.6f, 0, 0.8f}};
    for (const auto& d : dirs) {
        const HitRecord h = sky.intersect(ray(0, 0, 0, d[0], d[1], d[2]));
        ASSERT_TRUE(h.hit);
        EXPECT_NEAR(h.distance, 100.f, 1e-3f);
        EXPECT_NEAR(h.normal.x, -d[0], 1e-3f);
        EXPECT_NEAR(h.normal.y, -d[1], 1e-3f);
        EXPECT_NEAR(h.normal.z, -d[2], 1e-3f);
    }
    EXPECT_FLOAT_EQ(sky.intersect(ray(0, 0, 50, 0, 0, -1)).distance, 150.f);
    // From outside, looking away: the far root lies behind.
    EXPECT_FALSE(sky.intersect(ray(0, 0, 200, 0, 0, 1)).hit);
}

TEST(Plane, BoundsAndTheStoredNormal) {
    const Plane p(Vec4(0, 1, 0, 1), &kMaterial);  // y = -1
    HitRecord h = p.intersect(ray(0, 0, 0, 0, -1, 0));
    ASSERT_TRUE(h.hit);
    EXPECT_FLOAT_EQ(h.distance, 1.f);
    EXPECT_EQ(h.normal, Vec4(0, 1, 0, 0));
    EXPECT_FALSE(p.intersect(ray(0, 0, 0, 0, 1, 0)).hit);     // going up
    EXPECT_FALSE(p.intersect(ray(0, -1, 0, 0, -1, 0)).hit);   // starts on it
    EXPECT_FALSE(p.intersect(ray(0, 0, 0, 1, 0, 0)).hit);     // parallel
    EXPECT_FALSE(p.intersect(ray(0, 999, 0, 0, -1, 0)).hit);  // t = 1000
    EXPECT_TRUE(p.intersect(ray(0, 998, 0, 0, -1, 0)).hit);   // t = 999
    // The normal is used as stored: not normalised, not turned.
    const Plane scaled(Vec4(0, 2, 0, 2), &kMaterial);
    h = scaled.intersect(ray(0, 0, 0, 0, -1, 0));
    ASSERT_TRUE(h.hit);
    EXPECT_FLOAT_EQ(h.distance, 1.f);
    EXPECT_EQ(h.normal, Vec4(0, 2, 0, 0));
}

TEST(Triangle, FrontFaceOnlyEdgesAndVerticesCount) {
    const Triangle t = triangle(Vec3(0, 0, 0), Vec3(1, 0, 0), Vec3(0, 1, 0));
    HitRecord h = t.intersect(ray(0.25f, 0.25f, 1, 0, 0, -1));
    ASSERT_TRUE(h.hit);
    EXPECT_FLOAT_EQ(h.distance, 1.f);
    EXPECT_FALSE(t.intersect(ray(0.25f, 0.25f, -1, 0, 0, 1)).hit);  // back face
    EXPECT_TRUE(t.intersect(ray(0.5f, 0.f, 1, 0, 0, -1)).hit);      // edge v = 0
    EXPECT_TRUE(t.intersect(ray(0.f, 0.5f, 1, 0, 0, -1)).hit);      // edge u = 0
    EXPECT_TRUE(t.intersect(ray(0.5f, 0.5f, 1, 0, 0, -1)).hit);     // edge u + v = det
    EXPECT_TRUE(t.intersect(ray(0, 0, 1, 0, 0, -1)).hit);           // vertex
    EXPECT_TRUE(t.intersect(ray(1, 0, 1, 0, 0, -1)).hit);           // vertex
    EXPECT_FALSE(t.intersect(ray(0.6f, 0.6f, 1, 0, 0, -1)).hit);
    EXPECT_FALSE(t.intersect(ray(-0.01f, 0.5f, 1, 0, 0, -1)).hit);
    EXPECT_FALSE(t.intersect(ray(0.25f, 0.25f, 0, 0, 0, -1)).hit);  // starts on it
    EXPECT_FALSE(t.intersect(ray(0.25f, 0.25f, 1, 1, 0, 0)).hit);   // in-plane
}

TEST(Triangle, FarBoundAppliesToTheDistanceNotToDetTimesT) {
    // Area 100: det = 200, so a bound on det × t would lose it beyond t = 5.
    const Triangle big = triangle(Vec3(-5, -5, 0), Vec3(15, -5, 0), Vec3(-5, 5, 0));
    HitRecord h = big.intersect(ray(0, 0, 10, 0, 0, -1));
    ASSERT_TRUE(h.hit);
    EXPECT_FLOAT_EQ(h.distance, 10.f);
    EXPECT_TRUE(big.intersect(ray(0, 0, 999, 0, 0, -1)).hit);
    EXPECT_FALSE(big.intersect(ray(0, 0, 1000.5f, 0, 0, -1)).hit);
    // Area 0.005: far hits stay bounded at 1000 too.
    const Triangle small = triangle(Vec3(0, 0, 0), Vec3(0.1f, 0, 0), Vec3(0, 0.1f, 0));
    EXPECT_TRUE(small.intersect(ray(0.01f, 0.01f, 900, 0, 0, -1)).hit);
    EXPECT_FALSE(small.intersect(ray(0.01f, 0.01f, 1100, 0, 0, -1)).hit);
}

TEST(Triangle, InterpolatedNormalIsNotNormalised) {
    const Triangle t = triangle(Vec3(0, 0, 0), Vec3(1, 0, 0), Vec3(0, 1, 0), Vec3(0, 0, 2));
    const HitRecord h = t.intersect(ray(0.2f, 0.3f, 1, 0, 0, -1));
    ASSERT_TRUE(h.hit);
    EXPECT_NEAR(h.normal.z, 2.f, 1e-6f);
    EXPECT_EQ(h.normal.w, 0.f);

    Triangle mixed = t;
    mixed.n0 = Vec3(1, 0, 0);
    mixed.n1 = Vec3(0, 1, 0);
    mixed.n2 = Vec3(0, 0, 1);
    // At (0.2, 0.3): beta = 0.2, gamma = 0.3, alpha = 0.5.
    const HitRecord m = mixed.intersect(ray(0.2f, 0.3f, 1, 0, 0, -1));
    EXPECT_NEAR(m.normal.x, 0.5f, 1e-6f);
    EXPECT_NEAR(m.normal.y, 0.2f, 1e-6f);
    EXPECT_NEAR(m.normal.z, 0.3f, 1e-6f);
}
