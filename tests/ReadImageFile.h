// Reads any image file the image library recognises (TGA, PNG, HDR, EXR,
// ...) as float RGB in buffer order (row 0 at the bottom), so that tests can
// check what the programs wrote. 8-bit images come back as byte / 255.
#pragma once

#include <FreeImage.h>

#include <memory>
#include <string>
#include <vector>

inline bool readImageFile(const std::string& path, int& width, int& height, std::vector<float>& rgb,
                          std::string& error) {
    struct Unload {
        void operator()(FIBITMAP* bitmap) const { FreeImage_Unload(bitmap); }
    };
    using Bitmap = std::unique_ptr<FIBITMAP, Unload>;

    FREE_IMAGE_FORMAT format = FreeImage_GetFileType(path.c_str(), 0);
    if (format == FIF_UNKNOWN) format = FreeImage_GetFIFFromFilename(path.c_str());
    if (format == FIF_UNKNOWN || !FreeImage_FIFSupportsReading(format)) {
        error = "\"" + path + "\" is missing or not an image file the image library can read";
        return false;
    }
    Bitmap loaded(FreeImage_Load(format, path.c_str(), 0));
    if (!loaded) {
        error = "the image library could not read \"" + path + "\"";
        return false;
    }
    Bitmap floats(FreeImage_ConvertToRGBF(loaded.get()));
    if (!floats) {
        error = "\"" + path + "\" cannot be converted to float RGB";
        return false;
    }
    width = int(FreeImage_GetWidth(floats.get()));
    height = int(FreeImage_GetHeight(floats.get()));
    rgb.resize(size_t(width) * size_t(height) * 3);
    for (int y = 0; y < height; ++y) {
        const auto* line = reinterpret_cast<const FIRGBF*>(FreeImage_GetScanLine(floats.get(), y));
        float* dst = rgb.data() + size_t(y) * size_t(width) * 3;
        for (int x = 0; x < width; ++x, dst += 3) {
            dst[0] = line[x].red;
            dst[1] = line[x].green;
            dst[2] = line[x].blue;
        }
    }
    return true;
}
