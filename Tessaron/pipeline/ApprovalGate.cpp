#include "pipeline/ApprovalGate.hpp"

#include <utility>

namespace tessaron::pipeline {

void ApprovalGate::reset() {
    std::lock_guard lock(lock_);
    cancelRequested_ = false;
}

void ApprovalGate::cancel() {
    {
        std::lock_guard lock(lock_);
        cancelRequested_ = true;
    }
    resolve({Outcome::cancelled});
}

bool ApprovalGate::isCancelRequested() const {
    std::lock_guard lock(lock_);
    return cancelRequested_;
}

ApprovalGate::Decision ApprovalGate::await() {
    auto waiter = std::make_shared<Waiter>();
    std::unique_lock lock(lock_);
    if (cancelRequested_) return {Outcome::cancelled};
    // A waiter left from before would block forever.
    if (auto replaced = std::exchange(waiter_, waiter)) {
        replaced->decision = Decision{Outcome::cancelled};
        resolved_.notify_all();
    }
    resolved_.wait(lock, [&] { return waiter->decision.has_value(); });
    return *waiter->decision;
}

void ApprovalGate::resolve(Decision decision) {
    std::shared_ptr<Waiter> taken;
    {
        std::lock_guard lock(lock_);
        taken = std::exchange(waiter_, nullptr);
        // Taken out under the lock, so a waiter is resolved exactly once.
        if (taken) taken->decision = decision;
    }
    if (taken) resolved_.notify_all();
}

bool ApprovalGate::isWaiting() const {
    std::lock_guard lock(lock_);
    return waiter_ != nullptr;
}

}  // namespace tessaron::pipeline
