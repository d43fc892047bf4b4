// The line parser of ObjMeshReader, shared by its line-by-line reading and
// its parallel reading of a file in pieces. Internal to the reader.
#pragma once

#include <charconv>
#include <cmath>
#include <cstring>
#include <istream>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "scene/ByteOrderMark.h"
#include "scene/NumberParsing.h"
#include "scene/ObjLookRecords.h"
#include "scene/ObjMeshReader.h"
#include "scene/TextSnippet.h"

namespace obj_parser {

// Bytes read from the stream at a time.
constexpr size_t kChunkSize = size_t(1) << 20;
// A line that grows past this without being a record (a comment, an
// unsupported statement, binary garbage) is not kept whole: its start is
// handed out and the rest dropped, so such lines cost no memory.
constexpr size_t kLongLine = size_t(1) << 20;
// Written indices are read no further than this: beyond any list.
constexpr int64_t kMaxIndex = std::numeric_limits<int32_t>::max();

inline bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }
inline bool isDigit(char c) { return c >= '0' && c <= '9'; }

inline const char* skipBlanks(const char* p, const char* e) {
    while (p != e && isBlank(*p)) ++p;
    return p;
}
inline const char* wordEnd(const char* p, const char* e) {
    while (p != e && !isBlank(*p)) ++p;
    return p;
}

// True when the text starts with a record keyword whose line must be kept
// whole however long it is.
inline bool startsWithRecord(const char* p, const char* e) {
    p = skipBlanks(p, e);
    const char* w = wordEnd(p, e);
    const size_t n = size_t(w - p);
    if (w == e) return false;  // the first word is not even complete
    return (n == 1 && (p[0] == 'v' || p[0] == 'f')) ||
           (n == 2 && p[0] == 'v' && (p[1] == 't' || p[1] == 'n'));
}

// Splits a stream into lines with one bulk read per chunk instead of a
// stream call per value. A line's end is '\n'; a '\r' before it is blank.
// A NUL byte ends the input: text never holds one, and a device or a
// sparse file full of them must not be read to its (possibly absent) end.
// The line that holds it is handed out last, NUL included.
class LineSource {
public:
    explicit LineSource(std::istream& in) : in_(in), buffer_(kChunkSize) {}

    // The next line, valid until the following call. False at the end.
    bool next(const char*& begin, const char*& end) {
        if (dropping_ && !dropRestOfLine()) return false;
        for (;;) {
            char* start = buffer_.data() + pos_;
            const size_t available = end_ - pos_;
            if (void* nl = std::memchr(start, '\n', available)) {
                begin = start;
                end = static_cast<const char*>(nl);
                pos_ = size_t(end - buffer_.data()) + 1;
                ++line_;
                return true;
            }
            if (atEnd_) {
                if (available == 0) return false;
                begin = start;
                end = start + available;
                pos_ = end_;
                ++line_;
                return true;
            }
            if (available >= kLongLine && !startsWithRecord(start, start + available)) {
                begin = start;
                end = start + available;
                pos_ = end_;
                dropping_ = true;
                ++line_;
                return true;
            }
            if (pos_ > 0) {
                std::memmove(buffer_.data(), start, available);
                pos_ = 0;
                end_ = available;
            }
            if (end_ == buffer_.size()) buffer_.resize(buffer_.size() * 2);
            readMore();
        }
    }

    int64_t lineNumber() const { return line_; }
    // Whether the input was cut at a NUL byte.
    bool endedAtNul() const { return endedAtNul_; }

private:
    void readMore() {
        if (atEnd_) return;
        char* fresh = buffer_.data() + end_;
        in_.read(fresh, std::streamsize(buffer_.size() - end_));
        const size_t got = size_t(in_.gcount());
        if (const void* nul = std::memchr(fresh, '\0', got)) {
            end_ += size_t(static_cast<const char*>(nul) - fresh) + 1;
            endedAtNul_ = atEnd_ = true;
            return;
        }
        end_ += got;
        if (got == 0) atEnd_ = true;
    }

