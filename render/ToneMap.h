// The display curve: an exponential exposure curve followed by a 1/2.2 gamma.
#pragma once

#include <cmath>

// 1/2.2 rounded to single precision, then used in double precision.
constexpr double kDisplayGamma = 0.45454543828964233;

// v is radiance × exposure. 0 maps to 0 and large values tend to 1; a
// negative v gives a negative base and therefore not a number.
inline float toneMap(float v) { return float(std::pow(1.0 - std::exp(-double(v)), kDisplayGamma)); }
