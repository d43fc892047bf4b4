// The viewer's controls without a window: keys, mouse offsets and elapsed
// times go in through a fake host, the effects are read off the Renderer.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/viewer/Controls.h"
#ifdef TRESK_FILE_DROP
#include "app/viewer/FileDrop.h"
#endif
#include "app/viewer/FrameClock.h"
#include "core/SkySphere.h"
#include "core/Sphere.h"
#include "tests/support/Support.h"

using namespace support;

namespace {

constexpr int kWidth = 8;
constexpr int kHeight = 6;
constexpr int kStillWidth = 12;
constexpr int kStillHeight = 10;

// Records what the controls ask of the window and the display.
class FakeHost : public ViewerHost {
public:
    uint32_t ticks() override { return now += tickStep; }
    // Events that arrive while a pass runs.
    bool pumpEvents() override {
        ++pumps;
        if (duringPass) duringPass();
        return true;
    }
    void requestQuit() override { calls.push_back("quit"); }
    void showError(const std::string& text, const std::string& caption) override {
        calls.push_back("error " + caption + ": " + text);
    }
    void createTextures(int iw, int ih, int sw, int sh) override {
        calls.push_back("textures " + size(iw, ih) + " " + size(sw, sh));
    }
    void bindTexture(ImageSize s) override {
        calls.push_back(s == ImageSize::still ? "bind still" : "bind interactive");
    }
    void uploadImage(const float* rgb, int width, int height) override {
        calls.push_back("upload " + size(width, height));
        lastUpload.assign(rgb, rgb + 3 * width * height);
    }
    CursorPoint cursorPosition() override { return cursor; }
    // A 640 × 480 client area, larger than either image size.
    CursorPoint clientCentre() override { return {320, 240}; }
    void placeCursor(int x, int y) override {
        cursor = {x, y};
        ++placements;
    }
    bool takeWindowChange() override { return std::exchange(windowChanged, false); }
    PointerMotion takePointerMotion() override { return std::exchange(motion, {}); }
    bool pointerMotionWaiting() override { return motion.any(); }
    void setCursorFree(bool free) override { cursorFree = free; }

    static std::string size(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }
    int count(const std::string& call) const {
        int n = 0;
        for (const auto& c : calls) n += c == call;
        return n;
    }

    uint32_t now = 1000;
    uint32_t tickStep = 0;  // milliseconds each tick reading advances
    std::vector<std::string> calls;
    std::vector<float> lastUpload;
    CursorPoint cursor;
    int placements = 0;
    bool windowChanged = false;  // resized or moved since the controls last looked
    PointerMotion motion;        // drags and wheel steps not taken yet
    bool cursorFree = false;
    std::function<void()> duringPass;
    int pumps = 0;
};

// A sphere in front of the camera, a sky behind it and one light.
bool loadTestScene(std::string&) {
    Renderer& r = freshRenderer(kWidth, kHeight, kStillWidth, kStillHeight);
    const Material* red = addMaterial(r, 0.8f, 0.1f, 0.1f);
    const Material* sky = addMaterial(r, 0.2f, 0.3f, 0.9f);
    r.addObject(std::make_unique<Sphere>(Vec4(0.f, 0.f, -4.f), Vec4(1.f, 1.f, 1.f), red));
    r.addObject(std::make_unique<SkySphere>(Vec4(100.f, 100.f, 100.f), sky));
    r.addLight(Light{Vec4(1.f, 2.f, 3.f), Vec4(10.f, 10.f, 10.f)});
    r.exposure = 1.f;
    finish(r);
    return true;
}

// A material that takes its time, so that a pass is still running when the
// controls next handle events.
struct SlowMaterial : Material {
    Vec4 shade(HitRecord&) const override {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
        return Vec4(0.5f, 0.5f, 0.5f);
    }
};

// A sky that is slow to shade, on a 32 × 32 interactive image: four tiles of
// about 25 ms each on one thread.
bool loadSlowScene(std::string&) {
    Renderer& r = freshRenderer(32, 32, kStillWidth, kStillHeight);
    const Material* slow = r.addMaterial(std::make_unique<SlowMaterial>());
    r.addObject(std::make_unique<SkySphere>(Vec4(100.f, 100.f, 100.f), slow));
    finish(r);
    return true;
}

struct ControlsTest : ::testing::Test {
    void SetUp() override {
        ASSERT_TRUE(controls.initialise(host, keys, loadTestScene));
        host.calls.clear();
    }
    Renderer& renderer() { return *Renderer::instance(); }
    void press(int code) { keys.set(code, true); }
    void release(int code) { keys.set(code, false); }
    // One frame with the mouse moved (dx, dy) from the centre.
    void frame(uint32_t elapsed, int dx = 0, int dy = 0) {
        host.cursor = {320 + dx, 240 + dy};
        controls.update(elapsed);
    }

