// BitmapFont: the overlay's font as 96 GL display lists of glBitmap calls,
// one per character code 32 to 127, rasterised by FreeType from the face
// that fontconfig matches for "Courier New" (a metric-compatible monospace
// face where that one is not installed).
#pragma once

// Builds the lists for a face whose em is pixelHeight pixels high. Without
// a usable face the lists stay empty and text draws nothing.
void createFont(int pixelHeight);
void destroyFont();
// Draws printf-style text at the current raster position in the current
// colour; text beyond 255 characters is cut.
void printText(const char* format, ...) __attribute__((format(printf, 1, 2)));
