#include "scene/ModelLookMaterials.h"

#include <algorithm>

#include "scene/TextSnippet.h"
#include "shading/TexturedDiffuseMaterial.h"

namespace {

// A textured diffuse surface: its colour times its texture, which counts
// against the scene's images; one that cannot be used leaves the colour
// alone and is reported.
std::unique_ptr<Material> makeTextured(const SceneMaterialEntry& entry, MaterialBuild& build) {
    auto material = std::make_unique<TexturedDiffuseMaterial>();
    material->setColour(entry.colour.x, entry.colour.y, entry.colour.z);
    auto texture = std::make_shared<Texture>();
    const ModelMaterial* m = entry.modelMaterial;
    const bool embedded = m && !m->textureBytes.empty();
    if (m) {
        material->setAlphaCutoff(std::max(0.f, m->alphaCutoff));
        texture->setWrap(Texture::Wrap(m->wrapU), Texture::Wrap(m->wrapV));
    }
    if (entry.fileName.empty() && !embedded) {
        // Vertex colours alone.
    } else if (embedded ? texture->loadFromMemory(m->textureBytes.data(), m->textureBytes.size(),
                                                  build.texelsLeft)
                        : texture->load(entry.fileName, build.texelsLeft)) {
        build.texelsLeft -= int64_t(texture->width()) * texture->height();
        material->setTexture(std::move(texture));
    } else {
        const std::string named =
            embedded ? "The texture embedded in the model" : "Texture \"" + entry.fileName + "\"";
        build.diagnostics.push_back({Severity::Warning, entry.fileName, 0,
                                     escapeControlBytes(named + ": " + texture->problem() +
                                                        " Its faces show their colour alone."),
                                     ""});
    }
    return material;
}

// Made for a model's own textures only: no scene file names it.
const SceneMaterial kTexturedSurface = {"textureddiffusematerial", MaterialParameters::Colour,
                                        makeTextured};

// The scene material that a model material becomes: the nearest of the
// scene format's, coloured by it.
const SceneMaterial& sceneMaterialFor(const ModelMaterial& m, bool vertexColours) {
    using Kind = ModelMaterial::Kind;
    switch (m.kind) {
        case Kind::Mirror:
            return *findSceneMaterial("simplephongmaterial");
        case Kind::Glossy:
            return *findSceneMaterial("glossyreflectionmaterial");
        case Kind::Glass:
            return *findSceneMaterial("dielectricmaterial");
        case Kind::Diffuse:
            break;
    }
    return m.textureFile.empty() && m.textureBytes.empty() && !vertexColours
               ? diffuseSurfaceMaterial()
               : kTexturedSurface;
}

}  // namespace

void addModelLook(std::vector<SceneMaterialEntry>& materials, Mesh& model, bool whiteForTheRest) {
    const int32_t first = int32_t(materials.size());
    for (const ModelMaterial& m : model.look.materials) {
        SceneMaterialEntry entry;
        entry.type = &sceneMaterialFor(m, !model.colours.empty());
        entry.colour = m.colour;
        entry.fileName = m.textureFile;
        entry.modelMaterial = &m;
        materials.push_back(entry);
    }
    const bool white = whiteForTheRest && !model.colours.empty();
    // Vertex colours on faces without a material of the file's show on white.
    if (white) {
        SceneMaterialEntry entry;
        entry.type = &kTexturedSurface;
        entry.colour = Vec3(1.f, 1.f, 1.f);
        materials.push_back(entry);
        model.materialIndices.resize(size_t(model.triangleCount()), -1);
    }
    const int32_t whiteEntry = int32_t(materials.size()) - 1;
    for (int32_t& index : model.materialIndices)
        index = index >= 0 ? index + first : white ? whiteEntry : -1;
}

void takeLookDiagnostics(ModelLook& look, const std::string& what, const std::string& path,
                         Diagnostics& diagnostics) {
    for (Diagnostic& d : look.diagnostics) {
        if (!d.file.empty()) continue;  // the library's: said of the model
        d.file = path;
        d.text = escapeControlBytes(what + " \"" + path + "\": " + d.text);
    }
    diagnostics.insert(diagnostics.end(), look.diagnostics.begin(), look.diagnostics.end());
    look.diagnostics.clear();
}
