#include "core/SerialQueue.hpp"

#include <cstdio>
#include <exception>
#include <optional>

namespace tessaron::core {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)), state_(std::make_shared<State>()) {
    state_->label = label_;
    std::promise<void> started;
    auto startedFuture = started.get_future();
    worker_ = std::jthread([state = state_, &started] {
        state->workerId = std::this_thread::get_id();
        started.set_value();
        runLoop(state);
    });
    startedFuture.wait();
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
    }
    state_->wake.notify_all();
    if (isCurrent()) {
        // Destroyed from its own work item: nobody can join this thread. It
        // owns a reference to the state and finishes the queued work alone.
        worker_.detach();
    } else if (worker_.joinable()) {
        worker_.join();
    }
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(state_->mutex);
        state_->tasks.push_back(std::move(work));
    }
    state_->wake.notify_one();
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

bool SerialQueue::isCurrent() const noexcept { return std::this_thread::get_id() == state_->workerId; }

void SerialQueue::runLoop(const std::shared_ptr<State>& state) {
    for (;;) {
        std::function<void()> work;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stopping || !state->tasks.empty(); });
            if (state->tasks.empty()) return;  // stopping and drained
            work = std::move(state->tasks.front());
            state->tasks.pop_front();
        }
        try {
            work();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "[%s] work item failed: %s\n", state->label.c_str(), error.what());
        } catch (...) {
            std::fprintf(stderr, "[%s] work item failed with a non-standard exception\n", state->label.c_str());
        }
        work = nullptr;  // release captures before waiting again
    }
}

}  // namespace tessaron::core
