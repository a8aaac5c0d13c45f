#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>

namespace tessaron::pipeline {

// Where a partitioned run waits for the user to approve its plan, and the
// operation's cancel latch, which the wait must see atomically: a cancel
// either finds the waiting run or is seen by the wait before it blocks.
//
// Threads: await() blocks the run's thread; every other member may be
// called from any thread. One lock guards the waiter and the latch, and it
// is never held while anything outside is called.
class ApprovalGate {
public:
    enum class Outcome { approved, cancelled };

    // The answer a waiting run gets. `diagnostics` is the trainer's
    // diagnostics switch chosen with the approval; none keeps the run's own.
    struct Decision {
        Outcome outcome = Outcome::cancelled;
        std::optional<bool> diagnostics = std::nullopt;
    };

    // Clears the cancel latch: a cancel of an earlier operation never leaks
    // into the next one.
    void reset();
    // Latches the cancel and answers a pending wait as cancelled.
    void cancel();
    bool isCancelRequested() const;

    // Blocks until the plan is approved or the run cancelled; cancelled at
    // once when a cancel came first. Only one run waits at a time: a wait
    // left from before ends as cancelled.
    Decision await();
    // Answers the pending wait, exactly once; with none pending it does
    // nothing (an answer is never kept for a later wait).
    void resolve(Decision decision);
    // Whether a run waits now.
    bool isWaiting() const;

private:
    // One wait; resolved exactly once.
    struct Waiter {
        std::optional<Decision> decision;
    };

    mutable std::mutex lock_;
    std::condition_variable resolved_;
    std::shared_ptr<Waiter> waiter_;
    bool cancelRequested_ = false;
};

}  // namespace tessaron::pipeline
