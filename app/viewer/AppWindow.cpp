#include "app/viewer/AppWindow.h"

#include <SDL_opengl.h>

#include <algorithm>
#include <cstdio>

#include "app/viewer/FileDrop.h"
#include "app/viewer/MessageBoxes.h"

bool keepRunning = false;
bool fullscreenRequested = false;

namespace {

WindowEvents gEvents;
// The client area in pixels, as resizeView last set it.
int gViewWidth = 0;
int gViewHeight = 0;

// Near plane of the display projection, in single precision.
constexpr float kNearPlane = -0.01f;

void setGlAttributes(int bitsPerPixel) {
    // 32 bits per pixel: 8 bits for each of R, G, B and A.
    const int channelBits = bitsPerPixel >= 32 ? 8 : 5;
    SDL_GL_SetAttribute(SDL_GL_RED_SIZE, channelBits);
    SDL_GL_SetAttribute(SDL_GL_GREEN_SIZE, channelBits);
    SDL_GL_SetAttribute(SDL_GL_BLUE_SIZE, channelBits);
    SDL_GL_SetAttribute(SDL_GL_ALPHA_SIZE, bitsPerPixel >= 32 ? 8 : 0);
    SDL_GL_SetAttribute(SDL_GL_DOUBLEBUFFER, 1);
    SDL_GL_SetAttribute(SDL_GL_DEPTH_SIZE, 16);
    SDL_GL_SetAttribute(SDL_GL_STENCIL_SIZE, 1);
    // The display uses fixed-function calls: a compatibility context.
    SDL_GL_SetAttribute(SDL_GL_CONTEXT_PROFILE_MASK, SDL_GL_CONTEXT_PROFILE_COMPATIBILITY);
}

void undoWindow(AppWindow* w) {
    if (w->glContext) {
        SDL_GL_MakeCurrent(w->window, nullptr);
        SDL_GL_DeleteContext(w->glContext);
        w->glContext = nullptr;
    }
    if (w->window) {
        SDL_DestroyWindow(w->window);
        w->window = nullptr;
    }
}

// Window events after which the pointer may be off the client area's centre
// though the mouse did not move in the window: it was hidden, covered or
// minimised meanwhile. (A move or resize the host sees by itself.)
bool uncovers(uint8_t windowEvent) {
    switch (windowEvent) {
        case SDL_WINDOWEVENT_SHOWN:
        case SDL_WINDOWEVENT_EXPOSED:
        case SDL_WINDOWEVENT_RESTORED:
            return true;
        default:
            return false;
    }
}

// A left-button drag turns, a right- or middle-button one pans; a wheel that
// the system reverses ("natural" scrolling) counts as the hand moved.
void gatherMotion(PointerMotion& m, const SDL_Event& event) {
    if (event.type == SDL_MOUSEWHEEL) {
        const int steps = event.wheel.y;
        m.wheel += event.wheel.direction == SDL_MOUSEWHEEL_FLIPPED ? -steps : steps;
        return;
    }
    const SDL_MouseMotionEvent& e = event.motion;
    if (e.state & SDL_BUTTON_LMASK) {
        m.turnX += e.xrel;
        m.turnY += e.yrel;
    } else if (e.state & (SDL_BUTTON_RMASK | SDL_BUTTON_MMASK)) {
        m.panX += e.xrel;
        m.panY += e.yrel;
    }
}

}  // namespace

bool registerWindowEvents() {
    const uint32_t first = SDL_RegisterEvents(2);
    if (first == uint32_t(-1)) return false;
    gEvents.toggleFullscreen = first;
    gEvents.quit = first + 1;
    return true;
}

const WindowEvents& windowEvents() { return gEvents; }

bool changeDisplayMode(SDL_Window* window, int width, int height, int bitsPerPixel) {
    const int display = SDL_GetWindowDisplayIndex(window);
    if (display < 0) return false;
    SDL_DisplayMode wanted = {};
    wanted.format = bitsPerPixel >= 24 ? SDL_PIXELFORMAT_RGB888 : SDL_PIXELFORMAT_RGB565;
    wanted.w = width;
    wanted.h = height;
    SDL_DisplayMode closest = {};
    // Only the exact size counts as a switch, like a display-mode change.
    if (!SDL_GetClosestDisplayMode(display, &wanted, &closest)) return false;
    if (closest.w != width || closest.h != height) return false;
    if (SDL_SetWindowDisplayMode(window, &closest) != 0) return false;
    return SDL_SetWindowFullscreen(window, SDL_WINDOW_FULLSCREEN) == 0;
}

bool createAppWindow(AppWindow* w) {
    setGlAttributes(w->bitsPerPixel);
    w->window = SDL_CreateWindow(w->title, 0, 0, w->width, w->height,
                                 SDL_WINDOW_OPENGL | SDL_WINDOW_HIDDEN | SDL_WINDOW_RESIZABLE);
    if (!w->window) {
        std::fprintf(stderr, "tresk: no window: %s\n", SDL_GetError());
        return false;
    }
    if (w->fullscreen) {
        if (changeDisplayMode(w->window, w->width, w->height, w->bitsPerPixel)) {
            SDL_ShowCursor(SDL_DISABLE);
        } else {
            showErrorBox("Mode Switch Failed.\nRunning In Windowed Mode.", "Error");
            w->fullscreen = false;
        }
    }
    w->glContext = SDL_GL_CreateContext(w->window);
    if (!w->glContext || SDL_GL_MakeCurrent(w->window, w->glContext) != 0) {
        std::fprintf(stderr, "tresk: no OpenGL context: %s\n", SDL_GetError());
        undoWindow(w);
        return false;
    }
    SDL_ShowWindow(w->window);
    w->visible = true;
    int drawableWidth = w->width;
    int drawableHeight = w->height;
    SDL_GL_GetDrawableSize(w->window, &drawableWidth, &drawableHeight);
    resizeView(drawableWidth, drawableHeight);
    w->keys->clear();
    w->motion = PointerMotion();
    w->quitReceived = false;
    w->exposed = false;
    w->clock.start(SDL_GetTicks());
    return true;
}

