#include "render/Renderer.h"

#include <tbb/blocked_range2d.h>
#include <tbb/parallel_for.h>
#include <tbb/partitioner.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cassert>
#include <cmath>
#include <limits>
#include <new>
#include <utility>

#include "core/HugePages.h"
#include "core/SkySphere.h"
#include "render/ToneMap.h"

namespace {

// Pixels per tile side: the parallel loop never runs a tile larger than this.
constexpr int kTileGrain = 16;
// Colour of the interactive display before the first frame.
const float kLoadingColour[3] = {0.5f, 0.75f, 0.25f};
// Half the horizontal and vertical field of view (40° in single precision).
constexpr float kHalfFieldOfView = 0.69813144f;
// Angular step of the hemisphere grid: π/100 in single precision.
constexpr double kHemisphereStep = 0.03141592815518379;
constexpr int kHemisphereGridSide = 100;
constexpr int kHemisphereSwaps = 200000;
// Seed of the standard generator as it starts unseeded, so that every load
// builds the same tables.
constexpr int32_t kTableSeed = 1;

// Rays traced by this thread; a pass adds the difference to the shared total
// once per tile, so the hot path touches no shared counter.
thread_local uint64_t tlsRaysTraced = 0;

// This thread's place in the random and hemisphere tables: the entries its
// next draws read. A pass sets it at each pixel, so which thread shades the
// pixel does not matter.
thread_local Renderer::DrawStart tlsDraws;

// The finaliser of SplitMix64: a bijection on 64 bits in which every input
// bit changes each output bit with a probability close to one half, so
// keys that differ in one bit (neighbouring pixels, successive passes) give
// unrelated values.
inline uint64_t mixBits(uint64_t z) {
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// An index in [0, size) from 32 bits of a hash, by multiplication rather
// than a remainder.
inline uint32_t scaledIndex(uint32_t bits, uint32_t size) {
    return uint32_t((uint64_t(bits) * uint64_t(size)) >> 32);
}

constexpr uint64_t kPassSalt = 0x243f6a8885a308d3ull;
// A pass draws from a window of the random table (256 KiB, which stays in
// the cache; the whole table does not, and a pixel's first draw would miss
// it) at a place of its own. Two pixels' runs of draws meet in it more
// rarely than in the hemisphere table of 10,000 directions.
constexpr uint32_t kRandomWindow = 1u << 16;

Renderer* gRenderer = nullptr;

}  // namespace

// The numbers std::rand gives after std::srand(seed) with the GNU C
// library, which the tables were first drawn from: its additive feedback
// generator over 31 words (each result the sum of the words 3 and 31 places
// back, halved), seeded by a multiplicative congruential generator and run
// 310 steps before the first result. Written out, a draw costs a few
// instructions instead of a locked library call, and 1.4 million of them
// are made at every load.
class Renderer::TableRandom {
public:
    explicit TableRandom(int32_t seed) {
        int32_t word = seed == 0 ? 1 : seed;
        state_[0] = uint32_t(word);
        for (int i = 1; i < kDegree; ++i) {
            // 16807 × word mod (2^31 − 1) without overflow (Schrage).
            const int32_t hi = word / 127773, lo = word % 127773;
            word = 16807 * lo - 2836 * hi;
            if (word < 0) word += 2147483647;
            state_[i] = uint32_t(word);
        }
        for (int i = 0; i < kDegree * 10; ++i) next();
    }

