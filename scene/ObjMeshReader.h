// ObjMeshReader: reads one Wavefront OBJ file named by a "trianglemesh"
// entry and turns its faces into Triangles for the kd-tree.
//
// Accepted: "v x y z" (further numbers such as w or vertex colours are
// ignored), "vt u [v [w]]", "vn x y z", "f" with three or more corners of
// the forms p, p/t, p//n or p/t/n (1-based, or negative to count back from
// the latest entry), "g" and comment lines. Every other statement (o, s,
// usemtl, mtllib, l, p, ...) is skipped with its whole line. Positions are
// scaled by kVertexScale on reading, normals made unit length, texture
// coordinates kept as written. Polygons are fan-triangulated from their
// first corner; a triangle whose corners do not all give a normal gets its
// unit geometric normal at all three corners, and a corner whose normal is
// zero gets it at that corner. Triangles whose corners lie on one point or
// one line are left out (scene/DegenerateTriangles.h), and read() warns of
// them in one line.
//
// The file is read line by line: a value that is not a number, a corner of
// another form, an index outside its list, a mesh beyond the limits below,
// or a NUL byte (no text holds one; reading stops there) rejects the whole
// mesh with a message naming the file and the line.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "scene/Diagnostic.h"
#include "scene/Mesh.h"

struct ObjLookRecords;

class ObjMeshReader {
public:
    // Positions are enlarged by this factor on reading, so that models made
    // at unit size fill a useful part of the view.
    static constexpr float kVertexScale = 1.5f;

    // Largest mesh read: at most kMaxTriangles triangles after fan
    // triangulation, and at most kMaxVertices entries in each of the lists of
    // positions, normals and texture coordinates. A mesh at the limits needs
    // about 5 GiB while it is read and built; a larger one is rejected with a
    // message as soon as the limit is passed, before more is allocated.
    static constexpr int kMaxTriangles = 20000000;
    static constexpr int kMaxVertices = 20000000;

    // Limits for one parse; read() always uses the ones above.
    struct Limits {
        int64_t triangles = kMaxTriangles;
        int64_t vertices = kMaxVertices;  // in each list
    };

    ObjMeshReader();

    // Reads the file at path. A file that cannot be opened is the Error
    // "FILE NOT FOUND" in diagnostics (its log text names the file); a
    // device or a pipe is not read, and it and a file that is rejected are
    // an Error with their message. Either way the mesh then has no
    // triangles. On success writes "Polycount: N" to the log, N being the
    // number of triangles, after a Note that counts the degenerate
    // triangles left out. Returns whether the file was read.
    // With looks, also gathers what the text says of the looks of its faces,
    // as parse does.
    bool read(const std::string& path, Diagnostics& diagnostics, ObjLookRecords* looks = nullptr);

    // The message of the last read() that rejected its file (as it went
    // into diagnostics); empty after a read that succeeded or found no file.
    const std::string& problem() const { return problem_; }

    // Reads OBJ text without diagnostics or log entries; fileName only names the
    // file in messages. On failure returns false with one message in error
    // and keeps no triangles.
    bool parse(std::istream& in, const std::string& fileName, std::string& error);
    bool parse(std::istream& in, const std::string& fileName, std::string& error,
               const Limits& limits);
    // With looks, also gathers what the text says of the looks of its faces
    // (scene/ObjLookRecords.h), for scene/ObjMaterials.h.
    bool parse(std::istream& in, const std::string& fileName, std::string& error,
               const Limits& limits, ObjLookRecords* looks);

    // Triangles after fan triangulation.
    int triangleCount() const { return mesh_.triangleCount(); }

    // Appends triangleCount() triangles made with the given material, in the
    // order of the file's faces (appendTriangles).
    void fillTriangles(std::vector<Triangle>& triangles, const Material* material) const {
        appendTriangles(mesh_, triangles, material);
    }

    // The file's records. "g" lines separate nothing: every record lands in
    // this one mesh, whatever "g" lines came before it.
    const Mesh& mesh() const { return mesh_; }
    Mesh& mesh() { return mesh_; }

private:
    void clear();

    Mesh mesh_;
    std::string problem_;
};
