// Checks of PLY files made before the Open Asset Import Library reads
// them. Its reader of the format leaks, or worse, on files that break off or
// hold a word where a number belongs (found by tests/fuzz/model_fuzzer), so
// only files of exactly the shape the format prescribes reach it, and every
// count they announce stays within the mesh limits
// (ObjMeshReader::kMaxTriangles, kMaxVertices).
#pragma once

#include <cstdint>
#include <string>

// A PLY file, header and body: ASCII, or binary of either byte order; a
// "face" element whose vertex indices lie within the "vertex" element.
bool checkPlyFile(const std::string& path, int64_t size, std::string& problem);
