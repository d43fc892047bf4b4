// Renderer: the one process-wide object that holds the scene, the settings,
// both image sizes with their buffers and primary rays, and the random
// tables, and runs the parallel render passes over 16 × 16 tiles.
//
// Threads: a pass reads everything here without locks; only the main thread
// changes the scene, camera, lights and settings, and only between passes.
// Each thread keeps its own place in the random tables.
#pragma once

#include <tbb/task_group.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "camera/Camera.h"
#include "core/KdTree.h"
#include "core/Primitive.h"
#include "core/Ray.h"
#include "render/FrameGeometry.h"
#include "render/ObjectGroups.h"
#include "shading/Light.h"
#include "shading/Material.h"
#include "shading/Tracer.h"

// Aligned to a cache line (which keeps the 16-byte alignment that the SSE
// loads need): the shared counters below sit on lines of their own.
class alignas(64) Renderer final : public Tracer {
public:
    static constexpr int kRandomTableSize = 1000000;
    static constexpr int kHemisphereTableSize = 100000;  // allocated
    static constexpr int kHemisphereDirections = 10000;  // generated and drawn
    // Largest image side and pixel count accepted for either size: about
    // 1 GiB of buffers and rays per size at the limit.
    static constexpr int kMaxImageSide = 16384;
    static constexpr int64_t kMaxImagePixels = int64_t(1) << 24;
    static constexpr int kDefaultMaxDepth = 3;

    // Created on first use; null when it cannot be allocated (a later call
    // tries again). Never destroyed.
    static Renderer* instance();

    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    // --- Scene set-up, in the order the scene reader calls it -------------

    // Scene files are read by readScene (scene/SceneReader.h), which calls
    // the operations below.

    // Disposes of the current scene (lists, tree, buffers) so that another
    // can be read.
    void reset();
    // True when both sizes lie within the limits above.
    static bool validImageSize(int width, int height);
    // Allocates the display, radiance and ray arrays of both sizes, makes the
    // interactive size active, fills its display with (0.5, 0.75, 0.25) and
    // its radiance with 0. The sizes must be valid.
    void setImageSizes(int interactiveWidth, int interactiveHeight, int stillWidth,
                       int stillHeight);
    // For a caller that renders one size only (the command-line render), set
    // before the scene is read: the other size then gets neither buffers nor
    // load-time rays. The other size must not be made active.
    void setOnlySize(bool still) { onlySize_ = still ? OnlySize::Still : OnlySize::Interactive; }
    // The lists take ownership; the returned pointer stays valid until reset.
    Material* addMaterial(std::unique_ptr<Material> material);
    void addObject(std::unique_ptr<Primitive> object);
    // Adds a mesh's triangles and rebuilds the tree over every mesh so far.
    // corners is empty or holds one record per triangle, in order; the
    // renderer keeps it until reset and points each triangle whose record
    // has texture coordinates or colours at it (the others stay plain).
    void addMesh(std::vector<Triangle> triangles, int kdMaxDepth,
                 std::vector<CornerAttributes> corners = {});
    void addLight(const Light& light);
    // Camera-independent set-up after reading: image-plane distance, depth
    // limit, sample count, primary rays of both sizes (interactive size left
    // active).
    void finishScene();
    // Fills the random table and the hemisphere table; the same tables on
    // every call.
    void generateTables();
    // The same in two steps: makeTables touches no Renderer (a loader may run
    // it while the scene is read), installTables puts its result in place.
    struct Tables {
        std::vector<int32_t> random;
        std::vector<Vec4> hemisphere;
    };
    static Tables makeTables();
    void installTables(Tables&& tables);

    // --- Passes ------------------------------------------------------------

    // Passes form a sequence: a fresh frame is pass 1, each progressive pass
    // the next. The entries of the random tables that a pixel's draws read
    // depend on the pass's number and the pixel alone, not on the thread
    // that renders it, so any number of threads gives the same picture.
    void render();             // a fresh frame of the active size
    void renderProgressive();  // one more sample per pixel; shows the mean
    // The same passes, stopped early once the context is cancelled (from
    // any thread): the tiles not yet begun are skipped, and the radiance,
    // display and sample count go back to what the last finished pass left.
    // False when the pass was stopped.
    bool render(tbb::task_group_context& context);
    bool renderProgressive(tbb::task_group_context& context);
    void shadePixel(int x, int y);
    void accumulatePixel(int x, int y);
    void setStillMode(bool still);
    void clearRadiance();
    // The number of the last pass finished (0 before any).
    uint32_t passNumber() const { return passNumber_; }
    // For a caller that renders part of a sequence: an empty sum (radiance
    // 0, no samples) that the next progressive passes, numbered from
    // firstPass, add to. The sum of passes 1 ... N so made is that of a
    // fresh frame and N - 1 progressive passes, float for float.
    void startPassRange(uint32_t firstPass);
    // For a caller that shows only the last pass (the command-line render):
    // while set, passes fill the radiance buffer alone and leave the display
    // as it was; updateDisplay then tone-maps the whole buffer once, to the
    // same floats the last pass would have written.
    void setDisplayDeferred(bool deferred) { displayDeferred_ = deferred; }
    void updateDisplay();

