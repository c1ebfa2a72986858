#include "support/counting_allocator.h"

#include <cstdlib>
#include <new>

namespace {

bool g_counting = false;
size_t g_count = 0;
size_t g_fail_at = 0;

void* allocate(size_t size) {
    if (g_counting) {
        ++g_count;
        if (g_fail_at != 0 && g_count == g_fail_at) throw std::bad_alloc();
    }
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    return p;
}

}  // namespace

namespace alloc_probe {

void start() {
    g_count = 0;
    g_counting = true;
}

size_t stop() {
    g_counting = false;
    g_fail_at = 0;
    return g_count;
}

void fail_at(size_t n) { g_fail_at = n; }

size_t Scope::count() const { return g_count; }

}  // namespace alloc_probe

void* operator new(size_t size) { return allocate(size); }
void* operator new[](size_t size) { return allocate(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    try {
        return allocate(size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
