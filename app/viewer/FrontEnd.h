// The front end's four steps, called by the message loop: Initialise once
// per window, Update and Draw once per frame, Shutdown before the window
// goes. The logic lives in Controls; this layer adds the GL display (two
// float RGB textures, one quad, the frames-per-second overlay).
#pragma once

#include <cstdint>
#include <string>

#include "app/viewer/AppWindow.h"

// The scene file that Initialise (and F5) reads.
void setSceneFile(const std::string& fileName);

bool Initialise(AppWindow* window, KeyState* keys);
// Opens a file dropped on the window; false for events that are no drop.
bool handleDrop(SDL_Event& event);
void Update(uint32_t elapsed);
void Draw();
void Shutdown();
