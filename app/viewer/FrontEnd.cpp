#include "app/viewer/FrontEnd.h"

#include <FreeImage.h>
#include <SDL_opengl.h>

#include <algorithm>
#include <cstdio>
#include <utility>
#include <vector>

#include "app/viewer/BitmapFont.h"
#include "app/viewer/Controls.h"
#include "app/viewer/FileDrop.h"
#include "app/viewer/MessageBoxes.h"
#include "render/Renderer.h"
#include "scene/ModelFormats.h"

namespace {

// Em height of the overlay font in pixels.
constexpr int kFontHeight = 14;
// The key panel starts below the frames-per-second line, this far from the
// window's left edge and top (pixels).
constexpr int kPanelMargin = 24;
constexpr int kPanelTop = 48;

std::string gSceneFile = "scene.txt";
AppWindow* gWindow = nullptr;
Controls gControls;
GLuint gStillTexture = 0;
GLuint gInteractiveTexture = 0;

// An RGB texture of the given size without data, filtered linearly and
// clamped at its edges (wrapping would blend the top row with the bottom).
void allocateTexture(GLuint texture, int width, int height) {
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, width, height, 0, GL_RGB, GL_FLOAT, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_S, GL_CLAMP_TO_EDGE);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_WRAP_T, GL_CLAMP_TO_EDGE);
}

// The controls' view of the window and the GL display.
class GlHost : public ViewerHost {
public:
    uint32_t ticks() override { return SDL_GetTicks(); }
    // Events while a pass runs; an exposed window gets the last finished
    // picture again.
    bool pumpEvents() override {
        dispatchEvents(gWindow);
        if (gWindow->exposed && gWindow->visible && gControls.hasPicture()) {
            Draw();
            SDL_GL_SwapWindow(gWindow->window);
            gWindow->exposed = false;
        }
        return keepRunning;
    }
    void requestQuit() override { ::requestQuit(gWindow); }
    void showError(const std::string& text, const std::string& caption) override {
        showErrorBox(text, caption);
    }
    void createTextures(int interactiveWidth, int interactiveHeight, int stillWidth,
                        int stillHeight) override {
        glEnable(GL_TEXTURE_2D);
        if (gStillTexture == 0) glGenTextures(1, &gStillTexture);
        if (gInteractiveTexture == 0) glGenTextures(1, &gInteractiveTexture);
        allocateTexture(gStillTexture, stillWidth, stillHeight);
        allocateTexture(gInteractiveTexture, interactiveWidth, interactiveHeight);
    }
    void bindTexture(ImageSize size) override {
        glBindTexture(GL_TEXTURE_2D,
                      size == ImageSize::still ? gStillTexture : gInteractiveTexture);
    }
    void uploadImage(const float* rgb, int width, int height) override {
        glTexSubImage2D(GL_TEXTURE_2D, 0, 0, 0, width, height, GL_RGB, GL_FLOAT, rgb);
    }
    // Window coordinates from the pointer's screen position, read from the
    // display itself so that a warp of the previous frame is already seen.
    CursorPoint cursorPosition() override {
        int x = 0, y = 0, windowX = 0, windowY = 0;
        SDL_GetGlobalMouseState(&x, &y);
        SDL_GetWindowPosition(gWindow->window, &windowX, &windowY);
        return {x - windowX, y - windowY};
    }
    void placeCursor(int x, int y) override { SDL_WarpMouseInWindow(gWindow->window, x, y); }
    // SDL takes a new place or size of the window from the X server as soon
    // as it reads it, possibly before the window event reaches the loop: the
    // place is compared here, where the pointer's window coordinates come from.
    bool takeWindowChange() override {
        SDL_Rect place = {};
        SDL_GetWindowPosition(gWindow->window, &place.x, &place.y);
        SDL_GetWindowSize(gWindow->window, &place.w, &place.h);
        const bool moved = !SDL_RectEquals(&place, &place_);
        place_ = place;
        return std::exchange(gWindow->uncovered, false) || moved;
    }
    PointerMotion takePointerMotion() override { return std::exchange(gWindow->motion, {}); }
    bool pointerMotionWaiting() override { return gWindow->motion.any(); }
    // A fullscreen window hides the cursor, unless the user points with it.
    void setCursorFree(bool free) override {
        if (gWindow->fullscreen) SDL_ShowCursor(free ? SDL_ENABLE : SDL_DISABLE);
    }
    CursorPoint clientCentre() override {
        int width = 0, height = 0;
        SDL_GetWindowSize(gWindow->window, &width, &height);
        return {width / 2, height / 2};
    }

private:
    SDL_Rect place_ = {};  // the window's place and size when the controls last looked
};

GlHost gHost;

// One line of overlay text in magenta, from (x, y) of the window.
void overlayLine(float x, float y, const char* text) {
    glColor3f(1.f, 0.f, 1.f);
    glDisable(GL_TEXTURE_2D);
    glRasterPos2f(x, y);
    printText("%s", text);
    glColor3f(1.f, 1.f, 1.f);
    glEnable(GL_TEXTURE_2D);
}

// Characters of the overlay font (0.6 em wide) on a line of this many pixels.
size_t textColumns(int pixels) { return size_t(std::max(8, pixels * 10 / (kFontHeight * 6))); }

