#include "core/ThreadPool.hpp"

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>

#include "core/AvailableCPUs.hpp"

namespace tessaron::core {

ThreadPool::ThreadPool(unsigned threads) {
    if (threads == 0) threads = unsigned(availableCPUs());
    shares_ = std::make_unique<Share[]>(threads);
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
    const unsigned shares = size();
    for (unsigned k = 0; k < shares; ++k) {
        Share& share = shares_[(worker + k) % shares];
        for (;;) {
            const size_t chunk = share.next.fetch_add(1, std::memory_order_relaxed);
            if (chunk >= share.end) break;
            const size_t begin = chunk * grain_, end = std::min(count_, begin + grain_);
            try {
                invoke_(context_, begin, end, worker);
            } catch (...) {
                std::lock_guard lock(mutex_);
                if (!failure_) failure_ = std::current_exception();
                // The rest is not worth doing.
                for (unsigned other = 0; other < shares; ++other)
                    shares_[other].next.store(shares_[other].end, std::memory_order_relaxed);
                return;
            }
        }
    }
}

template <typename Ready>
bool ThreadPool::spinUntil(Ready&& ready) {
    // Long enough to bridge the serial work between two loops of a step,
    // short enough that an idle pool soon leaves the cores alone.
    constexpr auto limit = std::chrono::microseconds(200);
    const auto start = std::chrono::steady_clock::now();
    for (unsigned spin = 1;; ++spin) {
        if (ready()) return true;
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
        if (spin % 64 == 0 && std::chrono::steady_clock::now() - start > limit) return ready();
    }
}

void ThreadPool::workerLoop(unsigned worker) {
    uint64_t seen = 0;
    for (;;) {
        const auto moved = [&] { return stopping_.load() || generation_.load() != seen; };
        if (!spinUntil(moved)) {
            std::unique_lock lock(mutex_);
            // Counted before the last look under the lock: a loop that
            // starts after that look sees a sleeper and wakes it.
            ++sleepers_;
            wake_.wait(lock, moved);
            --sleepers_;
        }
        if (stopping_) return;
        seen = generation_;
        runChunks(worker);
        if (busy_.fetch_sub(1) == 1 && callerAsleep_.load()) {
            std::lock_guard lock(mutex_);
            done_.notify_one();
        }
    }
}

void ThreadPool::run(size_t count, size_t grain, void* context, Invoke invoke) {
    if (count == 0) return;
    grain = std::max<size_t>(1, grain);
    if (workers_.empty() || count <= grain) {
        invoke(context, 0, count, 0);
        return;
    }
    // Every worker is between loops here, and reads these only once it sees
    // the new generation.
    context_ = context;
    invoke_ = invoke;
    count_ = count;
    grain_ = grain;
    const size_t chunks = (count + grain - 1) / grain, shares = size();
    for (size_t worker = 0; worker < shares; ++worker) {
        shares_[worker].next.store(shareStart(worker, chunks), std::memory_order_relaxed);
        shares_[worker].end = shareStart(worker + 1, chunks);
    }
    busy_ = unsigned(workers_.size());
    ++generation_;
    if (sleepers_.load() > 0) {
        std::lock_guard lock(mutex_);
        wake_.notify_all();
    }
    runChunks(0);
    const auto finished = [&] { return busy_.load() == 0; };
    if (!spinUntil(finished)) {
        std::unique_lock lock(mutex_);
        callerAsleep_ = true;
        done_.wait(lock, finished);
        callerAsleep_ = false;
    }
    context_ = nullptr;
    std::lock_guard lock(mutex_);
    if (failure_) std::rethrow_exception(std::exchange(failure_, nullptr));
}

}  // namespace tessaron::core
