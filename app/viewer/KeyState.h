// KeyState: one flag per virtual-key code, 1 while the key is down. The
// window layer translates its key events into these codes, so the controls
// read the same numbers on every platform.
#pragma once

#include <cstdint>

struct KeyState {
    static constexpr int kKeyCount = 256;

    int32_t flags[kKeyCount] = {};

    void clear() {
        for (int32_t& f : flags) f = 0;
    }
    // Codes outside the table are ignored, as the window layer must never
    // write past it.
    void set(int code, bool down) {
        if (code >= 0 && code < kKeyCount) flags[code] = down ? 1 : 0;
    }
    bool down(int code) const { return code >= 0 && code < kKeyCount && flags[code] == 1; }
};

// The virtual-key codes the controls read.
namespace VirtualKey {
constexpr int kReturn = 13;
constexpr int kEscape = 27;
constexpr int kSpace = 32;
constexpr int kOne = 49;
constexpr int kTwo = 50;
constexpr int kA = 65;
constexpr int kD = 68;
constexpr int kE = 69;
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
