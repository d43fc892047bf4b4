// tresk: the interactive viewer. Asks whether to run fullscreen, opens the
// window with its GL context, and runs the message loop that draws one frame
// whenever no event is waiting and the window is visible.
//
//   tresk [scene-file | model-file]   (default "scene.txt" in the working directory)
//
// The task scheduler needs no start-up: oneTBB starts its workers on the
// first render pass, one per hardware thread.
#include <SDL.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "app/viewer/AppWindow.h"
#include "app/viewer/FrontEnd.h"
#include "app/viewer/MessageBoxes.h"
#include "core/Notify.h"
#include "scene/DataFiles.h"

namespace {

// Exit codes: the window system could not be used at all, a window or
// context could not be made, or the scene could not be loaded.
constexpr int kExitNoWindowSystem = -1;
constexpr int kExitFailure = 1;
const char* const kDefaultScene = "scene.txt";

// SDL falls back to video drivers that show nothing (off-screen, dummy)
// when there is no display; the viewer would then render unseen.
bool displayUsable() {
    const char* driver = SDL_GetCurrentVideoDriver();
    return driver && std::strcmp(driver, "offscreen") != 0 && std::strcmp(driver, "dummy") != 0;
}

// A busy X server can refuse a new connection for a moment (SDL then falls
// back to a driver that shows nothing); the display counts as unusable only
// when it is refused several times.
bool startVideo() {
    constexpr int kAttempts = 3;
    for (int attempt = 1;; ++attempt) {
        if (SDL_InitSubSystem(SDL_INIT_VIDEO) == 0) {
            if (displayUsable()) return true;
            SDL_QuitSubSystem(SDL_INIT_VIDEO);
            SDL_SetError("no window system found");
        }
        if (attempt == kAttempts) return false;
        SDL_Delay(100);
    }
}

// Longest sleep of an idle viewer: frames still come four times a second,
// so the frames-per-second line, refreshed every half second, keeps showing
// the idle rate; a sanitizer build at rest stays well under a tenth of a core.
constexpr int kIdleWaitMs = 250;

// Dispatches the waiting events, then draws a frame, until the quit event
// arrives (also while a render pass ran within the frame). When nothing but
// an event can change the picture, it sleeps until one comes.
void runMessageLoop(AppWindow* window) {
    for (;;) {
        dispatchEvents(window);
        if (window->quitReceived) return;
        if (window->visible) {
            Update(window->clock.tick(SDL_GetTicks()));
            Draw();
            SDL_GL_SwapWindow(window->window);
            window->exposed = false;
            if (Idle()) SDL_WaitEventTimeout(nullptr, kIdleWaitMs);
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
        std::fprintf(stderr, "usage: %s [scene-file | model-file]\n", argv[0]);
        return 2;
    }
    if (argc == 2) {
        setSceneFile(argv[1]);
    } else if (::access(kDefaultScene, F_OK) != 0) {
        // Started without a scene: say how to start instead of failing on it.
        showErrorBox(startHelp("tresk", kDefaultScene), "Tresk");  // stderr too
        return kExitFailure;
    }

    // Without a display there is nothing to ask or show: say so at once.
    if (!startVideo()) {
        std::fprintf(stderr,
                     "tresk: no display to open a window on (%s).\n"
                     "To render without a window, use tresk-render, for example:\n"
                     "  tresk-render %s -o picture.png\n",
                     SDL_GetError(), argc == 2 ? argv[1] : "scene.txt");
        SDL_Quit();
        return kExitFailure;
    }

    static KeyState keys;
    AppWindow window;
    window.keys = &keys;
    window.fullscreen = true;

    if (!askYesNo("Would You Like To Run In Fullscreen Mode?", "Start FullScreen?")) {
        window.fullscreen = false;
    }

    if (!registerWindowEvents()) {
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
