// Counts the heap taken through the global operator new, for the benchmarks' peak heap figures.
// It replaces the global operator new and delete: include it in exactly one source file of a
// program. Every allocation counts by its usable size; new and delete pair with malloc and free.
#pragma once

#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace telvo::bench {

inline std::atomic<size_t> gHeapInUse{0};
inline std::atomic<size_t> gHeapPeak{0};

// The highest heap growth from the moment it is made; one at a time. Allocations on every
// thread count (the fake cloud's threads too).
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

}  // namespace telvo::bench

#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(size_t size) {
    using namespace telvo::bench;
    void* p = std::malloc(size ? size : 1);
    if (!p) throw std::bad_alloc();
    const size_t usable = malloc_usable_size(p);
    const size_t now = gHeapInUse.fetch_add(usable) + usable;
    size_t peak = gHeapPeak.load();
    while (now > peak && !gHeapPeak.compare_exchange_weak(peak, now)) {
    }
    return p;
}
void operator delete(void* p) noexcept {
    if (!p) return;
    telvo::bench::gHeapInUse.fetch_sub(malloc_usable_size(p));
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}
