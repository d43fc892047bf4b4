// DebugMaterial ("debugmaterial r g b"): a flat colour. No light, no shadow,
// no further ray; on a sky sphere it gives a plain background.
//   colour  the colour returned for every hit
#pragma once

#include "shading/Material.h"

class DebugMaterial : public ColourMaterial {
public:
    Vec4 shade(HitRecord&) const override { return colour; }
};
