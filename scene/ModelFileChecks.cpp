#include "scene/ModelFileChecks.h"

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <vector>

#include "scene/ObjMeshReader.h"
#include "scene/TextSnippet.h"

namespace {

// Most bytes of a PLY header, and most corners of one PLY face.
constexpr size_t kMaxPlyHeader = 64 * 1024;
constexpr int64_t kMaxCorners = 1024;

struct PlyType {
    const char* names[2];
    int size;
    bool integer, isSigned;
};
const PlyType kPlyTypes[] = {
    {{"char", "int8"}, 1, true, true},      {{"uchar", "uint8"}, 1, true, false},
    {{"short", "int16"}, 2, true, true},    {{"ushort", "uint16"}, 2, true, false},
    {{"int", "int32"}, 4, true, true},      {{"uint", "uint32"}, 4, true, false},
    {{"float", "float32"}, 4, false, true}, {{"double", "float64"}, 8, false, true},
};

const PlyType* plyType(const std::string& name) {
    for (const PlyType& t : kPlyTypes)
        if (name == t.names[0] || name == t.names[1]) return &t;
    return nullptr;
}

struct PlyProperty {
    const PlyType* type = nullptr;
    const PlyType* countType = nullptr;  // lists only
    bool indices = false;                // a face's vertex indices
};

struct PlyElement {
    std::string name;
    int64_t count = 0;
    std::vector<PlyProperty> properties;
};

enum class PlyFormat { Ascii, LittleEndian, BigEndian };

struct PlyHeader {
    PlyFormat format = PlyFormat::Ascii;
    std::vector<PlyElement> elements;
    int64_t vertices = 0;
};

bool readPlyHeader(std::istream& in, PlyHeader& h, std::string& problem) {
    std::string line;
    size_t read = 0;
    bool faces = false;
    for (int number = 1; std::getline(in, line) && read < kMaxPlyHeader; ++number) {
        read += line.size() + 1;
        std::istringstream words(line);
        std::string word, a, b, c;
        words >> word;
        auto fail = [&](const std::string& what) {
            problem = "PLY header, line " + std::to_string(number) + ": " + what;
            return false;
        };
        if (number == 1) {
            if (word != "ply") return fail("expected \"ply\"");
        } else if (word == "format") {
            words >> a >> b;
            if (a == "ascii")
                h.format = PlyFormat::Ascii;
            else if (a == "binary_little_endian")
                h.format = PlyFormat::LittleEndian;
            else if (a == "binary_big_endian")
                h.format = PlyFormat::BigEndian;
            else
                return fail("unknown format " + quoteSnippet(a));
        } else if (word == "element") {
            PlyElement e;
            words >> e.name >> e.count;
            const int64_t limit =
                e.name == "face" ? ObjMeshReader::kMaxTriangles : ObjMeshReader::kMaxVertices;
            if (!words || e.count < 0 || e.count > limit)
                return fail("an element count from 0 to " + std::to_string(limit) +
                            " was expected");
            if (e.name == "vertex") h.vertices = e.count;
            if (e.name == "face" && e.count > 0) faces = true;
            h.elements.push_back(e);
        } else if (word == "property") {
            if (h.elements.empty()) return fail("a property before any element");
            PlyProperty p;
            words >> a >> b;
            if (a == "list") {
                words >> c;
                p.countType = plyType(b);
                p.type = plyType(c);
                if (!p.countType || !p.countType->integer) p.type = nullptr;
                p.indices = h.elements.back().name == "face";
            } else {
                p.type = plyType(a);
            }
            if (!p.type) return fail("a property of an unknown type");
            h.elements.back().properties.push_back(p);
        } else if (word == "end_header") {
            if (faces) return true;
            problem = "holds no faces, only points: Tresk shows surfaces";
            return false;
        }  // other lines (comments, and notes some exporters write bare) say nothing
    }
    problem = "it has no complete PLY header (\"end_header\" within the first " +
              std::to_string(kMaxPlyHeader) + " bytes)";
    return false;
}

// One value of a PLY body, ASCII or binary, as a double.
class PlyValues {
public:
    PlyValues(std::istream& in, PlyFormat format) : in_(in), format_(format) {}

    bool next(const PlyType& type, double& value) {
        if (format_ == PlyFormat::Ascii) return nextWord(type, value);
        unsigned char bytes[8];
        if (!in_.read(reinterpret_cast<char*>(bytes), type.size)) return false;
        const bool little = format_ == PlyFormat::LittleEndian;
        uint64_t bits = 0;
        for (int i = 0; i < type.size; ++i)
            bits |= uint64_t(bytes[little ? i : type.size - 1 - i]) << (8 * i);
        if (!type.integer) {
            if (type.size == 4) {
                uint32_t b32 = uint32_t(bits);
                float f;
                std::memcpy(&f, &b32, 4);
                value = double(f);
            } else {
                std::memcpy(&value, &bits, 8);
            }
            return std::isfinite(value);
        }
        if (type.isSigned && type.size < 8 && (bits >> (8 * type.size - 1)) & 1)
            bits |= ~uint64_t(0) << (8 * type.size);
        value = type.isSigned ? double(int64_t(bits)) : double(bits);
        return true;
    }

    // ASCII records are lines: true when this one has no words left.
    bool endOfRecord() {
        if (format_ != PlyFormat::Ascii) return true;
        std::string rest;
        line_ >> rest;
        return rest.empty();
    }
    bool startRecord() {
        if (format_ != PlyFormat::Ascii) return true;
        std::string line;
        do {
            if (!std::getline(in_, line)) return false;
        } while (line.find_first_not_of(" \t\r") == std::string::npos);
        line_.clear();
        line_.str(line);
        return true;
    }

private:
    bool nextWord(const PlyType& type, double& value) {
        std::string word;
        if (!(line_ >> word)) return false;
        char* end = nullptr;
        value = type.integer ? double(std::strtoll(word.c_str(), &end, 10))
                             : std::strtod(word.c_str(), &end);
        return *end == '\0' && std::isfinite(value);
    }

    std::istream& in_;
    PlyFormat format_;
    std::istringstream line_;
};

}  // namespace

bool checkPlyFile(const std::string& path, int64_t /*size*/, std::string& problem) {
    std::ifstream in(path, std::ios::binary);
    PlyHeader h;
    if (!readPlyHeader(in, h, problem)) return false;
    PlyValues values(in, h.format);
    for (const PlyElement& e : h.elements) {
        for (int64_t r = 0; r < e.count; ++r) {
            auto fail = [&](const char* what) {
                problem = "PLY element " + quoteSnippet(e.name) + ", entry " +
                          std::to_string(r + 1) + ": " + what;
                return false;
            };
            if (!values.startRecord()) return fail("the file ends before it");
            for (const PlyProperty& p : e.properties) {
                double count = 1.0, value = 0.0;
                if (p.countType) {
                    if (!values.next(*p.countType, count))
                        return fail("a list length that is no whole number");
                    if (count < 0 || count > double(kMaxCorners))
                        return fail("a list longer than 1024 entries");
                    // The library's triangulation aborts the process on a
                    // face without corners.
                    if (p.indices && count < 3) return fail("a face of fewer than 3 corners");
                }
                for (int64_t i = 0; i < int64_t(count); ++i) {
                    if (!values.next(*p.type, value))
                        return fail("a value that is missing or no finite number");
                    if (p.indices && !(value >= 0.0 && value < double(h.vertices)))
                        return fail("a vertex index outside the vertices");
                }
            }
            if (!values.endOfRecord()) return fail("more values than its properties");
        }
    }
    return true;
}
