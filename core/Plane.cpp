#include "core/Plane.h"

HitRecord Plane::intersect(const Ray& ray) const {
    HitRecord h;
    float t;
    if (!hitDistance(ray, t)) return h;
    return hitAt(ray, t);
}
