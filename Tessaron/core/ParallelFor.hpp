#pragma once

#include <cstddef>
#include <functional>

namespace tessaron::core {

// Runs body(0) ... body(count - 1) on up to as many threads as the process
// may use (its CPU affinity), and returns when all are done. The bodies must
// be independent; the first exception thrown is rethrown here. With one CPU
// or one item everything runs on the calling thread.
void parallelFor(size_t count, const std::function<void(size_t index)>& body);

// The number of CPUs this process may run on.
size_t availableCPUs() noexcept;

}  // namespace tessaron::core
