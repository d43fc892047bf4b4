// The scene file's materials, one row each: the keyword, what follows it
// and how the material is made. The parser, the builder and the stage
// writer all read this one table, so a new material is its own file in
// shading/, its line in shading/CMakeLists.txt and one row in
// SceneMaterials.cpp (and, for its users, a row of the README's table of
// material entries, which a test holds to this one).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/Vec3.h"
#include "scene/Diagnostic.h"

class Material;
struct ModelMaterial;
struct SceneMaterial;

// What follows a material keyword in the file.
enum class MaterialParameters {
    Colour,     // r g b: three numbers
    ImageFile,  // one word: a file name, relative to the scene file's folder
};

// One material entry of a scene, read but not yet made.
struct SceneMaterialEntry {
    const SceneMaterial* type = nullptr;  // the row of its keyword
    Vec3 colour;                          // MaterialParameters::Colour
    std::string fileName;                 // MaterialParameters::ImageFile: as written
    // A model's own material, for the stage around a model; null in scenes.
    const ModelMaterial* modelMaterial = nullptr;
};

// What making a material may need besides its entry.
struct MaterialBuild {
    const std::string& baseDirectory;  // what file names are relative to
    int64_t& texelsLeft;               // what the scene's images may still use together
    Diagnostics& diagnostics;          // where a file that cannot be used is reported
};

struct SceneMaterial {
    const char* keyword;
    MaterialParameters parameters;
    std::unique_ptr<Material> (*make)(const SceneMaterialEntry& entry, MaterialBuild& build);
};

// Every row, in the table's order.
const std::vector<SceneMaterial>& sceneMaterials();

// The row of a keyword; null when it names no material.
const SceneMaterial* findSceneMaterial(const std::string& keyword);

// The rows that the stage around a model is made of: its diffuse surfaces
// and its sky.
const SceneMaterial& diffuseSurfaceMaterial();
const SceneMaterial& environmentMaterial();
