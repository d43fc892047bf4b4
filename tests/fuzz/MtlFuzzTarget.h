// What the material-library harness does with one input: the bytes become
// "fuzz.mtl" beside a small OBJ model that names it, and also "fuzz.obj",
// read as a model in the same folder. The folder holds what a library may
// name: a texture, a subfolder, a pipe, a link to a device and the OBJ
// files themselves. Either model ends in a success whose looks are within
// their limits (colours in [0, 1], textures regular files of the folder,
// few and printable warnings), or in one message naming the file.
#pragma once

#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "scene/ModelReaders.h"
#include "scene/ObjMaterials.h"
#include "tests/fuzz/FuzzTargets.h"

namespace fuzz_targets {

// The model that names "fuzz.mtl": two materials it may define, a face
// with a name no library gives, and a "usemtl" without a name.
constexpr const char* kMtlFuzzModel =
    "mtllib fuzz.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nv 1 1 0\nv 0 0 1\nvt 0 0\nvt 1 1\n"
    "usemtl a\nf 1/1 2/2 3/1\nusemtl b\nf 2/1 4/2 3/2\nusemtl missing\nf 1/1 3/1 5/2\n"
    "usemtl\nf 1/2 2/1 5/1\n";

// A folder of this process's own, made once and removed at exit.
class MtlFuzzFolder {
public:
    MtlFuzzFolder() {
        const char* tmp = std::getenv("TMPDIR");
        path_ =
            std::string(tmp && *tmp ? tmp : "/tmp") + "/tresk-mtl-fuzz-" + std::to_string(getpid());
        std::filesystem::create_directories(path_ + "/sub");
        std::ofstream(file("model.obj"), std::ios::binary) << kMtlFuzzModel;
        // A 2 x 1 picture: a texture the library may name.
        const char picture[] = "P6 2 1 255\n\xff\x80\x00\x10\x20\x30";
        std::ofstream(file("texture.ppm"), std::ios::binary).write(picture, sizeof picture - 1);
        ::mkfifo(file("pipe").c_str(), 0600);
        std::error_code ec;
        std::filesystem::create_symlink("/dev/zero", file("zero"), ec);
    }
    ~MtlFuzzFolder() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    // The folder as links resolved name it, as textures are given.
    std::string resolved() const { return std::filesystem::canonical(path_).string() + "/"; }

private:
    std::string path_;
};

inline void checkLook(const Mesh& mesh, const std::string& folder) {
    const ModelLook& look = mesh.look;
    FUZZ_CHECK(look.diagnostics.size() <= kMaxLookWarnings, "warnings flood");
    for (const Diagnostic& d : look.diagnostics) {
        FUZZ_CHECK(!d.file.empty() && !d.text.empty() && d.text.size() < 1200, d.text);
        for (const char c : d.text)
            FUZZ_CHECK(static_cast<unsigned char>(c) >= 0x20 && c != 0x7f, "a control byte");
    }
    FUZZ_CHECK(look.materials.size() <= kMaxModelMaterials, "too many materials");
    for (const ModelMaterial& m : look.materials) {
        for (const float c : {m.colour.x, m.colour.y, m.colour.z})
            FUZZ_CHECK(c >= 0.f && c <= 1.f && !std::signbit(c), "colour " + std::to_string(c));
        FUZZ_CHECK(m.ior >= 1.f && m.ior <= 4.f, "index " + std::to_string(m.ior));
        FUZZ_CHECK(m.textureFile.empty() || (startsWith(m.textureFile, folder) &&
                                             std::filesystem::is_regular_file(m.textureFile)),
                   m.textureFile);
    }
    FUZZ_CHECK(mesh.materialIndices.empty() ||
                   int64_t(mesh.materialIndices.size()) == mesh.triangleCount(),
               "a material index per triangle");
    for (const int32_t i : mesh.materialIndices)
        FUZZ_CHECK(i >= -1 && i < int32_t(look.materials.size()), "material " + std::to_string(i));
    FUZZ_CHECK(mesh.colours.empty() || mesh.colours.size() == mesh.positions.size(),
               "a colour per position");
    for (const Vec3& c : mesh.colours)
        FUZZ_CHECK(c.x >= 0.f && c.x <= 1.f && c.y >= 0.f && c.y <= 1.f && c.z >= 0.f && c.z <= 1.f,
                   "a vertex colour beyond [0, 1]");
}

inline int mtlInput(const uint8_t* data, size_t size) {
    static const MtlFuzzFolder folder;
    static const std::string resolved = folder.resolved();
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    for (const char* name : {"fuzz.mtl", "fuzz.obj"})
        std::ofstream(folder.file(name), std::ios::binary | std::ios::trunc) << bytes;
    for (const char* name : {"model.obj", "fuzz.obj"}) {
        const std::string path = folder.file(name);
        Mesh mesh;
        std::string error;
        if (!readObjModel(path, mesh, error)) {
            // The model itself is sound whatever its library holds.
            FUZZ_CHECK(name != std::string("model.obj"), error);
            FUZZ_CHECK(startsWith(error, "Mesh file \"" + path + "\", line "), error);
            FUZZ_CHECK(error.size() < 1200, error);
            continue;
        }
        checkLook(mesh, resolved);
    }
    return 0;
}

}  // namespace fuzz_targets
