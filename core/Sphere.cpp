#include "core/Sphere.h"

#include <cmath>

namespace {
// Absolute distance outside the surface within which an origin counts as on
// it, so the far root is taken.
constexpr float kSurfaceMargin = 0.01f;
constexpr float kFarLimit = 100000.f;
}  // namespace

HitRecord Sphere::intersect(const Ray& ray) const {
    HitRecord h;
    const Vec4 l = ray.origin - centre;
    const float r = radius.x;
    const float b = dotf(ray.direction, l);
    const float ll = dotf(l, l);
    const float c = ll - r * r;
    const float disc = b * b - c;
    if (!(disc > 0.f)) return h;
    const float s = std::sqrt(disc);
    const float t = std::sqrt(ll) > r + kSurfaceMargin ? -b - s : s - b;
    if (!(t > 0.f && t < kFarLimit)) return h;
    fillHit(h, ray, t);
    h.normal = fastNormalize(h.position - centre);
    return h;
}
