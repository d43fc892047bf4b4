// OrbitCamera: the camera turning about a centre it keeps in the middle of
// the picture, as a hand turns a model: a yaw about the vertical axis
// through the centre and a tilt, never a roll, with the eye at
// centre − distance × forward. Drags come in pixels, the wheel in steps.
#pragma once

#include "camera/Camera.h"

class OrbitCamera {
public:
    // Radians turned per pixel of drag (about 0.57°: 150 pixels turn 86°).
    static constexpr float kTurnPerPixel = 0.01f;
    // The tilt stays within ±kPitchLimit (about 83°), short of looking
    // straight down or up, where the turn about the vertical would spin.
    static constexpr float kPitchLimit = 1.45f;
    // One wheel step towards the centre multiplies the distance by
    // kZoomFactor, one away divides it.
    static constexpr float kZoomFactor = 0.8f;
    // The distance stays between these fractions and multiples of the one
    // the orbit started with: the eye never reaches or passes the centre.
    static constexpr float kMinDistance = 0.05f;
    static constexpr float kMaxDistance = 100.f;
    // A pixel of pan drag moves the centre by this fraction of the distance,
    // about a pixel of the picture at the centre's depth in a 480-pixel view.
    static constexpr float kPanPerPixel = 0.0035f;

    OrbitCamera() = default;
    // The orbit of camera about the point distance ahead of it (> 0), on the
    // line through the picture's centre.
    OrbitCamera(const Camera& camera, float distance);

    // A drag of (dx, dy) pixels: right turns the eye to the left about the
    // centre (the model turns with the hand), down raises it (the top comes
    // into view).
    void turn(float dx, float dy);
    // Wheel steps, positive towards the centre.
    void zoom(float steps);
    // A drag of (dx, dy) pixels moves the centre and the eye together the
    // other way, so that the scene follows the hand.
    void pan(float dx, float dy);
    // After the camera was moved by other means (walking keys): the centre
    // keeps its depth ahead of the camera, on its new line of sight.
    void follow(const Camera& camera);
    // Puts the camera at the orbit's eye, looking at the centre.
    void place(Camera& camera) const;

    const Vec3& centre() const { return centre_; }
    float distance() const { return distance_; }

private:
    Camera oriented() const;
    void clampDistance();

    Vec3 centre_;
    float distance_ = 1.f;
    float startDistance_ = 1.f;
    float yaw_ = 0.f;
    float pitch_ = 0.f;
};
