#include "shading/DielectricMaterial.h"

Vec4 DielectricMaterial::shade(HitRecord&) const { return colour; }
