#include "scene/StageModelWriter.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>

#include "scene/ObjMaterials.h"
#include "scene/StageFolder.h"
#include "shading/Texture.h"

namespace fs = std::filesystem;

namespace {

// A shininess between the glossy and the mirror thresholds: reads back
// as glossy.
constexpr float kGlossyShininess = 0.5f * (kBroadShininess + kSharpShininess);
// Longest part of a material's own name kept in the library's names.
constexpr size_t kLongestName = 48;
const char* const kWhiteMaterial = "vertex-colours";

std::string triple(const Vec3& v) {
    return shortestNumber(v.x) + " " + shortestNumber(v.y) + " " + shortestNumber(v.z);
}

float toSrgb(float linear) {
    const float c = std::clamp(linear, 0.f, 1.f);
    return c <= 0.0031308f ? 12.92f * c : 1.055f * std::pow(c, 1.f / 2.4f) - 0.055f;
}

// The library's name for material i: its own name, in letters, digits and
// "_.-" only, then its number, which makes it unique.
std::string libraryName(const ModelMaterial& m, size_t i) {
    std::string name;
    for (char c : m.name.substr(0, kLongestName)) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '-';
        name += plain ? c : '_';
    }
    return (name.empty() ? "material" : name) + "-" + std::to_string(i);
}

// The extension an embedded image's bytes show.
std::string extensionOf(const std::vector<unsigned char>& bytes) {
    static const unsigned char kPng[] = {0x89, 'P', 'N', 'G'};
    if (bytes.size() >= 4 && std::equal(kPng, kPng + 4, bytes.begin())) return "png";
    if (bytes.size() >= 2 && bytes[0] == 0xff && bytes[1] == 0xd8) return "jpg";
    return "img";
}

// The extension of a texture file, in lower case; "img" when it has no
// plain one.
std::string extensionOf(const std::string& file) {
    std::string ext = fs::path(file).extension().string();
    if (!ext.empty()) ext.erase(0, 1);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; });
    const bool plain =
        !ext.empty() && ext.size() <= 8 && std::all_of(ext.begin(), ext.end(), [](char c) {
            return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
        });
    return plain ? ext : "img";
}

bool mirrored(const ModelMaterial& m) {
    using Wrap = ModelMaterial::Wrap;
    return m.wrapU == Wrap::MirroredRepeat || m.wrapV == Wrap::MirroredRepeat;
}

// What plain repetition over halved coordinates must show for a mirrored
// wrap, which MTL cannot say: the image unfolded along its mirrored axes,
// as a PNG file.
bool writeUnfolded(const ModelMaterial& m, const fs::path& target) {
    Texture texture;
    const bool loaded = m.textureBytes.empty()
                            ? texture.load(m.textureFile)
                            : texture.loadFromMemory(m.textureBytes.data(), m.textureBytes.size());
    texture.setWrap(Texture::Wrap(m.wrapU), Texture::Wrap(m.wrapV));
    return loaded && texture.unfolded().writePng(target.string());
}

// Writes the textures of the look beside the model, each once, and gives
// the name each material's map_Kd names (empty: none).
class TextureWriter {
public:
    explicit TextureWriter(const fs::path& dir) : dir_(dir) {}

    bool write(const ModelMaterial& m, std::string& name, std::string& problem) {
        name.clear();
        const bool embedded = !m.textureBytes.empty();
        std::error_code ec;
        if (!embedded && (m.textureFile.empty() || !fs::is_regular_file(m.textureFile, ec)))
            return true;  // the stage shows the colour alone, and so will the copy
        const std::string key =
            (embedded ? "bytes:" + std::string(m.textureBytes.begin(), m.textureBytes.end())
                      : "file:" + m.textureFile) +
            (mirrored(m)
                 ? ":unfolded " + std::to_string(int(m.wrapU)) + std::to_string(int(m.wrapV))
                 : "");
        const auto known = written_.find(key);
        if (known != written_.end()) {
            name = known->second;
            return true;
        }
        name = kStageTexturePrefix + std::to_string(written_.size()) + "." +
               (mirrored(m) ? "png"
                : embedded  ? extensionOf(m.textureBytes)
                            : extensionOf(m.textureFile));
        const fs::path target = dir_ / name;
        bool ok = false;
        if (mirrored(m)) {
            ok = writeUnfolded(m, target);
        } else if (embedded) {
            std::ofstream out(target, std::ios::binary | std::ios::trunc);
            out.write(reinterpret_cast<const char*>(m.textureBytes.data()),
                      std::streamsize(m.textureBytes.size()));
            out.close();
            ok = bool(out);
        } else {
            ok = fs::copy_file(m.textureFile, target, fs::copy_options::overwrite_existing, ec);
        }
        if (!ok) problem = "cannot write the texture " + name;
        written_.emplace(key, name);
        return ok;
    }

private:
    fs::path dir_;
    std::map<std::string, std::string> written_;
};

