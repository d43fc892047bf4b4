// Vec3: three floats for file data, the camera and triangle records.
#pragma once

#include <cmath>
#include <ostream>

struct Vec3 {
    float x = 0.f, y = 0.f, z = 0.f;

    Vec3() = default;
    Vec3(float x_, float y_, float z_) : x(x_), y(y_), z(z_) {}

    float operator[](int axis) const { return axis == 0 ? x : (axis == 1 ? y : z); }

    // Exact normalisation: the length and its reciprocal are formed in double
    // precision and the reciprocal is rounded once to float.
    void normalize() {
        const double dx = static_cast<double>(x), dy = static_cast<double>(y),
                     dz = static_cast<double>(z);
        const double sum = dx * dx + dy * dy + dz * dz;
        const float inv = float(1.0 / std::sqrt(sum));
        x *= inv;
        y *= inv;
        z *= inv;
    }
};

inline Vec3 operator+(const Vec3& a, const Vec3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vec3 operator-(const Vec3& a, const Vec3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vec3 operator-(const Vec3& a) { return {-a.x, -a.y, -a.z}; }
inline Vec3 operator*(const Vec3& a, float s) { return {a.x * s, a.y * s, a.z * s}; }
inline Vec3 operator*(float s, const Vec3& a) { return a * s; }
inline bool operator==(const Vec3& a, const Vec3& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z;
}

inline float dot(const Vec3& a, const Vec3& b) { return a.x * b.x + a.y * b.y + a.z * b.z; }

inline Vec3 cross(const Vec3& a, const Vec3& b) {
    return {a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
}

// (x, y, z) divided by its length, all in double precision and rounded once,
// so that a vector and any multiple of it give the same bits; zero for a
// vector without a direction (zero length, or not finite).
inline Vec3 unitOrZero(double x, double y, double z) {
    const double length = std::sqrt(x * x + y * y + z * z);
    if (!(length > 0.0) || !std::isfinite(length)) return Vec3();
    return Vec3(float(x / length), float(y / length), float(z / length));
}
inline Vec3 unitOrZero(const Vec3& v) { return unitOrZero(double(v.x), double(v.y), double(v.z)); }

// Unit normal of the side from which a, b, c run counter-clockwise, formed
// in double precision so that large coordinates cannot overflow; zero for a
// degenerate triangle, which no ray hits anyway.
inline Vec3 geometricNormal(const Vec3& a, const Vec3& b, const Vec3& c) {
    const double e1[3] = {double(b.x) - double(a.x), double(b.y) - double(a.y),
                          double(b.z) - double(a.z)};
    const double e2[3] = {double(c.x) - double(a.x), double(c.y) - double(a.y),
                          double(c.z) - double(a.z)};
    return unitOrZero(e1[1] * e2[2] - e1[2] * e2[1], e1[2] * e2[0] - e1[0] * e2[2],
                      e1[0] * e2[1] - e1[1] * e2[0]);
}

inline std::ostream& operator<<(std::ostream& os, const Vec3& v) {
    return os << '(' << v.x << ", " << v.y << ", " << v.z << ')';
}
