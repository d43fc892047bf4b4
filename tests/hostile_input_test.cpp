// Input made to exhaust the machine or to break the image library: input
// that never ends, devices and pipes where files belong, NUL-filled sparse
// files, sizes beyond the limits, headers that overran the library's
// buffers. Each ends in a clear message, quickly, without the allocation
// the input asks for (tests/README.md lists them).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <streambuf>

#include "render/Renderer.h"
#include "scene/ModelReaders.h"
#include "scene/ModelStage.h"
#include "scene/SceneReader.h"
#include "tests/support/Support.h"

using namespace support;

namespace {

// A stream that repeats its pattern for ever after a prefix.
class EndlessBuffer : public std::streambuf {
public:
    EndlessBuffer(std::string prefix, const std::string& pattern) : prefix_(std::move(prefix)) {
        for (int i = 0; i < 4096; ++i) block_ += pattern;
        setg(prefix_.data(), prefix_.data(), prefix_.data() + prefix_.size());
    }

protected:
    int_type underflow() override {
        setg(block_.data(), block_.data(), block_.data() + block_.size());
        return traits_type::to_int_type(block_[0]);
    }

private:
    std::string prefix_, block_;
};

// A Radiance file with the given header and size lines and flat pixels.
std::string radianceFile(const std::string& headerLines, const std::string& sizeLine) {
    std::string text =
        "#?RADIANCE\n" + headerLines + "FORMAT=32-bit_rle_rgbe\n\n" + sizeLine + "\n";
    for (int i = 0; i < 64; ++i) text += "\x40\x40\x40\x81";
    return text;
}

// Loads an environment image; whether it loaded, and what it said.
std::pair<bool, std::string> loadImage(const std::string& path,
                                       int64_t maxTexels = HdrEnvironmentMap::kMaxTexels) {
    HdrEnvironmentMap map;
    const bool loaded = map.load(path, maxTexels);
    return {loaded, map.problem()};
}

// A PNG file whose header says side x side texels, without them: 60,000
// (10.8 GB as 24-bit RGB), or 16,000, within what a scene's images may have
// together but beyond what one texture may have.
std::string headerOnlyPng(bool absurd) {
    const std::string start("\x89PNG\r\n\x1a\n\x00\x00\x00\x0dIHDR", 16);
    const std::string size = absurd ? std::string("\x00\x00\xea\x60\x00\x00\xea\x60", 8)
                                    : std::string("\x00\x00\x3e\x80\x00\x00\x3e\x80", 8);
    const std::string crc = absurd ? "\x0f\xb0\xe2\x15" : "\xce\x1c\x48\x89";
    return start + size + std::string("\x08\x02\x00\x00\x00", 5) + crc +
           std::string("\x00\x00\x00\x08IDAT\x78\x9c\x03\x00\x00\x00\x00\x01\x48\x06\x89\xd2", 20) +
           std::string("\x00\x00\x00\x00IEND\xae\x42\x60\x82", 12);
}
// The 60,000-texel one.
const char* const kHugePngBase64 =
    "iVBORw0KGgoAAAANSUhEUgAA6mAAAOpgCAIAAAAPsOIVAAAACElEQVR4nAMAAAAAAUgGidIAAAAASUVORK5CYII=";

// A glTF triangle, its corners and texture coordinates (60 bytes) in buffer
// 0, textured by the image of this JSON, and by bufferView 2 where given.
std::string texturedGltf(const std::string& image, const std::string& buffers,
                         const std::string& imageView = "") {
    return R"({"asset": {"version": "2.0"}, "scene": 0, "scenes": [{"nodes": [0]}],
"nodes": [{"mesh": 0}], "meshes": [{"primitives": [{"attributes": {"POSITION": 0,
"TEXCOORD_0": 1}, "material": 0}]}], "materials": [{"pbrMetallicRoughness":
{"baseColorTexture": {"index": 0}, "metallicFactor": 0}}], "textures": [{"source": 0}],
"images": [)" +
           image + R"(], "buffers": [)" + buffers +
           R"(], "bufferViews": [{"buffer": 0, "byteLength": 36},
{"buffer": 0, "byteOffset": 36, "byteLength": 24})" +
           imageView + R"(], "accessors": [{"bufferView": 0, "componentType": 5126, "count": 3,
"type": "VEC3", "min": [0, 0, 0], "max": [1, 1, 0]}, {"bufferView": 1, "componentType": 5126,
"count": 3, "type": "VEC2"}]})";
}