std::string mtlEntry(const ModelMaterial& m, const std::string& texture) {
    using Kind = ModelMaterial::Kind;
    std::string t = "Kd " + triple(m.colour) + "\n";
    switch (m.kind) {
        case Kind::Glass:
            t += "Ni " + shortestNumber(m.ior) + "\nillum 7\n";
            break;
        case Kind::Mirror:
            t += "Ks " + triple(m.colour) + "\nillum 3\n";
            break;
        case Kind::Glossy:
            t += "Ks 1 1 1\nNs " + shortestNumber(kGlossyShininess) + "\n";
            break;
        case Kind::Diffuse:
            break;
    }
    using Wrap = ModelMaterial::Wrap;
    const bool clamped = m.wrapU == Wrap::Clamp && m.wrapV == Wrap::Clamp;
    if (!texture.empty())
        t += "map_Kd " + std::string(clamped ? "-clamp on " : "") + texture + "\n";
    return t;
}

// Writes model.mtl and the textures; names gets each material's name in
// it, and a last one for the faces without a material of the file.
bool writeLibrary(const Mesh& g, const fs::path& dir, std::vector<std::string>& names,
                  std::string& problem) {
    std::string text = "# Materials of the model, written by Tresk\n";
    TextureWriter textures(dir);
    for (size_t i = 0; i < g.look.materials.size(); ++i) {
        const ModelMaterial& m = g.look.materials[i];
        std::string texture;
        if (!textures.write(m, texture, problem)) return false;
        names.push_back(libraryName(m, i));
        text += "newmtl " + names.back() + "\n" + mtlEntry(m, texture);
    }
    names.push_back(g.colours.empty() ? "" : kWhiteMaterial);
    if (!g.colours.empty()) text += "newmtl " + names.back() + "\nKd 1 1 1\n";
    std::ofstream out(dir / kStageLibraryFile, std::ios::binary | std::ios::trunc);
    out << text;
    out.close();
    if (!out) problem = "cannot write " + std::string(kStageLibraryFile);
    return bool(out);
}

// The texture coordinates' layouts: halved along u (bit 0) and along v
// (bit 1) for a texture unfolded along that axis.
int layoutOf(const Mesh& g, size_t material) {
    if (material >= g.look.materials.size()) return 0;
    using Wrap = ModelMaterial::Wrap;
    const ModelMaterial& m = g.look.materials[material];
    return (m.wrapU == Wrap::MirroredRepeat ? 1 : 0) + (m.wrapV == Wrap::MirroredRepeat ? 2 : 0);
}

// Where each layout's "vt" lines start (0-based), -1 for one not written.
using Layouts = std::array<long, 4>;

void writeTexCoords(std::FILE* out, const Mesh& g, Layouts& start) {
    std::array<bool, 4> used = {true, false, false, false};
    for (size_t m = 0; m < g.look.materials.size(); ++m) used[size_t(layoutOf(g, m))] = true;
    long written = 0;
    for (size_t layout = 0; layout < 4; ++layout) {
        start[layout] = used[layout] ? written : -1;
        if (!used[layout]) continue;
        const float su = layout & 1 ? 0.5f : 1.f, sv = layout & 2 ? 0.5f : 1.f;
        for (const Vec3& t : g.texCoords)
            std::fprintf(out, "vt %s %s\n", shortestNumber(t.x * su).c_str(),
                         shortestNumber(t.y * sv).c_str());
        written += long(g.texCoords.size());
    }
}

