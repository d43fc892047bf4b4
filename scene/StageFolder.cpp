#include "scene/StageFolder.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

namespace {

const char kMarkStart[] = "# Stage saved by Tresk:";
// The files the mark covers, in the order it lists them; the last two only
// for a model saved with its look, the textures under one name.
const std::array<const char*, 5> kMarked = {kStageSceneFile, kStageModelFile, kStageSkyFile,
                                            kStageLibraryFile, "model-*"};
constexpr size_t kMarkedWithoutLook = 3;
const char* const kTexturesEntry = kMarked[4];
// A first line longer than the mark is no mark.
constexpr size_t kLongestMark = 256;

constexpr uint64_t kChecksumStart = 0xcbf29ce484222325ull;

// FNV-1a continued over n bytes.
uint64_t mixed(uint64_t sum, const char* bytes, size_t n) {
    for (size_t k = 0; k < n; ++k) {
        sum ^= uint8_t(bytes[k]);
        sum *= 0x100000001b3ull;
    }
    return sum;
}

// FNV-1a, continued over a file's bytes (from its second line on, for the
// model that carries the mark); 0 when there is no such file.
uint64_t checksumOf(const fs::path& file, uint64_t sum = kChecksumStart) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return 0;
    if (file.filename() == kStageModelFile) in.ignore(kLongestMark, '\n');
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0)
        sum = mixed(sum, buffer, size_t(in.gcount()));
    return sum;
}

bool isTextureName(const std::string& name) {
    const size_t prefix = std::string(kStageTexturePrefix).size();
    const size_t dot = name.find('.');
    if (name.rfind(kStageTexturePrefix, 0) != 0 || dot == std::string::npos || dot == prefix ||
        dot + 1 == name.size())
        return false;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    auto alnum = [&](char c) {
        return digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    };
    return std::all_of(name.begin() + long(prefix), name.begin() + long(dot), digit) &&
           std::all_of(name.begin() + long(dot) + 1, name.end(), alnum);
}

// The stage's textures in the folder, by name.
std::vector<fs::path> texturesIn(const fs::path& dir) {
    std::vector<fs::path> found;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
        if (isTextureName(it->path().filename().string())) found.push_back(it->path());
    std::sort(found.begin(), found.end());
    return found;
}

// One checksum over the names and bytes of all the textures, so that a
// texture added, removed or changed shows.
uint64_t texturesChecksum(const fs::path& dir) {
    uint64_t sum = kChecksumStart;
    for (const fs::path& texture : texturesIn(dir)) {
        const std::string name = texture.filename().string() + '\n';
        sum = checksumOf(texture, mixed(sum, name.data(), name.size()));
    }
    return sum;
}

// "name checksum" as the mark writes it, for a file of the folder.
std::string markEntry(const fs::path& dir, const char* name, bool placeholder) {
    char sum[17];
    const bool textures = std::string(name) == kTexturesEntry;
    std::snprintf(sum, sizeof sum, "%016" PRIx64,
                  placeholder ? 0
                  : textures  ? texturesChecksum(dir)
                              : checksumOf(dir / name));
    return std::string(" ") + name + " " + sum;
}

std::string markLine(const fs::path& dir, bool placeholder, bool withLook) {
    std::string line = kMarkStart;
    const size_t count = withLook ? kMarked.size() : kMarkedWithoutLook;
    for (size_t i = 0; i < count; ++i) line += markEntry(dir, kMarked[i], placeholder);
    return line + "\n";
}

bool isMarkedName(const fs::path& name) {
    return std::find(kMarked.begin(), kMarked.end(), name.string()) != kMarked.end() ||
           isTextureName(name.string());
}

bool replacedAnywayHolds(const std::vector<std::string>& files, const fs::path& entry) {
    std::error_code ec;
    return std::any_of(files.begin(), files.end(),
                       [&](const std::string& f) { return fs::equivalent(entry, f, ec); });
}

// Every stage file present in dir is as Tresk's mark says it saved it.
bool markedStageIntact(const fs::path& dir, std::string& error) {
    std::string mark;
    std::ifstream model(dir / kStageModelFile, std::ios::binary);
    if (model) std::getline(model, mark);
    const std::vector<fs::path> textures = texturesIn(dir);
    for (const char* name : kMarked) {
        std::error_code ec;
        const bool isTextures = std::string(name) == kTexturesEntry;
        if (isTextures ? textures.empty() : !fs::exists(dir / name, ec)) continue;
        if (mark.rfind(kMarkStart, 0) == 0 && mark.find(markEntry(dir, name, false)) != mark.npos)
            continue;
        if (isTextures) {
            std::string names;
            for (const fs::path& t : textures)
                names += (names.empty() ? "\"" : ", \"") + t.string() + "\"";
            error = "will not save the stage over its textures (" + names +
                    "): Tresk did not save them there, or they were changed since";
            return false;
        }
        error = "will not save the stage over \"" + (dir / name).string() +
                "\": Tresk did not save it there, or it was changed since";
        return false;
    }
    return true;
}

}  // namespace

std::vector<std::string> stageFiles(const std::string& folder, bool withSky) {
    const fs::path dir(folder);
    std::vector<std::string> files{(dir / kStageSceneFile).string(),
                                   (dir / kStageModelFile).string(),
                                   (dir / kStageLibraryFile).string()};
    if (withSky) files.push_back((dir / kStageSkyFile).string());
    return files;
}

bool stageFolderAvailable(const std::string& folder, const std::vector<std::string>& replacedAnyway,
                          std::string& error) {
    const fs::path dir(folder);
    std::error_code ec;
    const fs::file_status status = fs::status(dir, ec);
    if (!fs::exists(status)) return true;
    if (!fs::is_directory(status)) {
        error = "cannot save the stage into \"" + folder + "\": it is no folder";
        return false;
    }
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path& entry = it->path();
        if (replacedAnywayHolds(replacedAnyway, entry)) continue;
        if (isMarkedName(entry.filename()) && it->is_regular_file(ec) && !it->is_symlink(ec))
            continue;
        error = "will not save the stage into \"" + folder + "\": it holds \"" + entry.string() +
                "\" (a stage is saved into an empty or new folder, or over one Tresk saved)";
        return false;
    }
    if (ec) {
        error = "cannot save the stage into \"" + folder + "\": " + ec.message();
        return false;
    }
    return markedStageIntact(dir, error);
}

bool isStageFileName(const std::string& name) { return isMarkedName(name); }

std::string stageMarkPlaceholder(bool withLook) { return markLine(fs::path(), true, withLook); }

bool markStage(const std::string& folder, bool withLook, std::string& error) {
    const fs::path model = fs::path(folder) / kStageModelFile;
    const std::string mark = markLine(folder, false, withLook);
    // The placeholder has the mark's length, so the mark takes its place.
    std::FILE* f = std::fopen(model.c_str(), "r+b");
    const bool written = f && std::fwrite(mark.data(), 1, mark.size(), f) == mark.size();
    if ((f && std::fclose(f) != 0) || !written) {
        error = "cannot mark \"" + model.string() + "\" as Tresk's";
        return false;
    }
    return true;
}

bool removeStageLook(const std::string& folder, std::string& error) {
    std::vector<fs::path> look = texturesIn(folder);
    look.push_back(fs::path(folder) / kStageLibraryFile);
    for (const fs::path& file : look) {
        std::error_code ec;
        fs::remove(file, ec);
        if (!ec) continue;
        error = "cannot remove \"" + file.string() +
                "\", which an earlier stage saved: " + ec.message();
        return false;
    }
    return true;
}
