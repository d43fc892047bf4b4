#include "render/ObjectGroups.h"

#include <limits>
#include <typeinfo>

#include "core/Plane.h"
#include "core/SkySphere.h"
#include "core/Sphere.h"

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();

template <int I>
inline __m128 lane(__m128 v) {
    return _mm_shuffle_ps(v, v, _MM_SHUFFLE(I, I, I, I));
}

// One ray's components, each in all four lanes.
struct RayLanes {
    __m128 ox, oy, oz, ow, dx, dy, dz, dw;
    __m128 zeroDw;  // 0 · dw, the last term of a plane's n · D

    explicit RayLanes(const Ray& ray) {
        const __m128 o = ray.origin.simd(), d = ray.direction.simd();
        ox = lane<0>(o), oy = lane<1>(o), oz = lane<2>(o), ow = lane<3>(o);
        dx = lane<0>(d), dy = lane<1>(d), dz = lane<2>(d), dw = lane<3>(d);
        zeroDw = _mm_mul_ps(_mm_setzero_ps(), dw);
    }
};

// (a · b) as dotf sums it: (x + y) + (z + w) of the lane products.
inline __m128 dot4(__m128 ax, __m128 bx, __m128 ay, __m128 by, __m128 az, __m128 bz, __m128 aw,
                   __m128 bw) {
    return _mm_add_ps(_mm_add_ps(_mm_mul_ps(ax, bx), _mm_mul_ps(ay, by)),
                      _mm_add_ps(_mm_mul_ps(az, bz), _mm_mul_ps(aw, bw)));
}

inline __m128 select(__m128 mask, __m128 a, __m128 b) {
    return _mm_or_ps(_mm_and_ps(mask, a), _mm_andnot_ps(mask, b));
}

// The smallest of the four lanes, in every lane.
inline __m128 laneMin(__m128 v) {
    const __m128 m = _mm_min_ps(v, _mm_shuffle_ps(v, v, _MM_SHUFFLE(2, 3, 0, 1)));
    return _mm_min_ps(m, _mm_shuffle_ps(m, m, _MM_SHUFFLE(1, 0, 3, 2)));
}

}  // namespace

// Sphere::hitDistance in each lane: all ones in the lanes that hit.
template <class Group>
inline __m128 sphereLanes(const Group& g, const RayLanes& r, __m128& t) {
    const __m128 lx = _mm_sub_ps(r.ox, g.cx), ly = _mm_sub_ps(r.oy, g.cy);
    const __m128 lz = _mm_sub_ps(r.oz, g.cz), lw = _mm_sub_ps(r.ow, g.cw);
    const __m128 b = dot4(r.dx, lx, r.dy, ly, r.dz, lz, r.dw, lw);
    const __m128 ll = dot4(lx, lx, ly, ly, lz, lz, lw, lw);
    const __m128 c = _mm_sub_ps(ll, g.squaredRadius);
    const __m128 disc = _mm_sub_ps(_mm_mul_ps(b, b), c);
    const __m128 s = _mm_sqrt_ps(disc);
    const __m128 minusB = _mm_xor_ps(b, _mm_set1_ps(-0.f));
    const __m128 outside = _mm_cmpgt_ps(_mm_sqrt_ps(ll), g.outsideRadius);
    t = select(outside, _mm_sub_ps(minusB, s), _mm_sub_ps(s, b));
    return _mm_and_ps(_mm_cmpgt_ps(disc, _mm_setzero_ps()),
                      _mm_and_ps(_mm_cmpgt_ps(t, _mm_setzero_ps()), _mm_cmplt_ps(t, g.farLimit)));
}

// Plane::hitDistance in each lane: all ones in the lanes that hit.
template <class Group>
inline __m128 planeLanes(const Group& g, const RayLanes& r, __m128& t) {
    // The origin's w counts as 1, so the last term is d itself.
    const __m128 num = _mm_add_ps(_mm_add_ps(_mm_mul_ps(g.nx, r.ox), _mm_mul_ps(g.ny, r.oy)),
                                  _mm_add_ps(_mm_mul_ps(g.nz, r.oz), g.d));
    const __m128 den = _mm_add_ps(_mm_add_ps(_mm_mul_ps(g.nx, r.dx), _mm_mul_ps(g.ny, r.dy)),
                                  _mm_add_ps(_mm_mul_ps(g.nz, r.dz), r.zeroDw));
    t = _mm_div_ps(_mm_xor_ps(num, _mm_set1_ps(-0.f)), den);
    return _mm_and_ps(_mm_cmpgt_ps(t, _mm_setzero_ps()),
                      _mm_cmplt_ps(t, _mm_set1_ps(Plane::kFarLimit)));
}

void ObjectGroups::clear() {
    spheres_.clear();
    planes_.clear();
    singles_.clear();
    sphereCount_ = planeCount_ = 0;
    count_ = 0;
}

