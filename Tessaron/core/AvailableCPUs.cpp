#include "core/AvailableCPUs.hpp"

#include <sched.h>

#include <thread>

namespace tessaron::core {

size_t availableCPUs() noexcept {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return size_t(count);
    }
    const unsigned hardware = std::thread::hardware_concurrency();
    return hardware > 0 ? hardware : 1;
}

}  // namespace tessaron::core
