// Triangle: Moller-Trumbore test with one division per hit. Only the side
// from which v0, v1, v2 run counter-clockwise is hit; the interpolated
// normal is returned unnormalised.
#pragma once

#include <cmath>
#include <limits>

#include "core/Primitive.h"

namespace triangle_detail {
// A front face needs det = d · (edge2 × edge1) above this fraction of
// |edge1 × edge2|: for a unit direction d, the cosine between the ray and
// the normal. A fraction rather than a fixed det keeps the test free of
// scale (a model measured in metres stays whole), and this one turns away
// only rays within 0.0006 degrees of the triangle's plane.
constexpr float kMinCosine = 1e-5f;
// Far limit of the hit distance t itself.
constexpr float kFarLimit = 1000.f;

// The det a ray must pass to hit the triangle with these edges: kMinCosine
// times the length of their cross product (formed in double precision, so
// that neither tiny nor huge triangles lose it), and +infinity for a
// degenerate triangle, which no ray hits.
inline float minimumDet(const Vec3& edge1, const Vec3& edge2) {
    const double a[3] = {double(edge1.x), double(edge1.y), double(edge1.z)},
                 b[3] = {double(edge2.x), double(edge2.y), double(edge2.z)};
    const double n[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2],
                         a[0] * b[1] - a[1] * b[0]};
    const double length = std::sqrt(n[0] * n[0] + n[1] * n[1] + n[2] * n[2]);
    if (!(length > 0.0)) return std::numeric_limits<float>::infinity();
    return float(double(kMinCosine) * length);
}
}  // namespace triangle_detail

// What a triangle's corners carry beyond position and normal, for the
// materials that use it: texture coordinates and linear RGB colours of v0,
// v1 and v2. The renderer owns these records (Renderer::addMesh); a
// triangle only points at its own.
struct CornerAttributes {
    float uv[3][2] = {};
    Vec3 colour[3] = {Vec3(1.f, 1.f, 1.f), Vec3(1.f, 1.f, 1.f), Vec3(1.f, 1.f, 1.f)};
    bool hasUv = false;
    bool hasColour = false;
};

class Triangle : public Primitive {
public:
    // Sets the material only. Whoever fills the vertices computes edge1 and
    // edge2 right after (computeEdges).
    explicit Triangle(const Material* material_) : Primitive(material_) {}

    HitRecord intersect(const Ray& ray) const override;

    void computeEdges() {
        edge1 = v1 - v0;
        edge2 = v2 - v0;
        minDet = triangle_detail::minimumDet(edge1, edge2);
    }

    // Corners whose normal has no direction (zero) take the unit geometric
    // normal instead.
    void fillZeroNormals() {
        if (!(n0 == Vec3() || n1 == Vec3() || n2 == Vec3())) return;
        const Vec3 geometric = geometricNormal(v0, v1, v2);
        for (Vec3* n : {&n0, &n1, &n2})
            if (*n == Vec3()) *n = geometric;
    }

    // Weights (beta, gamma) of v1 and v2 at a point of the triangle's
    // plane, v0 weighing 1 − beta − gamma: the barycentric coordinates of a
    // hit, formed again from its position only by the materials that need
    // them, so that the hit record stays small.
    void barycentric(const Vec4& point, float& beta, float& gamma) const {
        const Vec3 w = toVec3(point) - v0;
        const float d11 = dot(edge1, edge1), d12 = dot(edge1, edge2), d22 = dot(edge2, edge2);
        const float w1 = dot(w, edge1), w2 = dot(w, edge2);
        const float det = d11 * d22 - d12 * d12;
        const float inv = det > 0.f ? 1.f / det : 0.f;
        beta = (d22 * w1 - d12 * w2) * inv;
        gamma = (d11 * w2 - d12 * w1) * inv;
    }

    Vec3 v0, v1, v2;
    Vec3 n0, n1, n2;
    Vec3 t0, t1, t2;  // texture coordinates: stored, never used by the test
    Vec3 edge1;       // v1 - v0
    Vec3 edge2;       // v2 - v0
    // det at or below this is a back face or a ray nearly in the plane.
    float minDet = std::numeric_limits<float>::infinity();
    // Null for a plain triangle; not owned.
    const CornerAttributes* corners = nullptr;
};

// The test itself, inline so that the kd-tree's leaves need no virtual call.
// Writes h only on a hit and returns whether there was one.
inline bool intersectTriangle(const Triangle& tri, const Ray& ray, HitRecord& h) {
    using namespace triangle_detail;
    const __m128 d = ray.direction.simd();
    const __m128 e1 = _mm_setr_ps(tri.edge1.x, tri.edge1.y, tri.edge1.z, 0.f);
    const __m128 e2 = _mm_setr_ps(tri.edge2.x, tri.edge2.y, tri.edge2.z, 0.f);
    const __m128 p = crossSimd(d, e2);
    const float det = _mm_cvtss_f32(dotSimd(p, e1));
    if (!(det > tri.minDet)) return false;
    const __m128 tvec =
        _mm_sub_ps(ray.origin.simd(), _mm_setr_ps(tri.v0.x, tri.v0.y, tri.v0.z, 0.f));
    const float u = _mm_cvtss_f32(dotSimd(tvec, p));
    if (u < 0.f || u > det) return false;
    const __m128 q = crossSimd(tvec, e1);
    const float v = _mm_cvtss_f32(dotSimd(d, q));
    if (v < 0.f || u + v > det) return false;
    const float tScaled = _mm_cvtss_f32(dotSimd(e2, q));
    if (!(tScaled > 0.f)) return false;
    const float inv = 1.f / det;
    const float t = tScaled * inv;
    if (!(t < kFarLimit)) return false;
    const float beta = u * inv;
    const float gamma = v * inv;
    const float alpha = 1.f - beta - gamma;
    h.hit = true;
    h.distance = t;
    h.position = ray.origin + ray.direction * t;
    h.rayOrigin = ray.origin;
    h.rayDirection = ray.direction;
    h.material = tri.material;
    h.triangle = &tri;
    h.normal = Vec4(tri.n0 * alpha + tri.n1 * beta + tri.n2 * gamma);
    return true;
}

inline HitRecord Triangle::intersect(const Ray& ray) const {
    HitRecord h;
    intersectTriangle(*this, ray, h);
    return h;
}
