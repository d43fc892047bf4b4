// PointerMotion: what the mouse did since the controls last looked, gathered
// by the window layer from its events, so that a drag or a wheel turn made
// while a render pass runs is taken whole at the next frame.
#pragma once

struct PointerMotion {
    int turnX = 0;  // pixels dragged with the left button, right and down positive
    int turnY = 0;
    int panX = 0;  // pixels dragged with the right or middle button
    int panY = 0;
    int wheel = 0;  // wheel steps, positive away from the user

    bool any() const { return turnX != 0 || turnY != 0 || panX != 0 || panY != 0 || wheel != 0; }
};