    // --- Primary rays and random tables ---------------------------------------

    void generatePrimaryRay(int x, int y);
    void generatePrimaryRays();
    // The primary ray of pixel (x, y) for its first two draws r1 and r2.
    void setPrimaryRay(int x, int y, int32_t r1, int32_t r2);
    // The next entries of the tables from the calling thread's place in
    // them, which a pass sets at each pixel before shading it.
    int32_t nextRandom() override { return drawRandom(); }
    Vec4 nextHemisphereDirection() override;

    // The calling thread's place in either table, for draws outside a pass.
    int randomIndex() const;
    int hemisphereIndex() const;
    void setRandomIndex(int index);
    void setHemisphereIndex(int index);
    // Where pixel (x, y) of the pass starts drawing in either table, from
    // one hash of the pass and the pixel: any place in the hemisphere table,
    // and any place in the pass's window of the random table (kept small
    // enough to stay in the cache), so that neighbouring pixels and
    // successive passes draw unrelated runs of entries. A pixel's draws then
    // take consecutive entries from there.
    struct DrawStart {
        uint32_t random = 0;
        uint32_t hemisphere = 0;
    };
    // The first entry of the pass's window of the random table.
    static uint32_t randomWindow(uint32_t pass);
    static DrawStart pixelDrawStart(uint32_t pass, uint32_t window, int x, int y);
    // Places the calling thread there.
    static void startDraws(DrawStart start);
    // The start in two steps, for a walk along a row: the key that the hash
    // mixes, and the start it gives. A key is the pass, row and column in
    // bits of their own, times kGoldenGamma (which spreads it over 64 bits,
    // as SplitMix64 spreads its counter), so the key of pixel (x + 1, y) is
    // that of (x, y) plus kGoldenGamma, modulo 2^64.
    static uint64_t pixelKey(uint32_t pass, int x, int y);
    static DrawStart drawStartOfKey(uint32_t window, uint64_t key);
    static constexpr uint64_t kGoldenGamma = 0x9e3779b97f4a7c15ull;
    const std::vector<int32_t>& randomTable() const { return randomTable_; }
    const std::vector<Vec4>& hemisphereTable() const { return hemisphereTable_; }

    // --- Ray queries ---------------------------------------------------------

    // Colour seen along the ray; black above maxDepth or when nothing is hit.
    Vec4 trace(const Ray& ray, int depth) const override;
    // 1.0 when nothing lies on the ray closer than maxDistance, else 0.0.
    float visibility(const Ray& ray, float maxDistance, bool lightBehind = false) const override;
    // Distance along the ray to the nearest surface, or infinity when the
    // ray hits nothing but the background (a sky sphere).
    float nearestHitDistance(const Ray& ray) const;
    int lightCount() const override { return int(lights_.size()); }
    Light& light(int index) { return lights_[index]; }
    Light copyLight(int index) const override { return lights_[index]; }
    float secondarySampleCount() const override { return giSampleCount; }

    // Rays traced (closest-hit and shadow) by all passes so far.
    uint64_t raysTraced() const { return raysTraced_.load(std::memory_order_relaxed); }
    // Samples of all passes so far that were not finite numbers: a fresh
    // frame shows such a pixel black, a progressive pass leaves its mean as
    // it was.
    uint64_t nonFiniteSamples() const { return nonFiniteSamples_.load(std::memory_order_relaxed); }

    // --- Output --------------------------------------------------------------

    // Writes the active display image as an uncompressed 24-bit TGA; a
    // failure returns false with its message (saveDisplayImage).
    bool saveImage(const std::string& path = "out.tga", std::string* message = nullptr) const;

    // --- State -----------------------------------------------------------------

