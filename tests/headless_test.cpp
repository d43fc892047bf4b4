// tresk-render run as a user runs it: on every bundled example, in a
// temporary working folder, checking the files it writes and its exit codes.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "render/ImageFiles.h"
#include "render/ToneMap.h"
#include "tests/ReadImageFile.h"

#ifdef TRESK_RENDER_PROGRAM

namespace fs = std::filesystem;

namespace {

const fs::path kExamples = fs::path(TRESK_SOURCE_DIR) / "examples";

// A fresh working folder, removed with everything in it at the end, so that
// Log.txt and the pictures do not litter the build tree.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (fs::temp_directory_path() / "tresk-headless-XXXXXX").string();
        if (::mkdtemp(pattern.data())) path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        if (!path_.empty()) fs::remove_all(path_, ignored);
    }
    const fs::path& path() const { return path_; }

private:
    fs::path path_;
};

std::string readText(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string quoted(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct RunResult {
    int exitCode = -1;
    std::string out, err;
};

// Runs tresk-render with the arguments (already quoted where needed) in the
// folder.
RunResult runRender(const fs::path& folder, const std::string& arguments) {
    const fs::path out = folder / "stdout.txt", err = folder / "stderr.txt";
    const std::string command = "cd " + quoted(folder.string()) + " && " +
                                quoted(TRESK_RENDER_PROGRAM) + " " + arguments + " >" +
                                quoted(out.string()) + " 2>" + quoted(err.string());
    const int status = std::system(command.c_str());
    RunResult r;
    r.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.out = readText(out);
    r.err = readText(err);
    fs::remove(out);
    fs::remove(err);
    return r;
}

// The header numbers of a scene file: the two sizes and the exposure.
struct SceneHeader {
    int interactiveWidth = 0, interactiveHeight = 0, stillWidth = 0, stillHeight = 0;
    float exposure = 0.f;
};

SceneHeader readHeader(const fs::path& scene) {
    std::ifstream in(scene);
    SceneHeader h;
    int stillFlag = 0;
    float gi = 0.f, x = 0.f, y = 0.f, z = 0.f;
    in >> stillFlag >> gi >> h.interactiveWidth >> h.interactiveHeight >> h.stillWidth >>
        h.stillHeight >> x >> y >> z >> h.exposure;
    return h;
}

// An uncompressed 24-bit TGA as the header's sizes and R, G, B bytes per
// pixel, bottom row first; checks the layout on the way.
struct Tga {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
};

::testing::AssertionResult readTga(const fs::path& file, Tga& tga) {
    const std::string bytes = readText(file);
    if (bytes.size() < 18) return ::testing::AssertionFailure() << file << " is too short";
    const auto byte = [&](size_t i) { return uint8_t(bytes[i]); };
    if (byte(2) != 2 || byte(16) != 24)
        return ::testing::AssertionFailure() << file << " is not an uncompressed 24-bit TGA";
    tga.width = byte(12) | byte(13) << 8;
    tga.height = byte(14) | byte(15) << 8;
    const size_t n = size_t(tga.width) * size_t(tga.height) * 3;
    if (bytes.size() != 18 + n)
        return ::testing::AssertionFailure()
               << file << " holds " << bytes.size() << " bytes, expected " << 18 + n;
    tga.rgb.resize(n);
    for (size_t k = 0; k < n; k += 3) {
        tga.rgb[k] = byte(18 + k + 2);
        tga.rgb[k + 1] = byte(18 + k + 1);
        tga.rgb[k + 2] = byte(18 + k);
    }
    return ::testing::AssertionSuccess();
}

// Not blank: many distinct colours, and the most common one covers well
// under the whole picture.
::testing::AssertionResult showsSomething(const Tga& tga) {
    std::set<uint32_t> colours;
    std::vector<uint32_t> all;
    for (size_t k = 0; k + 2 < tga.rgb.size(); k += 3) {
        const uint32_t c =
            uint32_t(tga.rgb[k]) << 16 | uint32_t(tga.rgb[k + 1]) << 8 | tga.rgb[k + 2];
        colours.insert(c);
        all.push_back(c);
    }
    std::sort(all.begin(), all.end());
    size_t longest = 0;
    for (size_t i = 0; i < all.size();) {
        size_t j = i;
        while (j < all.size() && all[j] == all[i]) ++j;
        longest = std::max(longest, j - i);
        i = j;
    }
    if (colours.size() >= 32 && longest < all.size() * 9 / 10) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "the picture looks blank: " << colours.size() << " colours, the commonest on "
           << longest << " of " << all.size() << " pixels";
}

std::vector<std::string> exampleNames() {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(kExamples, ec))
        if (fs::exists(entry.path() / "scene.txt")) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

const std::string kQuick = " --size interactive --passes 2 --threads 1";

}  // namespace

TEST(HeadlessRender, BundlesAtLeastThreeExamples) {
    const std::vector<std::string> names = exampleNames();
    EXPECT_GE(names.size(), 3u);
    for (const char* required : {"showcase", "room", "minimal"})
        EXPECT_NE(std::find(names.begin(), names.end(), required), names.end()) << required;
}

class ExampleRender : public ::testing::TestWithParam<std::string> {};

// The interactive size, two passes, one thread: the picture has the scene's
// size, shows something, and a second run writes the same bytes.
TEST_P(ExampleRender, RendersReproduciblyAtTheRequestedSize) {
    TempFolder folder;
    ASSERT_FALSE(folder.path().empty());
    const fs::path scene = kExamples / GetParam() / "scene.txt";
    const SceneHeader header = readHeader(scene);

    const RunResult first = runRender(folder.path(), quoted(scene.string()) + kQuick + " -o a.tga");
    ASSERT_EQ(first.exitCode, 0) << first.err;
    const RunResult second =
        runRender(folder.path(), quoted(scene.string()) + kQuick + " -o b.tga");
    ASSERT_EQ(second.exitCode, 0) << second.err;

    Tga a, b;
    ASSERT_TRUE(readTga(folder.path() / "a.tga", a));
    ASSERT_TRUE(readTga(folder.path() / "b.tga", b));
    EXPECT_EQ(a.width, header.interactiveWidth);
    EXPECT_EQ(a.height, header.interactiveHeight);
    EXPECT_TRUE(showsSomething(a));
    EXPECT_TRUE(a.rgb == b.rgb) << "two single-threaded runs differ";

    // One summary line with the size, the passes and a positive ray count;
    // progress lines on stderr; the log in the working folder.
    const std::string size =
        std::to_string(header.interactiveWidth) + " x " + std::to_string(header.interactiveHeight);
    EXPECT_NE(first.out.find("a.tga: " + size + ", 2 passes, 1 thread,"), std::string::npos)
        << first.out;
    EXPECT_EQ(std::count(first.out.begin(), first.out.end(), '\n'), 1) << first.out;
    EXPECT_EQ(first.out.find(" 0 rays"), std::string::npos) << first.out;
    EXPECT_NE(first.err.find("pass 2 of 2 done"), std::string::npos) << first.err;
    EXPECT_EQ(readText(folder.path() / "Log.txt").rfind("Tresk 0.5", 0), 0u);
}

INSTANTIATE_TEST_SUITE_P(Examples, ExampleRender, ::testing::ValuesIn(exampleNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) {
                             return info.param;
                         });

// PNG holds the TGA's bytes; HDR and EXR hold the mean radiance, whose tone
// map (with the scene's exposure) gives the TGA's display values back.
TEST(HeadlessRender, FormatsHoldTheSamePicture) {
    TempFolder folder;
    const fs::path scene = kExamples / "minimal" / "scene.txt";
    const float exposure = readHeader(scene).exposure;
    for (const char* name : {"p.tga", "p.png", "p.hdr", "p.exr"}) {
        const RunResult r =
            runRender(folder.path(), quoted(scene.string()) + kQuick + " -o " + name);
        ASSERT_EQ(r.exitCode, 0) << name << ": " << r.err;
    }
    Tga tga;
    ASSERT_TRUE(readTga(folder.path() / "p.tga", tga));
    ASSERT_TRUE(showsSomething(tga));

    int width = 0, height = 0;
    std::vector<float> png;
    std::string error;
    ASSERT_TRUE(readImageFile((folder.path() / "p.png").string(), width, height, png, error))
        << error;
    ASSERT_EQ(width, tga.width);
    ASSERT_EQ(height, tga.height);
    for (size_t k = 0; k < png.size(); ++k)
        ASSERT_EQ(int(std::lround(png[k] * 255.f)), int(tga.rgb[k])) << "float " << k;

    for (const char* name : {"p.hdr", "p.exr"}) {
        std::vector<float> radiance;
        ASSERT_TRUE(readImageFile((folder.path() / name).string(), width, height, radiance, error))
            << error;
        ASSERT_EQ(width, tga.width) << name;
        ASSERT_EQ(height, tga.height) << name;
        // RGBE keeps 8 mantissa bits and half floats 11, and the TGA truncates.
        int worst = 0;
        for (size_t k = 0; k < radiance.size(); ++k) {
            const int expected = int(toneMap(radiance[k] * exposure) * 255.f);
            worst = std::max(worst, std::abs(expected - int(tga.rgb[k])));
        }
        EXPECT_LE(worst, 2) << name;
    }
}

// With no options: "scene.txt" in the working folder, the still size, 16
// passes, "out.tga". The copy of the minimal scene gets a small still size
// that is not square, so that a swapped width and height would show.
TEST(HeadlessRender, StillSizeAndSixteenPassesByDefault) {
    TempFolder folder;
    std::string text = readText(kExamples / "minimal" / "scene.txt");
    const SceneHeader original = readHeader(kExamples / "minimal" / "scene.txt");
    const std::string stillSize =
        std::to_string(original.stillWidth) + " " + std::to_string(original.stillHeight);
    const size_t at = text.find(stillSize);
    ASSERT_NE(at, std::string::npos);
    text.replace(at, stillSize.size(), "48 40");
    std::ofstream(folder.path() / "scene.txt") << text;

    const RunResult r = runRender(folder.path(), "--threads 1");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    Tga tga;
    ASSERT_TRUE(readTga(folder.path() / "out.tga", tga));
    EXPECT_EQ(tga.width, 48);
    EXPECT_EQ(tga.height, 40);
    EXPECT_NE(r.out.find("out.tga: 48 x 40, 16 passes,"), std::string::npos) << r.out;
}

TEST(HeadlessRender, WrongArgumentsExitWithCodeTwo) {
    TempFolder folder;
    const std::string scene = quoted((kExamples / "minimal" / "scene.txt").string());
    const struct {
        std::string arguments;
        std::string message;
    } cases[] = {
        {"--passes 0", "--passes expects a whole number"},
        {"--passes 3x", "--passes expects a whole number"},
        {"--passes", "--passes needs a value"},
        {"--size medium", "--size expects 'interactive' or 'still'"},
        {"--threads -2", "--threads expects a whole number"},
        {"-o picture.jpg", "must end in .tga, .png, .hdr or .exr"},
        {"-o noextension", "must end in .tga, .png, .hdr or .exr"},
        {"--fast", "unknown option \"--fast\""},
        {"a.txt b.txt", "more than one scene file"},
    };
    for (const auto& c : cases) {
        const RunResult r = runRender(folder.path(), scene + " " + c.arguments);
        EXPECT_EQ(r.exitCode, 2) << c.arguments;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << c.arguments << ": " << r.err;
        EXPECT_NE(r.err.find("--help"), std::string::npos) << c.arguments;
    }
    // Nothing was rendered or written.
    EXPECT_FALSE(fs::exists(folder.path() / "out.tga"));
    EXPECT_FALSE(fs::exists(folder.path() / "Log.txt"));
}

TEST(HeadlessRender, HelpDocumentsEveryOption) {
    TempFolder folder;
    const RunResult r = runRender(folder.path(), "--help");
    EXPECT_EQ(r.exitCode, 0);
    for (const char* word :
         {"scene.txt", "out.tga", "--output", "--passes", "--size", "interactive", "still",
          "--threads", ".tga", ".png", ".hdr", ".exr", "Log.txt", "Exit status"})
        EXPECT_NE(r.out.find(word), std::string::npos) << word;
}

// A scene that does not load, and a picture that cannot be written, end with
// the reason and a non-zero exit; an earlier picture survives a failed write
// and no temporary file is left behind.
TEST(HeadlessRender, FailuresExitNonZeroWithTheReason) {
    TempFolder folder;
    const fs::path& dir = folder.path();

    RunResult r = runRender(dir, "missing-scene.txt");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("missing-scene.txt"), std::string::npos) << r.err;

    // A scene cut short in its object section.
    const std::string whole = readText(kExamples / "minimal" / "scene.txt");
    const size_t cut = whole.find("plane");
    ASSERT_NE(cut, std::string::npos);
    std::ofstream(dir / "cut.txt") << whole.substr(0, cut);
    r = runRender(dir, "cut.txt" + kQuick + " -o cut.tga");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cut.txt"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(dir / "cut.tga"));

    const std::string scene = quoted((kExamples / "minimal" / "scene.txt").string());
    r = runRender(dir, scene + kQuick + " -o no-such-folder/x.png");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("no-such-folder"), std::string::npos) << r.err;

    // The output name is taken by a folder: the rename fails after the render.
    fs::create_directories(dir / "taken.tga" / "inside");
    r = runRender(dir, scene + kQuick + " -o taken.tga");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("taken.tga"), std::string::npos) << r.err;
    EXPECT_TRUE(fs::exists(dir / "taken.tga" / "inside"));
    for (const auto& entry : fs::directory_iterator(dir))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos)
            << "left behind: " << entry.path();
}