// The triangle's 60 bytes.
const char* const kTriangleBase64 =
    "AAAAAAAAAAAAAAAAAACAPwAAAAAAAAAAAAAAAAAAgD8AAAAAAAAAAAAAAAAAAIA/AAAAAAAAAAAAAIA/";

std::string littleEndian(uint32_t n) {
    return {char(n & 0xff), char(n >> 8 & 0xff), char(n >> 16 & 0xff), char(n >> 24)};
}

// The triangle as a GLB file, the image after it in the binary chunk.
std::string texturedGlb(const std::string& image) {
    const float corners[15] = {0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 1};
    std::string bin(reinterpret_cast<const char*>(corners), sizeof corners);
    bin += image;
    while (bin.size() % 4) bin += '\0';
    std::string json = texturedGltf(
        R"({"bufferView": 2, "mimeType": "image/png"})",
        R"({"byteLength": )" + std::to_string(bin.size()) + "}",
        R"(, {"buffer": 0, "byteOffset": 60, "byteLength": )" + std::to_string(image.size()) + "}");
    while (json.size() % 4) json += ' ';
    return "glTF" + littleEndian(2) + littleEndian(uint32_t(28 + json.size() + bin.size())) +
           littleEndian(uint32_t(json.size())) + "JSON" + json +
           littleEndian(uint32_t(bin.size())) + std::string("BIN\0", 4) + bin;
}

}  // namespace

// A scene that never ends stops after 64 MiB; the scene before stays.
TEST(HostileInput, SceneInputThatNeverEndsStopsAt64MiB) {
    TempWorkingDirectory dir;
    Renderer& r = *Renderer::instance();
    std::string error;
    ASSERT_TRUE(loadSceneText("0 4 8 6 10 12 0 0 5 1 1 debugmaterial 1 1 1 1 sphere 0 0 0 1 0 0",
                              "small.txt", error))
        << error;
    EXPECT_FALSE(readScene(r, "/dev/zero", error));
    EXPECT_EQ(error,
              "Scene file \"/dev/zero\", line 1: expected the still-mode flag (0 or 1), but the "
              "file goes on past 67108864 bytes (64 MiB), the most a scene file may hold.");
    const std::pair<std::string, std::string> endless[] = {
        {"", " \t\r\n"},                                               // blanks
        {"0 1 4 4 4 4 0 0 0 1 0 0 1 lamp 1 2 3 4 5 6 7 8 more", "x"},  // one word after the end
    };
    for (const auto& [prefix, pattern] : endless) {
        EndlessBuffer buffer(prefix, pattern);
        std::istream in(&buffer);
        Diagnostics diagnostics;
        EXPECT_FALSE(SceneReader(in, "endless.txt").load(r, error, diagnostics));
        EXPECT_NE(error.find("goes on past 67108864 bytes (64 MiB)"), std::string::npos) << error;
    }
    EXPECT_EQ(r.interactiveGeometry().width, 8);
    EXPECT_EQ(r.objects().size(), 1u);
}

// Devices and pipes named as meshes or images are never opened for reading
// (a pipe without a writer would block the open for ever).
TEST(HostileInput, DevicesAndPipesAreNotReadAsMeshesOrImages) {
    TempWorkingDirectory dir;
    ASSERT_EQ(::mkfifo("pipe", 0600), 0);
    for (const std::string path : {"/dev/zero", "pipe"}) {
        Diagnostics diagnostics;
        EXPECT_FALSE(ObjMeshReader().read(path, diagnostics));
        ASSERT_EQ(diagnostics.size(), 1u);
        EXPECT_EQ(diagnostics[0].text,
                  "Mesh file \"" + path +
                      "\": is not a regular file (a device or a pipe). The mesh is left out.");
        const auto [loaded, said] = loadImage(path);
        EXPECT_FALSE(loaded);
        EXPECT_NE(said.find("Environment image \"" + path +
                            "\": is not a regular file (a folder, device or pipe)"),
                  std::string::npos)
            << said;
    }
}

