#include "core/SerialQueue.hpp"

#include <cstdio>
#include <exception>
#include <optional>

namespace tessaron::core {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    std::promise<void> started;
    auto startedFuture = started.get_future();
    worker_ = std::jthread([this, &started] {
        workerId_ = std::this_thread::get_id();
        started.set_value();
        runLoop();
    });
    startedFuture.wait();
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (worker_.joinable() && !isCurrent()) {
        worker_.join();
    } else if (worker_.joinable()) {
        // Destroyed from its own work item: nobody can join us, so let go.
        worker_.detach();
    }
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(work));
    }
    wake_.notify_one();
}

void SerialQueue::sync(const std::function<void()>& work) {
    if (isCurrent()) {
        work();
        return;
    }
    std::promise<void> done;
    auto doneFuture = done.get_future();
    async([&work, &done] {
        try {
            work();
            done.set_value();
        } catch (...) {
            done.set_exception(std::current_exception());
        }
    });
    doneFuture.get();
}

bool SerialQueue::isCurrent() const noexcept { return std::this_thread::get_id() == workerId_; }

void SerialQueue::runLoop() {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) return;  // stopping and drained
            work = std::move(tasks_.front());
            tasks_.pop_front();
        }
        try {
            work();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "[%s] work item failed: %s\n", label_.c_str(), error.what());
        } catch (...) {
            std::fprintf(stderr, "[%s] work item failed with a non-standard exception\n", label_.c_str());
        }
    }
}

}  // namespace tessaron::core
