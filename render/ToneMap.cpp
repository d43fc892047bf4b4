#include "render/ToneMap.h"

#include "core/BoundedMath.h"

// The 32-byte vectors below pass only between functions inlined into their
// callers (forced: a call between the 256-bit and the default build would
// pass them differently), so no calling convention applies to them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

namespace {

using bounded::kLn2;
using bounded::kLog2e;

// Four doubles, and their bits, in one vector register where the processor
// has 256-bit registers (two 128-bit ones otherwise).
typedef double Double4 __attribute__((vector_size(32)));
typedef uint64_t Bits4 __attribute__((vector_size(32)));

__attribute__((always_inline)) inline Double4 gather(const double* table, Bits4 i) {
    return Double4{table[i[0]], table[i[1]], table[i[2]], table[i[3]]};
}

// 2^t for -1000 < t < 1000, four at a time: 2^(n/64) from the table times a
// short series for the rest, |rest| <= 1/128. Relative error below 5e-16.
__attribute__((always_inline)) inline Double4 exp2(Double4 t) {
    // Adding 1.5 × 2^52 rounds 64 t to an integer n, kept in the low bits
    // as 0x4338000000000000 + n.
    constexpr double kShifter = 0x1.8p52;
    const Double4 scaled = t * 64.0;
    const Double4 shifted = scaled + kShifter;
    const Double4 u = (scaled - (shifted - kShifter)) * (kLn2 / 64);  // exact subtraction
    const Double4 u2 = u * u;
    const Double4 series =
        (1.0 + u) + u2 * (0.5 + u * (1.0 / 6)) + (u2 * u2) * (1.0 / 24 + u * (1.0 / 120));
    const Bits4 n = (Bits4)shifted;
    const Double4 r = gather(bounded::kExp2Steps, n & 63) * series;
    // × 2^floor(n/64): n's bits above the sixth, moved into the exponent.
    const Bits4 kExponentField = Bits4{} + 0xfff0000000000000ULL;
    return (Double4)((Bits4)r + ((n << 46) & kExponentField));
}

// log2(b) for normal positive b, four at a time: the exponent, log2 of the
// nearest of 64 points c_i in [1, 2) from the table and a series for the
// rest, |r| < 1/128. Absolute error below 3e-16 × (1 + |log2 b|).
__attribute__((always_inline)) inline Double4 log2(Double4 b) {
    const Bits4 bits = (Bits4)b;
    // The exponent field as a double: placed in the mantissa of 2^52 (and
    // the bias taken off with it).
    const Double4 exponent = (Double4)((bits >> 52) | 0x4330000000000000ULL) - (0x1p52 + 1023.0);
    const Bits4 i = (bits >> 46) & 63;
    const Double4 m = (Double4)((bits & 0x000fffffffffffffULL) | 0x3ff0000000000000ULL);
    const Double4 r = m * gather(bounded::kLog2Inverses, i) - 1.0;
    const Double4 r2 = r * r;
    const Double4 ln1p =
        r + r2 * (-0.5 + r * (1.0 / 3)) + (r2 * r2) * ((-0.25 + r * 0.2) + r2 * (-1.0 / 6));
    return exponent + gather(bounded::kLog2Steps, i) + ln1p * kLog2e;
}

// Where the approximation runs: below it 1 − e^−v keeps too few digits to
// settle the float, above it the curve is 1 to the last bit.
constexpr double kFastLow = 1e-9;
constexpr double kFastHigh = 64.0;

__attribute__((always_inline)) inline Double4 approximate(Double4 x) {
    const Double4 base = 1.0 - exp2(-x * kLog2e);
    return exp2(kDisplayGamma * log2(base));
}

}  // namespace

double toneMapApproximate(double x) { return approximate(Double4{x, x, x, x})[0]; }

namespace {

__attribute__((always_inline)) inline void pixel(const float v[3], float shown[3]) {
    bool fast[3];
    Double4 x = {1.0, 1.0, 1.0, 1.0};
    for (int c = 0; c < 3; ++c) {
        fast[c] = double(v[c]) > kFastLow && double(v[c]) < kFastHigh;
        if (fast[c]) x[c] = double(v[c]);
    }
    const Double4 y = approximate(x);
    const Double4 slack = y * (kToneMapFixedError + kToneMapSmallValueError / x);
    const Double4 low = y - slack, high = y + slack;
    for (int c = 0; c < 3; ++c) {
        if (fast[c] && float(low[c]) == float(high[c]))
            shown[c] = float(low[c]);
        else
            shown[c] = v[c] > 0.f ? toneMap(v[c]) : 0.f;
    }
}

// The same code built for 256-bit vectors and for any x86-64 processor. The
// choice is made on first use rather than by the loader: sanitizers cannot
// run a loader-time chooser, which runs before they are set up.
__attribute__((target("avx2"))) void pixelWide(const float v[3], float shown[3]) {
    pixel(v, shown);
}
void pixelNarrow(const float v[3], float shown[3]) { pixel(v, shown); }

using PixelFunction = void (*)(const float*, float*);

PixelFunction choosePixelFunction() {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") ? pixelWide : pixelNarrow;
}

}  // namespace

void toneMapPixel(const float v[3], float shown[3]) {
    static const PixelFunction chosen = choosePixelFunction();
    chosen(v, shown);
}
