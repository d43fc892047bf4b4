#include "scene/ModelFolder.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "scene/TextSnippet.h"

namespace fs = std::filesystem;

namespace {

const char* const kRule = "; a model reads only files in its own folder and the folders below it";

// An RFC 3986 scheme before the first ':' ("file", "http", "data"): a
// relative reference holding a ':' in its first segment is written "./a:b".
bool hasScheme(const std::string& reference) {
    if (reference.empty() || !std::isalpha(static_cast<unsigned char>(reference[0]))) return false;
    for (const char c : reference) {
        if (c == ':') return true;
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '+' && c != '-' && c != '.')
            return false;
    }
    return false;
}

// The reference in double quotes, whole unless very long, control bytes
// escaped.
std::string quoteReference(const std::string& reference) {
    constexpr size_t kMaxShown = 160;
    std::string text = escapeControlBytes(reference);
    if (text.size() > kMaxShown) text = text.substr(0, kMaxShown) + "...";
    return "\"" + text + "\"";
}

// Whether path is folder or lies below it, compared by whole names; both
// resolved.
bool within(const fs::path& path, const fs::path& folder) {
    return std::mismatch(folder.begin(), folder.end(), path.begin(), path.end()).first ==
           folder.end();
}

}  // namespace

ModelFolder::ModelFolder(const std::string& modelPath) {
    const size_t slash = modelPath.rfind('/');
    if (slash != std::string::npos) prefix_ = modelPath.substr(0, slash + 1);
    std::error_code ec;
    folder_ = fs::canonical(prefix_.empty() ? "." : prefix_, ec).string();
    if (ec) {
        folder_.clear();
        folderProblem_ = ec.message();
    }
}

std::string ModelFolder::referenceIn(const std::string& composedPath) const {
    return composedPath.compare(0, prefix_.size(), prefix_) == 0
               ? composedPath.substr(prefix_.size())
               : composedPath;
}

ModelFolder::Found ModelFolder::resolve(const std::string& reference, std::string& resolved,
                                        std::string& problem) const {
    const std::string quoted = quoteReference(reference);
    resolved.clear();
    if (!reference.empty() && reference[0] == '/') {
        problem = "it names the file " + quoted + " by an absolute path" + kRule;
        return Found::Refused;
    }
    if (hasScheme(reference)) {
        // Named when it is as short as real schemes are.
        constexpr size_t kMaxScheme = 32;
        const std::string scheme = reference.substr(0, reference.find(':') + 1);
        problem = "it names " + quoted + ", a URI" +
                  (scheme.size() <= kMaxScheme ? " of the scheme \"" + scheme + "\"" : "") + kRule;
        return Found::Refused;
    }
    if (folder_.empty()) {
        problem = "its folder, where it names the file " + quoted +
                  ", cannot be resolved: " + folderProblem_;
        return Found::Missing;
    }
    // Every link resolved, as the kernel would follow them: a path that
    // exists only in part could lead anywhere once the rest appears.
    std::error_code ec;
    const fs::path path = fs::canonical(fs::path(folder_) / reference, ec);
    if (ec) {
        problem = "it names the file " + quoted + ", which cannot be found: " + ec.message();
        return Found::Missing;
    }
    if (!within(path, fs::path(folder_))) {
        problem = "it names the file " + quoted + ", which lies outside the model's folder" + kRule;
        return Found::Refused;
    }
    resolved = path.string();
    return Found::Inside;
}
