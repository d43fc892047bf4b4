// ModelImporter: reads a model file, given on the command line or dropped on
// the viewer, into one triangle mesh of a fixed size and place, whatever the
// file's format, units and position.
//
// Formats, told by the name's extension in any case:
//   .obj          Wavefront OBJ, through ObjMeshReader: its rules, limits and
//                 "Mesh file ..., line N" messages
//   .stl          through StlReader: ASCII (keywords in any letter case) or
//                 binary
//   .ply          through the Open Asset Import Library: node transforms
//   .gltf .glb    applied, polygons triangulated, points and lines dropped,
//                 normals kept where the file has them and made smooth where
//                 it has none
// Every format but STL is taken to have its y axis up, as OBJ, PLY and glTF
// usually do; STL, from tools for 3D printing, has z up and is turned, and
// its facets show the normal that the order of their corners gives (the
// normal written in the file is often zero or reversed).
// Other formats are refused with a message: the library reads many more, but
// only these are fuzzed (tests/fuzz/model_fuzzer.cpp). What the fuzzer found
// in the library is kept from it by checks of the file made beforehand.
//
// Every format is held to the OBJ reader's limits (ObjMeshReader::
// kMaxTriangles, kMaxVertices). A file that cannot be read, breaks a rule or
// holds no triangle is refused with one message naming the file.
#pragma once

#include <cstdint>
#include <string>

#include "core/Vec3.h"
#include "scene/ObjMeshReader.h"

// Other: a model format that Tresk does not open (.fbx, .dae, .3ds and the
// like); None: no model format, as for a scene file.
enum class ModelFormat { None, Obj, Ply, Stl, Gltf, Glb, Other };

// The format a file name's extension stands for.
ModelFormat modelFormatOf(const std::string& path);

// The longest side of the normalised model, in world units.
constexpr float kModelSize = 2.f;

// Where the normalised model lies: x and z centred on 0, standing on y = 0,
// its longest side kModelSize. A model much deeper (along z) than wide is
// turned a quarter about the vertical, so that a camera looking along -z
// sees its long side. A flat model, whose height is less than 0.4 of its
// smaller side across (width or depth), is then tilted back about the x
// axis, its top towards that camera, as if seen from above: by an angle
// growing evenly from 0 at 0.4 to 40 degrees at 0.2 and below (a plate, a
// coin, a sheet of no thickness, which then no longer lies in the floor).
struct ModelBox {
    Vec3 size;  // extent along x, y and z
};

// Reads the model at path into model.mesh() and normalises it: positions
// moved and scaled into the box, vertices that no face uses dropped, texture
// coordinates dropped. The positions are left as an OBJ file of the
// normalised model would hold them: multiply them by
// ObjMeshReader::kVertexScale, as the OBJ reader does, before fillTriangles. On failure returns
// false with one message naming the file in error, and model holds no triangles. Degenerate
// triangles are left out in every format and counted in model.mesh().degenerateTriangles.
bool importModel(const std::string& path, ObjMeshReader& model, ModelBox& box, std::string& error);

// The library's part (scene/AssimpImporter.cpp): fills mesh with positions
// in the file's units, normals and 0-based indices (texture indices -1).
bool importWithAssimp(const std::string& path, ModelFormat format, MeshGroup& mesh,
                      std::string& error);
