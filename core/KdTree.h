// KdTree: the tree over the triangles of every mesh of the scene.
// (Placeholder: a flat list searched by brute force until the tree lands.)
#pragma once

#include <vector>

#include "core/Triangle.h"

class KdTree {
public:
    // Builds the tree over the given triangles (not owned; they must outlive
    // the tree), replacing whatever it held.
    void build(const std::vector<const Triangle*>& triangles, int maxDepth);
    void clear();

    // Leaves the nearest triangle hit in hit, or hit untouched when none.
    void findClosest(const Ray& ray, HitRecord& hit) const;
    // True when some triangle is hit closer than maxDistance.
    bool findAny(const Ray& ray, HitRecord& hit, float maxDistance) const;

private:
    std::vector<const Triangle*> triangles_;
};