    int32_t next() {
        const uint32_t value = state_[front_] += state_[rear_];
        front_ = front_ + 1 == kDegree ? 0 : front_ + 1;
        rear_ = rear_ + 1 == kDegree ? 0 : rear_ + 1;
        return int32_t(value >> 1);
    }

private:
    static constexpr int kDegree = 31;
    uint32_t state_[kDegree];
    int front_ = 3, rear_ = 0;
};

Renderer* Renderer::instance() {
    if (!gRenderer) {
        gRenderer = new (std::nothrow) Renderer();
        if (gRenderer) setCurrent(gRenderer);
    }
    return gRenderer;
}

// --- Scene set-up -------------------------------------------------------------

void Renderer::reset() {
    displayBuffer_ = radianceBuffer_ = nullptr;
    primaryRays_ = nullptr;
    geometry_ = interactiveGeometry_ = stillGeometry_ = FrameGeometry();
    stillMode_ = false;
    for (auto* v : {&interactiveDisplayBuffer_, &stillDisplayBuffer_, &interactiveRadianceBuffer_,
                    &stillRadianceBuffer_}) {
        std::vector<float>().swap(*v);
    }
    std::vector<Ray>().swap(interactiveRays_);
    std::vector<Ray>().swap(stillRays_);
    kdTree_.clear();
    objects_.clear();
    objectGroups_.clear();
    meshTriangles_.clear();
    meshCorners_.clear();
    materials_.clear();
    lights_.clear();
    camera = Camera();
    imagePlaneZ = 0.f;
    exposure = 1.f;
    giSampleCount = 1.f;
    sampleCount = 1.f;
    kdMaxDepth = 0;
    maxDepth = kDefaultMaxDepth;
}

bool Renderer::validImageSize(int width, int height) {
    return width > 0 && height > 0 && width <= kMaxImageSide && height <= kMaxImageSide &&
           int64_t(width) * height <= kMaxImagePixels;
}

void Renderer::setImageSizes(int interactiveWidth, int interactiveHeight, int stillWidth,
                             int stillHeight) {
    interactiveGeometry_ = FrameGeometry::ofSize(interactiveWidth, interactiveHeight);
    stillGeometry_ = FrameGeometry::ofSize(stillWidth, stillHeight);
    const bool interactive = onlySize_ != OnlySize::Still,
               still = onlySize_ != OnlySize::Interactive;
    const size_t interactivePixels = interactive ? size_t(interactiveGeometry_.pixelCount()) : 0;
    const size_t stillPixels = still ? size_t(stillGeometry_.pixelCount()) : 0;
    assignOnHugePages(interactiveDisplayBuffer_, interactivePixels * 3, 0.f);
    assignOnHugePages(interactiveRadianceBuffer_, interactivePixels * 3, 0.f);
    assignOnHugePages(stillDisplayBuffer_, stillPixels * 3, 0.f);
    assignOnHugePages(stillRadianceBuffer_, stillPixels * 3, 0.f);
    assignOnHugePages(interactiveRays_, interactivePixels, Ray());
    assignOnHugePages(stillRays_, stillPixels, Ray());
    setStillMode(false);
    for (size_t i = 0; i < interactivePixels * 3; ++i) displayBuffer_[i] = kLoadingColour[i % 3];
}

Material* Renderer::addMaterial(std::unique_ptr<Material> material) {
    materials_.push_back(std::move(material));
    return materials_.back().get();
}

void Renderer::addObject(std::unique_ptr<Primitive> object) {
    objects_.reserve(objects_.size() + 1);
    objectGroups_.add(object.get());
    objects_.push_back(std::move(object));
}

void Renderer::addMesh(std::vector<Triangle> triangles, int maxTreeDepth,
                       std::vector<CornerAttributes> corners) {
    kdMaxDepth = maxTreeDepth;
    if (corners.size() == triangles.size() && !corners.empty()) {
        for (size_t i = 0; i < triangles.size(); ++i)
            if (corners[i].hasUv || corners[i].hasColour) triangles[i].corners = &corners[i];
        // Moving the vector keeps its block where it is.
        meshCorners_.push_back(std::move(corners));
    }
    // The tree holds pointers into meshTriangles_, which may move as it grows:
    // clear it first and rebuild it over every mesh's triangles.
    kdTree_.clear();
    if (meshTriangles_.empty()) {
        meshTriangles_ = std::move(triangles);
    } else {
        meshTriangles_.insert(meshTriangles_.end(), std::make_move_iterator(triangles.begin()),
                              std::make_move_iterator(triangles.end()));
    }
    // The caller's copy goes before the build, which needs room of its own
    // (a million-triangle mesh is 170 MB).
    std::vector<Triangle>().swap(triangles);
    std::vector<const Triangle*> all;
    all.reserve(meshTriangles_.size());
    for (const Triangle& t : meshTriangles_) all.push_back(&t);
    kdTree_.build(std::move(all), kdMaxDepth);
}

void Renderer::addLight(const Light& light) { lights_.push_back(light); }

void Renderer::finishScene() {
    imagePlaneZ = float(-1.0 / std::tan(double(kHalfFieldOfView)));
    maxDepth = kDefaultMaxDepth;
    sampleCount = 1.f;
    setStillMode(true);
    generatePrimaryRays();
    setStillMode(false);
    generatePrimaryRays();
}

void Renderer::generateTables() { installTables(makeTables()); }

Renderer::Tables Renderer::makeTables() {
    Tables tables;
    TableRandom random(kTableSeed);
    tables.random.resize(kRandomTableSize);
    for (int32_t& r : tables.random) r = random.next();
    buildHemisphereTable(random, tables.hemisphere);
    return tables;
}

void Renderer::installTables(Tables&& tables) {
    randomTable_ = std::move(tables.random);
    hemisphereTable_ = std::move(tables.hemisphere);
}

// --- Passes ---------------------------------------------------------------------

namespace {

// A pass's draws as its tiles take them: the pass's window of the random
// table and the tables themselves, read once per tile rather than at each
// pixel (the calls that shade a pixel could, for all the compiler knows,
// change the renderer's vectors).
class PassDraws {
public:
    PassDraws(const Renderer& renderer, uint32_t pass)
        : window_(Renderer::randomWindow(pass)),
          random_(renderer.randomTable().empty() ? nullptr : renderer.randomTable().data()),
          hemisphere_(renderer.hemisphereTable().empty() ? nullptr
                                                         : renderer.hemisphereTable().data()) {}

