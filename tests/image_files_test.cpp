// The PNG, HDR and EXR writers, read back through the image library.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#include "render/ImageFiles.h"
#include "render/TgaWriter.h"
#include "tests/ReadImageFile.h"

namespace {

namespace fs = std::filesystem;

struct ScratchFile {
    fs::path path;
    explicit ScratchFile(const std::string& extension) {
        std::string pattern = (fs::temp_directory_path() / "tresk-image-XXXXXX").string();
        const int fd = ::mkstemp(pattern.data());
        if (fd >= 0) ::close(fd);
        fs::remove(pattern);
        path = pattern + extension;
    }
    ~ScratchFile() {
        std::error_code ignored;
        fs::remove(path, ignored);
    }
};

// Writes the bytes and reads them back as float RGB.
std::vector<float> roundTrip(const std::vector<uint8_t>& bytes, const std::string& extension,
                             int& width, int& height) {
    ScratchFile file(extension);
    std::string error;
    EXPECT_TRUE(writeFileAtomically(file.path.string(), bytes, error)) << error;
    std::vector<float> rgb;
    EXPECT_TRUE(readImageFile(file.path.string(), width, height, rgb, error)) << error;
    return rgb;
}

const float kNaN = std::numeric_limits<float>::quiet_NaN();
const float kInf = std::numeric_limits<float>::infinity();

}  // namespace

TEST(ImageFiles, FormatFollowsTheExtension) {
    EXPECT_EQ(imageFileTypeOf("out.tga"), ImageFileType::Tga);
    EXPECT_EQ(imageFileTypeOf("renders/Final.PNG"), ImageFileType::Png);
    EXPECT_EQ(imageFileTypeOf("/tmp/a.b/sky.Hdr"), ImageFileType::Hdr);
    EXPECT_EQ(imageFileTypeOf("x.exr"), ImageFileType::Exr);
    EXPECT_EQ(imageFileTypeOf("picture.jpg"), ImageFileType::Unknown);
    EXPECT_EQ(imageFileTypeOf("png"), ImageFileType::Unknown);
    EXPECT_EQ(imageFileTypeOf("folder.png/picture"), ImageFileType::Unknown);
    EXPECT_EQ(imageFileTypeOf("picture."), ImageFileType::Unknown);
}

// Three pixels in a row, two rows: the PNG holds exactly the TGA's bytes,
// in the same places, including the out-of-range values.
TEST(ImageFiles, PngHoldsTheTgaBytes) {
    const std::vector<float> display = {
        1.f,  0.5f, 0.f,  1.2f, -0.1f, 0.999f, kNaN, kInf, 0.25f,  // bottom row
        0.1f, 0.2f, 0.3f, 0.f,  1.f,   0.f,    0.7f, 0.7f, 0.7f};  // top row
    std::vector<uint8_t> png;
    std::string error;
    ASSERT_TRUE(encodePng(3, 2, display.data(), png, error)) << error;
    ASSERT_GT(png.size(), 8u);
    EXPECT_EQ(png[1], 'P');  // the PNG signature
    int width = 0, height = 0;
    const std::vector<float> back = roundTrip(png, ".png", width, height);
    ASSERT_EQ(width, 3);
    ASSERT_EQ(height, 2);

    const std::vector<uint8_t> tga = encodeTga(3, 2, display.data());
    const uint8_t expected[18] = {255, 127, 0,  255, 0,   254, 0,   255, 63,
                                  25,  51,  76, 0,   255, 0,   178, 178, 178};
    for (size_t k = 0; k < 18; ++k) {
        EXPECT_EQ(int(std::lround(back[k] * 255.f)), int(expected[k])) << "value " << k;
        // The TGA stores B, G, R.
        EXPECT_EQ(tga[18 + k - k % 3 + 2 - k % 3], expected[k]) << "value " << k;
    }
}

// Radiance round trip: RGBE keeps about 1% and half floats about 0.1%;
// negative and non-finite values come back as 0, and the scale applies.
TEST(ImageFiles, RadianceFilesHoldTheScaledMean) {
    const std::vector<float> sum = {4.f,  2.f,  1.f, 0.02f, 90.f, 0.5f,
                                    -3.f, kNaN, 6.f, kInf,  0.f,  2.f};
    for (const ImageFileType type : {ImageFileType::Hdr, ImageFileType::Exr}) {
        const bool hdr = type == ImageFileType::Hdr;
        std::vector<uint8_t> bytes;
        std::string error;
        ASSERT_TRUE(encodeRadiance(type, 2, 2, sum.data(), 0.5f, bytes, error)) << error;
        int width = 0, height = 0;
        const std::vector<float> back = roundTrip(bytes, hdr ? ".hdr" : ".exr", width, height);
        ASSERT_EQ(width, 2);
        ASSERT_EQ(height, 2);
        const float expected[12] = {2.f, 1.f, 0.5f, 0.01f, 45.f, 0.25f,
                                    0.f, 0.f, 3.f,  0.f,   0.f,  1.f};
        for (size_t k = 0; k < 12; ++k) {
            // RGBE shares one exponent per pixel: small channels beside a
            // large one keep only an absolute precision.
            const float brightest =
                std::max({expected[k - k % 3], expected[k - k % 3 + 1], expected[k - k % 3 + 2]});
            const float tolerance = hdr ? brightest / 128.f : expected[k] / 512.f;
            EXPECT_NEAR(back[k], expected[k], tolerance) << (hdr ? "HDR" : "EXR") << " " << k;
        }
    }
    std::vector<uint8_t> bytes;
    std::string error;
    EXPECT_FALSE(encodeRadiance(ImageFileType::Png, 2, 2, sum.data(), 1.f, bytes, error));
    EXPECT_FALSE(encodeRadiance(ImageFileType::Hdr, 0, 2, sum.data(), 1.f, bytes, error));
}

TEST(ImageFiles, ReadingAMissingOrForeignFileFailsWithTheName) {
    int width = 0, height = 0;
    std::vector<float> rgb;
    std::string error;
    EXPECT_FALSE(readImageFile("/nonexistent/sky.hdr", width, height, rgb, error));
    EXPECT_NE(error.find("/nonexistent/sky.hdr"), std::string::npos) << error;
    ScratchFile text(".png");
    std::string why;
    ASSERT_TRUE(writeFileAtomically(text.path.string(), {'n', 'o', 't', ' ', 'a', 'n'}, why));
    EXPECT_FALSE(readImageFile(text.path.string(), width, height, rgb, error));
}
