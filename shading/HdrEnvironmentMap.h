// HdrEnvironmentMap ("hdrenvmap file"): a Radiance HDR image looked up in the
// direction of the hit's normal, nearest texel, unscaled radiance. On a sky
// sphere (normal pointing inward) it is the background: looking along +z
// shows the middle column, looking up the top of the picture.
//
// The lookup maps atan2(n.x, −n.z) across the columns and the angle from +y
// down the rows (row 0 is the first row in memory, the bottom row of the
// picture as the image library delivers it).
//
// load() initialises the image library on first use (reference-counted, so a
// front end that initialises and de-initialises it too is unaffected), which
// lets tests and tools load images without set-up of their own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "shading/Material.h"

struct FIBITMAP;

class HdrEnvironmentMap : public Material {
public:
    HdrEnvironmentMap() = default;
    ~HdrEnvironmentMap() override;
    HdrEnvironmentMap(const HdrEnvironmentMap&) = delete;
    HdrEnvironmentMap& operator=(const HdrEnvironmentMap&) = delete;

    // Largest image accepted: each side at most kMaxSide texels and at most
    // kMaxTexels in all (16384 × 8192, the largest usual panorama: 1.5 GiB
    // of float RGB).
    static constexpr int32_t kMaxSide = 16384;
    static constexpr int64_t kMaxTexels = int64_t(16384) * 8192;
    // Largest number of texels that the environment images of one scene
    // may have together (two images of the largest size): the scene reader
    // hands each image what is left of it.
    static constexpr int64_t kSceneTexels = 2 * kMaxTexels;

    // Loads a Radiance HDR file, whatever its extension. Returns whether the
    // image is usable: a file that cannot be read, that is no regular file
    // (a device or a pipe might never end), whose header announces a size
    // beyond the limits above or beyond maxTexels, or that does not arrive
    // as 96-bit float RGB with rows of exactly 12 × width bytes, is released
    // again, problem() says why (naming the file), and the lookup returns
    // black. The size is checked from the header before any pixel is read or
    // allocated. A later load replaces the earlier image.
    bool load(const std::string& fileName, int64_t maxTexels = kMaxTexels);

    // Why the last load failed; empty after one that succeeded. The caller
    // reports it (the scene reader as a diagnostic).
    const std::string& problem() const { return problem_; }

    // The texel in the direction of hit.normal as (r, g, b, 0). Reads only
    // the normal; n.y is clamped to [−1, 1] and the indices to the image, so
    // slightly long or short normals stay inside it.
    Vec4 shade(HitRecord& hit) const override;

    // The lookup for a direction, for callers without a hit record.
    Vec4 lookup(const Vec4& n) const;

    // The texel (column + row × width) in direction n. The angles come from
    // bounded approximations; the C library's atan2 and acos are called only
    // when an angle lies so near a texel's edge that the approximation
    // cannot tell, so the texel is always the one the library's angles give:
    // columnOf(atan2(n.x, −n.z)) and rowOf(acos(n.y clamped)).
    size_t texelOf(const Vec4& n) const;
    int32_t columnOf(double angle) const;
    int32_t rowOf(double angle) const;

    const float* pixels = nullptr;  // 3 floats per texel, rows without gaps; owned by bitmap
    int32_t width = 0;
    int32_t height = 0;
    FIBITMAP* bitmap = nullptr;  // owned

private:
    void release();
    void setProblem(const std::string& text);

    std::string problem_;
};
