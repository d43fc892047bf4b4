#include "render/PassRecord.h"

#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <variant>

namespace {

// The fields, one row each: the EXR attribute and the HDR header line both
// carry this name; the member's type gives the EXR attribute's type.
using Member = std::variant<std::string PassRecord::*, int PassRecord::*, float PassRecord::*>;
struct Field {
    const char* name;
    Member member;
};
const Field kFields[] = {
    {"treskScene", &PassRecord::scene},         {"treskSceneHash", &PassRecord::sceneHash},
    {"treskFirstPass", &PassRecord::firstPass}, {"treskPasses", &PassRecord::passes},
    {"treskSize", &PassRecord::size},           {"treskWidth", &PassRecord::width},
    {"treskHeight", &PassRecord::height},       {"treskExposure", &PassRecord::exposure},
};
constexpr size_t kFieldCount = sizeof(kFields) / sizeof(kFields[0]);

// Image readers split longer header lines, and a name is only for people:
// the hash tells scenes apart.
constexpr size_t kMaxHdrText = 200;
// How far a header's end is looked for; Tresk's are a few hundred bytes.
constexpr size_t kMaxHdrHeader = 64 * 1024;

std::string textOf(const PassRecord& r, const Member& m) {
    if (auto s = std::get_if<std::string PassRecord::*>(&m)) return r.*(*s);
    if (auto i = std::get_if<int PassRecord::*>(&m)) return std::to_string(r.*(*i));
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", double(r.*std::get<float PassRecord::*>(m)));
    return text;
}

bool setFromText(PassRecord& r, const Member& m, const std::string& text) {
    if (auto s = std::get_if<std::string PassRecord::*>(&m)) {
        r.*(*s) = text;
        return true;
    }
    const char* end = text.data() + text.size();
    if (auto i = std::get_if<int PassRecord::*>(&m))
        return std::from_chars(text.data(), end, r.*(*i)).ptr == end && !text.empty();
    float& f = r.*std::get<float PassRecord::*>(m);
    return std::from_chars(text.data(), end, f).ptr == end && !text.empty() && std::isfinite(f);
}

// Control characters as '?': names go into header lines and messages.
void makePrintable(std::string& text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
}

// Every field was found (a bit each in found) and holds a usable value.
bool complete(PassRecord& r, uint32_t found, std::string& error) {
    makePrintable(r.scene);
    makePrintable(r.sceneHash);
    if (found == (1u << kFieldCount) - 1 && r.firstPass >= 1 && r.passes >= 1 &&
        r.passes <= INT32_MAX - r.firstPass && r.width > 0 && r.height > 0 &&
        (r.size == "still" || r.size == "interactive"))
        return true;
    error = "holds no complete record of its passes (a picture that tresk-render wrote as a part)";
    return false;
}

// --- Radiance HDR: text lines up to an empty one -------------------------------

bool addToHdr(const PassRecord& r, std::vector<uint8_t>& file, std::string& error) {
    const uint8_t* firstEnd =
        file.size() < 2 ? nullptr
                        : static_cast<const uint8_t*>(std::memchr(file.data(), '\n', file.size()));
    if (!firstEnd || file[0] != '#' || file[1] != '?') {
        error = "the image library wrote an HDR file without the usual first line";
        return false;
    }
    std::string lines;
    for (const Field& f : kFields) {
        std::string value = textOf(r, f.member);
        if (value.size() > kMaxHdrText) value.erase(0, value.size() - kMaxHdrText);
        makePrintable(value);
        lines += std::string(f.name) + "=" + value + "\n";
    }
    file.insert(file.begin() + (firstEnd - file.data()) + 1, lines.begin(), lines.end());
    return true;
}

bool readFromHdr(const std::vector<uint8_t>& file, PassRecord& r, std::string& error) {
    const size_t limit = std::min(file.size(), kMaxHdrHeader);
    uint32_t found = 0;
    for (size_t start = 0; start < limit;) {
        const auto* nl =
            static_cast<const uint8_t*>(std::memchr(file.data() + start, '\n', limit - start));
        if (!nl) break;
        const std::string line(file.begin() + start, file.begin() + (nl - file.data()));
        start = size_t(nl - file.data()) + 1;
        if (line.empty()) return complete(r, found, error);  // the end of the header
        const size_t eq = line.find('=');
        for (size_t k = 0; k < kFieldCount; ++k) {
            const Field& f = kFields[k];
            if (line.compare(0, eq, f.name) != 0 || eq != std::strlen(f.name)) continue;
            if (!setFromText(r, f.member, line.substr(eq + 1))) {
                error = "has a damaged " + std::string(f.name) + " line";
                return false;
            }
            found |= 1u << k;
        }
    }
    error = "has no end to its header";
    return false;
}

// --- OpenEXR: typed attributes up to a NUL, then the chunks' offset table -----

constexpr uint8_t kExrMagic[4] = {0x76, 0x2f, 0x31, 0x01};
// Version 2; no tiles, deep data or several parts (bits 9, 11, 12).
constexpr uint32_t kExrUnsupportedFlags = 0x1a00;

uint32_t le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
void putLe32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out += char(v >> (8 * i));
}

