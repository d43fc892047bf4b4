#include "scene/ModelStage.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "render/Renderer.h"
#include "scene/DataFiles.h"
#include "scene/DegenerateTriangles.h"
#include "scene/StageFolder.h"
#include "scene/TextSnippet.h"
#include "shading/TexturedDiffuseMaterial.h"

namespace fs = std::filesystem;

namespace {

using ObjectKind = SceneDescription::ObjectEntry::Kind;

const char* const kModelFile = kStageModelFile;
const char* const kSkyFile = kStageSkyFile;
const char* const kBundledSky = "examples/showcase/sky.hdr";

// The viewer's square sizes: its field of view is 80 degrees both ways.
constexpr int kInteractiveSide = 320;
constexpr int kStillSide = 640;
// Half the field of view, in radians (80 degrees in all).
constexpr double kHalfFieldOfView = 40.0 * 3.14159265358979323846 / 180.0;
// The part of the picture's width or height that the model's box fills at
// most: a margin around the model.
constexpr double kFraming = 0.85;
// The floor lies this far below the model's lowest point, so that faces
// resting on it do not flicker against it.
constexpr float kFloorGap = 0.002f;
constexpr float kSkyRadius = 500.f;
// Irradiance that each light delivers at the model's centre (colour ×
// intensity / distance²), and its distance in bounding-sphere radii.
constexpr float kLightDistance = 40.f;
const Vec3 kKeyDirection(0.75f, 0.6f, 0.3f);  // on the sky's sun's side
const Vec3 kKeyColour(1.45f, 1.37f, 1.25f);
const Vec3 kFillDirection(-0.8f, 0.25f, 0.55f);
const Vec3 kFillColour(0.3f, 0.34f, 0.4f);
const Vec3 kFloorColour(0.75f, 0.75f, 0.72f);
const Vec3 kModelColour(0.8f, 0.42f, 0.28f);

float length(const Vec3& v) { return std::sqrt(v.x * v.x + v.y * v.y + v.z * v.z); }

Light pointLight(const Vec3& centre, float radius, const Vec3& direction, const Vec3& colour) {
    const float distance = kLightDistance * radius;
    const Vec3 p = centre + direction * (distance / length(direction));
    const Vec3 c = colour * (distance * distance);
    return Light{Vec4(p.x, p.y, p.z, 0.f), Vec4(c.x, c.y, c.z, 0.f)};
}

// The stage around a model box of the given size (world units).
SceneDescription stageFor(const Vec3& size, bool withSky, int kdDepth) {
    SceneDescription s;
    s.stillMode = false;
    s.giSampleCount = 4.f;
    s.interactiveWidth = s.interactiveHeight = kInteractiveSide;
    s.stillWidth = s.stillHeight = kStillSide;
    s.exposure = 1.f;
    const float radius = 0.5f * length(size);
    const Vec3 centre(0.f, size.y / 2.f, 0.f);
    // The box's near face, the largest in the picture, fills kFraming of it.
    const double halfFace = double(std::max(size.x, size.y)) / 2.0;
    const double distance = halfFace / std::tan(kHalfFieldOfView) / kFraming;
    s.cameraPosition = Vec3(0.f, centre.y, float(double(size.z) / 2.0 + distance));

    auto material = [&s](const SceneMaterial& type, const Vec3& colour, const std::string& file) {
        SceneDescription::MaterialEntry m;
        m.type = &type;
        m.colour = colour;
        m.fileName = file;
        s.materials.push_back(m);
        return int(s.materials.size()) - 1;
    };
    const int floor = material(diffuseSurfaceMaterial(), kFloorColour, "");
    const int model = material(diffuseSurfaceMaterial(), kModelColour, "");

    SceneDescription::ObjectEntry plane;
    plane.kind = ObjectKind::Plane;
    plane.values[1] = 1.f;
    plane.values[3] = kFloorGap;  // y = -kFloorGap
    plane.material = floor;
    s.objects.push_back(plane);
    SceneDescription::ObjectEntry mesh;
    mesh.kind = ObjectKind::TriangleMesh;
    mesh.fileName = kModelFile;
    mesh.kdMaxDepth = kdDepth;
    mesh.material = model;
    s.objects.push_back(mesh);
    if (withSky) {
        SceneDescription::ObjectEntry sky;
        sky.kind = ObjectKind::SkySphere;
        sky.values[0] = kSkyRadius;
        sky.material = material(environmentMaterial(), Vec3(), kSkyFile);
        s.objects.push_back(sky);
    }
    s.materialEntries = int(s.materials.size());
    s.objectEntries = int(s.objects.size());
    s.lights.push_back(pointLight(centre, radius, kKeyDirection, kKeyColour));
    s.lights.push_back(pointLight(centre, radius, kFillDirection, kFillColour));
    return s;
}

// Depth limit of the tree: deeper for larger meshes, about log2 of the
// triangle count less two (a leaf then holds a few triangles).
int treeDepthFor(int triangles) {
    int depth = 10;
    while (depth < 24 && (int64_t(1) << (depth + 2)) < triangles) ++depth;
    return depth;
}

// The shortest decimal that the scene and OBJ readers read back to the same
// float.
std::string number(float v) {
    char text[32];
    for (int digits = 6;; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, double(v));
        if (digits == 9 || std::strtof(text, nullptr) == v) return text;
    }
}

