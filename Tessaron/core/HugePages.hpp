#pragma once

#include <sys/mman.h>

#include <cstddef>
#include <cstdlib>
#include <new>
#include <vector>

namespace tessaron::core {

// Asks the kernel to back the whole pages of [start, start + bytes) with
// transparent huge pages when they are first touched. A block of hundreds of
// megabytes is otherwise faulted in 4 KiB at a time, which costs more than
// filling it. Only a hint: blocks under a few megabytes are left alone, and
// a kernel without huge pages, or with them off, ignores it.
void adviseHugePages(void* start, size_t bytes) noexcept;

// An allocator for the large arrays a training step walks in no order
// (per Gaussian, per tile entry): they span thousands of 4 KB pages, more
// than the processor's address-translation caches hold, so most scattered
// reads would also walk the page tables. Allocations of 2 MB and more are
// aligned to 2 MB and marked for transparent huge pages; small ones are
// plain. Where the system gives no huge pages the marking is only a hint
// that goes unused, and the arrays work the same.
template <typename T>
struct HugePageAllocator {
    using value_type = T;
    static constexpr size_t hugePage = size_t(2) << 20;

    HugePageAllocator() = default;
    template <typename U>
    HugePageAllocator(const HugePageAllocator<U>&) noexcept {}

    T* allocate(size_t count) {
        if (count > size_t(-1) / sizeof(T) - hugePage) throw std::bad_alloc();
        const size_t bytes = count * sizeof(T);
        if (bytes < hugePage) return static_cast<T*>(::operator new(bytes, std::align_val_t(alignof(T))));
        const size_t rounded = (bytes + hugePage - 1) / hugePage * hugePage;
        void* memory = std::aligned_alloc(hugePage, rounded);
        if (memory == nullptr) throw std::bad_alloc();
        madvise(memory, rounded, MADV_HUGEPAGE);
        return static_cast<T*>(memory);
    }

    void deallocate(T* memory, size_t count) noexcept {
        if (count * sizeof(T) < hugePage)
            ::operator delete(memory, std::align_val_t(alignof(T)));
        else
            std::free(memory);
    }

    template <typename U>
    bool operator==(const HugePageAllocator<U>&) const noexcept {
        return true;
    }
};

template <typename T>
using HugePageVector = std::vector<T, HugePageAllocator<T>>;


}  // namespace tessaron::core
