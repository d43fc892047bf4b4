// The files a run of tresk-render reads and writes, and the checks made on
// them before anything is read or rendered: the picture replaces no file
// the run reads or saves, and a stage is saved only where it replaces
// nothing of the user's (scene/StageFolder.h).
#pragma once

#include <string>
#include <vector>

#include "app/headless/RenderOptions.h"
#include "render/Renderer.h"

struct RunFiles {
    struct Read {
        std::string path;
        const char* role;  // what the file is to the run, for messages
    };
    std::vector<Read> reads;               // the scene and what it reads, or the model and its sky
    std::vector<std::string> stageWrites;  // what --save-scene writes
};

// The files of the run that options describe. A scene file's meshes and
// images come from a first reading of it, of a regular file only (a pipe
// can be read once); one that does not read lists none, as it is reported
// when the scene is read for the render.
RunFiles runFiles(const RenderOptions& options);

// The output is no folder, device or pipe (through any links), and none of
// the files the run reads or saves, by whatever name or link. Otherwise
// false with a message naming the output.
bool outputAllowed(const RenderOptions& options, const RunFiles& files, std::string& error);

// After the scene or model was read: the output is none of the images its
// materials read (a model's textures, known only once it is read).
bool outputSparesImages(const RenderOptions& options, const Renderer& renderer, std::string& error);

// With --save-scene: the stage replaces no file the run reads and its
// folder may take it (stageFolderAvailable). Otherwise false with a message
// naming the file in the way.
bool stageSaveAllowed(const RenderOptions& options, const RunFiles& files, std::string& error);

// The folder the picture goes to (beside the file a link leads to) exists
// and is writable, or is the --save-scene folder yet to be made in a
// writable one; checked before the render so that a long run does not end
// in a failed write.
bool outputFolderWritable(const RenderOptions& options, std::string& error);
