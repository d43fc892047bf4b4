// ObjMaterials: the looks an OBJ model gives its faces. The OBJ reader
// gathers them in its one pass over the text (scene/ObjLookRecords.h):
// "mtllib" (one or more libraries, a name with spaces read whole when that
// file exists, '\' read as '/' as Windows exporters write it), "usemtl"
// (the rest of the line names the material) and the faces that follow it,
// and vertices written "v x y z r g b", whose colours (as sRGB) are kept
// when every vertex has one. They are resolved here, the libraries read in
// the order the text names them. The libraries and the textures they name
// are read only from inside the model's folder (scene/ModelFolder.h) and
// only when they are regular files, each library once; one that is missing
// or refused is one warning (at most kMaxLookWarnings in all), and its
// faces keep the default look (for a texture: the material's colour).
//
// From a library ("newmtl"): Kd the colour (each component clamped to
// [0, 1], one that is not a number taken as 0, so that no colour beyond
// light's own reaches the renderer); map_Kd the texture, repeated, or
// clamped with the option "-clamp on"; d < 1,
// Tr > 0 or illum 4, 6 or 7 glass (Ni its index); illum 3 a mirror tinted
// by Ks; otherwise a specular stronger than kStrongSpecular a mirror when
// Ns reaches kSharpShininess, glossy when it reaches kBroadShininess, and
// diffuse below.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "scene/Mesh.h"
#include "scene/ModelFolder.h"
#include "scene/ModelMaterial.h"
#include "scene/ObjLookRecords.h"

// A model's materials, beyond which further ones are left out (a library
// may define millions, each costing memory and a scene material).
constexpr size_t kMaxModelMaterials = 65536;
// Warnings about a model's libraries and textures, beyond which the rest
// go unsaid.
constexpr size_t kMaxLookWarnings = 10;

constexpr float kStrongSpecular = 0.5f;
constexpr float kSharpShininess = 500.f;
constexpr float kBroadShininess = 100.f;

// Gives the mesh that the OBJ reader read from the model at objPath, with
// the records of its looks (ObjMeshReader::parse), its vertex colours when
// every position has one, and its triangles the materials of the libraries
// its text names.
void applyObjLooks(const ObjLookRecords& records, const std::string& objPath, Mesh& mesh);

// The material libraries that the text of the OBJ model at objPath names,
// read as applyObjLooks reads them (look.libraries, and look.materials with
// their textures), without reading the geometry: for the checks on what a
// run may write, made before the model is read.
ModelLook objLibraries(const std::string& objPath);

// Appends the materials of one MTL text to look; textures are resolved in
// folder, and path names the library in messages.
void parseMtl(std::istream& in, const ModelFolder& folder, const std::string& path,
              ModelLook& look);
