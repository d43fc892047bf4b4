// Small Radiance HDR files written for tests, in the test's temporary
// directory, and a look-up of the real images that Debian packages ship.
#pragma once

#include <FreeImage.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <string>
#include <utility>

namespace hdr_files {

// A path in the temporary directory that no other test process uses; the
// file there, if any, is removed when the object goes.
class TempFile {
public:
    explicit TempFile(const std::string& name)
        : path_(::testing::TempDir() + "tresk_" + std::to_string(getpid()) + "_" + name) {}
    ~TempFile() {
        if (!path_.empty()) std::remove(path_.c_str());
    }
    TempFile(TempFile&& o) noexcept : path_(std::move(o.path_)) { o.path_.clear(); }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    TempFile& operator=(TempFile&&) = delete;

    const std::string& path() const { return path_; }
    operator const std::string&() const { return path_; }

private:
    std::string path_;
};

// Writes a w × h Radiance HDR file; texel(x, y) is the colour of column x in
// row y, row 0 being the first row in memory (the bottom of the picture).
// RGBE keeps 8 bits of mantissa per channel: values such as small integers
// times a power of two come back exactly.
template <class Texel>
bool writeHdr(const std::string& path, int w, int h, Texel texel) {
    FIBITMAP* bitmap = FreeImage_AllocateT(FIT_RGBF, w, h);
    if (!bitmap) return false;
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<FIRGBF*>(FreeImage_GetScanLine(bitmap, y));
        for (int x = 0; x < w; ++x) {
            const std::array<float, 3> c = texel(x, y);
            row[x].red = c[0];
            row[x].green = c[1];
            row[x].blue = c[2];
        }
    }
    const bool saved = FreeImage_Save(FIF_HDR, bitmap, path.c_str(), 0) != 0;
    FreeImage_Unload(bitmap);
    return saved;
}

// An independent reading of one texel: the image loaded again and the texel
// taken from the scan line the library hands out for that row.
class TexelReader {
public:
    explicit TexelReader(const std::string& path)
        : bitmap(FreeImage_Load(FIF_HDR, path.c_str(), 0)) {}
    ~TexelReader() {
        if (bitmap) FreeImage_Unload(bitmap);
    }
    TexelReader(const TexelReader&) = delete;
    TexelReader& operator=(const TexelReader&) = delete;

    bool ok() const { return bitmap != nullptr; }
    int width() const { return int(FreeImage_GetWidth(bitmap)); }
    int height() const { return int(FreeImage_GetHeight(bitmap)); }
    std::array<float, 3> texel(int x, int y) const {
        const auto* row = reinterpret_cast<const FIRGBF*>(FreeImage_GetScanLine(bitmap, y));
        return {row[x].red, row[x].green, row[x].blue};
    }

private:
    FIBITMAP* bitmap;
};

}  // namespace hdr_files