std::string sceneText(const SceneDescription& s) {
    std::string t = std::string(s.stillMode ? "1" : "0") + "\n" + number(s.giSampleCount) + "\n" +
                    std::to_string(s.interactiveWidth) + " " + std::to_string(s.interactiveHeight) +
                    "\n" + std::to_string(s.stillWidth) + " " + std::to_string(s.stillHeight) +
                    "\n" + number(s.cameraPosition.x) + " " + number(s.cameraPosition.y) + " " +
                    number(s.cameraPosition.z) + "\n" + number(s.exposure) + "\n" +
                    std::to_string(s.materials.size()) + "\n";
    for (const auto& m : s.materials) {
        t += m.type->keyword;
        if (m.type->parameters == MaterialParameters::ImageFile)
            t += " " + m.fileName + "\n";
        else
            t += " " + number(m.colour.x) + " " + number(m.colour.y) + " " + number(m.colour.z) +
                 "\n";
    }
    t += std::to_string(s.objects.size()) + "\n";
    for (const auto& o : s.objects) {
        const auto& v = o.values;
        switch (o.kind) {
            case ObjectKind::Plane:
                t += "plane " + number(v[0]) + " " + number(v[1]) + " " + number(v[2]) + " " +
                     number(v[3]);
                break;
            case ObjectKind::SkySphere:
                t += "skysphere " + number(v[0]);
                break;
            case ObjectKind::TriangleMesh:
                t += "trianglemesh " + o.fileName + " " + std::to_string(o.kdMaxDepth);
                break;
            case ObjectKind::Sphere:
            case ObjectKind::Triangle:
                continue;  // the stage has none
        }
        t += " " + std::to_string(o.material) + "\n";
    }
    t += std::to_string(s.lights.size()) + "\n";
    const char* const names[] = {"key", "fill"};
    for (size_t i = 0; i < s.lights.size(); ++i) {
        const Light& l = s.lights[i];
        t += std::string(i < 2 ? names[i] : "light") + " " + number(l.position.x) + " " +
             number(l.position.y) + " " + number(l.position.z) + " " + number(l.position.w) + " " +
             number(l.colour.x) + " " + number(l.colour.y) + " " + number(l.colour.z) + " " +
             number(l.colour.w) + "\n";
    }
    return t;
}

bool writeObj(const Mesh& g, const std::string& path) {
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    std::fputs(stageMarkPlaceholder().c_str(), out);
    std::fprintf(out, "# Normalised by Tresk: %zu vertices, %zu triangles\n", g.positions.size(),
                 g.positionIndices.size() / 3);
    for (const Vec3& p : g.positions)
        std::fprintf(out, "v %s %s %s\n", number(p.x).c_str(), number(p.y).c_str(),
                     number(p.z).c_str());
    for (const Vec3& n : g.normals)
        std::fprintf(out, "vn %s %s %s\n", number(n.x).c_str(), number(n.y).c_str(),
                     number(n.z).c_str());
    for (size_t i = 0; i + 2 < g.positionIndices.size(); i += 3) {
        const int32_t* p = &g.positionIndices[i];
        const int32_t* n = &g.normalIndices[i];
        if (n[0] >= 0 && n[1] >= 0 && n[2] >= 0)
            std::fprintf(out, "f %d//%d %d//%d %d//%d\n", p[0] + 1, n[0] + 1, p[1] + 1, n[1] + 1,
                         p[2] + 1, n[2] + 1);
        else
            std::fprintf(out, "f %d %d %d\n", p[0] + 1, p[1] + 1, p[2] + 1);
    }
    const bool ok = std::ferror(out) == 0;
    return std::fclose(out) == 0 && ok;
}

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

// Adds one scene material per model material to the scene and points the
// mesh's triangles at them.
void addModelLook(SceneDescription& scene, Mesh& model) {
    const int32_t first = int32_t(scene.materials.size());
    for (const ModelMaterial& m : model.look.materials) {
        SceneDescription::MaterialEntry entry;
        entry.type = &sceneMaterialFor(m, !model.colours.empty());
        entry.colour = m.colour;
        entry.fileName = m.textureFile;
        entry.modelMaterial = &m;
        scene.materials.push_back(entry);
    }
    // Vertex colours on faces without a material of the file's show on white.
    if (!model.colours.empty()) {
        SceneDescription::MaterialEntry white;
        white.type = &kTexturedSurface;
        white.colour = Vec3(1.f, 1.f, 1.f);
        scene.materials.push_back(white);
        model.materialIndices.resize(size_t(model.triangleCount()), -1);
    }
    const int32_t whiteEntry = int32_t(scene.materials.size()) - 1;
    for (int32_t& index : model.materialIndices)
        index = index >= 0 ? index + first : model.colours.empty() ? -1 : whiteEntry;
}

}  // namespace

