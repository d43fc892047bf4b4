// Reading a model file in a child process (ModelFormat::isolated), for
// readers that are not built with this project's sanitizers and have a
// history of memory-safety faults: a fault ends the child, not the program,
// and a reader busy for too long is stopped. The mesh comes back through a
// pipe, each list no longer than a model may hold.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "scene/ModelReaders.h"
#include "scene/ObjMeshReader.h"

namespace {

// Longest failure message taken from the child: a path and a sentence.
constexpr size_t kMaxMessage = size_t(1) << 16;

// How long a reader may take over one file.
constexpr int kChildSeconds = 60;
// Most materials taken from one model.
constexpr size_t kMaxMaterials = 65536;

using Deadline = std::chrono::steady_clock::time_point;

// Moves exactly size bytes through the pipe, or fails; a read waits no
// longer than the deadline.
bool transfer(int fd, char* p, size_t size, bool writing, Deadline deadline) {
    while (size > 0) {
        if (!writing) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd poller{fd, POLLIN, 0};
            const int ready = left.count() > 0 ? ::poll(&poller, 1, int(left.count())) : 0;
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) return false;
        }
        const ssize_t n = writing ? ::write(fd, p, size) : ::read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= size_t(n);
    }
    return true;
}

bool writeAll(int fd, const void* data, size_t size) {
    return transfer(fd, static_cast<char*>(const_cast<void*>(data)), size, true, Deadline());
}

bool readAll(int fd, void* data, size_t size, Deadline deadline) {
    return transfer(fd, static_cast<char*>(data), size, false, deadline);
}

template <class T>
bool writeList(int fd, const std::vector<T>& list) {
    const uint64_t count = list.size();
    return writeAll(fd, &count, sizeof count) && writeAll(fd, list.data(), count * sizeof(T));
}

template <class T>
bool readList(int fd, std::vector<T>& list, size_t limit, Deadline deadline) {
    uint64_t count = 0;
    if (!readAll(fd, &count, sizeof count, deadline) || count > limit) return false;
    list.resize(size_t(count));
    return readAll(fd, list.data(), size_t(count) * sizeof(T), deadline);
}

// A model material as it goes through the pipe: the parts that a library
// material gives.
struct SentMaterial {
    int32_t kind;
    float colour[3];
    float ior, alphaCutoff;
    int32_t wrapU, wrapV;
};

// All of a model's embedded images together, and a texture's path, at most.
constexpr size_t kMaxImageBytes = size_t(256) << 20;
constexpr size_t kMaxPath = 4096;

// The texture of each material, and the warnings, after the materials.
bool sendTextures(int fd, const ModelLook& look) {
    std::string warnings;
    for (const Diagnostic& d : look.diagnostics) warnings += d.text + '\n';
    for (const ModelMaterial& m : look.materials)
        if (!writeList(fd, std::vector<char>(m.textureFile.begin(), m.textureFile.end())) ||
            !writeList(fd, m.textureBytes))
            return false;
    return writeList(fd, std::vector<char>(warnings.begin(), warnings.end()));
}

bool receiveTextures(int fd, ModelLook& look, Deadline deadline) {
    size_t bytesLeft = kMaxImageBytes;
    for (ModelMaterial& m : look.materials) {
        std::vector<char> file;
        if (!readList(fd, file, kMaxPath, deadline) ||
            !readList(fd, m.textureBytes, bytesLeft, deadline))
            return false;
        m.textureFile.assign(file.begin(), file.end());
        bytesLeft -= m.textureBytes.size();
    }
    std::vector<char> warnings;
    if (!readList(fd, warnings, kMaxMessage, deadline)) return false;
    const std::string text(warnings.begin(), warnings.end());
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
        look.diagnostics.push_back({Severity::Warning, "", 0, text.substr(at, end - at), ""});
    return true;
}

std::vector<SentMaterial> sentLooks(const ModelLook& look) {
    std::vector<SentMaterial> sent;
    for (const ModelMaterial& m : look.materials)
        sent.push_back({int32_t(m.kind),
                        {m.colour.x, m.colour.y, m.colour.z},
                        m.ior,
                        m.alphaCutoff,
                        int32_t(m.wrapU),
                        int32_t(m.wrapV)});
    return sent;
}

// The materials again; false for one the child could not have sent.
bool receivedLooks(const std::vector<SentMaterial>& sent, ModelLook& look) {
    for (const SentMaterial& s : sent) {
        if (s.kind < 0 || s.kind > int32_t(ModelMaterial::Kind::Glass)) return false;
        ModelMaterial m;
        m.kind = ModelMaterial::Kind(s.kind);
        m.colour = Vec3(s.colour[0], s.colour[1], s.colour[2]);
        m.ior = s.ior;
        m.alphaCutoff = s.alphaCutoff;
        if (s.wrapU < 0 || s.wrapU > 2 || s.wrapV < 0 || s.wrapV > 2) return false;
        m.wrapU = ModelMaterial::Wrap(s.wrapU);
        m.wrapV = ModelMaterial::Wrap(s.wrapV);
        look.materials.push_back(m);
    }
    return true;
}

