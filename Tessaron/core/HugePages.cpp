#include "core/HugePages.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>

namespace tessaron::core {

void adviseHugePages(void* start, size_t bytes) noexcept {
    constexpr size_t smallestWorthAdvising = size_t(4) << 20;
    if (bytes < smallestWorthAdvising) return;
    const auto pageSize = uintptr_t(::sysconf(_SC_PAGESIZE));
    const auto first = (reinterpret_cast<uintptr_t>(start) + pageSize - 1) & ~(pageSize - 1);
    const auto end = (reinterpret_cast<uintptr_t>(start) + bytes) & ~(pageSize - 1);
    if (end <= first) return;
    // A refusal (no huge-page support) changes nothing: the pages stay small.
    (void)::madvise(reinterpret_cast<void*>(first), end - first, MADV_HUGEPAGE);
}

}  // namespace tessaron::core
