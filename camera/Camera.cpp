#include "camera/Camera.h"

#include <cmath>

#include "camera/Quaternion.h"

Camera::Camera() { set(Vec3(0.f, 0.f, 0.f)); }

void Camera::setColumn(int column, const Vec3& v) {
    view[0][column] = v.x;
    view[1][column] = v.y;
    view[2][column] = v.z;
}

void Camera::set(const Vec3& p) {
    position = p;
    pitch = 0.f;
    yaw = 0.f;
    setColumn(0, Vec3(1.f, 0.f, 0.f));
    setColumn(1, Vec3(0.f, 1.f, 0.f));
    setColumn(2, Vec3(0.f, 0.f, 1.f));
    view[0][3] = view[1][3] = view[2][3] = 0.f;
    view[3][0] = -p.x;
    view[3][1] = -p.y;
    view[3][2] = -p.z;
    view[3][3] = 1.f;
    rebuild();
}

void Camera::rebuild() {
    Vec3 f = zAxis();
    const Vec3 up(0.f, 1.f, 0.f);
    Vec3 r = cross(up, f);
    Vec3 u = cross(f, r);
    f.normalize();
    u.normalize();
    r.normalize();
    setColumn(0, r);
    setColumn(1, u);
    view[3][0] = -dot(position, r);
    view[3][1] = -dot(position, u);
    view[3][2] = -dot(position, f);
}

void Camera::rotate(float yawChange, float pitchChange) {
    if (!(std::fabs(yawChange) > 0.f) && !(std::fabs(pitchChange) > 0.f)) return;
    const float p = pitch - pitchChange;
    const bool inside = p > -kPitchLimit && p < kPitchLimit;
    orient(yaw - yawChange, inside || std::fabs(p) < std::fabs(pitch) ? p : pitch);
}

void Camera::orient(float newYaw, float newPitch) {
    yaw = newYaw;
    pitch = newPitch;
    Vec3 yAxisWorld(0.f, 1.f, 0.f);
    yAxisWorld.normalize();
    Quaternion qy = Quaternion::fromAxisAngle(yaw, yAxisWorld);
    qy.normalize();
    Vec3 f = qy.rotate(Vec3(0.f, 0.f, 1.f));
    Vec3 r = qy.rotate(Vec3(1.f, 0.f, 0.f));
    r.normalize();
    Quaternion qp = Quaternion::fromAxisAngle(pitch, r);
    qp.normalize();
    f = qp.rotate(f);
    f.normalize();
    setColumn(2, f);
    rebuild();
}

void Camera::moveForward(float amount) {
    position = position + zAxis() * amount;
    rebuild();
}

void Camera::strafe(float amount) {
    position = position + xAxis() * amount;
    rebuild();
}
