#include "app/headless/RunFiles.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "core/Logger.h"
#include "render/TgaWriter.h"
#include "scene/ModelStage.h"
#include "scene/ObjMaterials.h"
#include "scene/StageFolder.h"

namespace fs = std::filesystem;

namespace {

// The absolute path, without links, dots and a final slash, that p names,
// also when it does not exist yet.
fs::path placeOf(const fs::path& p) {
    std::error_code ec;
    fs::path place = fs::weakly_canonical(fs::absolute(p, ec), ec).lexically_normal();
    if (!place.has_filename()) place = place.parent_path();
    return place;
}

// Whether a and b name one file or folder, also when neither exists yet.
bool samePlace(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    return fs::equivalent(a, b, ec) || placeOf(a) == placeOf(b);
}

// The material libraries and textures that a "modelmesh" entry's OBJ file
// names, as the scene's reading will find them.
void addLookReads(const std::string& objPath, RunFiles& files) {
    std::error_code ec;
    if (!fs::is_regular_file(objPath, ec)) return;
    const ModelLook look = objLibraries(objPath);  // its warnings come with the reading proper
    for (const std::string& library : look.libraries)
        files.reads.push_back({library, "the scene's model reads it"});
    for (const ModelMaterial& m : look.materials)
        if (!m.textureFile.empty())
            files.reads.push_back({m.textureFile, "the scene's model reads it"});
}

void addSceneReads(const std::string& sceneFile, RunFiles& files) {
    files.reads.push_back({sceneFile, "it is the scene file"});
    std::error_code ec;
    std::ifstream in;
    if (fs::is_regular_file(sceneFile, ec)) in.open(sceneFile, std::ios::binary);
    SceneReader reader(in, sceneFile);
    SceneDescription scene;
    std::string ignored;
    Diagnostics reportedLater;  // the reading proper reports them
    if (!in.is_open() || !reader.parse(scene, ignored, reportedLater)) return;
    auto add = [&](const std::string& name) {
        if (!name.empty())
            files.reads.push_back(
                {resolveScenePath(reader.baseDirectory(), name), "the scene reads it"});
    };
    for (const auto& m : scene.materials) add(m.fileName);
    for (const auto& o : scene.objects) {
        add(o.fileName);
        if (o.kind == SceneDescription::ObjectEntry::Kind::ModelMesh)
            addLookReads(resolveScenePath(reader.baseDirectory(), o.fileName), files);
    }
}

}  // namespace

RunFiles runFiles(const RenderOptions& options) {
    RunFiles files;
    if (!modelFormatOf(options.sceneFile)) {
        addSceneReads(options.sceneFile, files);
        return files;
    }
    files.reads.push_back({options.sceneFile, "it is the model file"});
    const std::string sky = modelStageSky();
    if (!sky.empty()) files.reads.push_back({sky, "the model's stage reads it"});
    if (!options.saveSceneFolder.empty())
        files.stageWrites = stageFiles(options.saveSceneFolder, !sky.empty());
    return files;
}

bool outputSparesImages(const RenderOptions& options, const Renderer& renderer,
                        std::string& error) {
    RunFiles images;
    for (const auto& material : renderer.materials()) {
        const std::string image = material->imageFile();
        if (!image.empty()) images.reads.push_back({image, "a material reads it as its texture"});
    }
    return outputAllowed(options, images, error);
}

bool outputAllowed(const RenderOptions& options, const RunFiles& files, std::string& error) {
    const std::string& output = options.outputFile;
    std::string target;
    if (!writeTarget(output, target, error)) return false;
    const std::string refusal = "will not write the picture over \"" + output + "\": ";
    for (const RunFiles::Read& read : files.reads) {
        std::error_code ec;
        if (!fs::equivalent(target, read.path, ec)) continue;
        error = refusal + read.role + " (\"" + read.path + "\")";
        return false;
    }
    for (const std::string& written : files.stageWrites) {
        if (!samePlace(target, written)) continue;
        error = refusal + "--save-scene writes it (\"" + written + "\")";
        return false;
    }
    // A model's textures are saved under names known only once it is read.
    const fs::path place = placeOf(target);
    if (!options.saveSceneFolder.empty() && isStageFileName(place.filename().string()) &&
        samePlace(place.parent_path(), options.saveSceneFolder)) {
        error = refusal + "--save-scene may write a file of that name into \"" +
                options.saveSceneFolder + "\"";
        return false;
    }
    return true;
}

bool stageSaveAllowed(const RenderOptions& options, const RunFiles& files, std::string& error) {
    if (files.stageWrites.empty()) return true;
    for (const std::string& written : files.stageWrites) {
        for (const RunFiles::Read& read : files.reads) {
            std::error_code ec;
            if (!fs::equivalent(written, read.path, ec)) continue;
            error = "will not save the stage over \"" + written + "\": " + read.role + " (\"" +
                    read.path + "\")";
            return false;
        }
    }
    return stageFolderAvailable(options.saveSceneFolder, {options.outputFile, kLogFileName}, error);
}

bool outputFolderWritable(const RenderOptions& options, std::string& error) {
    std::string target, ignored;
    if (!writeTarget(options.outputFile, target, ignored)) target = options.outputFile;
    fs::path folder = fs::path(target).parent_path();
    if (folder.empty()) folder = ".";
    std::error_code ec;
    // The folder --save-scene makes is as writable as the one it is made in.
    if (!options.saveSceneFolder.empty() && samePlace(folder, options.saveSceneFolder)) {
        while (!fs::exists(folder, ec)) {
            if (!folder.has_parent_path()) {
                folder = ".";
                break;
            }
            folder = folder.parent_path();
        }
    }
    if (::access(folder.c_str(), W_OK | X_OK) == 0) return true;
    error = "cannot write \"" + options.outputFile + "\": folder \"" + folder.string() +
            "\": " + std::strerror(errno);
    return false;
}
