// tresk-render run as a user runs it: on every bundled example, in a
// temporary working folder, checking the files it writes and its exit codes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
    // The size's name in any letter case.
    const RunResult second =
        runRender(folder.path(),
                  quoted(scene.string()) + " --size Interactive --passes 2 --threads 1 -o b.tga");
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
    // The log ends with the count of samples left out as not finite.
    const std::string log = readText(folder.path() / "Log.txt");
    EXPECT_EQ(log.rfind("Tresk 0.5", 0), 0u);
    EXPECT_EQ(log.substr(log.rfind("\n\n", log.size() - 3)), "\n\nSamples Not Finite: 0\n\n");
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
// the reason and a non-zero exit.
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
}

// An output that is a folder, the scene file or a file the scene reads, by
// any name or link, is refused with exit 2 before anything is read or
// rendered, and stays as it was.
TEST(HeadlessRender, OutputThatIsAFolderOrAnInputIsRefused) {
    TempFolder folder;
    const fs::path& dir = folder.path();
    fs::create_directories(dir / "scene" / "taken.tga" / "inside");
    // Names in the scene resolve against its folder. Nothing is read before
    // the refusal, so the mesh and the sky may hold any bytes.
    std::ofstream(dir / "scene" / "scene.txt")
        << "0 1 8 8 8 8 0 0 3 1 2 hdrenvmap sky.hdr diffusephongmaterial 1 1 1\n"
           "2 skysphere 100 0 trianglemesh mesh.obj 8 1 0\n";
    std::ofstream(dir / "scene" / "sky.hdr") << "sky";
    std::ofstream(dir / "scene" / "mesh.obj") << "mesh";
    fs::create_symlink("scene/scene.txt", dir / "scene-link.tga");
    fs::create_symlink("scene/mesh.obj", dir / "mesh-link.png");
    fs::create_hard_link(dir / "scene" / "sky.hdr", dir / "sky-copy.hdr");
    const struct {
        const char* output;
        const char* message;
    } cases[] = {
        {"scene/taken.tga", "\"scene/taken.tga\": it is a folder"},
        {"scene-link.tga", "\"scene-link.tga\": it is the scene file"},
        {"scene/sky.hdr", "\"scene/sky.hdr\": the scene reads it (\"scene/sky.hdr\")"},
        {"sky-copy.hdr", "\"sky-copy.hdr\": the scene reads it (\"scene/sky.hdr\")"},
        {"mesh-link.png", "\"mesh-link.png\": the scene reads it (\"scene/mesh.obj\")"},
    };
    for (const auto& c : cases) {
        const RunResult r = runRender(dir, "scene/scene.txt" + kQuick + " -o " + c.output);
        EXPECT_EQ(r.exitCode, 2) << c.output;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_FALSE(fs::exists(dir / "Log.txt"));
    EXPECT_EQ(readText(dir / "scene" / "sky.hdr"), "sky");
    EXPECT_EQ(readText(dir / "scene" / "mesh.obj"), "mesh");
    EXPECT_TRUE(fs::exists(dir / "scene" / "taken.tga" / "inside"));
}

// Ctrl+C or SIGTERM while the picture is being written: the program ends
// with that signal and leaves no temporary file. The temporary file is made
// a pipe beforehand, so the write is caught half-way once the pipe is full.
TEST(HeadlessRender, StoppedWhileWritingLeavesNoTemporaryFile) {
    TempFolder folder;
    const std::string dir = folder.path().string();
    const std::string scene = (kExamples / "minimal" / "scene.txt").string();
    for (const int signal : {SIGINT, SIGTERM}) {
        int go[2];
        ASSERT_EQ(::pipe(go), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {  // only async-signal-safe calls until exec
            char c;
            ::close(go[1]);
            const int quiet = ::open("/dev/null", O_WRONLY);
            if (::read(go[0], &c, 1) != 1 || ::chdir(dir.c_str()) != 0 || quiet < 0 ||
                ::dup2(quiet, 1) < 0 || ::dup2(quiet, 2) < 0)
                ::_exit(127);
            ::execl(TRESK_RENDER_PROGRAM, "tresk-render", scene.c_str(), "--size", "interactive",
                    "--passes", "1", "-o", "out.tga", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(go[0]);
        const fs::path temp = folder.path() / ("out.tga.tmp" + std::to_string(pid));
        const bool made = ::mkfifo(temp.c_str(), 0600) == 0;
        (void)!::write(go[1], "x", 1);
        ::close(go[1]);
        const int reader = made ? ::open(temp.c_str(), O_RDONLY | O_NONBLOCK) : -1;
        pollfd data{reader, POLLIN, 0};
        const bool writing = reader >= 0 && ::poll(&data, 1, 60000) == 1;
        ::kill(pid, signal);
        int status = 0;
        ::waitpid(pid, &status, 0);
        if (reader >= 0) ::close(reader);
        EXPECT_TRUE(writing) << "the program did not begin to write its picture";
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << "status " << status;
        for (const auto& entry : fs::directory_iterator(dir))
            EXPECT_EQ(entry.path().filename(), "Log.txt") << "left behind after signal " << signal;
    }
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
