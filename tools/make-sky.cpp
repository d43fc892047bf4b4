// make-sky: writes a daylight sky as a Radiance HDR environment image, laid
// out the way the environment lookup reads it (longitude across, the zenith
// in the top row), so that the example scenes carry a sky of our own making.
//
//   make-sky OUT.hdr [--size W H] [--sun AZIMUTH ELEVATION]
//
// The sun's azimuth is in degrees from -z (straight ahead of a camera with
// yaw 0) towards +x; its elevation in degrees above the horizon. The sky is
// a blue gradient that pales towards the horizon, a glow around the sun, a
// bright sun disc (radiance about 60, for reflections), and a warm grey
// ground below the horizon.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "render/ImageFiles.h"
#include "render/TgaWriter.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
// The environment lookup's 1/π: the image is generated with its inverse.
constexpr double kLookupInvPi = 0.31830987;
constexpr double kSunRadius = 1.6 * kPi / 180.0;  // angular radius of the disc

struct Colour {
    double r, g, b;
};
Colour operator+(Colour a, Colour b) { return {a.r + b.r, a.g + b.g, a.b + b.b}; }
Colour operator*(Colour a, double s) { return {a.r * s, a.g * s, a.b * s}; }
Colour mix(Colour a, Colour b, double t) { return a * (1.0 - t) + b * t; }

struct Direction {
    double x, y, z;
};

const Colour kZenith{0.18, 0.36, 0.95};
const Colour kHorizon{0.85, 0.92, 1.10};
const Colour kGroundNear{0.42, 0.38, 0.33};
const Colour kGroundFar{0.16, 0.14, 0.12};
const Colour kSun{62.0, 58.0, 50.0};
const Colour kGlow{1.6, 1.3, 0.9};

// Radiance seen when looking along the unit direction v.
Colour skyRadiance(const Direction& v, const Direction& sun) {
    const double cosSun = v.x * sun.x + v.y * sun.y + v.z * sun.z;
    const double angle = std::acos(std::fmax(-1.0, std::fmin(1.0, cosSun)));
    if (v.y < 0.0) {
        // Ground: bright near the horizon (haze), darker straight down.
        return mix(kGroundNear, kGroundFar, std::pow(-v.y, 0.6));
    }
    Colour c = mix(kHorizon, kZenith, std::pow(v.y, 0.45));
    const double g = std::fmax(0.0, cosSun);
    c = c + kGlow * (0.5 * std::pow(g, 48.0) + 0.15 * std::pow(g, 6.0));
    if (angle < kSunRadius) c = c + kSun;
    return c;
}

int usage() {
    std::fprintf(stderr,
                 "usage: make-sky OUT.hdr [--size W H] [--sun AZIMUTH ELEVATION]\n"
                 "  defaults: --size 1024 512 --sun 150 35 (degrees)\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return usage();
    const std::string out = argv[1];
    int width = 1024, height = 512;
    double azimuth = 150.0, elevation = 35.0;
    for (int i = 2; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--size" && i + 2 < argc) {
            width = std::atoi(argv[++i]);
            height = std::atoi(argv[++i]);
        } else if (a == "--sun" && i + 2 < argc) {
            azimuth = std::atof(argv[++i]);
            elevation = std::atof(argv[++i]);
        } else {
            return usage();
        }
    }
    if (width < 2 || height < 2 || width > 16384 || height > 8192) return usage();

    const double az = azimuth * kPi / 180.0, el = elevation * kPi / 180.0;
    const Direction sun{std::sin(az) * std::cos(el), std::sin(el), -std::cos(az) * std::cos(el)};

    // The lookup takes texel (col, row) for a hit normal n with
    //   col = floor((atan2(n.x, -n.z) / π + 1) / 2 · (width - 1)),
    //   row = floor(acos(n.y) / π · (height - 1)),
    // and a sky sphere's normal points back along the view direction. So each
    // texel holds the sky seen along -n for the n at the centre of its cell.
    std::vector<float> rgb(size_t(width) * size_t(height) * 3);
    for (int row = 0; row < height; ++row) {
        const double theta = std::fmin(kPi, (row + 0.5) / (kLookupInvPi * (height - 1)));
        for (int col = 0; col < width; ++col) {
            const double phi =
                std::fmin(kPi, ((col + 0.5) * 2.0 / (width - 1) - 1.0) / kLookupInvPi);
            const Direction n{std::sin(theta) * std::sin(phi), std::cos(theta),
                              -std::sin(theta) * std::cos(phi)};
            const Colour c = skyRadiance({-n.x, -n.y, -n.z}, sun);
            float* texel = &rgb[(size_t(row) * size_t(width) + size_t(col)) * 3];
            texel[0] = float(c.r);
            texel[1] = float(c.g);
            texel[2] = float(c.b);
        }
    }

    std::vector<uint8_t> bytes;
    std::string error;
    if (!encodeRadiance(ImageFileType::Hdr, width, height, rgb.data(), 1.f, bytes, error) ||
        !writeFileAtomically(out, bytes, error)) {
        std::fprintf(stderr, "make-sky: %s\n", error.c_str());
        return 1;
    }
    std::printf("make-sky: wrote %s (%d x %d, %zu bytes)\n", out.c_str(), width, height,
                bytes.size());
    return 0;
}
