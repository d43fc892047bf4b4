// SkySphere: a sphere around the world origin of which the far side is
// always taken, with the normal pointing inward. Carries the background.
#pragma once

#include "core/Primitive.h"

class SkySphere : public Primitive {
public:
    // radius is (R, R, R, 0); only x takes part in the test.
    SkySphere(const Vec4& radius_, const Material* material_)
        : Primitive(material_), radius(radius_) {}

    HitRecord intersect(const Ray& ray) const override;

    Vec4 radius;
};
