#include "engines/PhysicalMemory.hpp"

#include <unistd.h>

namespace tessaron::engines {

uint64_t physicalMemoryBytes() {
    long pages = ::sysconf(_SC_PHYS_PAGES);
    long pageSize = ::sysconf(_SC_PAGE_SIZE);
    if (pages <= 0 || pageSize <= 0) return 0;
    return uint64_t(pages) * uint64_t(pageSize);
}

}  // namespace tessaron::engines
