// SkySphere: a sphere around the world origin of which the far side is
// always taken, with the normal pointing inward. Carries the background.
#pragma once

#include <cmath>

#include "core/Primitive.h"

class SkySphere : public Primitive {
public:
    // radius is (R, R, R, 0); only x takes part in the test.
    SkySphere(const Vec4& radius_, const Material* material_)
        : Primitive(material_), radius(radius_) {}

    HitRecord intersect(const Ray& ray) const override;
    // The distance intersect reports, without the rest of the record: true
    // and t on a hit. intersect itself runs this, so the two always agree.
    bool hitDistance(const Ray& ray, float& t) const {
        const float r = radius.x;
        const float b = dotf(ray.direction, ray.origin);
        const float c = dotf(ray.origin, ray.origin) - r * r;
        const float disc = b * b - c;
        if (!(disc > 0.f)) return false;
        t = std::sqrt(disc) - b;
        return t > 0.f;
    }
    // The record intersect gives for a hit at distance t from hitDistance.
    HitRecord hitAt(const Ray& ray, float t) const {
        HitRecord h;
        fillHit(h, ray, t);
        h.normal = -fastNormalize(h.position);
        return h;
    }

    Vec4 radius;
};
