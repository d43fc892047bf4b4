// The scene reader's first phase: the scene file read, word by word, into a
// checked SceneDescription.
#include "scene/SceneParser.h"

#include <charconv>
#include <cmath>
#include <istream>
#include <limits>
#include <map>
#include <streambuf>

#include "render/Renderer.h"
#include "scene/ByteOrderMark.h"
#include "scene/NumberParsing.h"
#include "scene/TextSnippet.h"

namespace {

// Longest word kept: file names up to the usual path limit. A longer word
// is reported, never stored whole.
constexpr size_t kMaxWord = 4096;
// Largest GI sample count: far beyond any useful render, and small enough
// that the materials can turn it into an integer safely.
constexpr float kMaxGiSamples = 1000000.f;
// Warnings kept per file: enough to point at the cause, never a flood.
constexpr size_t kMaxWarnings = 10;

inline bool isSpace(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Whitespace-separated words with the line each starts on, read straight
// from the stream's buffer. Reading stops after SceneReader::kMaxFileBytes
// bytes, so that an input that never ends (a device, a pipe, a sparse file)
// cannot keep the reader busy for ever.
class Tokens {
public:
    explicit Tokens(std::istream& in) : buf_(in.rdbuf()) {}

    // False at the end of the input or once the limit is passed.
    bool next(std::string& word, bool& tooLong) {
        word.clear();
        tooLong = false;
        if (!buf_ || tooLarge_) return false;
        int c = buf_->sgetc();
        while (c != std::char_traits<char>::eof() && isSpace(c)) {
            if (c == '\n') ++line_;
            if (!advance(c)) return false;
        }
        if (c == std::char_traits<char>::eof()) return false;
        wordLine_ = line_;
        while (c != std::char_traits<char>::eof() && !isSpace(c)) {
            if (word.size() < kMaxWord)
                word.push_back(char(c));
            else
                tooLong = true;
            if (!advance(c)) return false;
        }
        if (firstWord_) {
            firstWord_ = false;
            word.erase(0, byteOrderMarkLength(word.data(), word.data() + word.size()));
            if (word.empty()) return next(word, tooLong);  // the mark stood alone
        }
        return true;
    }

    int wordLine() const { return wordLine_; }
    int line() const { return line_; }
    // Whether reading stopped at the size limit.
    bool tooLarge() const { return tooLarge_; }

private:
    bool advance(int& c) {
        if (++consumed_ > SceneReader::kMaxFileBytes) {
            tooLarge_ = true;
            return false;
        }
        c = buf_->snextc();
        return true;
    }

    std::streambuf* buf_;
    int64_t consumed_ = 0;
    bool tooLarge_ = false;
    int line_ = 1;
    int wordLine_ = 1;
    bool firstWord_ = true;
};

std::string tooLargeText() {
    return "the file goes on past " + std::to_string(SceneReader::kMaxFileBytes) +
           " bytes (64 MiB), the most a scene file may hold";
}

const char* const kColourNames[3] = {"red", "green", "blue"};

// The checks of phase one, one token at a time.
class Parser {
public:
    Parser(std::istream& in, const std::string& fileName) : tokens_(in), fileName_(fileName) {}

    // Appends the warnings, or on failure the one message that stopped it.
    bool run(SceneDescription& s, Diagnostics& diagnostics) {
        const bool ok = header(s) && materials(s) && objects(s) && lights(s) && rest();
        if (!ok) {
            diagnostics.push_back({Severity::Fatal, fileName_, line_, error_, ""});
            return false;
        }
        diagnostics.insert(diagnostics.end(), warnings_.begin(), warnings_.end());
        return true;
    }

private:
    using Kind = SceneDescription::ObjectEntry::Kind;

    bool rest() {
        // What follows the last light is ignored, but it usually means that
        // a count is too small or a keyword was mistyped: say so.
        bool tooLong = false;
        if (tokens_.next(token_, tooLong)) {
            const std::string rest = "the rest of the file, from " + quoteSnippet(token_) + " on";
            warn(tokens_.wordLine(),
                 "the scene ends after the last light; " + rest + ", is ignored");
        } else if (tokens_.tooLarge()) {
            line_ = tokens_.line();
            error_ = "Scene file \"" + fileName_ + "\", line " + std::to_string(line_) + ": " +
                     tooLargeText() + ".";
            return false;
        }
        return true;
    }

    bool header(SceneDescription& s) {
        int flag = 0;
        if (!readInt("the still-mode flag (0 or 1)", 0, 1, flag)) return false;
        s.stillMode = flag == 1;
        if (!readFloat("the GI sample count (a number from 0 to 1000000)", s.giSampleCount, 0.f,
                       kMaxGiSamples))
            return false;
        return readSize("interactive", s.interactiveWidth, s.interactiveHeight) &&
               readSize("still", s.stillWidth, s.stillHeight) &&
               readFloat("the camera position x (a number)", s.cameraPosition.x) &&
               readFloat("the camera position y (a number)", s.cameraPosition.y) &&
               readFloat("the camera position z (a number)", s.cameraPosition.z) &&
               readFloat("the exposure (a number of 0 or more)", s.exposure, 0.f);
    }

    bool readSize(const std::string& which, int& width, int& height) {
        const std::string side =
            " (a whole number from 1 to " + std::to_string(Renderer::kMaxImageSide) + ")";
        if (!readInt("the " + which + " image width" + side, 1, Renderer::kMaxImageSide, width) ||
            !readInt("the " + which + " image height" + side, 1, Renderer::kMaxImageSide, height))
            return false;
        if (Renderer::validImageSize(width, height)) return true;
        return fail("expected the " + which + " image size to be at most " +
                    std::to_string(Renderer::kMaxImagePixels) + " pixels in all, but found " +
                    std::to_string(width) + " x " + std::to_string(height) + " = " +
                    std::to_string(int64_t(width) * height) + " pixels");
    }

    bool materials(SceneDescription& s) {
        if (!readCount("the material count", s.materialEntries)) return false;
        for (int i = 0; i < s.materialEntries; ++i) {
            const std::string entry = "material entry " + std::to_string(i + 1) + " of " +
                                      std::to_string(s.materialEntries);
            std::string word;
            if (!readWord("a material keyword for " + entry, word)) return false;
            SceneDescription::MaterialEntry m;
            m.type = findSceneMaterial(word);
            if (!m.type) {
                noteUnrecognised(word, "material");
                continue;
            }
            const std::string of = " of \"" + word + "\" (" + entry + ")";
            if (m.type->parameters == MaterialParameters::ImageFile) {
                if (!readWord("the image file name" + of, m.fileName)) return false;
            } else {
                float rgb[3];
                for (int c = 0; c < 3; ++c)
                    if (!readFloat(
                            "the " + std::string(kColourNames[c]) + " value" + of + " (a number)",
                            rgb[c]))
                        return false;
                m.colour = Vec3(rgb[0], rgb[1], rgb[2]);
            }
            s.materials.push_back(std::move(m));
        }
        return true;
    }

    bool objects(SceneDescription& s) {
        if (!readCount("the object count", s.objectEntries)) return false;
        const int materialCount = int(s.materials.size());
        for (int i = 0; i < s.objectEntries; ++i) {
            const std::string entry =
                "object entry " + std::to_string(i + 1) + " of " + std::to_string(s.objectEntries);
            std::string word;
            if (!readWord("an object keyword for " + entry, word)) return false;
            SceneDescription::ObjectEntry o;
            int valueCount = 0;
            if (word == "sphere") {
                o.kind = Kind::Sphere;
                valueCount = 4;
            } else if (word == "skysphere") {
                o.kind = Kind::SkySphere;
                valueCount = 1;
            } else if (word == "plane") {
                o.kind = Kind::Plane;
                valueCount = 4;
            } else if (word == "triangle") {
                o.kind = Kind::Triangle;
                valueCount = 27;
            } else if (word == "trianglemesh") {
                o.kind = Kind::TriangleMesh;
            } else if (word == "modelmesh") {
                o.kind = Kind::ModelMesh;
            } else {
                noteUnrecognised(word, "object");
                continue;
            }
            const std::string of = " of \"" + word + "\" (" + entry + ")";
            for (int v = 0; v < valueCount; ++v)
                if (!readFloat(valueName(o.kind, v) + of + " (a number)", o.values[size_t(v)]))
                    return false;
            if (o.kind == Kind::Plane && !unitPlane(o.values))
                return fail("expected a plane normal (a, b, c) other than zero" + of +
                            ", but found 0 0 0");
            if (o.isMesh() &&
                (!readWord("the OBJ file name" + of, o.fileName) ||
                 !readInt("the kd-tree depth limit" + of + " (a whole number from 0 to " +
                              std::to_string(SceneReader::kMaxKdDepth) + ")",
                          0, SceneReader::kMaxKdDepth, o.kdMaxDepth)))
                return false;
            const std::string number = "the material number" + of;
            if (materialCount == 0) {
                std::string found;
                if (!readWord(number, found)) return false;
                return fail("expected " + number + ", but no material has been created, found " +
                            quoteSnippet(found));
            }
            if (!readInt(number + " (a whole number from 0 to " +
                             std::to_string(materialCount - 1) + ", as " +
                             std::to_string(materialCount) + " materials were created)",
                         0, materialCount - 1, o.material))
                return false;
            s.objects.push_back(std::move(o));
        }
        return true;
    }

    bool lights(SceneDescription& s) {
        static const char* const kFields[8] = {"position x", "position y", "position z",
                                               "position w", "colour r",   "colour g",
                                               "colour b",   "colour a"};
        int count = 0;
        if (!readCount("the light count", count)) return false;
        for (int i = 0; i < count; ++i) {
            const std::string entry =
                "light " + std::to_string(i + 1) + " of " + std::to_string(count);
            std::string name;
            if (!readWord("the name of " + entry + " (any word)", name)) return false;
            float v[8];
            for (int k = 0; k < 8; ++k)
                if (!readFloat("the " + std::string(kFields[k]) + " of light \"" + name + "\" (" +
                                   entry + ", a number)",
                               v[k]))
                    return false;
            s.lights.push_back(Light{Vec4(v[0], v[1], v[2], v[3]), Vec4(v[4], v[5], v[6], v[7])});
        }
        return true;
    }

    // Divides the plane (a, b, c, d) by |(a, b, c)|, so that any multiple of
    // an equation shades alike; false for a zero normal.
    static bool unitPlane(std::array<float, 27>& v) {
        const double a = double(v[0]), b = double(v[1]), c = double(v[2]);
        const double length = std::sqrt(a * a + b * b + c * c);
        if (!(length > 0.0)) return false;
        for (size_t i = 0; i < 4; ++i) v[i] = float(double(v[i]) / length);
        return true;
    }

    static std::string valueName(Kind kind, int v) {
        static const char* const kXyz[3] = {"x", "y", "z"};
        switch (kind) {
            case Kind::Sphere:
                return v < 3 ? std::string("the centre ") + kXyz[v] : "the radius";
            case Kind::SkySphere:
                return "the radius";
            case Kind::Plane:
                return std::string("the coefficient ") + "abcd"[v];
            case Kind::Triangle: {
                static const char* const kGroups[3] = {"vertex", "normal", "texture coordinate"};
                return std::string("the ") + kXyz[v % 3] + " of " + kGroups[v / 9] + " " +
                       std::to_string(v / 3 % 3);
            }
            case Kind::TriangleMesh:
            case Kind::ModelMesh:
                break;
        }
        return "a value";
    }

    // --- Reading one token of a given type ---------------------------------

    bool nextToken(const std::string& expected) {
        bool tooLong = false;
        if (!tokens_.next(token_, tooLong)) {
            if (tokens_.tooLarge()) {
                line_ = tokens_.line();
                return fail("expected " + expected + ", but " + tooLargeText());
            }
            // Point at the last line that held anything.
            return fail("expected " + expected + ", but the file ends here");
        }
        line_ = tokens_.wordLine();
        if (tooLong)
            return fail("expected " + expected + ", but found a word of more than " +
                        std::to_string(kMaxWord) + " characters starting " + quoteSnippet(token_));
        return true;
    }

    bool wrongToken(const std::string& expected) {
        return fail("expected " + expected + ", but found " + quoteSnippet(token_));
    }

    bool readWord(const std::string& expected, std::string& out) {
        if (!nextToken(expected)) return false;
        out = token_;
        return true;
    }

    bool readInt(const std::string& expected, int lo, int hi, int& out) {
        if (!nextToken(expected)) return false;
        const char* b = token_.data();
        const char* e = b + token_.size();
        if (b != e && *b == '+' && e - b > 1 && b[1] != '-') ++b;
        int value = 0;
        const auto [end, ec] = std::from_chars(b, e, value);
        if (ec != std::errc() || end != e || value < lo || value > hi) return wrongToken(expected);
        out = value;
        return true;
    }

    bool readCount(const std::string& what, int& out) {
        return readInt(
            what + " (a whole number from 0 to " + std::to_string(SceneReader::kMaxEntries) + ")",
            0, SceneReader::kMaxEntries, out);
    }

    // A finite float in decimal notation, optionally with a fraction and an
    // exponent, within [lo, hi].
    bool readFloat(const std::string& expected, float& out,
                   float lo = -std::numeric_limits<float>::max(),
                   float hi = std::numeric_limits<float>::max()) {
        if (!nextToken(expected)) return false;
        float value = 0.f;
        if (!parseDecimalFloat(token_.data(), token_.data() + token_.size(), value))
            return wrongToken(expected);
        if (!std::isfinite(value))
            return fail("expected " + expected + ", but found " + quoteSnippet(token_) +
                        ", which is not a finite number");
        if (value < lo || value > hi) return wrongToken(expected);
        out = value;
        return true;
    }

    // A word that is no keyword of its section is allowed and uses up one
    // entry, but it is the likeliest cause of a later error: remember the
    // first one for the message.
    void noteUnrecognised(const std::string& word, const char* section) {
        const std::string what = quoteSnippet(word) + " is no " + section +
                                 " keyword: it used up one " + section +
                                 " entry and created nothing";
        warn(line_, what);
        if (hint_.empty()) hint_ = " (Note: on line " + std::to_string(line_) + ", " + what + ".)";
    }

    void warn(int line, const std::string& what) {
        if (warnings_.size() < kMaxWarnings)
            warnings_.push_back({Severity::Warning, fileName_, line,
                                 "Scene file \"" + fileName_ + "\", line " + std::to_string(line) +
                                     ": " + what + ".",
                                 ""});
    }

    bool fail(const std::string& what) {
        error_ = "Scene file \"" + fileName_ + "\", line " + std::to_string(line_) + ": " + what +
                 "." + hint_;
        return false;
    }

    Tokens tokens_;
    const std::string& fileName_;
    std::string token_;
    int line_ = 1;
    std::string hint_;
    std::string error_;
    Diagnostics warnings_;
};

}  // namespace

bool parseScene(std::istream& in, const std::string& fileName, SceneDescription& scene,
                Diagnostics& diagnostics) {
    scene = SceneDescription();
    Parser parser(in, fileName);
    if (parser.run(scene, diagnostics)) return true;
    scene = SceneDescription();
    return false;
}
