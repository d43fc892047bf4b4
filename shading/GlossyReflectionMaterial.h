// GlossyReflectionMaterial ("glossyreflectionmaterial r g b"): direct light plus a blurred mirror reflection.
// (Placeholder shading until the material lands.)
#pragma once

#include "shading/Material.h"

class GlossyReflectionMaterial : public ColourMaterial {
public:
    Vec4 shade(HitRecord& hit) const override;
};
