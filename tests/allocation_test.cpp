// A render pass allocates nothing: every global operator new of this test
// binary is counted, and a pass over a scene with every material kind, a
// mesh and lights must leave the count unchanged.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "core/Plane.h"
#include "core/SkySphere.h"
#include "core/Sphere.h"
#include "shading/DielectricMaterial.h"
#include "shading/DiffuseGIPhongMaterial.h"
#include "shading/DiffusePhongMaterial.h"
#include "shading/GlossyReflectionMaterial.h"
#include "shading/SimplePhongMaterial.h"
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
    Renderer& r = freshRenderer(48, 32, 64, 48);
    r.giSampleCount = 2.f;
    const Material* diffuse = addMaterial<DiffusePhongMaterial>(r, 0.8f, 0.8f, 0.8f);
    const Material* gi = addMaterial<DiffuseGIPhongMaterial>(r, 0.7f, 0.6f, 0.5f);
    const Material* glossy = addMaterial<GlossyReflectionMaterial>(r, 0.9f, 0.9f, 0.9f);
    const Material* mirror = addMaterial<SimplePhongMaterial>(r, 1.f, 1.f, 1.f);
    const Material* glass = addMaterial<DielectricMaterial>(r, 1.f, 1.f, 1.f);
    const Material* sky = addMaterial(r, 0.5f, 0.7f, 1.f);
    r.addObject(std::make_unique<Plane>(Vec4(0, 1, 0, 1), gi));
    r.addObject(std::make_unique<Sphere>(Vec4(-1.5f, 0, -5), Vec4(1, 1, 1), glossy));
    r.addObject(std::make_unique<Sphere>(Vec4(0, 0, -5), Vec4(1, 1, 1), glass));
    r.addObject(std::make_unique<Sphere>(Vec4(1.5f, 0, -5), Vec4(1, 1, 1), mirror));
    r.addObject(std::make_unique<SkySphere>(Vec4(100, 100, 100), sky));
    std::vector<Triangle> mesh;
    for (int i = 0; i < 40; ++i) {
        const float x = -2.f + 0.1f * float(i);
        mesh.push_back(triangle(Vec3(x, -0.5f, -3.f), Vec3(x + 0.1f, -0.5f, -3.f),
                                Vec3(x, 0.5f, -3.5f), diffuse));
    }
    r.addMesh(std::move(mesh), 8);
    r.addLight(Light{Vec4(2, 4, 0), Vec4(20, 20, 20)});
    r.addLight(Light{Vec4(-3, 3, -2), Vec4(5, 5, 8)});
    finish(r);
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