struct ExrAttribute {
    std::string name, type;
    size_t value = 0;  // offset of the value in the file
    uint32_t size = 0;
};

// The header's attributes of a single-part scan-line file, and the offset of
// the NUL that ends them.
bool exrHeader(const std::vector<uint8_t>& f, std::vector<ExrAttribute>& attributes, size_t& end,
               std::string& error) {
    error = "is not an OpenEXR file of scan lines, or its header is damaged";
    if (f.size() < 8 || std::memcmp(f.data(), kExrMagic, 4) != 0 || f[4] != 2 ||
        (le32(f.data() + 4) & kExrUnsupportedFlags) != 0)
        return false;
    size_t p = 8;
    auto word = [&](std::string& s) {
        const auto* nul = static_cast<const uint8_t*>(std::memchr(f.data() + p, 0, f.size() - p));
        if (!nul || nul - (f.data() + p) > 255) return false;
        s.assign(f.begin() + p, f.begin() + (nul - f.data()));
        p = size_t(nul - f.data()) + 1;
        return true;
    };
    while (p < f.size() && f[p] != 0) {
        ExrAttribute a;
        if (!word(a.name) || !word(a.type) || f.size() - p < 4) return false;
        a.size = le32(f.data() + p);
        a.value = p + 4;
        if (a.size > f.size() - a.value) return false;
        p = a.value + a.size;
        attributes.push_back(a);
    }
    if (p >= f.size()) return false;
    end = p;
    return true;
}

// Scan lines per chunk of each compression method, by its number.
int exrLinesPerChunk(uint8_t compression) {
    constexpr int kLines[] = {1, 1, 1, 16, 32, 16, 32, 32, 32, 256};
    return compression < sizeof kLines / sizeof kLines[0] ? kLines[compression] : 0;
}

std::string exrAttributes(const PassRecord& r) {
    std::string out;
    for (const Field& f : kFields) {
        out += f.name;
        out += '\0';
        std::string value;
        if (auto s = std::get_if<std::string PassRecord::*>(&f.member)) {
            out += std::string("string") + '\0';
            value = r.*(*s);
        } else if (auto i = std::get_if<int PassRecord::*>(&f.member)) {
            out += std::string("int") + '\0';
            putLe32(value, uint32_t(r.*(*i)));
        } else {
            out += std::string("float") + '\0';
            uint32_t bits;
            std::memcpy(&bits, &(r.*std::get<float PassRecord::*>(f.member)), 4);
            putLe32(value, bits);
        }
        putLe32(out, uint32_t(value.size()));
        out += value;
    }
    return out;
}

