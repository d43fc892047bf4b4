// The scene reader's second phase: a checked SceneDescription built into
// the Renderer, with the meshes and environment images it names.
#include <sys/stat.h>
#include <tbb/task_group.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <new>
#include <stdexcept>
#include <tuple>

#include "core/Logger.h"
#include "core/Plane.h"
#include "core/SkySphere.h"
#include "core/Sphere.h"
#include "core/Triangle.h"
#include "render/Renderer.h"
#include "scene/ModelLookMaterials.h"
#include "scene/ObjMaterials.h"
#include "scene/ObjMeshReader.h"
#include "scene/SceneReader.h"
#include "scene/TextSnippet.h"

namespace {

Vec3 vec3At(const std::array<float, 27>& v, int i) {
    return Vec3(v[size_t(i)], v[size_t(i) + 1], v[size_t(i) + 2]);
}

// Makes a scene material for one of a model's own materials.
using MakeLookMaterial = std::function<const Material*(const SceneMaterialEntry&)>;

// The triangles of every "trianglemesh" and "modelmesh" entry, in one list
// for the tree. Each file is read once per keyword however many entries
// name it (found again by device and inode, whatever name or link leads to
// it), so that a scene naming one large file a million times costs one
// reading, not a million; and all meshes together hold at most the scene's
// limit.
class MeshCollector {
public:
    MeshCollector(const std::string& baseDirectory, int64_t maxTriangles, Diagnostics& diagnostics)
        : baseDirectory_(baseDirectory),
          maxTriangles_(size_t(std::max<int64_t>(maxTriangles, 0))),
          diagnostics_(diagnostics) {}

    // Appends the mesh's triangles with the given material; false when the
    // mesh is left out (a diagnostic says why). With makeLook, the faces
    // that the OBJ file's materials cover take those instead, made by it.
    bool add(const std::string& name, const Material* material,
             const MakeLookMaterial* makeLook = nullptr) {
        const std::string path = resolveScenePath(baseDirectory_, name);
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            ObjMeshReader reader;  // says what is wrong with the name
            return reader.read(path, diagnostics_) && append(path, reader.mesh(), material);
        }
        auto [it, fresh] = files_.try_emplace(FileId{st.st_dev, st.st_ino, makeLook != nullptr});
        ReadFile& file = it->second;
        // A file that could not even be opened is simply tried again.
        if (!fresh && (file.ok || !file.problem.empty())) {
            if (!file.ok) {
                // As the first reading did: the message again, nothing read.
                diagnostics_.push_back({Severity::Error, path, 0, file.problem, ""});
                return false;
            }
            Logger::instance()->write("Polycount: " + toText(int32_t(file.count)));
            if (file.first == kNotKept) return refuse(path, file.count);
            if (triangles_.size() + file.count > maxTriangles_) return refuse(path, file.count);
            copy(file, material);
            return true;
        }
        ObjMeshReader reader;
        ObjLookRecords looks;
        file.ok = reader.read(path, diagnostics_, makeLook ? &looks : nullptr);
        file.problem = reader.problem();
        if (!file.ok) return false;
        file.count = size_t(reader.triangleCount());
        file.first = triangles_.size();
        file.material = material;
        const bool kept = makeLook ? appendWithLook(path, reader.mesh(), looks, material, *makeLook)
                                   : append(path, reader.mesh(), material);
        if (!kept) file.first = kNotKept;
        return kept;
    }

    // Appends a mesh read beforehand, as if read from the named file, and
    // empties it (its memory is the tree's to use). A triangle with a
    // material index gets that scene material instead.
    bool addRead(const std::string& name, Mesh& mesh, const Material* material,
                 const std::vector<const Material*>& numbered) {
        Logger::instance()->write("Polycount: " + toText(int32_t(mesh.triangleCount())));
        const bool kept =
            appendLooking(resolveScenePath(baseDirectory_, name), mesh, material, numbered);
        mesh = Mesh();
        return kept;
    }

    std::vector<Triangle>& triangles() { return triangles_; }
    // Empty, or one record per triangle.
    std::vector<CornerAttributes> corners() {
        if (!corners_.empty()) corners_.resize(triangles_.size());
        return std::move(corners_);
    }

private:
    static constexpr size_t kNotKept = ~size_t(0);

