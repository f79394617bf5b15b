// Heap allocations, counted by replacing operator new: include from exactly
// one source of a test program. ThreadSanitizer's runtime defines operator
// new itself, so under it nothing is counted.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_THREAD__)
#define COUNT_ALLOCATIONS 0
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define COUNT_ALLOCATIONS 0
#endif
#endif
#ifndef COUNT_ALLOCATIONS
#define COUNT_ALLOCATIONS 1
#endif

namespace {
std::atomic<long> allocations{0};
#if COUNT_ALLOCATIONS
void* counted(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size ? size : 1)) return p;
    throw std::bad_alloc();
}
#endif
}  // namespace

#if COUNT_ALLOCATIONS
void* operator new(std::size_t size) { return counted(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#endif
