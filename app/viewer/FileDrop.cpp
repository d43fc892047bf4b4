#include "app/viewer/FileDrop.h"

#include <filesystem>

#include "app/ReportDiagnostics.h"
#include "render/Renderer.h"
#include "scene/ModelFormats.h"

SceneLoader sceneLoaderFor(const std::string& path, BrokenModel broken) {
    return [path, broken](std::string& error) {
        Diagnostics diagnostics;
        const bool opened =
            openSceneOrModel(*Renderer::instance(), path, broken, error, diagnostics);
        reportDiagnostics(diagnostics);
        return opened;
    };
}

std::string takeDroppedFile(const SDL_Event& event) {
    if (event.type != SDL_DROPFILE || !event.drop.file) return std::string();
    const std::string path = event.drop.file;
    SDL_free(event.drop.file);
    return path;
}

bool openDroppedFiles(const std::vector<std::string>& paths, Controls& controls) {
    if (paths.empty()) return false;
    // A broken model must not replace the scene on view.
    bool ok = false;
    const SceneLoader refuse = sceneLoaderFor(paths.front(), BrokenModel::Refuse);
    controls.openScene([&ok, &refuse](std::string& error) { return ok = refuse(error); }, refuse,
                       modelFormatOf(paths.front()) != nullptr);
    if (paths.size() > 1) {
        std::string others;
        for (size_t i = 1; i < paths.size(); ++i)
            others += (i > 1 ? ", " : "") + std::filesystem::path(paths[i]).filename().string();
        controls.showNotice("One file opens at a time; not opened: " + others);
    }
    return ok;
}
