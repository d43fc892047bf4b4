#include "shading/TexturedDiffuseMaterial.h"

#include "core/Triangle.h"
#include "shading/DirectLight.h"

Vec4 TexturedDiffuseMaterial::surfaceColour(const HitRecord& hit) const {
    Vec4 c(colour.x, colour.y, colour.z, 1.f);
    const Triangle* tri = hit.triangle;
    if (!tri || !tri->corners) return c;
    const CornerAttributes& corners = *tri->corners;
    float beta = 0.f, gamma = 0.f;
    tri->barycentric(hit.position, beta, gamma);
    const float alpha = 1.f - beta - gamma;
    if (texture_ && corners.hasUv) {
        const float u =
            corners.uv[0][0] * alpha + corners.uv[1][0] * beta + corners.uv[2][0] * gamma;
        const float v =
            corners.uv[0][1] * alpha + corners.uv[1][1] * beta + corners.uv[2][1] * gamma;
        c = c * texture_->lookup(u, v);
    }
    if (corners.hasColour) {
        const Vec3 vc =
            corners.colour[0] * alpha + corners.colour[1] * beta + corners.colour[2] * gamma;
        c = c * Vec4(vc.x, vc.y, vc.z, 1.f);
    }
    return c;
}

Vec4 TexturedDiffuseMaterial::shade(HitRecord& hit) const {
    Vec4 c = surfaceColour(hit);
    if (c.w < alphaCutoff_) {
        // Cut out: what lies behind shows through.
        const Vec4 d = hit.rayDirection;
        return Tracer::current().trace(offsetRay(hit.position, d, d), hit.depth);
    }
    c.w = 0.f;
    return shadeWithColour(hit, c);
}
