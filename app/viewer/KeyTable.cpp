#include "app/viewer/KeyTable.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>
#include <string_view>

#include "app/viewer/Controls.h"
#include "render/Renderer.h"

namespace {

using namespace VirtualKey;

// The minus sign of the descriptions ("−z"), in UTF-8.
constexpr std::string_view kMinus = "\u2212";

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
        pressRow(kH, "H", KeyMode::anySize, kAfterPass,
                 "show or hide the list of keys and mouse actions (over the picture)",
                 &Controls::panelKey),
        pressRow(kTab, "Tab", KeyMode::interactive, kAfterPass,
                 "switch between looking around and orbiting (a scene file starts looking "
                 "around, a model orbiting); the orbit turns about the surface at the "
                 "picture's centre, or a point ahead when there is none",
                 &Controls::orbitKey),
        pressRow(kHome, "Home", KeyMode::interactive, kAfterPass,
                 "back to the view the file opened with (a model: orbiting its centre again)",
                 &Controls::homeKey),
        // Every frame, after the held keys (Controls::mouseLook, Controls::orbitMove).
        heldRow(kNoKey, "mouse",
                "look around, on a scene file: turn and tilt the camera (the cursor is held at "
                "the window's centre; moving or resizing the window does not turn it)",
                nullptr),
        heldRow(kNoKey, "left drag",
                "orbit: turn the camera around the centre (on a model, or a scene after Tab; "
                "sideways about the vertical, up and down short of straight above or below; "
                "the cursor stays free)",
                nullptr),
        heldRow(kNoKey, "right drag",
                "orbit: pan, moving the camera and the centre together (the middle button too)",
                nullptr),
        heldRow(kNoKey, "wheel",
                "orbit: move the camera towards the centre or away from it (never up to it)",
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

namespace {

// A description with its marks spelled for a medium: the minus sign as
// minus, and the file names between backticks between open and close.
std::string spell(const std::string& text, const char* minus, const char* open, const char* close) {
    std::string spelt;
    bool inName = false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, kMinus.size(), kMinus) == 0) {
            spelt += minus;
            i += kMinus.size() - 1;
        } else if (text[i] == '`') {
            spelt += (inName = !inName) ? open : close;
        } else {
            spelt += text[i];
        }
    }
    return spelt;
}

// The words of text in lines of at most width columns (a longer word stands
// alone), each line after the first starting with indent spaces.
std::string fillLines(const std::string& text, size_t indent, size_t width) {
    std::istringstream words(text);
    std::string filled, word;
    size_t column = indent;
    while (words >> word) {
        if (column > indent && column + 1 + word.size() > width) {
            filled += '\n' + std::string(indent, ' ');
            column = indent;
        } else if (column > indent) {
            filled += ' ';
            ++column;
        }
        filled += word;
        column += word.size();
    }
    return filled;
}

// The widest key name: the names' column.
size_t nameWidth() {
    size_t width = 0;
    for (const KeyRow& key : viewerKeys()) width = std::max(width, std::strlen(key.name));
    return width;
}

std::string padded(const char* name, size_t width) {
    std::string text = name;
    text.resize(std::max(width, text.size()), ' ');
    return text;
}

}  // namespace

std::string keyListText(int width) {
    const size_t names = nameWidth();
    const size_t indent = 2 + names + 2;
    std::string list;
    for (const KeyRow& key : viewerKeys()) {
        list += "  " + padded(key.name, names) + "  " +
                fillLines(spell(key.description, "-", "", ""), indent, size_t(width));
        list += '\n';
    }
    return list;
}

std::vector<std::string> keyPanelLines(size_t columns) {
    const size_t names = nameWidth();
    std::vector<std::string> lines;
    for (const KeyRow& key : viewerKeys()) {
        std::string text = spell(key.description, "-", "", "");
        text = text.substr(0, std::min(text.find(" ("), text.find(';')));
        std::string line = padded(key.name, names) + "  " + text;
        if (line.size() > columns) line = line.substr(0, std::max<size_t>(columns, 3) - 3) + "...";
        lines.push_back(line);
    }
    return lines;
}

std::string keyListRoff() {
    std::string roff;
    for (const KeyRow& key : viewerKeys()) {
        roff += roff.empty() ? ".TP 12\n" : ".TP\n";
        roff += std::string(".B ") + key.name + '\n';
        // A sentence: capital first, full stop last; file names in bold.
        std::string text = spell(key.description, "\\-", "\\fB", "\\fR");
        text[0] = char(std::toupper(static_cast<unsigned char>(text[0])));
        roff += text;
        roff += ".\n";
    }
    return roff;
}
