// Plane: the points p with n·p + d = 0, stored as (n.x, n.y, n.z, d). The
// normal is used as given, never turned towards the ray; the scene reader
// hands over unit normals.
#pragma once

#include "core/Primitive.h"

class Plane : public Primitive {
public:
    Plane(const Vec4& equation_, const Material* material_)
        : Primitive(material_), equation(equation_) {}

    HitRecord intersect(const Ray& ray) const override;
    // The distance intersect reports, without the rest of the record: true
    // and t on a hit. intersect itself runs this, so the two always agree.
    bool hitDistance(const Ray& ray, float& t) const {
        const Vec4 originPoint(ray.origin.x, ray.origin.y, ray.origin.z, 1.f);
        const Vec4 n(equation.x, equation.y, equation.z, 0.f);
        // A ray parallel to the plane gives an infinite or undefined t,
        // which fails the range test.
        t = -dotf(equation, originPoint) / dotf(n, ray.direction);
        return t > 0.f && t < kFarLimit;
    }
    // The record intersect gives for a hit at distance t from hitDistance.
    HitRecord hitAt(const Ray& ray, float t) const {
        HitRecord h;
        fillHit(h, ray, t);
        h.normal = Vec4(equation.x, equation.y, equation.z, 0.f);
        return h;
    }

    static constexpr float kFarLimit = 1000.f;

    Vec4 equation;
};
