// The viewer's controls without a window: keys, mouse offsets and elapsed
// times go in through a fake host, the effects are read off the Renderer.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "app/viewer/Controls.h"
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
    void placeCursor(int x, int y) override {
        cursor = {x, y};
        ++placements;
    }

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
        host.cursor = {kWidth / 2 + dx, kHeight / 2 + dy};
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
    Renderer& r = renderer();
    const Vec4 light = r.lights()[0].position;
    for (int k : {VirtualKey::kI, VirtualKey::kJ, VirtualKey::kU, VirtualKey::kQ, VirtualKey::kW})
        press(k);
    frame(250);
    EXPECT_FLOAT_EQ(r.lights()[0].position.z, light.z + 0.25f);
    EXPECT_FLOAT_EQ(r.lights()[0].position.x, light.x + 0.25f);
    EXPECT_FLOAT_EQ(r.lights()[0].position.y, light.y + 0.25f);
    EXPECT_FLOAT_EQ(r.exposure, 1.25f);
    EXPECT_FLOAT_EQ(r.getCamera().position.z, -2.5f);  // W: forward along -z

    keys.clear();
    for (int k : {VirtualKey::kK, VirtualKey::kL, VirtualKey::kO, VirtualKey::kS, VirtualKey::kD})
        press(k);
    frame(250);
    EXPECT_FLOAT_EQ(r.lights()[0].position.z, light.z);
    EXPECT_FLOAT_EQ(r.lights()[0].position.x, light.x);
    EXPECT_FLOAT_EQ(r.lights()[0].position.y, light.y);
    EXPECT_FLOAT_EQ(r.getCamera().position.z, 0.f);
    EXPECT_FLOAT_EQ(r.getCamera().position.x, 2.5f);  // D: to the right

    // Q held for 1000 ms in total raises the exposure by 1.
    keys.clear();
    press(VirtualKey::kQ);
    for (int i = 0; i < 4; ++i) frame(250);
    EXPECT_NEAR(r.exposure, 2.25f, 1e-5f);
}

TEST_F(ControlsTest, MouseTurnsByPixelsAndIsRecentredEveryInteractiveFrame) {
    Renderer& r = renderer();
    Camera& camera = r.getCamera();
    const int placed = host.placements;
    frame(16);  // no movement: nothing renders
    EXPECT_EQ(host.count("upload 8x6"), 0);
    EXPECT_EQ(host.placements, placed + 1);

    frame(16, -10, 5);  // left and down: yaw up, pitch down
    EXPECT_FLOAT_EQ(camera.yaw, 0.04f);
    EXPECT_FLOAT_EQ(camera.pitch, -0.02f);
    EXPECT_EQ(host.count("upload 8x6"), 1);
    EXPECT_EQ(host.placements, placed + 2);
    EXPECT_EQ(host.cursor.x, kWidth / 2);
    EXPECT_EQ(host.cursor.y, kHeight / 2);
    // Rotation does not depend on the frame's length.
    frame(1000, -10, 0);
    EXPECT_FLOAT_EQ(camera.yaw, 0.08f);
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

TEST_F(ControlsTest, AFailedReloadKeepsTheViewerAliveUntilEscOrAGoodReload) {
    bool good = true;
    Controls fresh;
    ASSERT_TRUE(fresh.initialise(host, keys, [&good](std::string& e) {
        if (good) return loadTestScene(e);
        Renderer::instance()->reset();  // a failed read leaves no scene
        e = "scene.txt, line 1: expected 0 or 1, found \"x\"";
        return false;
    }));
    host.calls.clear();
    good = false;
    press(VirtualKey::kF5);
    fresh.update(16);
    release(VirtualKey::kF5);
    EXPECT_FALSE(fresh.sceneLoaded());
    EXPECT_FALSE(fresh.interactiveMode());
    ASSERT_EQ(host.calls.size(), 1u);
    EXPECT_EQ(host.calls[0], "error Error: scene.txt, line 1: expected 0 or 1, found \"x\"");

    // Nothing to render now: every other key is ignored, without a crash.
    for (int k : {VirtualKey::kF1, VirtualKey::kOne, VirtualKey::kTwo, VirtualKey::kSpace,
                  VirtualKey::kW, VirtualKey::kQ})
        press(k);
    fresh.update(16);
    EXPECT_EQ(host.calls.size(), 1u);
    keys.clear();

    good = true;
    press(VirtualKey::kF5);
    fresh.update(16);
    EXPECT_TRUE(fresh.sceneLoaded());
    EXPECT_TRUE(fresh.interactiveMode());
    press(VirtualKey::kEscape);
    fresh.update(16);
    EXPECT_EQ(host.count("quit"), 1);
}
