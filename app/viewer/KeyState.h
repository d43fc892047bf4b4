// KeyState: one flag per virtual-key code, 1 while the key is down. The
// window layer translates its key events into these codes, so the controls
// read the same numbers on every platform.
#pragma once

#include <cstdint>

//
// Beside the flags, every press (a key going down, not the repeats of a held
// key) is counted until the controls take it: a key that went down and up
// between two frames still acts.
struct KeyState {
    static constexpr int kKeyCount = 256;

    int32_t flags[kKeyCount] = {};
    int32_t presses[kKeyCount] = {};

    // Forgets held keys and pending presses (a new window).
    void clear() {
        releaseAll();
        for (int32_t& p : presses) p = 0;
    }
    // Lets go of every held key; presses still wait for the controls.
    void releaseAll() {
        for (int32_t& f : flags) f = 0;
    }
    // Codes outside the table are ignored, as the window layer must never
    // write past it.
    void set(int code, bool isDown) {
        if (code < 0 || code >= kKeyCount) return;
        if (isDown && flags[code] == 0) ++presses[code];
        flags[code] = isDown ? 1 : 0;
    }
    bool down(int code) const { return code >= 0 && code < kKeyCount && flags[code] == 1; }
    // The presses of the key since the last call, taken.
    int takePresses(int code) {
        if (code < 0 || code >= kKeyCount) return 0;
        const int n = presses[code];
        presses[code] = 0;
        return n;
    }
    bool pressWaiting(int code) const {
        return code >= 0 && code < kKeyCount && presses[code] != 0;
    }
};

// The virtual-key codes the controls read (the key table names the keys).
namespace VirtualKey {
constexpr int kTab = 9;
constexpr int kEscape = 27;
constexpr int kSpace = 32;
constexpr int kHome = 36;
constexpr int kOne = 49;
constexpr int kTwo = 50;
constexpr int kA = 65;
constexpr int kD = 68;
constexpr int kE = 69;
constexpr int kH = 72;
constexpr int kI = 73;
constexpr int kJ = 74;
constexpr int kK = 75;
constexpr int kL = 76;
constexpr int kO = 79;
constexpr int kQ = 81;
constexpr int kS = 83;
constexpr int kU = 85;
constexpr int kW = 87;
constexpr int kF1 = 112;
constexpr int kF5 = 116;
}  // namespace VirtualKey