    TempWorkingDirectory tempDir;
    SingleThread oneThread;
    FakeHost host;
    KeyState keys;
    Controls controls;
};

}  // namespace

TEST_F(ControlsTest, HeldKeysScaleWithTheElapsedMilliseconds) {
    // Light, exposure and camera after a key held for 250 ms in two frames:
    // the light moves 1 and the camera 10 units a second, exposure 1 a second.
    Renderer& r = renderer();
    auto state = [&r] {
        const Vec4 l = r.lights()[0].position;
        const Vec3 eye = r.getCamera().position;
        return std::vector<float>{l.x, l.y, l.z, r.exposure, eye.x, eye.z};
    };
    using namespace VirtualKey;
    const float q = 0.25f, c = 2.5f;
    const std::pair<int, std::vector<float>> cases[] = {
        {kJ, {q, 0, 0, 0, 0, 0}},  {kL, {-q, 0, 0, 0, 0, 0}}, {kU, {0, q, 0, 0, 0, 0}},
        {kO, {0, -q, 0, 0, 0, 0}}, {kI, {0, 0, q, 0, 0, 0}},  {kK, {0, 0, -q, 0, 0, 0}},
        {kQ, {0, 0, 0, q, 0, 0}},  {kE, {0, 0, 0, -q, 0, 0}}, {kD, {0, 0, 0, 0, c, 0}},
        {kA, {0, 0, 0, 0, -c, 0}}, {kS, {0, 0, 0, 0, 0, c}},  {kW, {0, 0, 0, 0, 0, -c}},
    };
    for (const auto& [key, change] : cases) {
        ASSERT_TRUE(controls.initialise(host, keys, loadTestScene));
        const std::vector<float> before = state();
        press(key);
        frame(100);
        frame(150);
        keys.clear();
        const std::vector<float> after = state();
        for (size_t k = 0; k < change.size(); ++k)
            EXPECT_NEAR(after[k] - before[k], change[k], 1e-5f) << "key " << key << ", value " << k;
    }
}

TEST_F(ControlsTest, MouseTurnsByPixelsAndIsRecentredEveryInteractiveFrame) {
    Renderer& r = renderer();
    Camera& camera = r.getCamera();
    const int placed = host.placements;
    frame(16);  // no movement: nothing renders, the cursor is left where it is
    EXPECT_EQ(host.count("upload 8x6"), 0);
    EXPECT_EQ(host.placements, placed);

    frame(16, -10, 5);  // left and down: yaw up, pitch down
    EXPECT_FLOAT_EQ(camera.yaw, 0.04f);
    EXPECT_FLOAT_EQ(camera.pitch, -0.02f);
    EXPECT_EQ(host.count("upload 8x6"), 1);
    EXPECT_EQ(host.placements, placed + 1);
    EXPECT_EQ(host.cursor.x, 320);  // the window's centre, not the image's
    EXPECT_EQ(host.cursor.y, 240);
    // Rotation does not depend on the frame's length.
    frame(1000, -10, 0);
    EXPECT_FLOAT_EQ(camera.yaw, 0.08f);
    // A resized or moved window has its centre elsewhere: the cursor goes
    // there, the view stays.
    host.windowChanged = true;
    frame(16, 40, -30);
    EXPECT_FLOAT_EQ(camera.yaw, 0.08f);
    EXPECT_FLOAT_EQ(camera.pitch, -0.02f);
    EXPECT_EQ(host.count("upload 8x6"), 2);
    EXPECT_EQ(host.placements, placed + 3);
    // The pointer moves freely at the still size; back at the interactive
    // size, where it was left is no turn.
    press(VirtualKey::kTwo), release(VirtualKey::kTwo);
    frame(16, 100, 50);
    press(VirtualKey::kOne), release(VirtualKey::kOne);
    frame(16, 100, 50);
    EXPECT_FLOAT_EQ(camera.yaw, 0.08f);
    EXPECT_FLOAT_EQ(camera.pitch, -0.02f);
}

