// KeyTable: every key and mouse action of the viewer, one row each. The
// controls take presses and held keys from it in its order, the idle test
// asks it which keys can still act, and the help text, the manual page and
// the README's key table (checked by the suite) list its rows. A new key is
// one row here, with its action, and the same row in the README.
#pragma once

#include <string>
#include <vector>

class Controls;
class Renderer;

// Whether a key acts once per press (a press between two frames still acts)
// or on every frame while it is down, scaled by the frame's milliseconds.
enum class KeyTiming { press, held };

// When a key acts: always (also with no scene loaded and while the program
// ends; its action checks what it needs), at either size once a scene is
// loaded, or at the interactive size only (every held key: navigation).
enum class KeyMode { always, anySize, interactive };

// Code of a row that KeyState does not carry: the mouse, and keys the window
// handles itself.
constexpr int kNoKey = -1;

struct KeyRow {
    int code;          // virtual-key code (KeyState.h), or kNoKey
    const char* name;  // as printed on the key, for the help, the manual and the README
    KeyTiming timing;
    KeyMode mode;
    // Press rows that act also while a render pass runs, between its slices
    // (the others wait for the next frame).
    bool duringPass;
    // Press rows: the action, given the presses since the last frame (one or more).
    void (Controls::*onPress)(int presses);
    // Held rows: the action for one frame; true when it changed the view.
    bool (*whileHeld)(Renderer& renderer, float elapsedMs);
    const char* description;  // lower case, no full stop: a table cell

    // Whether the controls act on this row (the others only document).
    bool acts() const { return onPress || whileHeld; }
};

// The rows in the order the controls take them: within a frame, presses are
// acted on in this order, before the held keys.
const std::vector<KeyRow>& viewerKeys();

// The rows as an indented two-column list wrapped to width columns, for the
// help text.
std::string keyListText(int width);
// The rows as the on-screen panel shows them, one line each of at most
// columns characters (ASCII): the key and what it does, without the
// explanations in brackets or after a semicolon.
std::vector<std::string> keyPanelLines(size_t columns);
// The rows as the tagged paragraphs of a manual page section.
std::string keyListRoff();