// The text in lines of at most columns characters, broken at spaces where
// it can be.
std::vector<std::string> wrapped(const std::string& text, size_t columns) {
    std::vector<std::string> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = std::min(text.size(), at + columns);
        if (end < text.size()) {
            const size_t space = text.rfind(' ', end);
            if (space != std::string::npos && space > at) end = space;
        }
        lines.push_back(text.substr(at, end - at));
        at = end + (end < text.size() && text[end] == ' ');
    }
    return lines;
}

// A notice near the bottom, wrapped to the window's width, at either size.
void drawNotice(const std::string& notice) {
    int width = 0, height = 0;
    SDL_GetWindowSize(gWindow->window, &width, &height);
    if (width <= 0 || height <= 0) return;
    const std::vector<std::string> lines = wrapped(notice, textColumns(width * 9 / 10));
    const float lineHeight = float(kFontHeight + 2) / float(height);
    float y = 0.05f + lineHeight * float(lines.size() - 1);
    for (const std::string& line : lines) {
        overlayLine(0.05f, y, line.c_str());
        y -= lineHeight;
    }
}

// The key table over a dark box from the top left of the window, one line
// per key, as many as the window's height holds.
void drawKeyPanel() {
    int width = 0, height = 0;
    SDL_GetWindowSize(gWindow->window, &width, &height);
    if (width <= 0 || height <= 0) return;
    const float lineHeight = float(kFontHeight + 2) / float(height);
    const size_t columns = textColumns(width - 2 * kPanelMargin);
    const std::vector<std::string> lines = keyPanelLines(columns);
    const float top = 1.f - float(kPanelTop) / float(height);
    const float bottom = std::max(0.f, top - lineHeight * (float(lines.size()) + 0.5f));
    const float left = float(kPanelMargin) / float(width);
    glDisable(GL_TEXTURE_2D);
    glColor3f(0.f, 0.f, 0.f);
    glRectf(left * 0.5f, bottom, 1.f - left * 0.5f, top + lineHeight * 0.25f);
    glEnable(GL_TEXTURE_2D);
    float y = top - lineHeight;
    for (const std::string& line : lines) {
        if (y < bottom) break;
        overlayLine(left, y, line.c_str());
        y -= lineHeight;
    }
}

}  // namespace

void setSceneFile(const std::string& fileName) { gSceneFile = fileName; }

bool Initialise(AppWindow* window, KeyState* keys) {
    gWindow = window;
    createFont(kFontHeight);
    FreeImage_Initialise(FALSE);

    if (gControls.sceneLoaded()) {
        // A window made anew (fullscreen toggled): the scene stays.
        gControls.attachWindow(gHost, *keys);
    } else {
        const bool loaded = gControls.initialise(
            gHost, *keys, sceneLoaderFor(gSceneFile, BrokenModel::ShowStage),
            sceneLoaderFor(gSceneFile, BrokenModel::Refuse), modelFormatOf(gSceneFile) != nullptr);
        if (!loaded) return false;
    }

    glClearColor(0.f, 0.f, 0.f, 0.5f);
    glClearDepth(1.0);
    glDepthFunc(GL_LEQUAL);
    glEnable(GL_DEPTH_TEST);
    glShadeModel(GL_SMOOTH);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
    return true;
}

void Update(uint32_t elapsed) {
    // Files dropped on the window, opened between frames, never in a pass.
    if (!gWindow->droppedFiles.empty()) {
        const std::vector<std::string> paths = std::move(gWindow->droppedFiles);
        gWindow->droppedFiles.clear();
        if (openDroppedFiles(paths, gControls)) gSceneFile = paths.front();
    }
    gControls.update(elapsed);
}

bool Idle() { return gControls.idle(); }

void Draw() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glLoadIdentity();
    glTranslatef(0.f, 0.f, 0.f);

    // Texture row 0 (the image's bottom row) at the bottom of the square.
    pictureViewport();
    glBegin(GL_QUADS);
    glTexCoord2f(0.f, 1.f);
    glVertex3f(0.f, 1.f, -0.1f);
    glTexCoord2f(0.f, 0.f);
    glVertex3f(0.f, 0.f, -0.1f);
    glTexCoord2f(1.f, 0.f);
    glVertex3f(1.f, 0.f, -0.1f);
    glTexCoord2f(1.f, 1.f);
    glVertex3f(1.f, 1.f, -0.1f);
    glEnd();
    windowViewport();

    if (gControls.interactiveMode()) {
        glTranslatef(0.f, 0.f, -0.02f);
        char line[64];
        std::snprintf(line, sizeof line, "[Tresk] FPS: %.4f", double(gControls.framesPerSecond()));
        overlayLine(0.05f, 0.95f, line);
    }
    if (gControls.panelShown()) drawKeyPanel();
    const std::string notice = gControls.notice();
    if (!notice.empty()) drawNotice(notice);
    glFlush();
}

void showOverPicture(const std::string& text) { gControls.showNotice(text); }

void Shutdown() {
    destroyFont();
    if (gStillTexture != 0) glDeleteTextures(1, &gStillTexture);
    if (gInteractiveTexture != 0) glDeleteTextures(1, &gInteractiveTexture);
    gStillTexture = gInteractiveTexture = 0;
    FreeImage_DeInitialise();
}
