// ModelFolder: the folder of a model file, out of which nothing that the
// model names is read. A model names further files (a glTF file's buffers
// and images, an OBJ file's material libraries and textures) by references
// relative to its own folder; a reference that is absolute, a URI with a
// scheme ("file:", "http:"), or that leads out of the folder through ".."
// or a symbolic link is refused, so that a model received from elsewhere
// cannot pull the user's other files into what Tresk shows and saves. The
// rule is fuzzed by tests/fuzz/reference_fuzzer.cpp.
#pragma once

#include <string>

class ModelFolder {
public:
    // The folder of the model file at modelPath, as the path names it: a
    // symbolic link in the model's own name is not followed.
    explicit ModelFolder(const std::string& modelPath);

    // What a reference, relative to the folder, names: a file inside it
    // (given in resolved, with symbolic links followed and "." and ".."
    // taken out, for the reader to open), nothing that exists, or a file
    // refused by the rule; the last two with a message quoting the
    // reference in problem.
    enum class Found { Inside, Missing, Refused };
    Found resolve(const std::string& reference, std::string& resolved, std::string& problem) const;

    // The reference again from a path that a reader composed of the model's
    // folder as the model's path names it and the reference.
    std::string referenceIn(const std::string& composedPath) const;

private:
    std::string prefix_;  // the model's path up to its last '/', or empty
    std::string folder_;  // the folder, resolved; empty when it cannot be
    std::string folderProblem_;
};
