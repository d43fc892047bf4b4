#include "scene/StlReader.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <vector>

#include "scene/DegenerateTriangles.h"
#include "scene/ModelReaders.h"
#include "scene/ObjMeshReader.h"
#include "scene/TextSnippet.h"

namespace {

// A binary file's header and triangle count, and the bytes of one triangle:
// normal, three corners (twelve floats) and a 16-bit attribute.
constexpr int64_t kHeaderBytes = 84;
constexpr int64_t kFacetBytes = 50;
// Bytes looked at to tell the two kinds apart.
constexpr size_t kProbeBytes = 4096;

// Appends one facet, or counts it if it is degenerate; false past the limit.
bool addFacet(const Vec3 (&v)[3], Mesh& g, std::string& problem) {
    if (isDegenerateTriangle(v[0], v[1], v[2])) {
        ++g.degenerateTriangles;
        return true;
    }
    if (g.positions.size() + 3 > size_t(ObjMeshReader::kMaxVertices)) {
        problem = "it holds more than the " + std::to_string(ObjMeshReader::kMaxVertices) +
                  " vertices a model may hold (three for each STL facet)";
        return false;
    }
    for (const Vec3& p : v) {
        g.positionIndices.push_back(int32_t(g.positions.size()));
        g.normalIndices.push_back(-1);
        g.texCoordIndices.push_back(-1);
        g.positions.push_back(p);
    }
    return true;
}

uint32_t littleEndian32(const unsigned char* b) {
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

float littleEndianFloat(const unsigned char* b) {
    const uint32_t bits = littleEndian32(b);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

// The triangles after the header, a block of them at a time.
bool readBinaryStl(std::istream& in, uint32_t count, Mesh& g, std::string& problem) {
    constexpr uint32_t kBlock = 4096;
    std::vector<unsigned char> bytes(size_t(kFacetBytes * kBlock));
    in.seekg(kHeaderBytes);
    for (uint32_t done = 0; done < count;) {
        const uint32_t n = std::min(kBlock, count - done);
        if (!in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(kFacetBytes * n))) {
            problem = "it ends before its triangle " + std::to_string(done + 1);
            return false;
        }
        for (uint32_t t = 0; t < n; ++t) {
            const unsigned char* corner = &bytes[size_t(kFacetBytes * t) + 12];  // past the normal
            Vec3 v[3];
            for (Vec3& p : v) {
                p = Vec3(littleEndianFloat(corner), littleEndianFloat(corner + 4),
                         littleEndianFloat(corner + 8));
                corner += 12;
            }
            if (!addFacet(v, g, problem)) return false;
        }
        done += n;
    }
    return true;
}

// One whitespace-separated word after another, with the line each is on.
class Words {
public:
    explicit Words(std::istream& in) : in_(in) {}
    bool next(std::string& word) {
        word.clear();
        int c;
        while ((c = in_.get()) != EOF && std::isspace(c))
            if (c == '\n') ++line_;
        for (; c != EOF && !std::isspace(c); c = in_.get())
            if (word.size() < kMaxWord) word.push_back(char(c));
        if (c == '\n') in_.unget();
        return !word.empty();
    }
    // Skips the rest of the line (a solid's name).
    void skipLine() {
        int c;
        while ((c = in_.get()) != EOF && c != '\n') {
        }
        if (c == '\n') ++line_;
    }
    int line() const { return line_; }

private:
    static constexpr size_t kMaxWord = 64;
    std::istream& in_;
    int line_ = 1;
};

// Whether a word is the keyword, in any letter case.
bool isKeyword(const std::string& word, const char* keyword) {
    if (word.size() != std::strlen(keyword)) return false;
    for (size_t i = 0; i < word.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(word[i])) != keyword[i]) return false;
    return true;
}

bool readNumber(const std::string& word, float& value) {
    if (word.empty()) return false;
    char* end = nullptr;
    value = std::strtof(word.c_str(), &end);
    return *end == '\0';
}

// ASCII STL, word by word.
class AsciiStl {
public:
    AsciiStl(std::istream& in, Mesh& g, std::string& problem)
        : words_(in), g_(g), problem_(problem) {}

