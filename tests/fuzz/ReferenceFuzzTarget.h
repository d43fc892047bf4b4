// What the reference harness does with one input: the bytes, up to the
// first NUL, are a reference that a model in a fixed folder names to another
// file (ModelFolder::resolve). Whatever the bytes, the rule must agree with
// the kernel: a file it finds is the one the kernel resolves the composed
// path to, inside the folder; a reference it refuses is absolute, has a
// scheme, or leads outside; one it cannot find the kernel cannot either.
#pragma once

#include <limits.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>

#include "scene/ModelFolder.h"
#include "tests/fuzz/FuzzTargets.h"

namespace fuzz_targets {

// The model's folder, with ways out of it and back in:
//   ROOT/outside.bin
//   ROOT/model/inside.bin, ROOT/model/sub/deep.bin
//   ROOT/model/link-out -> ..              a folder link out
//   ROOT/model/file-out -> ../outside.bin  a file link out
//   ROOT/model/link-in -> sub              a folder link within
//   ROOT/model/sub/up -> ../..             out, two levels from below
//   ROOT/model/absolute-in -> ROOT/model/sub
//   ROOT/model/loop -> loop
// removed when the process ends.
class ReferenceTree {
public:
    ReferenceTree() {
        namespace fs = std::filesystem;
        const char* tmp = std::getenv("TMPDIR");
        root_ = std::string(tmp && *tmp ? tmp : "/tmp") + "/tresk-reference-fuzz-" +
                std::to_string(getpid());
        const std::string model = root_ + "/model";
        fs::create_directories(model + "/sub");
        for (const std::string& file :
             {root_ + "/outside.bin", model + "/inside.bin", model + "/sub/deep.bin"})
            std::ofstream(file) << "buffer";
        fs::create_symlink("..", model + "/link-out");
        fs::create_symlink("../outside.bin", model + "/file-out");
        fs::create_symlink("sub", model + "/link-in");
        fs::create_symlink("../..", model + "/sub/up");
        fs::create_symlink(model + "/sub", model + "/absolute-in");
        fs::create_symlink("loop", model + "/loop");
        char real[PATH_MAX];
        folder_ = ::realpath(model.c_str(), real) ? real : model;
    }
    ~ReferenceTree() {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    ReferenceTree(const ReferenceTree&) = delete;
    ReferenceTree& operator=(const ReferenceTree&) = delete;

    std::string modelFile() const { return root_ + "/model/model.gltf"; }
    std::string modelFolder() const { return root_ + "/model"; }
    const std::string& realFolder() const { return folder_; }

private:
    std::string root_, folder_;
};

inline int referenceInput(const uint8_t* data, size_t size) {
    static const ReferenceTree tree;
    // Longer paths fail in the kernel for their length alone.
    constexpr size_t kMaxReference = 1024;
    const char* text = reinterpret_cast<const char*>(data);
    const std::string reference(text, strnlen(text, std::min(size, kMaxReference)));
    const ModelFolder folder(tree.modelFile());
    std::string resolved, problem;
    const ModelFolder::Found found = folder.resolve(reference, resolved, problem);

    // What the kernel makes of the path a reader composes.
    char real[PATH_MAX];
    const bool exists = ::realpath((tree.modelFolder() + "/" + reference).c_str(), real) != nullptr;
    const std::string kernel = exists ? real : "";
    const bool inside =
        exists && (kernel == tree.realFolder() || startsWith(kernel, tree.realFolder() + "/"));
    const bool absolute = !reference.empty() && reference[0] == '/';
    const bool schemeLike = reference.find(':') < reference.find('/');
    switch (found) {
        case ModelFolder::Found::Inside:
            FUZZ_CHECK(inside && resolved == kernel && !absolute, reference);
            break;
        case ModelFolder::Found::Missing:
            FUZZ_CHECK(!exists, reference);
            break;
        case ModelFolder::Found::Refused:
            FUZZ_CHECK(!inside || absolute || schemeLike, reference);
            break;
    }
    if (inside && !absolute && !schemeLike)
        FUZZ_CHECK(found == ModelFolder::Found::Inside, "a file inside refused: " + reference);
    if (found != ModelFolder::Found::Inside) {
        FUZZ_CHECK(!problem.empty() && problem.size() < 400, problem);
        for (const char c : problem)
            FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f,
                       "a control byte in the message");
    }
    return 0;
}

}  // namespace fuzz_targets
