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

// Handles an SDL_DROPFILE event (and frees the name it carries); returns
// false, doing nothing, for any other event. opened receives the name of a
// file that opened.
bool handleFileDrop(SDL_Event& event, Controls& controls, std::string& opened);
