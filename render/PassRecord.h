// What a radiance file (HDR or EXR) says about the picture it holds: which
// of a scene's passes, of which scene, at which size and exposure. Parts of
// one still rendered on several machines carry it, so that tresk-merge can
// tell which parts belong together and weight each by its passes.
//
// In an OpenEXR file each field is an attribute of its own (int, float or
// string) in the header; in a Radiance HDR file a header line NAME=VALUE.
// Readers that know nothing of them skip both.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "render/ImageFiles.h"

struct PassRecord {
    std::string scene;      // the scene file as named on the command line
    std::string sceneHash;  // of the scene file's bytes (sceneFileHash); empty when unknown
    int firstPass = 1;      // the passes held are firstPass ... firstPass + passes - 1
    int passes = 0;
    std::string size;  // "still" or "interactive"
    int width = 0;
    int height = 0;
    float exposure = 1.f;  // the scene's, for the tone map of the merged picture

    int lastPass() const { return firstPass + passes - 1; }
};

// The hash of a regular file's bytes as "fnv1a64:" and 16 hex digits, the
// same on every machine; empty for anything that is not a regular file (a
// pipe can be read once, for the render).
std::string sceneFileHash(const std::string& path);

// Adds the record to a file that encodeRadiance made (type Hdr or Exr). False
// with a reason when the file is not laid out as that encoder lays it out.
bool addPassRecord(ImageFileType type, const PassRecord& record, std::vector<uint8_t>& file,
                   std::string& error);

// Reads the record from the header of an HDR or EXR file. False with a reason
// when the file is damaged, holds no complete record, or has a header that
// the image library cannot be trusted with (lines it overruns, attributes it
// reads out of step, other pixels than the record says): decode a part's
// pixels only once this has held.
bool readPassRecord(ImageFileType type, const std::vector<uint8_t>& file, PassRecord& record,
                    std::string& error);
