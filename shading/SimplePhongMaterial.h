// SimplePhongMaterial ("simplephongmaterial r g b"): a mirror tinted by its
// colour. Lights play no part; the surface shows what its mirror ray finds,
// multiplied lane by lane by the colour.
//   colour  tint of the reflection, usually in [0, 1] per channel
#pragma once

#include "shading/Material.h"

class SimplePhongMaterial : public ColourMaterial {
public:
    Vec4 shade(HitRecord& hit) const override;
};