// The attributes go in before the header's end; every chunk moves by their
// size, so each entry of the offset table that follows grows by as much.
bool addToExr(const PassRecord& r, std::vector<uint8_t>& f, std::string& error) {
    std::vector<ExrAttribute> attributes;
    size_t end = 0;
    const std::string unexpected =
        "the image library wrote an OpenEXR file laid out otherwise than expected";
    if (!exrHeader(f, attributes, end, error)) {
        error = unexpected;
        return false;
    }
    int64_t yMin = 0, yMax = -1;
    int lines = 0;
    for (const ExrAttribute& a : attributes) {
        if (a.name == "dataWindow" && a.type == "box2i" && a.size == 16) {
            yMin = int32_t(le32(&f[a.value + 4]));
            yMax = int32_t(le32(&f[a.value + 12]));
        }
        if (a.name == "compression" && a.size == 1) lines = exrLinesPerChunk(f[a.value]);
    }
    error = unexpected;
    if (lines == 0 || yMax < yMin) return false;
    const uint64_t chunks = uint64_t(yMax - yMin + lines) / uint64_t(lines);
    const size_t table = end + 1;
    if (chunks > (f.size() - table) / 8) return false;
    const std::string added = exrAttributes(r);
    for (uint64_t c = 0; c < chunks; ++c) {
        uint8_t* entry = &f[table + 8 * c];
        uint64_t offset = 0;
        for (int i = 7; i >= 0; --i) offset = offset << 8 | entry[i];
        if (offset < table + 8 * chunks || offset >= f.size()) return false;
        offset += added.size();
        for (int i = 0; i < 8; ++i) entry[i] = uint8_t(offset >> (8 * i));
    }
    f.insert(f.begin() + end, added.begin(), added.end());
    return true;
}

bool readFromExr(const std::vector<uint8_t>& f, PassRecord& r, std::string& error) {
    std::vector<ExrAttribute> attributes;
    size_t end = 0;
    if (!exrHeader(f, attributes, end, error)) return false;
    uint32_t found = 0;
    for (const ExrAttribute& a : attributes) {
        for (size_t k = 0; k < kFieldCount; ++k) {
            const Field& field = kFields[k];
            if (a.name != field.name) continue;
            const uint8_t* v = &f[a.value];
            if (auto s = std::get_if<std::string PassRecord::*>(&field.member)) {
                if (a.type != "string") break;
                r.*(*s) = std::string(v, v + a.size);
            } else if (auto i = std::get_if<int PassRecord::*>(&field.member)) {
                if (a.type != "int" || a.size != 4) break;
                r.*(*i) = int32_t(le32(v));
            } else {
                if (a.type != "float" || a.size != 4) break;
                float& value = r.*std::get<float PassRecord::*>(field.member);
                const uint32_t bits = le32(v);
                std::memcpy(&value, &bits, 4);
                if (!std::isfinite(value)) break;
            }
            found |= 1u << k;
        }
    }
    return complete(r, found, error);
}

}  // namespace

std::string sceneFileHash(const std::string& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return "";
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    // FNV-1a, 64 bits: tells scenes apart that differ in any byte.
    uint64_t hash = 0xcbf29ce484222325ull;
    char buffer[1 << 16];
    while (in.read(buffer, sizeof buffer) || in.gcount() > 0) {
        for (std::streamsize i = 0; i < in.gcount(); ++i)
            hash = (hash ^ static_cast<unsigned char>(buffer[i])) * 0x100000001b3ull;
        if (!in) break;
    }
    char text[32];
    std::snprintf(text, sizeof text, "fnv1a64:%016llx", static_cast<unsigned long long>(hash));
    return text;
}

bool addPassRecord(ImageFileType type, const PassRecord& record, std::vector<uint8_t>& file,
                   std::string& error) {
    if (type == ImageFileType::Hdr) return addToHdr(record, file, error);
    if (type == ImageFileType::Exr) return addToExr(record, file, error);
    error = "only HDR and EXR files hold a record of their passes";
    return false;
}

bool readPassRecord(ImageFileType type, const std::vector<uint8_t>& file, PassRecord& record,
                    std::string& error) {
    if (type == ImageFileType::Hdr) return readFromHdr(file, record, error);
    if (type == ImageFileType::Exr) return readFromExr(file, record, error);
    error = "is neither an HDR nor an EXR file";
    return false;
}
