// Helpers that set up the process-wide Renderer with a scene made in code,
// through the same set-up calls the scene reader makes.
#pragma once

#include <tbb/global_control.h>

#include <memory>
#include <utility>

#include "render/Renderer.h"
#include "shading/DebugMaterial.h"

namespace testing_scene {

// Disposes of whatever an earlier test loaded and allocates both sizes.
inline Renderer& freshRenderer(int width, int height, int stillWidth = 8, int stillHeight = 8) {
    Renderer& r = *Renderer::instance();
    r.reset();
    r.setImageSizes(width, height, stillWidth, stillHeight);
    return r;
}

// Completes set-up as the reader does after reading, with the camera at eye,
// and restarts both draw sequences so results do not depend on test order.
inline void finish(Renderer& r, const Vec3& eye = Vec3(0.f, 0.f, 0.f)) {
    r.getCamera().set(Vec3(0.f, 0.f, 0.f));
    r.getCamera().position = eye;
    r.finishScene();
    r.generateTables();
    r.setRandomIndex(0);
    r.setHemisphereIndex(0);
}

template <class M>
M* addColourMaterial(Renderer& r, float red, float green, float blue) {
    auto m = std::make_unique<M>();
    m->setColour(red, green, blue);
    return static_cast<M*>(r.addMaterial(std::move(m)));
}

inline DebugMaterial* addDebug(Renderer& r, float red, float green, float blue) {
    return addColourMaterial<DebugMaterial>(r, red, green, blue);
}

// Runs the render passes of a test on one thread, so the draws from the
// random tables repeat exactly.
struct SingleThread {
    tbb::global_control limit{tbb::global_control::max_allowed_parallelism, 1};
};

}  // namespace testing_scene
