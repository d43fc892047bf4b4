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
void Update(uint32_t elapsed);
// True when only an event can change the picture.
bool Idle();
void Draw();
void Shutdown();

// A line over the picture for a few seconds (a texture that could not be
// used), at either size.
void showOverPicture(const std::string& text);
