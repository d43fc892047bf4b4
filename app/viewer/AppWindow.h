// AppWindow: the viewer's window and its GL context on SDL, with the window
// procedure that keeps the KeyState, gathers the mouse's drags and wheel
// steps, tracks visibility and size, and turns closing into an orderly end
// of the program.
#pragma once

#include <SDL.h>

#include <cstdint>
#include <string>
#include <vector>

#include "app/viewer/FrameClock.h"
#include "app/viewer/KeyState.h"
#include "app/viewer/PointerMotion.h"

struct AppWindow {
    KeyState* keys = nullptr;
    SDL_Window* window = nullptr;
    SDL_GLContext glContext = nullptr;
    const char* title = "Tresk";
    int width = 640;  // requested client size
    int height = 480;
    int bitsPerPixel = 32;
    bool fullscreen = false;
    bool visible = false;       // shown and not minimised
    bool exposed = false;       // the window asked to be drawn again
    bool uncovered = false;     // shown, uncovered or restored since the controls last looked
    bool quitReceived = false;  // the private quit event arrived: the message loop ends
    std::vector<std::string> droppedFiles;  // dropped on the window, for the next frame
    PointerMotion motion;                   // drags and wheel steps, for the next frame
    FrameClock clock;                       // started when the window is created
};

// The program's private events: the toggle that recreates the window with
// the opposite fullscreen choice, and the request that ends the message loop.
struct WindowEvents {
    uint32_t toggleFullscreen = 0;
    uint32_t quit = 0;
};

// Registers the two private event types; false when SDL has none left.
bool registerWindowEvents();
const WindowEvents& windowEvents();

// Process-wide flags of the outer loop.
extern bool keepRunning;
extern bool fullscreenRequested;

// Creates the window and its double-buffered compatibility GL context,
// switching the display mode for fullscreen (falling back to a window with a
// message when that fails). On failure undoes what it did and returns false.
bool createAppWindow(AppWindow* w);
// Releases the context and the window and restores the display. Always true.
bool destroyAppWindow(AppWindow* w);
// Switches the window's display to width × height at the given depth.
bool changeDisplayMode(SDL_Window* window, int width, int height, int bitsPerPixel);
// Viewport and a projection on which the unit square fills the client area.
void resizeView(int width, int height);
// The picture spans 80 degrees both ways: it is drawn into the largest
// centred square of the client area, the rest stays the clear colour.
void pictureViewport();
// The whole client area again, for the overlay.
void windowViewport();
// Posts the private quit event and stops the outer loop.
void requestQuit(AppWindow* w);
// The window procedure: handles one event of the message loop.
void handleWindowEvent(AppWindow* w, const SDL_Event& event);
// Handles every waiting event; the private quit event sets quitReceived.
void dispatchEvents(AppWindow* w);
// The virtual-key code of an SDL key, or -1 for keys without one, by the
// key's kind (number row, letter, function key, control key): the viewer's
// own keys are named in the key table alone. Digits come from the key's
// position, letters from the layout; Home has the code KeyState names.
int virtualKeyOf(const SDL_Keysym& keysym);
