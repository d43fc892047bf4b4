#include "app/headless/RenderOptions.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "scene/ModelFormats.h"

namespace {

const char kUsageStart[] =
    R"(Usage: tresk-render [scene-file | model-file] [options]

Renders a Tresk scene without a window and writes the picture to a file.
It renders a fresh frame and then adds progressive passes, one more jittered
sample per pixel each, exactly as the viewer does in progressive mode.

  scene-file          the scene description to render (default: scene.txt).
                      Mesh and sky files named inside it are found relative
                      to the scene file's folder.
  model-file          a model to look at, named with one of the endings
                      )";
// Here the model files' endings, then:
const char kUsageEnd[] = R"( (in any letter case).
                      It is scaled to a fixed size and stood on a floor under
                      a sky, lit and framed by the camera, whatever its units
                      and position.
  --save-scene DIR    with a model-file: also write its stage as a scene
                      folder (DIR/scene.txt, the scaled model as
                      DIR/model.obj, its materials as DIR/model.mtl with its
                      textures as DIR/model-N.png or .jpg, the sky as
                      DIR/sky.hdr) that renders the same picture, to edit or
                      to learn the scene format from.
                      DIR must be new or empty, or hold a stage saved there
                      before and not changed since (the first line of its
                      model.obj holds Tresk's checksums of the stage's
                      files); the picture and Log.txt may lie beside it.
                      Anything else in DIR, or the model itself, is never
                      replaced: the run stops first (exit status 2).
  -o, --output FILE   where to write the picture (default: out.tga). The
                      extension chooses the format:
                        .tga  tone-mapped, uncompressed 24-bit TGA
                        .png  tone-mapped, 8-bit RGB PNG
                        .hdr  mean radiance, Radiance RGBE (not tone-mapped)
                        .exr  mean radiance, 32-bit float OpenEXR (not tone-mapped)
                      HDR and EXR hold the radiance before the exposure and
                      the tone map, and record the passes, scene and size
                      for tresk-merge; TGA and PNG hold what the viewer shows.
  --passes N          samples per pixel: a fresh frame plus N - 1 progressive
                      passes (default: 16; 1 to 1000000)
  --first-pass K      render passes K to K + N - 1 of the sequence that a
                      run of K + N - 1 passes makes (pass 1 is the fresh
                      frame), each one exactly as that run renders it; the
                      picture is their mean (default: 1; K + N - 1 at most
                      1000000). Runs of consecutive ranges on any machines,
                      weighted by their pass counts, make that run's mean.
  --size SIZE         'interactive' or 'still', in any letter case: which of
                      the scene's two image sizes to render (default: still)
  --threads N         render on N threads (default: one per processor core).
                      The number of threads does not change the picture: the
                      same command writes the same file, byte for byte, on
                      one machine.
  -h, --help          show this help and exit
  --version           show the version and exit

Options may also be written --name=VALUE; '--' ends the options.

Progress goes to stderr: a bar with the passes done and the time left when
stderr is a terminal, plain lines otherwise. The last line, on stdout, sums up
the run: image size, passes, threads, wall time of the passes, rays traced
(closest-hit and shadow rays) and rays per second.

The picture is written to a temporary file beside FILE and renamed over it, so
a failed run never leaves a half-written picture, nor does a run stopped by
Ctrl+C or SIGTERM leave the temporary file. When FILE is a symbolic link, the
file it leads to is replaced and the link kept. FILE may not be a folder or a
device, nor any file the run reads (the scene file and its meshes and
environment images, the model and its stage's sky) or that --save-scene
writes, under any name or link. The progress log "Log.txt" goes to the working
directory, as with the viewer; it ends with the number of samples that were
not finite numbers and were left out.

Exit status: 0 the picture was written; 1 the scene could not be read or the
picture could not be written (the message says why); 2 wrong arguments, an
output that FILE may not be, or a --save-scene folder that holds files of
the user's.
)";

// Whole-string decimal integer within [low, high].
bool parseCount(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return false;
    errno = 0;
    char* end = nullptr;
    const long long v = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < low || v > high) return false;
    value = int(v);
    return true;
}

// The value of a counting option, 1 to high, or the message that says why not.
bool parseCountOption(const std::string& name, const std::string& value, int high, int& count,
                      std::string& error) {
    if (parseCount(value, 1, high, count)) return true;
    error = name + " expects a whole number from 1 to " + std::to_string(high) + ", not \"" +
            value + "\"";
    return false;
}

}  // namespace

const std::string& renderUsage() {
    static const std::string usage = kUsageStart + listOf(modelExtensions(), " or ") + kUsageEnd;
    return usage;
}

bool parseRenderOptions(int argc, const char* const* argv, RenderOptions& options,
                        std::string& error) {
    bool& sceneGiven = options.sceneGiven;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-' || arg == "-") {
            if (sceneGiven) {
                error = "more than one scene file given (\"" + options.sceneFile + "\" and \"" +
                        arg + "\")";
                return false;
            }
            options.sceneFile = arg;
            sceneGiven = true;
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            continue;
        }
        if (arg == "--version") {
            options.version = true;
            continue;
        }
        // --name=value or --name value
        std::string name = arg;
        std::string value;
        bool hasValue = false;
        const size_t eq = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            hasValue = true;
        }
        const bool known = name == "-o" || name == "--output" || name == "--passes" ||
                           name == "--first-pass" || name == "--size" || name == "--threads" ||
                           name == "--save-scene";
        if (!known) {
            error = "unknown option \"" + arg + "\"";
            return false;
        }
        if (!hasValue) {
            if (i + 1 >= argc) {
                error = "option " + name + " needs a value";
                return false;
            }
            value = argv[++i];
        }
        if (name == "-o" || name == "--output") {
            if (value.empty()) {
                error = "option " + name + " needs a file name";
                return false;
            }
            options.outputFile = value;
            options.outputType = imageFileTypeOf(value);
            if (options.outputType == ImageFileType::Unknown) {
                error = "cannot tell the image format of \"" + value +
                        "\": the output name must end in .tga, .png, .hdr or .exr";
                return false;
            }
        } else if (name == "--save-scene") {
            if (value.empty()) {
                error = "option --save-scene needs a folder name";
                return false;
            }
            options.saveSceneFolder = value;
        } else if (name == "--passes") {
            if (!parseCountOption(name, value, RenderOptions::kMaxPasses, options.passes, error))
                return false;
        } else if (name == "--first-pass") {
            if (!parseCountOption(name, value, RenderOptions::kMaxPasses, options.firstPass, error))
                return false;
        } else if (name == "--size") {
            std::string size = value;
            for (char& ch : size) ch = char(std::tolower(static_cast<unsigned char>(ch)));
            if (size == "interactive") {
                options.stillSize = false;
            } else if (size == "still") {
                options.stillSize = true;
            } else {
                error = "--size expects 'interactive' or 'still', not \"" + value + "\"";
                return false;
            }
        } else {  // --threads
            if (!parseCountOption(name, value, RenderOptions::kMaxThreads, options.threads, error))
                return false;
        }
    }
    const int64_t lastPass = int64_t(options.firstPass) + options.passes - 1;
    if (lastPass > RenderOptions::kMaxPasses) {
        error = "--first-pass " + std::to_string(options.firstPass) + " with --passes " +
                std::to_string(options.passes) + " asks for passes up to " +
                std::to_string(lastPass) + ", beyond the last, " +
                std::to_string(RenderOptions::kMaxPasses);
        return false;
    }
    return true;
}
