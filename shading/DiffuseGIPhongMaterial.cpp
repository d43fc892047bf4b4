#include "shading/DiffuseGIPhongMaterial.h"

#include <algorithm>

#include "shading/DirectLight.h"

namespace {
// 1/π with π in single precision.
constexpr float kInvPi = 1.f / 3.1415927f;
}  // namespace

Vec4 DiffuseGIPhongMaterial::shade(HitRecord& hit) const {
    Tracer& tracer = Tracer::current();
    const Vec4& p = hit.position;
    const Vec4& n = hit.normal;
    const Vec4 k(kInvPi, kInvPi, kInvPi, kInvPi);

    const Vec4 direct = sumOverLights(tracer, p, n, [&k](const LightSample& s) {
        const float falloff = std::min(1.f, s.inverseDistance * s.inverseDistance);
        return s.light.colour * s.visibility * s.cosine * falloff * k;
    });
    Vec4 result = colour * direct;

    const float sampleSetting = tracer.secondarySampleCount();
    const int samples = monteCarloSampleCount(sampleSetting);
    if (samples > 0) {
        Vec4 sum;
        for (int i = 0; i < samples; ++i) {
            Vec4 d = tracer.nextHemisphereDirection();
            float c = n.x * d.x + n.y * d.y + n.z * d.z;
            // The table covers one half sphere; turn directions that point
            // into the surface to the other side.
            if (c < 0.f) {
                d = -d;
                c = n.x * d.x + n.y * d.y + n.z * d.z;
            }
            const Vec4 seen = tracer.trace(offsetRay(p, n, fastNormalize(d)), hit.depth);
            sum += c * seen * k;
        }
        result += colour * (sum * (1.f / sampleSetting));
    }

    // Negative reflectances would subtract light; w is left as it is.
    result.x = std::max(result.x, 0.f);
    result.y = std::max(result.y, 0.f);
    result.z = std::max(result.z, 0.f);
    return result;
}
