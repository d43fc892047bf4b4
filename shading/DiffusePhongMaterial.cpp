#include "shading/DiffusePhongMaterial.h"

#include <algorithm>

#include "shading/DirectLight.h"

// Flattened: the light loop inline, as it was before the textured material
// shared it, so the plain material's shading pays no call for its sake.
[[gnu::flatten]] Vec4 DiffusePhongMaterial::shade(HitRecord& hit) const {
    return shadeWithColour(hit, colour);
}

Vec4 DiffusePhongMaterial::shadeWithColour(const HitRecord& hit, const Vec4& surfaceColour) {
    const Tracer& tracer = Tracer::current();
    return sumOverLights(tracer, hit.position, hit.normal, [&surfaceColour](const LightSample& s) {
        const float falloff = std::min(1.f, s.inverseDistance * s.inverseDistance);
        return surfaceColour * s.light.colour * s.cosine * falloff * s.visibility;
    });
}
