// The image library's start-up, and owners of what it allocates, for every
// file that reads or writes images through it.
#pragma once

#include <FreeImage.h>

#include <memory>

struct BitmapDeleter {
    void operator()(FIBITMAP* bitmap) const { FreeImage_Unload(bitmap); }
};
using Bitmap = std::unique_ptr<FIBITMAP, BitmapDeleter>;

struct MemoryDeleter {
    void operator()(FIMEMORY* memory) const { FreeImage_CloseMemory(memory); }
};
using Memory = std::unique_ptr<FIMEMORY, MemoryDeleter>;

// The library counts its initialisations; this one is never undone, so the
// plug-ins stay registered for every later load in the process.
inline void ensureImageLibrary() {
    static const bool initialised = [] {
        FreeImage_Initialise(FALSE);
        return true;
    }();
    (void)initialised;
}
