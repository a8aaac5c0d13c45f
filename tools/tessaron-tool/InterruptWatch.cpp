#include "InterruptWatch.hpp"

#include <cerrno>
#include <ctime>

namespace tessaron::tool {

namespace {

sigset_t interruptSignals() {
    sigset_t signals;
    ::sigemptyset(&signals);
    ::sigaddset(&signals, SIGINT);
    ::sigaddset(&signals, SIGTERM);
    return signals;
}

}  // namespace

InterruptWatch::InterruptWatch() {
    const sigset_t signals = interruptSignals();
    ::pthread_sigmask(SIG_BLOCK, &signals, &previousMask_);
    watcher_ = std::jthread([this, signals](std::stop_token stop) {
        // Polls the stop request between waits: a blocked signal cannot
        // wake this thread for its own end.
        const timespec pause{0, 100'000'000};
        while (!stop.stop_requested()) {
            if (::sigtimedwait(&signals, nullptr, &pause) < 0) continue;  // timeout or EINTR
            interrupted_ = true;
            std::function<void()> handler;
            {
                std::lock_guard lock(handlerLock_);
                handler = handler_;
            }
            if (handler) handler();
        }
    });
}

InterruptWatch::~InterruptWatch() {
    watcher_.request_stop();
    watcher_.join();
    ::pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void InterruptWatch::onInterrupt(std::function<void()> handler) {
    {
        std::lock_guard lock(handlerLock_);
        handler_ = handler;
    }
    if (interrupted_ && handler) handler();
}

}  // namespace tessaron::tool
