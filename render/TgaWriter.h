// Uncompressed 24-bit TGA of a display image, and a file write that never
// leaves a half-written file behind.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// A display value as a byte: v × 255 truncated; above 1 gives 255, below 0
// or not a number gives 0. Every 8-bit image file maps its values this way,
// so a PNG and a TGA of one image hold the same bytes.
inline uint8_t displayByte(float v) {
    if (v >= 0.f && v <= 1.f) return uint8_t(v * 255.f);
    if (v > 1.f) return 255;
    return 0;  // negative or not a number
}

// The 18-byte header, then B, G, R bytes per pixel in buffer order (row 0,
// the bottom row, first), each value as displayByte maps it. The header
// holds the low 16 bits of the sizes.
std::vector<uint8_t> encodeTga(int width, int height, const float* rgb);

// The file that a write to path lands on: path itself or, when path is a
// symbolic link, the file at the end of its links (which need not exist
// yet), so that a write replaces what the link leads to and keeps the link.
// False with a message naming path when that is no regular file (a folder,
// a device, a pipe) or the links go round in a circle.
bool writeTarget(const std::string& path, std::string& target, std::string& error);

// Writes bytes to a temporary file beside path's writeTarget and renames it
// over that, so an earlier file survives any failure. On failure returns
// false and says why in error, naming path.
bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string& error);

// Removes the temporary file of the write in progress, if there is one, so
// that a program stopped by a signal leaves none behind. Safe in a signal
// handler: it reads a fixed buffer and calls unlink. One write at a time is
// tracked.
void removeUnfinishedWrite();

// Saves a display image as a TGA file through writeFileAtomically; a failure
// returns false with its message (when asked for), which the caller reports.
bool saveDisplayImage(const std::string& path, int width, int height, const float* rgb,
                      std::string* message = nullptr);
