// Sphere: centre and radius. The near root is taken from outside, the far
// root from inside or from within 0.01 of the surface, so a secondary ray
// leaving the surface never hits its own start.
#pragma once

#include "core/Primitive.h"

class Sphere : public Primitive {
public:
    // radius is (r, r, r, 0); only x takes part in the test.
    Sphere(const Vec4& centre_, const Vec4& radius_, const Material* material_)
        : Primitive(material_), centre(centre_), radius(radius_) {}

    HitRecord intersect(const Ray& ray) const override;

    Vec4 centre;
    Vec4 radius;
};
