// What the tests share: private folders, files and notices, scenes made in
// code, small primitives, HDR files, and pictures compared within a bound.
#pragma once

#include <FreeImage.h>
#include <gtest/gtest.h>
#include <tbb/global_control.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "app/Notify.h"
#include "core/Logger.h"
#include "render/Renderer.h"
#include "scene/ObjMeshReader.h"
#include "scene/SceneReader.h"
#include "shading/DebugMaterial.h"
#include "tests/ReadImageFile.h"

namespace support {

namespace fs = std::filesystem;

inline std::string dataPath(const std::string& name) {
    return std::string(TRESK_SOURCE_DIR) + "/tests/data/" + name;
}
inline fs::path examplesDirectory() { return fs::path(TRESK_SOURCE_DIR) / "examples"; }
// OBJ models of the assimp-testmodels package (tools/install-deps.sh).
inline std::string packagedObjDirectory() { return "/usr/share/assimp/models/OBJ"; }

// The bundled examples, by folder name, sorted.
inline std::vector<std::string> exampleNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(examplesDirectory(), ec))
        if (fs::exists(e.path() / "scene.txt")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// A fresh folder, removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "tresk-test-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// A fresh folder made the working directory for the scope, so that the
// "Log.txt" and "out.tga" a test writes are its own; the log starts afresh.
class TempWorkingDirectory : public TempDir {
public:
    TempWorkingDirectory() : previous_(fs::current_path()) {
        fs::current_path(path());
        Logger::instance()->restart();
    }
    ~TempWorkingDirectory() {
        std::error_code ec;
        fs::current_path(previous_, ec);
    }

private:
    fs::path previous_;
};

// Collects the notices shown during the scope instead of printing them.
class CapturedNotices {
public:
    CapturedNotices() {
        setNoticeHandler([this](const std::string& text, const std::string& caption) {
            notices.emplace_back(text, caption);
        });
    }
    ~CapturedNotices() { setNoticeHandler(nullptr); }
    CapturedNotices(const CapturedNotices&) = delete;
    CapturedNotices& operator=(const CapturedNotices&) = delete;

    std::vector<std::pair<std::string, std::string>> notices;  // (text, caption)
};

inline Ray ray(float ox, float oy, float oz, float dx, float dy, float dz) {
    return Ray(Vec4(ox, oy, oz, 0.f), Vec4(dx, dy, dz, 0.f));
}

inline Triangle triangle(const Vec3& a, const Vec3& b, const Vec3& c,
                         const Material* material = nullptr, const Vec3& n = Vec3(0, 0, 1)) {
    Triangle t(material);
    t.v0 = a, t.v1 = b, t.v2 = c;
    t.n0 = t.n1 = t.n2 = n;
    t.computeEdges();
    return t;
}

// The triangles of an OBJ file, read as a scene reads them; none, and a
// failure, when it cannot be read.
inline std::vector<Triangle> readObjTriangles(const std::string& path, const Material* material) {
    std::ifstream in(path);
    ObjMeshReader reader;
    std::string error;
    std::vector<Triangle> triangles;
    if (!reader.parse(in, path, error)) {
        ADD_FAILURE() << error;
        return triangles;
    }
    reader.fillTriangles(triangles, material);
    return triangles;
}

// --- The process-wide Renderer with a scene made in code ---

// Disposes of whatever an earlier test loaded and allocates both sizes.
inline Renderer& freshRenderer(int width, int height, int stillWidth = 8, int stillHeight = 8) {
    Renderer& r = *Renderer::instance();
    r.reset();
    r.setImageSizes(width, height, stillWidth, stillHeight);
    return r;
}

// Completes set-up as the reader does, with the camera at eye, and puts
// this thread at the start of both tables, for materials shaded outside a
// pass (a pass chooses each pixel's draws itself).
inline void finish(Renderer& r, const Vec3& eye = Vec3(0.f, 0.f, 0.f)) {
    r.getCamera().set(Vec3(0.f, 0.f, 0.f));
    r.getCamera().position = eye;
    r.finishScene();
    r.generateTables();
    r.setRandomIndex(0);
    r.setHemisphereIndex(0);
}

template <class M = DebugMaterial>
M* addMaterial(Renderer& r, float red, float green, float blue) {
    auto m = std::make_unique<M>();
    m->setColour(red, green, blue);
    return static_cast<M*>(r.addMaterial(std::move(m)));
}

inline void addLight(Renderer& r, Vec4 position, Vec4 colour) {
    Light light;
    light.position = position;
    light.colour = colour;
    r.addLight(light);
}

// Render passes on one thread, so that the draws from the tables repeat.
struct SingleThread {
    tbb::global_control limit{tbb::global_control::max_allowed_parallelism, 1};
};

// Reads a scene text as if it lay at `path` (meshes and images are found
// beside it) into the process-wide Renderer.
inline bool loadSceneText(const std::string& text, const std::string& path, std::string& error,
                          Diagnostics& diagnostics) {
    std::istringstream in(text);
    return SceneReader(in, path).load(*Renderer::instance(), error, diagnostics);
}
inline bool loadSceneText(const std::string& text, const std::string& path, std::string& error) {
    Diagnostics unread;
    return loadSceneText(text, path, error, unread);
}

// readScene for tests that look at the scene, not at what was said about it.
inline bool readScene(Renderer& r, const std::string& path, std::string& error) {
    Diagnostics unread;
    return ::readScene(r, path, error, unread);
}

// Reads the scene file and renders one fresh frame.
inline Renderer& renderSceneFile(const std::string& path) {
    Renderer& r = *Renderer::instance();
    std::string error;
    EXPECT_TRUE(readScene(r, path, error)) << error;
    r.render();
    return r;
}

// --- Images ---

// Writes a w x h Radiance HDR file; texel(x, y) is the colour of column x
// in row y, row 0 the first in memory. RGBE keeps small integers times a
// power of two exactly.
template <class Texel>
bool writeHdr(const std::string& path, int w, int h, Texel texel) {
    FIBITMAP* bitmap = FreeImage_AllocateT(FIT_RGBF, w, h);
    if (!bitmap) return false;
    for (int y = 0; y < h; ++y) {
        auto* row = reinterpret_cast<FIRGBF*>(FreeImage_GetScanLine(bitmap, y));
        for (int x = 0; x < w; ++x) {
            const std::array<float, 3> c = texel(x, y);
            row[x] = {c[0], c[1], c[2]};
        }
    }
    const bool saved = FreeImage_Save(FIF_HDR, bitmap, path.c_str(), 0) != 0;
    FreeImage_Unload(bitmap);
    return saved;
}

// An uncompressed 24-bit TGA: its size and B, G, R bytes, bottom row first.
struct Tga {
    int width = 0, height = 0;
    std::string bgr;
};

inline ::testing::AssertionResult readTga(const std::string& path, Tga& tga) {
    const std::string bytes = readText(path);
    if (bytes.size() < 18 || bytes[2] != 2 || bytes[16] != 24)
        return ::testing::AssertionFailure() << path << " is no uncompressed 24-bit TGA";
    tga.width = uint8_t(bytes[12]) | uint8_t(bytes[13]) << 8;
    tga.height = uint8_t(bytes[14]) | uint8_t(bytes[15]) << 8;
    tga.bgr = bytes.substr(18);
    if (tga.bgr.size() != size_t(tga.width) * size_t(tga.height) * 3)
        return ::testing::AssertionFailure() << path << " holds the wrong number of bytes";
    return ::testing::AssertionSuccess();
}

// Two pictures agree within a bound that Monte Carlo noise cannot break:
// the mean of every block x block square, in every channel, within
// `blockLevels` of 255, and the mean of the whole picture within
// `meanLevels`. (One ray that lands on the other side of a silhouette
// shifts every later draw from the random tables, so the noise of the
// rest of the picture is drawn anew: single pixels say nothing.)
struct Bound {
    int block;
    double blockLevels, meanLevels;
};

inline ::testing::AssertionResult closePictures(const Tga& got, const Tga& expected, Bound b) {
    if (got.width != expected.width || got.height != expected.height)
        return ::testing::AssertionFailure()
               << "sizes differ: " << got.width << " x " << got.height << " against "
               << expected.width << " x " << expected.height;
    auto at = [](const Tga& t, int x, int y, int c) {
        return double(uint8_t(t.bgr[size_t(3 * (x + y * t.width) + c)]));
    };
    double worst = 0, total = 0;
    int worstX = 0, worstY = 0, near = 0;
    for (int by = 0; by + b.block <= got.height; by += b.block)
        for (int bx = 0; bx + b.block <= got.width; bx += b.block)
            for (int c = 0; c < 3; ++c) {
                double sum = 0;
                for (int y = by; y < by + b.block; ++y)
                    for (int x = bx; x < bx + b.block; ++x)
                        sum += at(got, x, y, c) - at(expected, x, y, c);
                if (std::fabs(sum) / (b.block * b.block) > worst)
                    worst = std::fabs(sum) / (b.block * b.block), worstX = bx, worstY = by;
            }
    for (int y = 0; y < got.height; ++y)
        for (int x = 0; x < got.width; ++x) {
            bool close = true;
            for (int c = 0; c < 3; ++c) {
                total += at(got, x, y, c) - at(expected, x, y, c);
                close = close && std::fabs(at(got, x, y, c) - at(expected, x, y, c)) <= 2;
            }
            near += close;
        }
    const double mean = std::fabs(total) / (3.0 * got.width * got.height);
    ::testing::AssertionResult result = worst <= b.blockLevels && mean <= b.meanLevels
                                            ? ::testing::AssertionSuccess()
                                            : ::testing::AssertionFailure();
    return result << "block means differ by up to " << worst << "/255 (the " << b.block << " x "
                  << b.block << " block at " << worstX << ", " << worstY
                  << "), the whole picture's by " << mean << "/255; "
                  << 100.0 * near / (got.width * got.height) << " % of the pixels within 2/255";
}

// The bound of the example pictures (tests/example_images_test.cpp says
// what it was chosen from).
constexpr Bound kExampleBound{16, 8.0, 1.0};

}  // namespace support
