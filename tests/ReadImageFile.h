// Reads any image file the image library recognises by its bytes (PNG, HDR,
// EXR, ...) as float RGB in buffer order (row 0 at the bottom), so that tests can
// check what the programs wrote. 8-bit images come back as byte / 255.
#pragma once

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "render/ImageFiles.h"

inline bool readImageFile(const std::string& path, int& width, int& height, std::vector<float>& rgb,
                          std::string& error) {
    std::ifstream in(path, std::ios::binary);
    const std::vector<uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    if (decodeImage(bytes, width, height, rgb, error)) return true;
    error = "\"" + path + "\" " + error;
    return false;
}