bool makeModelStage(const std::string& modelPath, const ModelFormat& format, ModelStage& stage,
                    std::string& error) {
    ModelBox box;
    const bool ok = importModel(modelPath, format, stage.model, box, error);
    auto& look = stage.model.look.diagnostics;
    for (Diagnostic& d : look) {
        if (!d.file.empty()) continue;  // the library's: said of the model
        d.file = modelPath;
        d.text = escapeControlBytes("Model file \"" + modelPath + "\": " + d.text);
    }
    stage.diagnostics.insert(stage.diagnostics.end(), look.begin(), look.end());
    look.clear();
    if (ok)
        noteDegenerateTriangles("Model file \"" + modelPath + "\"", modelPath,
                                stage.model.degenerateTriangles, stage.diagnostics);
    if (!ok) box.size = Vec3(kModelSize, kModelSize, kModelSize);
    stage.skyFile = findDataFile(kBundledSky);
    stage.scene =
        stageFor(box.size, !stage.skyFile.empty(), treeDepthFor(stage.model.triangleCount()));
    return ok;
}

void buildModelStage(ModelStage& stage, Renderer& r) {
    // The stage with the sky where it was found; the mesh comes from
    // memory, as the reader would have read it from the copy.
    SceneDescription scene = stage.scene;
    for (auto& m : scene.materials)
        if (m.type->parameters == MaterialParameters::ImageFile) m.fileName = stage.skyFile;
    for (Vec3& p : stage.model.positions) p = p * ObjMeshReader::kVertexScale;
    addModelLook(scene, stage.model);
    buildScene(scene, "", r, stage.diagnostics, SceneLimits(), &stage.model);
}

bool saveModelStage(const ModelStage& stage, const std::string& folder, std::string& error) {
    std::error_code ec;
    fs::create_directories(folder, ec);
    const fs::path dir(folder);
    auto fail = [&](const std::string& what) {
        error = "Cannot save the scene to \"" + folder + "\": " + what + ".";
        return false;
    };
    if (ec) return fail(ec.message());
    if (!writeObj(stage.model, (dir / kModelFile).string()))
        return fail("cannot write " + std::string(kModelFile));
    if (!stage.skyFile.empty() &&
        !fs::copy_file(stage.skyFile, dir / kSkyFile, fs::copy_options::overwrite_existing, ec))
        return fail("cannot copy the sky \"" + stage.skyFile + "\": " + ec.message());
    std::ofstream out(dir / kStageSceneFile, std::ios::binary | std::ios::trunc);
    out << sceneText(stage.scene);
    out.close();
    if (!out) return fail("cannot write " + std::string(kStageSceneFile));
    return markStage(folder, error);
}

std::string modelStageSky() { return findDataFile(kBundledSky); }

namespace {

bool openModel(Renderer& r, const std::string& path, const ModelFormat& format, BrokenModel broken,
               std::string& error, ModelStage& stage, const std::string& saveFolder) {
    logReadingStarts("Model");
    if (!makeModelStage(path, format, stage, error)) {
        if (broken == BrokenModel::Refuse) {
            stage.diagnostics.push_back({Severity::Fatal, path, 0, error, ""});
            return false;
        }
        stage.diagnostics.push_back({Severity::Error, path, 0, error, ""});
    }
    if (!saveFolder.empty() && !saveModelStage(stage, saveFolder, error)) return false;
    return buildOrReset(
        r, "Model file \"" + path + "\"", [&] { buildModelStage(stage, r); }, error);
}

}  // namespace

bool openSceneOrModel(Renderer& r, const std::string& path, BrokenModel broken, std::string& error,
                      Diagnostics& diagnostics, const std::string& saveFolder) {
    const ModelFormat* format = modelFormatOf(path);
    if (!format && !saveFolder.empty()) {
        error = "\"" + path + "\" is no model file (" + listOf(modelExtensions(), " or ") +
                "): only the stage made around a model can be saved as a scene.";
        return false;
    }
    if (!format) return readScene(r, path, error, diagnostics);
    ModelStage stage;
    const bool opened = openModel(r, path, *format, broken, error, stage, saveFolder);
    diagnostics.insert(diagnostics.end(), stage.diagnostics.begin(), stage.diagnostics.end());
    return opened;
}
