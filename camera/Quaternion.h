// Quaternion: unit quaternions for turning the camera from its absolute yaw
// and pitch, so repeated turning accumulates no drift.
#pragma once

#include <cmath>

#include "core/Vec3.h"

struct Quaternion {
    Vec3 v;         // vector part
    float w = 1.f;  // scalar part

    Quaternion() = default;
    Quaternion(float x, float y, float z, float w_) : v(x, y, z), w(w_) {}
    Quaternion(const Vec3& v_, float w_) : v(v_), w(w_) {}

    // The axis is expected to be unit length; it is not normalised here.
    static Quaternion fromAxisAngle(float angle, const Vec3& axis) {
        return {axis * std::sin(angle * 0.5f), std::cos(angle * 0.5f)};
    }

    void normalize() {
        const float len = std::sqrt(dot(v, v) + w * w);
        v = v * (1.f / len);
        w /= len;
    }

    Quaternion conjugate() const { return {-v, w}; }

    // The vector part of q ⊗ (u, 0) ⊗ conjugate(q).
    Vec3 rotate(const Vec3& u) const;
};

// Hamilton product.
inline Quaternion operator*(const Quaternion& a, const Quaternion& b) {
    return {b.v * a.w + a.v * b.w + cross(a.v, b.v), a.w * b.w - dot(a.v, b.v)};
}

inline Vec3 Quaternion::rotate(const Vec3& u) const {
    return ((*this) * Quaternion(u, 0.f) * conjugate()).v;
}
