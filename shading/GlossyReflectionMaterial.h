// GlossyReflectionMaterial ("glossyreflectionmaterial r g b"): direct light
// plus a blurred mirror reflection, the mean of mirror rays whose directions
// are shifted by small random offsets (each lane in [−0.05, 0.05)). The
// direct term uses the plain inverse square of the distance, not capped.
//   colour  tint of both terms per channel
// The number of mirror rays is the renderer's giSampleCount, truncated; below
// 1 the reflection is left out.
#pragma once

#include "shading/Material.h"

class GlossyReflectionMaterial : public ColourMaterial {
public:
    Vec4 shade(HitRecord& hit) const override;
};
