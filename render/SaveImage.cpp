#include <cstdio>

#include "core/Logger.h"
#include "render/Renderer.h"
#include "render/TgaWriter.h"

bool Renderer::saveImage(const std::string& path) const {
    return saveDisplayImage(path, geometry_.width, geometry_.height, displayBuffer_);
}

bool saveDisplayImage(const std::string& path, int width, int height, const float* rgb,
                      std::string* message) {
    const std::vector<uint8_t> bytes = encodeTga(width, height, rgb);
    std::string error;
    if (writeFileAtomically(path, bytes, error)) return true;
    const std::string text = "Saving the image failed: " + error;
    Logger::instance()->write(text);
    std::fprintf(stderr, "tresk: %s\n", text.c_str());
    if (message) *message = text;
    return false;
}