    // Skips to just after the next '\n'; false when the stream ends first.
    bool dropRestOfLine() {
        for (;;) {
            if (void* nl = std::memchr(buffer_.data() + pos_, '\n', end_ - pos_)) {
                pos_ = size_t(static_cast<char*>(nl) - buffer_.data()) + 1;
                dropping_ = false;
                return true;
            }
            pos_ = end_ = 0;
            if (atEnd_) return false;
            readMore();
        }
    }

    std::istream& in_;
    std::vector<char> buffer_;
    size_t pos_ = 0;
    size_t end_ = 0;
    bool atEnd_ = false;
    bool endedAtNul_ = false;
    bool dropping_ = false;
    int64_t line_ = 0;
};

enum class Kind : uint8_t { Position, TexCoord, Normal };

inline const char* kindName(Kind k, bool plural) {
    switch (k) {
        case Kind::Position:
            return plural ? "vertex positions" : "vertex position";
        case Kind::TexCoord:
            return plural ? "texture coordinates" : "texture coordinate";
        case Kind::Normal:
            return plural ? "normals" : "normal";
    }
    return "";
}

// The largest positive index of one list used beyond the entries read so
// far: the file is valid only if it defines enough entries later on. Only
// the largest matters, so checking costs no memory per reference.
struct ForwardReference {
    int64_t index = -1;  // 0-based; -1: none
    int64_t line = 0;    // where it was first used
};

struct Corner {
    int32_t position;
    int32_t texCoord;  // -1: none
    int32_t normal;    // -1: none
};

// With kGathersLooks, gathers besides the geometry what the text says of
// its looks into looks, each statement with the triangles before it in the
// text parsed; a scene's mesh, without, pays nothing for them.
template <bool kGathersLooks>
class BasicParser {
public:
    BasicParser(Mesh& data, const std::string& fileName, const ObjMeshReader::Limits& limits,
                ObjLookRecords* looks = nullptr)
        : data_(data), fileName_(fileName), limits_(limits), looks_(looks) {}

    bool run(std::istream& in, std::string& error) {
        LineSource lines(in);
        const char* b;
        const char* e;
        while (lines.next(b, e)) {
            line_ = lines.lineNumber();
            if (line_ == 1) b += byteOrderMarkLength(b, e);
            if (lines.endedAtNul() && std::memchr(b, '\0', size_t(e - b))) break;
            if (!parseLine(b, e)) {
                error = error_;
                return false;
            }
        }
        if (lines.endedAtNul()) {
            line_ = lines.lineNumber();
            fail(
                "found a NUL byte, which text never holds: this is no OBJ file (perhaps a binary "
                "file, or text in UTF-16)");
            error = error_;
            return false;
        }
        return checkForwardReferences(error);
    }

    // Parses the lines of [begin, end) (which holds no NUL byte), the
    // records of the pieces before it counted in `before`: the line parsing
    // of run() without its checks at the end. False at the first problem.
    bool runPiece(const char* begin, const char* end, const int64_t (&before)[3]) {
        for (int k = 0; k < 3; ++k) before_[k] = before[k];
        while (begin != end) {
            const char* nl =
                static_cast<const char*>(std::memchr(begin, '\n', size_t(end - begin)));
            const char* lineEnd = nl ? nl : end;
            if (!parseLine(begin, lineEnd)) return false;
            begin = nl ? nl + 1 : end;
        }
        return true;
    }

    // The largest index of each list used beyond the entries read before it.
    const ForwardReference& forwardReference(Kind kind) const { return forward_[int(kind)]; }

private:
    bool parseLine(const char* p, const char* e) {
        p = skipBlanks(p, e);
        if (p == e || *p == '#') return true;  // empty line or comment, of any length
        const char* w = wordEnd(p, e);
        const size_t n = size_t(w - p);
        if (n == 1 && p[0] == 'v') return parseVertex(w, e);
        if (n == 2 && p[0] == 'v' && p[1] == 't') return parseTexCoord(w, e);
        if (n == 2 && p[0] == 'v' && p[1] == 'n') return parseNormal(w, e);
        if (n == 1 && p[0] == 'f') return parseFace(w, e);
        if constexpr (kGathersLooks) noteLookStatement(p, w, e);
        return true;  // any other statement ("g" among them): the whole line is skipped
    }

