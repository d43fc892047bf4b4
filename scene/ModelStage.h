// ModelStage: the ready-made scene around a model opened directly
// (`tresk MODEL`, `tresk-render MODEL`, a file dropped on the viewer).
//
// The model is normalised when read (ModelImporter): its longest side is
// kModelSize, it is centred on the y axis and stands on the floor y = 0, so
// the stage is the same for every model of the same shape, whatever its
// units and position; a flat model is tilted back to show its top, as the
// scene format's camera always looks along -z. Around it, all placed for
// the model's box:
//   camera   at the box's mid-height, looking along -z, far enough back
//            that the box fills at most 85 % of the picture's width and height
//   floor    a plane just below the model, light grey
//   model    its file's own materials (scene/ModelMaterial.h) where it gives
//            them, diffuse terracotta elsewhere
//   sky      the bundled daylight sky (examples/showcase/sky.hdr) on a sky
//            sphere; without it the background stays black
//   lights   a warm key light from the sun's side of the sky and a weaker,
//            cool fill light from the front left, each as bright at the
//            model whatever the model's proportions
// saveModelStage writes all of it as an ordinary scene folder.
#pragma once

#include <string>

#include "scene/Mesh.h"
#include "scene/ModelImporter.h"
#include "scene/SceneReader.h"

class Renderer;

struct ModelStage {
    // The stage as a scene file would give it; its "trianglemesh" entry
    // names "model.obj" and its environment entry the sky image.
    SceneDescription scene;
    // The normalised model, as its "model.obj" holds it; no triangles when it
    // could not be read.
    Mesh model;
    std::string skyFile;  // the sky image found for the stage; empty when none
    // What went wrong while making and building it, in order.
    Diagnostics diagnostics;
};

// Reads and normalises the model, a file of the given format, and sets up
// the stage around it. When the model cannot be read returns false with one message naming the file
// in error; the stage is then set up without a model.
bool makeModelStage(const std::string& modelPath, const ModelFormat& format, ModelStage& stage,
                    std::string& error);

// Builds the stage into the Renderer (after disposing of its earlier scene)
// as the scene reader builds a scene file. Takes the model's triangles:
// stage.model is left empty.
void buildModelStage(ModelStage& stage, Renderer& renderer);

// Writes the stage as a scene folder that renders the same picture through
// the scene reader: "scene.txt", the normalised model as "model.obj" (with
// its look, if it has one, as "model.mtl" and textures beside it, read by a
// "modelmesh" entry: scene/StageModelWriter.h) and the sky as "sky.hdr",
// marked as Tresk's (scene/StageFolder.h). The look files of a stage saved
// there before are removed first. The folder is
// made if needed. It replaces files of these names: the caller checks with
// stageFolderAvailable first, before the model is read. On failure returns
// false with a message in error.
bool saveModelStage(const ModelStage& stage, const std::string& folder, std::string& error);

// The sky image that the stage around a model reads (wherever it was found:
// beside the program, under the install prefix or in the source tree);
// empty when there is none.
std::string modelStageSky();

// What a broken model opened directly leads to.
enum class BrokenModel {
    Refuse,     // the open fails with the message; an earlier scene stays
    ShowStage,  // an Error diagnostic with the message, and the stage without a model
};

// Opens a scene file, or the stage around a model file (told by its
// extension, see modelFormatOf). False with one message in error when the
// scene file, or with BrokenModel::Refuse the model, cannot be read. With a
// saveFolder, a model's stage is saved there first (saveModelStage), and
// a scene file is refused. What went wrong while reading is appended to
// diagnostics (a failure to read the scene or the model last, as Fatal);
// the caller decides how it reaches the user.
bool openSceneOrModel(Renderer& renderer, const std::string& path, BrokenModel broken,
                      std::string& error, Diagnostics& diagnostics,
                      const std::string& saveFolder = std::string());
