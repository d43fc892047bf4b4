// Light: a point light without extent or fall-off radius. The colour carries
// the intensity and is not limited to [0, 1].
#pragma once

#include "core/Vec4.h"

struct Light {
    Vec4 position;  // x, y, z and a fourth value, as the scene file gives them
    Vec4 colour;    // r, g, b and a fourth value
};
