// A file dropped on the viewer's window (SDL's drop event) opens in place of
// the current scene, as F5 reloads: a scene file, or a model file (told by
// its extension) on its stage. A file that cannot be opened leaves the
// current scene and says why in an "Error" box; one that opened becomes
// what F5 reads.
#pragma once

#include <SDL.h>

#include <string>
#include <vector>

#include "app/viewer/Controls.h"
#include "scene/ModelStage.h"

// The loader of a file: a scene file, or a model on its stage. A broken
// model shows its message and the stage when the viewer starts on it
// (ShowStage); F5 and drops refuse it, so that the scene on view stays.
SceneLoader sceneLoaderFor(const std::string& path, BrokenModel broken);

// The file named by an SDL_DROPFILE event, whose copy of the name it frees;
// empty for any other event. The event arrives while a render pass may be
// running: the file is opened later, between frames.
std::string takeDroppedFile(const SDL_Event& event);

// Opens the first of the files dropped together (one scene is on view at a
// time) and names the others in a notice; whether the first opened.
bool openDroppedFiles(const std::vector<std::string>& paths, Controls& controls);
