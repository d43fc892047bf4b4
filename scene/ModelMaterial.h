// ModelMaterial: the look that a model file gives a group of its faces, in
// terms neutral to the file's format, before the model stage maps it onto
// Tresk's materials (scene/ModelStage.cpp).
#pragma once

#include <string>
#include <vector>

#include "core/Vec3.h"
#include "scene/Diagnostic.h"

struct ModelMaterial {
    enum class Kind { Diffuse, Mirror, Glossy, Glass };
    enum class Wrap { Repeat, Clamp, MirroredRepeat };

    std::string name;  // as the file names it
    Kind kind = Kind::Diffuse;
    Vec3 colour = Vec3(1.f, 1.f, 1.f);  // linear RGB: the body colour, or a mirror's tint
    // The diffuse texture: a file inside the model's folder (resolved), or
    // none. The texture coordinates of the faces go with it.
    std::string textureFile;
    // Or the bytes of an image embedded in the model file (PNG, JPEG).
    std::vector<unsigned char> textureBytes;
    Wrap wrapU = Wrap::Repeat, wrapV = Wrap::Repeat;
    float alphaCutoff = -1.f;  // texels less opaque than this are holes; below 0: none
    float ior = 1.5f;          // refractive index of glass
};

// The looks of a model's faces, and what went wrong while reading them (a
// missing material library or texture: the faces concerned keep the default
// look).
struct ModelLook {
    std::vector<ModelMaterial> materials;
    Diagnostics diagnostics;
    // The material libraries read (an OBJ model's), resolved, in the order
    // read.
    std::vector<std::string> libraries;

    bool textured() const {
        for (const ModelMaterial& m : materials)
            if (!m.textureFile.empty() || !m.textureBytes.empty()) return true;
        return false;
    }
};
