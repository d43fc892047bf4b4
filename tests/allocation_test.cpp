// A render pass allocates nothing: every global operator new of this test
// binary is counted, and a pass over a scene with every material kind, a
// mesh and lights must leave the count unchanged.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "tests/support/Support.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TRESK_COUNT_ALLOCATIONS 0  // the sanitizers bring their own operator new
#else
#define TRESK_COUNT_ALLOCATIONS 1
#endif

#if TRESK_COUNT_ALLOCATIONS
namespace {
std::atomic<long> gAllocations{0};
}

void* operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, std::align_val_t align) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    const std::size_t a = static_cast<std::size_t>(align);
    if (void* p = std::aligned_alloc(a, (size + a - 1) / a * a)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, std::align_val_t align) { return operator new(size, align); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
#endif

using namespace support;

TEST(Allocation, RenderPassesAllocateNothing) {
#if !TRESK_COUNT_ALLOCATIONS
    GTEST_SKIP() << "allocation counting is off under sanitizers";
#else
    // Every material kind, an environment image, a mesh and two lights.
    std::string error;
    ASSERT_TRUE(loadSceneText(
        "0 2 48 32 64 48 0 0.5 3 1\n7 diffusephongmaterial 0.8 0.8 0.8\n"
        "diffusegiphongmaterial 0.7 0.6 0.5  glossyreflectionmaterial 0.9 0.9 0.9\n"
        "simplephongmaterial 1 1 1  dielectricmaterial 1 1 1  debugmaterial 0.5 0.7 1\n"
        "hdrenvmap sky.hdr\n7 plane 0 1 0 1 1  sphere -1.5 0 -5 1 2  sphere 0 0 -5 1 4\n"
        "sphere 1.5 0 -5 1 3  trianglemesh model.obj 8 0  sphere 0 3 -6 1 5  skysphere 100 6\n"
        "2 a 2 4 0 0 20 20 20 0  b -3 3 -2 0 5 5 8 0\n",
        dataPath("example/test.txt"), error))
        << error;
    Renderer& r = *Renderer::instance();
    r.render();  // let the scheduler start its threads before counting

    const long before = gAllocations.load();
    r.render();
    for (int i = 0; i < 3; ++i) r.renderProgressive();
    r.setStillMode(true);
    r.render();
    r.renderProgressive();
    EXPECT_EQ(gAllocations.load() - before, 0);

    // The counter itself is live.
    const long probe = gAllocations.load();
    auto allocated = std::make_unique<int>(1);
    EXPECT_EQ(gAllocations.load(), probe + 1);
#endif
}