    // Where the pixel of the key starts drawing; its first table entries are
    // asked for now, a row of the tile before they are read.
    Renderer::DrawStart fetch(uint64_t key) const {
        const Renderer::DrawStart start = Renderer::drawStartOfKey(window_, key);
        if (random_ && hemisphere_) {
            _mm_prefetch(reinterpret_cast<const char*>(random_ + start.random), _MM_HINT_T0);
            _mm_prefetch(reinterpret_cast<const char*>(hemisphere_ + start.hemisphere),
                         _MM_HINT_T0);
        }
        return start;
    }

    // Makes the pixel's primary ray from its first two draws and leaves the
    // calling thread's place in the tables after them: what startDraws and
    // generatePrimaryRay do, with the two reads of the random table made
    // here. A start lies at least two entries before the table's end (the
    // last window ends there), so only the place after the second draw can
    // wrap to the table's beginning.
    void primaryRay(Renderer& renderer, Renderer::DrawStart start, int x, int y) const {
        int32_t r1 = 0, r2 = 0;  // what a draw reads before the tables exist
        if (random_) {
            assert(start.random + 2 <= uint32_t(Renderer::kRandomTableSize));
            r1 = random_[start.random];
            r2 = random_[start.random + 1];
            start.random += 2;
            if (start.random == uint32_t(Renderer::kRandomTableSize)) start.random = 0;
        }
        Renderer::startDraws(start);
        renderer.setPrimaryRay(x, y, r1, r2);
    }

private:
    uint32_t window_;
    const int32_t* random_;  // null before the tables exist
    const Vec4* hemisphere_;
};

// The per-tile work of a pass: rows bottom to top, pixels left to right.
template <bool Progressive>
struct TileBody {
    Renderer& renderer;
    std::atomic<uint64_t>& raysTraced;

