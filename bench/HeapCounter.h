// Counts the heap a program takes through malloc and its relatives, for the benchmarks' heap
// figures: C++ new (which allocates through malloc), OpenSSL, libcurl and the C library's own
// allocations alike, on every thread (the fake cloud's threads too). It replaces malloc, free
// and the rest of the family with counting wrappers around the C library's allocator, so
// include it in exactly one source file of a program. Every block counts by its usable size.
#pragma once

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* p, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
void* __libc_valloc(size_t size);
void* __libc_pvalloc(size_t size);
void __libc_free(void* p);
}

namespace telvo::bench {

inline std::atomic<size_t> gHeapInUse{0};
inline std::atomic<size_t> gHeapPeak{0};

// The heap in use now.
inline size_t heapInUse() {
    return gHeapInUse.load(std::memory_order_relaxed);
}

// The highest heap growth from the moment it is made; one at a time.
class HeapPeak {
  public:
    HeapPeak() : base_(gHeapInUse.load()) { gHeapPeak.store(base_); }
    size_t growth() const {
        const size_t peak = gHeapPeak.load();
        return peak > base_ ? peak - base_ : 0;
    }

  private:
    size_t base_;
};

namespace heap_detail {

inline void* counted(void* p) {
    if (!p) return p;
    const size_t usable = malloc_usable_size(p);
    const size_t now = gHeapInUse.fetch_add(usable, std::memory_order_relaxed) + usable;
    size_t peak = gHeapPeak.load(std::memory_order_relaxed);
    while (now > peak && !gHeapPeak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
    return p;
}

inline void uncount(void* p) {
    if (p) gHeapInUse.fetch_sub(malloc_usable_size(p), std::memory_order_relaxed);
}

}  // namespace heap_detail
}  // namespace telvo::bench

extern "C" {

void* malloc(size_t size) noexcept {
    return telvo::bench::heap_detail::counted(__libc_malloc(size));
}
void* calloc(size_t count, size_t size) noexcept {
    return telvo::bench::heap_detail::counted(__libc_calloc(count, size));
}
void* realloc(void* p, size_t size) noexcept {
    if (!p) return malloc(size);
    if (size == 0) {
        telvo::bench::heap_detail::uncount(p);
        __libc_free(p);
        return nullptr;
    }
    const size_t before = malloc_usable_size(p);
    void* moved = __libc_realloc(p, size);
    if (!moved) return nullptr;  // p stays as it was
    telvo::bench::gHeapInUse.fetch_sub(before, std::memory_order_relaxed);
    return telvo::bench::heap_detail::counted(moved);
}
void free(void* p) noexcept {
    telvo::bench::heap_detail::uncount(p);
    __libc_free(p);
}
void* memalign(size_t alignment, size_t size) noexcept {
    return telvo::bench::heap_detail::counted(__libc_memalign(alignment, size));
}
void* aligned_alloc(size_t alignment, size_t size) noexcept {
    return memalign(alignment, size);
}
int posix_memalign(void** out, size_t alignment, size_t size) noexcept {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* p = memalign(alignment, size);
    if (!p) return ENOMEM;
    *out = p;
    return 0;
}
void* valloc(size_t size) noexcept {
    return telvo::bench::heap_detail::counted(__libc_valloc(size));
}
void* pvalloc(size_t size) noexcept {
    return telvo::bench::heap_detail::counted(__libc_pvalloc(size));
}
}