TEST_F(ControlsTest, AChangedViewRestartsTheAccumulation) {
    Renderer& r = renderer();
    frame(16);
    EXPECT_EQ(r.sampleCount, 1.f);  // idle: unchanged

    press(VirtualKey::kSpace);
    frame(16);
    frame(16);
    EXPECT_EQ(r.sampleCount, 3.f);  // one progressive pass per frame
    press(VirtualKey::kD);
    frame(16);
    // A fresh frame, then this frame's progressive pass: two samples.
    EXPECT_EQ(r.sampleCount, 2.f);
}

TEST_F(ControlsTest, ExposureStopsAtZero) {
    Renderer& r = renderer();
    r.exposure = 0.05f;
    press(VirtualKey::kE);
    frame(100);
    EXPECT_EQ(r.exposure, 0.f);
    frame(100);
    EXPECT_EQ(r.exposure, 0.f);
    // The re-rendered picture is black, never "not a number".
    for (float v : host.lastUpload) {
        ASSERT_FALSE(std::isnan(v));
        ASSERT_EQ(v, 0.f);
    }
}

TEST_F(ControlsTest, APressBetweenTwoFramesActsOncePerPress) {
    // Each key goes down and up before the frame; the frame still sees it.
    struct Case {
        std::vector<int> taps;
        bool saved, still, progressive;
        int quits;
    };
    using namespace VirtualKey;
    const Case cases[] = {
        {{kF1}, true, false, false, 0},
        {{kTwo}, false, true, false, 0},
        {{kSpace}, false, false, true, 0},
        {{kSpace, kSpace}, false, false, false, 0},  // toggled twice
        {{kSpace, kSpace, kSpace}, false, false, true, 0},
        {{kTwo, kOne}, false, false, false, 0},     // taken in the table's order
        {{kEscape, kTwo}, false, false, false, 1},  // no pass once quitting
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(controls.initialise(host, keys, loadTestScene));
        std::remove("out.tga");
        host.calls.clear();
        for (int k : c.taps) press(k), release(k);
        frame(16);
        EXPECT_EQ(!readText("out.tga").empty(), c.saved);
        EXPECT_EQ(renderer().stillMode(), c.still);
        EXPECT_EQ(controls.progressiveMode(), c.progressive);
        EXPECT_EQ(host.count("quit"), c.quits);
        frame(16);  // a press acts once
        EXPECT_EQ(controls.progressiveMode(), c.progressive);
        EXPECT_EQ(host.count("quit"), c.quits);
    }
}

TEST_F(ControlsTest, AFailedReloadGoesOnAsBefore) {
    bool good = true;
    Controls fresh;
    ASSERT_TRUE(fresh.initialise(host, keys, [&](std::string& e) {
        if (good) return loadTestScene(e);
        // The reader keeps the earlier scene; the mouse moves meanwhile.
        host.cursor = {400, 300};
        e = "scene.txt, line 1: expected 0 or 1, found \"x\"";
        return false;
    }));
    Renderer& r = renderer();
    press(VirtualKey::kD);
    host.cursor = {320, 240};
    fresh.update(100);
    release(VirtualKey::kD);
    const Vec3 eye = r.getCamera().position;
    host.calls.clear();

    good = false;
    press(VirtualKey::kF5), release(VirtualKey::kF5);
    fresh.update(16);
    EXPECT_EQ(host.calls, std::vector<std::string>{
                              "error Error: scene.txt, line 1: expected 0 or 1, found \"x\""});
    EXPECT_TRUE(fresh.interactiveMode());
    EXPECT_EQ(r.getCamera().position, eye);
    EXPECT_EQ(r.getCamera().yaw, 0.f);  // the mouse moved during the box: no turn
    EXPECT_EQ(host.cursor.x, 320);
    // That the controls answer as before (held W) shows under Xvfb.
}

