#pragma once

#include <sched.h>

#include <cstddef>
#include <stdexcept>

namespace tessaron::testing {

// While it lives, this thread (and the threads it starts) may run on one
// CPU only, the first of those it was allowed; the affinity it had before
// comes back at the end, however the test ends.
class SingleCPUAffinity {
public:
    SingleCPUAffinity() {
        if (sched_getaffinity(0, sizeof saved_, &saved_) != 0) throw std::runtime_error("sched_getaffinity failed");
        int first = 0;
        while (!CPU_ISSET(first, &saved_)) ++first;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(first, &one);
        if (sched_setaffinity(0, sizeof one, &one) != 0) throw std::runtime_error("sched_setaffinity failed");
    }
    ~SingleCPUAffinity() { sched_setaffinity(0, sizeof saved_, &saved_); }
    SingleCPUAffinity(const SingleCPUAffinity&) = delete;
    SingleCPUAffinity& operator=(const SingleCPUAffinity&) = delete;

    // How many CPUs were allowed before.
    size_t allowedBefore() const { return size_t(CPU_COUNT(&saved_)); }

private:
    cpu_set_t saved_{};
};

}  // namespace tessaron::testing
