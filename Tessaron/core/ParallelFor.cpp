#include "core/ParallelFor.hpp"

#include <algorithm>

#include "core/AvailableCPUs.hpp"
#include "core/ThreadPool.hpp"

namespace tessaron::core {

void parallelFor(size_t count, const std::function<void(size_t index)>& body) {
    const size_t threadCount = std::min(availableCPUs(), count);
    if (threadCount <= 1) {
        for (size_t index = 0; index < count; ++index) body(index);
        return;
    }
    ThreadPool pool(static_cast<unsigned>(threadCount));
    pool.parallelFor(count, 1, [&](size_t begin, size_t end, unsigned) {
        for (size_t index = begin; index < end; ++index) body(index);
    });
}

}  // namespace tessaron::core
