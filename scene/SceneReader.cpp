// The scene reader itself: a file opened, parsed once and built once.
#include "scene/SceneReader.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/Logger.h"
#include "scene/SceneParser.h"

SceneReader::SceneReader(std::istream& in, std::string fileName)
    : in_(in),
      fileName_(std::move(fileName)),
      baseDirectory_(std::filesystem::path(fileName_).parent_path().string()) {}

bool SceneReader::parse(SceneDescription& scene, std::string& error, Diagnostics& diagnostics) {
    if (parseScene(in_, fileName_, scene, diagnostics)) return true;
    error = diagnostics.back().text;
    return false;
}

bool SceneReader::load(Renderer& renderer, std::string& error, Diagnostics& diagnostics) {
    SceneDescription scene;
    if (!parse(scene, error, diagnostics)) return false;
    if (buildOrReset(
            renderer, "Scene file \"" + fileName_ + "\"",
            [&] { buildScene(scene, baseDirectory_, renderer, diagnostics); }, error))
        return true;
    diagnostics.push_back({Severity::Fatal, fileName_, 0, error, ""});
    return false;
}

void logReadingStarts(const std::string& what) {
    Logger::instance()->write("Tresk 0.5");
    Logger::instance()->write("Reading " + what + " File...");
}

bool readScene(Renderer& renderer, const std::string& fileName, std::string& error,
               Diagnostics& diagnostics) {
    logReadingStarts("Scene");
    std::ifstream in;
    std::error_code ec;
    const bool isDirectory = std::filesystem::is_directory(fileName, ec);
    if (!isDirectory) in.open(fileName, std::ios::binary);
    if (in.is_open()) return SceneReader(in, fileName).load(renderer, error, diagnostics);
    const char* reason = isDirectory ? "it is a directory" : std::strerror(errno);
    error = "Cannot open the scene file \"" + fileName + "\": " + reason + ".";
    diagnostics.push_back({Severity::Fatal, fileName, 0, error, ""});
    return false;
}
