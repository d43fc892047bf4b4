// Parts of one picture, each the mean of a range of a scene's passes as
// tresk-render writes it to an HDR or EXR file, read, checked against each
// other and combined into the mean of all their passes.
#pragma once

#include <string>
#include <vector>

#include "render/PassRecord.h"

struct MergedPicture {
    // The first part's record; passes counts every part's passes, firstPass
    // is the lowest.
    PassRecord record;
    std::vector<float> radiance;  // the mean of all passes, in buffer order
    // Passes between the parts' ranges that no part holds, as "6-11, 14"; empty
    // when the ranges meet.
    std::string missing;
};

// Reads the parts and merges them, each weighted by its passes. False with a
// message naming the file when a part cannot be read or does not belong with
// the first: another scene (by the hash of its file), another size, or a
// range of passes that overlaps another part's.
bool mergeParts(const std::vector<std::string>& paths, MergedPicture& merged, std::string& error);
