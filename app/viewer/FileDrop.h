// A file dropped on the viewer's window (SDL's drop event) opens in place of
// the current scene, as F5 reloads: a scene file, or a model file (told by
// its extension) on its stage. A file that cannot be opened leaves the
// current scene and says why in an "Error" box; one that opened becomes
// what F5 reads.
#pragma once

#include <SDL.h>

#include <string>

#include "app/viewer/Controls.h"

// The loader of a file given at start or opened by a drop: a scene file, or
// a model on its stage (a broken model shows its message and the stage).
SceneLoader sceneLoaderFor(const std::string& path);

// The file named by an SDL_DROPFILE event, whose copy of the name it frees;
// empty for any other event. The event arrives while a render pass may be
// running: the file is opened later, between frames.
std::string takeDroppedFile(const SDL_Event& event);

// Opens a dropped file; whether it opened.
bool openDroppedFile(const std::string& path, Controls& controls);
