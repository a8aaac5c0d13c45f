#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <system_error>
#include <type_traits>
#include <mutex>
#include <thread>
#include <vector>

namespace tessaron::core {

// A fixed set of worker threads that run one parallel loop at a time. The
// caller's thread takes part, so a pool of one thread runs everything
// inline and in order. Each worker takes the chunks of its own share of the
// loop first, then helps the others with theirs; nothing is allocated per
// loop. Loops over the same items give a worker the same share each time,
// so what it wrote in one loop is still in its core's caches in the next
// (on many-core processors, reading a line another core group wrote costs
// several times a line of one's own). Training runs loop after loop with little
// in between, so threads waiting for the next loop (or for the last chunks
// of this one) spin a short while before they sleep: waking a sleeping
// thread costs tens of microseconds, a good part of a short loop.
class ThreadPool {
public:
    // 0: one thread per CPU this process may use. Throws std::bad_alloc
    // when the system has no memory for another thread.
    explicit ThreadPool(unsigned threads = 0);
    ~ThreadPool();
    ThreadPool(const ThreadPool&) = delete;
    ThreadPool& operator=(const ThreadPool&) = delete;

    unsigned size() const noexcept { return unsigned(workers_.size()) + 1; }

    // Whether a thread that failed to start did so for want of memory or
    // resources: a stack that cannot be had is memory that cannot be had.
    static bool outOfMemory(const std::system_error& error) noexcept {
        return error.code() == std::errc::resource_unavailable_try_again ||
               error.code() == std::errc::not_enough_memory;
    }

    // Calls body(begin, end, worker) over [0, count) in chunks of `grain`
    // items (chunk k: [k·grain, (k + 1)·grain), whoever runs it); `worker`
    // is in [0, size()). Returns when every chunk is done.
    // The first exception a chunk throws is rethrown here.
    // The body is called through a plain function pointer, so a loop
    // allocates nothing whatever the body captures.
    template <typename Body>
    void parallelFor(size_t count, size_t grain, Body&& body) {
        run(count, grain, &body, [](void* context, size_t begin, size_t end, unsigned worker) {
            (*static_cast<std::remove_reference_t<Body>*>(context))(begin, end, worker);
        });
    }

    // Where worker `worker`'s share of a loop of `chunks` chunks starts
    // (worker size() gives the end).
    size_t shareStart(size_t worker, size_t chunks) const noexcept { return worker * chunks / size(); }

private:
    using Invoke = void (*)(void*, size_t, size_t, unsigned);
    void run(size_t count, size_t grain, void* context, Invoke invoke);
    void workerLoop(unsigned worker);
    void stopWorkers() noexcept;
    void runChunks(unsigned worker);
    // Spins until ready() or the spin time is up; whether ready() held.
    template <typename Ready>
    static bool spinUntil(Ready&& ready);

    // A worker's share of the chunks of the current loop: [next, end),
    // taken by atomic increments of next. One cache line each, so that
    // workers taking their own chunks do not contend.
    struct alignas(64) Share {
        std::atomic<size_t> next{0};
        size_t end = 0;
    };

    std::unique_ptr<Share[]> shares_;
    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    void* context_ = nullptr;
    Invoke invoke_ = nullptr;
    size_t count_ = 0;
    size_t grain_ = 1;
    std::atomic<unsigned> busy_{0};
    std::atomic<uint64_t> generation_{0};
    std::atomic<bool> stopping_{false};
    // Threads asleep (or about to be) on wake_, and whether the caller is on
    // done_: only then does the other side take the mutex to wake them.
    std::atomic<unsigned> sleepers_{0};
    std::atomic<bool> callerAsleep_{false};
    std::exception_ptr failure_;
};

}  // namespace tessaron::core
