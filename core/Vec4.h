// Vec4: four float lanes in one SSE register, the value type of the tracing
// path. Points, directions, normals and colours all keep w = 0, so the
// four-lane dot product equals the three-component one.
#pragma once

#include <xmmintrin.h>

#include <ostream>

#include "core/Vec3.h"

struct alignas(16) Vec4 {
    float x, y, z, w;

    // Tag of the constructor that leaves the lanes unset, for records that
    // are always written before they are read.
    struct Unset {};

    Vec4() : x(0.f), y(0.f), z(0.f), w(0.f) {}
    explicit Vec4(Unset) {}
    Vec4(float x_, float y_, float z_, float w_ = 0.f) : x(x_), y(y_), z(z_), w(w_) {}
    explicit Vec4(__m128 m) { _mm_store_ps(&x, m); }
    explicit Vec4(const Vec3& v, float w_ = 0.f) : x(v.x), y(v.y), z(v.z), w(w_) {}

    __m128 simd() const { return _mm_load_ps(&x); }
    float operator[](int lane) const { return (&x)[lane]; }
    float& operator[](int lane) { return (&x)[lane]; }
};

inline Vec4 operator+(const Vec4& a, const Vec4& b) { return Vec4(_mm_add_ps(a.simd(), b.simd())); }
inline Vec4 operator-(const Vec4& a, const Vec4& b) { return Vec4(_mm_sub_ps(a.simd(), b.simd())); }
inline Vec4 operator*(const Vec4& a, const Vec4& b) { return Vec4(_mm_mul_ps(a.simd(), b.simd())); }
inline Vec4 operator/(const Vec4& a, const Vec4& b) { return Vec4(_mm_div_ps(a.simd(), b.simd())); }
inline Vec4 operator-(const Vec4& a) { return Vec4(_mm_sub_ps(_mm_setzero_ps(), a.simd())); }
// The scalar is broadcast to all four lanes, so w is scaled too.
inline Vec4 operator*(const Vec4& a, float s) { return Vec4(_mm_mul_ps(a.simd(), _mm_set1_ps(s))); }
inline Vec4 operator*(float s, const Vec4& a) { return a * s; }
inline Vec4& operator+=(Vec4& a, const Vec4& b) { return a = a + b; }

inline bool operator==(const Vec4& a, const Vec4& b) {
    return a.x == b.x && a.y == b.y && a.z == b.z && a.w == b.w;
}

// Sum of the four lane products, the same value in every lane. The pairwise
// order makes all four lanes bitwise equal.
inline __m128 dotSimd(__m128 a, __m128 b) {
    const __m128 m = _mm_mul_ps(a, b);
    const __m128 s = _mm_add_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_add_ps(s, _mm_shuffle_ps(s, s, _MM_SHUFFLE(1, 0, 3, 2)));
}
inline Vec4 dot(const Vec4& a, const Vec4& b) { return Vec4(dotSimd(a.simd(), b.simd())); }
inline float dotf(const Vec4& a, const Vec4& b) {
    return _mm_cvtss_f32(dotSimd(a.simd(), b.simd()));
}

inline Vec4 min(const Vec4& a, const Vec4& b) { return Vec4(_mm_min_ps(a.simd(), b.simd())); }
inline Vec4 max(const Vec4& a, const Vec4& b) { return Vec4(_mm_max_ps(a.simd(), b.simd())); }
inline Vec4 sqrt(const Vec4& a) { return Vec4(_mm_sqrt_ps(a.simd())); }

// Cross product of the xyz lanes; w of the result is 0 when both w are 0.
inline __m128 crossSimd(__m128 a, __m128 b) {
    const __m128 aYzx = _mm_shuffle_ps(a, a, _MM_SHUFFLE(3, 0, 2, 1));
    const __m128 bYzx = _mm_shuffle_ps(b, b, _MM_SHUFFLE(3, 0, 2, 1));
    const __m128 c = _mm_sub_ps(_mm_mul_ps(a, bYzx), _mm_mul_ps(aYzx, b));
    return _mm_shuffle_ps(c, c, _MM_SHUFFLE(3, 0, 2, 1));
}
inline Vec4 cross(const Vec4& a, const Vec4& b) { return Vec4(crossSimd(a.simd(), b.simd())); }

// a × rsqrt(a·a) with the hardware approximation (relative error at most
// 1.5 × 2^-12) and no refinement step: unit length only to about 12 bits.
inline __m128 fastNormalizeSimd(__m128 a) { return _mm_mul_ps(a, _mm_rsqrt_ps(dotSimd(a, a))); }
inline Vec4 fastNormalize(const Vec4& a) { return Vec4(fastNormalizeSimd(a.simd())); }

// Hardware approximate reciprocal square root of one float, the same
// approximation fastNormalize uses.
inline float approxRsqrt(float v) { return _mm_cvtss_f32(_mm_rsqrt_ss(_mm_set_ss(v))); }

inline Vec3 toVec3(const Vec4& v) { return {v.x, v.y, v.z}; }

inline std::ostream& operator<<(std::ostream& os, const Vec4& v) {
    return os << '(' << v.x << ", " << v.y << ", " << v.z << ", " << v.w << ')';
}
