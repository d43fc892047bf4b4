#include "app/viewer/Controls.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <utility>

#include "core/Logger.h"
#include "render/Renderer.h"
#include "render/TgaWriter.h"

namespace {

// Message when the process cannot even hold the Renderer.
const char* const kNoMemory = "Not enough memory to start the renderer.";

}  // namespace

bool Controls::initialise(ViewerHost& host, KeyState& keys, const SceneLoader& open,
                          SceneLoader reload, bool modelStage) {
    host_ = &host;
    keys_ = &keys;
    loader_ = std::move(reload);
    sceneLoaded_ = false;
    ending_ = false;
    shown_.clear();
    progressiveMode_ = false;
    fpsElapsed_ = 0.f;
    framesPerSecond_ = 0.f;

    Renderer* renderer = Renderer::instance();
    if (!renderer) {
        host.showError(kNoMemory, "Error");
        return false;
    }
    std::string error;
    if (!open(error)) {
        host.showError(error, "Error");
        return false;
    }
    sceneLoaded_ = true;
    modelStage_ = modelStage;
    panelShown_ = false;
    copySizes();
    startView();
    host.createTextures(interactiveWidth_, interactiveHeight_, stillWidth_, stillHeight_);

    const uint32_t t0 = host.ticks();
    host.bindTexture(ImageSize::interactive);
    if (!renderFresh()) return true;  // closed during the first frame
    const uint32_t t1 = host.ticks();
    Logger::instance()->write("Rendering Time: " + toText(float(t1 - t0)));
    return true;
}

void Controls::attachWindow(ViewerHost& host, KeyState& keys) {
    host_ = &host;
    keys_ = &keys;
    ending_ = false;
    host.createTextures(interactiveWidth_, interactiveHeight_, stillWidth_, stillHeight_);
    host.bindTexture(Renderer::instance()->stillMode() ? ImageSize::still : ImageSize::interactive);
    if (!shown_.empty()) host.uploadImage(shown_.data(), shownWidth_, shownHeight_);
    orbiting_ ? host.setCursorFree(true) : startLook();
}

bool Controls::idle() const {
    if (!sceneLoaded_) return true;  // only the keys that reload or quit can act
    if (progressiveMode_) return false;
    const bool interactive = interactiveMode();
    if (interactive && orbiting_ && host_->pointerMotionWaiting()) return false;
    for (const KeyRow& key : viewerKeys()) {
        if (!key.acts() || (key.mode == KeyMode::interactive && !interactive)) continue;
        const bool waiting =
            key.timing == KeyTiming::press ? keys_->pressWaiting(key.code) : keys_->down(key.code);
        if (waiting) return false;
    }
    return true;
}

std::string Controls::notice() const {
    return int32_t(noticeUntil_ - host_->ticks()) > 0 ? notice_ : std::string();
}

void Controls::showNotice(const std::string& text) {
    notice_ = text;
    noticeUntil_ = host_->ticks() + kNoticeMs;
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
    shownWidth_ = r.geometry().width;
    shownHeight_ = r.geometry().height;
    shown_.assign(r.displayBuffer(), r.displayBuffer() + size_t(r.geometry().pixelCount()) * 3);
    host_->uploadImage(shown_.data(), shownWidth_, shownHeight_);
}

bool Controls::runPass(const PassRunner::Pass& pass) {
    if (ending_) return false;
    if (!runner_.run(pass, [this] { betweenSlices(); })) return false;
    uploadActive();
    return true;
}

bool Controls::renderFresh() {
    return runPass([](tbb::task_group_context& c) { return Renderer::instance()->render(c); });
}

bool Controls::renderProgressive() {
    return runPass(
        [](tbb::task_group_context& c) { return Renderer::instance()->renderProgressive(c); });
}

// While a pass runs: the window's events, then the presses that cannot wait
// for the pass to end. The others stay for the next update.
void Controls::betweenSlices() {
    if (!host_->pumpEvents()) {
        ending_ = true;
        runner_.cancel();
    }
    for (const KeyRow& key : viewerKeys())
        if (key.duringPass) actOnPresses(key);
}

void Controls::quit() {
    host_->requestQuit();
    ending_ = true;
    runner_.cancel();
}

void Controls::savePicture() {
    std::string error;
    if (shown_.empty() ||
        saveDisplayImage("out.tga", shownWidth_, shownHeight_, shown_.data(), &error))
        return;
    // The log and stderr keep it after the overlay's notice is gone.
    Logger::instance()->write(error);
    std::fprintf(stderr, "tresk: %s\n", error.c_str());
    showNotice(error);
}

