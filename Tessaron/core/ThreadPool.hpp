#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <type_traits>
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
//
// Work is taken, not assigned: a loop ends once all its chunks are done,
// whichever threads did them. A worker joins a loop only while it is open,
// and the caller, once every chunk has been taken, closes it and waits only
// for the workers inside; a worker the system has paused, or that wakes
// late, holds up nobody (the others take its share).
//
// Threads: one caller at a time runs loops; the workers own nothing but
// their index. No lock is taken on a loop's way unless a chunk throws.
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
    // is in [0, size()), and no two chunks running at once have the same
    // one, so it may index per-thread scratch (but which worker runs which
    // chunk varies from loop to loop). Returns when every chunk is done.
    // The first exception a chunk throws is rethrown here, and chunks not
    // started by then are skipped.
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
    bool join(uint64_t& seen);
    void leave();
    void stopWorkers() noexcept;
    void runChunks(unsigned worker);
    // Spins until ready() or the spin time is up; whether ready() held.
    template <typename Ready>
    static bool spinUntil(Ready&& ready);

    // The loop word: the loop's number in the high 32 bits, then whether it
    // is open, then how many workers are inside it. Workers join and leave
    // by changing it atomically, so joining and closing cannot cross.
    static constexpr uint64_t openBit = uint64_t(1) << 31;
    static constexpr uint64_t insideMask = openBit - 1;
    static constexpr uint64_t loopOf(uint64_t word) { return word >> 32; }

    // A worker's share of the chunks of the current loop: [next, end),
    // taken by atomic increments of next. One cache line each, so that
    // workers taking their own chunks do not contend.
    struct alignas(64) Share {
        std::atomic<size_t> next{0};
        size_t end = 0;
    };

    std::unique_ptr<Share[]> shares_;
    std::vector<std::thread> workers_;
    // Set by the caller before it opens a loop; read by workers inside it.
    void* context_ = nullptr;
    Invoke invoke_ = nullptr;
    size_t count_ = 0;
    size_t grain_ = 1;
    alignas(64) std::atomic<uint64_t> loop_{0};
    std::atomic<bool> stopping_{false};
    // Sleeping is waiting on these words (futexes), not on a lock: a worker
    // the system pauses holds nothing that the caller needs. Each changes
    // when there is news for the sleepers: a loop opened (or the pool
    // stopping) for workers, the last worker out of a closed loop for the
    // caller. Only when there are sleepers does the other side wake them.
    std::atomic<uint32_t> workerNews_{0};
    std::atomic<uint32_t> callerNews_{0};
    std::atomic<unsigned> sleepers_{0};
    std::atomic<bool> callerAsleep_{false};
    std::atomic<bool> failed_{false};
    std::mutex failureMutex_;
    std::exception_ptr failure_;  // guarded by failureMutex_
};

}  // namespace tessaron::core
