#include "shading/DiffusePhongMaterial.h"

#include <algorithm>

#include "shading/DirectLight.h"

Vec4 DiffusePhongMaterial::shade(HitRecord& hit) const {
    const Tracer& tracer = Tracer::current();
    return sumOverLights(tracer, hit.position, hit.normal, [this](const LightSample& s) {
        const float falloff = std::min(1.f, s.inverseDistance * s.inverseDistance);
        return colour * s.light.colour * s.cosine * falloff * s.visibility;
    });
}
