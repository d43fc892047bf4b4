#include "shading/SimplePhongMaterial.h"

Vec4 SimplePhongMaterial::shade(HitRecord&) const { return colour; }
