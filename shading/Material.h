// Material: turns a hit into a colour. The renderer sees only this
// interface; the concrete materials call back into the ray queries of the
// Tracer (shading/Tracer.h) for shadows and further rays.
#pragma once

#include <string>

#include "core/Ray.h"

class Material {
public:
    virtual ~Material() = default;

    // hit.depth is already the caller's depth + 1; every ray the material
    // traces uses it unchanged. Only the dielectric writes to the record.
    virtual Vec4 shade(HitRecord& hit) const = 0;

    // The image file the material shows (a texture's), for the checks on
    // what a run may write; empty for none or for an image held in memory.
    virtual std::string imageFile() const { return std::string(); }
};

// The six surface materials: a colour (r, g, b, 0) set right after creation
// and nothing else, so two materials of one class differ only in colour.
class ColourMaterial : public Material {
public:
    void setColour(float r, float g, float b) { colour = Vec4(r, g, b, 0.f); }

    Vec4 colour;
};