    Camera& getCamera() { return camera; }
    const FrameGeometry& geometry() const { return geometry_; }
    const FrameGeometry& interactiveGeometry() const { return interactiveGeometry_; }
    const FrameGeometry& stillGeometry() const { return stillGeometry_; }
    bool stillMode() const { return stillMode_; }
    const float* displayBuffer() const { return displayBuffer_; }
    const float* radianceBuffer() const { return radianceBuffer_; }
    const Ray* primaryRays() const { return primaryRays_; }
    const std::vector<std::unique_ptr<Material>>& materials() const { return materials_; }
    const std::vector<std::unique_ptr<Primitive>>& objects() const { return objects_; }
    const std::vector<Light>& lights() const { return lights_; }
    const KdTree& kdTree() const { return kdTree_; }
    size_t meshTriangleCount() const { return meshTriangles_.size(); }

    Camera camera;
    float imagePlaneZ = 0.f;              // z of every unrotated primary direction
    float exposure = 1.f;                 // radiance factor before the tone map
    float giSampleCount = 1.f;            // secondary rays per diffuse-GI or glossy shading
    float sampleCount = 1.f;              // samples held in the radiance buffer
    int32_t kdMaxDepth = 0;               // depth limit of the tree's construction
    int32_t maxDepth = kDefaultMaxDepth;  // recursion limit of trace

private:
    // Leaves the nearest hit along the ray in best (which starts unfilled);
    // returns the object of the list hit, null for a mesh hit or none.
    const Primitive* findNearest(const Ray& ray, HitRecord& best) const;
    Renderer() = default;

    template <bool Progressive>
    bool runPass(tbb::task_group_context* context);
    // Undo of a cancellable pass: each tile keeps what it overwrites.
    // The generator the tables are drawn from.
    class TableRandom;
    static void buildHemisphereTable(TableRandom& random, std::vector<Vec4>& table);
    struct TileRect {
        int x0, x1, y0, y1;
    };
    // Copies a tile's radiance and display into the kept buffers, or back.
    void copyTile(const TileRect& tile, bool restore);
    // nextRandom's body, called directly (not through the Tracer) by the
    // primary rays.
    int32_t drawRandom() const;
    // True when all three colour lanes are finite; counts the sample otherwise.
    bool finiteSample(const Vec4& colour);

    float* displayBuffer_ = nullptr;
    float* radianceBuffer_ = nullptr;
    Ray* primaryRays_ = nullptr;
    FrameGeometry geometry_;
    bool stillMode_ = false;

    // Which sizes get buffers and rays; kept over reset.
    enum class OnlySize { Both, Interactive, Still } onlySize_ = OnlySize::Both;
    FrameGeometry interactiveGeometry_;
    FrameGeometry stillGeometry_;
    std::vector<float> interactiveDisplayBuffer_;
    std::vector<float> stillDisplayBuffer_;
    std::vector<float> interactiveRadianceBuffer_;
    std::vector<float> stillRadianceBuffer_;
    std::vector<Ray> interactiveRays_;
    std::vector<Ray> stillRays_;

    std::vector<std::unique_ptr<Material>> materials_;
    std::vector<std::unique_ptr<Primitive>> objects_;
    // objects_ again, in the same order: the queries test spheres and
    // planes four at a time by their distance alone, and fill a hit record
    // once, for the winner.
    ObjectGroups objectGroups_;
    std::vector<Light> lights_;
    std::vector<Triangle> meshTriangles_;  // every mesh's triangles; the tree points into it
    // Each mesh's corner records, one block per mesh: a block never moves,
    // so the triangles' pointers into it stay valid as meshes are added.
    std::vector<std::vector<CornerAttributes>> meshCorners_;
    KdTree kdTree_;

    std::vector<int32_t> randomTable_;
    std::vector<Vec4> hemisphereTable_;
    bool displayDeferred_ = false;
    uint32_t passNumber_ = 0;  // the pass running, or the last one finished
    alignas(64) std::atomic<uint64_t> raysTraced_{0};
    std::atomic<uint64_t> nonFiniteSamples_{0};  // touched only on such a sample

    // What the tiles of a cancellable pass overwrote, at the pixels' own
    // indices, and the tiles begun so far (the first keptTileCount_).
    std::vector<float> keptRadiance_;
    std::vector<float> keptDisplay_;
    std::vector<TileRect> keptTiles_;
    alignas(64) std::atomic<size_t> keptTileCount_{0};
};
