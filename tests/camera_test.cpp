// The camera against the closed form of a yaw-then-pitch turn.
#include "camera/Camera.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

void expectNear(const Vec3& a, const Vec3& b, float tol = 2e-5f) {
    EXPECT_TRUE(std::fabs(a.x - b.x) <= tol && std::fabs(a.y - b.y) <= tol &&
                std::fabs(a.z - b.z) <= tol)
        << a << " vs " << b;
}

}  // namespace

// Turns accumulate without wrapping; the axes always match the angles;
// a pitch change that would reach ±0.95 is dropped whole, its yaw kept;
// moves follow the turned axes.
TEST(Camera, TurnsMatchTheClosedFormAndPitchStopsShortOfTheLimit) {
    Camera c;
    c.set(Vec3(0, 0, 0));
    const float turns[][2] = {
        {0.3f, -0.2f}, {-1.7f, 0.5f}, {12.5f, 0.1f}, {0.f, -0.9f}, {0.5f, 2.f}};
    for (const auto& t : turns) {
        c.rotate(t[0], t[1]);
        const float y = c.yaw, p = c.pitch;
        expectNear(c.zAxis(),
                   Vec3(std::sin(y) * std::cos(p), -std::sin(p), std::cos(y) * std::cos(p)));
        expectNear(c.xAxis(), Vec3(std::cos(y), 0, -std::sin(y)));
        expectNear(c.yAxis(), cross(c.zAxis(), c.xAxis()));
    }
    EXPECT_NEAR(c.yaw, -11.6f, 1e-5f);
    EXPECT_NEAR(c.pitch, 0.5f, 1e-6f);  // 0.2 - 0.5 - 0.1 + 0.9; the last change refused
    c.set(Vec3(0, 0, 0));
    c.moveForward(-1);
    c.strafe(2);
    expectNear(c.position, Vec3(2, 0, -1));
    c.rotate(-1.5707964f, 0);  // a quarter turn: now looking along -x
    c.moveForward(-1);
    expectNear(c.position, Vec3(1, 0, -1));
}
