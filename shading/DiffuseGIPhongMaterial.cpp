#include "shading/DiffuseGIPhongMaterial.h"

Vec4 DiffuseGIPhongMaterial::shade(HitRecord&) const { return colour; }
