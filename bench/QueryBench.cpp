// Measure 1: closest-hit and shadow rays through the kd-tree against Embree.
#include <embree3/rtcore.h>
#include <tbb/global_control.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#endif

#include "bench/BenchSupport.h"
#include "core/KdTree.h"

namespace bench {

struct EmbreeScene {
    RTCDevice device = nullptr;
    RTCScene scene = nullptr;
    ~EmbreeScene() {
        if (scene) rtcReleaseScene(scene);
        if (device) rtcReleaseDevice(device);
    }
};

const std::vector<Triangle>* gFilterMesh = nullptr;

// Holds Embree to Tresk's rule for triangles: only hits with det above the
// triangle's minimum (front faces) count, and only below the far limit.
void tresksRule(const RTCFilterFunctionNArguments* args) {
    if (!args->valid[0]) return;
    const unsigned prim = RTCHitN_primID(args->hit, args->N, 0);
    const Triangle& t = (*gFilterMesh)[prim];
    const Vec3 d(RTCRayN_dir_x(args->ray, args->N, 0), RTCRayN_dir_y(args->ray, args->N, 0),
                 RTCRayN_dir_z(args->ray, args->N, 0));
    const float det = dot(cross(d, t.edge2), t.edge1);
    const float tHit = RTCRayN_tfar(args->ray, args->N, 0);
    if (!(det > t.minDet) || !(tHit < triangle_detail::kFarLimit) || !(tHit > 0.f))
        args->valid[0] = 0;
}

void makeEmbree(EmbreeScene& e, const std::vector<Triangle>& mesh, bool filtered) {
    e.device = rtcNewDevice(nullptr);
    e.scene = rtcNewScene(e.device);
    RTCGeometry g = rtcNewGeometry(e.device, RTC_GEOMETRY_TYPE_TRIANGLE);
    auto* v = static_cast<float*>(rtcSetNewGeometryBuffer(
        g, RTC_BUFFER_TYPE_VERTEX, 0, RTC_FORMAT_FLOAT3, 3 * sizeof(float), 3 * mesh.size()));
    auto* idx = static_cast<unsigned*>(rtcSetNewGeometryBuffer(
        g, RTC_BUFFER_TYPE_INDEX, 0, RTC_FORMAT_UINT3, 3 * sizeof(unsigned), mesh.size()));
    for (size_t i = 0; i < mesh.size(); ++i) {
        const Vec3* corners[3] = {&mesh[i].v0, &mesh[i].v1, &mesh[i].v2};
        for (int c = 0; c < 3; ++c) {
            v[9 * i + 3 * c] = corners[c]->x;
            v[9 * i + 3 * c + 1] = corners[c]->y;
            v[9 * i + 3 * c + 2] = corners[c]->z;
            idx[3 * i + c] = unsigned(3 * i + c);
        }
    }
    if (filtered) {
        rtcSetGeometryIntersectFilterFunction(g, tresksRule);
        rtcSetGeometryOccludedFilterFunction(g, tresksRule);
    }
    rtcCommitGeometry(g);
    rtcAttachGeometry(e.scene, g);
    rtcReleaseGeometry(g);
    rtcCommitScene(e.scene);
}

RTCRayHit embreeRay(const Ray& r, float tfar) {
    RTCRayHit rh{};
    rh.ray.org_x = r.origin.x, rh.ray.org_y = r.origin.y, rh.ray.org_z = r.origin.z;
    rh.ray.dir_x = r.direction.x, rh.ray.dir_y = r.direction.y, rh.ray.dir_z = r.direction.z;
    rh.ray.tnear = 0.f;
    rh.ray.tfar = tfar;
    rh.ray.mask = ~0u;
    rh.hit.geomID = RTC_INVALID_GEOMETRY_ID;
    return rh;
}

// Kept out of line so that callgrind can count them alone.
__attribute__((noinline)) size_t runClosestQueries(const KdTree& tree, const std::vector<Ray>& rays,
                                                   std::vector<float>* distances) {
    size_t hits = 0;
    for (size_t i = 0; i < rays.size(); ++i) {
        HitRecord h;
        tree.findClosest(rays[i], h);
        hits += h.hit;
        if (distances) (*distances)[i] = h.hit ? h.distance : -1.f;
    }
    return hits;
}

__attribute__((noinline)) size_t runShadowQueries(const KdTree& tree, const std::vector<Ray>& rays,
                                                  const std::vector<float>& maxDistance,
                                                  const std::vector<KdTree::WalkFrom>& from,
                                                  std::vector<char>* blocked) {
    size_t count = 0;
    for (size_t i = 0; i < rays.size(); ++i) {
        HitRecord h;
        const bool b = tree.findAny(rays[i], h, maxDistance[i], from[i]);
        count += b;
        if (blocked) (*blocked)[i] = b;
    }
    return count;
}

// The same queries in 2 × 2 tiles of the image: four closest-hit rays at
// once, and the shadow rays of a tile's four hits at once (tiles with fewer
// hits ask single rays). A tile holds ray indices, -1 for a pixel without
// a shadow ray.
using Tile = std::array<int, 4>;

__attribute__((noinline)) size_t runClosestPackets(const KdTree& tree, const std::vector<Ray>& rays,
                                                   const std::vector<Tile>& tiles,
                                                   std::vector<float>* distances) {
    size_t hits = 0;
    for (const Tile& tile : tiles) {
        const Ray r[4] = {rays[size_t(tile[0])], rays[size_t(tile[1])], rays[size_t(tile[2])],
                          rays[size_t(tile[3])]};
        HitRecord h[4];
        tree.findClosest4(r, h);
        for (int i = 0; i < 4; ++i) {
            hits += h[i].hit;
            if (distances) (*distances)[size_t(tile[i])] = h[i].hit ? h[i].distance : -1.f;
        }
    }
    return hits;
}

__attribute__((noinline)) size_t runShadowPackets(const KdTree& tree, const std::vector<Ray>& rays,
                                                  const std::vector<float>& maxDistance,
                                                  const std::vector<KdTree::WalkFrom>& from,
                                                  const std::vector<Tile>& tiles,
                                                  std::vector<char>* blocked) {
    size_t count = 0;
    for (const Tile& tile : tiles) {
        if (tile[0] < 0 || tile[1] < 0 || tile[2] < 0 || tile[3] < 0) {
            for (int k : tile) {
                if (k < 0) continue;
                HitRecord h;
                const bool b =
                    tree.findAny(rays[size_t(k)], h, maxDistance[size_t(k)], from[size_t(k)]);
                count += b;
                if (blocked) (*blocked)[size_t(k)] = b;
            }
            continue;
        }
        const Ray r[4] = {rays[size_t(tile[0])], rays[size_t(tile[1])], rays[size_t(tile[2])],
                          rays[size_t(tile[3])]};
        const float limit[4] = {maxDistance[size_t(tile[0])], maxDistance[size_t(tile[1])],
                                maxDistance[size_t(tile[2])], maxDistance[size_t(tile[3])]};
        HitRecord h[4];
        // The lanes that walk from the far end, and the others, each together.
        int fromEnd = 0;
        for (int i = 0; i < 4; ++i)
            fromEnd |= int(from[size_t(tile[size_t(i)])] == KdTree::WalkFrom::farEnd) << i;
        const int mask =
            (fromEnd != 0xF ? tree.findAny4(r, h, limit, 0xF & ~fromEnd) : 0) |
            (fromEnd ? tree.findAny4(r, h, limit, fromEnd, KdTree::WalkFrom::farEnd) : 0);
        for (int i = 0; i < 4; ++i) {
            count += mask >> i & 1;
            if (blocked) (*blocked)[size_t(tile[i])] = mask >> i & 1;
        }
    }
    return count;
}

size_t embreeClosest(RTCScene scene, const std::vector<Ray>& rays, std::vector<float>* distances) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    size_t hits = 0;
    for (size_t i = 0; i < rays.size(); ++i) {
        RTCRayHit rh = embreeRay(rays[i], triangle_detail::kFarLimit);
        rtcIntersect1(scene, &context, &rh);
        const bool hit = rh.hit.geomID != RTC_INVALID_GEOMETRY_ID;
        hits += hit;
        if (distances) (*distances)[i] = hit ? rh.ray.tfar : -1.f;
    }
    return hits;
}