void ObjectGroups::add(const Primitive* object) {
    const int32_t index = count_++;
    // Only these exact classes: a subclass may test differently.
    const std::type_info& type = typeid(*object);
    const bool sky = type == typeid(SkySphere);
    if (sky || type == typeid(Sphere)) {
        const int k = sphereCount_++ % 4;
        if (k == 0) {
            // Lanes without a sphere have a radius that is not a number,
            // which no comparison passes.
            const __m128 none = _mm_set1_ps(kNaN);
            spheres_.push_back(
                {none, none, none, none, none, none, none, {-1, -1, -1, -1}, {}, {}});
        }
        SphereGroup& g = spheres_.back();
        const auto set = [k](__m128& lanes, float value) {
            reinterpret_cast<float*>(&lanes)[k] = value;
        };
        if (sky) {
            // The sky sphere's test is the sphere's with the centre at 0
            // (o − 0 = o), never outside (always the far root) and no far
            // limit: an infinite distance, which the sky's own test would
            // take, is not below any distance to beat.
            const float r = static_cast<const SkySphere&>(*object).radius.x;
            const float infinity = std::numeric_limits<float>::infinity();
            set(g.cx, 0.f), set(g.cy, 0.f), set(g.cz, 0.f), set(g.cw, 0.f);
            set(g.squaredRadius, r * r);
            set(g.outsideRadius, infinity);
            set(g.farLimit, infinity);
        } else {
            const Sphere& s = static_cast<const Sphere&>(*object);
            const float r = s.radius.x;
            set(g.cx, s.centre.x), set(g.cy, s.centre.y), set(g.cz, s.centre.z);
            set(g.cw, s.centre.w);
            set(g.squaredRadius, r * r);
            set(g.outsideRadius, r + Sphere::kSurfaceMargin);
            set(g.farLimit, Sphere::kFarLimit);
        }
        g.index[k] = index;
        g.object[k] = object;
        g.sky[k] = sky;
    } else if (type == typeid(Plane)) {
        const Plane& p = static_cast<const Plane&>(*object);
        const int k = planeCount_++ % 4;
        if (k == 0) {
            const __m128 none = _mm_set1_ps(kNaN);
            planes_.push_back({none, none, none, none, {-1, -1, -1, -1}, {}});
        }
        PlaneGroup& g = planes_.back();
        reinterpret_cast<float*>(&g.nx)[k] = p.equation.x;
        reinterpret_cast<float*>(&g.ny)[k] = p.equation.y;
        reinterpret_cast<float*>(&g.nz)[k] = p.equation.z;
        reinterpret_cast<float*>(&g.d)[k] = p.equation.w;
        g.index[k] = index;
        g.object[k] = object;
    } else {
        singles_.push_back({index, object});
    }
}

const Primitive* ObjectGroups::nearest(const Ray& ray, float& bestDistance,
                                       HitRecord& record) const {
    // The scan's winner is the least (distance, list index); whatever was
    // found before the scan (index −1) wins a tie.
    float bestT = bestDistance;
    int32_t bestIndex = -1;
    const Primitive* winner = nullptr;
    // How the winner's record is made; Recorded: record already holds it.
    enum class Kind { Sphere, Plane, Sky, Recorded } winnerKind = Kind::Recorded;
    const RayLanes r(ray);
    // sky: which lanes hold sky spheres, or null.
    const auto offerGroup = [&](__m128 hit, __m128 t, const int32_t* index,
                                const Primitive* const* object, const bool* sky, Kind kind) {
        const int mask = _mm_movemask_ps(hit);
        if (!mask) return;
        const __m128 tHit = select(hit, t, _mm_set1_ps(std::numeric_limits<float>::infinity()));
        const __m128 least = laneMin(tHit);
        const float tl = _mm_cvtss_f32(least);
        // The first lane of the least distance has the lowest list index.
        const int k = __builtin_ctz(unsigned(_mm_movemask_ps(_mm_cmpeq_ps(tHit, least)) & mask));
        if (tl < bestT || (tl == bestT && index[k] < bestIndex)) {
            bestT = tl;
            bestIndex = index[k];
            winner = object[k];
            winnerKind = sky && sky[k] ? Kind::Sky : kind;
        }
    };
    for (const SphereGroup& g : spheres_) {
        __m128 t;
        const __m128 hit = sphereLanes(g, r, t);
        offerGroup(hit, t, g.index, g.object, g.sky, Kind::Sphere);
    }
    for (const PlaneGroup& g : planes_) {
        __m128 t;
        const __m128 hit = planeLanes(g, r, t);
        offerGroup(hit, t, g.index, g.object, nullptr, Kind::Plane);
    }
    for (const Single& s : singles_) {
        const HitRecord h = s.object->intersect(ray);
        if (!h.hit) continue;
        const float t = h.distance;
        if (t < bestT || (t == bestT && s.index < bestIndex)) {
            bestT = t, bestIndex = s.index, winner = s.object, winnerKind = Kind::Recorded;
            record = h;
        }
    }
    if (winner) {
        bestDistance = bestT;
        // The distance test that chose the winner is the one intersect runs,
        // so its record is intersect's.
        switch (winnerKind) {
            case Kind::Sphere:
                record = static_cast<const Sphere*>(winner)->hitAt(ray, bestT);
                break;
            case Kind::Plane:
                record = static_cast<const Plane*>(winner)->hitAt(ray, bestT);
                break;
            case Kind::Sky:
                record = static_cast<const SkySphere*>(winner)->hitAt(ray, bestT);
                break;
            case Kind::Recorded:
                break;
        }
    }
    return winner;
}

bool ObjectGroups::blocks(const Ray& ray, float maxDistance) const {
    const RayLanes r(ray);
    const __m128 limit = _mm_set1_ps(maxDistance);
    for (const SphereGroup& g : spheres_) {
        __m128 t;
        const __m128 hit = sphereLanes(g, r, t);
        if (_mm_movemask_ps(_mm_and_ps(hit, _mm_cmplt_ps(t, limit)))) return true;
    }
    for (const PlaneGroup& g : planes_) {
        __m128 t;
        const __m128 hit = planeLanes(g, r, t);
        if (_mm_movemask_ps(_mm_and_ps(hit, _mm_cmplt_ps(t, limit)))) return true;
    }
    for (const Single& s : singles_) {
        const HitRecord h = s.object->intersect(ray);
        if (h.hit && maxDistance > h.distance) return true;
    }
    return false;
}
