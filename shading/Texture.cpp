#include "shading/Texture.h"

#include <FreeImage.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <functional>
#include <string>
#include <system_error>
#include <utility>

#include "shading/ImageLibrary.h"

namespace {

const std::array<float, 256>& srgbTable() {
    static const std::array<float, 256> table = [] {
        std::array<float, 256> t{};
        for (int i = 0; i < 256; ++i) {
            const double c = i / 255.0;
            t[size_t(i)] = float(c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4));
        }
        return t;
    }();
    return table;
}

// Brings a coordinate into a range whose texel indices fit an int: one
// period for the repeating modes, a little beyond the edges for clamping.
float reduce(float c, Texture::Wrap wrap) {
    if (!std::isfinite(c)) return 0.f;
    switch (wrap) {
        case Texture::Wrap::Repeat:
            return c - std::floor(c);
        case Texture::Wrap::MirroredRepeat:
            return c - 2.f * std::floor(c * 0.5f);
        case Texture::Wrap::Clamp:
            break;
    }
    return std::clamp(c, -1.f, 2.f);
}

// The texel index for i (possibly outside [0, n)) under the wrap mode.
int wrapIndex(int i, int n, Texture::Wrap wrap) {
    switch (wrap) {
        case Texture::Wrap::Repeat:
            return ((i % n) + n) % n;
        case Texture::Wrap::MirroredRepeat: {
            const int m = ((i % (2 * n)) + 2 * n) % (2 * n);
            return m < n ? m : 2 * n - 1 - m;
        }
        case Texture::Wrap::Clamp:
            break;
    }
    return std::clamp(i, 0, n - 1);
}

}  // namespace

float Texture::srgbToLinear(uint8_t value) { return srgbTable()[value]; }

float Texture::srgbToLinear(float value) {
    const float c = std::isfinite(value) ? std::clamp(value, 0.f, 1.f) : 0.f;
    return c <= 0.04045f ? c / 12.92f : std::pow((c + 0.055f) / 1.055f, 2.4f);
}

bool Texture::fail(const std::string& why) {
    texels_.clear();
    width_ = height_ = 0;
    problem_ = why;
    return false;
}

bool Texture::setTexels(int width, int height, std::vector<uint8_t> rgba) {
    if (width <= 0 || height <= 0 || rgba.size() != size_t(width) * size_t(height) * 4)
        return fail("the image has no texels");
    texels_ = std::move(rgba);
    width_ = width;
    height_ = height;
    problem_.clear();
    return true;
}

namespace {

// The decoded image's texels as 8-bit RGBA from the top row down; empty when
// the library cannot convert it.
std::vector<uint8_t> rgbaOf(FIBITMAP* decoded) {
    Bitmap converted{FreeImage_ConvertTo32Bits(decoded)};
    std::vector<uint8_t> rgba;
    if (!converted) return rgba;
    const unsigned w = FreeImage_GetWidth(converted.get()),
                   h = FreeImage_GetHeight(converted.get());
    rgba.resize(size_t(w) * h * 4);
    for (unsigned row = 0; row < h; ++row) {
        // The library keeps the bottom row first.
        const BYTE* line = FreeImage_GetScanLine(converted.get(), int(h - 1 - row));
        uint8_t* out = &rgba[size_t(row) * w * 4];
        for (unsigned x = 0; x < w; ++x, line += 4, out += 4) {
            out[0] = line[FI_RGBA_RED];
            out[1] = line[FI_RGBA_GREEN];
            out[2] = line[FI_RGBA_BLUE];
            out[3] = line[FI_RGBA_ALPHA];
        }
    }
    return rgba;
}

// Why an image of this size is refused, or empty: it has more texels than
// a texture may have, or than are left of what a scene's images may have
// together (maxTexels).
std::string sizeProblem(int64_t width, int64_t height, int64_t maxTexels) {
    if (width <= 0 || height <= 0) return "the image has no size.";
    const int64_t limit = std::min(maxTexels, Texture::kMaxTexels);
    if (width * height <= limit) return "";
    std::string why = "the image is " + std::to_string(width) + " x " + std::to_string(height) +
                      " texels; a texture may have at most " + std::to_string(Texture::kMaxTexels) +
                      " texels (8192 x 8192)";
    if (limit < Texture::kMaxTexels)
        why += ", and only " + std::to_string(std::max<int64_t>(limit, 0)) +
               " texels are left of what the scene's images may have together";
    return why + ".";
}

// Decodes an image of the format with load (called with the library's
// flags) into 8-bit RGBA texels: first its header alone, so that its size is
// checked before any pixel is allocated, then whole. A format whose reader
// cannot stop at the header is refused. Gives why it failed, or empty.
std::string decodeChecked(FREE_IMAGE_FORMAT format, const std::function<FIBITMAP*(int)>& load,
                          int64_t maxTexels, int& width, int& height, std::vector<uint8_t>& rgba) {
    if (format == FIF_UNKNOWN || !FreeImage_FIFSupportsReading(format))
        return "it is no image of a kind Tresk reads.";
    if (!FreeImage_FIFSupportsNoPixels(format))
        return std::string("it is a ") + FreeImage_GetFormatFromFIF(format) +
               " image, whose size cannot be read before the whole image is decoded; use PNG or "
               "JPEG.";
    {
        Bitmap header{load(FIF_LOAD_NOPIXELS)};
        if (!header) return "it cannot be read as an image.";
        const std::string problem = sizeProblem(FreeImage_GetWidth(header.get()),
                                                FreeImage_GetHeight(header.get()), maxTexels);
        if (!problem.empty()) return problem;
    }
    Bitmap decoded{load(0)};
    if (!decoded) return "it cannot be decoded.";
    width = int(FreeImage_GetWidth(decoded.get()));
    height = int(FreeImage_GetHeight(decoded.get()));
    const std::string problem = sizeProblem(width, height, maxTexels);
    if (!problem.empty()) return problem;
    rgba = rgbaOf(decoded.get());
    return rgba.empty() ? "its texels cannot be converted to colours." : "";
}

}  // namespace

