// ModelFormats: the model formats Tresk opens, one row each, told by the
// file name's extension in any letter case. The importer, the messages and
// the programs' usage texts take every list of formats from here.
//
//   OBJ          Tresk's OBJ reader (ObjMeshReader): its rules, limits and
//                "Mesh file ..., line N" messages
//   STL          Tresk's StlReader: ASCII (keywords in any letter case) or
//                binary; z up, as tools for 3D printing write it
//   PLY, glTF,   the Open Asset Import Library, in a child process: node
//   GLB          transforms applied, polygons triangulated, points and lines
//                dropped, normals kept where the file has them and made
//                within a crease angle where it has none (CreaseNormals)
// Every format but STL is taken to have its y axis up, as OBJ, PLY and glTF
// usually do. Files of a format the library reads but that is not a row
// here are refused with a message: only these are fuzzed
// (tests/fuzz/model_fuzzer.cpp).
#pragma once

#include <string>
#include <vector>

struct Mesh;

// Checks a file before it is read; on failure gives one message naming the
// file.
using ModelCheck = bool (*)(const std::string& path, std::string& error);
// Reads a file into mesh, positions in its reader's units (Mesh::positions);
// on failure gives one message naming the file.
using ModelReader = bool (*)(const std::string& path, Mesh& mesh, std::string& error);

struct ModelFormat {
    const char* name;                     // as messages name the format; null if refused
    std::vector<std::string> extensions;  // lower case, with the dot
    const char* reader;                   // what reads it, as messages name it
    ModelCheck check;                     // Tresk's checks made first, here; or null
    ModelReader read;                     // null for a format that is refused
    // Read in a child process, whose faults and endless loops end only that
    // process (see readIsolated).
    bool isolated;
    // The file's z axis points up: turned so that y does.
    bool zUp;
    // The file states every look it has; for the others the library
    // invents a grey material, which is not the file's.
    bool statesLooks;
};

// The format a file name's extension stands for; a refused format (one the
// library reads but Tresk does not open) gives a row without a reader; no
// model format at all, as for a scene file, gives null.
const ModelFormat* modelFormatOf(const std::string& path);

// The extensions and the names of the formats opened, in the table's order.
std::vector<std::string> modelExtensions();
std::vector<std::string> modelFormatNames();

// The words as a list, "a, b, c" followed by last and the final word.
std::string listOf(const std::vector<std::string>& words, const std::string& last);
