#include "support/alloc_hook.h"

#include <cstdlib>
#include <new>

namespace vmd::test {
namespace {

thread_local std::int64_t counted = 0;
thread_local std::int64_t failing = 0;  // 0: none fails
thread_local bool malloc_fails = false;

bool next_fails() {
    ++counted;
    return counted == failing;
}

}  // namespace

void fail_allocation(std::int64_t n) {
    counted = 0;
    failing = n;
}

void allow_allocations() {
    counted = 0;
    failing = 0;
}

void fail_next_malloc() { malloc_fails = true; }

std::int64_t allocations() { return counted; }

}  // namespace vmd::test

// The library's own malloc calls reach this through the linker's --wrap.
extern "C" void* __real_malloc(std::size_t size);
extern "C" void* __wrap_malloc(std::size_t size) {
    if (vmd::test::malloc_fails) {
        vmd::test::malloc_fails = false;
        return nullptr;
    }
    if (vmd::test::next_fails()) return nullptr;
    return __real_malloc(size);
}

namespace {

void* allocate(std::size_t size) {
    if (vmd::test::next_fails()) throw std::bad_alloc();
    // The real allocator: this file's own calls are wrapped too.
    if (void* p = __real_malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

}  // namespace

void* operator new(std::size_t size) { return allocate(size); }
void* operator new[](std::size_t size) { return allocate(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
