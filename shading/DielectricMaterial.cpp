#include "shading/DielectricMaterial.h"

#include <algorithm>
#include <cmath>

#include "shading/DirectLight.h"

namespace {
// Ratio of refractive indices, 1/2.32 in single precision: a medium of index
// 2.32 seen from one of index 1.
constexpr float kEta = 0.43103451f;
}  // namespace

Vec4 DielectricMaterial::shade(HitRecord& hit) const {
    const Tracer& tracer = Tracer::current();
    const Vec4& p = hit.position;
    const Vec4 v = fastNormalize(towardsRayOrigin(hit));
    float c = dotf(hit.normal, v);
    if (c < 0.f) {
        // Arriving from inside: work with the normal that faces the ray.
        hit.normal = -hit.normal;
        c = dotf(hit.normal, v);
    }
    const Vec4& n = hit.normal;

    const Vec4 r = fastNormalize(c * 2.f * n - v);
    const Vec4 reflected = tracer.trace(offsetRay(p, r, r), hit.depth);

    // Snell's law for the incident direction −v.
    const float k = 1.f - kEta * kEta * (1.f - c * c);
    const Vec4 t = fastNormalize((kEta * c - std::sqrt(k)) * n - kEta * v);
    const Vec4 refracted = tracer.trace(offsetRay(p, t, t), hit.depth);

    const float oneMinusC = 1.f - c;
    const float squared = oneMinusC * oneMinusC;
    const float f = std::clamp(squared * squared, 0.f, 1.f);
    return colour * (f * reflected + (1.f - f) * refracted);
}
