#include "core/Sphere.h"

HitRecord Sphere::intersect(const Ray& ray) const {
    HitRecord h;
    float t;
    if (!hitDistance(ray, t)) return h;
    fillHit(h, ray, t);
    h.normal = fastNormalize(h.position - centre);
    return h;
}
