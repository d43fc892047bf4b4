// The display curve: an exponential exposure curve followed by a 1/2.2 gamma.
#pragma once

#include <cmath>

// 1/2.2 rounded to single precision, then used in double precision.
constexpr double kDisplayGamma = 0.45454543828964233;

// The curve as the C library computes it, the definition of every display
// value. v is radiance × exposure. 0 maps to 0 and large values tend to 1; a
// negative v gives a negative base and therefore not a number.
inline float toneMap(float v) { return float(std::pow(1.0 - std::exp(-double(v)), kDisplayGamma)); }

// What the display shows for a pixel's three values v (radiance × exposure):
// toneMap(v) for v > 0, and 0 for zero, negative and not-a-number values
// (scene files may hold negative and enormous colours, and infinities may
// meet). The floats are exactly toneMap's, computed several times faster: a
// bounded approximation for the three values at once, with toneMap itself
// for a value whose float the approximation cannot settle.
void toneMapPixel(const float v[3], float shown[3]);

// The approximation that toneMapPixel rounds, for 1e-9 < x < 64, and the
// bound on its relative distance from the library's double: a fixed part
// for the approximation's own error and the library's (exp and pow within a
// unit in the last place each), and a part in 1 / x for the rounding of
// 1 − e^−x to a double, which the curve amplifies where x is small. Each is
// 20 times the largest distance seen over every float
// (bench/pixel_tail_bench.cpp).
double toneMapApproximate(double x);
constexpr double kToneMapFixedError = 1e-14;
constexpr double kToneMapSmallValueError = 3e-15;
