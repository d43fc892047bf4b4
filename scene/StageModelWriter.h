// StageModelWriter: the normalised model of a saved stage, written as
// "model.obj" and, when the model has a look of its own, with it: the
// material library "model.mtl" and the textures beside it, so that the
// scene's "modelmesh" entry reads back the look the stage showed.
//
// Each model material becomes one "newmtl", the inverse of the OBJ
// reader's mapping (scene/ObjMaterials.h): diffuse Kd; textured Kd and
// map_Kd ("-clamp on" when both axes clamp; a texture mirrored along an
// axis is written unfolded along it, twice as large, as PNG, and its faces'
// texture coordinates halved along it, so that repetition shows the same
// texels; clamping along one axis only repeats, and an alpha cut-off is
// not kept: MTL cannot say them); glass
// Kd, Ni and illum 7; a mirror Kd, Ks and illum 3; glossy Kd, Ks 1 1 1 and
// an Ns between the glossy and mirror thresholds. A texture is copied
// byte for byte (unless unfolded) as "model-N.EXT" (an embedded one with the extension its
// bytes show), once however many materials use it. Vertex colours are
// written "v x y z r g b" in sRGB, as the reader takes them; faces without
// a material of the file show them on white, so those get a white one.
#pragma once

#include <string>

#include "scene/Mesh.h"

// Whether the model has a look to save: materials of its own or vertex
// colours. Without one, only model.obj is written, as for every model
// before looks were kept.
bool hasLookToSave(const Mesh& model);

// Writes the model into folder (which exists) with its look, if any; its
// first line is the stage's mark placeholder. False with what failed in
// problem.
bool writeStageModel(const Mesh& model, const std::string& folder, std::string& problem);

// The shortest decimal that the scene and OBJ readers read back to the same
// float.
std::string shortestNumber(float v);
