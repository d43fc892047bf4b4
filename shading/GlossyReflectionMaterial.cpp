#include "shading/GlossyReflectionMaterial.h"

Vec4 GlossyReflectionMaterial::shade(HitRecord&) const { return colour; }
