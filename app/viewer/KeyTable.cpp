#include "app/viewer/KeyTable.h"

#include <algorithm>

#include "app/viewer/Controls.h"
#include "render/Renderer.h"

namespace {

using namespace VirtualKey;

// Light 0 moves kLightStep units per millisecond along one axis, the camera
// kMoveStep; sign picks the way. A scene without lights has none to move.
bool moveLight(Renderer& r, float Vec4::*axis, float ms, float sign) {
    if (r.lightCount() == 0) return false;
    r.light(0).position.*axis += ms * (sign * Controls::kLightStep);
    return true;
}

bool walk(Renderer& r, float ms, float sign) {
    r.getCamera().moveForward(ms * (sign * Controls::kMoveStep));
    return true;
}

bool sidestep(Renderer& r, float ms, float sign) {
    r.getCamera().strafe(ms * (sign * Controls::kMoveStep));
    return true;
}

bool exposeMore(Renderer& r, float ms) {
    r.exposure += ms * Controls::kExposureStep;
    return true;
}

// Held at 0: below 0 the tone map yields values that are not numbers.
bool exposeLess(Renderer& r, float ms) {
    r.exposure = std::max(0.f, r.exposure - ms * Controls::kExposureStep);
    return true;
}

constexpr bool kDuringPass = true;
constexpr bool kAfterPass = false;

KeyRow pressRow(int code, const char* name, KeyMode mode, bool duringPass, const char* description,
                void (Controls::*action)(int)) {
    return {code, name, KeyTiming::press, mode, duringPass, action, nullptr, description};
}

KeyRow heldRow(int code, const char* name, const char* description,
               bool (*action)(Renderer&, float)) {
    return {code, name, KeyTiming::held, KeyMode::interactive, false, nullptr, action, description};
}

}  // namespace

// The table is built here, where the controls' own actions may be named.
const std::vector<KeyRow>& viewerKeys() {
    using R = Renderer;
    static const std::vector<KeyRow> table = {
        pressRow(kEscape, "Esc", KeyMode::always, kDuringPass, "quit", &Controls::quitKey),
        pressRow(kF1, "F1", KeyMode::always, kDuringPass,
                 "save the picture on screen as `out.tga` in the working directory",
                 &Controls::saveKey),
        pressRow(kF5, "F5", KeyMode::always, kAfterPass,
                 "read the scene or model file again (after editing it); a file that fails "
                 "keeps the scene on screen and says why",
                 &Controls::reloadKey),
        pressRow(kTwo, "2", KeyMode::anySize, kAfterPass,
                 "still size: the same view rendered at the larger size; no navigation",
                 &Controls::stillKey),
        pressRow(kOne, "1", KeyMode::anySize, kAfterPass,
                 "interactive size: navigation on, frames-per-second line shown",
                 &Controls::interactiveKey),
        pressRow(kSpace, "Space", KeyMode::anySize, kAfterPass, "progressive refinement on or off",
                 &Controls::progressiveKey),
        // Every frame, after the held keys (Controls::mouseLook).
        heldRow(kNoKey, "mouse",
                "look around: turn and tilt the camera (the cursor is held at the window's "
                "centre; moving or resizing the window does not turn it)",
                nullptr),
        heldRow(kW, "W", "move forward", [](R& r, float ms) { return walk(r, ms, -1.f); }),
        heldRow(kS, "S", "move backward", [](R& r, float ms) { return walk(r, ms, 1.f); }),
        heldRow(kA, "A", "move left", [](R& r, float ms) { return sidestep(r, ms, -1.f); }),
        heldRow(kD, "D", "move right", [](R& r, float ms) { return sidestep(r, ms, 1.f); }),
        heldRow(kQ, "Q", "exposure up", exposeMore),
        heldRow(kE, "E", "exposure down (never below 0)", exposeLess),
        heldRow(kI, "I", "move light 0 along +z",
                [](R& r, float ms) { return moveLight(r, &Vec4::z, ms, 1.f); }),
        heldRow(kK, "K", "move light 0 along −z",
                [](R& r, float ms) { return moveLight(r, &Vec4::z, ms, -1.f); }),
        heldRow(kJ, "J", "move light 0 along +x",
                [](R& r, float ms) { return moveLight(r, &Vec4::x, ms, 1.f); }),
        heldRow(kL, "L", "move light 0 along −x",
                [](R& r, float ms) { return moveLight(r, &Vec4::x, ms, -1.f); }),
        heldRow(kU, "U", "move light 0 up",
                [](R& r, float ms) { return moveLight(r, &Vec4::y, ms, 1.f); }),
        heldRow(kO, "O", "move light 0 down",
                [](R& r, float ms) { return moveLight(r, &Vec4::y, ms, -1.f); }),
        // The window turns Alt+Enter into a new window itself (AppWindow).
        pressRow(kNoKey, "Alt+Enter", KeyMode::always, kAfterPass,
                 "switch between fullscreen and a window, keeping the scene, the view, the size "
                 "and the picture",
                 nullptr),
    };
    return table;
}
