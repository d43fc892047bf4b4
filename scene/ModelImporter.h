// ModelImporter: reads a model file, given on the command line or dropped on
// the viewer, into one triangle mesh of a fixed size and place, whatever the
// file's format, units and position.
//
// Formats: scene/ModelFormats.h. Every format is held to the OBJ reader's
// limits (ObjMeshReader::kMaxTriangles, kMaxVertices). A file that cannot
// be read, breaks a rule or holds no triangle is refused with one message
// naming the file.
#pragma once

#include <cstdint>
#include <string>

#include "core/Vec3.h"
#include "scene/Mesh.h"
#include "scene/ModelFormats.h"

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

// Reads the model at path, a file of the given format, into mesh and
// normalises it: positions moved and scaled into the box, vertices that no
// face uses dropped, texture coordinates dropped. The positions are left as
// an OBJ file of the normalised model holds them: the OBJ reader multiplies
// them by ObjMeshReader::kVertexScale, and so must whoever makes triangles
// of them. On failure returns false with one message naming the file in
// error, and mesh holds no triangles. Degenerate triangles are left out in
// every format and counted in mesh.degenerateTriangles.
bool importModel(const std::string& path, const ModelFormat& format, Mesh& mesh, ModelBox& box,
                 std::string& error);
