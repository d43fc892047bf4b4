#include "app/viewer/Controls.h"

#include <algorithm>
#include <utility>

#include "core/Logger.h"
#include "render/Renderer.h"

namespace {

// Message when the process cannot even hold the Renderer.
const char* const kNoMemory = "Not enough memory to start the renderer.";

}  // namespace

bool Controls::initialise(ViewerHost& host, const KeyState& keys, SceneLoader loader) {
    host_ = &host;
    keys_ = &keys;
    loader_ = std::move(loader);
    sceneLoaded_ = false;
    progressiveMode_ = false;
    spaceHeld_ = false;
    reloadHeld_ = false;
    fpsElapsed_ = 0.f;
    framesPerSecond_ = 0.f;

    Renderer* renderer = Renderer::instance();
    if (!renderer) {
        host.showError(kNoMemory, "Error");
        return false;
    }
    std::string error;
    if (!loader_(error)) {
        host.showError(error, "Error");
        return false;
    }
    sceneLoaded_ = true;
    copySizes();
    host.placeCursor(interactiveWidth_ / 2, interactiveHeight_ / 2);
    host.createTextures(interactiveWidth_, interactiveHeight_, stillWidth_, stillHeight_);

    const uint32_t t0 = host.ticks();
    renderer->render();
    const uint32_t t1 = host.ticks();

    host.bindTexture(ImageSize::interactive);
    uploadActive();
    Logger::instance()->write("Rendering Time: " + toText(float(t1 - t0)));
    return true;
}

bool Controls::interactiveMode() const {
    const Renderer* renderer = Renderer::instance();
    return sceneLoaded_ && renderer && !renderer->stillMode();
}

void Controls::copySizes() {
    const Renderer& r = *Renderer::instance();
    interactiveWidth_ = r.interactiveGeometry().width;
    interactiveHeight_ = r.interactiveGeometry().height;
    stillWidth_ = r.stillGeometry().width;
    stillHeight_ = r.stillGeometry().height;
}

void Controls::uploadActive() {
    const Renderer& r = *Renderer::instance();
    host_->uploadImage(r.displayBuffer(), r.geometry().width, r.geometry().height);
}

void Controls::switchSize(ImageSize size) {
    Renderer& r = *Renderer::instance();
    r.setStillMode(size == ImageSize::still);
    host_->bindTexture(size);
    r.sampleCount = 1.f;
    r.clearRadiance();
    r.render();
    uploadActive();
}

// Reads the scene file again (the reader disposes of the earlier scene) and
// renders both sizes, the one in use last so that it stays active.
void Controls::reloadScene() {
    const bool wasStill = Renderer::instance()->stillMode();
    std::string error;
    if (!loader_(error)) {
        // Nothing is loaded now: the window keeps its last picture and only
        // Esc and another F5 act until a reload succeeds.
        sceneLoaded_ = false;
        host_->showError(error, "Error");
        return;
    }
    sceneLoaded_ = true;
    copySizes();
    host_->createTextures(interactiveWidth_, interactiveHeight_, stillWidth_, stillHeight_);
    const ImageSize active = wasStill ? ImageSize::still : ImageSize::interactive;
    const ImageSize other = wasStill ? ImageSize::interactive : ImageSize::still;
    switchSize(other);
    switchSize(active);
}

void Controls::update(uint32_t elapsed) {
    using namespace VirtualKey;
    const KeyState& keys = *keys_;
    Renderer& r = *Renderer::instance();
    const float dt = float(elapsed);

    if (keys.down(kEscape)) host_->requestQuit();  // the rest of the frame still runs
    if (sceneLoaded_ && keys.down(kF1)) r.saveImage();
    // F5 acts once per press: a held key must not reload on every frame.
    if (keys.down(kF5)) {
        if (!reloadHeld_) {
            reloadHeld_ = true;
            reloadScene();
        }
    } else {
        reloadHeld_ = false;
    }
    if (!sceneLoaded_) return;

    if (keys.down(kTwo)) switchSize(ImageSize::still);
    if (keys.down(kOne)) switchSize(ImageSize::interactive);

    // Space toggles once per press, however many frames it is held.
    if (keys.down(kSpace)) {
        if (!spaceHeld_) {
            spaceHeld_ = true;
            progressiveMode_ = !progressiveMode_;
        }
    } else if (spaceHeld_) {
        spaceHeld_ = false;
    }

    if (!r.stillMode()) {
        bool viewChanged = false;
        // Every navigation key that is held changes the view.
        auto held = [&](int code) {
            if (!keys.down(code)) return false;
            viewChanged = true;
            return true;
        };

        if (r.lightCount() > 0) {
            Vec4& light = r.light(0).position;
            const float step = dt * kLightStep;
            if (held(kI)) light.z += step;
            if (held(kK)) light.z -= step;
            if (held(kJ)) light.x += step;
            if (held(kL)) light.x -= step;
            if (held(kU)) light.y += step;
            if (held(kO)) light.y -= step;
        }

        Camera& camera = r.getCamera();
        if (held(kW)) camera.moveForward(dt * -kMoveStep);
        if (held(kS)) camera.moveForward(dt * kMoveStep);
        if (held(kA)) camera.strafe(dt * -kMoveStep);
        if (held(kD)) camera.strafe(dt * kMoveStep);

        if (held(kQ)) r.exposure += dt * kExposureStep;
        // Held at 0: below 0 the tone map yields values that are not numbers.
        if (held(kE)) r.exposure = std::max(0.f, r.exposure - dt * kExposureStep);

        // Mouse look: the offset from the centre turns the camera, and the
        // cursor goes back to the centre every frame.
        const int cx = interactiveWidth_ / 2;
        const int cy = interactiveHeight_ / 2;
        const CursorPoint p = host_->cursorPosition();
        host_->placeCursor(cx, cy);
        const int dx = p.x - cx;
        const int dy = p.y - cy;
        if (dx != 0 || dy != 0) viewChanged = true;
        camera.rotate(float(dx) * kMouseTurn, float(dy) * kMouseTurn);

        if (viewChanged) {
            r.sampleCount = 1.f;
            r.clearRadiance();
            r.render();
            uploadActive();
        }

        // The value shown is this one frame's rate, refreshed twice a second.
        // A frame shorter than the tick resolution has no rate to show, so
        // the refresh waits for the next frame that took time.
        fpsElapsed_ += dt;
        if (fpsElapsed_ >= kFpsRefreshMs && elapsed > 0) {
            framesPerSecond_ = 1000.f / dt;
            fpsElapsed_ = 0.f;
        }
    }

    if (progressiveMode_) {
        r.renderProgressive();
        uploadActive();
    }
}
