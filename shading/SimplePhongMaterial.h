// SimplePhongMaterial ("simplephongmaterial r g b"): a mirror tinted by its colour.
// (Placeholder shading until the material lands.)
#pragma once

#include "shading/Material.h"

class SimplePhongMaterial : public ColourMaterial {
public:
    Vec4 shade(HitRecord& hit) const override;
};
