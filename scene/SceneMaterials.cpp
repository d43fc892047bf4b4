#include "scene/SceneMaterials.h"

#include <algorithm>

#include "scene/SceneReader.h"
#include "shading/DebugMaterial.h"
#include "shading/DielectricMaterial.h"
#include "shading/DiffuseGIPhongMaterial.h"
#include "shading/DiffusePhongMaterial.h"
#include "shading/GlossyReflectionMaterial.h"
#include "shading/HdrEnvironmentMap.h"
#include "shading/SimplePhongMaterial.h"

namespace {

template <class M>
std::unique_ptr<Material> makeColoured(const SceneMaterialEntry& entry, MaterialBuild&) {
    auto material = std::make_unique<M>();
    material->setColour(entry.colour.x, entry.colour.y, entry.colour.z);
    return material;
}

// An image that cannot be used leaves the background black and is reported.
std::unique_ptr<Material> makeEnvironment(const SceneMaterialEntry& entry, MaterialBuild& build) {
    auto map = std::make_unique<HdrEnvironmentMap>();
    const std::string path = resolveScenePath(build.baseDirectory, entry.fileName);
    if (map->load(path, build.texelsLeft))
        build.texelsLeft -= int64_t(map->width) * map->height;
    else
        build.diagnostics.push_back({Severity::Warning, path, 0, map->problem(), ""});
    return map;
}

const std::vector<SceneMaterial> kMaterials = {
    {"debugmaterial", MaterialParameters::Colour, makeColoured<DebugMaterial>},
    {"simplephongmaterial", MaterialParameters::Colour, makeColoured<SimplePhongMaterial>},
    {"glossyreflectionmaterial", MaterialParameters::Colour,
     makeColoured<GlossyReflectionMaterial>},
    {"diffusephongmaterial", MaterialParameters::Colour, makeColoured<DiffusePhongMaterial>},
    {"diffusegiphongmaterial", MaterialParameters::Colour, makeColoured<DiffuseGIPhongMaterial>},
    {"dielectricmaterial", MaterialParameters::Colour, makeColoured<DielectricMaterial>},
    {"hdrenvmap", MaterialParameters::ImageFile, makeEnvironment},
};

template <class Match>
const SceneMaterial* findRow(Match match) {
    const auto row = std::find_if(kMaterials.begin(), kMaterials.end(), match);
    return row == kMaterials.end() ? nullptr : &*row;
}

}  // namespace

const std::vector<SceneMaterial>& sceneMaterials() { return kMaterials; }

const SceneMaterial* findSceneMaterial(const std::string& keyword) {
    return findRow([&](const SceneMaterial& row) { return keyword == row.keyword; });
}

const SceneMaterial& diffuseSurfaceMaterial() {
    return *findRow(
        [](const SceneMaterial& row) { return row.make == makeColoured<DiffusePhongMaterial>; });
}

const SceneMaterial& environmentMaterial() {
    return *findRow([](const SceneMaterial& row) { return row.make == makeEnvironment; });
}