    // A "mtllib" or "usemtl" statement, the keyword at [p, w).
    void noteLookStatement(const char* p, const char* w, const char* e) {
        const size_t n = size_t(w - p);
        const bool library = n == 6 && std::memcmp(p, "mtllib", 6) == 0;
        if (!library && !(n == 6 && std::memcmp(p, "usemtl", 6) == 0)) return;
        w = skipBlanks(w, e);
        while (e != w && isBlank(e[-1])) --e;
        looks_->statements.push_back(
            {library, std::string(w, e), int64_t(data_.positionIndices.size() / 3)});
    }

    // The colour of a position written "v x y z r g b" (nothing more but a
    // comment), the numbers after the position's [p, e).
    void noteColour(const char* p, const char* e) {
        if (looks_->uncoloured) return;
        float c[3];
        int words = 0;
        for (p = skipBlanks(p, e); p != e && *p != '#' && words < 7; p = skipBlanks(p, e)) {
            const char* t = wordEnd(p, e);
            if (words >= 3 && words < 6)
                c[words - 3] = std::strtof(std::string(p, t).c_str(), nullptr);
            ++words;
            p = t;
        }
        if (words != 6) {
            looks_->uncoloured = true;
            std::vector<Vec3>().swap(looks_->colours);
            return;
        }
        looks_->colours.emplace_back(c[0], c[1], c[2]);
    }

    enum class Read { Ok, Missing, Bad };

    // One number at p; a '#' word starts a trailing comment and ends the values.
    Read readFloat(const char*& p, const char* e, float& out) {
        p = skipBlanks(p, e);
        if (p == e || *p == '#') return Read::Missing;
        const char* t = wordEnd(p, e);
        if (!parseDecimalFloat(p, t, out) || !std::isfinite(out)) return Read::Bad;
        p = t;
        return Read::Ok;
    }

    // Reads between minCount and maxCount numbers into v (the rest stay 0);
    // anything after them on the line is ignored.
    bool readNumbers(const char* p, const char* e, const char* record, int minCount, int maxCount,
                     float* v) {
        for (int i = 0; i < maxCount; ++i) {
            const char* at = skipBlanks(p, e);
            const Read r = readFloat(p, e, v[i]);
            if (r == Read::Ok) continue;
            if (r == Read::Missing && i >= minCount) return true;
            std::string expected = std::to_string(minCount);
            if (maxCount > minCount) expected += " to " + std::to_string(maxCount);
            expected += " numbers after \"" + std::string(record) + "\"";
            if (r == Read::Missing)
                return fail("expected " + expected + ", but found only " + std::to_string(i));
            return fail("expected " + expected + " (finite, in decimal notation), but found " +
                        quoteSnippet(at, wordEnd(at, e)));
        }
        return true;
    }

    bool parseVertex(const char* p, const char* e) {
        float v[3] = {0.f, 0.f, 0.f};
        if (!readNumbers(p, e, "v", 3, 3, v)) return false;
        const Vec3 scaled(v[0] * ObjMeshReader::kVertexScale, v[1] * ObjMeshReader::kVertexScale,
                          v[2] * ObjMeshReader::kVertexScale);
        if (!std::isfinite(scaled.x) || !std::isfinite(scaled.y) || !std::isfinite(scaled.z))
            return fail("the vertex position is too large for a float once scaled by 1.5");
        if (!roomFor(count(Kind::Position), Kind::Position)) return false;
        data_.positions.push_back(scaled);
        if constexpr (kGathersLooks) noteColour(p, e);
        return true;
    }

