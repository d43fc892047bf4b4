#include "camera/OrbitCamera.h"

#include <algorithm>
#include <cmath>

namespace {

// The camera looks along −zAxis.
Vec3 forwardOf(const Camera& camera) { return -camera.zAxis(); }

}  // namespace

OrbitCamera::OrbitCamera(const Camera& camera, float distance)
    : centre_(camera.position + forwardOf(camera) * distance),
      distance_(distance),
      startDistance_(distance),
      yaw_(camera.yaw),
      pitch_(camera.pitch) {}

void OrbitCamera::turn(float dx, float dy) {
    yaw_ -= dx * kTurnPerPixel;
    pitch_ = std::clamp(pitch_ - dy * kTurnPerPixel, -kPitchLimit, kPitchLimit);
}

void OrbitCamera::zoom(float steps) {
    distance_ *= std::pow(kZoomFactor, steps);
    clampDistance();
}

void OrbitCamera::clampDistance() {
    distance_ = std::clamp(distance_, kMinDistance * startDistance_, kMaxDistance * startDistance_);
}

void OrbitCamera::pan(float dx, float dy) {
    const Camera axes = oriented();
    const float scale = kPanPerPixel * distance_;
    centre_ = centre_ - axes.xAxis() * (dx * scale) + axes.yAxis() * (dy * scale);
}

void OrbitCamera::follow(const Camera& camera) {
    yaw_ = camera.yaw;
    pitch_ = camera.pitch;
    const Vec3 forward = forwardOf(camera);
    distance_ = dot(centre_ - camera.position, forward);
    clampDistance();
    centre_ = camera.position + forward * distance_;
}

Camera OrbitCamera::oriented() const {
    Camera camera;
    camera.orient(yaw_, pitch_);
    return camera;
}

void OrbitCamera::place(Camera& camera) const {
    camera.orient(yaw_, pitch_);
    camera.position = centre_ - forwardOf(camera) * distance_;
    camera.rebuild();
}
