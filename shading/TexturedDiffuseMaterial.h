// TexturedDiffuseMaterial ("textureddiffusematerial r g b"): shades as
// DiffusePhongMaterial does, with a diffuse colour that varies over a mesh:
// the constant colour times the texture at the hit's texture coordinate
// (when the material has a texture and the triangle has coordinates) times
// the colour interpolated between the triangle's corners (when it has
// colours). On a primitive other than a mesh triangle only the constant
// colour counts.
//   colour        constant factor per channel (the file's base colour)
//   texture       optional image, shared between materials
//   alphaCutoff   with a texture: where its alpha is below this, the surface
//                 is not there for rays from the eye (they go on through);
//                 shadows still fall. 0, the default, shows every texel.
#pragma once

#include <memory>

#include "shading/DiffusePhongMaterial.h"
#include "shading/Texture.h"

class Triangle;

class TexturedDiffuseMaterial : public DiffusePhongMaterial {
public:
    Vec4 shade(HitRecord& hit) const override;

    void setTexture(std::shared_ptr<const Texture> texture) { texture_ = std::move(texture); }
    std::string imageFile() const override { return texture_ ? texture_->fileName() : ""; }
    void setAlphaCutoff(float cutoff) { alphaCutoff_ = cutoff; }

    // The diffuse colour at a hit: the product described above, with the
    // texture's alpha in w (1 without a texture).
    Vec4 surfaceColour(const HitRecord& hit) const;

private:
    std::shared_ptr<const Texture> texture_;
    float alphaCutoff_ = 0.f;
};