// The view, the exposure and the still picture kept across Alt+Enter show
// under Xvfb; here the accumulation of progressive passes goes on.
TEST_F(ControlsTest, ANewWindowKeepsTheAccumulation) {
    Renderer& r = renderer();
    press(VirtualKey::kTwo), release(VirtualKey::kTwo);
    press(VirtualKey::kSpace), release(VirtualKey::kSpace);
    frame(16);
    frame(16);
    const std::vector<float> picture = host.lastUpload;
    ASSERT_EQ(r.sampleCount, 3.f);

    FakeHost other;  // the new window
    controls.attachWindow(other, keys);
    const std::vector<std::string> expected = {"textures 8x6 12x10", "bind still", "upload 12x10"};
    EXPECT_EQ(other.calls, expected);
    EXPECT_EQ(other.lastUpload, picture);
    EXPECT_TRUE(controls.progressiveMode());
    controls.update(16);
    EXPECT_EQ(r.sampleCount, 4.f);  // the accumulation goes on
}

// Tab orbits the sphere's near point: a drag turns about it and renders
// afresh, the wheel stops short of it, motion and Tab at the still size are dropped,
// Home gives back the opening camera bit for bit; Tab again looks around.
TEST_F(ControlsTest, TabOrbitsTheSurfaceAheadAndHomeGivesBackTheOpeningView) {
    Renderer& r = renderer();
    Camera& camera = r.getCamera();
    const Camera opening = camera;
    auto tap = [this](int key) { press(key), release(key); };
    // Ahead of the centre, at (right, up) of the middle of the picture.
    auto seenAt = [&camera](const Vec3& p) {
        const Vec3 d = p - camera.position;
        return std::vector<float>{dot(d, camera.xAxis()), dot(d, camera.yAxis()),
                                  -dot(d, camera.zAxis())};
    };
    const Vec3 nearPoint(0.f, 0.f, -3.f);  // the sphere's surface at the centre
    EXPECT_FALSE(controls.orbiting());
    tap(VirtualKey::kSpace);
    tap(VirtualKey::kTab);
    frame(16, 40, 40);  // the cursor's place is no turn now, nor is it moved
    frame(16);
    EXPECT_TRUE(controls.orbiting() && host.cursorFree);
    EXPECT_EQ(r.sampleCount, 3.f);
    EXPECT_EQ(host.placements, 1);  // by Tab's start only

    host.motion.turnX = 150;
    frame(16);
    EXPECT_NEAR(camera.yaw, -1.5f, 1e-5f);
    EXPECT_EQ(r.sampleCount, 2.f);  // a fresh frame, then this frame's pass
    const std::vector<float> ahead = seenAt(nearPoint);
    EXPECT_NEAR(ahead[0], 0.f, 1e-4f);
    EXPECT_NEAR(ahead[1], 0.f, 1e-4f);
    EXPECT_NEAR(ahead[2], 3.f, 1e-4f);

    host.motion.wheel = 100;
    frame(16);
    EXPECT_NEAR(seenAt(nearPoint)[2], 3.f * OrbitCamera::kMinDistance, 1e-4f);
    host.motion.panX = 100;  // the scene follows the hand to the right
    frame(16);
    EXPECT_NEAR(seenAt(nearPoint)[0], 100.f * OrbitCamera::kPanPerPixel * 0.15f, 1e-5f);

    tap(VirtualKey::kTwo);
    host.motion.turnX = 50;
    frame(16);
    tap(VirtualKey::kTab);  // no navigation at the still size, nor later
    frame(16);
    tap(VirtualKey::kOne);
    frame(16);
    EXPECT_NEAR(camera.yaw, -1.5f, 1e-5f);
    EXPECT_TRUE(controls.orbiting());

    tap(VirtualKey::kHome);
    frame(16);
    EXPECT_EQ(std::memcmp(&camera, &opening, sizeof camera), 0);
    EXPECT_TRUE(controls.orbiting());

    tap(VirtualKey::kTab);
    frame(16, 40, 40);
    EXPECT_FALSE(controls.orbiting() || host.cursorFree);
    EXPECT_EQ(std::memcmp(&camera, &opening, sizeof camera), 0);

    // Turned away from the sphere, the centre ray meets only the sky: the
    // orbit turns about a point a little ahead, not about the sky.
    frame(16, 785, 0);
    const Vec3 pointAhead = camera.position - camera.zAxis() * Controls::kOrbitAhead;
    tap(VirtualKey::kTab);
    frame(16);
    host.motion.turnX = 150;
    frame(16);
    EXPECT_NEAR(seenAt(pointAhead)[0], 0.f, 1e-3f);
    EXPECT_NEAR(seenAt(pointAhead)[2], Controls::kOrbitAhead, 1e-3f);
}

