// A still's passes rendered in parts and merged by tresk-merge, against one
// run of all the passes; parts that do not belong together refused; the
// record of its passes that an HDR or EXR file carries, read back.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>
#include <cstdlib>

#include "render/ImageFiles.h"
#include "render/PassRecord.h"
#include "tests/support/Support.h"

using namespace support;

// Both radiance formats carry every field beside pixels the image library
// still reads: the EXR's floats exactly (its chunks moved past the added
// attributes), RGBE's to its 8-bit mantissa. No prefix of a file that ends
// within the record is taken for a record.
TEST(PassRecord, HdrAndExrCarryItBesideTheirPixels) {
    const PassRecord written{
        "rooms/a scene.txt", "fnv1a64:0123456789abcdef", 6, 11, "interactive", 7, 5, 1.5f};
    std::vector<float> rgb(7 * 5 * 3);
    for (size_t i = 0; i < rgb.size(); ++i) rgb[i] = 0.01f + float(i * i) * 0.37f;
    for (ImageFileType type : {ImageFileType::Hdr, ImageFileType::Exr}) {
        std::vector<uint8_t> file;
        std::string error;
        ASSERT_TRUE(encodeImage(type, 7, 5, nullptr, rgb.data(), 0.5f, &written, file, error))
            << error;
        PassRecord read;
        ASSERT_TRUE(readPassRecord(type, file, read, error)) << error;
        EXPECT_EQ(read.scene, written.scene);
        EXPECT_EQ(read.sceneHash, written.sceneHash);
        EXPECT_EQ(read.firstPass, 6);
        EXPECT_EQ(read.lastPass(), 16);
        EXPECT_EQ(read.size, "interactive");
        EXPECT_TRUE(read.width == 7 && read.height == 5 && read.exposure == 1.5f);
        int width = 0, height = 0;
        std::vector<float> pixels;
        ASSERT_TRUE(decodeImage(file, width, height, pixels, error)) << error;
        ASSERT_TRUE(width == 7 && height == 5);
        // RGBE's mantissas share the largest channel's exponent.
        for (size_t i = 0; i < rgb.size(); ++i) {
            const float largest = rgb[i - i % 3 + 2] * 0.5f;
            ASSERT_NEAR(pixels[i], rgb[i] * 0.5f,
                        type == ImageFileType::Exr ? 0.f : largest / 128.f);
        }
        const std::string text(file.begin(), file.end());
        for (size_t n = 0; n < text.find("treskExposure"); ++n) {
            const std::vector<uint8_t> prefix(file.begin(), file.begin() + n);
            EXPECT_FALSE(readPassRecord(type, prefix, read, error)) << n << " bytes";
        }
    }
    // A picture without the record: a radiance file of another program.
    std::vector<uint8_t> plain;
    std::string error;
    PassRecord read;
    ASSERT_TRUE(encodeRadiance(ImageFileType::Exr, 7, 5, rgb.data(), 1.f, plain, error));
    EXPECT_FALSE(readPassRecord(ImageFileType::Exr, plain, read, error));
    EXPECT_NE(error.find("no complete record of its passes"), std::string::npos) << error;
}

#if defined(TRESK_RENDER_PROGRAM) && defined(TRESK_MERGE_PROGRAM)
namespace {

struct Outcome {
    int status;
    std::string err;
};

Outcome run(const TempDir& dir, const char* program, const std::string& arguments) {
    const std::string command =
        "cd '" + dir.path() + "' && '" + program + "' " + arguments + " >/dev/null 2>stderr.txt";
    const int status = std::system(command.c_str());
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, readText(dir.file("stderr.txt"))};
}

