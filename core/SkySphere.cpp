#include "core/SkySphere.h"

HitRecord SkySphere::intersect(const Ray& ray) const {
    HitRecord h;
    float t;
    if (!hitDistance(ray, t)) return h;
    fillHit(h, ray, t);
    h.normal = -fastNormalize(h.position);
    return h;
}
