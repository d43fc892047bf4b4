// Checks of PLY and STL files made before the Open Asset Import Library reads
// them. Its readers of these formats leak, or worse, on files that break off
// or hold a word where a number belongs (found by tests/fuzz/model_fuzzer),
// so only files of exactly the shape the formats prescribe reach it, and
// every count they announce stays within the mesh limits
// (ObjMeshReader::kMaxTriangles, kMaxVertices).
#pragma once

#include <cstdint>
#include <string>

// A PLY file, header and body: ASCII, or binary of either byte order; a
// "face" element whose vertex indices lie within the "vertex" element.
bool checkPlyFile(const std::string& path, int64_t size, std::string& problem);

// An STL file: binary when its size is exactly 84 bytes plus 50 per
// announced triangle (as the library tells the kinds apart), else ASCII
// ("solid", facets of a normal and three vertices, "endsolid").
bool checkStlFile(const std::string& path, int64_t size, std::string& problem);