// A box; the mouse moved meanwhile does not turn the view afterwards (in
// fly-through; an orbit only follows drags).
void Controls::showError(const std::string& text) {
    host_->showError(text, "Error");
    if (orbiting_) return;
    const CursorPoint centre = host_->clientCentre();
    host_->placeCursor(centre.x, centre.y);
}

void Controls::switchSize(ImageSize size) {
    Renderer& r = *Renderer::instance();
    if (r.stillMode() && size == ImageSize::interactive) lookResumed_ = true;
    r.setStillMode(size == ImageSize::still);
    host_->bindTexture(size);
    r.sampleCount = 1.f;
    r.clearRadiance();
    renderFresh();
}

// Reads the scene file again; the reader disposes of the earlier scene.
void Controls::reloadScene() {
    const bool wasStill = Renderer::instance()->stillMode();
    std::string error;
    if (!loader_(error)) {
        // The reader checks the whole file first and keeps the earlier scene;
        // only when memory ran out while building is there none left, and
        // then only Esc and another F5 act until a reload succeeds.
        sceneLoaded_ = Renderer::instance()->geometry().width > 0;
        showError(error);
        return;
    }
    showNewScene(wasStill);
}

void Controls::openScene(const SceneLoader& open, SceneLoader reload, bool modelStage) {
    const bool wasStill = sceneLoaded_ && Renderer::instance()->stillMode();
    std::string error;
    if (!open(error)) {
        // Only when memory ran out while building is no scene left.
        sceneLoaded_ = sceneLoaded_ && Renderer::instance()->geometry().width > 0;
        showError(error);
        return;
    }
    loader_ = std::move(reload);
    modelStage_ = modelStage;
    showNewScene(wasStill);
}

// After a scene was read in place of another: renders both sizes, the one
// in use last so that it stays active.
void Controls::showNewScene(bool wasStill) {
    sceneLoaded_ = true;
    copySizes();
    startView();
    host_->createTextures(interactiveWidth_, interactiveHeight_, stillWidth_, stillHeight_);
    const ImageSize active = wasStill ? ImageSize::still : ImageSize::interactive;
    const ImageSize other = wasStill ? ImageSize::interactive : ImageSize::still;
    switchSize(other);
    switchSize(active);
}

// The offset of the cursor from the centre of the window turns the camera,
// and the cursor goes back to that centre every frame. After the window was
// resized or moved the centre lies elsewhere: the offset is then no movement
// of the mouse, and the cursor is only brought to the new centre; so it is
// when the interactive size comes back after the still one.
bool Controls::mouseLook(Camera& camera) {
    const CursorPoint c = host_->clientCentre();
    const CursorPoint p = host_->cursorPosition();
    // A cursor already at the centre stays: a warp would wake an idle loop.
    if (p.x != c.x || p.y != c.y) host_->placeCursor(c.x, c.y);
    const bool windowChanged = host_->takeWindowChange();
    const bool resumed = std::exchange(lookResumed_, false);
    if (windowChanged || resumed) return false;
    const int dx = p.x - c.x;
    const int dy = p.y - c.y;
    if (dx == 0 && dy == 0) return false;
    camera.rotate(float(dx) * kMouseTurn, float(dy) * kMouseTurn);
    return true;
}

void Controls::startView() {
    opening_ = Renderer::instance()->getCamera();
    if (!modelStage_) return startLook();
    startOrbit(modelCentreDistance());
    // A warning from reading the model stays in view before the hint.
    if (notice().empty()) showNotice(kModelHint);
}

void Controls::startOrbit(float distance) {
    orbit_ = OrbitCamera(Renderer::instance()->getCamera(), distance);
    orbiting_ = true;
    host_->setCursorFree(true);
}

// Where the pointer was left is no turn: it goes to the centre first.
void Controls::startLook() {
    orbiting_ = false;
    lookResumed_ = true;
    host_->setCursorFree(false);
    const CursorPoint centre = host_->clientCentre();
    host_->placeCursor(centre.x, centre.y);
}

float Controls::viewCentreDistance() const {
    Renderer& r = *Renderer::instance();
    const Camera& camera = r.getCamera();
    const Vec3 ahead = -camera.zAxis();
    const float d = r.nearestHitDistance(Ray(Vec4(camera.position), Vec4(ahead)));
    return d > 0.f && d < std::numeric_limits<float>::infinity() ? d : kOrbitAhead;
}

