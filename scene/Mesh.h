// Mesh: a triangle mesh as every reader delivers it, whatever the file's
// format, and as the scene builder takes it: lists of vertex attributes and,
// for each triangle, three indices into each list.
#pragma once

#include <cstdint>
#include <vector>

#include "core/Triangle.h"
#include "core/Vec3.h"
#include "scene/ModelMaterial.h"

struct Mesh {
    // In the units their reader gives: the OBJ reader's are the file's
    // enlarged by ObjMeshReader::kVertexScale, the other formats' the file's.
    std::vector<Vec3> positions;
    std::vector<Vec3> normals;    // unit length, or zero where the file gave zero
    std::vector<Vec3> texCoords;  // (u, v, w); missing values are 0
    // Per-vertex colours (linear RGB) of a model: empty, or one for each
    // position, named by the position indices.
    std::vector<Vec3> colours;
    // Three entries per triangle, 0-based into the lists above. A texture or
    // normal index of -1 means the corner gave none; a triangle without all
    // three normals uses its geometric normal.
    std::vector<int32_t> positionIndices;
    std::vector<int32_t> texCoordIndices;
    std::vector<int32_t> normalIndices;
    // Triangles left out while reading: their corners on one point or one
    // line (scene/DegenerateTriangles.h).
    int64_t degenerateTriangles = 0;
    // For each triangle, its entry in look.materials, or -1 for the default
    // look; empty when every triangle has the default look. Only models
    // carry looks: a scene file's meshes take the entry's material.
    std::vector<int32_t> materialIndices;
    ModelLook look;

    int triangleCount() const { return int(positionIndices.size() / 3); }
};

// Appends the mesh's triangles made with the given material, in the order
// of its faces: vertices, edges, normals, texture coordinates.
void appendTriangles(const Mesh& mesh, std::vector<Triangle>& triangles, const Material* material);
