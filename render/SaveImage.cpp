#include <cstdio>

#include "core/Logger.h"
#include "render/Renderer.h"
#include "render/TgaWriter.h"

bool Renderer::saveImage(const std::string& path) const {
    const std::vector<uint8_t> bytes = encodeTga(geometry_.width, geometry_.height, displayBuffer_);
    std::string error;
    if (writeFileAtomically(path, bytes, error)) return true;
    const std::string message = "Saving the image failed: " + error;
    Logger::instance()->write(message);
    std::fprintf(stderr, "tresk: %s\n", message.c_str());
    return false;
}
