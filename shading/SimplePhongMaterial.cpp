#include "shading/SimplePhongMaterial.h"

#include "shading/DirectLight.h"

Vec4 SimplePhongMaterial::shade(HitRecord& hit) const {
    const Renderer& renderer = *Renderer::instance();
    // Towards where the ray came from; the mirror direction normalises it.
    const Vec4 toOrigin = hit.rayOrigin - hit.position;
    const Vec4 r = mirrorDirection(hit.normal, toOrigin);
    return colour * renderer.trace(offsetRay(hit.position, r, r), hit.depth);
}
