#include "core/HugePages.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdint>

void adviseHugePages(const void* data, size_t bytes) {
    if (bytes < kHugePageBytes) return;
    const uintptr_t mask = kHugePageBytes - 1;
    const uintptr_t begin = (uintptr_t(data) + mask) & ~mask;
    const uintptr_t end = (uintptr_t(data) + bytes) & ~mask;
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
}

void returnFreedMemory() { malloc_trim(0); }
