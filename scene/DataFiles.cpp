#include "scene/DataFiles.h"

#include <unistd.h>

#include <filesystem>
#include <system_error>
#include <vector>

#include "scene/ModelFormats.h"

namespace fs = std::filesystem;

namespace {

// The folder of the running program, from the kernel's own record of it.
fs::path programFolder() {
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    return ec ? fs::path() : self.parent_path();
}

}  // namespace

std::string findDataFile(const std::string& relative) {
    std::vector<fs::path> roots;
    const fs::path folder = programFolder();
    if (!folder.empty()) roots.push_back(folder.parent_path() / "share" / "tresk");
#ifdef TRESK_INSTALL_DATA_DIR
    roots.emplace_back(TRESK_INSTALL_DATA_DIR);
#endif
#ifdef TRESK_SOURCE_DIR
    roots.emplace_back(TRESK_SOURCE_DIR);
#endif
    for (const fs::path& root : roots) {
        std::error_code ec;
        const fs::path candidate = root / relative;
        if (fs::exists(candidate, ec)) return candidate.string();
    }
    return std::string();
}

std::string startHelp(const std::string& program, const std::string& defaultScene) {
    std::vector<std::string> others = modelExtensions();
    const std::string first = others.front();
    others.erase(others.begin());
    std::string text = "There is no scene file \"" + defaultScene + "\" in this folder. Start " +
                       program + " with a scene file or a model:\n\n" + "    " + program +
                       " SCENE-FILE\n" + "    " + program + " MODEL" + first + "   (or " +
                       listOf(others, ", ") + ")\n";
    const std::string examples = findDataFile("examples");
    if (!examples.empty())
        text +=
            "\nThe bundled examples:\n\n    " + program + " " + examples + "/showcase/scene.txt\n";
    return text;
}