void writeVertices(std::FILE* out, const Mesh& g, bool withLook, Layouts& layouts) {
    const bool coloured = withLook && !g.colours.empty();
    for (size_t i = 0; i < g.positions.size(); ++i) {
        const Vec3& p = g.positions[i];
        std::fprintf(out, "v %s", triple(p).c_str());
        if (coloured) {
            const Vec3& c = g.colours[i];
            std::fprintf(out, " %s", triple(Vec3(toSrgb(c.x), toSrgb(c.y), toSrgb(c.z))).c_str());
        }
        std::fputc('\n', out);
    }
    for (const Vec3& n : g.normals) std::fprintf(out, "vn %s\n", triple(n).c_str());
    if (withLook && g.look.textured()) writeTexCoords(out, g, layouts);
}

// One face: texture coordinates (from the first of the layout's lines) when
// all three corners have them and the look has a texture (uvStart not
// negative), normals likewise.
void writeFace(std::FILE* out, const Mesh& g, size_t i, long uvStart) {
    const int32_t* p = &g.positionIndices[i];
    const int32_t* n = &g.normalIndices[i];
    const int32_t* t = &g.texCoordIndices[i];
    const bool normals = n[0] >= 0 && n[1] >= 0 && n[2] >= 0;
    const bool uv = uvStart >= 0 && t[0] >= 0 && t[1] >= 0 && t[2] >= 0;
    std::fputc('f', out);
    for (int k = 0; k < 3; ++k) {
        std::fprintf(out, " %d", p[k] + 1);
        if (uv) std::fprintf(out, "/%ld", uvStart + t[k] + 1);
        if (normals) std::fprintf(out, uv ? "/%d" : "//%d", n[k] + 1);
    }
    std::fputc('\n', out);
}

bool writeObj(const Mesh& g, const std::string& path, const std::vector<std::string>& names) {
    const bool withLook = !names.empty();
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    std::fputs(stageMarkPlaceholder(withLook).c_str(), out);
    std::fprintf(out, "# Normalised by Tresk: %zu vertices, %zu triangles\n", g.positions.size(),
                 g.positionIndices.size() / 3);
    if (withLook) std::fprintf(out, "mtllib %s\n", kStageLibraryFile);
    Layouts layouts = {-1, -1, -1, -1};
    writeVertices(out, g, withLook, layouts);
    // OBJ cannot take a material back: the faces without one come first.
    auto entryOf = [&](size_t i) {
        const size_t k = i / 3;
        const int32_t index = k < g.materialIndices.size() ? g.materialIndices[k] : -1;
        return index >= 0 ? size_t(index) : names.size() - 1;
    };
    const size_t none = withLook && names.back().empty() ? names.size() - 1 : ~size_t(0);
    for (size_t i = 0; none != ~size_t(0) && i + 2 < g.positionIndices.size(); i += 3)
        if (entryOf(i) == none) writeFace(out, g, i, layouts[0]);
    size_t current = none;
    for (size_t i = 0; i + 2 < g.positionIndices.size(); i += 3) {
        const size_t entry = withLook ? entryOf(i) : ~size_t(0);
        if (withLook && entry == none) continue;
        if (entry != current) std::fprintf(out, "usemtl %s\n", names[entry].c_str());
        current = entry;
        writeFace(out, g, i, withLook ? layouts[size_t(layoutOf(g, entry))] : -1);
    }
    const bool ok = std::ferror(out) == 0;
    return std::fclose(out) == 0 && ok;
}

}  // namespace

bool hasLookToSave(const Mesh& model) {
    return !model.look.materials.empty() || !model.colours.empty();
}

bool writeStageModel(const Mesh& model, const std::string& folder, std::string& problem) {
    const fs::path dir(folder);
    std::vector<std::string> names;
    if (hasLookToSave(model) && !writeLibrary(model, dir, names, problem)) return false;
    if (writeObj(model, (dir / kStageModelFile).string(), names)) return true;
    problem = "cannot write " + std::string(kStageModelFile);
    return false;
}

std::string shortestNumber(float v) {
    char text[32];
    for (int digits = 6;; ++digits) {
        std::snprintf(text, sizeof text, "%.*g", digits, double(v));
        if (digits == 9 || std::strtof(text, nullptr) == v) return text;
    }
}
