// ObjectGroups: the scene's spheres (sky spheres among them) and planes,
// four of a kind at a time, tested against one ray in the four lanes of an
// SSE register; any other kind of object one by one, through intersect.
//
// Each lane runs the operations of its object's own distance test
// (Sphere::hitDistance, SkySphere::hitDistance, Plane::hitDistance) in the
// same order, so it gives the same distance to the bit and the same hit
// decision. The answers are
// those of a scan of the object list in its order: the nearest hit wins, and
// of equal distances the earlier object.
#pragma once

#include <xmmintrin.h>

#include <cstdint>
#include <vector>

#include "core/Primitive.h"

class ObjectGroups {
public:
    void clear();
    // Appends the next object of the list; index is its place in the list.
    void add(const Primitive* object);

    // The object nearest along the ray closer than bestDistance, or null;
    // bestDistance is lowered to its distance. A distance equal to
    // bestDistance on entry does not win. When the winner is of a kind that
    // is tested one by one through intersect, its record is left in record.
    const Primitive* nearest(const Ray& ray, float& bestDistance, HitRecord& record) const;
    // Whether some object is hit closer than maxDistance.
    bool blocks(const Ray& ray, float maxDistance) const;

private:
    // Four spheres: centre, r · r, r + the surface margin (from outside
    // that distance the near root) and the far limit per lane. A sky sphere
    // is a lane centred on the origin that always takes the far root, with
    // no far limit.
    struct alignas(16) SphereGroup {
        __m128 cx, cy, cz, cw, squaredRadius, outsideRadius, farLimit;
        int32_t index[4];
        const Primitive* object[4];
        bool sky[4];
    };
    // Four planes: the equation (n, d) per lane.
    struct alignas(16) PlaneGroup {
        __m128 nx, ny, nz, d;
        int32_t index[4];
        const Primitive* object[4];
    };
    struct Single {
        int32_t index;
        const Primitive* object;
    };

    std::vector<SphereGroup> spheres_;
    std::vector<PlaneGroup> planes_;
    std::vector<Single> singles_;
    int sphereCount_ = 0;
    int planeCount_ = 0;
    int32_t count_ = 0;
};
