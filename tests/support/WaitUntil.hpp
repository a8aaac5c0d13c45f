#pragma once

#include <chrono>
#include <thread>

namespace tessaron::testing {

// How long a test waits for a condition before it calls it a failure: long
// enough that a busy machine is never mistaken for a fault.
inline constexpr std::chrono::milliseconds conditionTimeout{30000};

// Polls `condition` until it holds or `timeout` has passed; true when it
// held. For threads and child processes; Qt tests use QTRY_* or qWaitFor.
template <typename Condition>
bool waitUntil(Condition condition, std::chrono::milliseconds timeout = conditionTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        // Gives the core to whatever the condition waits for, without
        // sleeping a set time between looks.
        std::this_thread::yield();
    }
    return true;
}

}  // namespace tessaron::testing
