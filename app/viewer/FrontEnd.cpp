#include "app/viewer/FrontEnd.h"

#include <FreeImage.h>
#include <SDL_opengl.h>

#include "app/viewer/BitmapFont.h"
#include "app/viewer/Controls.h"
#include "app/viewer/MessageBoxes.h"
#include "render/Renderer.h"
#include "scene/SceneReader.h"

namespace {

// Em height of the overlay font in pixels.
constexpr int kFontHeight = 14;

std::string gSceneFile = "scene.txt";
AppWindow* gWindow = nullptr;
Controls gControls;
GLuint gStillTexture = 0;
GLuint gInteractiveTexture = 0;

// An RGB texture of the given size without data, filtered linearly.
void allocateTexture(GLuint texture, int width, int height) {
    glBindTexture(GL_TEXTURE_2D, texture);
    glTexImage2D(GL_TEXTURE_2D, 0, GL_RGB, width, height, 0, GL_RGB, GL_FLOAT, nullptr);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MIN_FILTER, GL_LINEAR);
    glTexParameteri(GL_TEXTURE_2D, GL_TEXTURE_MAG_FILTER, GL_LINEAR);
}

// The controls' view of the window and the GL display.
class GlHost : public ViewerHost {
public:
    uint32_t ticks() override { return SDL_GetTicks(); }
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
};

GlHost gHost;

}  // namespace

void setSceneFile(const std::string& fileName) { gSceneFile = fileName; }

bool Initialise(AppWindow* window, KeyState* keys) {
    gWindow = window;
    createFont(kFontHeight);
    FreeImage_Initialise(FALSE);

    const std::string file = gSceneFile;
    const bool loaded = gControls.initialise(gHost, *keys, [file](std::string& error) {
        return readScene(*Renderer::instance(), file, error);
    });
    if (!loaded) return false;

    glClearColor(0.f, 0.f, 0.f, 0.5f);
    glClearDepth(1.0);
    glDepthFunc(GL_LEQUAL);
    glEnable(GL_DEPTH_TEST);
    glShadeModel(GL_SMOOTH);
    glHint(GL_PERSPECTIVE_CORRECTION_HINT, GL_NICEST);
    return true;
}

void Update(uint32_t elapsed) { gControls.update(elapsed); }

void Draw() {
    glClear(GL_COLOR_BUFFER_BIT | GL_DEPTH_BUFFER_BIT);
    glLoadIdentity();
    glTranslatef(0.f, 0.f, 0.f);

    // Texture row 0 (the image's bottom row) at the bottom of the window.
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

    if (gControls.interactiveMode()) {
        glTranslatef(0.f, 0.f, -0.02f);
        glColor3f(1.f, 0.f, 1.f);
        glDisable(GL_TEXTURE_2D);
        glRasterPos2f(0.05f, 0.95f);
        printText("[Tresk] FPS: %.4f", double(gControls.framesPerSecond()));
        glColor3f(1.f, 1.f, 1.f);
        glEnable(GL_TEXTURE_2D);
    }
    glFlush();
}

void Shutdown() {
    destroyFont();
    if (gStillTexture != 0) glDeleteTextures(1, &gStillTexture);
    if (gInteractiveTexture != 0) glDeleteTextures(1, &gInteractiveTexture);
    gStillTexture = gInteractiveTexture = 0;
    FreeImage_DeInitialise();
}
