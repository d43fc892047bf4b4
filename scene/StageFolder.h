// StageFolder: the folder that a model's stage is saved into as an ordinary
// scene (tresk-render --save-scene), and the rule that keeps a user's files
// out of its way.
//
// A stage is saved only into a new or empty folder, or over a stage that
// Tresk saved there before and that nobody has changed since; the picture
// and the log of the same run may lie beside it, since the run replaces
// them anyway. Tresk tells its own stage by the mark in the first line of
// its model.obj (an OBJ comment): a checksum of each of the stage's files,
// of model.obj from its second line on, and for a model saved with its look
// of its material library and of its textures together (all the files
// named "model-N.EXT"). Any other file in the folder, a stage file that is
// a link, or one that was changed, added or removed since it was saved
// belongs to the user, and the stage is not saved there.
#pragma once

#include <string>
#include <vector>

// The names of a saved stage's files.
inline constexpr const char* kStageSceneFile = "scene.txt";
inline constexpr const char* kStageModelFile = "model.obj";
inline constexpr const char* kStageSkyFile = "sky.hdr";
// A model saved with its look: its material library, and its textures
// named kStageTexturePrefix, a number, a dot and the image's extension.
inline constexpr const char* kStageLibraryFile = "model.mtl";
inline constexpr const char* kStageTexturePrefix = "model-";

// Whether a file of this name in a stage folder is one a stage may hold.
bool isStageFileName(const std::string& name);

// The paths of the files a stage saved into folder consists of whatever
// its model: the sky's only when withSky, and the material library, which
// a model with a look adds (with its textures, told by isStageFileName).
std::vector<std::string> stageFiles(const std::string& folder, bool withSky);

// Whether a stage may be saved into folder, by the rule above. replacedAnyway
// lists the other files the run writes (its picture, its log). Otherwise
// returns false with a message naming the file in the way.
bool stageFolderAvailable(const std::string& folder, const std::vector<std::string>& replacedAnyway,
                          std::string& error);

// The first line of a saved model.obj until markStage fills it in: a mark
// of the same length that no saved stage matches, so that a save cut short
// leaves a folder that is not taken for Tresk's. withLook: the stage holds a
// material library and textures.
std::string stageMarkPlaceholder(bool withLook);

// Marks the stage just written into folder as Tresk's: fills in the first
// line of its model.obj. False with a message when it cannot.
bool markStage(const std::string& folder, bool withLook, std::string& error);

// Removes the material library and textures of a stage saved into folder
// before, which stageFolderAvailable found to be Tresk's, so that a model
// saved over it keeps none of an earlier model's. False with a message when
// one cannot be removed.
bool removeStageLook(const std::string& folder, std::string& error);
