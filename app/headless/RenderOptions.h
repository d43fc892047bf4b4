// The command line of tresk-render: which scene, which size, how many passes
// and threads, and where the image goes.
#pragma once

#include <string>

#include "render/ImageFiles.h"

struct RenderOptions {
    static constexpr int kDefaultPasses = 16;
    // Enough for any sensible convergence; the sample count stays an exact float.
    static constexpr int kMaxPasses = 1000000;
    static constexpr int kMaxThreads = 4096;

    std::string sceneFile = "scene.txt";
    std::string outputFile = "out.tga";
    ImageFileType outputType = ImageFileType::Tga;
    int passes = kDefaultPasses;
    int firstPass = 1;  // the range rendered: passes firstPass ... firstPass + passes - 1
    bool stillSize = true;
    int threads = 0;              // 0: one per core
    std::string saveSceneFolder;  // --save-scene: where a model's stage goes
    bool sceneGiven = false;      // false: the default scene file
    bool help = false;
    bool version = false;
};

// Fills options from argv. On a wrong argument returns false with a message
// that says which argument and what was expected.
bool parseRenderOptions(int argc, const char* const* argv, RenderOptions& options,
                        std::string& error);

// The text that --help prints.
const std::string& renderUsage();
