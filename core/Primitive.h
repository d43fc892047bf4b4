// Primitive: one intersectable object of the scene. The kinds are Sphere,
// SkySphere, Plane and Triangle; each answers the intersection of a ray with
// itself as a HitRecord naming its material.
#pragma once

#include "core/Ray.h"

class Primitive {
public:
    // The material is not owned: the Renderer's material list owns it.
    explicit Primitive(const Material* material_) : material(material_) {}
    virtual ~Primitive() = default;

    // Returns a record with hit false and distance 1,000,000 on a miss. Never
    // sets depth.
    virtual HitRecord intersect(const Ray& ray) const = 0;

    const Material* material;

protected:
    // Fills the fields common to every kind of hit.
    void fillHit(HitRecord& h, const Ray& ray, float t) const {
        h.hit = true;
        h.distance = t;
        h.position = ray.origin + ray.direction * t;
        h.rayOrigin = ray.origin;
        h.rayDirection = ray.direction;
        h.material = material;
        h.triangle = nullptr;
    }
};
