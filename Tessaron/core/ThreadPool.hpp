#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
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
// A pool told to follow the machine's load runs its loops on as many threads
// as the CPUs other programs leave free (at least the caller's). Where
// they keep CPUs busy, more runnable threads than CPUs means the system
// pauses some of them in turn, for a whole time slice, and a loop must wait
// for a paused thread's chunk in hand however many others help; fewer
// threads, each with a CPU of its own, finish sooner. Where they leave few
// CPUs free or none, it keeps all its threads: their share of the CPUs then
// outweighs the waiting. Which threads run a loop never changes what the
// loop computes, only how soon.
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

    // The machine's CPUs, and how many threads of other programs (and of
    // this process outside the pool) are runnable at the moment.
    struct MachineLoad {
        size_t cpus = 1;
        size_t others = 0;
    };
    // Given how many of the pool's threads are awake (each of them
    // runnable); nothing when the load cannot be told.
    using LoadProbe = std::optional<MachineLoad> (*)(size_t poolAwake);
    // The kernel's count of runnable threads (/proc/loadavg) less the
    // pool's, on the CPUs online.
    static std::optional<MachineLoad> machineLoad(size_t poolAwake) noexcept;

    // From now on, loops run on as many threads as are expected to end them
    // soonest beside the load `probe` tells, looked at no more often than
    // `every` (the pool follows the load most of its last looks saw, so
    // neither a passing load nor one look that missed it moves it). Workers
    // left out sleep. A null probe: all threads again. Called by the thread
    // that runs the loops, between loops.
    void followMachineLoad(LoadProbe probe = &machineLoad,
                           std::chrono::nanoseconds every = std::chrono::milliseconds(2)) noexcept;
    // How many threads (the caller's included) the next loop runs on at
    // most: size() unless the pool follows the machine's load.
    unsigned width() const noexcept { return width_.load(std::memory_order_relaxed); }
    // How many workers sleep between loops now (past their spin).
    unsigned sleepingWorkers() const noexcept { return sleepers_.load(); }

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
    // (worker size() gives the end) while the pool runs on all its threads.
    size_t shareStart(size_t worker, size_t chunks) const noexcept { return worker * chunks / size(); }

private:
    using Invoke = void (*)(void*, size_t, size_t, unsigned);
    void run(size_t count, size_t grain, void* context, Invoke invoke);
    void workerLoop(unsigned worker);
    bool join(uint64_t& seen);
    void leave();
    void park(unsigned worker);
    void lookAtLoad();
    void setWidth(unsigned width);
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
    // Workers at or past the width take part in no loop; they sleep on
    // widthNews_, which changes when the pool widens (or stops).
    std::atomic<unsigned> width_{1};
    std::atomic<uint32_t> widthNews_{0};
    std::atomic<unsigned> parked_{0};
    // Following the load (the caller's alone): when to look next, and how
    // many threads of other programs the last looks found runnable.
    static constexpr size_t loadLooks = 16;
    LoadProbe probe_ = nullptr;
    std::chrono::nanoseconds lookInterval_{};
    std::chrono::steady_clock::time_point nextLook_{};
    std::array<size_t, loadLooks> othersSeen_{};
    size_t looks_ = 0;
    std::atomic<bool> failed_{false};
    std::mutex failureMutex_;
    std::exception_ptr failure_;  // guarded by failureMutex_
};

}  // namespace tessaron::core
