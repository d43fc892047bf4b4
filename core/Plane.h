// Plane: the points p with n·p + d = 0, stored as (n.x, n.y, n.z, d). The
// normal is used as given: neither normalised nor turned towards the ray.
#pragma once

#include "core/Primitive.h"

class Plane : public Primitive {
public:
    Plane(const Vec4& equation_, const Material* material_)
        : Primitive(material_), equation(equation_) {}

    HitRecord intersect(const Ray& ray) const override;

    Vec4 equation;
};
