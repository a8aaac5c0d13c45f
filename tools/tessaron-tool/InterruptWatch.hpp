#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <signal.h>
#include <thread>

namespace tessaron::tool {

// Turns SIGINT and SIGTERM into the operation's cancel while it lives, so an
// interrupted run ends the way a cancelled one does (its children stopped,
// its report and log closed) instead of dying on the spot. Create it before
// any other thread: threads inherit the blocked signals, which only the
// watch's own thread takes.
class InterruptWatch {
public:
    // The shell's status for a command ended by SIGINT.
    static constexpr int exitStatus = 130;

    InterruptWatch();
    ~InterruptWatch();
    InterruptWatch(const InterruptWatch&) = delete;
    InterruptWatch& operator=(const InterruptWatch&) = delete;

    // Called on the watch's thread at every signal; at once when one came
    // before it was given.
    void onInterrupt(std::function<void()> handler);
    bool interrupted() const noexcept { return interrupted_; }

private:
    sigset_t previousMask_;
    std::mutex handlerLock_;  // guards handler_
    std::function<void()> handler_;
    std::atomic<bool> interrupted_ = false;
    std::jthread watcher_;
};

}  // namespace tessaron::tool
