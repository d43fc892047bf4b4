#include "scene/ObjMaterials.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <istream>
#include <sstream>
#include <unordered_map>
#include <unordered_set>

#include "scene/ObjParser.h"
#include "scene/TextSnippet.h"
#include "shading/Texture.h"

namespace {

// Calls use(line) for each line of the text, split as the OBJ reader splits
// it: an overlong line that is no record is cut short, and a NUL byte ends
// the text, so that a file that is not text costs no more than the reader's
// own pass over it.
template <class Use>
void forEachLine(std::istream& in, Use use) {
    obj_parser::LineSource lines(in);
    const char* begin;
    const char* end;
    while (lines.next(begin, end)) {
        if (lines.endedAtNul() && std::memchr(begin, '\0', size_t(end - begin))) return;
        use(std::string(begin, end));
    }
}

std::string trimmed(const std::string& s) {
    const char* blanks = " \t\r\v\f";
    const size_t a = s.find_first_not_of(blanks);
    if (a == std::string::npos) return "";
    return s.substr(a, s.find_last_not_of(blanks) - a + 1);
}

// The keyword of a line and the rest of it, trimmed; the keyword is empty
// for a blank line or a comment.
std::string splitLine(const std::string& line, std::string& rest) {
    const std::string t = trimmed(line);
    if (t.empty() || t[0] == '#') return "";
    const size_t end = t.find_first_of(" \t");
    rest = end == std::string::npos ? "" : trimmed(t.substr(end));
    return t.substr(0, end);
}

std::vector<std::string> words(const std::string& s) {
    std::istringstream in(s);
    std::vector<std::string> out;
    for (std::string w; in >> w;) out.push_back(w);
    return out;
}

std::string forwardSlashes(std::string reference) {
    std::replace(reference.begin(), reference.end(), '\\', '/');
    return reference;
}

// Warns once about a file that a model names but that cannot be read, and
// about no more than kMaxLookWarnings of them (a library may name
// thousands), saying what its faces show instead.
void warnMissing(ModelLook& look, const std::string& file, const std::string& what,
                 const std::string& problem, const char* instead) {
    if (look.diagnostics.size() >= kMaxLookWarnings) return;
    for (const Diagnostic& d : look.diagnostics)
        if (d.text.find(problem) != std::string::npos) return;
    look.diagnostics.push_back({Severity::Warning, file, 0,
                                escapeControlBytes("Model file \"" + file + "\", " + what + ": " +
                                                   problem + ". Its faces " + instead + "."),
                                ""});
}

Vec3 colourOf(const std::string& rest) {
    const std::vector<std::string> v = words(rest);
    float c[3] = {0.f, 0.f, 0.f};
    for (size_t i = 0; i < 3; ++i) {
        const std::string& w = v.empty() ? std::string("0") : v[std::min(i, v.size() - 1)];
        const float v = std::strtof(w.c_str(), nullptr);
        c[i] = v > 0.f ? std::min(v, 1.f) : 0.f;  // NaN and -0 too
    }
    return Vec3(c[0], c[1], c[2]);
}

float numberOf(const std::string& rest, float otherwise) {
    const float v = std::strtof(rest.c_str(), nullptr);
    return std::isfinite(v) ? v : otherwise;
}

// What an MTL entry says, before it is classified.
struct MtlEntry {
    ModelMaterial m;
    Vec3 specular;
    float shininess = 0.f, opacity = 1.f;
    int illum = -1;
};

ModelMaterial classify(MtlEntry e) {
    ModelMaterial& m = e.m;
    const float strength = std::max(e.specular.x, std::max(e.specular.y, e.specular.z));
    if (e.opacity < 1.f || e.illum == 4 || e.illum == 6 || e.illum == 7)
        m.kind = ModelMaterial::Kind::Glass;
    else if (e.illum == 3 || (strength > kStrongSpecular && e.shininess >= kSharpShininess))
        m.kind = ModelMaterial::Kind::Mirror;
    else if (strength > kStrongSpecular && e.shininess >= kBroadShininess)
        m.kind = ModelMaterial::Kind::Glossy;
    if (m.kind == ModelMaterial::Kind::Mirror && strength > 0.f) m.colour = e.specular;
    return m;
}

// The file that a map statement names: after any options, the last word
// when there are options, else the whole rest.
std::string mapFile(const std::string& rest) {
    if (rest.empty() || rest[0] != '-') return rest;
    const std::vector<std::string> v = words(rest);
    return v.back();
}

// A file of the folder that can be read whole: a folder, a device or a pipe
// (which might never deliver a byte) is refused with a problem.
bool resolveFile(const ModelFolder& folder, const std::string& reference, std::string& resolved,
                 std::string& problem) {
    if (folder.resolve(reference, resolved, problem) != ModelFolder::Found::Inside) return false;
    std::error_code ec;
    if (std::filesystem::is_regular_file(resolved, ec)) return true;
    problem = "it names " + quoteSnippet(reference) +
              ", which is not a regular file (a folder, device or pipe)";
    return false;
}

void setTexture(MtlEntry& e, const std::string& rest, const ModelFolder& folder,
                const std::string& path, ModelLook& look) {
    const std::string reference = forwardSlashes(mapFile(rest));
    // "-clamp on": the texture's edge texels go on outside [0, 1].
    const std::vector<std::string> options = words(rest);
    for (size_t i = 0; rest[0] == '-' && i + 2 < options.size(); ++i)
        if (options[i] == "-clamp")
            e.m.wrapU = e.m.wrapV =
                options[i + 1] == "on" ? ModelMaterial::Wrap::Clamp : ModelMaterial::Wrap::Repeat;
    std::string resolved, problem;
    if (resolveFile(folder, reference, resolved, problem))
        e.m.textureFile = resolved;
    else
        warnMissing(look, path, "the texture of material " + quoteSnippet(e.m.name), problem,
                    "show their colour alone");
}

}  // namespace

