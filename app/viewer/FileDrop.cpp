#include "app/viewer/FileDrop.h"

#include "render/Renderer.h"
#include "scene/ModelStage.h"

SceneLoader sceneLoaderFor(const std::string& path) {
    return [path](std::string& error) {
        return openSceneOrModel(*Renderer::instance(), path, BrokenModel::ShowStage, error);
    };
}

std::string takeDroppedFile(const SDL_Event& event) {
    if (event.type != SDL_DROPFILE || !event.drop.file) return std::string();
    const std::string path = event.drop.file;
    SDL_free(event.drop.file);
    return path;
}

bool openDroppedFile(const std::string& path, Controls& controls) {
    // A broken model must not replace the scene on view; once a model has
    // opened, F5 treats it as at start-up.
    bool ok = false;
    const SceneLoader open = [&ok, path](std::string& error) {
        return ok = openSceneOrModel(*Renderer::instance(), path, BrokenModel::Refuse, error);
    };
    controls.openScene(open, sceneLoaderFor(path));
    return ok;
}
