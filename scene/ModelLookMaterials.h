// ModelLookMaterials: the scene materials that a model's own look becomes,
// for the stage around a model and for a scene's "modelmesh" entry alike.
// Each model material (scene/ModelMaterial.h) is the nearest of the scene
// format's materials, coloured by it: a mirror "simplephongmaterial", glossy
// "glossyreflectionmaterial", glass "dielectricmaterial", diffuse
// "diffusephongmaterial", or a textured diffuse surface when it has a
// texture or the mesh has vertex colours.
#pragma once

#include <string>
#include <vector>

#include "scene/Mesh.h"
#include "scene/SceneMaterials.h"

// Appends one material entry per material of the mesh's look to materials
// and points the mesh's materialIndices at them. With whiteForTheRest, the
// faces without a material of the file show the mesh's vertex colours (if
// any) on a white surface; otherwise they keep -1. The entries point into
// model.look: it must outlive their making.
void addModelLook(std::vector<SceneMaterialEntry>& materials, Mesh& model, bool whiteForTheRest);

// Names the model file in the look's diagnostics that name no file of
// their own (what says what it is, "Model file" or "Mesh file"), and moves
// them to the end of diagnostics.
void takeLookDiagnostics(ModelLook& look, const std::string& what, const std::string& path,
                         Diagnostics& diagnostics);
