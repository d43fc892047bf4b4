#include "core/SkySphere.h"

#include <cmath>

HitRecord SkySphere::intersect(const Ray& ray) const {
    HitRecord h;
    const float r = radius.x;
    const float b = dotf(ray.direction, ray.origin);
    const float c = dotf(ray.origin, ray.origin) - r * r;
    const float disc = b * b - c;
    if (!(disc > 0.f)) return h;
    const float t = std::sqrt(disc) - b;
    if (!(t > 0.f)) return h;
    fillHit(h, ray, t);
    h.normal = -fastNormalize(h.position);
    return h;
}
