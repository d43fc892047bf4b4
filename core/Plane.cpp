#include "core/Plane.h"

HitRecord Plane::intersect(const Ray& ray) const {
    HitRecord h;
    float t;
    if (!hitDistance(ray, t)) return h;
    fillHit(h, ray, t);
    h.normal = Vec4(equation.x, equation.y, equation.z, 0.f);
    return h;
}
