// Where Tresk's own data files are (the bundled examples and their sky): the
// installed copy beside the running program (PREFIX/share/tresk when the
// program is PREFIX/bin/tresk), the install prefix it was built for, and
// the source tree it was built from, in that order.
#pragma once

#include <string>

// The path of a file or folder named relative to the data folder, such as
// "examples/showcase/sky.hdr"; empty when none of the places has it.
std::string findDataFile(const std::string& relative);

// What to say when there is no scene file where the program looks for its
// default one: how to start it with a scene file, a model, or an example.
std::string startHelp(const std::string& program, const std::string& defaultScene);
