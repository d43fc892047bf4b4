#include "core/KdTree.h"

void KdTree::build(const std::vector<const Triangle*>& triangles, int) { triangles_ = triangles; }

void KdTree::clear() { triangles_.clear(); }

void KdTree::findClosest(const Ray& ray, HitRecord& hit) const {
    HitRecord candidate;
    for (const Triangle* t : triangles_) {
        if (intersectTriangle(*t, ray, candidate) && hit.distance > candidate.distance) hit = candidate;
    }
}

bool KdTree::findAny(const Ray& ray, HitRecord& hit, float maxDistance) const {
    HitRecord candidate;
    for (const Triangle* t : triangles_) {
        if (intersectTriangle(*t, ray, candidate) && maxDistance > candidate.distance) {
            hit = candidate;
            return true;
        }
    }
    return false;
}
