#include "SplatRenderer/AccessState.hpp"

#include <algorithm>
#include <chrono>
#include <vector>

namespace splatrenderer {

namespace {

// The accesses this thread holds; a body that asks again runs at once.
thread_local std::vector<const AccessState*> heldByThisThread;

}  // namespace

bool AccessState::tryBeginFrame() {
    std::lock_guard lock(mutex_);
    if (hasExclusiveAccess_ || !exclusiveAccessWaiters_.empty() || isRendering_ ||
        inFlightRenderCount_ >= maxSimultaneousRenders_)
        return false;
    isRendering_ = true;
    ++inFlightRenderCount_;
    return true;
}

void AccessState::finishEncoding() {
    std::lock_guard lock(mutex_);
    isRendering_ = false;
}

bool AccessState::grantFirstWaiter() {
    if (exclusiveAccessWaiters_.empty()) return false;
    exclusiveAccessWaiters_.front()->granted = true;
    exclusiveAccessWaiters_.pop_front();
    hasExclusiveAccess_ = true;
    return true;
}

void AccessState::endFrameInFlight() {
    bool granted = false;
    {
        std::lock_guard lock(mutex_);
        --inFlightRenderCount_;
        if (inFlightRenderCount_ == 0 && !hasExclusiveAccess_) granted = grantFirstWaiter();
    }
    if (granted) grantedCondition_.notify_all();
}

bool AccessState::isReadyToRender() const {
    std::lock_guard lock(mutex_);
    return !hasExclusiveAccess_ && exclusiveAccessWaiters_.empty() && !isRendering_ &&
           inFlightRenderCount_ < maxSimultaneousRenders_;
}

int AccessState::inFlightRenderCount() const {
    std::lock_guard lock(mutex_);
    return inFlightRenderCount_;
}

bool AccessState::hasExclusiveAccess() const {
    std::lock_guard lock(mutex_);
    return hasExclusiveAccess_;
}

std::size_t AccessState::waiterCount() const {
    std::lock_guard lock(mutex_);
    return exclusiveAccessWaiters_.size();
}

bool AccessState::isHeldByThisThread() const {
    return std::find(heldByThisThread.begin(), heldByThisThread.end(), this) != heldByThisThread.end();
}

void AccessState::acquire(const std::function<void()>& whileWaiting) {
    std::unique_lock lock(mutex_);
    if (!hasExclusiveAccess_ && exclusiveAccessWaiters_.empty() && inFlightRenderCount_ == 0) {
        hasExclusiveAccess_ = true;
    } else {
        Waiter waiter;
        exclusiveAccessWaiters_.push_back(&waiter);
        while (!waiter.granted) {
            if (whileWaiting) {
                lock.unlock();
                whileWaiting();
                lock.lock();
                if (waiter.granted) break;
                grantedCondition_.wait_for(lock, std::chrono::milliseconds(1));
            } else {
                grantedCondition_.wait(lock);
            }
        }
        // A granted waiter holds the access: hasExclusiveAccess_ stayed true.
    }
    heldByThisThread.push_back(this);
}

void AccessState::release() {
    heldByThisThread.erase(std::find(heldByThisThread.begin(), heldByThisThread.end(), this));
    bool granted = false;
    {
        std::lock_guard lock(mutex_);
        if (inFlightRenderCount_ != 0 || exclusiveAccessWaiters_.empty())
            hasExclusiveAccess_ = false;
        else
            granted = grantFirstWaiter();
    }
    if (granted) grantedCondition_.notify_all();
}

}  // namespace splatrenderer