    bool read() {
        if (!expect("solid")) return false;
        words_.skipLine();
        while (words_.next(word_)) {
            if (isKeyword(word_, "endsolid")) {
                words_.skipLine();
                if (!words_.next(word_)) return true;
                if (!isKeyword(word_, "solid")) break;
                words_.skipLine();
                continue;
            }
            if (!isKeyword(word_, "facet") || !facet()) break;
        }
        if (!problem_.empty()) return false;
        // The end of the file after whole facets: the last "endsolid" is
        // often left out.
        if (word_.empty()) return true;
        return fail("\"facet\" or \"endsolid\"");
    }

private:
    bool facet() {
        Vec3 v[3];
        // The normal is not used (the corners' order gives it), and some
        // exporters write "nan" there for a degenerate facet.
        if (!expect("normal") || !numbers(v[0], false) || !expect("outer") || !expect("loop"))
            return false;
        for (Vec3& p : v)
            if (!expect("vertex") || !numbers(p, true)) return false;
        return expect("endloop") && expect("endfacet") && addFacet(v, g_, problem_);
    }

    bool expect(const char* keyword) {
        if (words_.next(word_) && isKeyword(word_, keyword)) return true;
        return fail("\"" + std::string(keyword) + "\"");
    }

    bool numbers(Vec3& v, bool finite) {
        float x[3];
        for (float& value : x)
            if (!words_.next(word_) || !readNumber(word_, value) ||
                (finite && !std::isfinite(value)))
                return fail(finite ? "a finite number" : "a number");
        v = Vec3(x[0], x[1], x[2]);
        return true;
    }

    bool fail(const std::string& expected) {
        problem_ = "line " + std::to_string(words_.line()) + ": expected " + expected +
                   " (ASCII STL), but found " + (word_.empty() ? "the end" : quoteSnippet(word_));
        return false;
    }

    Words words_;
    Mesh& g_;
    std::string& problem_;
    std::string word_;
};

bool startsWithSolid(const char* p, const char* e) {
    while (p != e && std::isspace(static_cast<unsigned char>(*p))) ++p;
    const char* word = p;
    while (p != e && !std::isspace(static_cast<unsigned char>(*p))) ++p;
    return isKeyword(std::string(word, size_t(std::min<ptrdiff_t>(p - word, 8))), "solid");
}

bool readStlFile(const std::string& path, Mesh& mesh, std::string& problem) {
    std::ifstream in(path, std::ios::binary);
    if (!in.is_open()) {
        problem = std::strerror(errno);
        return false;
    }
    in.seekg(0, std::ios::end);
    const int64_t size = int64_t(in.tellg());
    in.seekg(0);
    char probe[kProbeBytes] = {};
    in.read(probe, sizeof probe);
    const size_t got = size_t(in.gcount());
    in.clear();
    const uint32_t count = littleEndian32(reinterpret_cast<const unsigned char*>(probe + 80));
    const int64_t needed = kHeaderBytes + kFacetBytes * int64_t(count);
    if (size >= kHeaderBytes && needed == size) {
        if (count <= uint32_t(ObjMeshReader::kMaxTriangles))
            return readBinaryStl(in, count, mesh, problem);
        problem = "it announces " + std::to_string(count) + " triangles, more than the " +
                  std::to_string(ObjMeshReader::kMaxTriangles) + " a model may hold";
        return false;
    }
    const bool ascii = startsWithSolid(probe, probe + got);
    if (ascii) {
        in.seekg(0);
        if (AsciiStl(in, mesh, problem).read()) return true;
    } else {
        problem = "it does not start with \"solid\", as ASCII STL does";
    }
    // Text holds no NUL byte; binary STL nearly always does.
    const bool couldBeBinary =
        size >= kHeaderBytes && (!ascii || std::memchr(probe, '\0', got) != nullptr);
    if (couldBeBinary)
        problem += "; and binary STL of " + std::to_string(count) + " triangles needs " +
                   std::to_string(needed) + " bytes, the file has " + std::to_string(size);
    else if (!ascii)
        problem += ", and binary STL takes at least 84 bytes, the file has " + std::to_string(size);
    return false;
}

}  // namespace

bool readStlModel(const std::string& path, Mesh& mesh, std::string& error) {
    std::string problem;
    if (readStlFile(path, mesh, problem)) return true;
    error = modelFileMessage(path, problem);
    return false;
}