// Whether every index names an entry of a list of count (or is -1, for
// "none", where that is allowed): the child's lists are not trusted.
bool indicesWithin(const std::vector<int32_t>& indices, size_t count, bool noneAllowed) {
    const int32_t lowest = noneAllowed ? -1 : 0;
    return std::all_of(indices.begin(), indices.end(), [count, lowest](int32_t i) {
        return i >= lowest && (i < 0 || size_t(i) < count);
    });
}

bool validLooks(const Mesh& mesh) {
    return (mesh.colours.empty() || mesh.colours.size() == mesh.positions.size()) &&
           (mesh.materialIndices.empty() ||
            mesh.materialIndices.size() == size_t(mesh.triangleCount())) &&
           indicesWithin(mesh.materialIndices, mesh.look.materials.size(), true);
}

bool validIndices(const Mesh& mesh) {
    return mesh.normalIndices.size() == mesh.positionIndices.size() &&
           mesh.texCoordIndices.size() == mesh.positionIndices.size() &&
           indicesWithin(mesh.positionIndices, mesh.positions.size(), false) &&
           indicesWithin(mesh.normalIndices, mesh.normals.size(), true) &&
           indicesWithin(mesh.texCoordIndices, mesh.texCoords.size(), true);
}

// The lists of a mesh, in the order they go through the pipe.
template <class F>
bool eachList(Mesh& mesh, F&& f) {
    const size_t vertices = size_t(ObjMeshReader::kMaxVertices);
    const size_t indices = 3 * size_t(ObjMeshReader::kMaxTriangles);
    // Normals: the file's, one per vertex, and those made within the crease
    // angle, at most one per corner.
    return f(mesh.positions, vertices) && f(mesh.normals, vertices + indices) &&
           f(mesh.texCoords, vertices) && f(mesh.colours, vertices) &&
           f(mesh.positionIndices, indices) && f(mesh.texCoordIndices, indices) &&
           f(mesh.normalIndices, indices) &&
           f(mesh.materialIndices, size_t(ObjMeshReader::kMaxTriangles));
}

bool sendMesh(int fd, Mesh& mesh) {
    return eachList(mesh, [fd](const auto& list, size_t) { return writeList(fd, list); }) &&
           writeList(fd, sentLooks(mesh.look)) && sendTextures(fd, mesh.look) &&
           writeAll(fd, &mesh.degenerateTriangles, sizeof mesh.degenerateTriangles);
}

bool receiveMesh(int fd, Mesh& mesh, Deadline deadline) {
    std::vector<SentMaterial> looks;
    return eachList(mesh, [&](auto& list,
                              size_t limit) { return readList(fd, list, limit, deadline); }) &&
           readList(fd, looks, kMaxMaterials, deadline) && receivedLooks(looks, mesh.look) &&
           receiveTextures(fd, mesh.look, deadline) && validLooks(mesh) &&
           readAll(fd, &mesh.degenerateTriangles, sizeof mesh.degenerateTriangles, deadline) &&
           validIndices(mesh);
}

}  // namespace

// The reader reads the file in a child process and hands the mesh back
// through a pipe: a fault inside it (on damaged glTF files the library has
// followed a null pointer and failed its own assertions, found by the model
// fuzzer) ends the child, not the program, and a file that keeps it busy is
// stopped.
bool readIsolated(const ModelFormat& format, const std::string& path, Mesh& mesh,
                  std::string& error) {
    int fds[2];
    if (::pipe(fds) != 0) return format.read(path, mesh, error);
    const pid_t child = ::fork();
    if (child < 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return format.read(path, mesh, error);
    }
    if (child == 0) {
        ::close(fds[0]);
        // A fault of the reader ends the child by its signal, whatever
        // handlers the program had installed (a sanitizer's, a fuzzer's).
        for (int fault : {SIGSEGV, SIGBUS, SIGABRT, SIGFPE, SIGILL}) std::signal(fault, SIG_DFL);
        const uint8_t ok = format.read(path, mesh, error) ? 1 : 0;
        const bool sent = writeAll(fds[1], &ok, 1) &&
                          (ok ? sendMesh(fds[1], mesh)
                              : writeList(fds[1], std::vector<char>(error.begin(), error.end())));
        ::_exit(sent ? 0 : 1);
    }
    ::close(fds[1]);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(kChildSeconds);
    uint8_t ok = 0;
    bool received = readAll(fds[0], &ok, 1, deadline);
    std::vector<char> text;
    if (received && ok)
        received = receiveMesh(fds[0], mesh, deadline);
    else if (received)
        received = readList(fds[0], text, kMaxMessage, deadline);
    ::close(fds[0]);
    // Silent until the deadline: busy for too long. (A child that failed
    // closed the pipe early.)
    const bool stopped = !received && std::chrono::steady_clock::now() >= deadline;
    if (!received) ::kill(child, SIGKILL);  // nothing to a child that has ended
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    if (received && ok) return true;
    mesh = Mesh();
    const std::string reader = format.reader;
    if (received)
        error.assign(text.begin(), text.end());
    else if (stopped)
        error = modelFileMessage(path, reader + " did not finish reading it within " +
                                           std::to_string(kChildSeconds) + " s");
    else if (WIFSIGNALED(status))
        error = modelFileMessage(path, reader + " failed on it (signal " +
                                           std::to_string(WTERMSIG(status)) + ", " +
                                           strsignal(WTERMSIG(status)) + ")");
    else
        error = modelFileMessage(path, reader + " failed on it");
    return false;
}
