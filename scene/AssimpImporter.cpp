// The Open Asset Import Library's part of the model importer: PLY, glTF and
// GLB, and the checks of files made before it (or StlReader) reads them. The
// library is not built with this project's sanitizers and has a history of
// memory-safety faults, so everything it is handed goes through checks of
// its own first: PLY files are checked whole (ModelFileChecks), only regular
// files of bounded size within the model's folder are opened (a glTF file
// may name any path as its buffer; see ModelFolder), and the library runs in
// a child process (IsolatedReading), so that a fault inside it on a glTF
// file, whose JSON is not checked beforehand, ends that process and not the
// program.
#include <assimp/DefaultIOSystem.h>
#include <assimp/GltfMaterial.h>
#include <assimp/postprocess.h>
#include <assimp/scene.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <assimp/DefaultLogger.hpp>
#include <assimp/Importer.hpp>
#include <assimp/LogStream.hpp>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <new>
#include <sstream>
#include <stdexcept>

#include "scene/CreaseNormals.h"
#include "scene/DegenerateTriangles.h"
#include "scene/ModelFileChecks.h"
#include "scene/ModelFolder.h"
#include "scene/ModelReaders.h"
#include "scene/ObjMeshReader.h"
#include "scene/TextSnippet.h"
#include "shading/Texture.h"