    bool parseTexCoord(const char* p, const char* e) {
        float v[3] = {0.f, 0.f, 0.f};
        if (!readNumbers(p, e, "vt", 1, 3, v)) return false;
        if (!roomFor(count(Kind::TexCoord), Kind::TexCoord)) return false;
        data_.texCoords.emplace_back(v[0], v[1], v[2]);
        return true;
    }

    bool parseNormal(const char* p, const char* e) {
        float v[3] = {0.f, 0.f, 0.f};
        if (!readNumbers(p, e, "vn", 3, 3, v)) return false;
        if (!roomFor(count(Kind::Normal), Kind::Normal)) return false;
        // Unit length whatever the file wrote; a zero normal stays zero and
        // gives way to the geometric one.
        data_.normals.push_back(unitOrZero(Vec3(v[0], v[1], v[2])));
        return true;
    }

    bool roomFor(size_t entries, Kind kind) {
        if (int64_t(entries) < limits_.vertices) return true;
        return fail(std::string("the mesh has more than ") + std::to_string(limits_.vertices) +
                    " " + kindName(kind, true) + ", the most a mesh may hold");
    }

    // A whole number with an optional sign, all of [p, t); false if the
    // text is not one. Values beyond the int32 range come back as such.
    static bool readIndex(const char*& p, const char* t, int64_t& value) {
        bool negative = false;
        if (p != t && (*p == '-' || *p == '+')) negative = *p++ == '-';
        if (p == t || !isDigit(*p)) return false;
        int64_t v = 0;
        while (p != t && isDigit(*p)) {
            if (v <= kMaxIndex) v = v * 10 + (*p - '0');
            ++p;
        }
        value = negative ? -v : v;
        return true;
    }

    // Parses p, p/t, p//n or p/t/n from the word [p, t).
    static bool splitCorner(const char* p, const char* t, int64_t (&values)[3], bool (&given)[3]) {
        given[0] = given[1] = given[2] = false;
        if (!readIndex(p, t, values[0])) return false;
        given[0] = true;
        if (p == t) return true;
        if (*p++ != '/') return false;
        if (p != t && *p == '/') {
            ++p;
            if (!readIndex(p, t, values[2])) return false;
            given[2] = true;
            return p == t;
        }
        if (!readIndex(p, t, values[1])) return false;
        given[1] = true;
        if (p == t) return true;
        if (*p++ != '/') return false;
        if (!readIndex(p, t, values[2])) return false;
        given[2] = true;
        return p == t;
    }

    // Turns a written index into a 0-based one, checking it against the
    // entries read so far (negative indices) or, for positive indices past
    // them, remembering it for the check at the end of the file.
    bool resolve(int64_t written, Kind kind, size_t countSoFar, const char* w, const char* t,
                 int32_t& index) {
        const int64_t count = int64_t(countSoFar);
        if (written == 0)
            return fail("face corner " + quoteSnippet(w, t) + " uses the index 0; OBJ indices " +
                        "start at 1, or count back from the latest entry with -1");
        if (written < 0) {
            if (count + written < 0)
                return fail("face corner " + quoteSnippet(w, t) + " counts back " +
                            std::to_string(-written) + " " + kindName(kind, true) + ", but only " +
                            std::to_string(count) + " are defined before it");
            index = int32_t(count + written);
            return true;
        }
        if (written > limits_.vertices)
            return fail("face corner " + quoteSnippet(w, t) + " refers to " +
                        kindName(kind, false) + " " + std::to_string(written) +
                        ", more than a mesh can hold");
        index = int32_t(written - 1);
        ForwardReference& f = forward_[int(kind)];
        if (written > count && index > f.index) f = {index, line_};
        return true;
    }