void parseMtl(std::istream& in, const ModelFolder& folder, const std::string& path,
              ModelLook& look) {
    std::vector<MtlEntry> entries;
    bool full = false;  // statements after the last material kept apply to none
    forEachLine(in, [&](const std::string& line) {
        std::string rest;
        const std::string key = splitLine(line, rest);
        if (key == "newmtl") {
            full = look.materials.size() + entries.size() >= kMaxModelMaterials;
            if (full) {
                warnMissing(look, path, "its material library",
                            "it defines more than " + std::to_string(kMaxModelMaterials) +
                                " materials, the most a model may have",
                            "keep the default look");
            } else {
                entries.emplace_back();
                entries.back().m.name = rest;
            }
        }
        if (entries.empty() || key.empty() || full) return;
        MtlEntry& e = entries.back();
        if (key == "Kd") e.m.colour = colourOf(rest);
        if (key == "Ks") e.specular = colourOf(rest);
        if (key == "Ns") e.shininess = numberOf(rest, 0.f);
        if (key == "d") e.opacity = numberOf(rest, 1.f);
        if (key == "Tr") e.opacity = 1.f - numberOf(rest, 0.f);
        if (key == "Ni") e.m.ior = std::clamp(numberOf(rest, 1.5f), 1.f, 4.f);
        if (key == "illum") e.illum = int(std::clamp(numberOf(rest, -1.f), -1.f, 100.f));
        if (key == "map_Kd") setTexture(e, rest, folder, path, look);
    });
    for (const MtlEntry& e : entries) look.materials.push_back(classify(e));
}

