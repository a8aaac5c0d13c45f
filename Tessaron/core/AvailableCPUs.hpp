#pragma once

#include <cstddef>

namespace tessaron::core {

// The number of CPUs this process may run on: its CPU affinity (taskset, a
// container's cpuset), else the machine's count; at least 1. Every pool of
// threads and every thread count handed to a child process starts here.
size_t availableCPUs() noexcept;

}  // namespace tessaron::core
