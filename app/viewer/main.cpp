// tresk: the interactive viewer. Asks whether to run fullscreen, opens the
// window with its GL context, and runs the message loop that draws one frame
// whenever no event is waiting and the window is visible.
//
//   tresk [scene-file | model-file]   (default "scene.txt" in the working directory)
//   tresk --help | --version
//
// The task scheduler needs no start-up: oneTBB starts its workers on the
// first render pass, one per hardware thread.
#include <SDL.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "app/Notify.h"
#include "app/viewer/AppWindow.h"
#include "app/viewer/FrontEnd.h"
#include "app/viewer/KeyTable.h"
#include "app/viewer/MessageBoxes.h"
#include "scene/DataFiles.h"
#include "scene/ModelFormats.h"

namespace {

// Exit codes: the window system could not be used at all, a window or
// context could not be made, or the scene could not be loaded.
constexpr int kExitNoWindowSystem = -1;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
const char* const kDefaultScene = "scene.txt";

// Columns of the help text.
constexpr int kHelpWidth = 79;

const char kUsageStart[] =
    R"(Usage: tresk [scene-file | model-file]

Opens a window on a Tresk scene and renders it interactively: look around
with the mouse, move with the keys, refine the picture progressively and
save it. At start it asks whether to run fullscreen.

  scene-file    the scene description (default: scene.txt in the working
                folder). Mesh and sky files named inside it are found
                relative to the scene file's folder.
  model-file    a model to look at, named with one of the endings
                )";
// Here the model files' endings, then:
const char kUsageOptions[] = R"( (in any letter case),
                stood on a floor under a sky.
  -h, --help    show this help and exit
  --version     show the version and exit

'--' ends the options, for a file whose name starts with '-'.

Keys and mouse:
)";

// After the key list.
const char kUsageEnd[] =
    R"(
The movement, light and exposure keys act while held, they and the mouse at
the interactive size only. The log goes to Log.txt in the working folder.
Without a display, tresk-render renders the same scene to a file. More in
"man tresk".

Exit status: 0 after Esc or closing the window; 1 when the scene could not
be loaded or no window could be opened; 2 for wrong arguments.
)";

// What the command line asks for: a scene to open (the default one when no
// file is named), or an answer printed before any window or display is
// touched.
struct Arguments {
    enum class Action { open, help, version, usageError } action = Action::open;
    const char* sceneFile = nullptr;
    std::string error;
};

Arguments readArguments(int argc, char** argv) {
    Arguments a;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool option = !optionsEnded && arg.size() > 1 && arg[0] == '-';
        if (option && arg == "--") {
            optionsEnded = true;
        } else if (option && (arg == "-h" || arg == "--help")) {
            a.action = Arguments::Action::help;
            return a;
        } else if (option && arg == "--version") {
            a.action = Arguments::Action::version;
        } else if (option) {
            a.error = "unknown option \"" + arg + "\"";
        } else if (a.sceneFile) {
            a.error = "more than one file given (\"" + std::string(a.sceneFile) + "\" and \"" +
                      arg + "\")";
        } else {
            a.sceneFile = argv[i];
        }
    }
    if (!a.error.empty()) a.action = Arguments::Action::usageError;
    return a;
}

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
    const Arguments arguments = readArguments(argc, argv);
    switch (arguments.action) {
        case Arguments::Action::help: {
            const std::string usage = kUsageStart + listOf(modelExtensions(), " or ") +
                                      kUsageOptions + keyListText(kHelpWidth) + kUsageEnd;
            std::fputs(usage.c_str(), stdout);
            return 0;
        }
        case Arguments::Action::version:
            std::printf("tresk %s\n", TRESK_VERSION);
            return 0;
        case Arguments::Action::usageError:
            std::fprintf(stderr, "tresk: %s\nTry 'tresk --help' for more information.\n",
                         arguments.error.c_str());
            return kExitUsage;
        case Arguments::Action::open:
            break;
    }
    if (arguments.sceneFile) {
        setSceneFile(arguments.sceneFile);
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
                     SDL_GetError(), arguments.sceneFile ? arguments.sceneFile : kDefaultScene);
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
    // Notices that do not stop loading (a missing mesh file) get a box too;
    // those that only inform go to stderr (the log has them as well).
    setNoticeHandler([](const std::string& text, const std::string& caption) {
        if (caption == kNoteCaption)
            std::fprintf(stderr, "tresk: %s\n", text.c_str());
        else if (caption == kOverlayCaption)
            showOverPicture(text);
        else
            showErrorBox(text, caption);
    });

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