// A drag made while a pass renders is taken whole at the next frame: none
// lost, none taken twice. A model's stage orbits from its first frame.
TEST_F(ControlsTest, AModelOrbitsAndDragsDuringAPassWaitForTheNextFrame) {
    ASSERT_TRUE(controls.initialise(host, keys, loadSlowScene, loadSlowScene, true));
    EXPECT_TRUE(controls.orbiting() && host.cursorFree);
    EXPECT_EQ(controls.notice(), Controls::kModelHint);
    Camera& camera = renderer().getCamera();
    bool dragged = false;
    host.duringPass = [&] {
        if (!std::exchange(dragged, true)) host.motion.turnX += 10;
    };
    host.motion.turnX = 10;
    frame(16);
    ASSERT_TRUE(dragged);
    EXPECT_FALSE(controls.idle());
    EXPECT_NEAR(camera.yaw, -0.1f, 1e-6f);
    frame(16);
    EXPECT_NEAR(camera.yaw, -0.2f, 1e-6f);
    frame(16);
    EXPECT_NEAR(camera.yaw, -0.2f, 1e-6f);
    EXPECT_TRUE(controls.idle());
}

TEST_F(ControlsTest, IdleOnlyWhenNothingButAnEventCanChangeThePicture) {
    struct Case {
        std::vector<int> held;
        bool still, progressive, idle;
    };
    using namespace VirtualKey;
    const Case cases[] = {
        {{}, false, false, true},    {{kW}, false, false, false},
        {{kQ}, false, false, false}, {{kW}, true, false, true},  // no navigation
        {{kF1}, false, false, true}, {{}, false, true, false},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(controls.initialise(host, keys, loadTestScene));
        if (c.still) press(kTwo), release(kTwo);
        if (c.progressive) press(kSpace), release(kSpace);
        frame(16);
        for (int k : c.held) press(k);
        frame(16);
        EXPECT_EQ(controls.idle(), c.idle) << c.held.size() << c.still << c.progressive;
        keys.clear();
    }
    press(kOne);  // a press waiting for the next frame
    EXPECT_FALSE(controls.idle());
}

// Also under ThreadSanitizer: passes on several threads beside the main
// thread, which handles events meanwhile (taps of F1 and Esc mid-pass).
TEST(ViewerConcurrency, EventsAreHandledWhileAPassRuns) {
    TempWorkingDirectory tempDir;
    tbb::global_control threads(tbb::global_control::max_allowed_parallelism, 4);
    FakeHost host;
    KeyState keys;
    Controls controls;
    ASSERT_TRUE(controls.initialise(host, keys, loadSlowScene));
    const Renderer& r = *Renderer::instance();
    // Two finished passes: the picture on screen holds three samples.
    keys.set(VirtualKey::kSpace, true);
    controls.update(16);
    controls.update(16);
    keys.set(VirtualKey::kSpace, false);
    ASSERT_EQ(r.sampleCount, 3.f);
    const std::vector<float> radiance(r.radianceBuffer(), r.radianceBuffer() + 32 * 32 * 3);
    const std::vector<float> display(r.displayBuffer(), r.displayBuffer() + 32 * 32 * 3);
    EXPECT_GT(host.pumps, 0);

    // During the next pass F1 is tapped, then Esc: the save is the picture
    // on screen, and the pass stops with the state of the last finished one.
    host.calls.clear();
    int pumps = 0;
    host.duringPass = [&] {
        if (++pumps == 1) keys.set(VirtualKey::kF1, true), keys.set(VirtualKey::kF1, false);
        if (pumps == 2) keys.set(VirtualKey::kEscape, true), keys.set(VirtualKey::kEscape, false);
    };
    host.cursor = {320, 240};
    controls.update(16);
    EXPECT_EQ(readText("out.tga").size(), 18u + 3 * 32 * 32);
    EXPECT_EQ(host.calls, std::vector<std::string>{"quit"});  // no upload: the pass stopped
    EXPECT_EQ(r.sampleCount, 3.f);
    EXPECT_EQ(std::vector<float>(r.radianceBuffer(), r.radianceBuffer() + 32 * 32 * 3), radiance);
    EXPECT_EQ(std::vector<float>(r.displayBuffer(), r.displayBuffer() + 32 * 32 * 3), display);
    EXPECT_EQ(host.lastUpload, display);
}

