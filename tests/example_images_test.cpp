// Every bundled example renders, on one thread, exactly the picture it
// rendered when its reference was made: the saved image byte for byte, and
// the radiance and display buffers bit for bit (through a digest). This is
// what keeps speed work on the tracing path honest: a faster kd-tree, tile
// loop or tone map must not move a single bit.
//
// References live in tests/data/reference/: NAME.tga (the interactive size
// after a fresh frame and one progressive pass, as "out.tga" would be saved)
// and NAME.digest (FNV-1a of the float buffers). After a change that is
// meant to alter the pictures, write them anew with
//   TRESK_UPDATE_REFERENCES=1 ./build/tests/tresk_tests --gtest_filter='*ExampleImages*'
// and look at the new images before committing them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "scene/SceneReader.h"
#include "tests/TestFiles.h"
#include "tests/TestScene.h"

namespace {

namespace fs = std::filesystem;
using namespace testing_files;

const fs::path kExamples = fs::path(TRESK_SOURCE_DIR) / "examples";
const fs::path kReferences = fs::path(TRESK_SOURCE_DIR) / "tests" / "data" / "reference";

std::vector<std::string> exampleNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(kExamples, ec))
        if (fs::exists(e.path() / "scene.txt")) names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// FNV-1a over the bit patterns of the floats.
uint64_t digest(const float* values, size_t count, uint64_t h = 14695981039346656037ull) {
    for (size_t i = 0; i < count; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &values[i], sizeof bits);
        for (int b = 0; b < 4; ++b) {
            h ^= (bits >> (8 * b)) & 0xffu;
            h *= 1099511628211ull;
        }
    }
    return h;
}

std::string digestText(const Renderer& r) {
    const size_t n = size_t(r.geometry().pixelCount()) * 3;
    char text[128];
    std::snprintf(text, sizeof text, "radiance %016llx\ndisplay %016llx\n",
                  static_cast<unsigned long long>(digest(r.radianceBuffer(), n)),
                  static_cast<unsigned long long>(digest(r.displayBuffer(), n)));
    return text;
}

class ExampleImages : public ::testing::TestWithParam<std::string> {};

TEST_P(ExampleImages, SingleThreadedRenderMatchesTheReferenceBitForBit) {
    const std::string name = GetParam();
    TempDir dir;
    WorkingDirectory cwd(dir.path());  // Log.txt goes there
    testing_scene::SingleThread one;
    Renderer& r = *Renderer::instance();
    std::string error;
    ASSERT_TRUE(readScene(r, (kExamples / name / "scene.txt").string(), error)) << error;
    // The draws keep running from earlier tests; start them where a fresh
    // process starts.
    r.setRandomIndex(0);
    r.setHemisphereIndex(0);
    r.render();
    r.renderProgressive();
    const std::string image = dir.file("out.tga");
    ASSERT_TRUE(r.saveImage(image));

    const fs::path tga = kReferences / (name + ".tga");
    const fs::path sums = kReferences / (name + ".digest");
    if (std::getenv("TRESK_UPDATE_REFERENCES")) {
        fs::create_directories(kReferences);
        fs::copy_file(image, tga, fs::copy_options::overwrite_existing);
        writeText(sums.string(), digestText(r));
        GTEST_SKIP() << "wrote the references of " << name;
    }
    ASSERT_TRUE(fs::exists(tga) && fs::exists(sums))
        << "no reference for the example " << name << " in " << kReferences;
    const std::string rendered = readText(image), expected = readText(tga.string());
    ASSERT_EQ(rendered.size(), expected.size());
    size_t differing = 0, first = rendered.size();
    for (size_t i = 0; i < rendered.size(); ++i) {
        if (rendered[i] != expected[i]) {
            ++differing;
            first = std::min(first, i);
        }
    }
    EXPECT_EQ(differing, 0u) << "bytes of the saved image differ from " << tga
                             << ", the first at offset " << first;
    EXPECT_EQ(digestText(r), readText(sums.string()))
        << "the float buffers differ from the reference's, even where the 8-bit image may not";
}

INSTANTIATE_TEST_SUITE_P(Bundled, ExampleImages, ::testing::ValuesIn(exampleNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             std::string n = info.param;
                             for (char& c : n)
                                 if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
                             return n;
                         });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(ExampleImages);

// The references and the examples stay in step: no reference for an example
// that is gone, and the digest agrees with the saved image it came with.
TEST(ExampleImagesReferences, EachReferenceHasItsExample) {
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(kReferences, ec)) {
        const std::string stem = e.path().stem().string();
        EXPECT_TRUE(fs::exists(kExamples / stem / "scene.txt"))
            << e.path() << " belongs to no example";
    }
}

}  // namespace
