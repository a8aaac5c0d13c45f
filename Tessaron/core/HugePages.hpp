#pragma once

#include <cstddef>

namespace tessaron::core {

// Asks the kernel to back the whole pages of [start, start + bytes) with
// transparent huge pages when they are first touched. A block of hundreds of
// megabytes is otherwise faulted in 4 KiB at a time, which costs more than
// filling it. Only a hint: blocks under a few megabytes are left alone, and
// a kernel without huge pages, or with them off, ignores it.
void adviseHugePages(void* start, size_t bytes) noexcept;

}  // namespace tessaron::core
