// Controls: the viewer's logic between the window and the Renderer, free of
// any window or GL call. Once per frame it turns the held keys, the mouse
// (offset from the centre in fly-through, drags and wheel steps when
// orbiting) and the elapsed milliseconds into renderer actions (size switch,
// save, progressive refinement, light 0, camera, exposure), re-renders when
// the view changed, and keeps the frames-per-second value of the overlay.
//
// Everything it needs from the window and the display goes through
// ViewerHost, so tests drive it with a fake host and a scene made in code.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "app/viewer/KeyState.h"
#include "app/viewer/KeyTable.h"
#include "app/viewer/PassRunner.h"
#include "app/viewer/PointerMotion.h"
#include "camera/OrbitCamera.h"

enum class ImageSize { interactive, still };

struct CursorPoint {
    int x = 0;
    int y = 0;
};

// What the controls ask of the window layer and the display.
class ViewerHost {
public:
    virtual ~ViewerHost() = default;
    // Millisecond tick count.
    virtual uint32_t ticks() = 0;
    // Handles the window events that are waiting (called while a render pass
    // runs); false once the program is to end.
    virtual bool pumpEvents() = 0;
    // Ends the program once the current frame is finished.
    virtual void requestQuit() = 0;
    virtual void showError(const std::string& text, const std::string& caption) = 0;
    // (Re)allocates both display textures at their final sizes, without data.
    virtual void createTextures(int interactiveWidth, int interactiveHeight, int stillWidth,
                                int stillHeight) = 0;
    virtual void bindTexture(ImageSize size) = 0;
    // Replaces the whole image of the bound texture with RGB float data.
    virtual void uploadImage(const float* rgb, int width, int height) = 0;
    // Cursor position in window pixels.
    virtual CursorPoint cursorPosition() = 0;
    virtual void placeCursor(int x, int y) = 0;
    // The centre of the window's client area, in window pixels.
    virtual CursorPoint clientCentre() = 0;
    // True once after the window was resized, moved or uncovered: its centre
    // may then lie elsewhere than the pointer left there.
    virtual bool takeWindowChange() = 0;
    // The mouse's drags and wheel steps since the last call, taken.
    virtual PointerMotion takePointerMotion() = 0;
    // Whether drags or wheel steps wait to be taken.
    virtual bool pointerMotionWaiting() = 0;
    // A free cursor is shown and left where the user puts it (orbiting);
    // otherwise mouse look holds it at the centre.
    virtual void setCursorFree(bool free) = 0;
};

// Reads the scene into the Renderer; on failure returns false with the
// message for the user in error.
using SceneLoader = std::function<bool(std::string& error)>;

class Controls {
public:
    // Scales of the held keys per elapsed millisecond, and of the mouse per
    // pixel moved.
    static constexpr float kLightStep = 0.001f;
    static constexpr float kMoveStep = 0.01f;
    static constexpr float kExposureStep = 0.001f;
    static constexpr float kMouseTurn = 0.004f;
    // The frames-per-second value is refreshed once this many milliseconds
    // have gathered.
    static constexpr float kFpsRefreshMs = 500.f;

    // When the picture's centre shows no surface, an orbit turns about the
    // point this far ahead (a second's walk).
    static constexpr float kOrbitAhead = 10.f;
    // The line under the first frame of a model's stage.
    static constexpr const char* kModelHint = "drag to turn, wheel to zoom, H for keys";

    // Loads the scene with open, allocates the textures, renders and times
    // the first frame and logs its duration; reload is what F5 reads. Shows
    // the loader's message in an "Error" box and returns false when the
    // scene cannot be loaded. A model's stage (modelStage) starts orbiting
    // the model's centre, with the hint; a scene file in fly-through.
    bool initialise(ViewerHost& host, KeyState& keys, const SceneLoader& open, SceneLoader reload,
                    bool modelStage = false);
    // The same loader at the start and for F5 (a scene file).
    bool initialise(ViewerHost& host, KeyState& keys, const SceneLoader& loader) {
        return initialise(host, keys, loader, loader);
    }
    // A new window (fullscreen toggled) for the scene already loaded: new
    // textures showing the picture on screen; the scene, view, mode and
    // accumulated picture stay as they are.
    void attachWindow(ViewerHost& host, KeyState& keys);

    // One frame's worth of input; elapsed is the milliseconds since the
    // previous frame. Presses are taken in the key table's order; held keys
    // act on every frame. Every render pass runs beside the window's event
    // handling: Esc or closing the window stops it, F1 during it saves the
    // picture on screen. Once the program is to end, no further pass starts.
    void update(uint32_t elapsed);