// The README's key table is the viewer's key table, row for row: its keys,
// their order and what they do.
TEST(ViewerKeys, TheReadmeListsTheKeyTable) {
    const std::string readme = readText(std::string(TRESK_SOURCE_DIR) + "/README.md");
    const std::string header = "| key | what it does |\n|---|---|\n";
    size_t at = readme.find(header, readme.find("### Keys and mouse"));
    ASSERT_NE(at, std::string::npos);
    std::vector<std::pair<std::string, std::string>> documented, table;
    for (at += header.size(); readme.compare(at, 2, "| ") == 0;) {
        const size_t end = readme.find(" |\n", at);
        const size_t middle = readme.find(" | ", at);
        ASSERT_LT(middle, end);
        documented.emplace_back(readme.substr(at + 2, middle - at - 2),
                                readme.substr(middle + 3, end - middle - 3));
        at = end + 3;
    }
    for (const KeyRow& key : viewerKeys()) table.emplace_back(key.name, key.description);
    EXPECT_EQ(documented, table);
}

#ifdef TRESK_FILE_DROP

// Files dropped on the window arrive as SDL's drop events: a model opens on
// its stage in place of the scene, and F5 then reads the model again; a
// broken model, dropped or reloaded, leaves the picture on view and says why.
TEST_F(ControlsTest, ADroppedFileReplacesTheSceneUnlessItFails) {
    ASSERT_EQ(SDL_Init(SDL_INIT_EVENTS), 0) << SDL_GetError();
    auto drop = [this](const std::vector<std::string>& paths) {
        for (const std::string& path : paths) {
            SDL_Event event = {};
            event.type = SDL_DROPFILE;
            event.drop.file = SDL_strdup(path.c_str());
            EXPECT_EQ(SDL_PushEvent(&event), 1);
        }
        std::vector<std::string> received;
        SDL_Event event = {};
        while (SDL_PollEvent(&event))
            if (event.type == SDL_DROPFILE) received.push_back(takeDroppedFile(event));
        EXPECT_EQ(received, paths);
        host.calls.clear();
        return openDroppedFiles(received, controls);
    };
    const std::string spider = readText("/usr/share/assimp/models/STL/Spider_binary.stl");
    const size_t kSpiderTriangles = 1312;  // of its 1368 facets, 56 are degenerate
    support::writeText("spider.stl", spider);
    support::writeText("broken.obj", "v 0 0 0\nf 1 1 7\n");
    // Dropped together: the first opens, the other is named.
    EXPECT_TRUE(drop({"spider.stl", "/elsewhere/other.obj"}));
    EXPECT_EQ(renderer().meshTriangleCount(), kSpiderTriangles);
    EXPECT_EQ(host.count("textures 320x320 640x640"), 1);
    EXPECT_NE(controls.notice().find("not opened: other.obj"), std::string::npos)
        << controls.notice();

    EXPECT_FALSE(drop({"broken.obj"}));
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0].rfind("error Error: Mesh file \"broken.obj\", line 2: ", 0), 0u)
        << host.calls[0];
    EXPECT_EQ(renderer().meshTriangleCount(), kSpiderTriangles);

    // F5 reads the spider again; half-written, it keeps the one on view.
    for (const size_t length : {spider.size(), size_t(1000)}) {
        support::writeText("spider.stl", spider.substr(0, length));
        host.calls.clear();
        press(VirtualKey::kF5), release(VirtualKey::kF5);
        controls.update(16);
        EXPECT_EQ(renderer().meshTriangleCount(), kSpiderTriangles);
        EXPECT_EQ(host.count("textures 320x320 640x640"), length == spider.size() ? 1 : 0);
    }
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0].rfind("error Error: ", 0), 0u) << host.calls[0];
    SDL_Quit();
}

#endif  // TRESK_FILE_DROP
