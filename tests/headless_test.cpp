// tresk-render run as a user runs it, in a private working folder: the
// picture in every format, the defaults, the exit codes; its option parser
// fed wrong arguments in process.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cmath>

#include "render/ToneMap.h"
#include "tests/support/Support.h"

#ifdef TRESK_RENDER_PROGRAM
#include "app/headless/RenderOptions.h"

using namespace support;

namespace {

const std::string kMinimal = (examplesDirectory() / "minimal" / "scene.txt").string();
const std::string kQuick = " --size interactive --passes 2 --threads 1";

struct RunResult {
    int exitCode = -1;
    std::string out, err;
};

// Runs tresk-render in the folder with the arguments (quoted where needed).
RunResult runRender(const TempDir& folder, const std::string& arguments) {
    const std::string command = "cd '" + folder.path() + "' && '" TRESK_RENDER_PROGRAM "' " +
                                arguments + " >stdout.txt 2>stderr.txt";
    const int status = std::system(command.c_str());
    RunResult r{WIFEXITED(status) ? WEXITSTATUS(status) : -1, readText(folder.file("stdout.txt")),
                readText(folder.file("stderr.txt"))};
    fs::remove(folder.file("stdout.txt"));
    fs::remove(folder.file("stderr.txt"));
    return r;
}

}  // namespace

// The interactive size, two passes, one thread: the example's reference
// picture, within the examples' bound; PNG holds the TGA's bytes; HDR and
// EXR the mean radiance, whose tone map gives the TGA back.
TEST(HeadlessRender, EveryFormatHoldsTheExamplesPicture) {
    TempDir folder;
    for (const char* name : {"p.tga", "p.png", "p.hdr", "p.exr"}) {
        const RunResult r = runRender(folder, "'" + kMinimal + "'" + kQuick + " -o " + name);
        ASSERT_EQ(r.exitCode, 0) << name << ": " << r.err;
        if (name[2] != 't') continue;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << r.out;
        EXPECT_NE(r.out.find("p.tga: 320 x 320, 2 passes, 1 thread,"), std::string::npos) << r.out;
        EXPECT_NE(r.err.find("pass 2 of 2 done"), std::string::npos) << r.err;
        EXPECT_EQ(readText(folder.file("Log.txt")).rfind("Tresk 0.5", 0), 0u);
    }
    Tga tga, reference;
    ASSERT_TRUE(readTga(folder.file("p.tga"), tga));
    ASSERT_TRUE(readTga(dataPath("reference/minimal.tga"), reference));
    EXPECT_TRUE(closePictures(tga, reference, kExampleBound));
    const float exposure = 1.f;  // the minimal example's
    for (const char* name : {"p.png", "p.hdr", "p.exr"}) {
        int width = 0, height = 0;
        std::vector<float> rgb;
        std::string error;
        ASSERT_TRUE(readImageFile(folder.file(name), width, height, rgb, error)) << error;
        ASSERT_TRUE(width == tga.width && height == tga.height) << name;
        // RGBE keeps 8 mantissa bits and half floats 11, and the TGA truncates.
        int worst = 0;
        for (size_t k = 0; k < rgb.size(); ++k) {
            const int tgaValue = uint8_t(tga.bgr[k - k % 3 + 2 - k % 3]);
            const int value = name[2] == 'p' ? int(std::lround(rgb[k] * 255.f))
                                             : int(toneMap(rgb[k] * exposure) * 255.f);
            worst = std::max(worst, std::abs(value - tgaValue));
        }
        EXPECT_LE(worst, name[2] == 'p' ? 0 : 2) << name;
    }
}

TEST(HeadlessRender, WrongArgumentsAreNamed) {
    const std::pair<std::vector<const char*>, std::string> cases[] = {
        {{"--passes", "0"}, "--passes expects a whole number"},
        {{"--passes", "3x"}, "--passes expects a whole number"},
        {{"--passes"}, "option --passes needs a value"},
        {{"--size", "medium"}, "--size expects 'interactive' or 'still'"},
        {{"--threads=-2"}, "--threads expects a whole number"},
        {{"-o", "picture.jpg"}, "must end in .tga, .png, .hdr or .exr"},
        {{"--fast"}, "unknown option \"--fast\""},
        {{"a.txt", "b.txt"}, "more than one scene file"},
    };
    for (const auto& [arguments, message] : cases) {
        std::vector<const char*> argv = {"tresk-render"};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        RenderOptions options;
        std::string error;
        EXPECT_FALSE(parseRenderOptions(int(argv.size()), argv.data(), options, error)) << message;
        EXPECT_NE(error.find(message), std::string::npos) << error;
    }
    for (const char* word :
         {"scene.txt", "out.tga", "--output", "--passes", "--size", "interactive", "still",
          "--threads", ".png", ".hdr", ".exr", "Log.txt", "Exit status"})
        EXPECT_NE(std::string(renderUsage()).find(word), std::string::npos) << word;
    // The program itself: exit code 2, the hint, nothing rendered or written.
    TempDir folder;
    const RunResult r = runRender(folder, "'" + kMinimal + "' --fast");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(folder.file("out.tga")) || fs::exists(folder.file("Log.txt")));
}

// A scene that does not load and a picture that cannot be written end with
// the reason and exit code 1; no temporary file is left behind.
TEST(HeadlessRender, FailuresExitNonZeroWithTheReason) {
    TempDir folder;
    const std::string whole = readText(kMinimal);
    writeText(folder.file("cut.txt"), whole.substr(0, whole.find("plane")));
    fs::create_directories(folder.file("taken.tga/inside"));
    const std::pair<std::string, std::string> cases[] = {
        {"missing-scene.txt", "missing-scene.txt"},
        {"cut.txt" + kQuick, "cut.txt"},
        {"'" + kMinimal + "'" + kQuick + " -o no-such-folder/x.png", "no-such-folder"},
        {"'" + kMinimal + "'" + kQuick + " -o taken.tga", "taken.tga"},  // fails after the render
    };
    for (const auto& [arguments, names] : cases) {
        const RunResult r = runRender(folder, arguments);
        EXPECT_EQ(r.exitCode, 1) << arguments;
        EXPECT_NE(r.err.find(names), std::string::npos) << r.err;
    }
    EXPECT_TRUE(fs::exists(folder.file("taken.tga/inside")));
    for (const auto& entry : fs::directory_iterator(folder.path()))
        EXPECT_EQ(entry.path().filename().string().find(".tmp"), std::string::npos) << entry.path();
}

#endif  // TRESK_RENDER_PROGRAM
