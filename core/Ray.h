// Ray and HitRecord: the argument and the answer of every ray query.
#pragma once

#include <cstdint>
#include <ostream>

#include "core/Vec4.h"

class Material;
class Triangle;

// Origin and direction, both with w = 0; the direction is unit length as
// far as its maker normalised it.
struct alignas(16) Ray {
    Vec4 origin;
    Vec4 direction;

    Ray() = default;
    Ray(const Vec4& o, const Vec4& d) : origin(o), direction(d) {}
};

// Ray parameter reported when nothing was hit; also the far limit of every
// closest-hit query.
constexpr float kNoHitDistance = 1000000.f;

struct alignas(16) HitRecord {
    Vec4 position;  // rayOrigin + distance × rayDirection
    Vec4 normal;    // as the primitive delivers it: length and side vary by kind
    Vec4 rayOrigin;
    Vec4 rayDirection;
    float distance = kNoHitDistance;
    int32_t depth = 0;                   // recursion depth handed to the material
    const Material* material = nullptr;  // not owned
    // The mesh triangle hit, for materials that look up what its corners
    // carry (texture coordinates, colours); null for every other primitive.
    // It fills the record's padding, so the record stays 96 bytes.
    const Triangle* triangle = nullptr;
    bool hit = false;

    HitRecord() = default;
    HitRecord(const HitRecord&) = default;
    // A record of which only the miss answer (hit, distance, material) is
    // set: for a query's scratch record, whose vectors the query writes
    // whenever it reports a hit. Saves clearing 64 bytes per ray.
    struct Unfilled {};
    explicit HitRecord(Unfilled)
        : position(Vec4::Unset()),
          normal(Vec4::Unset()),
          rayOrigin(Vec4::Unset()),
          rayDirection(Vec4::Unset()) {}

    // Assignment keeps the target's depth: the closest-hit query sets depth
    // once, after the last candidate has been copied in.
    HitRecord& operator=(const HitRecord& o) {
        position = o.position;
        normal = o.normal;
        rayOrigin = o.rayOrigin;
        rayDirection = o.rayDirection;
        distance = o.distance;
        material = o.material;
        triangle = o.triangle;
        hit = o.hit;
        return *this;
    }
};

static_assert(sizeof(HitRecord) == 96, "a hit record is copied per candidate: keep it small");

inline std::ostream& operator<<(std::ostream& os, const Ray& r) {
    return os << "Ray{" << r.origin << " -> " << r.direction << '}';
}

inline std::ostream& operator<<(std::ostream& os, const HitRecord& h) {
    if (!h.hit) return os << "HitRecord{miss}";
    return os << "HitRecord{t=" << h.distance << " p=" << h.position << " n=" << h.normal
              << " depth=" << h.depth << '}';
}