bool destroyAppWindow(AppWindow* w) {
    undoWindow(w);
    // Destroying a fullscreen window gives the display its own mode back.
    if (w->fullscreen) SDL_ShowCursor(SDL_ENABLE);
    return true;
}

void resizeView(int width, int height) {
    gViewWidth = width;
    gViewHeight = height;
    glViewport(0, 0, width, height);
    glMatrixMode(GL_PROJECTION);
    glLoadIdentity();
    glOrtho(0.0, 1.0, 0.0, 1.0, double(kNearPlane), 1.0);
    glMatrixMode(GL_MODELVIEW);
    glLoadIdentity();
}

void requestQuit(AppWindow* /*w*/) {
    SDL_Event event = {};
    event.type = gEvents.quit;
    SDL_PushEvent(&event);
    keepRunning = false;
}

void pictureViewport() {
    const int side = std::min(gViewWidth, gViewHeight);
    glViewport((gViewWidth - side) / 2, (gViewHeight - side) / 2, side, side);
}

void windowViewport() { glViewport(0, 0, gViewWidth, gViewHeight); }

int virtualKeyOf(const SDL_Keysym& keysym) {
    // The number row by position: on layouts such as AZERTY its keys give
    // other symbols without Shift, yet they are the digit keys.
    if (keysym.scancode >= SDL_SCANCODE_1 && keysym.scancode <= SDL_SCANCODE_9)
        return '1' + int(keysym.scancode - SDL_SCANCODE_1);
    if (keysym.scancode == SDL_SCANCODE_0) return '0';
    const SDL_Keycode key = keysym.sym;
    if (key >= SDLK_a && key <= SDLK_z) return 'A' + int(key - SDLK_a);
    if (key >= SDLK_F1 && key <= SDLK_F12) return VirtualKey::kF1 + int(key - SDLK_F1);
    if (key == SDLK_HOME) return VirtualKey::kHome;
    // Backspace, Tab, Return, Esc and Space, the keys SDL codes as their
    // characters up to the space: the same numbers are their virtual-key codes.
    if (key > 0 && key <= SDLK_SPACE) return int(key);
    return -1;
}

void handleWindowEvent(AppWindow* w, const SDL_Event& event) {
    if (event.type == gEvents.toggleFullscreen) {
        fullscreenRequested = !fullscreenRequested;
        SDL_Event quit = {};
        quit.type = gEvents.quit;
        SDL_PushEvent(&quit);
        return;
    }
    switch (event.type) {
        case SDL_DROPFILE:
            w->droppedFiles.push_back(takeDroppedFile(event));
            break;
        case SDL_MOUSEMOTION:
        case SDL_MOUSEWHEEL:
            gatherMotion(w->motion, event);
            break;
        case SDL_QUIT:  // the session or a signal asks the program to end
            requestQuit(w);
            break;
        case SDL_KEYDOWN:
        case SDL_KEYUP: {
            const bool down = event.type == SDL_KEYDOWN;
            w->keys->set(virtualKeyOf(event.key.keysym), down);
            // Alt+Enter toggles fullscreen through the private event.
            if (down && !event.key.repeat && event.key.keysym.sym == SDLK_RETURN &&
                (event.key.keysym.mod & KMOD_ALT)) {
                SDL_Event toggle = {};
                toggle.type = gEvents.toggleFullscreen;
                SDL_PushEvent(&toggle);
            }
            break;
        }
        case SDL_WINDOWEVENT:
            if (uncovers(event.window.event)) w->uncovered = true;
            switch (event.window.event) {
                case SDL_WINDOWEVENT_MINIMIZED:
                    w->visible = false;
                    break;
                case SDL_WINDOWEVENT_RESTORED:
                case SDL_WINDOWEVENT_MAXIMIZED: {
                    w->visible = true;
                    int width = w->width;
                    int height = w->height;
                    SDL_GL_GetDrawableSize(w->window, &width, &height);
                    resizeView(width, height);
                    break;
                }
                case SDL_WINDOWEVENT_SIZE_CHANGED:
                    resizeView(event.window.data1, event.window.data2);
                    break;
                case SDL_WINDOWEVENT_FOCUS_LOST:
                    // Key releases while another window has the focus never
                    // arrive here; a key left "held" would act forever.
                    w->keys->releaseAll();
                    break;
                case SDL_WINDOWEVENT_CLOSE:
                    requestQuit(w);
                    break;
                case SDL_WINDOWEVENT_EXPOSED:
                    w->exposed = true;
                    break;
                default:
                    break;
            }
            break;
        default:
            break;
    }
}

void dispatchEvents(AppWindow* w) {
    SDL_Event event;
    while (SDL_PollEvent(&event)) {
        if (event.type == gEvents.quit)
            w->quitReceived = true;
        else
            handleWindowEvent(w, event);
    }
}
