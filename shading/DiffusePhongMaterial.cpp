#include "shading/DiffusePhongMaterial.h"

Vec4 DiffusePhongMaterial::shade(HitRecord&) const { return colour; }
