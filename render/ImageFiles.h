// Image files beyond the TGA: PNG of a display image, and Radiance HDR and
// OpenEXR of a radiance image, encoded through the image library.
//
// Every image here is in buffer order: 3 floats (R, G, B) per pixel, row 0 is
// the bottom row of the picture.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct PassRecord;

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
// of a running sum), as a Radiance RGBE (.hdr) or a 32-bit float OpenEXR
// (.exr) file: the floats of the EXR are the mean's own, so parts of a
// picture merge to what one run makes. Values below 0 or not finite are
// written as 0: neither format nor any viewer makes sense of them.
bool encodeRadiance(ImageFileType type, int width, int height, const float* rgb, float scale,
                    std::vector<uint8_t>& out, std::string& error);

// The picture as a file of the given type: the display image for TGA and PNG,
// the radiance image times scale for HDR and EXR, which also carry record
// when it is not null (render/PassRecord.h).
bool encodeImage(ImageFileType type, int width, int height, const float* displayRgb,
                 const float* radianceRgb, float scale, const PassRecord* record,
                 std::vector<uint8_t>& out, std::string& error);

// The pixels of an image file's bytes, in any format the image library reads
// (HDR, EXR, PNG, ...), as float RGB in buffer order; 8-bit images come
// back as byte / 255. False with a reason when the library cannot read them.
bool decodeImage(const std::vector<uint8_t>& file, int& width, int& height, std::vector<float>& rgb,
                 std::string& error);
