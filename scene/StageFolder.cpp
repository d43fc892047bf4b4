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
// The files the mark covers, in the order it lists them.
const std::array<const char*, 3> kMarked = {kStageSceneFile, kStageModelFile, kStageSkyFile};
// A first line longer than the mark is no mark.
constexpr size_t kLongestMark = 256;

// FNV-1a over a file's bytes (from its second line on, for the model that
// carries the mark); 0 when there is no such file.
uint64_t checksumOf(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return 0;
    if (file.filename() == kStageModelFile) in.ignore(kLongestMark, '\n');
    uint64_t sum = 0xcbf29ce484222325ull;
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        for (std::streamsize k = 0; k < in.gcount(); ++k) {
            sum ^= uint8_t(buffer[k]);
            sum *= 0x100000001b3ull;
        }
    }
    return sum;
}

// "name checksum" as the mark writes it, for a file of the folder.
std::string markEntry(const fs::path& dir, const char* name, bool placeholder) {
    char sum[17];
    std::snprintf(sum, sizeof sum, "%016" PRIx64, placeholder ? 0 : checksumOf(dir / name));
    return std::string(" ") + name + " " + sum;
}

std::string markLine(const fs::path& dir, bool placeholder) {
    std::string line = kMarkStart;
    for (const char* name : kMarked) line += markEntry(dir, name, placeholder);
    return line + "\n";
}

bool isMarkedName(const fs::path& name) {
    return std::find(kMarked.begin(), kMarked.end(), name.string()) != kMarked.end();
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
    for (const char* name : kMarked) {
        std::error_code ec;
        if (!fs::exists(dir / name, ec)) continue;
        if (mark.rfind(kMarkStart, 0) == 0 && mark.find(markEntry(dir, name, false)) != mark.npos)
            continue;
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
                                   (dir / kStageModelFile).string()};
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

std::string stageMarkPlaceholder() { return markLine(fs::path(), true); }

bool markStage(const std::string& folder, std::string& error) {
    const fs::path model = fs::path(folder) / kStageModelFile;
    const std::string mark = markLine(folder, false);
    // The placeholder has the mark's length, so the mark takes its place.
    std::FILE* f = std::fopen(model.c_str(), "r+b");
    const bool written = f && std::fwrite(mark.data(), 1, mark.size(), f) == mark.size();
    if ((f && std::fclose(f) != 0) || !written) {
        error = "cannot mark \"" + model.string() + "\" as Tresk's";
        return false;
    }
    return true;
}
