// DielectricMaterial ("dielectricmaterial r g b"): glass: a mirror ray and a refracted ray blended by angle.
// (Placeholder shading until the material lands.)
#pragma once

#include "shading/Material.h"

class DielectricMaterial : public ColourMaterial {
public:
    Vec4 shade(HitRecord& hit) const override;
};
