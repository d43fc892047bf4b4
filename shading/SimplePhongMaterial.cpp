#include "shading/SimplePhongMaterial.h"

#include "shading/DirectLight.h"

Vec4 SimplePhongMaterial::shade(HitRecord& hit) const {
    const Tracer& tracer = Tracer::current();
    const Vec4 r = mirrorDirection(hit.normal, towardsRayOrigin(hit));
    return colour * tracer.trace(offsetRay(hit.position, r, r), hit.depth);
}
