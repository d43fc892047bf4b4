// Tracer: the ray queries and random draws that materials shade with. The
// Renderer implements it; materials see only this interface, so shading
// does not depend on the renderer that drives it.
#pragma once

#include <cstdint>

#include "core/Ray.h"
#include "shading/Light.h"

class Tracer {
public:
    // Colour seen along the ray; black above the depth limit or when nothing
    // is hit.
    virtual Vec4 trace(const Ray& ray, int depth) const = 0;
    // 1.0 when nothing lies on the ray closer than maxDistance, else 0.0.
    // lightBehind: the ray leaves a surface that faces away from where it
    // goes (a shadow ray to a light behind the surface). The answer is the
    // same either way; such a ray first crosses the body it leaves, and the
    // search then starts at the far end, where its blocker lies.
    virtual float visibility(const Ray& ray, float maxDistance, bool lightBehind = false) const = 0;
    virtual int lightCount() const = 0;
    virtual Light copyLight(int index) const = 0;
    // The next entries of the shared random and hemisphere tables.
    virtual int32_t nextRandom() = 0;
    virtual Vec4 nextHemisphereDirection() = 0;
    // Secondary rays per diffuse-GI or glossy shading, as set.
    virtual float secondarySampleCount() const = 0;

    // The tracer the materials shade against: the process-wide Renderer,
    // which registers itself when it is created.
    static Tracer& current() { return *current_; }

protected:
    Tracer() = default;
    ~Tracer() = default;
    static void setCurrent(Tracer* tracer) { current_ = tracer; }

private:
    static Tracer* current_;
};
