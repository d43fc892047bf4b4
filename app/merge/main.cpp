// tresk-merge: combines parts of one picture, rendered apart (on several
// machines, or one after the other) with tresk-render --first-pass, into the
// picture a single run of all their passes makes.
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "app/headless/StopSignals.h"
#include "app/merge/Parts.h"
#include "render/ImageFiles.h"
#include "render/PassRecord.h"
#include "render/TgaWriter.h"
#include "render/ToneMap.h"

namespace {

// As tresk-render: 1 for files that cannot be used, 2 for wrong arguments.
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    R"(Usage: tresk-merge PART... -o FILE

Merges parts of one picture into the picture that one run of all their passes
makes. A part is an .hdr or .exr file that tresk-render wrote, for instance

  tresk-render scene.txt --first-pass 1 --passes 8 -o part1.exr
  tresk-render scene.txt --first-pass 9 --passes 8 -o part2.exr
  tresk-merge part1.exr part2.exr -o final.png

Each part holds the mean of its passes and records them, with the scene and
the size; the merge weights each part by its passes. Parts of different
scenes (told apart by their scene file's contents, wherever it lay) or sizes,
and parts whose passes overlap, are refused. Passes that no part holds are
named, and the picture is the mean of those present. EXR parts hold full
floats, so the merge equals one run to float rounding; HDR parts hold 8 bits
of mantissa and come within about 1 %.

  -o, --output FILE   the merged picture; the extension chooses the format:
                      .tga or .png tone-mapped with the scene's exposure as
                      tresk-render does, .hdr or .exr the mean radiance with
                      the record of all passes (when no passes are missing,
                      so that it can be merged again)
  -h, --help          show this help and exit
  --version           show the version and exit

The picture is written to a temporary file beside FILE and renamed over it;
FILE may not be one of the parts.

Exit status: 0 the picture was written; 1 a part could not be read or does
not belong with the others, or the picture could not be written; 2 wrong
arguments, or an output that is a part or a folder.
)";

struct MergeOptions {
    std::vector<std::string> parts;
    std::string output;
    bool help = false;
    bool version = false;
};

bool parseMergeOptions(int argc, char** argv, MergeOptions& options, std::string& error) {
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.empty() || arg[0] != '-') {
            options.parts.push_back(arg);
        } else if (arg == "--") {
            optionsEnded = true;
        } else if (arg == "-h" || arg == "--help") {
            options.help = true;
        } else if (arg == "--version") {
            options.version = true;
        } else if (arg == "-o" || arg == "--output") {
            if (++i == argc) {
                error = "option " + arg + " needs a file name";
                return false;
            }
            options.output = argv[i];
        } else if (arg.compare(0, 9, "--output=") == 0) {
            options.output = arg.substr(9);
        } else {
            error = "unknown option \"" + arg + "\"";
            return false;
        }
    }
    if (options.help || options.version) return true;
    if (options.output.empty()) {
        error = "no output given (-o FILE)";
    } else if (imageFileTypeOf(options.output) == ImageFileType::Unknown) {
        error = "cannot tell the image format of \"" + options.output +
                "\": the output name must end in .tga, .png, .hdr or .exr";
    } else if (options.parts.empty()) {
        error = "no parts given";
    }
    return error.empty();
}

// The output may be neither a folder nor one of the parts, under any name.
bool outputAllowed(const MergeOptions& options, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    if (fs::is_directory(options.output, ec)) {
        error = "cannot write the picture to \"" + options.output + "\": it is a folder";
        return false;
    }
    for (const std::string& part : options.parts) {
        if (!fs::equivalent(options.output, part, ec)) continue;
        error = "will not write the picture over \"" + options.output + "\": it is a part (\"" +
                part + "\")";
        return false;
    }
    return true;
}

bool writeMerged(const std::string& path, const MergedPicture& merged, std::string& error) {
    const PassRecord& r = merged.record;
    // The display as tresk-render makes it: the mean times the exposure,
    // through the tone map.
    std::vector<float> display(merged.radiance.size());
    for (size_t i = 0; i < display.size(); i += 3) {
        const float v[3] = {merged.radiance[i] * r.exposure, merged.radiance[i + 1] * r.exposure,
                            merged.radiance[i + 2] * r.exposure};
        toneMapPixel(v, &display[i]);
    }
    std::vector<uint8_t> bytes;
    return encodeImage(imageFileTypeOf(path), r.width, r.height, display.data(),
                       merged.radiance.data(), 1.f, merged.missing.empty() ? &r : nullptr, bytes,
                       error) &&
           writeFileAtomically(path, bytes, error);
}

void complain(const std::string& message) {
    std::fprintf(stderr, "tresk-merge: %s\n", message.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    MergeOptions options;
    std::string error;
    if (!parseMergeOptions(argc, argv, options, error)) {
        complain(error);
        std::fprintf(stderr, "Try 'tresk-merge --help' for more information.\n");
        return kExitUsage;
    }
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (options.version) {
        std::printf("tresk-merge %s\n", TRESK_VERSION);
        return 0;
    }
    if (!outputAllowed(options, error)) {
        complain(error);
        return kExitUsage;
    }
    removeTemporaryFilesOnSignals();
    MergedPicture merged;
    if (!mergeParts(options.parts, merged, error)) {
        complain(error);
        return kExitFailure;
    }
    const PassRecord& r = merged.record;
    if (!merged.missing.empty())
        complain("note: passes missing: " + merged.missing + "; the picture is the mean of the " +
                 std::to_string(r.passes) + " passes present" +
                 (holdsRadiance(imageFileTypeOf(options.output))
                      ? ", and records no range of passes"
                      : ""));
    if (!writeMerged(options.output, merged, error)) {
        complain(error);
        return kExitFailure;
    }
    std::printf("%s: %d x %d, %d pass%s from %zu part%s of %s\n", options.output.c_str(), r.width,
                r.height, r.passes, r.passes == 1 ? "" : "es", options.parts.size(),
                options.parts.size() == 1 ? "" : "s", r.scene.c_str());
    return 0;
}
