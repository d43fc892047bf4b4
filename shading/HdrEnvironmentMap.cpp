#include "shading/HdrEnvironmentMap.h"

#include <FreeImage.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "render/Logger.h"

namespace {

// 1/π in single precision, a hair below the true value, so the angle π
// lands just inside the last column and row.
constexpr float kInvPi = 0.31830987f;
constexpr unsigned kBytesPerTexel = 3 * sizeof(float);

// The library counts its initialisations; this one is never undone, so the
// plug-ins stay registered for every later load in the process.
void ensureImageLibrary() {
    static const bool initialised = [] {
        FreeImage_Initialise(FALSE);
        return true;
    }();
    (void)initialised;
}

void reportProblem(const std::string& text) {
    Logger::instance()->write(text);
    std::fprintf(stderr, "tresk: %s\n", text.c_str());
}

// Floors v and clamps it to [0, last]; not-a-number gives 0.
int32_t clampedIndex(float v, int32_t last) {
    const float f = std::floor(v);
    if (!(f > 0.f)) return 0;
    if (f >= float(last)) return last;
    return int32_t(f);
}

}  // namespace

HdrEnvironmentMap::~HdrEnvironmentMap() { release(); }

void HdrEnvironmentMap::release() {
    if (bitmap) FreeImage_Unload(bitmap);
    bitmap = nullptr;
    pixels = nullptr;
    width = height = 0;
}

bool HdrEnvironmentMap::load(const std::string& fileName) {
    release();
    ensureImageLibrary();
    const std::string subject = "Environment image \"" + fileName + "\": ";
    bitmap = FreeImage_Load(FIF_HDR, fileName.c_str(), 0);
    if (!bitmap) {
        reportProblem(subject + "cannot be read as a Radiance HDR image; the background stays black");
        return false;
    }
    const unsigned w = FreeImage_GetWidth(bitmap);
    const unsigned h = FreeImage_GetHeight(bitmap);
    const unsigned maxSide = unsigned(std::numeric_limits<int32_t>::max()) / kBytesPerTexel;
    const bool shapeOk = FreeImage_HasPixels(bitmap) &&
                         FreeImage_GetImageType(bitmap) == FIT_RGBF && w > 0 && h > 0 &&
                         w <= maxSide && h <= unsigned(std::numeric_limits<int32_t>::max()) &&
                         FreeImage_GetLine(bitmap) == w * kBytesPerTexel &&
                         FreeImage_GetPitch(bitmap) == w * kBytesPerTexel &&
                         FreeImage_GetBits(bitmap) != nullptr;
    if (!shapeOk) {
        reportProblem(subject + "not 96-bit float RGB with rows of 12 x " + std::to_string(w) +
                      " bytes (type " + std::to_string(int(FreeImage_GetImageType(bitmap))) +
                      ", " + std::to_string(FreeImage_GetBPP(bitmap)) + " bits, rows of " +
                      std::to_string(FreeImage_GetPitch(bitmap)) +
                      " bytes); the background stays black");
        release();
        return false;
    }
    width = int32_t(w);
    height = int32_t(h);
    pixels = reinterpret_cast<const float*>(FreeImage_GetBits(bitmap));
    return true;
}

Vec4 HdrEnvironmentMap::shade(HitRecord& hit) const { return lookup(hit.normal); }

Vec4 HdrEnvironmentMap::lookup(const Vec4& n) const {
    if (!pixels) return Vec4();
    const float ny = std::clamp(n.y, -1.f, 1.f);
    const float u = (std::atan2(n.x, -n.z) * kInvPi + 1.f) * 0.5f * float(width - 1);
    const float v = std::acos(ny) * kInvPi * float(height - 1);
    const int32_t col = clampedIndex(u, width - 1);
    const int32_t row = clampedIndex(v, height - 1);
    const float* texel = pixels + 3 * (size_t(col) + size_t(row) * size_t(width));
    return Vec4(texel[0], texel[1], texel[2], 0.f);
}
