#pragma once

#include <atomic>
#include <memory>

#include "core/Executor.hpp"

namespace tessaron::viewmodel {

// The "hop to the main thread" of the window's layers: work handed to
// executor() from any thread is posted to the Qt event loop of the
// application object and runs there in the order it was posted, but only
// while this guard lives. The owner destroys (or invalidates) the guard on
// the main thread before its own fields go, so a report that arrives late,
// even one already queued, never reaches a destroyed object.
//
// Threads: executor() and the executors it returns may be used from any
// thread; invalidate() and the destructor belong to the main thread. The
// application object must outlive every posting thread.
class MainThreadExecutor {
public:
    MainThreadExecutor();
    ~MainThreadExecutor();
    MainThreadExecutor(const MainThreadExecutor&) = delete;
    MainThreadExecutor& operator=(const MainThreadExecutor&) = delete;

    core::Executor executor() const;
    // From now on nothing posted through this guard runs, queued or not.
    void invalidate() noexcept;
    bool isValid() const noexcept;

private:
    struct Lifetime {
        std::atomic<bool> alive{true};
    };
    std::shared_ptr<Lifetime> lifetime_ = std::make_shared<Lifetime>();
};

}  // namespace tessaron::viewmodel
