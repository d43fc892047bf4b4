// DiffusePhongMaterial ("diffusephongmaterial r g b"): direct diffuse light
// from the point lights with hard shadows; no ambient and no highlight. The
// inverse square of the distance is capped at 1, so lights nearer than one
// unit do not blow the surface out.
//   colour  diffuse reflectance per channel
#pragma once

#include "shading/Material.h"

class DiffusePhongMaterial : public ColourMaterial {
public:
    Vec4 shade(HitRecord& hit) const override;

protected:
    // The shading above for a surface of the given diffuse colour, for
    // materials whose colour varies over the surface.
    static Vec4 shadeWithColour(const HitRecord& hit, const Vec4& surfaceColour);
};