size_t embreeOccluded(RTCScene scene, const std::vector<Ray>& rays,
                      const std::vector<float>& maxDistance, std::vector<char>* blocked) {
    RTCIntersectContext context;
    rtcInitIntersectContext(&context);
    size_t count = 0;
    for (size_t i = 0; i < rays.size(); ++i) {
        RTCRayHit rh = embreeRay(rays[i], maxDistance[i]);
        rtcOccluded1(scene, &context, &rh.ray);
        const bool b = rh.ray.tfar < 0.f;  // -inf when occluded
        count += b;
        if (blocked) (*blocked)[i] = b;
    }
    return count;
}

// Median rays per second of fn over repeats, at least minSeconds in all.
double raysPerSecond(size_t rayCount, int repeats, const std::function<void()>& fn) {
    std::vector<double> rates;
    for (int i = 0; i < repeats; ++i) {
        const auto start = Clock::now();
        fn();
        rates.push_back(double(rayCount) / secondsSince(start));
    }
    return median(rates);
}

struct QueryRays {
    std::vector<Ray> primary;
    std::vector<Ray> shadow;
    std::vector<float> shadowDistance;
    // Where each shadow ray's walk starts, as the renderer chooses: from the
    // far end when the light lies behind the surface.
    std::vector<KdTree::WalkFrom> shadowFrom;
    std::vector<Tile> primaryTiles, shadowTiles;  // 2 × 2 pixels each
};

