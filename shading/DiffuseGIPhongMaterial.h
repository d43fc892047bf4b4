// DiffuseGIPhongMaterial ("diffusegiphongmaterial r g b"): direct diffuse light plus an indirect term from the hemisphere table.
// (Placeholder shading until the material lands.)
#pragma once

#include "shading/Material.h"

class DiffuseGIPhongMaterial : public ColourMaterial {
public:
    Vec4 shade(HitRecord& hit) const override;
};
