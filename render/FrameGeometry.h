// FrameGeometry: one image size with the values the ray generator needs.
#pragma once

#include <cstdint>

struct FrameGeometry {
    int32_t width = 0;
    int32_t height = 0;
    float invWidth = 0.f;
    float invHeight = 0.f;
    float halfWidth = 0.f;
    float halfHeight = 0.f;

    // Derived fields in single precision, as the ray generator expects them.
    static FrameGeometry ofSize(int32_t w, int32_t h) {
        FrameGeometry g;
        g.width = w;
        g.height = h;
        g.invWidth = 1.f / float(w);
        g.invHeight = 1.f / float(h);
        g.halfWidth = 0.5f * float(w);
        g.halfHeight = 0.5f * float(h);
        return g;
    }

    int64_t pixelCount() const { return int64_t(width) * height; }
};
