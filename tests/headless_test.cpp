// tresk-render run as a user runs it, in a private working folder: the
// picture in every format, the defaults, the exit codes; its option parser
// fed wrong arguments in process.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>

#include "render/ToneMap.h"
#include "tests/support/Support.h"

#ifdef TRESK_RENDER_PROGRAM
#include "app/headless/RenderOptions.h"
#include "scene/ModelStage.h"

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
        // The log ends with the count of samples left out as not finite.
        const std::string log = readText(folder.file("Log.txt"));
        EXPECT_EQ(log.rfind("Tresk 0.5", 0), 0u);
        EXPECT_EQ(log.substr(log.rfind("\n\n", log.size() - 3)), "\n\nSamples Not Finite: 0\n\n");
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
        {{"--first-pass", "0"}, "--first-pass expects a whole number from 1 to 1000000"},
        {{"--first-pass=999990", "--passes", "16"}, "asks for passes up to 1000005, beyond"},
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
    // The size's name in any letter case.
    const char* mixedCase[] = {"tresk-render", "--size", "Interactive"};
    RenderOptions sized;
    std::string error;
    EXPECT_TRUE(parseRenderOptions(3, mixedCase, sized, error)) << error;
    EXPECT_FALSE(sized.stillSize);
    // The last pass of a range at the limit.
    const char* lastRange[] = {"tresk-render", "--first-pass", "999985", "--passes", "16"};
    RenderOptions range;
    EXPECT_TRUE(parseRenderOptions(5, lastRange, range, error)) << error;
    EXPECT_EQ(range.firstPass, 999985);
    // The program itself: exit code 2, the hint, nothing rendered or written.
    TempDir folder;
    const RunResult r = runRender(folder, "'" + kMinimal + "' --fast");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--help"), std::string::npos) << r.err;
    EXPECT_FALSE(fs::exists(folder.file("out.tga")) || fs::exists(folder.file("Log.txt")));
}

