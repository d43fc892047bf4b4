// Helpers for tests that touch files: a private temporary directory, a
// scoped change of the working directory, the captured notices, and the
// places where test data and packaged models live.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/Logger.h"
#include "core/Notify.h"
#include "scene/ObjMeshReader.h"

namespace testing_files {

namespace fs = std::filesystem;

inline std::string dataPath(const std::string& name) {
    return std::string(TRESK_SOURCE_DIR) + "/tests/data/" + name;
}

// OBJ models of the assimp-testmodels package (tools/install-deps.sh).
inline std::string packagedObjDirectory() { return "/usr/share/assimp/models/OBJ"; }

inline std::string readText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

// The triangles of an OBJ file, read as a scene would read them; an empty
// list and a failure when the file cannot be read.
inline std::vector<Triangle> readObjTriangles(const std::string& path, const Material* material) {
    std::ifstream in(path);
    ObjMeshReader reader;
    std::string error;
    std::vector<Triangle> triangles;
    if (!reader.parse(in, path, error)) {
        ADD_FAILURE() << error;
        return triangles;
    }
    reader.fillTriangles(triangles, material);
    return triangles;
}

// A fresh directory removed with everything in it at the end of the scope.
class TempDir {
public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "tresk-test-XXXXXX").string();
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        path_ = ::mkdtemp(buffer.data()) ? std::string(buffer.data()) : std::string();
    }
    ~TempDir() {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Runs the scope in another working directory, where "Log.txt" and
// "out.tga" then land.
class WorkingDirectory {
public:
    explicit WorkingDirectory(const std::string& path) : previous_(fs::current_path()) {
        fs::current_path(path);
    }
    ~WorkingDirectory() {
        std::error_code ec;
        fs::current_path(previous_, ec);
    }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

private:
    fs::path previous_;
};

// A fresh directory made the working directory for the scope, so that the
// "Log.txt" and "out.tga" a test writes and reads are its own even when test
// processes run side by side. The log starts afresh there.
class TempWorkingDirectory {
public:
    TempWorkingDirectory() : cd_(dir_.path()) { Logger::instance()->restart(); }

    const std::string& path() const { return dir_.path(); }

private:
    TempDir dir_;
    WorkingDirectory cd_;
};

// Collects the notices shown during the scope instead of printing them.
class CapturedNotices {
public:
    CapturedNotices() {
        setNoticeHandler([this](const std::string& text, const std::string& caption) {
            notices.emplace_back(text, caption);
        });
    }
    ~CapturedNotices() { setNoticeHandler(nullptr); }
    CapturedNotices(const CapturedNotices&) = delete;
    CapturedNotices& operator=(const CapturedNotices&) = delete;

    std::vector<std::pair<std::string, std::string>> notices;  // (text, caption)
};

}  // namespace testing_files