namespace {

// Largest file handed to the library, buffers of a glTF file included: a
// binary STL of ObjMeshReader::kMaxTriangles triangles takes 1 GB.
constexpr int64_t kMaxFileBytes = int64_t(1) << 30;

// Metallic surfaces at most this rough are mirrors, at most kGlossyRoughness
// glossy, rougher ones diffuse.
constexpr float kMirrorRoughness = 0.2f;
constexpr float kGlossyRoughness = 0.6f;
// Largest image embedded in a model that is taken (compressed bytes).
constexpr unsigned kMaxEmbeddedImage = 64u << 20;

// Size of a regular file, or -1 for anything else (missing, a directory, a
// device or a pipe, which might never end or never deliver a byte).
int64_t regularFileSize(const char* path) {
    struct stat st {};
    if (::stat(path, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
    return int64_t(st.st_size);
}

// Opens only regular files within the size limit, and of those only the
// model file and the files it names within its folder: a glTF file names its
// buffers by any path or URI. When one is refused, the model is: the message
// then names the first file that could not be opened, as the model names it
// (when a file is missing, the library goes on to try paths of its own
// making, which the rule may refuse in turn).
class BoundedIOSystem : public Assimp::DefaultIOSystem {
public:
    explicit BoundedIOSystem(const std::string& modelPath)
        : modelPath_(modelPath), folder_(modelPath) {}
    bool Exists(const char* file) const override { return !openable(file).empty(); }
    Assimp::IOStream* Open(const char* file, const char* mode) override {
        if (std::strchr(mode, 'w') || std::strchr(mode, 'a')) return nullptr;
        const std::string path = openable(file);
        return path.empty() ? nullptr : Assimp::DefaultIOSystem::Open(path.c_str(), mode);
    }
    // Why the model is refused, or empty.
    std::string refusal() const { return refused_ ? firstProblem_ : std::string(); }

private:
    // The path to open for file, or empty.
    std::string openable(const char* file) const {
        std::string path = file, problem;
        if (path != modelPath_) {
            const ModelFolder::Found found =
                folder_.resolve(folder_.referenceIn(file), path, problem);
            refused_ = refused_ || found == ModelFolder::Found::Refused;
            if (firstProblem_.empty()) firstProblem_ = problem;
        }
        const int64_t size = path.empty() ? -1 : regularFileSize(path.c_str());
        return size >= 0 && size <= kMaxFileBytes ? path : std::string();
    }

    std::string modelPath_;
    ModelFolder folder_;
    mutable bool refused_ = false;
    mutable std::string firstProblem_;
};

// Keeps the first error the library reports, and the first warning that it
// left part of the model out: some faults (indices out of range, for one)
// make it drop faces and carry on, which would show a mutilated model.
class FirstError : public Assimp::LogStream {
public:
    void write(const char* message) override {
        if (!text.empty()) return;
        const std::string m = message;
        const bool error = m.compare(0, 5, "Error") == 0;
        const bool lost = m.find("out-of-range") != std::string::npos ||
                          m.find("out of range") != std::string::npos ||
                          m.find("dropped") != std::string::npos;
        if (!error && !lost) return;
        // "Warn,  T0: text" or "Error, T0: text": the text alone.
        const size_t colon = m.find(": ");
        text = colon == std::string::npos ? m : m.substr(colon + 2);
        while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    }
    std::string text;
};

std::string quoteText(const std::string& text) {
    constexpr size_t kMaxShown = 200;
    return escapeControlBytes(text.size() > kMaxShown ? text.substr(0, kMaxShown) + "..." : text);
}

// The library reads GLB files of glTF 2.0 only (and text glTF files of
// both versions), and calls any other no format it knows: the header's
// version field says which it is.
bool checkGlbVersion(const std::string& path, std::string& problem) {
    unsigned char header[8] = {};
    std::ifstream in(path, std::ios::binary);
    if (!in.read(reinterpret_cast<char*>(header), sizeof header) ||
        std::memcmp(header, "glTF", 4) != 0)
        return true;  // the library's message will do
    const uint32_t version = uint32_t(header[4]) | uint32_t(header[5]) << 8 |
                             uint32_t(header[6]) << 16 | uint32_t(header[7]) << 24;
    if (version == 2) return true;
    problem = (version == 1 ? std::string("it is a GLB file of glTF 1.0")
                            : "it is a GLB file of version " + std::to_string(version)) +
              ", which Tresk does not read: it reads GLB files of glTF 2.0";
    return false;
}

// A regular file of at most kMaxFileBytes that can be opened; else false
// with why in problem.
bool checkRegularBoundedFile(const std::string& path, std::string& problem) {
    const int64_t size = regularFileSize(path.c_str());
    if (size < 0) {
        std::ifstream probe(path);
        problem = probe.is_open() ? "is not a regular file" : std::strerror(errno);
        return false;
    }
    if (size > kMaxFileBytes) {
        problem = "is larger than " + std::to_string(kMaxFileBytes) + " bytes (1 GiB)";
        return false;
    }
    // Before any look at the content, so that a file that cannot be read
    // says so rather than that its content is wrong.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        problem = std::strerror(errno);
        return false;
    }
    ::close(fd);
    return true;
}

// What a scene without triangles holds instead, named for the message;
// empty when it holds nothing else either.
std::string withoutSurfaces(unsigned kinds) {
    const bool points = kinds & aiPrimitiveType_POINT, lines = kinds & aiPrimitiveType_LINE;
    if (!points && !lines) return "";
    return std::string("holds no triangles, only ") +
           (points && lines ? "points and lines"
            : points        ? "points"
                            : "lines") +
           ": Tresk shows surfaces";
}

ModelMaterial::Wrap wrapOf(int mode) {
    if (mode == aiTextureMapMode_Clamp) return ModelMaterial::Wrap::Clamp;
    if (mode == aiTextureMapMode_Mirror) return ModelMaterial::Wrap::MirroredRepeat;
    return ModelMaterial::Wrap::Repeat;
}

// The kind of texture that holds a material's base colour.
aiTextureType baseTextureType(const aiMaterial& in) {
    return in.GetTextureCount(aiTextureType_BASE_COLOR) > 0 ? aiTextureType_BASE_COLOR
                                                            : aiTextureType_DIFFUSE;
}

// A base colour texture's KHR_texture_transform as glTF states it: scaled,
// then turned counter-clockwise by rotation (radians) about the origin,
// then moved by offset, in glTF's texture space (origin top left).
struct UvTransform {
    float offset[2] = {0.f, 0.f}, rotation = 0.f, scale[2] = {1.f, 1.f};

    // A texture coordinate in the library's texture space (v up, as the
    // mesh holds it), transformed.
    aiVector3D applied(const aiVector3D& t) const {
        const float c = std::cos(rotation), s = std::sin(rotation);
        const float u = t.x * scale[0], v = (1.f - t.y) * scale[1];
        return aiVector3D(c * u + s * v + offset[0], 1.f - (-s * u + c * v + offset[1]), 0.f);
    }
};

// The material's transform, or false where it has none (or one that is no
// finite number). The library gives it converted to its own texture space,
// origin bottom left and turned about the centre: that is undone here.
bool uvTransformOf(const aiMaterial& in, UvTransform& u) {
    aiUVTransform t;
    if (in.Get(AI_MATKEY_UVTRANSFORM(baseTextureType(in), 0), t) != AI_SUCCESS) return false;
    u.rotation = -t.mRotation;
    u.scale[0] = t.mScaling.x;
    u.scale[1] = t.mScaling.y;
    const float c = std::cos(u.rotation), s = std::sin(u.rotation);
    u.offset[0] = t.mTranslation.x - 0.5f * u.scale[0] * (1.f - c + s);
    u.offset[1] = 0.5f * u.scale[1] * (s + c - 1.f) + 1.f - u.scale[1] - t.mTranslation.y;
    const float all[] = {u.offset[0], u.offset[1], u.rotation, u.scale[0], u.scale[1]};
    return std::all_of(std::begin(all), std::end(all), [](float v) { return std::isfinite(v); });
}

// The base colour texture of a material: embedded ("*0" names the scene's
// first image) or a file inside the model's folder; one that is missing or
// refused is a warning.
void setTexture(const aiMaterial& in, const aiScene& scene, const ModelFolder& folder,
                ModelMaterial& m, ModelLook& look) {
    aiString reference;
    const aiTextureType type = baseTextureType(in);
    if (in.GetTexture(type, 0, &reference) != AI_SUCCESS) return;
    int mode = aiTextureMapMode_Wrap;
    if (in.Get(AI_MATKEY_MAPPINGMODE_U(type, 0), mode) == AI_SUCCESS) m.wrapU = wrapOf(mode);
    if (in.Get(AI_MATKEY_MAPPINGMODE_V(type, 0), mode) == AI_SUCCESS) m.wrapV = wrapOf(mode);
    if (const aiTexture* image = scene.GetEmbeddedTexture(reference.C_Str())) {
        if (image->mHeight == 0 && image->mWidth <= kMaxEmbeddedImage) {
            const auto* bytes = reinterpret_cast<const unsigned char*>(image->pcData);
            m.textureBytes.assign(bytes, bytes + image->mWidth);
        }
        return;
    }
    std::string resolved, problem;
    if (folder.resolve(reference.C_Str(), resolved, problem) == ModelFolder::Found::Inside) {
        m.textureFile = resolved;
        return;
    }
    look.diagnostics.push_back(
        {Severity::Warning, "", 0,
         "the texture of a material: " + problem + " Its faces show their colour alone.", ""});
}

// The look that a library material gives: its base (or diffuse) colour;
// metallic and smooth a mirror tinted by it, metallic and less smooth
// glossy, mostly transmitting glass; a fully rough metal, as a file
// without the factors gives, stays diffuse.
ModelMaterial lookOf(const aiMaterial& in, const aiScene& scene, const ModelFolder& folder,
                     ModelLook& look) {
    ModelMaterial m;
    aiColor4D c(1.f, 1.f, 1.f, 1.f);
    if (in.Get(AI_MATKEY_BASE_COLOR, c) != AI_SUCCESS) in.Get(AI_MATKEY_COLOR_DIFFUSE, c);
    auto unit = [](float v) { return std::isfinite(v) ? std::min(1.f, std::max(0.f, v)) : 0.f; };
    m.colour = Vec3(unit(c.r), unit(c.g), unit(c.b));
    float metallic = 0.f, roughness = 1.f, transmission = 0.f, ior = 1.5f, cutoff = 0.5f;
    in.Get(AI_MATKEY_METALLIC_FACTOR, metallic);
    in.Get(AI_MATKEY_ROUGHNESS_FACTOR, roughness);
    in.Get(AI_MATKEY_TRANSMISSION_FACTOR, transmission);
    if (in.Get(AI_MATKEY_REFRACTI, ior) == AI_SUCCESS && std::isfinite(ior))
        m.ior = std::min(4.f, std::max(1.f, ior));
    aiString mode;
    if (in.Get(AI_MATKEY_GLTF_ALPHAMODE, mode) == AI_SUCCESS &&
        std::strcmp(mode.C_Str(), "MASK") == 0)
        m.alphaCutoff =
            in.Get(AI_MATKEY_GLTF_ALPHACUTOFF, cutoff) == AI_SUCCESS ? unit(cutoff) : 0.5f;
    setTexture(in, scene, folder, m, look);
    if (unit(transmission) >= 0.5f)
        m.kind = ModelMaterial::Kind::Glass;
    else if (unit(metallic) >= 0.5f && unit(roughness) <= kMirrorRoughness)
        m.kind = ModelMaterial::Kind::Mirror;
    else if (unit(metallic) >= 0.5f && unit(roughness) <= kGlossyRoughness)
        m.kind = ModelMaterial::Kind::Glossy;
    return m;
}

// A vertex's colour as linear RGB: glTF gives it so, other formats as
// 8-bit-style display values (sRGB).
Vec3 colourOf(const aiColor4D* colours, unsigned v, bool linear) {
    if (!colours) return Vec3(1.f, 1.f, 1.f);
    auto channel = [linear](float c) {
        if (!linear) return Texture::srgbToLinear(c);
        return std::isfinite(c) ? std::min(1.f, std::max(0.f, c)) : 0.f;
    };
    return Vec3(channel(colours[v].r), channel(colours[v].g), channel(colours[v].b));
}

// Whether the file's materials are its own: glTF states every look it
// has, while the library gives a PLY or STL file an invented grey one.
bool statesItsLooks(const std::string& path) {
    const ModelFormat* format = modelFormatOf(path);
    return format && format->statesLooks;
}

// The scene's own materials, in its order, and each mesh's entry among
// them (-1 for the library's default material, which the file did not
// give).
std::vector<int32_t> collectLooks(const aiScene& scene, const ModelFolder& folder,
                                  ModelLook& look) {
    std::vector<int32_t> entries;
    for (unsigned i = 0; i < scene.mNumMaterials; ++i) {
        const aiMaterial& in = *scene.mMaterials[i];
        if (in.GetName() == aiString(AI_DEFAULT_MATERIAL_NAME)) {
            entries.push_back(-1);
            continue;
        }
        entries.push_back(int32_t(look.materials.size()));
        look.materials.push_back(lookOf(in, scene, folder, look));
    }
    return entries;
}

// The triangles of every mesh of the flattened scene, into mesh; corners
// without normals get none (-1).
bool collect(const aiScene& scene, const ModelFolder* folder, Mesh& mesh, std::string& problem) {
    size_t triangles = 0, vertices = 0;
    unsigned kinds = 0;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh* in = scene.mMeshes[m];
        kinds |= in->mPrimitiveTypes;
        if (!(in->mPrimitiveTypes & aiPrimitiveType_TRIANGLE)) continue;
        triangles += in->mNumFaces;
        vertices += in->mNumVertices;
        if (triangles > size_t(ObjMeshReader::kMaxTriangles) ||
            vertices > size_t(ObjMeshReader::kMaxVertices)) {
            problem = "it holds more than the " + std::to_string(ObjMeshReader::kMaxTriangles) +
                      " triangles or " + std::to_string(ObjMeshReader::kMaxVertices) +
                      " vertices a model may hold";
            return false;
        }
    }
    if (triangles == 0 && !(problem = withoutSurfaces(kinds)).empty()) return false;
    bool anyNormals = false;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m)
        anyNormals |= scene.mMeshes[m]->mNormals != nullptr;
    mesh.positions.reserve(vertices);
    if (anyNormals) mesh.normals.reserve(vertices);
    for (auto* list : {&mesh.positionIndices, &mesh.normalIndices, &mesh.texCoordIndices})
        list->reserve(3 * triangles);
    // Vertex colours (PLY's, glTF's COLOR_0): white where a mesh has none.
    bool anyColours = false;
    for (unsigned m = 0; m < scene.mNumMeshes; ++m)
        anyColours |= scene.mMeshes[m]->mColors[0] != nullptr;
    const bool linear = folder != nullptr;
    if (anyColours) mesh.colours.reserve(vertices);
    const std::vector<int32_t> looks =
        folder ? collectLooks(scene, *folder, mesh.look) : std::vector<int32_t>();
    // Each material's texture transform, applied to its meshes' coordinates.
    std::vector<UvTransform> transforms(scene.mNumMaterials);
    std::vector<bool> transformed(scene.mNumMaterials, false);
    for (unsigned i = 0; folder && i < scene.mNumMaterials; ++i)
        transformed[i] = uvTransformOf(*scene.mMaterials[i], transforms[i]);
    for (unsigned m = 0; m < scene.mNumMeshes; ++m) {
        const aiMesh* in = scene.mMeshes[m];
        if (!(in->mPrimitiveTypes & aiPrimitiveType_TRIANGLE)) continue;
        const int32_t look = in->mMaterialIndex < looks.size() ? looks[in->mMaterialIndex] : -1;
        const int32_t first = int32_t(mesh.positions.size());
        const bool moved =
            in->mMaterialIndex < transformed.size() && transformed[in->mMaterialIndex];
        for (unsigned v = 0; v < in->mNumVertices; ++v) {
            const aiVector3D& p = in->mVertices[v];
            mesh.positions.emplace_back(p.x, p.y, p.z);
            const aiVector3D n = in->mNormals ? in->mNormals[v] : aiVector3D();
            if (anyNormals) mesh.normals.emplace_back(n.x, n.y, n.z);
            if (anyColours) mesh.colours.push_back(colourOf(in->mColors[0], v, linear));
            aiVector3D t = in->mTextureCoords[0] ? in->mTextureCoords[0][v] : aiVector3D();
            if (moved) t = transforms[in->mMaterialIndex].applied(t);
            mesh.texCoords.emplace_back(t.x, t.y, 0.f);
        }
        for (unsigned f = 0; f < in->mNumFaces; ++f) {
            const aiFace& face = in->mFaces[f];
            if (face.mNumIndices != 3) continue;
            for (unsigned c = 0; c < 3; ++c) {
                if (face.mIndices[c] >= in->mNumVertices) {
                    problem = "a face uses a vertex that its mesh does not have";
                    return false;
                }
            }
            const Vec3* corner = &mesh.positions[size_t(first)];
            if (isDegenerateTriangle(corner[face.mIndices[0]], corner[face.mIndices[1]],
                                     corner[face.mIndices[2]])) {
                ++mesh.degenerateTriangles;
                continue;
            }
            for (unsigned c = 0; c < 3; ++c) {
                const int32_t index = first + int32_t(face.mIndices[c]);
                mesh.positionIndices.push_back(index);
                mesh.normalIndices.push_back(in->mNormals ? index : -1);
                mesh.texCoordIndices.push_back(in->mTextureCoords[0] ? index : -1);
            }
            mesh.materialIndices.push_back(look);
        }
    }
    // A file whose every face has the default look carries none.
    if (std::all_of(mesh.materialIndices.begin(), mesh.materialIndices.end(),
                    [](int32_t i) { return i < 0; })) {
        std::vector<int32_t>().swap(mesh.materialIndices);
        mesh.look.materials.clear();
    }
    return true;
}

