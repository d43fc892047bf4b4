// The per-light step shared by the lighting materials, and the helpers the
// secondary rays of every material use.
//
// For each point light the step yields the approximate unit direction to the
// light, the exact distance, the clamped cosine and the shadow-ray answer;
// each material weighs these in its own way (capped or uncapped inverse
// square, with or without 1/π).
#pragma once

#include <climits>
#include <cmath>
#include <limits>

#include "shading/Tracer.h"

// Every secondary ray starts this far along its offset vector from the hit.
constexpr float kSurfaceOffset = 0.002f;

// A secondary ray from hit point p along offsetDirection, travelling along
// direction (usually the same vector).
inline Ray offsetRay(const Vec4& p, const Vec4& offsetDirection, const Vec4& direction) {
    return Ray(p + offsetDirection * kSurfaceOffset, direction);
}

// The vector from a hit back to its ray's origin, O − P. A hit that
// rounding put at the origin itself (a sphere's far root, for a ray that
// leaves from exactly on its surface) has no such vector, and normalising
// the zero vector gives not-a-number: the way back along the ray, −D, points
// the same way.
inline Vec4 towardsRayOrigin(const HitRecord& hit) {
    const Vec4 v = hit.rayOrigin - hit.position;
    return dotf(v, v) >= std::numeric_limits<float>::min() ? v : -hit.rayDirection;
}

// The mirror direction of v about n, approximately normalised: v is the
// vector from the hit back towards where the ray came from.
inline Vec4 mirrorDirection(const Vec4& n, const Vec4& v) {
    return fastNormalize(dot(n, v) * 2.f * n - v);
}

// One point light as seen from a shading point.
struct LightSample {
    Light light;            // a copy of the record
    Vec4 direction;         // D = s × L, towards the light
    Vec4 cosine;            // max(0, N·D) in every lane
    float inverseDistance;  // s: approximate 1/d, the rsqrt fastNormalize uses
    float distance;         // d: exact
    float visibility;       // 1.0 when nothing lies between point and light, else 0.0
};

// Runs the per-light step for every light of the scene and returns the sum
// of term(sample) over them. P is the hit position, N its normal as the
// primitive delivered it. The shadow ray is cast for every light, also when
// the light is behind the surface. A light exactly at P has no direction and
// adds nothing (and casts no shadow ray), so it cannot turn the pixel into
// NaN.
template <class Term>
Vec4 sumOverLights(const Tracer& tracer, const Vec4& p, const Vec4& n, Term term) {
    Vec4 sum;
    const int count = tracer.lightCount();
    for (int i = 0; i < count; ++i) {
        LightSample s;
        s.light = tracer.copyLight(i);
        const Vec4 toLight = s.light.position - p;
        const float squaredDistance = dotf(toLight, toLight);
        if (!(squaredDistance > 0.f)) continue;
        s.inverseDistance = approxRsqrt(squaredDistance);
        s.direction = toLight * s.inverseDistance;
        s.distance = std::sqrt(squaredDistance);
        s.cosine = max(Vec4(), dot(n, s.direction));
        s.visibility = tracer.visibility(offsetRay(p, s.direction, s.direction), s.distance,
                                         !(s.cosine.x > 0.f));
        sum += term(s);
    }
    return sum;
}

// Secondary rays per shading point of the Monte Carlo materials: the
// setting truncated toward zero; 0 for settings below 1 (and not-a-number),
// so those materials leave their sampled term out instead of dividing by
// zero.
inline int monteCarloSampleCount(float setting) {
    if (!(setting >= 1.f)) return 0;
    if (setting >= float(INT_MAX)) return INT_MAX;
    return int(setting);
}
