#include "app/merge/Parts.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace {

// Larger than any picture of Tresk's largest size, as floats.
constexpr std::streamoff kMaxPartBytes = std::streamoff(1) << 30;

struct Part {
    std::string path;
    PassRecord record;
};

std::string inQuotes(const std::string& path) { return "\"" + path + "\""; }

std::string rangeText(int first, int last) {
    return std::to_string(first) + (first == last ? "" : "-" + std::to_string(last));
}

std::string passRange(const PassRecord& r) {
    return (r.passes == 1 ? "pass " : "passes ") + rangeText(r.firstPass, r.lastPass());
}

std::string sizeText(const PassRecord& r) {
    return std::to_string(r.width) + " x " + std::to_string(r.height) + ", " + r.size + " size";
}

bool readBytes(const std::string& path, std::vector<uint8_t>& bytes, std::string& error) {
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        error = inQuotes(path) + " is not a part: not a regular file (a folder, device or pipe)";
        return false;
    }
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (!in) {
        error = "cannot read " + inQuotes(path) + ": " + std::strerror(errno);
        return false;
    }
    const std::streamoff size = in.tellg();
    if (size < 0 || size > kMaxPartBytes) {
        error = inQuotes(path) + " is larger than any part of a picture";
        return false;
    }
    bytes.resize(size_t(size));
    in.seekg(0);
    if (!in.read(reinterpret_cast<char*>(bytes.data()), size)) {
        error = "cannot read " + inQuotes(path) + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

// A part's record and pixels; the pixels must have the record's size.
bool readPart(const std::string& path, PassRecord& record, std::vector<float>& rgb,
              std::string& error) {
    const ImageFileType type = imageFileTypeOf(path);
    if (!holdsRadiance(type)) {
        error = inQuotes(path) + " is not a part: parts are the .hdr or .exr files of tresk-render";
        return false;
    }
    std::vector<uint8_t> bytes;
    int width = 0, height = 0;
    if (!readBytes(path, bytes, error)) return false;
    if (!readPassRecord(type, bytes, record, error) ||
        !decodeImage(bytes, width, height, rgb, error)) {
        error = inQuotes(path) + " " + error;
        return false;
    }
    if (width == record.width && height == record.height) return true;
    error = inQuotes(path) + " holds " + std::to_string(width) + " x " + std::to_string(height) +
            " pixels, though its record says " + sizeText(record);
    return false;
}

// Another scene or size than the first part's. Scenes are told apart by
// their files' bytes, so a scene at another path on another machine is the
// same scene; only where no hash could be made do the names decide.
bool belongsWith(const Part& first, const Part& part, std::string& error) {
    const PassRecord &a = first.record, &b = part.record;
    const bool sameScene = a.sceneHash.empty() && b.sceneHash.empty() ? a.scene == b.scene
                                                                      : a.sceneHash == b.sceneHash;
    if (!sameScene) {
        error = inQuotes(part.path) + " is a part of another scene (" + inQuotes(b.scene) + ", " +
                b.sceneHash + ") than " + inQuotes(first.path) + " (" + inQuotes(a.scene) + ", " +
                a.sceneHash + ")";
        return false;
    }
    if (a.width == b.width && a.height == b.height && a.size == b.size) return true;
    error = inQuotes(part.path) + " is " + sizeText(b) + ", " + inQuotes(first.path) + " is " +
            sizeText(a) + ": parts of one picture have one size";
    return false;
}

// Each pass may be counted once; returns the passes no part holds between
// the lowest and the highest.
bool checkRanges(std::vector<Part> parts, std::string& missing, std::string& error) {
    std::sort(parts.begin(), parts.end(),
              [](const Part& x, const Part& y) { return x.record.firstPass < y.record.firstPass; });
    for (size_t k = 1; k < parts.size(); ++k) {
        const PassRecord &before = parts[k - 1].record, &after = parts[k].record;
        if (after.firstPass <= before.lastPass()) {
            error = inQuotes(parts[k].path) + " (" + passRange(after) + ") overlaps " +
                    inQuotes(parts[k - 1].path) + " (" + passRange(before) +
                    "): each pass may be merged once";
            return false;
        }
        if (after.firstPass == before.lastPass() + 1) continue;
        missing +=
            (missing.empty() ? "" : ", ") + rangeText(before.lastPass() + 1, after.firstPass - 1);
    }
    return true;
}

}  // namespace

bool mergeParts(const std::vector<std::string>& paths, MergedPicture& merged, std::string& error) {
    std::vector<Part> parts;
    std::vector<double> sum;
    std::vector<float> rgb;
    for (const std::string& path : paths) {
        Part part{path, {}};
        if (!readPart(path, part.record, rgb, error)) return false;
        if (!parts.empty() && !belongsWith(parts.front(), part, error)) return false;
        // The mean of all passes is the sum of each part's mean times its passes.
        sum.resize(rgb.size(), 0.0);
        for (size_t i = 0; i < rgb.size(); ++i) sum[i] += double(rgb[i]) * part.record.passes;
        parts.push_back(part);
    }
    if (parts.empty()) {
        error = "no parts to merge";
        return false;
    }
    if (!checkRanges(parts, merged.missing, error)) return false;
    merged.record = parts.front().record;
    merged.record.passes = 0;
    for (const Part& part : parts) {
        merged.record.firstPass = std::min(merged.record.firstPass, part.record.firstPass);
        merged.record.passes += part.record.passes;
    }
    merged.radiance.resize(sum.size());
    for (size_t i = 0; i < sum.size(); ++i)
        merged.radiance[i] = float(sum[i] / merged.record.passes);
    return true;
}
