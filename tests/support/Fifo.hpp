#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <stdexcept>

namespace tessaron::testing {

// Makes a FIFO at `path` (a test's temporary folder).
inline void makeFifo(const std::filesystem::path& path) {
    if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed for " + path.string());
}

// Runs `operation` (which reads `fifo`) and answers whether it returned
// within the time limit. A reader stuck on the FIFO is released by opening
// and closing its other end, so a failing test ends instead of hanging.
inline bool returnsWithin(const std::filesystem::path& fifo, std::function<void()> operation,
                          std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    auto running = std::async(std::launch::async, [operation = std::move(operation)] {
        try {
            operation();
        } catch (...) {
        }
    });
    if (running.wait_for(limit) == std::future_status::ready) return true;
    for (int attempt = 0; attempt < 100 && running.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready;
         ++attempt) {
        int writer = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (writer >= 0) ::close(writer);
    }
    running.wait();
    return false;
}

}  // namespace tessaron::testing