// Primary rays of a width × height view with Tresk's 80-degree image plane
// (no jitter), from an eye in front of the mesh; shadow rays from every
// closest hit towards a point light, started 0.002 towards the light as the
// materials do.
QueryRays makeRays(const KdTree& tree, int width, int height) {
    QueryRays q;
    const float planeZ = float(-1.0 / std::tan(0.69813144));
    const Vec4 eye(0.f, 0.f, 2.2f);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            Vec3 d((float(x) - 0.5f * float(width)) * 2.f / float(width),
                   (float(y) - 0.5f * float(height)) * 2.f / float(height) * float(height) /
                       float(width),
                   planeZ);
            d.normalize();
            q.primary.emplace_back(eye, Vec4(d));
        }
    }
    const Vec4 light(-5.f, 3.f, -2.f);
    std::vector<int> shadowOf(q.primary.size(), -1);
    for (size_t i = 0; i < q.primary.size(); ++i) {
        const Ray& r = q.primary[i];
        HitRecord h;
        tree.findClosest(r, h);
        if (!h.hit) continue;
        shadowOf[i] = int(q.shadow.size());
        const Vec4 toLight = light - h.position;
        const float distance = std::sqrt(dotf(toLight, toLight));
        const Vec4 l = toLight * (1.f / distance);
        q.shadow.emplace_back(h.position + l * 0.002f, l);
        q.shadowDistance.push_back(distance);
        q.shadowFrom.push_back(dotf(h.normal, l) > 0.f ? KdTree::WalkFrom::origin
                                                       : KdTree::WalkFrom::farEnd);
    }
    for (int y = 0; y + 1 < height; y += 2)
        for (int x = 0; x + 1 < width; x += 2) {
            const int first = y * width + x;
            const Tile tile = {first, first + 1, first + width, first + width + 1};
            q.primaryTiles.push_back(tile);
            Tile shadows;
            for (int i = 0; i < 4; ++i) shadows[size_t(i)] = shadowOf[size_t(tile[size_t(i)])];
            if (shadows != Tile{-1, -1, -1, -1}) q.shadowTiles.push_back(shadows);
        }
    return q;
}

// Rays for which both say hit or both say miss; of those both hit, the ones
// at the same distance.
struct ClosestAgreement {
    size_t hitAgree = 0, bothHit = 0, sameDistance = 0;
};

ClosestAgreement agreement(const std::vector<float>& distances, const std::vector<float>& embree) {
    ClosestAgreement c;
    for (size_t i = 0; i < distances.size(); ++i) {
        const bool a = distances[i] >= 0.f, b = embree[i] >= 0.f;
        c.hitAgree += a == b;
        if (a && b) {
            ++c.bothHit;
            c.sameDistance +=
                std::fabs(distances[i] - embree[i]) <= 1e-4f * std::max(1.f, distances[i]);
        }
    }
    return c;
}

