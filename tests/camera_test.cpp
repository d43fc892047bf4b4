#include "camera/Camera.h"

#include <gtest/gtest.h>

#include <cmath>

#include "camera/Quaternion.h"

namespace {

void expectNear(const Vec3& a, const Vec3& b, float tol = 1e-5f) {
    EXPECT_NEAR(a.x, b.x, tol) << a << " vs " << b;
    EXPECT_NEAR(a.y, b.y, tol) << a << " vs " << b;
    EXPECT_NEAR(a.z, b.z, tol) << a << " vs " << b;
}

const float kPi = 3.14159265f;

}  // namespace

TEST(Camera, SetPlacesTheEyeWithWorldAxes) {
    Camera c;
    c.set(Vec3(1, 2, 3));
    EXPECT_EQ(c.xAxis(), Vec3(1, 0, 0));
    EXPECT_EQ(c.yAxis(), Vec3(0, 1, 0));
    EXPECT_EQ(c.zAxis(), Vec3(0, 0, 1));
    const auto& m = c.viewMatrix();
    EXPECT_EQ(m[3][0], -1.f);
    EXPECT_EQ(m[3][1], -2.f);
    EXPECT_EQ(m[3][2], -3.f);
    EXPECT_EQ(m[3][3], 1.f);
    EXPECT_EQ(c.pitch, 0.f);
    EXPECT_EQ(c.yaw, 0.f);
}

TEST(Camera, ZeroRotationChangesNothing) {
    Camera c;
    c.set(Vec3(1, 2, 3));
    float before[4][4];
    std::copy(&c.viewMatrix()[0][0], &c.viewMatrix()[0][0] + 16, &before[0][0]);
    c.rotate(0, 0);
    EXPECT_TRUE(std::equal(&before[0][0], &before[0][0] + 16, &c.viewMatrix()[0][0]));
}

TEST(Camera, QuarterTurnLooksAlongMinusX) {
    Camera c;
    c.set(Vec3(0, 0, 0));
    c.rotate(-kPi / 2, 0);
    EXPECT_FLOAT_EQ(c.yaw, kPi / 2);
    expectNear(c.zAxis(), Vec3(1, 0, 0));
    expectNear(c.xAxis(), Vec3(0, 0, -1));
    expectNear(c.yAxis(), Vec3(0, 1, 0));
}

TEST(Camera, MatchesTheClosedFormForAnyTurn) {
    Camera c;
    c.set(Vec3(0, 0, 0));
    const float turns[][2] = {{0.3f, -0.2f}, {-1.7f, 0.5f}, {12.5f, 0.1f}, {0.f, -0.9f}};
    for (const auto& t : turns) {
        c.rotate(t[0], t[1]);
        const float y = c.yaw, p = c.pitch;
        expectNear(c.zAxis(),
                   Vec3(std::sin(y) * std::cos(p), -std::sin(p), std::cos(y) * std::cos(p)), 2e-5f);
        expectNear(c.xAxis(), Vec3(std::cos(y), 0, -std::sin(y)), 2e-5f);
        expectNear(c.yAxis(), cross(c.zAxis(), c.xAxis()), 2e-5f);
    }
}

TEST(Camera, PitchChangesThatReachTheLimitAreDroppedWhole) {
    Camera c;
    c.set(Vec3(0, 0, 0));
    c.rotate(0, -0.9f);
    EXPECT_FLOAT_EQ(c.pitch, 0.9f);
    c.rotate(0, -0.1f);  // would give 1.0
    EXPECT_FLOAT_EQ(c.pitch, 0.9f);
    c.set(Vec3(0, 0, 0));
    c.rotate(0, 0.95f);  // exactly -0.95 is refused too
    EXPECT_EQ(c.pitch, 0.f);
    // A refused pitch still lets the yaw part through.
    c.rotate(0.5f, 2.f);
    EXPECT_EQ(c.pitch, 0.f);
    EXPECT_FLOAT_EQ(c.yaw, -0.5f);
}

TEST(Camera, MovesAlongItsAxes) {
    Camera c;
    c.set(Vec3(0, 0, 0));
    c.moveForward(-1);
    expectNear(c.position, Vec3(0, 0, -1));
    EXPECT_FLOAT_EQ(c.viewMatrix()[3][2], 1.f);
    c.strafe(2);
    expectNear(c.position, Vec3(2, 0, -1));
    // After turning, forward follows the view direction.
    c.rotate(-kPi / 2, 0);
    c.moveForward(-1);
    expectNear(c.position, Vec3(1, 0, -1), 1e-5f);
}

TEST(Camera, LargeYawIsNeverWrapped) {
    Camera c;
    c.set(Vec3(0, 0, 0));
    for (int i = 0; i < 100; ++i) c.rotate(-1.f, 0);
    EXPECT_FLOAT_EQ(c.yaw, 100.f);
    expectNear(c.zAxis(), Vec3(std::sin(100.f), 0, std::cos(100.f)), 1e-4f);
}

TEST(Quaternion, RotatesAboutTheAxis) {
    Quaternion q = Quaternion::fromAxisAngle(kPi / 2, Vec3(0, 0, 1));
    q.normalize();
    expectNear(q.rotate(Vec3(1, 0, 0)), Vec3(0, 1, 0));
    const Quaternion c = q.conjugate();
    expectNear(c.rotate(Vec3(0, 1, 0)), Vec3(1, 0, 0));
}
