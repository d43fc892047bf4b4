// Fast elementary functions with a stated bound on their error.
//
// They serve callers that must give exactly what the C library's function
// would give after rounding (a float, a texel index): such a caller takes the
// fast value, widens it by the bound plus the library's own error, and calls
// the library only when the widened interval straddles a rounding or texel
// boundary. Every step after the function is monotone, so when both ends of
// the interval give the same answer, so does the library's value inside it.
//
// No -ffast-math: the approximations rely on the exact rounding of every step
// (the integer shifter, the exact reductions).
#pragma once

#include <cmath>
#include <cstdint>

namespace bounded {

extern const double kExp2Steps[64];
extern const double kLog2Inverses[64];
extern const double kLog2Steps[64];
extern const double kAtanSteps[17];

constexpr double kLn2 = 0x1.62e42fefa39efp-1;
constexpr double kLog2e = 0x1.71547652b82fep+0;
constexpr double kPi = 0x1.921fb54442d18p+1;
constexpr double kHalfPi = 0x1.921fb54442d18p+0;

// Bound on the absolute error of atan2() below against the C library's
// atan2 (itself within a unit in the last place), with a wide margin over
// the 2e-15 that rounding and truncation can reach.
constexpr double kAtan2Error = 1e-13;

// Whether atan2() below applies to (y, x): both finite (not a number
// neither), not both zero.
inline bool atan2Applies(double y, double x) {
    return std::fabs(y) < 1e300 && std::fabs(x) < 1e300 && (y != 0.0 || x != 0.0);
}

// atan2(y, x) where atan2Applies(y, x), signed zeros as the C library has
// them. The smaller over the larger magnitude t lies in [0, 1]; atan t is
// atan(k/16) from the table plus atan of s = (t − k/16) / (1 + t k/16),
// |s| <= 1/32, by its series to s^7. Absolute error below 2e-15.
inline double atan2(double y, double x) {
    const double ay = std::fabs(y), ax = std::fabs(x);
    const bool steep = ay > ax;
    const double num = steep ? ax : ay;
    const double den = steep ? ay : ax;
    const int k = int(num / den * 16.0 + 0.5);
    const double c = double(k) * (1.0 / 16);
    const double s = (num - c * den) / (den + c * num);
    const double s2 = s * s;
    const double a = kAtanSteps[k] + s * (1.0 + s2 * (-1.0 / 3 + s2 * (0.2 + s2 * (-1.0 / 7))));
    double r = steep ? kHalfPi - a : a;
    if (std::signbit(x)) r = kPi - r;
    return std::copysign(r, y);
}

}  // namespace bounded
