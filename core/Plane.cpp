#include "core/Plane.h"

namespace {
constexpr float kFarLimit = 1000.f;
}

HitRecord Plane::intersect(const Ray& ray) const {
    HitRecord h;
    const Vec4 originPoint(ray.origin.x, ray.origin.y, ray.origin.z, 1.f);
    const Vec4 n(equation.x, equation.y, equation.z, 0.f);
    // A ray parallel to the plane gives an infinite or undefined t, which
    // fails the range test.
    const float t = -dotf(equation, originPoint) / dotf(n, ray.direction);
    if (!(t > 0.f && t < kFarLimit)) return h;
    fillHit(h, ray, t);
    h.normal = n;
    return h;
}
