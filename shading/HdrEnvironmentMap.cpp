#include "shading/HdrEnvironmentMap.h"

#include <FreeImage.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "core/BoundedMath.h"
#include "shading/ImageLibrary.h"

namespace {

// 1/π in single precision, a hair below the true value. The lookup runs in
// double precision so that this shortfall survives: the angle π lands just
// below width − 1 and height − 1 and floors to the texel before (in single
// precision the product would round up to exactly 1).
constexpr double kInvPi = double(0.31830987f);
constexpr unsigned kBytesPerTexel = 3 * sizeof(float);

// What the header of a Radiance file says, read the way the image library
// reads it, because the library cannot be trusted with every header:
// - it reads each header line into a buffer of 256 bytes and leaves a line
//   of exactly that length (end of line included) without its terminating
//   zero, then copies it (a comment line) into another such buffer, so a
//   crafted line overruns it and the process dies;
// - it reads the size line "-Y height +X width" into unsigned numbers but
//   allocates the image for their absolute values, so a negative size has
//   it write rows far outside the pixels.
// Both are refused before the library sees the file.
constexpr size_t kLibraryLineBuffer = 256;

struct HeaderScan {
    int overlongLine = 0;  // number (from 1) of the first line too long; 0: none
    bool sizeFound = false;
    long long width = 0, height = 0;
};

HeaderScan scanHeader(const std::string& fileName) {
    HeaderScan scan;
    std::ifstream in(fileName, std::ios::binary);
    if (!in) return scan;  // the library will say that it cannot read it
    std::streambuf* buf = in.rdbuf();
    bool headerEnded = false;
    for (int line = 1;; ++line) {
        std::string text;
        int c = buf->sbumpc();
        if (c == std::char_traits<char>::eof()) return scan;
        const int first = c;
        while (c != std::char_traits<char>::eof() && c != '\n') {
            text.push_back(char(c));
            if (text.size() >= kLibraryLineBuffer) {
                scan.overlongLine = line;
                return scan;
            }
            c = buf->sbumpc();
        }
        if (text.size() + 1 >= kLibraryLineBuffer) {  // ends exactly at the buffer's end
            scan.overlongLine = line;
            return scan;
        }
        if (headerEnded) {
            // The size line, matched as the library matches it (whose
            // numbers are ints: anything longer is out of range anyway).
            long long h = 0, w = 0;
            char extra = 0;
            if (std::sscanf(text.c_str(), "-Y %lld +X %lld%c", &h, &w, &extra) >= 2) {
                scan.sizeFound = true;
                scan.height = h;
                scan.width = w;
            }
            return scan;
        }
        // The library ends the header at an empty line or one that starts
        // with a zero byte; the size line follows.
        if (line > 1 && (first == '\n' || first == '\0')) headerEnded = true;
    }
}

// Floors v and clamps it to [0, last]; not-a-number gives 0. (For v >= 1
// truncation is the floor, and the floor reaches last exactly when v does.)
int32_t clampedIndex(double v, int32_t last) {
    if (!(v >= 1.0)) return 0;
    if (v >= double(last)) return last;
    return int32_t(v);
}

// The index of an angle's texel when the angle may be any value within
// kAtan2Error of approximate: the library's function (exact) is called only
// when the two ends of that interval fall in different texels.
template <typename IndexOf, typename Exact>
int32_t boundedIndex(double approximate, IndexOf indexOf, Exact exact) {
    const int32_t low = indexOf(approximate - bounded::kAtan2Error);
    if (low == indexOf(approximate + bounded::kAtan2Error)) return low;
    return indexOf(exact());
}

}  // namespace

HdrEnvironmentMap::~HdrEnvironmentMap() { release(); }

void HdrEnvironmentMap::release() {
    if (bitmap) FreeImage_Unload(bitmap);
    bitmap = nullptr;
    pixels = nullptr;
    width = height = 0;
}

void HdrEnvironmentMap::setProblem(const std::string& text) { problem_ = text; }