bool Texture::load(const std::string& fileName, int64_t maxTexels) {
    ensureImageLibrary();
    // A device or a pipe might never end.
    std::error_code error;
    if (!std::filesystem::is_regular_file(fileName, error))
        return fail(fileName + " is no readable image file.");
    const FREE_IMAGE_FORMAT format = FreeImage_GetFileType(fileName.c_str(), 0);
    int w = 0, h = 0;
    std::vector<uint8_t> rgba;
    const std::string problem = decodeChecked(
        format, [&](int flags) { return FreeImage_Load(format, fileName.c_str(), flags); },
        maxTexels, w, h, rgba);
    if (!problem.empty()) return fail(problem);
    if (!setTexels(w, h, std::move(rgba))) return false;
    fileName_ = fileName;
    return true;
}

bool Texture::loadFromMemory(const unsigned char* data, size_t size, int64_t maxTexels) {
    ensureImageLibrary();
    if (!data || size == 0 || size > 0xFFFFFFFFu) return fail("the embedded image is empty.");
    Memory memory{FreeImage_OpenMemory(const_cast<BYTE*>(data), DWORD(size))};
    const FREE_IMAGE_FORMAT format = FreeImage_GetFileTypeFromMemory(memory.get(), 0);
    int w = 0, h = 0;
    std::vector<uint8_t> rgba;
    const std::string problem = decodeChecked(
        format,
        [&](int flags) {
            FreeImage_SeekMemory(memory.get(), 0, SEEK_SET);
            return FreeImage_LoadFromMemory(format, memory.get(), flags);
        },
        maxTexels, w, h, rgba);
    if (!problem.empty()) return fail(problem);
    return setTexels(w, h, std::move(rgba));
}

Texture Texture::unfolded() const {
    const bool alongU = wrapU_ == Wrap::MirroredRepeat, alongV = wrapV_ == Wrap::MirroredRepeat;
    const int w = alongU ? 2 * width_ : width_, h = alongV ? 2 * height_ : height_;
    std::vector<uint8_t> rgba(size_t(w) * size_t(h) * 4);
    for (int row = 0; row < h; ++row)
        for (int col = 0; col < w; ++col) {
            const int from =
                wrapIndex(row, height_, wrapV_) * width_ + wrapIndex(col, width_, wrapU_);
            std::copy_n(&texels_[4 * size_t(from)], 4,
                        &rgba[4 * (size_t(row) * size_t(w) + size_t(col))]);
        }
    Texture t;
    t.setTexels(w, h, std::move(rgba));
    t.setWrap(alongU ? Wrap::Repeat : wrapU_, alongV ? Wrap::Repeat : wrapV_);
    return t;
}

bool Texture::writePng(const std::string& fileName) const {
    ensureImageLibrary();
    Bitmap image{FreeImage_Allocate(width_, height_, 32)};
    if (!image || texels_.empty()) return false;
    for (int row = 0; row < height_; ++row) {
        // The library keeps the bottom row first.
        BYTE* line = FreeImage_GetScanLine(image.get(), height_ - 1 - row);
        const uint8_t* in = &texels_[4 * size_t(row) * size_t(width_)];
        for (int x = 0; x < width_; ++x, line += 4, in += 4) {
            line[FI_RGBA_RED] = in[0];
            line[FI_RGBA_GREEN] = in[1];
            line[FI_RGBA_BLUE] = in[2];
            line[FI_RGBA_ALPHA] = in[3];
        }
    }
    return FreeImage_Save(FIF_PNG, image.get(), fileName.c_str(), PNG_DEFAULT) != 0;
}

Vec4 Texture::lookup(float u, float v) const {
    if (texels_.empty()) return Vec4(1.f, 1.f, 1.f, 1.f);
    const float x = reduce(u, wrapU_) * float(width_) - 0.5f;
    const float y = reduce(v, wrapV_) * float(height_) - 0.5f;
    const float fx = std::floor(x), fy = std::floor(y);
    const float ax = x - fx, ay = y - fy;
    const int x0 = wrapIndex(int(fx), width_, wrapU_), x1 = wrapIndex(int(fx) + 1, width_, wrapU_);
    const int y0 = wrapIndex(int(fy), height_, wrapV_),
              y1 = wrapIndex(int(fy) + 1, height_, wrapV_);
    const Vec4 top = texel(x0, y0) * (1.f - ax) + texel(x1, y0) * ax;
    const Vec4 bottom = texel(x0, y1) * (1.f - ax) + texel(x1, y1) * ax;
    return top * (1.f - ay) + bottom * ay;
}

Vec4 Texture::texel(int col, int row) const {
    const auto& table = srgbTable();
    const uint8_t* p = &texels_[4 * (size_t(row) * size_t(width_) + size_t(col))];
    return Vec4(table[p[0]], table[p[1]], table[p[2]], p[3] / 255.f);
}
