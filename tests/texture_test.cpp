// Textures and corner colours on meshes: the lookup against values worked
// out by hand, and rendered surfaces against the texel times the diffuse
// factor.
#include "shading/Texture.h"

#include <FreeImage.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <limits>

#include "core/Triangle.h"
#include "shading/TexturedDiffuseMaterial.h"
#include "tests/support/Support.h"

using namespace support;

namespace {

double srgbFormula(int value) {
    const double c = value / 255.0;
    return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

// A texture of one row of four greys.
Texture rowOfFour(const int grey[4], Texture::Wrap wrap) {
    std::vector<uint8_t> rgba(16, 0);
    for (size_t i = 0; i < 4; ++i) {
        rgba[4 * i] = uint8_t(grey[i]);
        rgba[4 * i + 3] = 255;
    }
    Texture t;
    EXPECT_TRUE(t.setTexels(4, 1, rgba));
    t.setWrap(wrap, Texture::Wrap::Clamp);
    return t;
}

// The image encoded as PNG; texel(x, y) gives RGBA of column x in row y,
// row 0 the top of the picture.
template <class Texel>
std::vector<unsigned char> pngBytes(int w, int h, Texel texel) {
    FIBITMAP* image = FreeImage_Allocate(w, h, 32);
    for (int y = 0; y < h; ++y) {
        BYTE* line = FreeImage_GetScanLine(image, h - 1 - y);
        for (int x = 0; x < w; ++x) {
            const std::array<uint8_t, 4> c = texel(x, y);
            line[4 * x + FI_RGBA_RED] = c[0];
            line[4 * x + FI_RGBA_GREEN] = c[1];
            line[4 * x + FI_RGBA_BLUE] = c[2];
            line[4 * x + FI_RGBA_ALPHA] = c[3];
        }
    }
    FIMEMORY* memory = FreeImage_OpenMemory();
    FreeImage_SaveToMemory(FIF_PNG, image, memory);
    BYTE* data = nullptr;
    DWORD size = 0;
    FreeImage_AcquireMemory(memory, &data, &size);
    std::vector<unsigned char> bytes(data, data + size);
    FreeImage_CloseMemory(memory);
    FreeImage_Unload(image);
    return bytes;
}

}  // namespace

TEST(Texture, SrgbTableBilinearFilterAndWrapModes) {
    for (int value : {0, 128, 255})
        EXPECT_NEAR(Texture::srgbToLinear(uint8_t(value)), srgbFormula(value), 1e-6) << value;
    const int grey[4] = {0, 85, 170, 255};
    double lin[4];
    for (int i = 0; i < 4; ++i) lin[i] = srgbFormula(grey[i]);
    using W = Texture::Wrap;
    const struct {
        W wrap;
        float u;
        double expected;
    } rows[] = {
        {W::Repeat, 0.125f, lin[0]},  // a texel centre
        {W::Repeat, 0.25f, (lin[0] + lin[1]) / 2},
        {W::Repeat, 0.3125f, 0.25 * lin[0] + 0.75 * lin[1]},
        {W::Repeat, -0.25f, (lin[2] + lin[3]) / 2},
        {W::Repeat, 1.25f, (lin[0] + lin[1]) / 2},
        {W::Clamp, -0.25f, lin[0]},
        {W::Clamp, 1.25f, lin[3]},
        {W::MirroredRepeat, -0.25f, (lin[0] + lin[1]) / 2},
        {W::MirroredRepeat, 1.25f, (lin[2] + lin[3]) / 2},
    };
    for (const auto& row : rows) {
        const Texture t = rowOfFour(grey, row.wrap);
        const Vec4 c = t.lookup(row.u, 0.5f);
        EXPECT_NEAR(c.x, row.expected, 1e-5) << "wrap " << int(row.wrap) << " u " << row.u;
        EXPECT_EQ(c.w, 1.f);
    }
    // Coordinates no image has still land inside it.
    const float inf = std::numeric_limits<float>::infinity();
    for (W wrap : {W::Repeat, W::Clamp, W::MirroredRepeat}) {
        const Texture t = rowOfFour(grey, wrap);
        for (float u : {std::nanf(""), inf, -inf, 3e38f, -3e38f}) {
            const Vec4 c = t.lookup(u, u);
            EXPECT_TRUE(c.x >= 0.f && c.x <= 1.f) << "wrap " << int(wrap) << " u " << u;
        }
    }
}

// The same PNG from a file and from memory: texture coordinate (0, 0) is the
// top left of the picture, and alpha is kept.
TEST(Texture, LoadsFromFileAndMemoryTopRowFirst) {
    const auto bytes = pngBytes(2, 2, [](int x, int y) {
        return std::array<uint8_t, 4>{uint8_t(x == 0 && y == 0 ? 255 : 0), 0, 0,
                                      uint8_t(y == 0 ? 255 : 0)};
    });
    TempDir dir;
    {
        std::ofstream out(dir.file("t.png"), std::ios::binary);
        out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    Texture fromFile, fromMemory, missing, garbage;
    ASSERT_TRUE(fromFile.load(dir.file("t.png"))) << fromFile.problem();
    ASSERT_TRUE(fromMemory.loadFromMemory(bytes.data(), bytes.size())) << fromMemory.problem();
    for (const Texture* t : {&fromFile, &fromMemory}) {
        EXPECT_EQ(t->lookup(0.25f, 0.25f), Vec4(1, 0, 0, 1));
        EXPECT_EQ(t->lookup(0.75f, 0.75f), Vec4(0, 0, 0, 0));
    }
    EXPECT_FALSE(missing.load(dir.file("none.png")));
    EXPECT_NE(missing.problem().find("none.png"), std::string::npos);
    EXPECT_FALSE(missing.load("/dev/zero"));
    EXPECT_FALSE(missing.load(dir.file("t.png"), 3));  // four texels, three left
    EXPECT_NE(missing.problem().find("the image is 2 x 2 texels; a texture may have at most "
                                     "67108864 texels (8192 x 8192), and only 3 texels are left "
                                     "of what the scene's images may have together."),
              std::string::npos)
        << missing.problem();
    const unsigned char junk[] = "not an image at all";
    EXPECT_FALSE(garbage.loadFromMemory(junk, sizeof junk));
    EXPECT_EQ(garbage.lookup(0.5f, 0.5f), Vec4(1, 1, 1, 1));
}

namespace {

// A square of side 2s at z = −depth facing the camera at the origin, as
// two triangles with texture coordinates (0, 0) at the top left.
void addTexturedSquare(Renderer& r, const Material* m, float s, float depth) {
    const Vec3 tl(-s, s, -depth), tr(s, s, -depth), bl(-s, -s, -depth), br(s, -s, -depth);
    std::vector<Triangle> tris = {triangle(bl, br, tr, m), triangle(bl, tr, tl, m)};
    std::vector<CornerAttributes> corners(2);
    const float uvs[2][3][2] = {{{0, 1}, {1, 1}, {1, 0}}, {{0, 1}, {1, 0}, {0, 0}}};
    for (int t = 0; t < 2; ++t) {
        corners[size_t(t)].hasUv = true;
        for (int k = 0; k < 3; ++k)
            for (int a = 0; a < 2; ++a) corners[size_t(t)].uv[k][a] = uvs[t][k][a];
    }
    r.addMesh(std::move(tris), 20, std::move(corners));
}

}  // namespace

// A 2 × 2 checker (8 × 8 texels a square) seen head-on, lit from the eye:
// inside each square the radiance over the diffuse factor (cosine, capped
// inverse square) is that square's linear texel times the colour. A plain
// mesh added afterwards leaves the textured one's corners in place.
TEST(TexturedDiffuse, CheckerSquaresShowTheirTexelTimesTheDiffuseFactor) {
    SingleThread one;
    const int w = 64, h = 48;
    const std::array<uint8_t, 4> squares[2][2] = {{{255, 0, 0, 255}, {0, 128, 0, 255}},
                                                  {{0, 0, 255, 255}, {200, 200, 200, 255}}};
    const auto bytes = pngBytes(16, 16, [&](int x, int y) { return squares[y / 8][x / 8]; });
    auto texture = std::make_shared<Texture>();
    ASSERT_TRUE(texture->loadFromMemory(bytes.data(), bytes.size()));
    Renderer& r = freshRenderer(w, h);
    auto* m = addMaterial<TexturedDiffuseMaterial>(r, 0.5f, 1.f, 1.f);
    m->setTexture(texture);
    const float s = 0.3f, depth = 0.5f;
    addTexturedSquare(r, m, s, depth);
    r.addMesh({triangle(Vec3(5, 5, 5), Vec3(6, 5, 5), Vec3(5, 6, 5), m)}, 20);
    addLight(r, Vec4(0, 0, 0), Vec4(2, 2, 2));
    finish(r);
    r.render();
    double sum[2][2][3] = {}, count[2][2] = {};
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            Vec3 d(float((2.0 * x - w) / w), float((2.0 * y - h) / h), r.imagePlaneZ);
            d.normalize();
            const Vec3 p = d * (depth / -d.z);
            const double u = (p.x + s) / (2 * s), v = (s - p.y) / (2 * s);
            const auto inner = [](double c) {
                return std::fabs(c - 0.5) > 0.1 && c > 0.1 && c < 0.9;
            };
            if (!inner(u) || !inner(v)) continue;
            const double dist = std::sqrt(double(dot(p, p)));
            const double factor = 2.0 * (double(depth) / dist) * std::min(1.0, 1.0 / (dist * dist));
            const float* px = r.radianceBuffer() + 3 * (x + y * w);
            for (int c = 0; c < 3; ++c) sum[v > 0.5][u > 0.5][c] += double(px[c]) / factor;
            ++count[v > 0.5][u > 0.5];
        }
    }
    const double colour[3] = {0.5, 1, 1};
    for (int sy = 0; sy < 2; ++sy) {
        for (int sx = 0; sx < 2; ++sx) {
            ASSERT_GT(count[sy][sx], 20) << sx << "," << sy;
            for (int c = 0; c < 3; ++c)
                EXPECT_NEAR(sum[sy][sx][c] / count[sy][sx],
                            srgbFormula(squares[sy][sx][size_t(c)]) * colour[c], 0.01)
                    << "square " << sx << "," << sy << " channel " << c;
        }
    }
}

