// The readers and checks that the rows of the model formats' table
// (scene/ModelFormats.cpp) name, each failing with one message that names
// the file.
#pragma once

#include <string>

#include "scene/Mesh.h"
#include "scene/ModelFormats.h"
#include "scene/StlReader.h"

// "Model file "path": problem." (the stop only when problem has none).
inline std::string modelFileMessage(const std::string& path, const std::string& problem) {
    return "Model file \"" + path + "\": " + problem +
           (!problem.empty() && problem.back() == '.' ? "" : ".");
}

// Tresk's OBJ reader, with its scale (scene/ModelImporter.cpp).
bool readObjModel(const std::string& path, Mesh& mesh, std::string& error);

// Checks made before a reader that trusts its input less far than Tresk's
// OBJ reader: a regular file, at most 1 GiB, that can be opened; for PLY its
// whole structure, for GLB its version (scene/AssimpImporter.cpp).
bool checkBoundedFile(const std::string& path, std::string& error);
bool checkPlyModel(const std::string& path, std::string& error);
bool checkGlbModel(const std::string& path, std::string& error);

// The Open Asset Import Library (scene/AssimpImporter.cpp).
bool readWithLibrary(const std::string& path, Mesh& mesh, std::string& error);

// Runs the format's reader in a child process and takes the mesh back
// through a pipe (scene/IsolatedReading.cpp).
bool readIsolated(const ModelFormat& format, const std::string& path, Mesh& mesh,
                  std::string& error);
