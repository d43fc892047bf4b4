// Large arrays on huge pages. A fresh process pays a page fault for every
// 4 KiB it touches first, and under a hypervisor each fault is dear: on a
// big mesh they were most of the time of reading the scene. Backing the
// large arrays with 2 MiB pages takes one fault where 512 were.
// And the room that many small temporaries leave behind, given back before
// the next large array is made, so that it does not add to the peak.
#pragma once

#include <cstddef>
#include <vector>

constexpr size_t kHugePageBytes = size_t(2) << 20;

// Asks the kernel to back the whole huge pages inside [data, data + bytes)
// with huge pages when they are first touched. A hint: where the kernel
// cannot or will not, nothing changes.
void adviseHugePages(const void* data, size_t bytes);

// Makes room for n elements, on huge pages when that is at least one huge
// page of new storage; the elements already held are kept.
template <class T>
void reserveOnHugePages(std::vector<T>& v, size_t n) {
    if (n <= v.capacity()) return;
    v.reserve(n);
    // The part past the elements kept is still untouched.
    adviseHugePages(v.data() + v.size(), (n - v.size()) * sizeof(T));
}

// Returns the heap's free pages to the system. Work that frees many small
// blocks (a parallel parse, a tree's per-node lists) leaves them resident,
// and the allocator would keep them while the next large array is placed on
// fresh pages: on a million-triangle mesh that was 20 MB at each of the two
// peaks of reading a scene.
void returnFreedMemory();

// v.assign(n, value), with new storage advised before its first touch.
template <class T>
void assignOnHugePages(std::vector<T>& v, size_t n, const T& value) {
    if (n > v.capacity()) {
        std::vector<T>().swap(v);  // the old storage freed first
        reserveOnHugePages(v, n);
    }
    v.assign(n, value);
}