size_t sameAnswers(const std::vector<char>& a, const std::vector<char>& b) {
    size_t same = 0;
    for (size_t i = 0; i < a.size(); ++i) same += a[i] == b[i];
    return same;
}

std::vector<std::vector<std::string>> measureQueries(bool quick) {
    std::printf("Queries: reading %s ...\n", kBunny);
    if (!fs::exists(kBunny)) {
        std::fprintf(stderr, "%s is missing: install the package glmark2-data\n", kBunny);
        std::exit(1);
    }
    std::vector<Triangle> mesh = subdivide(readObj(kBunny));
    centre(mesh);
    KdTree tree;
    tree.build(pointers(mesh), 20);
    const QueryRays q = makeRays(tree, 640, 480);
    std::printf("  %zu triangles, %zu primary rays, %zu shadow rays\n", mesh.size(),
                q.primary.size(), q.shadow.size());

    EmbreeScene embree, checked;
    makeEmbree(embree, mesh, false);
    gFilterMesh = &mesh;
    makeEmbree(checked, mesh, true);

    const tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
    const int repeats = quick ? 3 : 7;
    // Interleaved so that both see the same load on a shared machine.
    std::vector<double> tc, ec, ts, es, tc4, ts4;
    for (int i = 0; i < repeats; ++i) {
        tc.push_back(raysPerSecond(q.primary.size(), 1,
                                   [&] { runClosestQueries(tree, q.primary, nullptr); }));
        tc4.push_back(raysPerSecond(q.primary.size(), 1, [&] {
            runClosestPackets(tree, q.primary, q.primaryTiles, nullptr);
        }));
        ts4.push_back(raysPerSecond(q.shadow.size(), 1, [&] {
            runShadowPackets(tree, q.shadow, q.shadowDistance, q.shadowFrom, q.shadowTiles,
                             nullptr);
        }));
        ec.push_back(raysPerSecond(q.primary.size(), 1,
                                   [&] { embreeClosest(embree.scene, q.primary, nullptr); }));
        ts.push_back(raysPerSecond(q.shadow.size(), 1, [&] {
            runShadowQueries(tree, q.shadow, q.shadowDistance, q.shadowFrom, nullptr);
        }));
        es.push_back(raysPerSecond(q.shadow.size(), 1, [&] {
            embreeOccluded(embree.scene, q.shadow, q.shadowDistance, nullptr);
        }));
    }

    // Agreement against Embree held to Tresk's rule, of the single rays and
    // of the packets; the packets also against the single rays, bit for bit.
    std::vector<float> td(q.primary.size()), ed(q.primary.size()), td4(q.primary.size());
    runClosestQueries(tree, q.primary, &td);
    runClosestPackets(tree, q.primary, q.primaryTiles, &td4);
    embreeClosest(checked.scene, q.primary, &ed);
    const ClosestAgreement closestAgree = agreement(td, ed), closestAgree4 = agreement(td4, ed);
    std::vector<char> tb(q.shadow.size()), eb(q.shadow.size()), tb4(q.shadow.size());
    runShadowQueries(tree, q.shadow, q.shadowDistance, q.shadowFrom, &tb);
    runShadowPackets(tree, q.shadow, q.shadowDistance, q.shadowFrom, q.shadowTiles, &tb4);
    embreeOccluded(checked.scene, q.shadow, q.shadowDistance, &eb);
    const size_t shadowAgree = sameAnswers(tb, eb), shadowAgree4 = sameAnswers(tb4, eb);
    const size_t blocked = std::count(tb.begin(), tb.end(), 1);
    size_t sameAsSingle = sameAnswers(tb4, tb);
    for (size_t i = 0; i < td4.size(); ++i)
        sameAsSingle += !std::memcmp(&td4[i], &td[i], sizeof(float));
    std::printf("  2 x 2 packets give the single rays' answers on %zu of %zu rays\n", sameAsSingle,
                td4.size() + tb4.size());

    auto pct = [](size_t a, size_t b) {
        return format("%.4f%%", b ? 100.0 * double(a) / double(b) : 100.0);
    };
    const double ecr = median(ec), esr = median(es);
    // One row: Tresk's rate against Embree's, and the agreement over n rays.
    auto row = [&](const char* kind, const std::string& rays, double rate, double embree,
                   size_t agree, size_t n, const std::string& sameDistance) {
        return std::vector<std::string>{kind,
                                        rays,
                                        format("%.3f", rate * 1e-6),
                                        format("%.3f", embree * 1e-6),
                                        format("%.3f", rate / embree),
                                        format("%zu / %zu (%s)", agree, n, pct(agree, n).c_str()),
                                        sameDistance};
    };
    auto closestRow = [&](const char* kind, const std::string& rays, double rate,
                          const ClosestAgreement& c) {
        return row(kind, rays, rate, ecr, c.hitAgree, td.size(),
                   format("%zu / %zu", c.sameDistance, c.bothHit));
    };
    auto shadowRow = [&](const char* kind, const std::string& rays, double rate, size_t agree) {
        return row(kind, rays, rate, esr, agree, tb.size(), "-");
    };
    size_t hits = 0;
    for (float d : td) hits += d >= 0.f;
    return {
        closestRow("closest hit",
                   format("%zu (%.0f%% hit)", td.size(), 100.0 * double(hits) / double(td.size())),
                   median(tc), closestAgree),
        shadowRow(
            "shadow",
            format("%zu (%.0f%% blocked)", tb.size(), 100.0 * double(blocked) / double(tb.size())),
            median(ts), shadowAgree),
        closestRow("closest hit, 2 × 2 packets",
                   format("%zu in %zu tiles", td.size(), q.primaryTiles.size()), median(tc4),
                   closestAgree4),
        shadowRow("shadow, 2 × 2 packets",
                  format("%zu in %zu tiles", tb.size(), q.shadowTiles.size()), median(ts4),
                  shadowAgree4),
    };
}

