// DielectricMaterial ("dielectricmaterial r g b"): glass. Every hit traces one
// mirror ray and one refracted ray and blends them with the weight
// F = (1 − c)⁴, c the cosine between the normal and the way back to the
// ray's origin; the colour tints the blend. The refraction ratio is the
// same in both directions of travel and below 1, so total internal
// reflection never occurs. No lights, no shadow rays, no absorption.
//   colour  tint of the whole result per channel
// A hit from the side the normal points away from turns the normal around,
// in the hit record too.
#pragma once

#include "shading/Material.h"

class DielectricMaterial : public ColourMaterial {
public:
    Vec4 shade(HitRecord& hit) const override;
};
