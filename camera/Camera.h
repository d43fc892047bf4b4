// Camera: eye position and an orientation given by absolute yaw and pitch,
// kept as a row-major view matrix whose upper-left 3 × 3 columns are the
// right, up and backward axes. The camera looks along -zAxis.
#pragma once

#include "core/Vec3.h"

class Camera {
public:
    // Pitch stays strictly inside this bound (about ±54.4°), so the view
    // direction is never parallel to the world's up axis.
    static constexpr float kPitchLimit = 0.95f;

    Camera();

    // Puts the eye at p looking along -z with y up, yaw = pitch = 0.
    void set(const Vec3& p);
    // Derives xAxis, yAxis and the translation row from zAxis and position.
    void rebuild();
    // Turns by the given yaw and pitch changes in radians. A pitch change
    // that would reach the limit is dropped whole, unless it brings a pitch
    // beyond the limit (left by an orbit, which tilts further) back towards level.
    void rotate(float yawChange, float pitchChange);
    // Sets the absolute yaw and pitch (radians; pitch strictly between ±π/2)
    // and the axes that follow from them; the position stays.
    void orient(float newYaw, float newPitch);
    void moveForward(float amount);  // along +zAxis: negative moves forward
    void strafe(float amount);       // along +xAxis: positive moves right

    const float (&viewMatrix() const)[4][4] { return view; }
    Vec3 xAxis() const { return {view[0][0], view[1][0], view[2][0]}; }
    Vec3 yAxis() const { return {view[0][1], view[1][1], view[2][1]}; }
    Vec3 zAxis() const { return {view[0][2], view[1][2], view[2][2]}; }

    Vec3 position;
    float pitch = 0.f;
    float yaw = 0.f;

private:
    void setColumn(int column, const Vec3& v);

    float view[4][4];
};
