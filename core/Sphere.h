// Sphere: centre and radius. The near root is taken from outside, the far
// root from inside or from within 0.01 of the surface, so a secondary ray
// leaving the surface never hits its own start.
#pragma once

#include <cmath>

#include "core/Primitive.h"

class Sphere : public Primitive {
public:
    // radius is (r, r, r, 0); only x takes part in the test.
    Sphere(const Vec4& centre_, const Vec4& radius_, const Material* material_)
        : Primitive(material_), centre(centre_), radius(radius_) {}

    HitRecord intersect(const Ray& ray) const override;
    // The distance intersect reports, without the rest of the record: true
    // and t on a hit. intersect itself runs this, so the two always agree.
    bool hitDistance(const Ray& ray, float& t) const {
        const Vec4 l = ray.origin - centre;
        const float r = radius.x;
        const float b = dotf(ray.direction, l);
        const float ll = dotf(l, l);
        const float c = ll - r * r;
        const float disc = b * b - c;
        if (!(disc > 0.f)) return false;
        const float s = std::sqrt(disc);
        t = std::sqrt(ll) > r + kSurfaceMargin ? -b - s : s - b;
        return t > 0.f && t < kFarLimit;
    }
    // The record intersect gives for a hit at distance t from hitDistance.
    HitRecord hitAt(const Ray& ray, float t) const {
        HitRecord h;
        fillHit(h, ray, t);
        h.normal = fastNormalize(h.position - centre);
        return h;
    }

    // Absolute distance outside the surface within which an origin counts
    // as on it, so the far root is taken.
    static constexpr float kSurfaceMargin = 0.01f;
    static constexpr float kFarLimit = 100000.f;

    Vec4 centre;
    Vec4 radius;
};
