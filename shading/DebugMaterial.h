// DebugMaterial ("debugmaterial r g b"): a flat colour. No light, no shadow,
// no further ray.
#pragma once

#include "shading/Material.h"

class DebugMaterial : public ColourMaterial {
public:
    Vec4 shade(HitRecord&) const override { return colour; }
};
