// Texture: an 8-bit image (PNG, JPEG, anything the image library reads)
// looked up by texture coordinates with bilinear filtering. The colours are
// turned from sRGB to linear once at load; alpha stays linear as stored, for
// an alpha cut-off. Texture coordinate (0, 0) is the first texel of the first
// row as the file stores it (the top left of the picture), u running across
// the row and v down the rows, as model files mean them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "core/Vec4.h"

class Texture {
public:
    // What happens outside [0, 1], per axis.
    enum class Wrap { Repeat, Clamp, MirroredRepeat };

    // Largest image accepted: 8192 × 8192 texels (256 MiB as they are
    // kept, 8-bit sRGB RGBA). The size is read from the header before any
    // pixel is decoded.
    static constexpr int64_t kMaxTexels = int64_t(8192) * 8192;

    // Loads from a file or from the bytes of an image in memory (an image
    // embedded in a model file). The size is read from the header before
    // any pixel is decoded; formats whose reader cannot stop at the header
    // (GIF, DDS, JPEG 2000 and a few more) are refused. maxTexels is what is
    // left of the scene's images together. Returns whether the texture is
    // usable; on failure (no regular file, no image the library reads
    // safely, more texels than kMaxTexels or maxTexels) problem() says why,
    // as a sentence, and the lookup returns opaque white.
    bool load(const std::string& fileName, int64_t maxTexels = kMaxTexels);
    bool loadFromMemory(const unsigned char* data, size_t size, int64_t maxTexels = kMaxTexels);
    // Takes 8-bit sRGB RGBA texels, row after row, from the top row down.
    // For callers that have the pixels already.
    bool setTexels(int width, int height, std::vector<uint8_t> rgba);

    void setWrap(Wrap u, Wrap v) {
        wrapU_ = u;
        wrapV_ = v;
    }

    // The texture laid out as it repeats: along each mirrored axis the
    // image and then its mirror image, so that plain repetition over half
    // the coordinate along that axis gives the same texels. The other axes
    // keep their wrap mode.
    Texture unfolded() const;
    // Writes the texels as an 8-bit RGBA PNG file.
    bool writePng(const std::string& fileName) const;

    const std::string& problem() const { return problem_; }
    // The file it was loaded from; empty for one from memory.
    const std::string& fileName() const { return fileName_; }
    Wrap wrapU() const { return wrapU_; }
    Wrap wrapV() const { return wrapV_; }
    int width() const { return width_; }
    int height() const { return height_; }

    // Linear (r, g, b, alpha) at (u, v), filtered between the four nearest
    // texel centres. Never reads outside the image: a coordinate that is NaN
    // or infinite is taken as 0.
    Vec4 lookup(float u, float v) const;

    // sRGB 8-bit value to linear [0, 1].
    static float srgbToLinear(uint8_t value);
    // sRGB display value (clamped to [0, 1]; not finite: 0) to linear.
    static float srgbToLinear(float value);

private:
    bool fail(const std::string& why);

    // Linear (r, g, b, alpha) of texel (col, row).
    Vec4 texel(int col, int row) const;

    // 8-bit sRGB RGBA as decoded, top row first: a quarter of the memory of
    // linear floats, and turned to linear through a 256-entry table that
    // gives the same values.
    std::vector<uint8_t> texels_;
    int width_ = 0, height_ = 0;
    Wrap wrapU_ = Wrap::Repeat, wrapV_ = Wrap::Repeat;
    std::string problem_;
    std::string fileName_;
};
