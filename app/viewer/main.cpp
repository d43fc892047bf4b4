// tresk: the interactive viewer. Asks whether to run fullscreen, opens the
// window with its GL context, and runs the message loop that draws one frame
// whenever no event is waiting and the window is visible.
//
//   tresk [scene-file]     (default "scene.txt" in the working directory)
//
// The task scheduler needs no start-up: oneTBB starts its workers on the
// first render pass, one per hardware thread.
#include <SDL.h>

#include <cstdio>
#include <cstring>

#include "app/viewer/AppWindow.h"
#include "app/viewer/FrontEnd.h"
#include "app/viewer/MessageBoxes.h"
#include "core/Notify.h"

namespace {

// Exit codes: the window system could not be used at all, a window or
// context could not be made, or the scene could not be loaded.
constexpr int kExitNoWindowSystem = -1;
constexpr int kExitFailure = 1;

// A busy X server can refuse a new connection for a moment; the window
// system counts as unusable only when it refuses several times.
bool startVideo() {
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) == 0) return true;
        if (attempt == kAttempts) return false;
        SDL_Delay(100);
    }
}

// Dispatches events and draws frames until the quit event arrives.
void runMessageLoop(AppWindow* window) {
    const uint32_t quitEvent = windowEvents().quit;
    for (;;) {
        SDL_Event event;
        if (SDL_PollEvent(&event)) {
            if (event.type == quitEvent) return;
            handleWindowEvent(window, event);
        } else if (window->visible) {
            Update(window->clock.tick(SDL_GetTicks()));
            Draw();
            SDL_GL_SwapWindow(window->window);
        } else {
            SDL_WaitEvent(nullptr);  // minimised: sleep until something happens
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("tresk %s\n", TRESK_VERSION);
        return 0;
    }
    if (argc > 2) {
        std::fprintf(stderr, "usage: %s [scene-file]\n", argv[0]);
        return 2;
    }
    if (argc == 2) setSceneFile(argv[1]);

    static KeyState keys;
    AppWindow window;
    window.keys = &keys;
    window.fullscreen = true;

    if (!askYesNo("Would You Like To Run In Fullscreen Mode?", "Start FullScreen?")) {
        window.fullscreen = false;
    }

    if (!startVideo() || !registerWindowEvents()) {
        std::fprintf(stderr, "tresk: %s\n", SDL_GetError());
        showErrorBox("RegisterClassEx Failed!", "Error");
        showErrorBox("Error Registering Window Class!", "Error");
        SDL_Quit();
        return kExitNoWindowSystem;
    }
    // Notices that do not stop loading (a missing mesh file) get a box too.
    setNoticeHandler(
        [](const std::string& text, const std::string& caption) { showErrorBox(text, caption); });

    int exitCode = 0;
    keepRunning = true;
    fullscreenRequested = window.fullscreen;
    while (keepRunning) {
        window.fullscreen = fullscreenRequested;
        if (!createAppWindow(&window)) {
            showErrorBox("Error Creating OpenGL Window", "Error");
            keepRunning = false;
            exitCode = kExitFailure;
            break;
        }
        if (Initialise(&window, &keys)) {
            runMessageLoop(&window);
        } else {
            requestQuit(&window);
            exitCode = kExitFailure;
        }
        Shutdown();
        destroyAppWindow(&window);
    }

    setNoticeHandler(nullptr);
    SDL_Quit();
    return exitCode;
}
