// DiffuseGIPhongMaterial ("diffusegiphongmaterial r g b"): direct diffuse
// light divided by π, plus indirect light gathered along directions drawn
// from the renderer's hemisphere table. The indirect term is the mean of the
// cosine-weighted colours seen along those directions, divided by π; it
// carries no factor for the table's density of directions. Negative colour
// lanes of the result are clamped to 0.
//   colour  diffuse reflectance per channel
// The number of sample rays is the renderer's giSampleCount, truncated; below
// 1 the indirect term is left out.
#pragma once

#include "shading/Material.h"

class DiffuseGIPhongMaterial : public ColourMaterial {
public:
    Vec4 shade(HitRecord& hit) const override;
};
