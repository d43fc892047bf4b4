#include "shading/HdrEnvironmentMap.h"

HdrEnvironmentMap::~HdrEnvironmentMap() = default;

bool HdrEnvironmentMap::load(const std::string&) { return false; }

Vec4 HdrEnvironmentMap::shade(HitRecord&) const { return Vec4(); }
