#include "scene/ObjMeshReader.h"

#include <tbb/parallel_for.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <istream>
#include <limits>

#include "core/HugePages.h"
#include "core/Logger.h"
#include "scene/ByteOrderMark.h"
#include "scene/DegenerateTriangles.h"
#include "scene/ObjParser.h"
#include "scene/TextSnippet.h"

namespace {

using obj_parser::ForwardReference;
using obj_parser::Kind;
using obj_parser::kLongLine;
using obj_parser::LookParser;
using obj_parser::Parser;

// The parallel reading takes the text in blocks of this size, each cut at
// line ends into pieces of about kPieceSize that are parsed side by side.
constexpr size_t kBlockSize = size_t(32) << 20;
constexpr size_t kPieceSize = size_t(256) << 10;

// What a piece of text holds, counted before it is parsed: the entries of
// each list it defines. False when one of its lines is
// longer than the line-by-line reading keeps whole.
bool countRecords(const char* p, const char* e, int64_t (&entries)[3]) {
    using namespace obj_parser;
    while (p != e) {
        const char* nl = static_cast<const char*>(std::memchr(p, '\n', size_t(e - p)));
        const char* lineEnd = nl ? nl : e;
        if (size_t(lineEnd - p) >= kLongLine) return false;
        const char* w = skipBlanks(p, lineEnd);
        const size_t n = size_t(wordEnd(w, lineEnd) - w);
        if (n == 1 && w[0] == 'v') ++entries[int(Kind::Position)];
        if (n == 2 && w[0] == 'v' && w[1] == 't') ++entries[int(Kind::TexCoord)];
        if (n == 2 && w[0] == 'v' && w[1] == 'n') ++entries[int(Kind::Normal)];
        p = nl ? nl + 1 : e;
    }
    return true;
}

template <class T>
void append(std::vector<T>& to, const std::vector<T>& from) {
    to.insert(to.end(), from.begin(), from.end());
}

// Appends what a piece says of its looks to what the pieces before it,
// which hold `triangles`, said.
void appendLooks(ObjLookRecords& to, const ObjLookRecords& from, int64_t triangles) {
    for (const ObjLookRecords::Statement& s : from.statements)
        to.statements.push_back({s.library, s.rest, s.triangle + triangles});
    to.uncoloured = to.uncoloured || from.uncoloured;
    if (to.uncoloured)
        std::vector<Vec3>().swap(to.colours);
    else
        append(to.colours, from.colours);
}

// Reads the whole stream into `mesh` in pieces parsed in parallel, each
// knowing how many entries of every list the pieces before it define, so
// that the mesh comes out exactly as the line-by-line reading makes it.
// False, leaving `mesh` to be cleared, for text this reading does not take
// as it stands: a problem anywhere (the line-by-line reading then finds the
// first and says what it is), a NUL byte, a line of kLongLine or more, a
// mesh past the limits, a reference past the end of its list.
bool readInPieces(std::istream& in, const std::string& fileName,
                  const ObjMeshReader::Limits& limits, Mesh& mesh, ObjLookRecords* looks) {
    // A block's room, uninitialised and no larger than the text (a small
    // file costs no 32 MB), with room for a line carried over.
    const std::istream::pos_type start = in.tellg();
    in.seekg(0, std::ios::end);
    const std::istream::pos_type length = in.tellg();
    in.seekg(start);
    if (start == std::istream::pos_type(-1) || length == std::istream::pos_type(-1) || !in)
        return false;
    const size_t block = std::min(kBlockSize, size_t(length - start) + 1);
    const std::unique_ptr<char[]> room(new char[block + kLongLine]);
    char* const text = room.get();
    size_t carried = 0;  // the start of a line left over from the last block
    bool startedText = false;
    int64_t before[3] = {0, 0, 0};
    ForwardReference forward[3];
    for (bool atEnd = false; !atEnd;) {
        in.read(text + carried, std::streamsize(block));
        const size_t got = size_t(in.gcount());
        atEnd = got < block;
        if (std::memchr(text + carried, '\0', got)) return false;
        const size_t size = carried + got;
        size_t end = size;
        if (!atEnd) {
            const char* last = text + size;
            while (last != text && last[-1] != '\n') --last;
            // A line that runs on past kLongLine is for the line-by-line reading.
            if (size - size_t(last - text) >= kLongLine) return false;
            end = size_t(last - text);
        }
        // Pieces cut after a line end.
        std::vector<std::pair<const char*, const char*>> pieces;
        // A byte-order mark at the start of the file is no part of the text.
        const size_t mark = startedText ? 0 : byteOrderMarkLength(text, text + end);
        startedText = true;
        for (const char* p = text + mark; p != text + end;) {
            const char* cut = p + std::min(kPieceSize, size_t(text + end - p));
            while (cut != text + end && cut[-1] != '\n') ++cut;
            pieces.emplace_back(p, cut);
            p = cut;
        }
        const size_t n = pieces.size();
        std::vector<std::array<int64_t, 3>> counts(n, {0, 0, 0});
        std::atomic<bool> ok{true};
        tbb::parallel_for(size_t(0), n, [&](size_t i) {
            int64_t c[3] = {0, 0, 0};
            if (!countRecords(pieces[i].first, pieces[i].second, c)) ok = false;
            counts[i] = {c[0], c[1], c[2]};
        });
        if (!ok) return false;
        std::vector<std::array<int64_t, 3>> starts(n);
        for (size_t i = 0; i < n; ++i) {
            for (int k = 0; k < 3; ++k) {
                starts[i][k] = before[k];
                before[k] += counts[i][k];
            }
        }
        std::vector<Mesh> parts(n);
        std::vector<ObjLookRecords> partLooks(looks ? n : 0);
        std::vector<std::array<ForwardReference, 3>> forwards(n);
        tbb::parallel_for(size_t(0), n, [&](size_t i) {
            const int64_t start[3] = {starts[i][0], starts[i][1], starts[i][2]};
            const auto run = [&](auto&& parser) {
                if (!parser.runPiece(pieces[i].first, pieces[i].second, start)) ok = false;
                for (Kind k : {Kind::Position, Kind::TexCoord, Kind::Normal})
                    forwards[i][int(k)] = parser.forwardReference(k);
            };
            if (looks)
                run(LookParser(parts[i], fileName, limits, &partLooks[i]));
            else
                run(Parser(parts[i], fileName, limits));
        });
        if (!ok) return false;
        for (size_t i = 0; i < n; ++i) {
            if (looks) appendLooks(*looks, partLooks[i], int64_t(mesh.positionIndices.size() / 3));
            append(mesh.positions, parts[i].positions);
            append(mesh.normals, parts[i].normals);
            append(mesh.texCoords, parts[i].texCoords);
            append(mesh.positionIndices, parts[i].positionIndices);
            append(mesh.texCoordIndices, parts[i].texCoordIndices);
            append(mesh.normalIndices, parts[i].normalIndices);
            mesh.degenerateTriangles += parts[i].degenerateTriangles;
            for (int k = 0; k < 3; ++k)
                forward[k].index = std::max(forward[k].index, forwards[i][k].index);
        }
        if (int64_t(mesh.positionIndices.size() / 3) > limits.triangles) return false;
        carried = size - end;
        std::memmove(text, text + end, carried);
    }
    for (int k = 0; k < 3; ++k)
        if (forward[k].index >= before[k]) return false;
    return true;
}

// Gives each triangle of the mesh in materialIndices the number of the last
// of the statements before it (-1: none); none to a mesh without statements.
void numberTriangles(const ObjLookRecords& looks, Mesh& mesh) {
    const auto& s = looks.statements;
    if (s.empty()) return;
    std::vector<int32_t>& of = mesh.materialIndices;
    of.assign(size_t(mesh.triangleCount()), -1);
    for (size_t k = 0; k < s.size(); ++k) {
        const size_t end = k + 1 < s.size() ? size_t(s[k + 1].triangle) : of.size();
        std::fill(of.begin() + std::min(size_t(s[k].triangle), end),
                  of.begin() + std::min(end, of.size()), int32_t(k));
    }
}

}  // namespace