// A white textureless material on a triangle with red, green and blue
// corners: near a corner its colour dominates, at the centre they are even.
TEST(TexturedDiffuse, CornerColoursAreInterpolated) {
    Renderer& r = freshRenderer(4, 4);
    auto* m = addMaterial<TexturedDiffuseMaterial>(r, 1, 1, 1);
    const Vec3 a(-1, -1, -2), b(1, -1, -2), c(0, 1, -2);
    std::vector<CornerAttributes> corners(1);
    corners[0].hasColour = true;
    corners[0].colour[0] = Vec3(1, 0, 0);
    corners[0].colour[1] = Vec3(0, 1, 0);
    corners[0].colour[2] = Vec3(0, 0, 1);
    r.addMesh({triangle(a, b, c, m)}, 20, std::move(corners));
    addLight(r, Vec4(0, 0, 0), Vec4(1, 1, 1));
    finish(r);
    const struct {
        Vec3 target;
        int dominant;  // −1: all even
    } rows[] = {{a * 0.9f + (b + c) * 0.05f, 0},
                {b * 0.9f + (a + c) * 0.05f, 1},
                {c * 0.9f + (a + b) * 0.05f, 2},
                {(a + b + c) * (1.f / 3), -1}};
    for (const auto& row : rows) {
        HitRecord hit;
        Vec3 d = row.target;
        d.normalize();
        r.kdTree().findClosest(ray(0, 0, 0, d.x, d.y, d.z), hit);
        ASSERT_TRUE(hit.hit && hit.triangle);
        hit.depth = 1;
        const Vec4 shaded = m->shade(hit);
        const float total = shaded.x + shaded.y + shaded.z;
        ASSERT_GT(total, 0.f);
        for (int ch = 0; ch < 3; ++ch) {
            const float share = shaded[ch] / total;
            if (row.dominant < 0) {
                EXPECT_NEAR(share, 1.f / 3, 0.01f) << "channel " << ch;
            } else if (ch == row.dominant) {
                EXPECT_GT(share, 0.85f) << "corner " << row.dominant;
            }
        }
    }
}
