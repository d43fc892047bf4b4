// The camera against the closed form of a yaw-then-pitch turn, and the
// orbit about a centre built on it.
#include "camera/Camera.h"

#include <gtest/gtest.h>

#include <cmath>

#include "camera/OrbitCamera.h"

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
    // Left beyond the limit by an orbit: a turn back towards level is taken,
    // one further away is not.
    c.orient(0.f, 1.4f);
    c.rotate(0.f, -0.1f);
    EXPECT_EQ(c.pitch, 1.4f);
    c.rotate(0.f, 0.1f);
    EXPECT_NEAR(c.pitch, 1.3f, 1e-6f);
}

namespace {

// The centre's place in the camera's frame: (right, up, ahead).
Vec3 seenAt(const Camera& c, const Vec3& point) {
    const Vec3 d = point - c.position;
    return {dot(d, c.xAxis()), dot(d, c.yAxis()), -dot(d, c.zAxis())};
}

}  // namespace

// Drags turn by kTurnPerPixel a pixel, the tilt stops at ±kPitchLimit, pans
// move the centre with the eye; after every step the centre is straight
// ahead at the orbit's distance, in the middle of the picture.
TEST(OrbitCamera, DragsTurnByTheirPixelsAndKeepTheCentreInTheMiddle) {
    struct Step {
        float dx, dy;
        bool pan;
        float yaw, pitch;  // afterwards
        Vec3 centre;
    };
    const Vec3 c0(0, 1, 0);
    const Step steps[] = {
        {150, 0, false, -1.5f, 0.f, c0},               // right: the eye goes left, round the back
        {0, 100, false, -1.5f, -1.f, c0},              // down: the eye rises
        {0, 1000, false, -1.5f, -1.45f, c0},           // held short of straight down
        {-150, -3000, false, 0.f, 1.45f, c0},          // and of straight up
        {0, 145, false, 0.f, 0.f, c0},                 // level again, facing −z
        {100, 0, true, 0.f, 0.f, Vec3(-1.75f, 1, 0)},  // 100 px × 0.0035 × 5 to the left
        {0, 100, true, 0.f, 0.f, Vec3(-1.75f, 2.75f, 0)},
    };
    Camera camera;
    camera.set(Vec3(0, 1, 5));
    OrbitCamera orbit(camera, 5.f);
    for (const Step& s : steps) {
        if (s.pan)
            orbit.pan(s.dx, s.dy);
        else
            orbit.turn(s.dx, s.dy);
        orbit.place(camera);
        EXPECT_NEAR(camera.yaw, s.yaw, 1e-5f);
        EXPECT_NEAR(camera.pitch, s.pitch, 1e-5f);
        expectNear(orbit.centre(), s.centre, 1e-4f);
        expectNear(seenAt(camera, orbit.centre()), Vec3(0, 0, 5), 1e-4f);
        // The eye on the sphere, by the closed form of the camera's axes.
        const float y = s.yaw, p = s.pitch;
        expectNear(camera.position - orbit.centre(),
                   Vec3(std::sin(y) * std::cos(p), -std::sin(p), std::cos(y) * std::cos(p)) * 5.f,
                   1e-4f);
    }
}

// Wheel steps scale the distance by 0.8 each; however many, the eye stays
// on its side of the centre, at least 5 % of the first distance from it.
TEST(OrbitCamera, TheWheelNeverTakesTheEyeThroughTheCentre) {
    const float cases[][2] = {{1, 4.f}, {3, 2.048f}, {40, 0.25f}, {-1, 0.3125f}, {-400, 500.f}};
    Camera camera;
    camera.set(Vec3(2, 0, 5));
    OrbitCamera orbit(camera, 5.f);
    for (const auto& [steps, distance] : cases) {
        orbit.zoom(steps);
        orbit.place(camera);
        EXPECT_NEAR(orbit.distance(), distance, distance * 1e-5f) << steps << " steps";
        expectNear(seenAt(camera, Vec3(2, 0, 0)), Vec3(0, 0, distance), distance * 1e-5f);
    }
}
