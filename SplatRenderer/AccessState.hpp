#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

namespace splatrenderer {

// Frames in flight and exclusive access to the renderer's chunk set, which
// never overlap: a chunk operation runs only while no frame is encoding or
// on the GPU, and no frame starts while one runs or waits (writers first).
// Waiters are served first come, first served.
//
// Threads: `mutex_` guards every field. A frame starts and encodes on the
// render thread and ends there too, when its fence is seen signalled;
// exclusive access may be asked for on any thread. Nothing is called with
// the lock held.
class AccessState {
public:
    explicit AccessState(int maxSimultaneousRenders) : maxSimultaneousRenders_(maxSimultaneousRenders) {}

    // One try at a frame slot: true when it was taken (encoding begins).
    bool tryBeginFrame();
    // Encoding is over, whether or not the frame went to the GPU.
    void finishEncoding();
    // The GPU is done with a frame: its slot is free, and when it was the
    // last in flight the first waiting chunk operation gets its turn.
    void endFrameInFlight();

    bool isReadyToRender() const;

    // Runs `body` with exclusive access and returns its result or rethrows
    // its error. A call from inside a body on the same thread runs at once.
    // `whileWaiting`, when given, is called every millisecond while the
    // caller waits: a render thread uses it to end frames the GPU has
    // finished, which nobody else could do for it.
    template <typename Body>
    auto withExclusiveAccess(Body&& body, const std::function<void()>& whileWaiting = {}) -> decltype(body()) {
        if (isHeldByThisThread()) return body();
        acquire(whileWaiting);
        struct Release {
            AccessState& access;
            ~Release() { access.release(); }
        } release{*this};
        return body();
    }

    // For tests and diagnostics.
    int inFlightRenderCount() const;
    bool hasExclusiveAccess() const;
    std::size_t waiterCount() const;

private:
    struct Waiter {
        bool granted = false;
    };

    bool isHeldByThisThread() const;
    void acquire(const std::function<void()>& whileWaiting);
    void release();
    // Under the lock: gives the access to the first waiter, if any.
    bool grantFirstWaiter();

    const int maxSimultaneousRenders_;
    mutable std::mutex mutex_;
    std::condition_variable grantedCondition_;
    int inFlightRenderCount_ = 0;
    bool isRendering_ = false;
    bool hasExclusiveAccess_ = false;
    std::deque<Waiter*> exclusiveAccessWaiters_;
};

}  // namespace splatrenderer
