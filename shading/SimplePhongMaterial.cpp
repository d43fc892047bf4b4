#include "shading/SimplePhongMaterial.h"

#include "shading/DirectLight.h"

Vec4 SimplePhongMaterial::shade(HitRecord& hit) const {
    const Tracer& tracer = Tracer::current();
    // Towards where the ray came from; the mirror direction normalises it.
    const Vec4 toOrigin = hit.rayOrigin - hit.position;
    const Vec4 r = mirrorDirection(hit.normal, toOrigin);
    return colour * tracer.trace(offsetRay(hit.position, r, r), hit.depth);
}