// The room at its interactive size, in parts of passes 1-5, 6-11 and 12-16
// (two threads), and whole (one thread); passes by range as a farm renders
// them.
class TreskMerge : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        dir_ = new TempDir;
        fs::create_directory(dir_->file("folder.exr"));
        const std::string room = "'" + (examplesDirectory() / "room" / "scene.txt").string() + "'";
        const std::string minimal =
            "'" + (examplesDirectory() / "minimal" / "scene.txt").string() + "'";
        const std::pair<std::string, std::string> renders[] = {
            {room, "--passes 16 --threads 1 -o whole.tga"},
            {room, "--first-pass 1 --passes 5 -o p1.exr"},
            {room, "--first-pass 6 --passes 6 -o p2.exr"},
            {room, "--first-pass 12 --passes 5 -o p3.exr"},
            {room, "--first-pass 11 --passes 2 -o p11-12.exr"},
            {room, "--passes 1 --size still -o still.exr"},
            {minimal, "--passes 1 -o minimal.exr"},
        };
        for (const auto& [scene, options] : renders) {
            const std::string size = options.find("--size") == std::string::npos
                                         ? " --size interactive --threads 2 "
                                         : " ";
            const Outcome r = run(*dir_, TRESK_RENDER_PROGRAM, scene + size + options);
            ASSERT_EQ(r.status, 0) << options << ": " << r.err;
        }
    }
    static void TearDownTestSuite() { delete dir_; }
    static TempDir* dir_;
};
TempDir* TreskMerge::dir_ = nullptr;

}  // namespace

// Display bytes identical on at least 99.9 % of the pixels, none off by more
// than 1: the parts' floats summed in another order than one run sums them.
TEST_F(TreskMerge, PartsMakeTheOneRunsPicture) {
    for (const char* parts : {"p1.exr p2.exr p3.exr", "p3.exr p1.exr p2.exr"}) {
        const Outcome r = run(*dir_, TRESK_MERGE_PROGRAM, std::string(parts) + " -o merged.tga");
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        Tga merged, whole;
        ASSERT_TRUE(readTga(dir_->file("merged.tga"), merged));
        ASSERT_TRUE(readTga(dir_->file("whole.tga"), whole));
        ASSERT_EQ(merged.bgr.size(), whole.bgr.size());
        int differing = 0, worst = 0;
        for (size_t p = 0; p < whole.bgr.size(); p += 3) {
            int d = 0;
            for (size_t c = p; c < p + 3; ++c)
                d = std::max(d, std::abs(uint8_t(merged.bgr[c]) - uint8_t(whole.bgr[c])));
            differing += d > 0;
            worst = std::max(worst, d);
        }
        EXPECT_LE(differing * 1000, merged.width * merged.height) << differing << " pixels differ";
        EXPECT_LE(worst, 1);
    }
}

TEST_F(TreskMerge, PartsThatDoNotBelongTogetherAreRefused) {
    const struct {
        const char* arguments;
        int status;
        const char* says;
    } rows[] = {
        {"p1.exr minimal.exr -o x.png", 1, "\"minimal.exr\" is a part of another scene"},
        {"p1.exr still.exr -o x.png", 1,
         "\"still.exr\" is 400 x 400, still size, \"p1.exr\" is 160 x 160, interactive size"},
        {"p1.exr p3.exr p2.exr p11-12.exr -o x.png", 1,
         "\"p11-12.exr\" (passes 11-12) overlaps \"p2.exr\" (passes 6-11)"},
        {"p1.exr p1.exr -o x.png", 1, "overlaps \"p1.exr\" (passes 1-5)"},
        {"p1.exr whole.tga -o x.png", 1, "\"whole.tga\" is not a part"},
        {"p1.exr folder.exr -o x.png", 1, "\"folder.exr\" is not a part: not a regular file"},
        {"p1.exr gone.exr -o x.png", 1, "cannot read \"gone.exr\": No such file"},
        {"p1.exr p3.exr -o x.exr", 0,
         "note: passes missing: 6-11; the picture is the mean "
         "of the 10 passes present, and records no range of passes"},
        {"p1.exr p2.exr -o p2.exr", 2, "will not write the picture over \"p2.exr\""},
        {"p1.exr -o x.jpg", 2, "the output name must end in .tga, .png, .hdr or .exr"},
    };
    for (const auto& row : rows) {
        const Outcome r = run(*dir_, TRESK_MERGE_PROGRAM, row.arguments);
        EXPECT_EQ(r.status, row.status) << row.arguments << ": " << r.err;
        EXPECT_NE(r.err.find(row.says), std::string::npos) << row.arguments << ": " << r.err;
    }
}
#endif