bool HdrEnvironmentMap::load(const std::string& fileName, int64_t maxTexels) {
    release();
    problem_.clear();
    ensureImageLibrary();
    const std::string subject = "Environment image \"" + fileName + "\": ";
    const std::string stays = "; the background stays black";
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(fileName, ec);
    if (status.type() == std::filesystem::file_type::not_found) {
        setProblem(subject + "is missing (there is no such file)" + stays);
        return false;
    }
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status)) {
        setProblem(subject + "is not a regular file (a folder, device or pipe)" + stays);
        return false;
    }
    const HeaderScan scan = scanHeader(fileName);
    if (scan.overlongLine) {
        setProblem(subject + "header line " + std::to_string(scan.overlongLine) + " is " +
                   std::to_string(kLibraryLineBuffer) +
                   " bytes or longer, more than the image library can read safely" + stays);
        return false;
    }
    if (!scan.sizeFound) {
        setProblem(subject + "cannot be read as a Radiance HDR image" + stays);
        return false;
    }
    // The size is checked from the header before the library allocates the
    // pixels.
    const int64_t limit = std::min(maxTexels, kMaxTexels);
    if (scan.width < 1 || scan.height < 1 || scan.width > kMaxSide || scan.height > kMaxSide ||
        scan.width * scan.height > limit) {
        std::string rule = "from 1 to " + std::to_string(kMaxSide) + " texels a side and at most " +
                           std::to_string(kMaxTexels) + " texels in all (16384 x 8192)";
        if (limit < kMaxTexels)
            rule += ", and only " + std::to_string(std::max<int64_t>(limit, 0)) +
                    " texels are left of what the scene's environment images may have together";
        setProblem(subject + "is " + std::to_string(scan.width) + " x " +
                   std::to_string(scan.height) + " texels; an environment image may have " + rule +
                   stays);
        return false;
    }
    // The library must read the same header.
    FIBITMAP* header = FreeImage_Load(FIF_HDR, fileName.c_str(), FIF_LOAD_NOPIXELS);
    const bool sameSize = header && FreeImage_GetWidth(header) == unsigned(scan.width) &&
                          FreeImage_GetHeight(header) == unsigned(scan.height);
    if (header) FreeImage_Unload(header);
    if (!sameSize) {
        setProblem(subject + "cannot be read as a Radiance HDR image" + stays);
        return false;
    }
    bitmap = FreeImage_Load(FIF_HDR, fileName.c_str(), 0);
    if (!bitmap) {
        setProblem(subject + "cannot be read as a Radiance HDR image" + stays);
        return false;
    }
    const unsigned w = FreeImage_GetWidth(bitmap);
    const unsigned h = FreeImage_GetHeight(bitmap);
    // The size the header announced (the file may have changed in between).
    const bool shapeOk =
        FreeImage_HasPixels(bitmap) && FreeImage_GetImageType(bitmap) == FIT_RGBF && w > 0 &&
        h > 0 && w == unsigned(scan.width) && h == unsigned(scan.height) &&
        FreeImage_GetLine(bitmap) == w * kBytesPerTexel &&
        FreeImage_GetPitch(bitmap) == w * kBytesPerTexel && FreeImage_GetBits(bitmap) != nullptr;
    if (!shapeOk) {
        setProblem(subject + "not 96-bit float RGB with rows of 12 x " + std::to_string(w) +
                   " bytes (type " + std::to_string(int(FreeImage_GetImageType(bitmap))) + ", " +
                   std::to_string(FreeImage_GetBPP(bitmap)) + " bits, rows of " +
                   std::to_string(FreeImage_GetPitch(bitmap)) + " bytes)" + stays);
        release();
        return false;
    }
    width = int32_t(w);
    height = int32_t(h);
    pixels = reinterpret_cast<const float*>(FreeImage_GetBits(bitmap));
    return true;
}

Vec4 HdrEnvironmentMap::shade(HitRecord& hit) const { return lookup(hit.normal); }

int32_t HdrEnvironmentMap::columnOf(double angle) const {
    return clampedIndex((angle * kInvPi + 1.0) * 0.5 * (width - 1), width - 1);
}

int32_t HdrEnvironmentMap::rowOf(double angle) const {
    return clampedIndex(angle * kInvPi * (height - 1), height - 1);
}

size_t HdrEnvironmentMap::texelOf(const Vec4& n) const {
    const double x = double(n.x), z = -double(n.z);
    const double ny = std::clamp(double(n.y), -1.0, 1.0);
    if (bounded::atan2Applies(x, z) && ny == ny) {
        // Column (lane 0) and row (lane 1) together: columnOf and rowOf of
        // the angle widened both ways by the bound, each lane the same
        // arithmetic as its scalar form (adding 0 and multiplying by 1 in
        // the row's lane change nothing that the index could see).
        const __m128d angles = bounded::atan2Pair(
            _mm_setr_pd(x, std::sqrt((1.0 - ny) * (1.0 + ny))), _mm_setr_pd(z, ny));
        const __m128d last = _mm_setr_pd(double(width - 1), double(height - 1));
        const auto indices = [&](__m128d a) {
            const __m128d v = _mm_mul_pd(
                _mm_mul_pd(_mm_add_pd(_mm_mul_pd(a, _mm_set1_pd(kInvPi)), _mm_setr_pd(1.0, 0.0)),
                           _mm_setr_pd(0.5, 1.0)),
                last);
            // clampedIndex per lane: below 1 or not a number 0, at or past
            // last last, else truncated.
            const __m128d atLeastOne = _mm_cmpge_pd(v, _mm_set1_pd(1.0));
            return _mm_cvttpd_epi32(_mm_and_pd(atLeastOne, _mm_min_pd(v, last)));
        };
        const __m128d error = _mm_set1_pd(bounded::kAtan2Error);
        const __m128i low = indices(_mm_sub_pd(angles, error));
        const __m128i high = indices(_mm_add_pd(angles, error));
        int32_t col = _mm_cvtsi128_si32(low), r = _mm_cvtsi128_si32(_mm_srli_si128(low, 4));
        const int same = _mm_movemask_ps(_mm_castsi128_ps(_mm_cmpeq_epi32(low, high)));
        if (!(same & 1)) col = columnOf(std::atan2(x, z));
        if (!(same & 2)) r = rowOf(std::acos(ny));
        return size_t(col) + size_t(r) * size_t(width);
    }
    const auto column = [this](double a) { return columnOf(a); };
    const auto row = [this](double a) { return rowOf(a); };
    const int32_t col = bounded::atan2Applies(x, z) ? boundedIndex(bounded::atan2(x, z), column,
                                                                   [&] { return std::atan2(x, z); })
                                                    : columnOf(std::atan2(x, z));
    // acos y = atan2(sqrt(1 − y²), y); the rounding of the square root moves
    // the angle by far less than the bound.
    const int32_t r = ny == ny
                          ? boundedIndex(bounded::atan2(std::sqrt((1.0 - ny) * (1.0 + ny)), ny),
                                         row, [&] { return std::acos(ny); })
                          : rowOf(std::acos(ny));
    return size_t(col) + size_t(r) * size_t(width);
}

Vec4 HdrEnvironmentMap::lookup(const Vec4& n) const {
    if (!pixels) return Vec4();
    const float* texel = pixels + 3 * texelOf(n);
    return Vec4(texel[0], texel[1], texel[2], 0.f);
}
