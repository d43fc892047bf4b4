#include "scene/ModelFormats.h"

#include <cctype>
#include <filesystem>

#include "scene/ModelReaders.h"

namespace {

constexpr bool kIsolated = true, kInProcess = false;
constexpr bool kZUp = true, kYUp = false;
constexpr bool kLooks = true, kNoLooks = false;
const char* const kOwnReader = "Tresk's reader";
const char* const kLibrary = "the Open Asset Import Library";

const std::vector<ModelFormat>& table() {
    static const std::vector<ModelFormat> formats = {
        // name, extensions, reader in messages, checks first, reader, where, up axis, looks
        {"OBJ", {".obj"}, kOwnReader, nullptr, readObjModel, kInProcess, kYUp, kLooks},
        {"PLY", {".ply"}, kLibrary, checkPlyModel, readWithLibrary, kIsolated, kYUp, kNoLooks},
        {"STL", {".stl"}, kOwnReader, checkBoundedFile, readStlModel, kInProcess, kZUp, kNoLooks},
        {"glTF", {".gltf"}, kLibrary, checkBoundedFile, readWithLibrary, kIsolated, kYUp, kLooks},
        {"GLB", {".glb"}, kLibrary, checkGlbModel, readWithLibrary, kIsolated, kYUp, kLooks},
    };
    return formats;
}

// Formats the library reads but Tresk refuses, with a message rather than
// as scene files: they are not fuzzed.
const ModelFormat& refused() {
    static const ModelFormat formats = {
        nullptr,
        {".3ds", ".3mf", ".ac",      ".amf", ".ase",  ".b3d", ".blend", ".bvh",  ".cob",
         ".dae", ".dxf", ".fbx",     ".ifc", ".iqm",  ".irr", ".lwo",   ".lws",  ".m3d",
         ".md2", ".md3", ".md5mesh", ".mdl", ".ms3d", ".nff", ".off",   ".ogex", ".q3d",
         ".smd", ".usd", ".usdz",    ".wrl", ".x",    ".x3d", ".xgl",   ".zgl"},
        kLibrary,
        nullptr,
        nullptr,
        kIsolated,
        kYUp,
        kNoLooks};
    return formats;
}

bool hasExtension(const ModelFormat& format, const std::string& ext) {
    for (const std::string& e : format.extensions)
        if (e == ext) return true;
    return false;
}

}  // namespace

const ModelFormat* modelFormatOf(const std::string& path) {
    std::string ext = std::filesystem::path(path).extension().string();
    for (char& c : ext) c = char(std::tolower(static_cast<unsigned char>(c)));
    for (const ModelFormat& format : table())
        if (hasExtension(format, ext)) return &format;
    return hasExtension(refused(), ext) ? &refused() : nullptr;
}

std::vector<std::string> modelExtensions() {
    std::vector<std::string> all;
    for (const ModelFormat& format : table())
        all.insert(all.end(), format.extensions.begin(), format.extensions.end());
    return all;
}

std::vector<std::string> modelFormatNames() {
    std::vector<std::string> names;
    for (const ModelFormat& format : table()) names.push_back(format.name);
    return names;
}

std::string listOf(const std::vector<std::string>& words, const std::string& last) {
    std::string text;
    for (size_t i = 0; i < words.size(); ++i)
        text += (i == 0 ? "" : i + 1 == words.size() ? last : ", ") + words[i];
    return text;
}
