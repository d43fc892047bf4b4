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

#include <emmintrin.h>

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

// atan2 above in the two lanes of a double vector at once, (y[i], x[i]) in
// lane i, each where atan2Applies: the same operations in the same order,
// so each lane gives atan2's value to the bit.
inline __m128d atan2Pair(__m128d y, __m128d x) {
    const __m128d signBit = _mm_set1_pd(-0.0);
    const __m128d ay = _mm_andnot_pd(signBit, y), ax = _mm_andnot_pd(signBit, x);
    const __m128d steep = _mm_cmpgt_pd(ay, ax);
    const auto select = [](__m128d mask, __m128d a, __m128d b) {
        return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
    };
    const __m128d num = select(steep, ax, ay);
    const __m128d den = select(steep, ay, ax);
    const __m128i k = _mm_cvttpd_epi32(
        _mm_add_pd(_mm_mul_pd(_mm_div_pd(num, den), _mm_set1_pd(16.0)), _mm_set1_pd(0.5)));
    const __m128d c = _mm_mul_pd(_mm_cvtepi32_pd(k), _mm_set1_pd(1.0 / 16));
    const __m128d s =
        _mm_div_pd(_mm_sub_pd(num, _mm_mul_pd(c, den)), _mm_add_pd(den, _mm_mul_pd(c, num)));
    const __m128d s2 = _mm_mul_pd(s, s);
    __m128d p = _mm_add_pd(_mm_set1_pd(0.2), _mm_mul_pd(s2, _mm_set1_pd(-1.0 / 7)));
    p = _mm_add_pd(_mm_set1_pd(-1.0 / 3), _mm_mul_pd(s2, p));
    p = _mm_add_pd(_mm_set1_pd(1.0), _mm_mul_pd(s2, p));
    const __m128d steps = _mm_setr_pd(kAtanSteps[_mm_cvtsi128_si32(k)],
                                      kAtanSteps[_mm_cvtsi128_si32(_mm_srli_si128(k, 4))]);
    const __m128d a = _mm_add_pd(steps, _mm_mul_pd(s, p));
    __m128d r = select(steep, _mm_sub_pd(_mm_set1_pd(kHalfPi), a), a);
    // All ones in the lanes whose x has its sign bit set (−0 included).
    const __m128d negativeX = _mm_castsi128_pd(
        _mm_shuffle_epi32(_mm_srai_epi32(_mm_castpd_si128(x), 31), _MM_SHUFFLE(3, 3, 1, 1)));
    r = select(negativeX, _mm_sub_pd(_mm_set1_pd(kPi), r), r);
    return _mm_or_pd(_mm_andnot_pd(signBit, r), _mm_and_pd(signBit, y));
}

}  // namespace bounded