    struct FileId {
        dev_t device;
        ino_t inode;
        bool withLook;  // read for a "modelmesh" entry
        bool operator<(const FileId& o) const {
            return std::tie(device, inode, withLook) < std::tie(o.device, o.inode, o.withLook);
        }
    };
    struct ReadFile {
        bool ok = false;
        std::string problem;                 // the message of a rejected file
        size_t count = 0;                    // triangles of a file that was read
        size_t first = kNotKept;             // where its triangles start, if kept
        const Material* material = nullptr;  // the first entry's
    };

    // Appends the triangles of a file read before, and their corners, with
    // this entry's material where they had the first entry's.
    void copy(const ReadFile& file, const Material* material) {
        const size_t start = triangles_.size();
        for (size_t i = 0; i < file.count; ++i) {
            const Triangle t = triangles_[file.first + i];
            triangles_.push_back(t);
            if (t.material == file.material) triangles_.back().material = material;
        }
        if (corners_.size() < file.first + file.count) return;
        corners_.resize(start);
        for (size_t i = 0; i < file.count; ++i) corners_.push_back(corners_[file.first + i]);
    }

    // Appends an OBJ mesh with the materials its own libraries give its faces.
    bool appendWithLook(const std::string& path, Mesh& mesh, const ObjLookRecords& looks,
                        const Material* material, const MakeLookMaterial& makeLook) {
        applyObjLooks(looks, path, mesh);
        takeLookDiagnostics(mesh.look, "Mesh file", path, diagnostics_);
        if (triangles_.size() + size_t(mesh.triangleCount()) > maxTriangles_)
            return refuse(path, size_t(mesh.triangleCount()));
        std::vector<SceneMaterialEntry> entries;
        addModelLook(entries, mesh, false);
        std::vector<const Material*> own;
        for (const SceneMaterialEntry& entry : entries) own.push_back(makeLook(entry));
        return appendLooking(path, mesh, material, own);
    }

    // Appends the mesh with its corners' attributes when it has a look, its
    // faces with a material index taking that entry of numbered.
    bool appendLooking(const std::string& path, const Mesh& mesh, const Material* material,
                       const std::vector<const Material*>& numbered) {
        const size_t first = triangles_.size();
        const bool kept = append(path, mesh, material);
        if (kept && (mesh.look.textured() || !mesh.colours.empty())) addCorners(mesh, first);
        for (size_t i = 0; kept && i < mesh.materialIndices.size(); ++i)
            if (mesh.materialIndices[i] >= 0)
                triangles_[first + i].material = numbered[size_t(mesh.materialIndices[i])];
        return kept;
    }

    bool append(const std::string& path, const Mesh& mesh, const Material* material) {
        const size_t count = size_t(mesh.triangleCount());
        if (triangles_.size() + count > maxTriangles_) return refuse(path, count);
        appendTriangles(mesh, triangles_, material);
        return true;
    }

    // The texture coordinates and vertex colours of the triangles from
    // first on: a model's v runs up the picture, a texture's rows down.
    void addCorners(const Mesh& mesh, size_t first) {
        corners_.resize(triangles_.size());
        for (size_t i = first; i < triangles_.size(); ++i) {
            const int32_t* t = &mesh.texCoordIndices[3 * (i - first)];
            CornerAttributes& c = corners_[i];
            c.hasUv = t[0] >= 0 && t[1] >= 0 && t[2] >= 0;
            const Vec3* uv[3] = {&triangles_[i].t0, &triangles_[i].t1, &triangles_[i].t2};
            c.hasColour = !mesh.colours.empty();
            for (int k = 0; k < 3; ++k) {
                c.uv[k][0] = uv[k]->x;
                c.uv[k][1] = 1.f - uv[k]->y;
                if (c.hasColour)
                    c.colour[k] = mesh.colours[size_t(mesh.positionIndices[3 * (i - first) + k])];
            }
        }
    }

    bool refuse(const std::string& path, size_t count) {
        const std::string message = escapeControlBytes(
            "Mesh file \"" + path + "\": its " + std::to_string(count) +
            " triangles would take the scene's meshes past " + std::to_string(maxTriangles_) +
            " triangles, the most a scene may hold. The mesh is left out.");
        diagnostics_.push_back({Severity::Error, path, 0, message, ""});
        return false;
    }

    const std::string& baseDirectory_;
    const size_t maxTriangles_;
    Diagnostics& diagnostics_;
    std::map<FileId, ReadFile> files_;
    std::vector<Triangle> triangles_;
    std::vector<CornerAttributes> corners_;
};

}  // namespace