ObjMeshReader::ObjMeshReader() { clear(); }

void ObjMeshReader::clear() { mesh_ = Mesh(); }

bool ObjMeshReader::read(const std::string& path, Diagnostics& diagnostics, ObjLookRecords* looks) {
    clear();
    problem_.clear();
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(path, ec);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status) &&
        !std::filesystem::is_directory(status)) {
        // A device or a pipe might never end, or never deliver a byte.
        const std::string message = escapeControlBytes(
            "Mesh file \"" + path +
            "\": is not a regular file (a device or a pipe). The mesh is left out.");
        diagnostics.push_back({Severity::Error, path, 0, message, ""});
        problem_ = message;
        return false;
    }
    std::ifstream in;
    if (!std::filesystem::is_directory(status)) in.open(path, std::ios::binary);
    if (!in.is_open()) {
        diagnostics.push_back({Severity::Error, path, 0, "FILE NOT FOUND",
                               escapeControlBytes("FILE NOT FOUND: " + path)});
        return false;
    }
    std::string error;
    if (!parse(in, path, error, Limits(), looks)) {
        const std::string message = escapeControlBytes(error + " The mesh is left out.");
        diagnostics.push_back({Severity::Error, path, 0, message, ""});
        problem_ = message;
        return false;
    }
    noteDegenerateTriangles("Mesh file \"" + path + "\"", path, mesh_.degenerateTriangles,
                            diagnostics);
    Logger::instance()->write("Polycount: " + toText(int32_t(triangleCount())));
    return true;
}

bool ObjMeshReader::parse(std::istream& in, const std::string& fileName, std::string& error) {
    return parse(in, fileName, error, Limits());
}

bool ObjMeshReader::parse(std::istream& in, const std::string& fileName, std::string& error,
                          const Limits& limits) {
    return parse(in, fileName, error, limits, nullptr);
}

bool ObjMeshReader::parse(std::istream& in, const std::string& fileName, std::string& error,
                          const Limits& limits, ObjLookRecords* looks) {
    clear();
    if (looks) *looks = ObjLookRecords();
    const std::istream::pos_type start = in.tellg();
    if (start != std::istream::pos_type(-1)) {
        if (readInPieces(in, fileName, limits, mesh_, looks)) {
            if (looks) numberTriangles(*looks, mesh_);
            dropDegenerateTriangles(mesh_);
            returnFreedMemory();  // the pieces' lists, before the caller makes the triangles
            return true;
        }
        // Read again line by line, which finds the first problem and names it.
        clear();
        if (looks) *looks = ObjLookRecords();
        in.clear();
        in.seekg(start);
    }
    const auto run = [&](auto&& parser) {
        if (parser.run(in, error)) {
            if (looks) numberTriangles(*looks, mesh_);
            dropDegenerateTriangles(mesh_);
            return true;
        }
        clear();
        if (looks) *looks = ObjLookRecords();
        return false;
    };
    return looks ? run(LookParser(mesh_, fileName, limits, looks))
                 : run(Parser(mesh_, fileName, limits));
}
