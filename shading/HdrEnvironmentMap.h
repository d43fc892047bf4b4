// HdrEnvironmentMap ("hdrenvmap file"): a Radiance HDR image looked up in
// the direction of the hit's normal; the background on a sky sphere.
// (Placeholder until the environment map lands: always black.)
#pragma once

#include <string>

#include "shading/Material.h"

class HdrEnvironmentMap : public Material {
public:
    HdrEnvironmentMap() = default;
    ~HdrEnvironmentMap() override;
    HdrEnvironmentMap(const HdrEnvironmentMap&) = delete;
    HdrEnvironmentMap& operator=(const HdrEnvironmentMap&) = delete;

    // Loads the image; on failure the lookup returns black and the problem
    // is logged. Returns whether the image is usable.
    bool load(const std::string& fileName);

    Vec4 shade(HitRecord& hit) const override;
};
