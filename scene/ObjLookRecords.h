// ObjLookRecords: what an OBJ text says of the looks of its faces, gathered
// by the OBJ reader in the pass that reads the geometry (scene/ObjParser.h)
// and resolved once the whole text is read (scene/ObjMaterials.h), so that
// a model's text is read once and its pieces may be read side by side.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/Vec3.h"

struct ObjLookRecords {
    // A "mtllib" or "usemtl" statement: the rest of its line, trimmed, and
    // the triangles of the text before it.
    struct Statement {
        bool library;  // "mtllib"; otherwise "usemtl"
        std::string rest;
        int64_t triangle;
    };
    std::vector<Statement> statements;  // in file order
    // The colours of the positions written "v x y z r g b", as written
    // (display values), while every position has one.
    std::vector<Vec3> colours;
    bool uncoloured = false;  // a position without a colour: none is kept
};