    void operator()(const tbb::blocked_range2d<int>& tile) const {
        Renderer& r = renderer;
        const uint64_t before = tlsRaysTraced;
        const uint32_t pass = r.passNumber();
        const PassDraws draws(r, pass);
        const int x0 = tile.rows().begin(), x1 = tile.rows().end();
        const int y0 = tile.cols().begin(), y1 = tile.cols().end();
        // Each pixel's start, and the one below it in the next row (past the
        // tile's end, to no use): one row's fetches spread over the row
        // before, rather than all at once. Along a row the key grows by a
        // constant step.
        assert(x1 - x0 <= kTileGrain);
        Renderer::DrawStart starts[kTileGrain];
        uint64_t key = Renderer::pixelKey(pass, x0, y0);
        for (int x = x0; x != x1; ++x, key += Renderer::kGoldenGamma)
            starts[x - x0] = draws.fetch(key);
        for (int y = y0; y != y1; ++y) {
            key = Renderer::pixelKey(pass, x0, y + 1);
            for (int x = x0; x != x1; ++x, key += Renderer::kGoldenGamma) {
                const Renderer::DrawStart start = starts[x - x0];
                starts[x - x0] = draws.fetch(key);
                draws.primaryRay(r, start, x, y);
                if (Progressive)
                    r.accumulatePixel(x, y);
                else
                    r.shadePixel(x, y);
            }
        }
        raysTraced.fetch_add(tlsRaysTraced - before, std::memory_order_relaxed);
    }
};

}  // namespace

template <bool Progressive>
bool Renderer::runPass(tbb::task_group_context* context) {
    const float samplesBefore = sampleCount;
    const uint32_t passBefore = passNumber_;
    if (Progressive) sampleCount += 1.f;
    passNumber_ = Progressive ? passNumber_ + 1 : 1;
    // First dimension x, second y, each cut until no side exceeds a tile.
    const tbb::blocked_range2d<int> range(0, geometry_.width, kTileGrain, 0, geometry_.height,
                                          kTileGrain);
    const TileBody<Progressive> body{*this, raysTraced_};
    bool finished = true;
    if (!context) {
        tbb::parallel_for(range, body, tbb::simple_partitioner());
    } else {
        // Halving a side longer than a tile leaves pieces of at least half a
        // tile, which bounds the number of tiles.
        const size_t floats = size_t(geometry_.pixelCount()) * 3;
        keptRadiance_.resize(floats);
        keptDisplay_.resize(floats);
        keptTiles_.resize(size_t(geometry_.width / (kTileGrain / 2) + 1) *
                          size_t(geometry_.height / (kTileGrain / 2) + 1));
        keptTileCount_.store(0, std::memory_order_relaxed);
        auto keepingBody = [this, &body](const tbb::blocked_range2d<int>& tile) {
            const TileRect rect{tile.rows().begin(), tile.rows().end(), tile.cols().begin(),
                                tile.cols().end()};
            keptTiles_[keptTileCount_.fetch_add(1, std::memory_order_relaxed)] = rect;
            copyTile(rect, false);
            body(tile);
        };
        tbb::parallel_for(range, keepingBody, tbb::simple_partitioner(), *context);
        finished = !context->is_group_execution_cancelled();
        if (!finished) {
            const size_t begun = keptTileCount_.load(std::memory_order_relaxed);
            for (size_t i = 0; i < begun; ++i) copyTile(keptTiles_[i], true);
            sampleCount = samplesBefore;
            passNumber_ = passBefore;
        }
    }
    return finished;
}

void Renderer::copyTile(const TileRect& tile, bool restore) {
    const size_t rowFloats = size_t(tile.x1 - tile.x0) * 3;
    for (int y = tile.y0; y < tile.y1; ++y) {
        const size_t first = (size_t(tile.x0) + size_t(y) * size_t(geometry_.width)) * 3;
        float* live[2] = {radianceBuffer_ + first, displayBuffer_ + first};
        float* kept[2] = {keptRadiance_.data() + first, keptDisplay_.data() + first};
        for (int b = 0; b < 2; ++b) {
            if (restore)
                std::copy_n(kept[b], rowFloats, live[b]);
            else
                std::copy_n(live[b], rowFloats, kept[b]);
        }
    }
}

void Renderer::render() { runPass<false>(nullptr); }
bool Renderer::render(tbb::task_group_context& context) { return runPass<false>(&context); }
void Renderer::renderProgressive() { runPass<true>(nullptr); }
bool Renderer::renderProgressive(tbb::task_group_context& context) {
    return runPass<true>(&context);
}

bool Renderer::finiteSample(const Vec4& colour) {
    if (std::isfinite(colour.x) && std::isfinite(colour.y) && std::isfinite(colour.z)) return true;
    nonFiniteSamples_.fetch_add(1, std::memory_order_relaxed);
    return false;
}

void Renderer::shadePixel(int x, int y) {
    const size_t i = size_t(x) + size_t(y) * size_t(geometry_.width);
    Vec4 colour = trace(primaryRays_[i], 0);
    // Not a number would stay in the sum of every later pass: black instead.
    if (!finiteSample(colour)) colour = Vec4();
    float* radiance = radianceBuffer_ + 3 * i;
    float* display = displayBuffer_ + 3 * i;
    radiance[0] = colour.x;
    radiance[1] = colour.y;
    radiance[2] = colour.z;
    if (displayDeferred_) return;
    const float v[3] = {radiance[0] * exposure, radiance[1] * exposure, radiance[2] * exposure};
    toneMapPixel(v, display);
}

void Renderer::accumulatePixel(int x, int y) {
    const size_t i = size_t(x) + size_t(y) * size_t(geometry_.width);
    Vec4 colour = trace(primaryRays_[i], 0);
    float* radiance = radianceBuffer_ + 3 * i;
    float* display = displayBuffer_ + 3 * i;
    if (!finiteSample(colour)) {
        // One such sample would turn the sum into not-a-number (black) for
        // good. Adding the mean of the samples before it instead leaves the
        // pixel's mean as it was.
        const float previous = sampleCount > 1.f ? 1.f / (sampleCount - 1.f) : 0.f;
        colour = Vec4(radiance[0] * previous, radiance[1] * previous, radiance[2] * previous);
    }
    radiance[0] += colour.x;
    radiance[1] += colour.y;
    radiance[2] += colour.z;
    if (displayDeferred_) return;
    const float inverseCount = 1.f / sampleCount;
    float v[3];
    for (int c = 0; c < 3; ++c) v[c] = radiance[c] * inverseCount * exposure;
    toneMapPixel(v, display);
}

void Renderer::updateDisplay() {
    // The progressive pass's arithmetic; after a fresh frame the count is 1,
    // and radiance × 1 × exposure is the fresh frame's radiance × exposure.
    const float inverseCount = 1.f / sampleCount;
    const int width = geometry_.width;
    tbb::parallel_for(0, geometry_.height, [&](int y) {
        for (int x = 0; x < width; ++x) {
            const size_t i = size_t(x) + size_t(y) * size_t(width);
            const float* radiance = radianceBuffer_ + 3 * i;
            float v[3];
            for (int c = 0; c < 3; ++c) v[c] = radiance[c] * inverseCount * exposure;
            toneMapPixel(v, displayBuffer_ + 3 * i);
        }
    });
}

void Renderer::setStillMode(bool still) {
    if (still) {
        geometry_ = stillGeometry_;
        displayBuffer_ = stillDisplayBuffer_.data();
        radianceBuffer_ = stillRadianceBuffer_.data();
        primaryRays_ = stillRays_.data();
    } else {
        geometry_ = interactiveGeometry_;
        displayBuffer_ = interactiveDisplayBuffer_.data();
        radianceBuffer_ = interactiveRadianceBuffer_.data();
        primaryRays_ = interactiveRays_.data();
    }
    stillMode_ = still;
}

void Renderer::clearRadiance() {
    std::fill_n(radianceBuffer_, size_t(geometry_.pixelCount()) * 3, 0.f);
}

// A progressive pass onto radiance 0 with no samples before it adds the
// fresh frame's sample to 0 and counts 1, as the fresh frame does; a sample
// that is not finite adds 0 where the fresh frame writes black.
void Renderer::startPassRange(uint32_t firstPass) {
    clearRadiance();
    sampleCount = 0.f;
    passNumber_ = firstPass - 1;
}

// --- Primary rays and random tables -------------------------------------------------

void Renderer::generatePrimaryRay(int x, int y) {
    const int32_t r1 = drawRandom();
    const int32_t r2 = drawRandom();
    setPrimaryRay(x, y, r1, r2);
}

void Renderer::setPrimaryRay(int x, int y, int32_t r1, int32_t r2) {
    const FrameGeometry& g = geometry_;
    const size_t i = size_t(x) + size_t(y) * size_t(g.width);
    // Jitter of ±0.25 pixel; the unjittered sample is the pixel's lower-left corner.
    const float dx =
        (float(r1 % 2000 - 1000) * 0.0005f + (float(x) - g.halfWidth) * 2.f) * g.invWidth;
    const float dy =
        (float(r2 % 2000 - 1000) * 0.0005f + (float(y) - g.halfHeight) * 2.f) * g.invHeight;
    const float dz = imagePlaneZ;
    const auto& m = camera.viewMatrix();
    const __m128 d = _mm_setr_ps(m[0][0] * dx + m[0][1] * dy + m[0][2] * dz,
                                 m[1][0] * dx + m[1][1] * dy + m[1][2] * dz,
                                 m[2][0] * dx + m[2][1] * dy + m[2][2] * dz, 0.f);
    // √s with one Newton step, so the direction is unit length to float accuracy.
    const __m128 s = dotSimd(d, d);
    const __m128 q = _mm_sqrt_ps(s);
    const __m128 len = _mm_mul_ps(_mm_add_ps(_mm_div_ps(s, q), q), _mm_set1_ps(0.5f));
    Ray& ray = primaryRays_[i];
    ray.origin = Vec4(camera.position);
    ray.direction = Vec4(_mm_div_ps(d, len));
}

void Renderer::generatePrimaryRays() {
    // The rays of pass 0, made before any pass, for a size that was made.
    if ((stillMode_ ? stillRays_ : interactiveRays_).empty()) return;
    const int width = geometry_.width;
    tbb::parallel_for(0, geometry_.height, [&](int y) {
        for (int x = 0; x < width; ++x) {
            startDraws(pixelDrawStart(0, randomWindow(0), x, y));
            generatePrimaryRay(x, y);
        }
    });
}

uint32_t Renderer::randomWindow(uint32_t pass) {
    return scaledIndex(uint32_t(mixBits(uint64_t(pass) * kGoldenGamma + kPassSalt) >> 32),
                       kRandomTableSize - kRandomWindow);
}

Renderer::DrawStart Renderer::pixelDrawStart(uint32_t pass, uint32_t window, int x, int y) {
    return drawStartOfKey(window, pixelKey(pass, x, y));
}

uint64_t Renderer::pixelKey(uint32_t pass, int x, int y) {
    static_assert(kMaxImageSide <= 1 << 16, "pass, row and column fill separate bits of the key");
    return (uint64_t(pass) << 32 | uint64_t(uint32_t(y)) << 16 | uint64_t(uint32_t(x))) *
           kGoldenGamma;
}

Renderer::DrawStart Renderer::drawStartOfKey(uint32_t window, uint64_t key) {
    // The halves of one mixed key place the pixel in the two tables.
    const uint64_t hash = mixBits(key);
    return {window + scaledIndex(uint32_t(hash >> 32), kRandomWindow),
            scaledIndex(uint32_t(hash), kHemisphereDirections)};
}

void Renderer::startDraws(DrawStart start) { tlsDraws = start; }

int32_t Renderer::drawRandom() const {
    // Before the tables exist (the load-time rays) a draw reads nothing.
    if (randomTable_.empty()) return 0;
    uint32_t& index = tlsDraws.random;
    const int32_t value = randomTable_[index];
    index = index + 1 == uint32_t(kRandomTableSize) ? 0 : index + 1;
    return value;
}

Vec4 Renderer::nextHemisphereDirection() {
    if (hemisphereTable_.empty()) return Vec4(0.f, 1.f, 0.f, 0.f);
    uint32_t& index = tlsDraws.hemisphere;
    const Vec4 direction = hemisphereTable_[index];
    index = index + 1 == uint32_t(kHemisphereDirections) ? 0 : index + 1;
    return direction;
}

int Renderer::randomIndex() const { return int(tlsDraws.random); }

int Renderer::hemisphereIndex() const { return int(tlsDraws.hemisphere); }

void Renderer::setRandomIndex(int index) {
    tlsDraws.random = uint32_t(index) % uint32_t(kRandomTableSize);
}

void Renderer::setHemisphereIndex(int index) {
    tlsDraws.hemisphere = uint32_t(index) % uint32_t(kHemisphereDirections);
}

void Renderer::buildHemisphereTable(TableRandom& random, std::vector<Vec4>& table) {
    table.assign(kHemisphereTableSize, Vec4());
    // The grid's sines and cosines, each angle's once.
    double cosAngle[kHemisphereGridSide], sinAngle[kHemisphereGridSide];
    for (int i = 0; i < kHemisphereGridSide; ++i) {
        cosAngle[i] = std::cos(i * kHemisphereStep);
        sinAngle[i] = std::sin(i * kHemisphereStep);
    }
    for (int i = 0; i < kHemisphereGridSide; ++i) {
        // theta = i × step, phi = j × step
        for (int j = 0; j < kHemisphereGridSide; ++j) {
            table[size_t(i * kHemisphereGridSide + j)] =
                Vec4(float(cosAngle[i] * sinAngle[j]), float(sinAngle[i] * sinAngle[j]),
                     float(cosAngle[j]), 0.f);
        }
    }
    for (int k = 0; k < kHemisphereSwaps; ++k) {
        const int a = random.next() % kHemisphereDirections;
        const int b = random.next() % kHemisphereDirections;
        std::swap(table[size_t(a)], table[size_t(b)]);
    }
}

// --- Ray queries -------------------------------------------------------------------------

const Primitive* Renderer::findNearest(const Ray& ray, HitRecord& best) const {
    // An empty tree answers nothing; the room-like scenes of planes and
    // spheres alone skip its set-up.
    if (kdTree_.triangleCount() != 0) kdTree_.findClosest(ray, best);
    float bestDistance = best.distance;
    return objectGroups_.nearest(ray, bestDistance, best);
}

float Renderer::nearestHitDistance(const Ray& ray) const {
    HitRecord best{HitRecord::Unfilled()};
    const Primitive* object = findNearest(ray, best);
    // The sky sphere surrounds everything: a ray that meets it first met no
    // surface to look at.
    if (!best.hit || dynamic_cast<const SkySphere*>(object))
        return std::numeric_limits<float>::infinity();
    return best.distance;
}

Vec4 Renderer::trace(const Ray& ray, int depth) const {
    if (depth > maxDepth) return Vec4();
    ++tlsRaysTraced;
    // Read only on a hit, which fills it.
    HitRecord best{HitRecord::Unfilled()};
    findNearest(ray, best);
    if (!best.hit) return Vec4();
    best.depth = depth + 1;
    return best.material->shade(best);
}

float Renderer::visibility(const Ray& ray, float maxDistance, bool lightBehind) const {
    ++tlsRaysTraced;
    // Either blocker shades the point: the few objects of the list are
    // asked first, as they cost a fraction of the tree's walk.
    if (objectGroups_.blocks(ray, maxDistance)) return 0.f;
    if (kdTree_.triangleCount() != 0) {
        HitRecord scratch{HitRecord::Unfilled()};
        const auto from = lightBehind ? KdTree::WalkFrom::farEnd : KdTree::WalkFrom::origin;
        if (kdTree_.findAny(ray, scratch, maxDistance, from) && maxDistance > scratch.distance)
            return 0.f;
    }
    return 1.f;
}
