#include "render/TgaWriter.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

namespace {

constexpr size_t kHeaderSize = 18;
constexpr uint8_t kUncompressedTrueColour = 2;
constexpr uint8_t kBitsPerPixel = 24;
// Links followed at most before a chain is taken for a circle, as the kernel does.
constexpr int kMaxLinks = 40;

// The temporary file being written, for removeUnfinishedWrite: a signal
// handler may read it at any moment, so it is a plain buffer that is only
// read while the lock-free flag is set.
char gUnfinishedPath[4096];
std::atomic<bool> gUnfinished{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the flag is read in signal handlers");

// Marks path as the temporary file in progress (a longer path than the
// buffer holds cannot be created anyway).
void trackUnfinished(const std::string& path) {
    if (path.size() >= sizeof gUnfinishedPath) return;
    std::memcpy(gUnfinishedPath, path.c_str(), path.size() + 1);
    gUnfinished.store(true);
}

}  // namespace

void removeUnfinishedWrite() {
    if (gUnfinished.load()) ::unlink(gUnfinishedPath);
}

std::vector<uint8_t> encodeTga(int width, int height, const float* rgb) {
    const size_t n = size_t(width) * size_t(height) * 3;
    std::vector<uint8_t> out(kHeaderSize + n, 0);
    out[2] = kUncompressedTrueColour;
    out[12] = uint8_t(width & 0xff);
    out[13] = uint8_t((width >> 8) & 0xff);
    out[14] = uint8_t(height & 0xff);
    out[15] = uint8_t((height >> 8) & 0xff);
    out[16] = kBitsPerPixel;
    out[17] = 0;  // no alpha bits, origin at the lower-left corner
    uint8_t* pixels = out.data() + kHeaderSize;
    for (size_t k = 0; k < n; k += 3) {
        pixels[k] = displayByte(rgb[k + 2]);
        pixels[k + 1] = displayByte(rgb[k + 1]);
        pixels[k + 2] = displayByte(rgb[k]);
    }
    return out;
}

bool writeTarget(const std::string& path, std::string& target, std::string& error) {
    namespace fs = std::filesystem;
    fs::path p(path);
    std::error_code ec;
    for (int links = 0; fs::is_symlink(fs::symlink_status(p, ec)); ++links) {
        const fs::path next = fs::read_symlink(p, ec);
        if (ec || links == kMaxLinks) {
            error = "cannot write \"" + path + "\": its symbolic links lead nowhere";
            return false;
        }
        p = next.is_absolute() ? next : p.parent_path() / next;
    }
    target = p.string();
    const fs::file_status status = fs::status(p, ec);
    if (!fs::exists(status) || fs::is_regular_file(status)) return true;
    error = "cannot write \"" + path + "\": " +
            (target == path ? std::string("it is ") : "it leads to \"" + target + "\", which is ") +
            (fs::is_directory(status) ? "a folder" : "not a regular file");
    return false;
}

bool writeFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         std::string& error) {
    std::string target;
    if (!writeTarget(path, target, error)) return false;
    const std::string temp = target + ".tmp" + std::to_string(::getpid());
    trackUnfinished(temp);
    struct Untrack {
        ~Untrack() { gUnfinished.store(false); }
    } untrack;
    // Messages name the file the user asked for, not the temporary one.
    std::FILE* f = std::fopen(temp.c_str(), "wb");
    if (!f) {
        error = "cannot create \"" + path + "\": " + std::strerror(errno);
        return false;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    const int writeErrno = errno;
    const bool flushed = std::fflush(f) == 0 && ::fsync(::fileno(f)) == 0;
    const int flushErrno = errno;
    const bool closed = std::fclose(f) == 0;
    if (!written || !flushed || !closed) {
        error = "cannot write \"" + path +
                "\": " + std::strerror(!written ? writeErrno : (!flushed ? flushErrno : errno));
        std::remove(temp.c_str());
        return false;
    }
    if (std::rename(temp.c_str(), target.c_str()) != 0) {
        error = "cannot replace \"" + path + "\": " + std::strerror(errno);
        std::remove(temp.c_str());
        return false;
    }
    return true;
}
