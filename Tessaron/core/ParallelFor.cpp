#include "core/ParallelFor.hpp"

#include <sched.h>

#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

namespace tessaron::core {

size_t availableCPUs() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        int count = CPU_COUNT(&set);
        if (count > 0) return size_t(count);
    }
    unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

void parallelFor(size_t count, const std::function<void(size_t index)>& body) {
    size_t threadCount = std::min(availableCPUs(), count);
    if (threadCount <= 1) {
        for (size_t index = 0; index < count; ++index) body(index);
        return;
    }
    std::atomic<size_t> next{0};
    std::mutex errorMutex;
    std::exception_ptr firstError;  // guarded by errorMutex
    auto work = [&] {
        for (size_t index = next++; index < count; index = next++) {
            try {
                body(index);
            } catch (...) {
                std::lock_guard lock(errorMutex);
                if (!firstError) firstError = std::current_exception();
            }
        }
    };
    {
        std::vector<std::jthread> helpers;
        for (size_t helper = 1; helper < threadCount; ++helper) helpers.emplace_back(work);
        work();
    }  // joins the helpers
    if (firstError) std::rethrow_exception(firstError);
}

}  // namespace tessaron::core