// A NUL byte ends an OBJ file with a message on its line: a sparse file of
// 64 GiB is refused at once, as a scene's mesh and as a model (whose looks
// are read from the same text), and so is real UTF-16 text.
TEST(HostileInput, NulBytesEndAnObjFileAtOnce) {
    TempDir dir;
    for (const auto& [text, line] :
         {std::pair<std::string, int>{"", 1}, {"v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\nv 1 2 ", 5}}) {
        writeText(dir.file("zeros.obj"), text);
        ASSERT_EQ(::truncate(dir.file("zeros.obj").c_str(), off_t(64) << 30), 0);
        Diagnostics diagnostics;
        EXPECT_FALSE(ObjMeshReader().read(dir.file("zeros.obj"), diagnostics));
        ASSERT_EQ(diagnostics.size(), 1u);
        EXPECT_EQ(diagnostics[0].text,
                  "Mesh file \"" + dir.file("zeros.obj") + "\", line " + std::to_string(line) +
                      ": found a NUL byte, which text never holds: this is no OBJ file (perhaps "
                      "a binary file, or text in UTF-16). The mesh is left out.");
        Mesh model;
        std::string error;
        EXPECT_FALSE(readObjModel(dir.file("zeros.obj"), model, error));
        EXPECT_NE(error.find("found a NUL byte"), std::string::npos) << error;
    }
    const std::string utf16 = packagedObjDirectory() + "/box_UTF16BE.obj";
    if (fs::exists(utf16)) {
        std::ifstream in(utf16, std::ios::binary);
        std::string error;
        EXPECT_FALSE(ObjMeshReader().parse(in, "box.obj", error));
        EXPECT_NE(error.find("text in UTF-16"), std::string::npos) << error;
    }
}

// Meshes beyond the limits (scaled down here) are refused on the line that
// passes them; group records stop at theirs and the mesh still loads.
TEST(HostileInput, MeshLimitsAreRefusedOnTheLineThatPassesThem) {
    ObjMeshReader::Limits limits;
    limits.triangles = 10;
    limits.vertices = 5;
    std::string five, tenTriangles, polygon = "f";
    for (int i = 0; i < 5; ++i)
        five += "v " + std::to_string(i) + " 0 " + std::to_string(i * i) + "\n";
    for (int i = 0; i < 10; ++i) tenTriangles += "f 1 2 3\n";
    for (int i = 0; i < 13; ++i) polygon += " " + std::to_string(i % 5 + 1);
    const std::pair<std::string, std::string> cases[] = {
        {five + tenTriangles, ""},
        {five + "v 9 9 9\n",
         "line 6: the mesh has more than 5 vertex positions, the most a mesh may hold."},
        {"vn 0 0 1\nvn 0 0 1\nvn 0 0 1\nvn 0 0 1\nvn 0 0 1\nvn 0 1 0\n",
         "line 6: the mesh has more than 5 normals, the most a mesh may hold."},
        {five + polygon + "\n",
         "line 6: the mesh has more than 10 triangles, the most a mesh may hold."},
        {five + "f 1 2 6\n",
         "line 6: face corner \"6\" refers to vertex position 6, more than a mesh can hold."},
    };
    for (const auto& [text, message] : cases) {
        std::istringstream in(text);
        ObjMeshReader mesh;
        std::string error;
        EXPECT_EQ(mesh.parse(in, "m.obj", error, limits), message.empty()) << error;
        if (!message.empty()) {
            EXPECT_EQ(error, "Mesh file \"m.obj\", " + message);
        }
        EXPECT_EQ(mesh.triangleCount(), message.empty() ? 10 : 0);
    }
    std::string groups = "v 0 0 0\nv 1 0 0\nv 0 1 0\nf 1 2 3\n";
    for (int i = 0; i < 100000; ++i) groups += "g\n";
    std::istringstream in(groups);
    ObjMeshReader mesh;
    std::string error;
    ASSERT_TRUE(mesh.parse(in, "groups.obj", error)) << error;
    EXPECT_EQ(mesh.triangleCount(), 1);
}