// A mode for callgrind: runs only the query loops over n rays each.
int callgrindKernel(size_t n) {
    std::vector<Triangle> mesh = subdivide(readObj(kBunny));
    centre(mesh);
    KdTree tree;
    tree.build(pointers(mesh), 20);
    QueryRays q = makeRays(tree, 640, 480);
    // An even spread over the image and over the shadow rays.
    auto sample = [n](const auto& v) {
        std::decay_t<decltype(v)> out;
        for (size_t i = 0; i < n && !v.empty(); ++i) out.push_back(v[i * v.size() / n]);
        return out;
    };
    const auto primary = sample(q.primary);
    const auto shadow = sample(q.shadow);
    const auto distance = sample(q.shadowDistance);
    const auto from = sample(q.shadowFrom);
    // The packets: n / 4 tiles spread likewise.
    const size_t tileCount = n / 4;
    auto sampleTiles = [tileCount](const std::vector<Tile>& v) {
        std::vector<Tile> out;
        for (size_t i = 0; i < tileCount && !v.empty(); ++i)
            out.push_back(v[i * v.size() / tileCount]);
        return out;
    };
    const std::vector<Tile> primaryTiles = sampleTiles(q.primaryTiles);
    const std::vector<Tile> shadowTiles = sampleTiles(q.shadowTiles);
    size_t packetShadows = 0;
    for (const Tile& t : shadowTiles)
        for (int k : t) packetShadows += k >= 0;
    // Under callgrind with --instr-atstart=no, only what follows is simulated.
    CALLGRIND_START_INSTRUMENTATION;
    const size_t hits = runClosestQueries(tree, primary, nullptr);
    const size_t blocked = runShadowQueries(tree, shadow, distance, from, nullptr);
    const size_t hits4 = runClosestPackets(tree, q.primary, primaryTiles, nullptr);
    const size_t blocked4 =
        runShadowPackets(tree, q.shadow, q.shadowDistance, q.shadowFrom, shadowTiles, nullptr);
    std::printf("%zu closest (%zu hits), %zu shadow (%zu blocked)\n", primary.size(), hits,
                shadow.size(), blocked);
    // bench/callgrind.sh reads the ray counts of the packet queries from here.
    std::printf("closest4 rays %zu (%zu hits)\nshadow4 rays %zu (%zu blocked)\n",
                4 * primaryTiles.size(), hits4, packetShadows, blocked4);
    return 0;
}

}  // namespace bench
