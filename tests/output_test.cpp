// The picture files, byte for byte and read back through the image
// library, and what a user gets when the disk or the folder refuses them.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cmath>
#include <limits>

#include "core/SkySphere.h"
#include "render/ImageFiles.h"
#include "render/TgaWriter.h"
#include "tests/support/Support.h"

using namespace support;

namespace {

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

// The files of a folder but the log: no temporary may be left among them.
std::vector<std::string> entriesOf(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename() != "Log.txt") names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A 13 x 9 picture (21 x 17 at the still size) of one constant colour.
Renderer& constantScene() {
    Renderer& r = freshRenderer(13, 9, 21, 17);
    r.addObject(std::make_unique<SkySphere>(Vec4(50, 50, 50), addMaterial(r, 0.25f, 0.5f, 4.f)));
    finish(r);
    return r;
}

}  // namespace

// Three pixels a row, two rows, bottom row first: the TGA holds B, G, R
// bytes in that order, 255 only for 1 and above, truncated, NaN and
// negatives as 0; the PNG holds the same values.
TEST(ImageFiles, TgaAndPngHoldTheDisplayBytes) {
    const std::vector<float> display = {1.f,  0.5f, 0.f,  1.2f, -0.1f, 0.999f, kNaN, kInf, 0.25f,
                                        0.1f, 0.2f, 0.3f, 0.f,  1.f,   0.f,    0.7f, 0.7f, 0.7f};
    const uint8_t rgb[18] = {255, 127, 0,  255, 0,   254, 0,   255, 63,
                             25,  51,  76, 0,   255, 0,   178, 178, 178};
    const std::vector<uint8_t> tga = encodeTga(3, 2, display.data());
    const uint8_t header[18] = {0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 2, 0, 24, 0};
    ASSERT_EQ(tga.size(), 18u + 18u);
    EXPECT_TRUE(std::equal(header, header + 18, tga.begin()));
    std::vector<uint8_t> png;
    std::string error;
    ASSERT_TRUE(encodePng(3, 2, display.data(), png, error)) << error;
    TempDir dir;
    ASSERT_TRUE(writeFileAtomically(dir.file("p.png"), png, error)) << error;
    int width = 0, height = 0;
    std::vector<float> back;
    ASSERT_TRUE(readImageFile(dir.file("p.png"), width, height, back, error)) << error;
    ASSERT_TRUE(width == 3 && height == 2);
    for (size_t k = 0; k < 18; ++k) {
        EXPECT_EQ(tga[18 + k - k % 3 + 2 - k % 3], rgb[k]) << "TGA value " << k;
        EXPECT_EQ(std::lround(back[k] * 255.f), rgb[k]) << "PNG value " << k;
    }
}

// "out.tga" holds the active size, replaces the older file whole and
// leaves no temporary; a save through a link replaces the file it leads to
// and keeps the link; a save that cannot be made says why, naming the file
// asked for, on stderr and in the log and leaves what was there.
TEST(OutputFaults, SaveReplacesWholeOrSaysWhyAndKeepsTheOldFile) {
    TempWorkingDirectory dir;
    Renderer& r = constantScene();
    r.render();
    writeText("out.tga", "an older picture");
    ASSERT_TRUE(r.saveImage());
    EXPECT_EQ(readText("out.tga").size(), 18u + 3 * 13 * 9);
    r.setStillMode(true);
    ASSERT_TRUE(r.saveImage());
    EXPECT_EQ(readText("out.tga").size(), 18u + 3 * 21 * 17);
    EXPECT_EQ(entriesOf(dir.path()), (std::vector<std::string>{"out.tga"}));
    fs::create_directory("pictures");
    fs::create_symlink("pictures/kept.tga", "link.tga");
    ASSERT_TRUE(r.saveImage("link.tga"));
    EXPECT_TRUE(fs::is_symlink("link.tga"));
    EXPECT_EQ(entriesOf("pictures"), (std::vector<std::string>{"kept.tga"}));
    EXPECT_EQ(readText("pictures/kept.tga"), readText("out.tga"));

    fs::create_directory("taken.tga");
    fs::create_symlink("/dev/full", "full.tga");
    const std::pair<const char*, const char*> failures[] = {
        {"taken.tga", "Saving the image failed: cannot write \"taken.tga\": it is a folder"},
        {"no/such/folder/out.tga",
         "cannot create \"no/such/folder/out.tga\": No such file or directory"},
        {"full.tga",
         "cannot write \"full.tga\": it leads to \"/dev/full\", which is not a regular file"}};
    for (const auto& [path, says] : failures) {
        std::string message;
        EXPECT_FALSE(r.saveImage(path, &message));
        EXPECT_NE(message.find(says), std::string::npos) << message;
    }
    EXPECT_TRUE(fs::is_symlink("full.tga"));
    EXPECT_EQ(entriesOf(dir.path()), (std::vector<std::string>{"full.tga", "link.tga", "out.tga",
                                                               "pictures", "taken.tga"}));
}

// A full disk (a file-size limit stands in) fails the save, says so naming
// the picture, and keeps the earlier image, with no temporary behind; a
// log that cannot be opened (a folder in its place) loses its entries but
// stops nothing.
TEST(OutputFaults, FullDiskKeepsTheEarlierImageAndAnUnwritableLogStopsNothing) {
    TempWorkingDirectory dir;
    ASSERT_EQ(mkdir("Log.txt", 0755), 0);
    Logger::instance()->restart();
    Logger::instance()->write("Tresk 0.5");
    Renderer& r = constantScene();
    r.render();
    ASSERT_TRUE(r.saveImage());
    const std::string earlier = readText("out.tga");
    r.setStillMode(true);  // larger than the limit below
    r.render();
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    signal(SIGXFSZ, SIG_IGN);
    rlimit small = old;
    small.rlim_cur = 512;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    std::string said;
    const bool saved = r.saveImage("out.tga", &said);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    signal(SIGXFSZ, SIG_DFL);
    EXPECT_FALSE(saved);
    EXPECT_NE(said.find("cannot write \"out.tga\": File too large"), std::string::npos) << said;
    EXPECT_EQ(readText("out.tga"), earlier);
    EXPECT_EQ(entriesOf(dir.path()), (std::vector<std::string>{"out.tga"}));
}
