// ObjMaterials: the looks an OBJ model gives its faces. The OBJ text is
// scanned for "mtllib" (one or more libraries, a name with spaces read whole
// when that file exists, '\' read as '/' as Windows exporters write it),
// "usemtl" (the rest of the line names the material) and the faces, each of
// n corners giving n - 2 triangles as the OBJ reader triangulates them. The
// libraries and the textures they name are read only from inside the
// model's folder (scene/ModelFolder.h) and only when they are regular files,
// each library once; one that is missing or refused is one warning (at most
// kMaxLookWarnings in all), and its faces keep the default look. Vertices written
// "v x y z r g b" give their colours (as sRGB) when every vertex has one.
//
// From a library ("newmtl"): Kd the colour (each component clamped to
// [0, 1], one that is not a number taken as 0, so that no colour beyond
// light's own reaches the renderer); map_Kd the texture; d < 1,
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

struct ObjLooks {
    // For each triangle of the file, in the OBJ reader's order, its entry in
    // look.materials or -1, and its corners' positions (0-based, -1 for one
    // that names none); both empty when the file has no materials.
    std::vector<int32_t> triangleMaterials;
    std::vector<int32_t> triangleCorners;
    // Linear colours of the positions when every "v" line gives one.
    std::vector<Vec3> vertexColours;
    ModelLook look;
};

// A model's materials, beyond which further ones are left out (a library
// may define millions, each costing memory and a scene material).
constexpr size_t kMaxModelMaterials = 65536;
// Warnings about a model's libraries and textures, beyond which the rest
// go unsaid.
constexpr size_t kMaxLookWarnings = 10;
constexpr float kStrongSpecular = 0.5f;
constexpr float kSharpShininess = 500.f;
constexpr float kBroadShininess = 100.f;

// Scans the OBJ text of the model at objPath for its looks.
ObjLooks readObjLooks(std::istream& in, const std::string& objPath);

// Gives the mesh, as the OBJ reader read it from the same text, its vertex
// colours, the looks' materials and each of its triangles its own: those the reader left out
// for covering no area are left out here too. A mesh whose triangles do not
// match keeps the default look.
void applyObjLooks(ObjLooks& looks, Mesh& mesh);

// Appends the materials of one MTL text to look; textures are resolved in
// folder, and path names the library in messages.
void parseMtl(std::istream& in, const ModelFolder& folder, const std::string& path,
              ModelLook& look);
