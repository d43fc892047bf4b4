// DiffusePhongMaterial ("diffusephongmaterial r g b"): direct diffuse light with shadows.
// (Placeholder shading until the material lands.)
#pragma once

#include "shading/Material.h"

class DiffusePhongMaterial : public ColourMaterial {
public:
    Vec4 shade(HitRecord& hit) const override;
};
