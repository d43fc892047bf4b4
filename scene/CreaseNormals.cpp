#include "scene/CreaseNormals.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace {

// Most faces at one position whose normals are compared pair by pair (a
// cost growing with their square). A position where more faces meet, and
// that is no gently curved fan (the apex of a finely divided cone), shows
// each face's own normal there.
constexpr size_t kMaxPairwise = 128;

constexpr float kPi = 3.14159265358979323846f;

// For each position, a number shared by exactly the positions of equal
// bits; count is how many numbers there are.
std::vector<int32_t> weldPositions(const std::vector<Vec3>& positions, int32_t& count) {
    struct Keyed {
        uint64_t xy;
        uint32_t z;
        int32_t index;
        bool operator<(const Keyed& o) const { return xy < o.xy || (xy == o.xy && z < o.z); }
        bool operator!=(const Keyed& o) const { return xy != o.xy || z != o.z; }
    };
    std::vector<Keyed> keyed(positions.size());
    for (size_t i = 0; i < positions.size(); ++i) {
        uint32_t bits[3];
        std::memcpy(bits, &positions[i], sizeof bits);
        keyed[i] = {uint64_t(bits[0]) << 32 | bits[1], bits[2], int32_t(i)};
    }
    // Bits rather than values: a strict order even for NaN, which the
    // importer refuses later.
    std::sort(keyed.begin(), keyed.end());
    std::vector<int32_t> id(positions.size());
    count = 0;
    for (size_t i = 0; i < keyed.size(); ++i) {
        if (i == 0 || keyed[i] != keyed[i - 1]) ++count;
        id[size_t(keyed[i].index)] = count - 1;
    }
    return id;
}

bool lacksNormal(const Mesh& g, size_t triangle) {
    const int32_t* n = &g.normalIndices[3 * triangle];
    return n[0] < 0 || n[1] < 0 || n[2] < 0;
}

class CreaseSmoother {
public:
    CreaseSmoother(Mesh& g, float creaseDegrees)
        : g_(g),
          cosCrease_(std::cos(creaseDegrees * kPi / 180.f)),
          cosHalfCrease_(std::cos(creaseDegrees * kPi / 360.f)) {}

    void run() {
        int32_t welded = 0;
        const std::vector<int32_t> id = weldPositions(g_.positions, welded);
        faceNormals();
        groupCorners(id, welded);
        for (int32_t w = 0; w < welded; ++w)
            atPosition(corners_.data() + start_[size_t(w)],
                       corners_.data() + start_[size_t(w) + 1]);
    }

private:
    const Vec3& cornerPosition(int32_t corner) const {
        return g_.positions[size_t(g_.positionIndices[size_t(corner)])];
    }

    void faceNormals() {
        const size_t triangles = size_t(g_.triangleCount());
        faceNormal_.assign(triangles, Vec3());
        for (size_t t = 0; t < triangles; ++t)
            if (lacksNormal(g_, t))
                faceNormal_[t] = geometricNormal(cornerPosition(int32_t(3 * t)),
                                                 cornerPosition(int32_t(3 * t + 1)),
                                                 cornerPosition(int32_t(3 * t + 2)));
    }

    // The corners of the triangles lacking normals, grouped by welded
    // position: those of position w are corners_[start_[w] .. start_[w + 1]).
    void groupCorners(const std::vector<int32_t>& id, int32_t welded) {
        start_.assign(size_t(welded) + 1, 0);
        const size_t cornerCount = g_.positionIndices.size();
        auto weldOf = [&](size_t c) { return size_t(id[size_t(g_.positionIndices[c])]); };
        for (size_t c = 0; c < cornerCount; ++c)
            if (lacksNormal(g_, c / 3)) ++start_[weldOf(c)];
        for (size_t w = 1; w < size_t(welded); ++w) start_[w] += start_[w - 1];
        start_[size_t(welded)] = welded > 0 ? start_[size_t(welded) - 1] : 0;
        corners_.resize(size_t(start_[size_t(welded)]));
        for (size_t c = 0; c < cornerCount; ++c)
            if (lacksNormal(g_, c / 3)) corners_[size_t(--start_[weldOf(c)])] = int32_t(c);
    }

    // The angle that the corner's triangle spans there (radians).
    float angleAt(int32_t corner) const {
        const int32_t first = corner - corner % 3;
        const Vec3& p = cornerPosition(corner);
        const Vec3 a = cornerPosition(first + (corner - first + 1) % 3) - p;
        const Vec3 b = cornerPosition(first + (corner - first + 2) % 3) - p;
        const Vec3 c = cross(a, b);
        return std::atan2(std::sqrt(dot(c, c)), dot(a, b));
    }

    // The normals of the corners that meet at one position.
    void atPosition(const int32_t* begin, const int32_t* end) {
        const size_t k = size_t(end - begin);
        faces_.resize(k);
        weights_.resize(k);
        Vec3 sum;
        for (size_t i = 0; i < k; ++i) {
            faces_[i] = faceNormal_[size_t(begin[i] / 3)];
            weights_[i] = angleAt(begin[i]);
            sum = sum + faces_[i] * weights_[i];
        }
        made_.clear();
        // Every face within half the crease angle of the mean lies within
        // the crease angle of every other: all corners share the mean.
        const Vec3 mean = unitOrZero(sum);
        bool gentle = true;
        for (size_t i = 0; i < k && gentle; ++i) gentle = dot(faces_[i], mean) >= cosHalfCrease_;
        const bool pairwise = !gentle && k <= kMaxPairwise;
        for (size_t i = 0; i < k; ++i) {
            Vec3 n = gentle ? mean : pairwise ? withinCrease(faces_[i]) : faces_[i];
            if (n == Vec3()) n = faces_[i];
            g_.normalIndices[size_t(begin[i])] = gentle || pairwise ? shared(n) : added(n);
        }
    }

    // The weighted mean of the faces here within the crease angle of own.
    Vec3 withinCrease(const Vec3& own) const {
        Vec3 sum;
        for (size_t j = 0; j < faces_.size(); ++j)
            if (dot(faces_[j], own) >= cosCrease_) sum = sum + faces_[j] * weights_[j];
        return unitOrZero(sum);
    }

    // The normal's entry: one already made at this position, or a new one.
    int32_t shared(const Vec3& n) {
        for (const auto& m : made_)
            if (m.first == n) return m.second;
        made_.emplace_back(n, added(n));
        return made_.back().second;
    }

    int32_t added(const Vec3& n) {
        g_.normals.push_back(n);
        return int32_t(g_.normals.size() - 1);
    }

    Mesh& g_;
    const float cosCrease_, cosHalfCrease_;
    std::vector<Vec3> faceNormal_;  // unit; zero for triangles that have normals
    std::vector<int32_t> start_, corners_;
    // At the current position: each corner's face normal and angle, and
    // the normals made there.
    std::vector<Vec3> faces_;
    std::vector<float> weights_;
    std::vector<std::pair<Vec3, int32_t>> made_;
};

}  // namespace

void makeCreaseNormals(Mesh& mesh, float creaseDegrees) {
    const size_t triangles = size_t(mesh.triangleCount());
    bool any = false;
    for (size_t t = 0; t < triangles && !any; ++t) any = lacksNormal(mesh, t);
    if (any) CreaseSmoother(mesh, creaseDegrees).run();
}
