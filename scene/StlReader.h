// StlReader: reads an STL file, ASCII or binary, into a Mesh: three
// positions for each facet, in the file's coordinates (z up, as tools for 3D
// printing write them; the model importer turns them), and no normals, so
// that each facet shows the normal the order of its corners gives.
//
// Binary STL: an 80-byte header, a little-endian 32-bit triangle count and
// 50 bytes per triangle; a file is taken as binary when its size is exactly
// that, whatever its header says (some exporters start it with "solid").
// ASCII STL: "solid name", then facets of "facet normal x y z", "outer loop",
// three "vertex x y z", "endloop", "endfacet", closed by "endsolid name";
// one file may hold several solids. Keywords are read in any letter case, as
// exporters write them, and a file that ends after a whole facet without its
// last "endsolid" is taken as it is.
//
// Degenerate facets are left out as they are read, and counted in
// Mesh::degenerateTriangles. Every other fault refuses the file with
// one message naming it; so does a mesh beyond ObjMeshReader::kMaxVertices
// positions.
#pragma once

#include <string>

#include "scene/Mesh.h"

bool readStlModel(const std::string& path, Mesh& mesh, std::string& error);
