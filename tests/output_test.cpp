// "out.tga" byte for byte, its atomic replacement, failed saves, and the
// number formatting of log entries.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "core/Logger.h"
#include "render/TgaWriter.h"
#include "tests/TestFiles.h"
#include "tests/TestScene.h"

using namespace testing_files;
using namespace testing_scene;

namespace {

std::vector<uint8_t> bytesOf(const std::string& path) {
    const std::string text = readText(path);
    return std::vector<uint8_t>(text.begin(), text.end());
}

std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(TgaWriter, SmallImageByteForByte) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const std::vector<float> rgb = {1.f, 0.5f, 0.f, 1.2f, -0.1f, 0.999f};
    EXPECT_EQ(encodeTga(2, 1, rgb.data()),
              (std::vector<uint8_t>{0,    0,    2,    0,    0,    0,    0,    0,
                                    0,    0,    0,    0,    0x02, 0x00, 0x01, 0x00,
                                    0x18, 0x00, 0x00, 0x7F, 0xFF, 0xFE, 0x00, 0xFF}));
    // Only exactly 1 gives 255; just below truncates; NaN and -inf give 0.
    const std::vector<float> edges = {std::nextafter(1.f, 0.f), nan,
                                      -std::numeric_limits<float>::infinity()};
    const std::vector<uint8_t> e = encodeTga(1, 1, edges.data());
    EXPECT_EQ(e[18], 0);    // B: -inf
    EXPECT_EQ(e[19], 0);    // G: NaN
    EXPECT_EQ(e[20], 254);  // R
    // A width of 300 is 2C 01; the file is exactly header + 3 bytes a pixel.
    const std::vector<float> wide(300 * 2 * 3, 0.25f);
    const std::vector<uint8_t> w = encodeTga(300, 2, wide.data());
    EXPECT_EQ(w.size(), 18u + 300 * 2 * 3);
    EXPECT_EQ(w[12], 0x2C);
    EXPECT_EQ(w[13], 0x01);
    EXPECT_EQ(w[14], 0x02);
    EXPECT_EQ(w[15], 0x00);
    EXPECT_EQ(w[18], 63);  // 0.25 × 255 = 63.75, truncated
}

TEST(SaveImage, WritesTheActiveDisplayAndReplacesTheOldFile) {
    TempDir dir;
    WorkingDirectory inside(dir.path());
    Renderer& r = freshRenderer(3, 2, 5, 4);
    writeText("out.tga", "an older picture");
    ASSERT_TRUE(r.saveImage());  // "out.tga" in the working directory
    const std::vector<uint8_t> first = bytesOf("out.tga");
    ASSERT_EQ(first.size(), 18u + 3 * 2 * 3);
    EXPECT_EQ(first[12], 3);
    EXPECT_EQ(first[14], 2);
    // The loading colour (0.5, 0.75, 0.25) as B, G, R.
    EXPECT_EQ(first[18], 63);
    EXPECT_EQ(first[19], 191);
    EXPECT_EQ(first[20], 127);
    ASSERT_TRUE(r.saveImage());
    EXPECT_EQ(bytesOf("out.tga"), first);
    // The still size when it is active.
    r.setStillMode(true);
    ASSERT_TRUE(r.saveImage());
    EXPECT_EQ(bytesOf("out.tga").size(), 18u + 5 * 4 * 3);
    EXPECT_EQ(entriesOf(dir.path()), (std::vector<std::string>{"out.tga"}));  // no temporary left
}

TEST(SaveImage, FailureIsReportedAndLeavesNothingBehind) {
    TempDir dir;
    WorkingDirectory inside(dir.path());
    Logger::instance()->restart();
    Renderer& r = freshRenderer(2, 2);
    // A directory in the way of the rename, and a folder that does not exist.
    fs::create_directory("out.tga");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(r.saveImage());
    EXPECT_FALSE(r.saveImage("no/such/folder/out.tga"));
    const std::string stderrText = testing::internal::GetCapturedStderr();
    EXPECT_NE(stderrText.find("tresk: Saving the image failed: cannot replace \"out.tga\""),
              std::string::npos)
        << stderrText;
    EXPECT_NE(stderrText.find("cannot create \"no/such/folder/out.tga.tmp"), std::string::npos)
        << stderrText;
    const std::string log = readText("Log.txt");
    EXPECT_EQ(log.rfind("Saving the image failed: cannot replace \"out.tga\"", 0), 0u) << log;
    EXPECT_NE(log.find("\n\nSaving the image failed: cannot create"), std::string::npos) << log;
    EXPECT_TRUE(fs::is_directory("out.tga"));
    EXPECT_EQ(entriesOf(dir.path()), (std::vector<std::string>{"Log.txt", "out.tga"}));
}

TEST(Log, NumbersInTheStreamsDefaultFormat) {
    EXPECT_EQ(toText(int32_t(0)), "0");
    EXPECT_EQ(toText(int32_t(-2147483647 - 1)), "-2147483648");
    EXPECT_EQ(toText(47.f), "47");
    EXPECT_EQ(toText(12.5f), "12.5");
    EXPECT_EQ(toText(1234.5678f), "1234.57");
    EXPECT_EQ(toText(1000000.f), "1e+06");
    EXPECT_EQ(toText(0.0001f), "0.0001");
}

TEST(Log, FirstEntryOfARunStartsAfreshLaterOnesAppend) {
    TempDir dir;
    WorkingDirectory inside(dir.path());
    writeText("Log.txt", "old\n\n");
    Logger::instance()->restart();
    Logger::instance()->write("one");
    Logger::instance()->write(std::string("two"));
    EXPECT_EQ(readText("Log.txt"), "one\n\ntwo\n\n");
}
