// The per-pixel tail's bounded approximations, checked and timed:
//
//   tone map    toneMapPixel against toneMap on every positive float below
//               64 and a sample above (they must agree bit for bit), the
//               largest relative distance of the approximation from the
//               library's double, how often the exact fallback runs, and
//               nanoseconds per pixel;
//   directions  HdrEnvironmentMap::texelOf against the texel of the C
//               library's atan2 and acos, on random directions and on
//               directions along the axes and the image's seam, for several
//               image sizes; nanoseconds per lookup.
//
//   pixel_tail_bench [--quick]     (--quick: every 251st float, 1% of the directions)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/BoundedMath.h"
#include "render/ToneMap.h"
#include "shading/HdrEnvironmentMap.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

float floatOf(uint32_t bits) {
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// Times the library's way and the fast way of a sweep, twice each in turn
// (so that both see the same load), and prints nanoseconds per item; the
// sums show that both computed the same.
template <class Sweep>
void timeAlternately(const char* library, const char* fast, const char* item, size_t items,
                     Sweep sweep) {
    for (int round = 0; round < 2; ++round) {
        for (const bool quick : {false, true}) {
            const auto t0 = Clock::now();
            const double sum = sweep(quick);
            const double ns = secondsSince(t0) * 1e9 / double(items);
            std::printf("  %-14s %.1f ns per %s (sum %.9g)\n", quick ? fast : library, ns, item,
                        sum);
        }
    }
}

struct ToneCheck {
    uint64_t values = 0, mismatches = 0, approximated = 0, fallbacks = 0;
    double largestShare = 0.0;  // of the bound on the relative distance
    float largestAt = 0.f;
    uint32_t firstMismatch = 0;
};

// The floats with bit patterns from `first` to `last`, `step` apart, three
// to a pixel.
ToneCheck checkToneMap(uint32_t first, uint32_t last, uint32_t step) {
    ToneCheck c;
    for (uint64_t bits = first; bits <= last; bits += 3 * uint64_t(step)) {
        float v[3], shown[3];
        for (int k = 0; k < 3; ++k)
            v[k] = floatOf(uint32_t(std::min<uint64_t>(bits + k * uint64_t(step), last)));
        toneMapPixel(v, shown);
        for (int k = 0; k < 3; ++k) {
            const float exact = toneMap(v[k]);
            ++c.values;
            if (std::memcmp(&shown[k], &exact, sizeof exact) != 0) {
                if (!c.mismatches) std::memcpy(&c.firstMismatch, &v[k], sizeof v[k]);
                ++c.mismatches;
            }
            const double x = double(v[k]);
            if (!(x > 1e-9 && x < 64.0)) continue;
            const double y = toneMapApproximate(x);
            const double r = std::pow(1.0 - std::exp(-x), kDisplayGamma);
            const double bound = kToneMapFixedError + kToneMapSmallValueError / x;
            const double share = std::fabs(y - r) / r / bound;
            if (share > c.largestShare) {
                c.largestShare = share;
                c.largestAt = v[k];
            }
            const double slack = y * bound;
            ++c.approximated;
            if (float(y - slack) != float(y + slack)) ++c.fallbacks;
        }
    }
    return c;
}

ToneCheck merged(const std::vector<ToneCheck>& parts) {
    ToneCheck all;
    for (const ToneCheck& p : parts) {
        all.values += p.values;
        all.mismatches += p.mismatches;
        all.approximated += p.approximated;
        all.fallbacks += p.fallbacks;
        if (p.largestShare > all.largestShare) {
            all.largestShare = p.largestShare;
            all.largestAt = p.largestAt;
        }
        if (!all.firstMismatch) all.firstMismatch = p.firstMismatch;
    }
    return all;
}

void toneMapFigures(bool quick) {
    // Every float below 64 (every 251st with --quick), where the
    // approximation runs, on two threads; every 251st above, where the
    // library's function runs by construction.
    const uint32_t step = quick ? 251 : 1;
    const uint32_t sixtyFour = 0x42800000u, infinity = 0x7f800000u;
    const uint32_t middle = 0x3f800000u;  // 1: splits the work about evenly
    std::vector<ToneCheck> parts(3);
    const auto start = Clock::now();
    std::thread other([&] { parts[1] = checkToneMap(middle + 1, sixtyFour, step); });
    parts[0] = checkToneMap(1, middle, step);
    parts[2] = checkToneMap(sixtyFour + 1, infinity, 251);
    other.join();
    const ToneCheck all = merged(parts);
    std::printf("tone map: %llu positive floats (all below 64%s) in %.0f s: %llu differ",
                (unsigned long long)all.values, quick ? ": every 251st" : "", secondsSince(start),
                (unsigned long long)all.mismatches);
    if (all.mismatches) std::printf(" (first: bits 0x%08x)", all.firstMismatch);
    std::printf(
        "\n  largest relative distance from the library's double: 1/%.0f of the bound "
        "(at x = %.9g)\n  exact fallback: %.4f %% of the %llu floats in (1e-9, 64)\n",
        1.0 / all.largestShare, double(all.largestAt),
        100.0 * double(all.fallbacks) / double(all.approximated),
        (unsigned long long)all.approximated);

    // Speed on the values of a typical frame: radiance × exposure spread
    // over a few decades around 1.
    std::mt19937 random(7);
    std::lognormal_distribution<float> spread(-0.5f, 1.5f);
    std::vector<float> values(3 << 20);
    for (float& v : values) v = spread(random);
    timeAlternately("toneMap x 3", "toneMapPixel", "pixel", values.size() / 3, [&](bool fast) {
        double sum = 0.0;
        for (size_t i = 0; i < values.size(); i += 3) {
            float shown[3];
            if (fast) {
                toneMapPixel(&values[i], shown);
            } else {
                for (int c = 0; c < 3; ++c) shown[c] = toneMap(values[i + c]);
            }
            sum += double(shown[0]) + double(shown[1]) + double(shown[2]);
        }
        return sum;
    });
}

Vec4 randomDirection(std::mt19937& random) {
    std::normal_distribution<float> normal;
    const float x = normal(random), y = normal(random), z = normal(random);
    const float length = std::sqrt(x * x + y * y + z * z);
    return Vec4(x / length, y / length, z / length, 0.f);
}

void directionFigures(bool quick) {
    const long count = quick ? 1000000L : 100000000L;
    const int sizes[][2] = {{1024, 512}, {2048, 1024}, {4096, 2048}, {16384, 8192}, {7, 3}};
    for (const auto& size : sizes) {
        HdrEnvironmentMap map;
        map.width = size[0];
        map.height = size[1];
        std::mt19937 random(11);
        long mismatches = 0;
        const auto check = [&](const Vec4& n) {
            const double ny = std::clamp(double(n.y), -1.0, 1.0);
            const size_t exact = size_t(map.columnOf(std::atan2(double(n.x), -double(n.z)))) +
                                 size_t(map.rowOf(std::acos(ny))) * size_t(map.width);
            if (map.texelOf(n) != exact) ++mismatches;
        };
        for (long i = 0; i < count; ++i) check(randomDirection(random));
        // Axes, signed zeros, the seam behind the viewer, and the poles.
        const float special[] = {0.f,    -0.f, 1.f,   -1.f,     1e-30f,    -1e-30f, 1e-8f,
                                 -1e-8f, 0.5f, 1e30f, INFINITY, -INFINITY, NAN};
        long specials = 0;
        for (float a : special)
            for (float b : special)
                for (float c : special) {
                    check(Vec4(a, b, c, 0.f));
                    ++specials;
                }
        std::printf("directions, %d x %d texels: %ld random and %ld special, %ld differ\n",
                    map.width, map.height, count, specials, mismatches);
    }
    HdrEnvironmentMap map;
    map.width = 2048;
    map.height = 1024;
    std::mt19937 random(5);
    std::vector<Vec4> directions(1 << 20);
    for (Vec4& n : directions) n = randomDirection(random);
    timeAlternately("library", "bounded", "lookup", directions.size(), [&](bool fast) {
        double sum = 0.0;
        for (const Vec4& n : directions) {
            if (fast) {
                sum += double(map.texelOf(n));
            } else {
                const double ny = std::clamp(double(n.y), -1.0, 1.0);
                sum += double(size_t(map.columnOf(std::atan2(double(n.x), -double(n.z)))) +
                              size_t(map.rowOf(std::acos(ny))) * size_t(map.width));
            }
        }
        return sum;
    });
}

}  // namespace

int main(int argc, char** argv) {
    const bool quick = argc > 1 && std::string(argv[1]) == "--quick";
    directionFigures(quick);
    toneMapFigures(quick);
    return 0;
}
