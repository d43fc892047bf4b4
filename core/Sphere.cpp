#include "core/Sphere.h"

HitRecord Sphere::intersect(const Ray& ray) const {
    HitRecord h;
    float t;
    if (!hitDistance(ray, t)) return h;
    return hitAt(ray, t);
}