// Reads the file with the library into mesh; false with the reason in
// problem.
bool readThroughLibrary(const std::string& path, Mesh& mesh, std::string& problem) {
    Assimp::Importer importer;
    BoundedIOSystem* files = new BoundedIOSystem(path);  // the importer owns it
    importer.SetIOHandler(files);
    // Normals the file lacks are made afterwards, within a crease angle: the
    // library's own smooth ones bend across a box's edges.
    constexpr unsigned kSteps = aiProcess_Triangulate | aiProcess_PreTransformVertices |
                                aiProcess_SortByPType | aiProcess_ValidateDataStructure;
    Assimp::DefaultLogger::create(nullptr, Assimp::Logger::NORMAL, 0);
    FirstError* firstError = new FirstError;  // the logger owns it
    Assimp::DefaultLogger::get()->attachStream(firstError,
                                               Assimp::Logger::Warn | Assimp::Logger::Err);
    bool ok = false;
    try {
        const aiScene* scene = importer.ReadFile(path, kSteps);
        if (!files->refusal().empty()) {
            problem = files->refusal();
        } else if (!scene) {
            problem = "the Open Asset Import Library cannot read it: " +
                      quoteText(importer.GetErrorString());
        } else if (!firstError->text.empty()) {
            problem = "it is damaged: " + quoteText(firstError->text);
        } else {
            const ModelFolder folder(path);
            ok = collect(*scene, statesItsLooks(path) ? &folder : nullptr, mesh, problem);
            importer.FreeScene();  // before the normals take their memory
            if (ok) makeCreaseNormals(mesh);
        }
    } catch (const std::bad_alloc&) {
        problem = "there is not enough memory to read it";
    } catch (const std::exception& e) {
        problem = "the Open Asset Import Library cannot read it: " + quoteText(e.what());
    }
    Assimp::DefaultLogger::kill();
    return ok;
}

}  // namespace

bool checkBoundedFile(const std::string& path, std::string& error) {
    std::string problem;
    if (checkRegularBoundedFile(path, problem)) return true;
    error = modelFileMessage(path, problem);
    return false;
}

bool checkPlyModel(const std::string& path, std::string& error) {
    std::string problem;
    if (!checkBoundedFile(path, error)) return false;
    if (checkPlyFile(path, regularFileSize(path.c_str()), problem)) return true;
    error = modelFileMessage(path, problem);
    return false;
}

bool checkGlbModel(const std::string& path, std::string& error) {
    std::string problem;
    if (!checkBoundedFile(path, error)) return false;
    if (checkGlbVersion(path, problem)) return true;
    error = modelFileMessage(path, problem);
    return false;
}

bool readWithLibrary(const std::string& path, Mesh& mesh, std::string& error) {
    std::string problem;
    if (readThroughLibrary(path, mesh, problem)) return true;
    error = modelFileMessage(path, problem);
    return false;
}
