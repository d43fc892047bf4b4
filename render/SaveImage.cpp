#include "render/Renderer.h"
#include "render/TgaWriter.h"

bool Renderer::saveImage(const std::string& path, std::string* message) const {
    return saveDisplayImage(path, geometry_.width, geometry_.height, displayBuffer_, message);
}

bool saveDisplayImage(const std::string& path, int width, int height, const float* rgb,
                      std::string* message) {
    const std::vector<uint8_t> bytes = encodeTga(width, height, rgb);
    std::string error;
    if (writeFileAtomically(path, bytes, error)) return true;
    if (message) *message = "Saving the image failed: " + error;
    return false;
}
