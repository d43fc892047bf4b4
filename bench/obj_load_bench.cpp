// Prints how fast the OBJ reader turns text into triangles: a generated
// mesh of about a million triangles, and any OBJ files named on the command
// line (for instance the packaged models under /usr/share/assimp).
//
//   obj_load_bench [--triangles N] [file.obj ...]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "scene/ObjMeshReader.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// A height field of side n: n² vertices with texture coordinates and
// normals, and 2 (n - 1)² triangles written the way exporters write them.
void writeGrid(const std::string& path, int n) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (!f) {
        std::perror(path.c_str());
        std::exit(1);
    }
    std::fprintf(f, "# generated height field\nmtllib grid.mtl\no grid\n");
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            std::fprintf(f, "v %.6f %.6f %.6f\n", x / double(n),
                         0.05 * ((x * 7 + y * 13) % 17) / 17.0, y / double(n));
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x) std::fprintf(f, "vt %.6f %.6f\n", x / double(n), y / double(n));
    for (int y = 0; y < n; ++y)
        for (int x = 0; x < n; ++x)
            std::fprintf(f, "vn %.6f %.6f %.6f\n", 0.01 * (x % 7), 1.0, 0.01 * (y % 5));
    std::fprintf(f, "usemtl ground\ns 1\n");
    for (int y = 0; y + 1 < n; ++y)
        for (int x = 0; x + 1 < n; ++x) {
            const int a = y * n + x + 1, b = a + 1, c = a + n, d = c + 1;
            std::fprintf(f, "f %d/%d/%d %d/%d/%d %d/%d/%d\n", a, a, a, c, c, c, b, b, b);
            std::fprintf(f, "f %d/%d/%d %d/%d/%d %d/%d/%d\n", b, b, b, c, c, c, d, d, d);
        }
    std::fclose(f);
}

size_t lineCount(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::vector<char> buffer(1 << 20);
    size_t lines = 0;
    while (in.read(buffer.data(), std::streamsize(buffer.size())) || in.gcount() > 0) {
        const size_t got = size_t(in.gcount());
        for (size_t i = 0; i < got; ++i) lines += buffer[i] == '\n';
    }
    return lines;
}

void measure(const std::string& path, int repeats) {
    const size_t lines = lineCount(path);
    const double megabytes = double(std::filesystem::file_size(path)) / 1e6;
    double best = 1e30, fillBest = 1e30;
    int triangles = 0;
    for (int i = 0; i < repeats; ++i) {
        std::ifstream in(path, std::ios::binary);
        ObjMeshReader reader;
        std::string error;
        const auto start = Clock::now();
        if (!reader.parse(in, path, error)) {
            std::printf("%s: rejected: %s\n", path.c_str(), error.c_str());
            return;
        }
        best = std::min(best, secondsSince(start));
        triangles = reader.triangleCount();
        std::vector<Triangle> out;
        const auto fillStart = Clock::now();
        reader.fillTriangles(out, nullptr);
        fillBest = std::min(fillBest, secondsSince(fillStart));
    }
    std::printf("%s\n  %zu lines, %.1f MB, %d triangles\n", path.c_str(), lines, megabytes,
                triangles);
    std::printf("  parse %.3f s: %.1f M lines/s, %.0f MB/s; fill triangles %.3f s\n", best,
                double(lines) / best / 1e6, megabytes / best, fillBest);
}

}  // namespace

int main(int argc, char** argv) {
    int triangles = 1000000;
    std::vector<std::string> files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--triangles") == 0 && i + 1 < argc)
            triangles = std::atoi(argv[++i]);
        else
            files.push_back(argv[i]);
    }
    int side = 2;
    while (2 * (side - 1) * (side - 1) < triangles) ++side;
    const std::string grid =
        (std::filesystem::temp_directory_path() / "tresk-bench-grid.obj").string();
    writeGrid(grid, side);
    measure(grid, 3);
    std::filesystem::remove(grid);
    for (const std::string& f : files) measure(f, 20);
}
