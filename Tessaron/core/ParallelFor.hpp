#pragma once

#include <cstddef>
#include <functional>

namespace tessaron::core {

// Runs body(0) ... body(count - 1) on a pool of up to as many threads as
// the process may use (availableCPUs()), made for the call, and returns
// when all are done. The bodies must be independent; the first exception
// thrown is rethrown here (bodies not started by then are skipped). With
// one CPU or one item everything runs on the calling thread.
void parallelFor(size_t count, const std::function<void(size_t index)>& body);

}  // namespace tessaron::core