// The stage stands the model's box centred on the y axis and puts its
// camera at the box's mid-height on the +z side, looking along −z.
float Controls::modelCentreDistance() const {
    const float z = Renderer::instance()->getCamera().position.z;
    return z > 0.f ? z : viewCentreDistance();
}

bool Controls::orbitMove(const PointerMotion& motion, Camera& camera) {
    if (!motion.any()) return false;
    orbit_.turn(float(motion.turnX), float(motion.turnY));
    orbit_.pan(float(motion.panX), float(motion.panY));
    orbit_.zoom(float(motion.wheel));
    orbit_.place(camera);
    return true;
}

void Controls::quitKey(int /*presses*/) { quit(); }

void Controls::saveKey(int /*presses*/) {
    if (sceneLoaded_) savePicture();
}

void Controls::reloadKey(int /*presses*/) {
    if (!ending_) reloadScene();
}

void Controls::stillKey(int /*presses*/) { switchSize(ImageSize::still); }

void Controls::interactiveKey(int /*presses*/) { switchSize(ImageSize::interactive); }

// Every press toggles, also two between the same two frames.
void Controls::progressiveKey(int presses) {
    if (presses % 2 == 1) progressiveMode_ = !progressiveMode_;
}

// Every press switches, as for Space.
void Controls::orbitKey(int presses) {
    if (presses % 2 == 0) return;
    orbiting_ ? startLook() : startOrbit(viewCentreDistance());
}

// The opening camera itself, not one rebuilt from the orbit: the first
// picture comes back exactly. A model's stage orbits its model again.
void Controls::homeKey(int /*presses*/) {
    Renderer::instance()->getCamera() = opening_;
    if (modelStage_)
        startOrbit(modelCentreDistance());
    else if (orbiting_)
        startOrbit(viewCentreDistance());
    viewMoved_ = true;
}

void Controls::panelKey(int presses) {
    if (presses % 2 == 1) panelShown_ = !panelShown_;
}

void Controls::takePresses(KeyMode mode) {
    for (const KeyRow& key : viewerKeys())
        if (key.timing == KeyTiming::press && key.mode == mode && key.onPress) actOnPresses(key);
}

// Navigation is off at the still size: its presses do not wait for later.
void Controls::dropPresses(KeyMode mode) {
    for (const KeyRow& key : viewerKeys())
        if (key.timing == KeyTiming::press && key.mode == mode) keys_->takePresses(key.code);
}

void Controls::actOnPresses(const KeyRow& key) {
    const int presses = keys_->takePresses(key.code);
    if (presses > 0) (this->*key.onPress)(presses);
}

// Every held key that acts changes the view.
bool Controls::applyHeldKeys(float elapsedMs) {
    Renderer& r = *Renderer::instance();
    bool viewChanged = false;
    for (const KeyRow& key : viewerKeys())
        if (key.whileHeld && keys_->down(key.code) && key.whileHeld(r, elapsedMs))
            viewChanged = true;
    return viewChanged;
}

void Controls::update(uint32_t elapsed) {
    Renderer& r = *Renderer::instance();
    const float dt = float(elapsed);
    // Taken every frame: what the mouse did at the still size or in mouse
    // look never turns an orbit later.
    const PointerMotion motion = host_->takePointerMotion();

    takePresses(KeyMode::always);
    if (!sceneLoaded_ || ending_) return;
    takePresses(KeyMode::anySize);

    if (!r.stillMode()) {
        takePresses(KeyMode::interactive);
        Camera& camera = r.getCamera();
        bool viewChanged = std::exchange(viewMoved_, false);
        if (applyHeldKeys(dt)) {
            viewChanged = true;
            if (orbiting_) orbit_.follow(camera);
        }
        if (orbiting_ ? orbitMove(motion, camera) : mouseLook(camera)) viewChanged = true;
        if (viewChanged) {
            r.sampleCount = 1.f;
            r.clearRadiance();
            renderFresh();
        }

        // The value shown is this one frame's rate, refreshed twice a second.
        // A frame shorter than the tick resolution has no rate to show, so
        // the refresh waits for the next frame that took time.
        fpsElapsed_ += dt;
        if (fpsElapsed_ >= kFpsRefreshMs && elapsed > 0) {
            framesPerSecond_ = 1000.f / dt;
            fpsElapsed_ = 0.f;
        }
    } else {
        dropPresses(KeyMode::interactive);
    }

    if (progressiveMode_) renderProgressive();
}
