#include "render/ImageFiles.h"

#include <FreeImage.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <memory>

#include "render/PassRecord.h"
#include "render/TgaWriter.h"
#include "shading/ImageLibrary.h"

namespace {

float radianceValue(float v, float scale) {
    const float s = v * scale;
    return std::isfinite(s) && s > 0.f ? s : 0.f;
}

bool saveToBytes(FREE_IMAGE_FORMAT format, FIBITMAP* bitmap, int flags, const char* name,
                 std::vector<uint8_t>& out, std::string& error) {
    Memory memory(FreeImage_OpenMemory());
    if (!memory) {
        error = "out of memory while encoding the " + std::string(name) + " image";
        return false;
    }
    if (!FreeImage_SaveToMemory(format, bitmap, memory.get(), flags)) {
        error = "the image library could not encode the " + std::string(name) + " image";
        return false;
    }
    BYTE* data = nullptr;
    DWORD size = 0;
    if (!FreeImage_AcquireMemory(memory.get(), &data, &size) || !data) {
        error = "the image library returned no " + std::string(name) + " data";
        return false;
    }
    out.assign(data, data + size);
    return true;
}

bool validSize(int width, int height, std::string& error) {
    if (width > 0 && height > 0) return true;
    error = "cannot encode an image of " + std::to_string(width) + " x " + std::to_string(height) +
            " pixels";
    return false;
}

}  // namespace

ImageFileType imageFileTypeOf(const std::string& path) {
    const size_t dot = path.find_last_of('.');
    const size_t slash = path.find_last_of('/');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash))
        return ImageFileType::Unknown;
    std::string ext = path.substr(dot + 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return char(std::tolower(c)); });
    if (ext == "tga") return ImageFileType::Tga;
    if (ext == "png") return ImageFileType::Png;
    if (ext == "hdr") return ImageFileType::Hdr;
    if (ext == "exr") return ImageFileType::Exr;
    return ImageFileType::Unknown;
}

bool encodePng(int width, int height, const float* displayRgb, std::vector<uint8_t>& out,
               std::string& error) {
    if (!validSize(width, height, error)) return false;
    Bitmap bitmap(FreeImage_Allocate(width, height, 24));
    if (!bitmap) {
        error = "out of memory while encoding the PNG image";
        return false;
    }
    // The library's scan line 0 is the bottom row, as in our buffers.
    for (int y = 0; y < height; ++y) {
        BYTE* line = FreeImage_GetScanLine(bitmap.get(), y);
        const float* src = displayRgb + size_t(y) * size_t(width) * 3;
        for (int x = 0; x < width; ++x, src += 3, line += 3) {
            line[FI_RGBA_RED] = displayByte(src[0]);
            line[FI_RGBA_GREEN] = displayByte(src[1]);
            line[FI_RGBA_BLUE] = displayByte(src[2]);
        }
    }
    return saveToBytes(FIF_PNG, bitmap.get(), PNG_DEFAULT, "PNG", out, error);
}

bool encodeRadiance(ImageFileType type, int width, int height, const float* rgb, float scale,
                    std::vector<uint8_t>& out, std::string& error) {
    if (!holdsRadiance(type)) {
        error = "only HDR and EXR files hold radiance";
        return false;
    }
    if (!validSize(width, height, error)) return false;
    const bool hdr = type == ImageFileType::Hdr;
    Bitmap bitmap(FreeImage_AllocateT(FIT_RGBF, width, height));
    if (!bitmap) {
        error = std::string("out of memory while encoding the ") + (hdr ? "HDR" : "EXR") + " image";
        return false;
    }
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<FIRGBF*>(FreeImage_GetScanLine(bitmap.get(), y));
        const float* src = rgb + size_t(y) * size_t(width) * 3;
        for (int x = 0; x < width; ++x, src += 3) {
            line[x].red = radianceValue(src[0], scale);
            line[x].green = radianceValue(src[1], scale);
            line[x].blue = radianceValue(src[2], scale);
        }
    }
    if (hdr) return saveToBytes(FIF_HDR, bitmap.get(), HDR_DEFAULT, "HDR", out, error);
    // Full floats, with lossless wavelet compression: half floats would
    // move a merged picture's display bytes.
    return saveToBytes(FIF_EXR, bitmap.get(), EXR_FLOAT, "EXR", out, error);
}

bool encodeImage(ImageFileType type, int width, int height, const float* displayRgb,
                 const float* radianceRgb, float scale, const PassRecord* record,
                 std::vector<uint8_t>& out, std::string& error) {
    switch (type) {
        case ImageFileType::Tga:
            out = encodeTga(width, height, displayRgb);
            return true;
        case ImageFileType::Png:
            return encodePng(width, height, displayRgb, out, error);
        case ImageFileType::Hdr:
        case ImageFileType::Exr:
            return encodeRadiance(type, width, height, radianceRgb, scale, out, error) &&
                   (!record || addPassRecord(type, *record, out, error));
        case ImageFileType::Unknown:
            break;
    }
    error = "unknown image format";
    return false;
}

bool decodeImage(const std::vector<uint8_t>& file, int& width, int& height, std::vector<float>& rgb,
                 std::string& error) {
    // The library reads from memory it is given, and does not change it.
    Memory memory(FreeImage_OpenMemory(const_cast<BYTE*>(file.data()), DWORD(file.size())));
    const FREE_IMAGE_FORMAT format =
        memory ? FreeImage_GetFileTypeFromMemory(memory.get(), 0) : FIF_UNKNOWN;
    Bitmap loaded(format != FIF_UNKNOWN && FreeImage_FIFSupportsReading(format)
                      ? FreeImage_LoadFromMemory(format, memory.get(), 0)
                      : nullptr);
    Bitmap floats(loaded ? FreeImage_ConvertToRGBF(loaded.get()) : nullptr);
    if (!floats) {
        error = "is not a picture that the image library can read";
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
