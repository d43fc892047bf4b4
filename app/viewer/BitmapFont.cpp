#include "app/viewer/BitmapFont.h"

#include <SDL_opengl.h>
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kFirstChar = 32;
constexpr int kCharCount = 96;
const char* const kFaceName = "Courier New";

GLuint gFontListBase = 0;

// The file and face index that fontconfig picks for the name.
bool matchFace(const char* name, std::string& file, int& index) {
    FcPattern* pattern = FcNameParse(reinterpret_cast<const FcChar8*>(name));
    if (!pattern) return false;
    FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(nullptr, pattern, &result);
    FcPatternDestroy(pattern);
    if (!match) return false;
    FcChar8* path = nullptr;
    bool found = FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch;
    if (found) {
        file = reinterpret_cast<const char*>(path);
        if (FcPatternGetInteger(match, FC_INDEX, 0, &index) != FcResultMatch) index = 0;
    }
    FcPatternDestroy(match);
    return found;
}

// One character's list: its one-bit glyph drawn with its origin on the pen
// position, then the pen advanced. GL bitmaps run bottom row first, FreeType
// glyphs top row first.
void compileGlyph(FT_Face face, GLuint list, unsigned long code) {
    glNewList(list, GL_COMPILE);
    if (FT_Load_Char(face, code, FT_LOAD_RENDER | FT_LOAD_TARGET_MONO | FT_LOAD_MONOCHROME) == 0) {
        const FT_GlyphSlot g = face->glyph;
        const FT_Bitmap& b = g->bitmap;
        const float advance = float(g->advance.x) / 64.f;
        if (b.pixel_mode == FT_PIXEL_MODE_MONO && b.rows > 0 && b.width > 0) {
            const int rowBytes = int(b.width + 7) / 8;
            std::vector<GLubyte> rows(size_t(rowBytes) * b.rows);
            for (unsigned r = 0; r < b.rows; ++r) {
                std::memcpy(&rows[size_t(b.rows - 1 - r) * rowBytes], b.buffer + int(r) * b.pitch,
                            size_t(rowBytes));
            }
            glBitmap(GLsizei(b.width), GLsizei(b.rows), float(-g->bitmap_left),
                     float(int(b.rows) - g->bitmap_top), advance, 0.f, rows.data());
        } else {
            glBitmap(0, 0, 0.f, 0.f, advance, 0.f, nullptr);
        }
    }
    glEndList();
}

}  // namespace

void createFont(int pixelHeight) {
    glColor3f(1.f, 0.f, 0.f);
    gFontListBase = glGenLists(kCharCount);

    std::string file;
    int index = 0;
    FT_Library library = nullptr;
    FT_Face face = nullptr;
    if (!FcInit() || !matchFace(kFaceName, file, index)) {
        std::fprintf(stderr, "tresk: no font matches \"%s\"; the overlay stays empty\n", kFaceName);
    } else if (FT_Init_FreeType(&library) != 0 ||
               FT_New_Face(library, file.c_str(), index, &face) != 0 ||
               FT_Set_Pixel_Sizes(face, 0, FT_UInt(pixelHeight)) != 0) {
        std::fprintf(stderr, "tresk: cannot load the font \"%s\"; the overlay stays empty\n",
                     file.c_str());
        if (face) FT_Done_Face(face);
        face = nullptr;
    }

    GLint alignment = 4;
    glGetIntegerv(GL_UNPACK_ALIGNMENT, &alignment);
    glPixelStorei(GL_UNPACK_ALIGNMENT, 1);  // glyph rows are packed bytes
    for (int i = 0; i < kCharCount; ++i) {
        if (face) {
            compileGlyph(face, gFontListBase + GLuint(i), (unsigned long)(kFirstChar + i));
        } else {
            glNewList(gFontListBase + GLuint(i), GL_COMPILE);
            glEndList();
        }
    }
    glPixelStorei(GL_UNPACK_ALIGNMENT, alignment);

    if (face) FT_Done_Face(face);
    if (library) FT_Done_FreeType(library);
    glColor3f(1.f, 1.f, 1.f);
}

void destroyFont() {
    if (gFontListBase != 0) glDeleteLists(gFontListBase, kCharCount);
    gFontListBase = 0;
}

void printText(const char* format, ...) {
    if (!format) return;
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);

    glPushAttrib(GL_LIST_BIT);
    glListBase(gFontListBase - kFirstChar);
    glCallLists(GLsizei(std::strlen(text)), GL_UNSIGNED_BYTE, text);
    glPopAttrib();
}