bool buildOrReset(Renderer& renderer, const std::string& what, const std::function<void()>& build,
                  std::string& error) {
    try {
        build();
    } catch (const std::bad_alloc&) {
        renderer.reset();
        error = what + ": there is not enough memory to set up this scene.";
        return false;
    } catch (const std::length_error&) {
        // A structure would pass the size its indices can count (the
        // kd-tree's nodes, for one).
        renderer.reset();
        error = what + ": this scene is too large to set up.";
        return false;
    }
    return true;
}

std::string resolveScenePath(const std::string& baseDirectory, const std::string& name) {
    const std::filesystem::path path(name);
    if (baseDirectory.empty() || path.is_absolute()) return name;
    return (std::filesystem::path(baseDirectory) / path).string();
}

void buildScene(const SceneDescription& s, const std::string& baseDirectory, Renderer& r,
                Diagnostics& diagnostics, const SceneLimits& limits, Mesh* readMesh) {
    using K = SceneDescription::ObjectEntry::Kind;
    r.reset();
    // The random tables depend on nothing read here: they are made on
    // another thread meanwhile, and put in place after the load-time rays,
    // which are made without them.
    Renderer::Tables tables;
    tbb::task_group tableMaker;
    tableMaker.run([&tables] { tables = Renderer::makeTables(); });
    r.setImageSizes(s.interactiveWidth, s.interactiveHeight, s.stillWidth, s.stillHeight);
    // The eye goes where the file says; the view keeps looking along -z.
    r.getCamera().set(Vec3(0.f, 0.f, 0.f));
    r.getCamera().position = s.cameraPosition;
    r.exposure = s.exposure;
    r.giSampleCount = s.giSampleCount;

    std::vector<const Material*> numbered;
    numbered.reserve(s.materials.size());
    int64_t texelsLeft = limits.environmentTexels;
    MaterialBuild build{baseDirectory, texelsLeft, diagnostics};
    for (const auto& m : s.materials) numbered.push_back(r.addMaterial(m.type->make(m, build)));

    // Every mesh's triangles go into one tree, built once after the last
    // mesh with the last mesh's depth limit.
    MeshCollector meshes(baseDirectory, limits.meshTriangles, diagnostics);
    const MakeLookMaterial makeLook = [&](const SceneMaterialEntry& entry) {
        return r.addMaterial(entry.type->make(entry, build));
    };
    int meshDepth = -1;
    for (const auto& o : s.objects) {
        const Material* material = numbered[size_t(o.material)];
        const auto& v = o.values;
        switch (o.kind) {
            case K::Sphere:
                r.addObject(std::make_unique<Sphere>(Vec4(v[0], v[1], v[2], 0.f),
                                                     Vec4(v[3], v[3], v[3], 0.f), material));
                break;
            case K::SkySphere:
                r.addObject(std::make_unique<SkySphere>(Vec4(v[0], v[0], v[0], 0.f), material));
                break;
            case K::Plane:
                r.addObject(std::make_unique<Plane>(Vec4(v[0], v[1], v[2], v[3]), material));
                break;
            case K::Triangle: {
                auto t = std::make_unique<Triangle>(material);
                t->v0 = vec3At(v, 0);
                t->v1 = vec3At(v, 3);
                t->v2 = vec3At(v, 6);
                t->n0 = unitOrZero(vec3At(v, 9));
                t->n1 = unitOrZero(vec3At(v, 12));
                t->n2 = unitOrZero(vec3At(v, 15));
                t->fillZeroNormals();
                t->t0 = vec3At(v, 18);
                t->t1 = vec3At(v, 21);
                t->t2 = vec3At(v, 24);
                t->computeEdges();
                r.addObject(std::move(t));
                break;
            }
            case K::TriangleMesh:
                if (readMesh)
                    meshes.addRead(o.fileName, *readMesh, material, numbered);
                else
                    meshes.add(o.fileName, material);
                meshDepth = o.kdMaxDepth;
                break;
            case K::ModelMesh:
                meshes.add(o.fileName, material, &makeLook);
                meshDepth = o.kdMaxDepth;
                break;
        }
    }
    if (meshDepth >= 0) r.addMesh(std::move(meshes.triangles()), meshDepth, meshes.corners());
    for (const Light& light : s.lights) r.addLight(light);

    r.finishScene();
    Logger::instance()->write("Reading Scene File Done");
    tableMaker.wait();
    r.installTables(std::move(tables));
    Logger::instance()->write("Random LUT Generated");
}