// A scene or model that does not load, a picture that cannot be written
// and a start without any scene end with the reason and exit code 1.
TEST(HeadlessRender, FailuresExitNonZeroWithTheReason) {
    TempDir folder;
    const std::string whole = readText(kMinimal);
    writeText(folder.file("cut.txt"), whole.substr(0, whole.find("plane")));
    writeText(folder.file("broken.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 9\n");
    const std::pair<std::string, std::string> cases[] = {
        {"missing-scene.txt", "missing-scene.txt"},
        {"cut.txt" + kQuick, "cut.txt"},
        {"'" + kMinimal + "'" + kQuick + " -o no-such-folder/x.png", "no-such-folder"},
        {"broken.obj" + kQuick, "Mesh file \"broken.obj\", line 4: "},
        {kQuick, "tresk-render MODEL.obj"},
    };
    for (const auto& [arguments, names] : cases) {
        const RunResult r = runRender(folder, arguments);
        EXPECT_EQ(r.exitCode, 1) << arguments;
        EXPECT_NE(r.err.find(names), std::string::npos) << r.err;
    }
}

// An output that is a folder, a device, a file the run reads (the scene and
// its files, the model and the stage's sky) or one that --save-scene writes,
// by any name or link, and a stage saved over the model or a user's file
// are refused with exit code 2 before anything is read or rendered (a
// model's own textures: once it is read), and everything stays as it was.
TEST(HeadlessRender, OutputOrStageThatWouldReplaceAFileIsRefused) {
    TempDir folder;
    for (const char* made : {"scene/taken.tga/inside", "model", "user", "look"})
        fs::create_directories(folder.file(made));
    // Names in the scene resolve against its folder. Nothing is read before
    // the refusal, so the mesh, the sky and the model may hold any bytes (a
    // model that does not read stops a run before it could write).
    writeText(folder.file("scene/scene.txt"),
              "0 1 8 8 8 8 0 0 3 1 2 hdrenvmap sky.hdr diffusephongmaterial 1 1 1\n"
              "2 skysphere 100 0 trianglemesh mesh.obj 8 1 0\n");
    writeText(folder.file("scene/sky.hdr"), "sky");
    writeText(folder.file("scene/mesh.obj"), "mesh");
    writeText(folder.file("model/model.obj"), "mesh");
    writeText(folder.file("user/scene.txt"), "the user's scene");
    writeText(folder.file("look/scene.txt"),
              "0 1 8 8 8 8 0 0 3 1 1 diffusephongmaterial 1 1 1 1 modelmesh look.obj 8 0 0\n");
    writeText(folder.file("look/look.obj"), "mtllib look.mtl\n");
    writeText(folder.file("look/look.mtl"), "newmtl a\nmap_Kd tex.png\n");
    writeText(folder.file("look/tex.png"), "texture");
    fs::copy("/usr/share/assimp/models/glTF2/BoxTextured-glTF", folder.file("box"));
    fs::create_symlink("scene/scene.txt", folder.file("scene-link.tga"));
    fs::create_symlink("scene/mesh.obj", folder.file("mesh-link.png"));
    fs::create_hard_link(folder.file("scene/sky.hdr"), folder.file("sky-copy.hdr"));
    fs::create_symlink("/dev/full", folder.file("full-link.png"));
    fs::create_symlink("model/model.obj", folder.file("model-link.png"));
    const std::string stageSky = modelStageSky();
    ASSERT_FALSE(stageSky.empty());
    fs::create_symlink(stageSky, folder.file("stage-sky-link.hdr"));
    const std::pair<std::string, std::string> cases[] = {
        {"-o scene/taken.tga", "\"scene/taken.tga\": it is a folder"},
        {"-o full-link.png",
         "\"full-link.png\": it leads to \"/dev/full\", which is not a regular"},
        {"-o scene-link.tga", "\"scene-link.tga\": it is the scene file"},
        {"-o scene/sky.hdr", "\"scene/sky.hdr\": the scene reads it (\"scene/sky.hdr\")"},
        {"-o sky-copy.hdr", "\"sky-copy.hdr\": the scene reads it (\"scene/sky.hdr\")"},
        {"-o mesh-link.png", "\"mesh-link.png\": the scene reads it (\"scene/mesh.obj\")"},
        {"model/model.obj -o model-link.png", "\"model-link.png\": it is the model file"},
        {"model/model.obj -o stage-sky-link.hdr",
         "\"stage-sky-link.hdr\": the model's stage reads it (\"" + stageSky + "\")"},
        {"model/model.obj --save-scene new -o new/sky.hdr",
         "\"new/sky.hdr\": --save-scene writes it (\"new/sky.hdr\")"},
        {"model/model.obj --save-scene new -o new/model-0.png",
         "\"new/model-0.png\": --save-scene may write a file of that name"},
        {"look/scene.txt -o look/tex.png", "\"look/tex.png\": the scene's model reads it"},
        {"model/model.obj --save-scene model -o p.png",
         "stage over \"model/model.obj\": it is the model file"},
        {"model/model.obj --save-scene user -o p.png",
         "stage over \"user/scene.txt\": Tresk did not save it there"},
    };
    for (const auto& [arguments, message] : cases) {
        const std::string command =
            arguments[0] == '-' ? "scene/scene.txt " + arguments : arguments;
        const RunResult r = runRender(folder, command + kQuick);
        EXPECT_EQ(r.exitCode, 2) << arguments;
        EXPECT_NE(r.err.find(message), std::string::npos) << arguments << ": " << r.err;
    }
    EXPECT_FALSE(fs::exists(folder.file("Log.txt")) || fs::exists(folder.file("new")) ||
                 fs::exists(folder.file("p.png")));
    EXPECT_EQ(readText(folder.file("scene/sky.hdr")), "sky");
    EXPECT_EQ(readText(folder.file("scene/mesh.obj")), "mesh");
    EXPECT_EQ(readText(folder.file("model/model.obj")), "mesh");
    EXPECT_EQ(readText(folder.file("user/scene.txt")), "the user's scene");
    EXPECT_EQ(readText(folder.file("look/tex.png")), "texture");
    EXPECT_TRUE(fs::exists(folder.file("scene/taken.tga/inside")));
    EXPECT_TRUE(fs::is_symlink(folder.file("full-link.png")));
    // A model's own textures are known once it is read: before the render.
    const RunResult box =
        runRender(folder, "box/BoxTextured.gltf -o box/CesiumLogoFlat.png" + kQuick);
    EXPECT_EQ(box.exitCode, 2);
    EXPECT_NE(box.err.find("\"box/CesiumLogoFlat.png\": a material reads it as its texture"),
              std::string::npos)
        << box.err;
    EXPECT_EQ(readText(folder.file("box/CesiumLogoFlat.png")),
              readText("/usr/share/assimp/models/glTF2/BoxTextured-glTF/CesiumLogoFlat.png"));
}

// Ctrl+C or SIGTERM while the picture is being written: the program ends
// with that signal and leaves no temporary file. The temporary file is made
// a pipe beforehand, so the write is caught half-way once the pipe is full.
TEST(HeadlessRender, StoppedWhileWritingLeavesNoTemporaryFile) {
    TempDir folder;
    const std::string dir = folder.path();
    for (const int signal : {SIGINT, SIGTERM}) {
        int go[2];
        ASSERT_EQ(::pipe(go), 0);
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {  // only async-signal-safe calls until exec
            char c;
            ::close(go[1]);
            const int quiet = ::open("/dev/null", O_WRONLY);
            // The program keeps a signal ignored that it was started with
            // ignored (as a shell does for a job in the background).
            ::signal(signal, SIG_DFL);
            if (::read(go[0], &c, 1) != 1 || ::chdir(dir.c_str()) != 0 || quiet < 0 ||
                ::dup2(quiet, 1) < 0 || ::dup2(quiet, 2) < 0)
                ::_exit(127);
            ::execl(TRESK_RENDER_PROGRAM, "tresk-render", kMinimal.c_str(), "--size", "interactive",
                    "--passes", "1", "-o", "out.tga", static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(go[0]);
        const std::string temp = folder.file("out.tga.tmp" + std::to_string(pid));
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

// A model opened directly renders on its stage; the stage saved with
// --save-scene, into a new folder that also takes the picture, renders the
// same picture through the scene reader. Both logs hold the same entries in
// the same order: only the reading names what it reads, and the rendering
// time differs. The stage is saved again over itself, but not once it was
// changed.
TEST(HeadlessRender, OpensAModelAndSavesItsStageAsAScene) {
    TempDir folder;
    const std::string packaged = packagedObjDirectory() + "/spider.obj";
    if (!fs::exists(packaged)) GTEST_SKIP() << packaged << " is not installed";
    // Without its material library: the saved stage shows the default look.
    const std::string model = folder.file("spider.obj");
    std::string text = readText(packaged);
    text.erase(text.find("mtllib"), text.find('\n', text.find("mtllib")) - text.find("mtllib"));
    writeText(model, text);
    const std::string save = "'" + model + "' --save-scene saved -o saved/model.tga";
    const std::string runs[] = {save, "saved/scene.txt -o saved.tga", save};
    std::string logs[2];
    for (int i = 0; i < 3; ++i) {
        const RunResult r =
            runRender(folder, runs[i] + " --size interactive --passes 1 --threads 1");
        ASSERT_EQ(r.exitCode, 0) << r.err;
        if (i == 2) break;
        logs[i] = readText(folder.file("Log.txt"));
        const std::string time = "Rendering Time: ";
        const size_t from = logs[i].find(time) + time.size();
        ASSERT_GT(from, time.size()) << logs[i];
        logs[i].erase(from, logs[i].find('\n', from) - from);
    }
    // The spider's degenerate faces are counted in its log; its saved copy
    // has none left.
    const size_t note = logs[0].find("triangles were left out");
    ASSERT_NE(note, std::string::npos) << logs[0];
    const size_t line = logs[0].rfind("\n\n", note) + 2;
    logs[0].erase(line, logs[0].find("\n\n", note) + 2 - line);
    const std::string reading = "Reading Scene File...";
    ASSERT_NE(logs[1].find(reading), std::string::npos) << logs[1];
    EXPECT_EQ(logs[0],
              logs[1].replace(logs[1].find(reading), reading.size(), "Reading Model File..."));
    Tga direct, saved;
    ASSERT_TRUE(readTga(folder.file("saved/model.tga"), direct));
    ASSERT_TRUE(readTga(folder.file("saved.tga"), saved));
    EXPECT_TRUE(closePictures(direct, saved, Bound{4, 1.0, 0.1}));

    const std::string edited = readText(folder.file("saved/scene.txt")) + "\n";
    writeText(folder.file("saved/scene.txt"), edited);
    const RunResult r = runRender(folder, save + kQuick);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("\"saved/scene.txt\": Tresk did not save it there, or it was changed"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(readText(folder.file("saved/scene.txt")), edited);
}

// A stage saved with the model's look: its material library and textures
// are under the mark, so one edited or added makes the folder the user's;
// a model without a look saved over it leaves none of them behind.
TEST(HeadlessRender, TheMarkCoversASavedLook) {
    const std::string box =
        "/usr/share/assimp/models/glTF2/BoxTextured-glTF-Binary/BoxTextured.glb";
    if (!fs::exists(box)) GTEST_SKIP() << box << " is not installed";
    const std::string save = "'" + box + "' --save-scene saved -o picture.tga" + kQuick;
    const std::pair<const char*, const char*> edits[] = {
        {"saved/model.mtl", "\n"}, {"saved/model-0.png", "\n"}, {"saved/model-5.png", "new"}};
    // The textures are checked together, so their message names them all.
    for (const auto& [file, added] : edits) {
        TempDir folder;
        ASSERT_EQ(runRender(folder, save).exitCode, 0);
        ASSERT_TRUE(fs::exists(folder.file("saved/model-0.png")));
        writeText(folder.file(file), readText(folder.file(file)) + added);
        const RunResult r = runRender(folder, save);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find(std::string("\"") + file + "\""), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("Tresk did not save"), std::string::npos) << r.err;
    }
    TempDir folder;
    writeText(folder.file("plain.obj"), "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n");
    ASSERT_EQ(runRender(folder, save).exitCode, 0);
    const RunResult plain = runRender(folder, "plain.obj --save-scene saved -o p.tga" + kQuick);
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    EXPECT_FALSE(fs::exists(folder.file("saved/model.mtl")) ||
                 fs::exists(folder.file("saved/model-0.png")));
    EXPECT_NE(readText(folder.file("saved/scene.txt")).find("trianglemesh model.obj"),
              std::string::npos);
}

#endif  // TRESK_RENDER_PROGRAM
