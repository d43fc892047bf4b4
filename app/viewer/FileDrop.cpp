#include "app/viewer/FileDrop.h"

#include "render/Renderer.h"
#include "scene/ModelStage.h"

SceneLoader sceneLoaderFor(const std::string& path) {
    return [path](std::string& error) {
        return openSceneOrModel(*Renderer::instance(), path, BrokenModel::ShowStage, error);
    };
}

bool handleFileDrop(SDL_Event& event, Controls& controls, std::string& opened) {
    if (event.type != SDL_DROPFILE) return false;
    const std::string path = event.drop.file ? event.drop.file : "";
    SDL_free(event.drop.file);
    event.drop.file = nullptr;
    if (path.empty()) return true;
    // A broken model must not replace the scene on view; once a model has
    // opened, F5 treats it as at start-up.
    bool ok = false;
    const SceneLoader open = [&ok, path](std::string& error) {
        return ok = openSceneOrModel(*Renderer::instance(), path, BrokenModel::Refuse, error);
    };
    controls.openScene(open, sceneLoaderFor(path));
    if (ok) opened = path;
    return true;
}