    // Opens another scene in place of the current one, as F5 does (a file
    // dropped on the window): open reads it, and on success reload becomes
    // what F5 reads. On failure shows the message in an "Error" box and
    // keeps the current scene, view and mode.
    void openScene(const SceneLoader& open, SceneLoader reload, bool modelStage = false);

    bool sceneLoaded() const { return sceneLoaded_; }
    bool progressiveMode() const { return progressiveMode_; }
    // Whether the mouse orbits (drags, wheel) rather than looks around.
    bool orbiting() const { return orbiting_; }
    // Whether the list of keys is shown over the picture (H).
    bool panelShown() const { return panelShown_; }
    float framesPerSecond() const { return framesPerSecond_; }
    // True while the interactive size is active: navigation and the overlay.
    bool interactiveMode() const;
    // Whether a finished picture is on screen (one to repaint).
    bool hasPicture() const { return !shown_.empty(); }
    // True when nothing but an event can change the picture: no refinement,
    // no held navigation key, no press waiting. The loop may then sleep
    // until the next event.
    bool idle() const;
    // A message for the user over the picture (a failed save, dropped files
    // left unopened) for kNoticeMs; empty when there is none or its time is up.
    std::string notice() const;
    void showNotice(const std::string& text);
    static constexpr uint32_t kNoticeMs = 5000;

private:
    friend const std::vector<KeyRow>& viewerKeys();

    // The actions of the key table's press rows.
    void quitKey(int presses);
    void saveKey(int presses);
    void reloadKey(int presses);
    void stillKey(int presses);
    void interactiveKey(int presses);
    void progressiveKey(int presses);
    void orbitKey(int presses);
    void homeKey(int presses);
    void panelKey(int presses);
    // Acts on the presses of the table's rows of one mode, in its order.
    void takePresses(KeyMode mode);
    // Forgets the presses of the table's rows of one mode.
    void dropPresses(KeyMode mode);
    // Acts once on the presses of one row since they were last taken, if any.
    void actOnPresses(const KeyRow& key);
    // Acts on the held keys; true when the view changed.
    bool applyHeldKeys(float elapsedMs);

    // Runs a pass beside the event handling; false when it was stopped or
    // the program is ending. The picture on screen is updated after a pass
    // that finished.
    bool renderFresh();
    bool renderProgressive();
    bool runPass(const PassRunner::Pass& pass);
    void betweenSlices();
    void quit();
    void savePicture();
    void switchSize(ImageSize size);
    void reloadScene();
    void showNewScene(bool wasStill);
    void showError(const std::string& text);
    bool mouseLook(Camera& camera);
    // The camera of a scene just opened or read again: its starting view
    // and mode.
    void startView();
    // Orbits the point distance ahead of the camera, or looks around.
    void startOrbit(float distance);
    void startLook();
    // How far ahead the surface at the picture's centre lies (kOrbitAhead
    // when there is none).
    float viewCentreDistance() const;
    // How far ahead the model's centre lies from the stage's own camera.
    float modelCentreDistance() const;
    // Applies drags and wheel steps to the orbit; true when the view changed.
    bool orbitMove(const PointerMotion& motion, Camera& camera);
    void copySizes();
    void uploadActive();

    ViewerHost* host_ = nullptr;
    KeyState* keys_ = nullptr;
    SceneLoader loader_;
    bool sceneLoaded_ = false;
    bool ending_ = false;  // quit asked: no pass starts any more
    // Back at the interactive size: the pointer wandered freely at the still
    // size, so its next offset is no turn.
    bool lookResumed_ = false;
    bool modelStage_ = false;  // the scene on view is a model's stage
    bool orbiting_ = false;
    OrbitCamera orbit_;
    Camera opening_;          // the camera as the scene opened, for Home
    bool viewMoved_ = false;  // a press moved the camera: the frame renders afresh
    bool panelShown_ = false;
    PassRunner runner_;
    // The picture on screen (the last finished pass), what F1 saves.
    std::vector<float> shown_;
    int shownWidth_ = 0;
    int shownHeight_ = 0;
    std::string notice_;
    uint32_t noticeUntil_ = 0;

    int interactiveWidth_ = 0;
    int interactiveHeight_ = 0;
    int stillWidth_ = 0;
    int stillHeight_ = 0;

    bool progressiveMode_ = false;
    float fpsElapsed_ = 0.f;
    float framesPerSecond_ = 0.f;
};
