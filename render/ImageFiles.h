// Image files beyond the TGA: PNG of a display image, and Radiance HDR and
// OpenEXR of a radiance image, encoded through the image library.
//
// Every image here is in buffer order: 3 floats (R, G, B) per pixel, row 0 is
// the bottom row of the picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The output formats, chosen by a file name's extension.
enum class ImageFileType { Unknown, Tga, Png, Hdr, Exr };

// Case-insensitive: ".tga", ".png", ".hdr", ".exr"; anything else is Unknown.
ImageFileType imageFileTypeOf(const std::string& path);

// True for the formats that hold radiance (HDR, EXR) rather than display values.
inline bool holdsRadiance(ImageFileType type) {
    return type == ImageFileType::Hdr || type == ImageFileType::Exr;
}

// A display image (values in [0, 1]) as an 8-bit RGB PNG. Values map to
// bytes as displayByte (render/TgaWriter.h) maps them. Returns false with a reason when encoding
// fails.
bool encodePng(int width, int height, const float* displayRgb, std::vector<uint8_t>& out,
               std::string& error);

// A radiance image, every value multiplied by scale (1 / samples for the mean
// of a running sum), as a Radiance RGBE (.hdr) or a half-float OpenEXR (.exr)
// file. Values below 0 or not finite are written as 0: neither format nor
// any viewer makes sense of them.
bool encodeRadiance(ImageFileType type, int width, int height, const float* rgb, float scale,
                    std::vector<uint8_t>& out, std::string& error);
