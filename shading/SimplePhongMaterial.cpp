#include "shading/SimplePhongMaterial.h"

#include "shading/DirectLight.h"

Vec4 SimplePhongMaterial::shade(HitRecord& hit) const {
    const Renderer& renderer = *Renderer::instance();
    const Vec4 r = mirrorDirection(hit.normal, towardsRayOrigin(hit));
    return colour * renderer.trace(offsetRay(hit.position, r, r), hit.depth);
}
