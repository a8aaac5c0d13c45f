#include "Trainer/ThreadPool.hpp"

#include <algorithm>
#include <new>
#include <utility>

namespace tessaron::trainer {

ThreadPool::ThreadPool(unsigned threads) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    try {
        workers_.reserve(threads - 1);
        for (unsigned worker = 1; worker < threads; ++worker)
            workers_.emplace_back([this, worker] { workerLoop(worker); });
    } catch (const std::system_error& error) {
        // The workers already started must be joined, or their destruction
        // ends the process.
        stopWorkers();
        if (outOfMemory(error)) throw std::bad_alloc();
        throw;
    } catch (...) {
        stopWorkers();
        throw;
    }
}

ThreadPool::~ThreadPool() { stopWorkers(); }

void ThreadPool::stopWorkers() noexcept {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& worker : workers_) worker.join();
    workers_.clear();
}

void ThreadPool::runChunks(unsigned worker) {
    for (;;) {
        size_t begin = next_.fetch_add(grain_, std::memory_order_relaxed);
        if (begin >= count_) return;
        size_t end = std::min(count_, begin + grain_);
        try {
            invoke_(context_, begin, end, worker);
        } catch (...) {
            std::lock_guard lock(mutex_);
            if (!failure_) failure_ = std::current_exception();
            next_.store(count_, std::memory_order_relaxed);  // the rest is not worth doing
            return;
        }
    }
}

void ThreadPool::workerLoop(unsigned worker) {
    uint64_t seen = 0;
    for (;;) {
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || generation_ != seen; });
            if (stopping_) return;
            seen = generation_;
        }
        runChunks(worker);
        std::lock_guard lock(mutex_);
        if (--busy_ == 0) done_.notify_one();
    }
}

void ThreadPool::run(size_t count, size_t grain, void* context, Invoke invoke) {
    if (count == 0) return;
    grain = std::max<size_t>(1, grain);
    if (workers_.empty() || count <= grain) {
        invoke(context, 0, count, 0);
        return;
    }
    {
        std::lock_guard lock(mutex_);
        context_ = context;
        invoke_ = invoke;
        count_ = count;
        grain_ = grain;
        next_.store(0, std::memory_order_relaxed);
        busy_ = unsigned(workers_.size());
        failure_ = nullptr;
        ++generation_;
    }
    wake_.notify_all();
    runChunks(0);
    std::unique_lock lock(mutex_);
    done_.wait(lock, [&] { return busy_ == 0; });
    context_ = nullptr;
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

}  // namespace tessaron::trainer
