// FrameClock: elapsed milliseconds between frames of the message loop.
//
// The clock starts when the window is created, before the scene is loaded
// and the first frame rendered, so the first frame's interval holds all of
// that start-up time. A minimised window draws no frames, so the first frame
// after restoring gets the whole time spent minimised.
#pragma once

#include <cstdint>

class FrameClock {
public:
    void start(uint32_t nowTicks) { lastTicks_ = nowTicks; }
    // Milliseconds since the previous frame (or the start); unsigned
    // arithmetic keeps it right across the 49-day wrap of the tick count.
    uint32_t tick(uint32_t nowTicks) {
        const uint32_t elapsed = nowTicks - lastTicks_;
        lastTicks_ = nowTicks;
        return elapsed;
    }

private:
    uint32_t lastTicks_ = 0;
};