// The environment image's size is read from its header and checked before
// the image library allocates anything; lines of 256 bytes, which overran
// its buffer, are refused.
TEST(HostileInput, EnvironmentImageHeadersAreCheckedFirst) {
    TempWorkingDirectory dir;
    const std::string limits =
        "an environment image may have from 1 to 16384 texels a side and at most 134217728 texels "
        "in all (16384 x 8192)";
    const std::pair<std::string, std::string> cases[] = {
        {radianceFile("", "-Y 16384 +X 16384"),
         "is 16384 x 16384 texels; " + limits + "; the background stays black"},
        {radianceFile("", "-Y 4294967295 +X 4294967295"), "is 4294967295 x 4294967295 texels; "},
        {radianceFile("", "-Y -2 +X 4"),
         "is 4 x -2 texels; "},  // the library wrote 4294967294 rows
        {radianceFile("", "+Y 2 +X 4"), "cannot be read as a Radiance HDR image"},
        {radianceFile("# " + std::string(253, 'x') + "\n", "-Y 2 +X 4"),
         "header line 2 is 256 bytes or longer, more than the image library can read safely; the "
         "background stays black"},
        {radianceFile("", "-Y 2 +X 4" + std::string(246, ' ')), "header line 4 is 256 bytes"},
    };
    for (const auto& [file, says] : cases) {
        writeText("image.hdr", file);
        const auto [loaded, said] = loadImage("image.hdr");
        EXPECT_FALSE(loaded);
        EXPECT_NE(said.find("Environment image \"image.hdr\": " + says), std::string::npos) << said;
    }
    writeText("image.hdr", radianceFile("# " + std::string(252, 'x') + "\n", "-Y 2 +X 4"));
    EXPECT_TRUE(loadImage("image.hdr", 8).first);  // a line of 255 bytes, 8 texels
    const auto [loaded, said] = loadImage("image.hdr", 7);
    EXPECT_FALSE(loaded);
    EXPECT_NE(said.find(limits + ", and only 7 texels are left of what the scene's environment "
                                 "images may have together"),
              std::string::npos)
        << said;
}

// One mesh file named by several entries, under other names and a link, is
// read once (a million entries would read it a million times); a rejected
// one repeats its message for every entry.
TEST(HostileInput, MeshNamedManyTimesIsReadOnce) {
    TempWorkingDirectory dir;
    fs::copy_file(dataPath("example/model.obj"), "model.obj");
    fs::create_symlink("model.obj", "link.obj");
    writeText("bad.obj", "v 0 0 0\nf 1 1 2\n");
    writeText("scene.txt",
              "0 1 4 4 4 4 0 0 0 1 1 debugmaterial 1 0 0 5 trianglemesh model.obj 4 0 "
              "trianglemesh ./model.obj 4 0 trianglemesh link.obj 4 0 "
              "trianglemesh bad.obj 4 0 trianglemesh ./bad.obj 4 0 0");
    std::string error;
    Diagnostics diagnostics;
    ASSERT_TRUE(readScene(*Renderer::instance(), "scene.txt", error, diagnostics)) << error;
    EXPECT_EQ(Renderer::instance()->meshTriangleCount(), 36u);
    ASSERT_EQ(diagnostics.size(), 2u);
    EXPECT_EQ(diagnostics[0].text, diagnostics[1].text);
    EXPECT_EQ(diagnostics[0].severity, Severity::Error);
}

