// Vertex normals for a mesh whose file gives none, smooth across gentle
// edges and sharp across creases: a corner's normal is the mean of the
// normals of the faces that meet at its position and lie within the crease
// angle of its own face, each weighted by the angle it spans there. So a
// finely tessellated sphere or scan shades smooth while a box keeps flat
// faces and sharp edges, as modelling tools show such files.
#pragma once

#include "scene/Mesh.h"

// Faces that meet at an edge more sharply than this (the angle between
// their normals, in degrees) keep the edge sharp: 90° box edges stay, the
// 45° steps of an eight-sided cylinder are smoothed.
constexpr float kCreaseAngleDegrees = 70.f;

// Gives every corner of every triangle that lacks a normal at any corner
// its crease-limited normal, appended to mesh.normals (corners with equal
// normals at one position share an entry). Faces meet where their corners'
// positions are bitwise equal, whichever vertex entries name them. Time
// O(n log n) in the triangles; other triangles are left as they are.
void makeCreaseNormals(Mesh& mesh, float creaseDegrees = kCreaseAngleDegrees);
