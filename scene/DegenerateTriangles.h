// Triangles whose three corners lie on one point or on one line cover no
// area: no ray hits them, yet each costs as much memory and build time as a
// visible one. The readers leave them out as they read the faces and count
// them in one note.
#pragma once

#include <cstdint>
#include <string>

#include "core/Vec3.h"
#include "scene/Diagnostic.h"

struct Mesh;

// True when the corners lie on one point or one line: the cross product of
// two edges, computed in double precision from the float positions, is
// exactly zero. The rounding of double lies far below what a triangle needs
// to be hit at single precision, so a triangle that can show is never taken
// for degenerate; one that rounding keeps is merely never hit, as before.
inline bool isDegenerateTriangle(const Vec3& a, const Vec3& b, const Vec3& c) {
    const double e1[3] = {double(b.x) - double(a.x), double(b.y) - double(a.y),
                          double(b.z) - double(a.z)};
    const double e2[3] = {double(c.x) - double(a.x), double(c.y) - double(a.y),
                          double(c.z) - double(a.z)};
    return e1[1] * e2[2] - e1[2] * e2[1] == 0.0 && e1[2] * e2[0] - e1[0] * e2[2] == 0.0 &&
           e1[0] * e2[1] - e1[1] * e2[0] == 0.0;
}

// Drops the degenerate triangles from the mesh's index lists (and its
// materials when each triangle has one) in place, keeping the order of the rest, and adds their
// number to g.degenerateTriangles. For meshes whose faces may name positions defined after them, so
// that the test must wait until all are read.
void dropDegenerateTriangles(Mesh& g);

// For a file that had some left out, one Note that counts them; `what`
// names the file as messages do ("Mesh file \"a.obj\""), path is the file.
void noteDegenerateTriangles(const std::string& what, const std::string& path, int64_t count,
                             Diagnostics& diagnostics);