// The meshes of a scene together, and its environment images, stay within
// the scene's limits (scaled down here): what would pass them is left out
// with its message; the rest loads.
TEST(HostileInput, SceneTotalsOfMeshesAndImagesAreBounded) {
    std::istringstream in(
        "0 1 4 4 4 4 0 0 0 1\n3 debugmaterial 1 1 1 hdrenvmap sky.hdr hdrenvmap sky.hdr\n"
        "3 trianglemesh model.obj 4 0 trianglemesh model.obj 4 0 trianglemesh model.obj 4 0\n0\n");
    SceneReader reader(in, dataPath("example/scene.txt"));
    SceneDescription scene;
    std::string error;
    Diagnostics diagnostics;
    ASSERT_TRUE(reader.parse(scene, error, diagnostics)) << error;
    SceneLimits limits;
    limits.meshTriangles = 30;      // two copies of the 12-triangle cube
    limits.environmentTexels = 12;  // one 4 x 2 sky
    Renderer& r = *Renderer::instance();
    buildScene(scene, reader.baseDirectory(), r, diagnostics, limits);
    EXPECT_EQ(r.meshTriangleCount(), 24u);
    // The second sky first (materials are made before objects), then the mesh.
    ASSERT_EQ(diagnostics.size(), 2u);
    EXPECT_EQ(diagnostics[0].severity, Severity::Warning);
    const std::string said = diagnostics[0].text;
    EXPECT_EQ(diagnostics[1].severity, Severity::Error);
    EXPECT_EQ(diagnostics[1].text,
              "Mesh file \"" + dataPath("example/model.obj") +
                  "\": its 12 triangles would take the scene's meshes past 30 "
                  "triangles, the most a scene may hold. The mesh is left out.");
    EXPECT_NE(
        said.find(
            "and only 4 texels are left of what the scene's environment images may have together"),
        std::string::npos)
        << said;
}

// A texture whose header asks for more texels than a texture may have is
// refused with a message before anything is allocated, named by an MTL
// file or a glTF file, or embedded in a GLB file or a data: URI; so is one
// whose size its reader cannot give before decoding it all. The model
// shows, in its colour alone.
TEST(HostileInput, TextureHeadersAreCheckedFirst) {
    TempDir dir;
    writeText(dir.file("huge.png"), headerOnlyPng(true));
    writeText(dir.file("large.png"), headerOnlyPng(false));
    writeText(dir.file("small.gif"), std::string("GIF89a\x01\x00\x01\x00\x00\x00\x00;", 14));
    writeText(dir.file("huge.mtl"), "newmtl m\nmap_Kd huge.png\n");
    writeText(dir.file("huge.obj"),
              "mtllib huge.mtl\nv 0 0 0\nv 1 0 0\nv 0 1 0\nvt 0 0\nusemtl m\nf 1/1 2/1 3/1\n");
    const std::string buffer =
        std::string(R"({"byteLength": 60, "uri": "data:application/octet-stream;base64,)") +
        kTriangleBase64 + "\"}";
    writeText(dir.file("file.gltf"), texturedGltf(R"({"uri": "large.png"})", buffer));
    writeText(dir.file("gif.gltf"), texturedGltf(R"({"uri": "small.gif"})", buffer));
    writeText(
        dir.file("data.gltf"),
        texturedGltf(std::string(R"({"uri": "data:image/png;base64,)") + kHugePngBase64 + "\"}",
                     buffer));
    writeText(dir.file("embedded.glb"), texturedGlb(headerOnlyPng(false)));
    const std::string limit =
        " texels; a texture may have at most 67108864 texels (8192 x 8192). Its faces show their "
        "colour alone.";
    const std::string absurd = "the image is 60000 x 60000" + limit,
                      large = "the image is 16000 x 16000" + limit;
    const std::pair<const char*, std::string> cases[] = {
        {"huge.obj", "Texture \"" + dir.file("huge.png") + "\": " + absurd},
        {"file.gltf", "Texture \"" + dir.file("large.png") + "\": " + large},
        {"data.gltf", "The texture embedded in the model: " + absurd},
        {"embedded.glb", "The texture embedded in the model: " + large},
        {"gif.gltf",
         "it is a GIF image, whose size cannot be read before the whole image is "
         "decoded; use PNG or JPEG."},
    };
    for (const auto& [model, says] : cases) {
        SCOPED_TRACE(model);
        std::string error;
        Diagnostics diagnostics;
        ASSERT_TRUE(openSceneOrModel(*Renderer::instance(), dir.file(model), BrokenModel::Refuse,
                                     error, diagnostics))
            << error;
        EXPECT_EQ(Renderer::instance()->meshTriangleCount(), 1u);
        ASSERT_EQ(diagnostics.size(), 1u);
        EXPECT_EQ(diagnostics[0].severity, Severity::Warning);
        EXPECT_NE(diagnostics[0].text.find(says), std::string::npos) << diagnostics[0].text;
    }
}
