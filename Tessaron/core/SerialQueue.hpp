#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace tessaron::core {

// One worker thread running submitted work items in FIFO order. The label
// names the queue in diagnostics. Destruction runs what is queued, then joins.
//
// Thread ownership: the state's `tasks` and `stopping` are guarded by its
// `mutex`; the work items run only on `worker_`.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const noexcept { return label_; }

    // Enqueues and returns at once. An exception escaping the item is
    // reported on stderr with the queue's label; the queue goes on.
    void async(std::function<void()> work);

    // Runs the item on the queue and waits for it; its exception propagates
    // to the caller. Called from the queue itself, it runs inline (a serial
    // queue waiting on itself would never finish).
    void sync(const std::function<void()>& work);

    template <typename Result>
    Result syncResult(const std::function<Result()>& work) {
        std::optional<Result> result;
        sync([&] { result.emplace(work()); });
        return std::move(*result);
    }

    // True when called from this queue's worker thread.
    bool isCurrent() const noexcept;

private:
    // Shared with the worker, so that a queue destroyed from one of its own
    // work items leaves the worker a live state to finish on.
    struct State {
        std::string label;
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> tasks;
        bool stopping = false;
        std::thread::id workerId;
    };
    static void runLoop(const std::shared_ptr<State>& state);

    std::string label_;
    std::shared_ptr<State> state_;
    std::jthread worker_;
};

}  // namespace tessaron::core