namespace {

// What the scan of the OBJ text keeps between lines.
struct LookScan {
    ModelFolder folder;
    std::unordered_set<std::string> libraries;  // resolved paths of those read
    // The first material of each name; "usemtl" may come before its library.
    std::unordered_map<std::string, int32_t> byName;
    std::string currentName;  // of the last "usemtl"
};

// Reads the libraries that one "mtllib" line names, each library once
// however often it is named (a line may name one thousands of times).
void readLibraries(const std::string& rest, LookScan& scan, const std::string& objPath,
                   ModelLook& look) {
    std::string resolved, problem;
    std::vector<std::string> names{forwardSlashes(rest)};
    if (!resolveFile(scan.folder, names[0], resolved, problem)) names = words(names[0]);
    for (const std::string& name : names) {
        if (!resolveFile(scan.folder, name, resolved, problem)) {
            warnMissing(look, objPath, "its material library", problem, "keep the default look");
            continue;
        }
        if (!scan.libraries.insert(resolved).second) continue;
        look.libraries.push_back(resolved);
        std::ifstream library(resolved, std::ios::binary);
        const size_t first = look.materials.size();
        parseMtl(library, scan.folder, objPath, look);
        for (size_t i = first; i < look.materials.size(); ++i)
            scan.byName.emplace(look.materials[i].name, int32_t(i));
    }
}

// A colour written with a vertex (display values, taken as sRGB), linear.
Vec3 linearColour(const Vec3& written) {
    return Vec3(Texture::srgbToLinear(written.x), Texture::srgbToLinear(written.y),
                Texture::srgbToLinear(written.z));
}

// The material that each statement leaves in use, the libraries read in
// file order: a "usemtl" may come before the library that defines it.
std::vector<int32_t> materialsInUse(const ObjLookRecords& records, const std::string& objPath,
                                    ModelLook& look) {
    LookScan scan{ModelFolder(objPath), {}, {}, {}};
    std::vector<int32_t> inUse;
    inUse.reserve(records.statements.size());
    for (const ObjLookRecords::Statement& s : records.statements) {
        if (s.library)
            readLibraries(s.rest, scan, objPath, look);
        else
            scan.currentName = s.rest;
        // A "usemtl" without a name, or of none defined, is the default.
        const auto found = scan.byName.find(scan.currentName);
        inUse.push_back(scan.currentName.empty() || found == scan.byName.end() ? -1
                                                                               : found->second);
    }
    return inUse;
}

}  // namespace

void applyObjLooks(const ObjLookRecords& records, const std::string& objPath, Mesh& mesh) {
    if (!records.uncoloured && records.colours.size() == mesh.positions.size()) {
        mesh.colours.clear();
        for (const Vec3& c : records.colours) mesh.colours.push_back(linearColour(c));
    }
    const std::vector<int32_t> inUse = materialsInUse(records, objPath, mesh.look);
    if (mesh.look.materials.empty()) {
        std::vector<int32_t>().swap(mesh.materialIndices);
        return;
    }
    for (int32_t& m : mesh.materialIndices) m = m < 0 ? -1 : inUse[size_t(m)];
    mesh.materialIndices.resize(size_t(mesh.triangleCount()), -1);
}

ModelLook objLibraries(const std::string& objPath) {
    ModelLook look;
    std::ifstream in(objPath, std::ios::binary);
    LookScan scan{ModelFolder(objPath), {}, {}, {}};
    obj_parser::LineSource lines(in);
    const char* begin;
    const char* end;
    while (lines.next(begin, end)) {
        if (lines.endedAtNul() && std::memchr(begin, '\0', size_t(end - begin))) break;
        // Only "mtllib" lines are made into text: the geometry's are skipped.
        const char* p = begin;
        while (p < end && (*p == ' ' || *p == '\t')) ++p;
        if (end - p < 7 || std::memcmp(p, "mtllib", 6) != 0 || (p[6] != ' ' && p[6] != '\t'))
            continue;
        std::string rest;
        splitLine(std::string(p, end), rest);
        readLibraries(rest, scan, objPath, look);
    }
    return look;
}
