#include "shading/GlossyReflectionMaterial.h"

#include "shading/DirectLight.h"

namespace {
// A draw r becomes the offset ((r mod 1000) − 500) × 0.0001.
constexpr int32_t kOffsetSteps = 1000;
constexpr int32_t kOffsetCentre = 500;
constexpr float kOffsetStep = 0.0001f;

float drawOffset(Tracer& tracer) {
    return float(tracer.nextRandom() % kOffsetSteps - kOffsetCentre) * kOffsetStep;
}
}  // namespace

Vec4 GlossyReflectionMaterial::shade(HitRecord& hit) const {
    Tracer& tracer = Tracer::current();
    const Vec4& p = hit.position;
    const Vec4& n = hit.normal;

    const Vec4 direct = sumOverLights(tracer, p, n, [](const LightSample& s) {
        const float squaredDistance = s.distance * s.distance;
        return s.light.colour * s.visibility * s.cosine /
               Vec4(squaredDistance, squaredDistance, squaredDistance, squaredDistance);
    });
    Vec4 result = colour * direct;

    const float sampleSetting = tracer.secondarySampleCount();
    const int samples = monteCarloSampleCount(sampleSetting);
    if (samples > 0) {
        const Vec4 r = mirrorDirection(n, towardsRayOrigin(hit));
        Vec4 sum;
        for (int i = 0; i < samples; ++i) {
            // Drawn in the order x, y, z. The shifted direction is made unit
            // length again, as the sphere test assumes; the ray starts off
            // the unshifted one.
            const float x = drawOffset(tracer);
            const float y = drawOffset(tracer);
            const float z = drawOffset(tracer);
            const Vec4 direction = fastNormalize(r + Vec4(x, y, z, 0.f));
            sum += tracer.trace(offsetRay(p, r, direction), hit.depth);
        }
        result += colour * (sum * (1.f / sampleSetting));
    }
    return result;
}
