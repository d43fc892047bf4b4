// The scene reader's first phase (SceneReader::parse): the scene file read,
// word by word, into a checked SceneDescription.
#pragma once

#include <iosfwd>
#include <string>

#include "scene/Diagnostic.h"
#include "scene/SceneReader.h"

// Reads and checks the whole description; fileName names the file in
// messages. Appends the warnings (words that are no keyword, text after the
// last light), or on the first problem one Fatal diagnostic naming the
// file, the line, what was expected and what was found, and returns false
// with an empty scene.
bool parseScene(std::istream& in, const std::string& fileName, SceneDescription& scene,
                Diagnostics& diagnostics);
