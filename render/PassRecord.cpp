#include "render/PassRecord.h"

#include <sys/stat.h>

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <variant>

#include "render/Renderer.h"

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
// The image library reads each header line into a buffer of this many
// bytes and overruns it with a line that fills it.
constexpr size_t kLibraryLineBuffer = 256;
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
        r.passes <= INT32_MAX - r.firstPass && Renderer::validImageSize(r.width, r.height) &&
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

// The size line after the header: the image library allocates the pixels
// for it, and takes a negative size for a large one.
bool sizeLineFits(const std::vector<uint8_t>& file, size_t start, const PassRecord& r,
                  std::string& error) {
    const size_t end = std::min(file.size(), start + kLibraryLineBuffer - 1);
    const std::string line(file.begin() + std::min(start, end), file.begin() + end);
    int height = 0, width = 0;
    if (std::sscanf(line.c_str(), "-Y %d +X %d", &height, &width) == 2 && width == r.width &&
        height == r.height)
        return true;
    error = "has no size line of " + std::to_string(r.width) + " x " + std::to_string(r.height) +
            " pixels after its header, as its record says";
    return false;
}

bool readFromHdr(const std::vector<uint8_t>& file, PassRecord& r, std::string& error) {
    // Lines that look like a record in a file of another kind say nothing:
    // the image library would read that file as what it is.
    if (file.size() < 2 || file[0] != '#' || file[1] != '?') {
        error = "is not a Radiance HDR file";
        return false;
    }
    const size_t limit = std::min(file.size(), kMaxHdrHeader);
    uint32_t found = 0;
    for (size_t start = 0; start < limit;) {
        const auto* nl =
            static_cast<const uint8_t*>(std::memchr(file.data() + start, '\n', limit - start));
        if (!nl) break;
        const std::string line(file.begin() + start, file.begin() + (nl - file.data()));
        start = size_t(nl - file.data()) + 1;
        if (line.size() + 1 >= kLibraryLineBuffer) {
            error = "has a header line too long for the image library to read safely";
            return false;
        }
        if (line.empty() || line[0] == '\0')  // the end of the header
            return complete(r, found, error) && sizeLineFits(file, start, r, error);
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

// The attribute's value has the size its type gives it, or for a channel
// list holds whole entries (a name, its NUL, 16 bytes) and the closing NUL:
// the image library reads these by their contents, and a value that says
// otherwise than its size has it read the rest of the header out of step.
// Other types are not in Tresk's files.
bool exrValueFits(const std::vector<uint8_t>& f, const ExrAttribute& a) {
    static const std::pair<const char*, uint32_t> kFixedSizes[] = {
        {"box2i", 16}, {"compression", 1}, {"float", 4}, {"int", 4}, {"lineOrder", 1}, {"v2f", 8}};
    for (const auto& [type, size] : kFixedSizes)
        if (a.type == type) return a.size == size;
    if (a.type == "string") return true;
    if (a.type != "chlist") return false;
    const size_t end = a.value + a.size;
    size_t p = a.value;
    while (p < end && f[p] != 0) {
        const auto* nul = static_cast<const uint8_t*>(std::memchr(&f[p], 0, end - p));
        if (!nul) return false;
        p = size_t(nul - f.data()) + 1 + 16;
    }
    return p + 1 == end;
}

// The header's attributes of a single-part scan-line file, and the offset of
// the NUL that ends them. An attribute named twice is damage: the image
// library keeps the last one, where the checks here would see the first (two
// data windows, a small one first, had it allocate gigabytes).
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
        if (a.size > f.size() - a.value || !exrValueFits(f, a)) return false;
        for (const ExrAttribute& before : attributes)
            if (before.name == a.name) return false;
        p = a.value + a.size;
        attributes.push_back(a);
    }
    if (p >= f.size()) return false;
    end = p;
    return true;
}

// The data window's corners (x and y of the first pixel, then of the last),
// which the image library allocates the pixels for.
bool exrDataWindow(const std::vector<uint8_t>& f, const std::vector<ExrAttribute>& attributes,
                   int64_t window[4]) {
    for (const ExrAttribute& a : attributes) {
        if (a.name != "dataWindow" || a.type != "box2i") continue;
        for (int i = 0; i < 4; ++i) window[i] = int32_t(le32(&f[a.value + 4 * i]));
        return window[2] >= window[0] && window[3] >= window[1];
    }
    return false;
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
    int64_t window[4] = {0, 0, -1, -1};
    int lines = 0;
    for (const ExrAttribute& a : attributes)
        if (a.name == "compression" && a.type == "compression")
            lines = exrLinesPerChunk(f[a.value]);
    error = unexpected;
    if (!exrDataWindow(f, attributes, window) || lines == 0) return false;
    const int64_t yMin = window[1], yMax = window[3];
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
    if (!complete(r, found, error)) return false;
    int64_t window[4];
    if (exrDataWindow(f, attributes, window) && window[0] == 0 && window[1] == 0 &&
        window[2] == r.width - 1 && window[3] == r.height - 1)
        return true;
    error = "holds other pixels than the " + std::to_string(r.width) + " x " +
            std::to_string(r.height) + " that its record says";
    return false;
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