    bool parseFace(const char* p, const char* e) {
        corners_.clear();
        for (;;) {
            p = skipBlanks(p, e);
            if (p == e || *p == '#') break;
            const char* t = wordEnd(p, e);
            int64_t values[3] = {0, 0, 0};
            bool given[3];
            if (!splitCorner(p, t, values, given))
                return fail("expected a face corner of the form p, p/t, p//n or p/t/n (whole " +
                            std::string("numbers), but found ") + quoteSnippet(p, t));
            Corner c{0, -1, -1};
            if (!resolve(values[0], Kind::Position, count(Kind::Position), p, t, c.position))
                return false;
            if (given[1] &&
                !resolve(values[1], Kind::TexCoord, count(Kind::TexCoord), p, t, c.texCoord))
                return false;
            if (given[2] && !resolve(values[2], Kind::Normal, count(Kind::Normal), p, t, c.normal))
                return false;
            corners_.push_back(c);
            // Checked as the corners come, so that one huge polygon costs no
            // more memory than the limit allows.
            if (int64_t(data_.positionIndices.size() / 3 + corners_.size()) - 2 > limits_.triangles)
                return fail("the mesh has more than " + std::to_string(limits_.triangles) +
                            " triangles, the most a mesh may hold");
            p = t;
        }
        if (corners_.size() < 3)
            return fail("expected a face with at least 3 corners, but found " +
                        std::to_string(corners_.size()));
        // Fan from the first corner: (0, i, i + 1). A triangle that uses one
        // position twice is degenerate whatever the positions: left out here,
        // before it costs anything (the other degenerate ones, which need
        // the positions, go once the file is read).
        for (size_t i = 1; i + 1 < corners_.size(); ++i) {
            const int32_t p0 = corners_[0].position, p1 = corners_[i].position,
                          p2 = corners_[i + 1].position;
            if (p0 == p1 || p1 == p2 || p2 == p0) {
                ++data_.degenerateTriangles;
                continue;
            }
            for (const Corner* c : {&corners_[0], &corners_[i], &corners_[i + 1]}) {
                data_.positionIndices.push_back(c->position);
                data_.texCoordIndices.push_back(c->texCoord);
                data_.normalIndices.push_back(c->normal);
            }
        }
        return true;
    }

    bool checkForwardReferences(std::string& error) {
        // Of the lists referred to beyond their end, the one referred to first.
        const ForwardReference* worst = nullptr;
        Kind worstKind = Kind::Position;
        for (Kind kind : {Kind::Position, Kind::TexCoord, Kind::Normal}) {
            const ForwardReference& f = forward_[int(kind)];
            if (f.index < 0 || size_t(f.index) < count(kind)) continue;
            if (!worst || f.line < worst->line) {
                worst = &f;
                worstKind = kind;
            }
        }
        if (!worst) return true;
        line_ = worst->line;
        fail("a face corner refers to " + std::string(kindName(worstKind, false)) + " " +
             std::to_string(worst->index + 1) + ", but the file defines only " +
             std::to_string(count(worstKind)) + " " + kindName(worstKind, true));
        error = error_;
        return false;
    }

    // Entries of a list read so far, those of earlier pieces included.
    size_t count(Kind kind) const {
        switch (kind) {
            case Kind::Position:
                return size_t(before_[0]) + data_.positions.size();
            case Kind::TexCoord:
                return size_t(before_[1]) + data_.texCoords.size();
            case Kind::Normal:
                return size_t(before_[2]) + data_.normals.size();
        }
        return 0;
    }

    bool fail(const std::string& what) {
        error_ =
            "Mesh file \"" + fileName_ + "\", line " + std::to_string(line_) + ": " + what + ".";
        return false;
    }

    Mesh& data_;
    const std::string& fileName_;
    const ObjMeshReader::Limits limits_;
    std::vector<Corner> corners_;    // of the face being read; reused
    ForwardReference forward_[3];    // by Kind
    int64_t before_[3] = {0, 0, 0};  // entries of each list in earlier pieces, by Kind
    ObjLookRecords* const looks_;
    int64_t line_ = 0;
    std::string error_;
};

using Parser = BasicParser<false>;
using LookParser = BasicParser<true>;

}  // namespace obj_parser