#endif  // TRESK_RENDER_PROGRAM

#if defined(TRESK_SOURCE_DIR) && defined(TRESK_BINARY_DIR)

// The committed sky and mesh are exactly what the project's generators make,
// so every bundled asset can be rebuilt from source.
TEST(ExampleAssets, RebuiltByTheirGenerators) {
    namespace fs = std::filesystem;
    const fs::path generator = fs::path(TRESK_BINARY_DIR) / "tools" / "make-sky";
    if (!fs::exists(generator)) GTEST_SKIP() << "the generators are not built";
    std::string pattern = (fs::temp_directory_path() / "tresk-assets-XXXXXX").string();
    ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
    const fs::path dir = pattern;
    const std::string command = "sh '" TRESK_SOURCE_DIR "/tools/make-assets.sh' '" TRESK_BINARY_DIR
                                "' '" +
                                dir.string() + "' >/dev/null";
    EXPECT_EQ(std::system(command.c_str()), 0);
    for (const char* asset : {"showcase/sky.hdr", "showcase/knot.obj"}) {
        std::ifstream made(dir / asset, std::ios::binary),
            kept(fs::path(TRESK_SOURCE_DIR) / "examples" / asset, std::ios::binary);
        std::ostringstream a, b;
        a << made.rdbuf();
        b << kept.rdbuf();
        EXPECT_FALSE(a.str().empty()) << asset;
        EXPECT_TRUE(a.str() == b.str()) << asset << " differs from what the generator makes";
    }
    fs::remove_all(dir);
}

#endif
