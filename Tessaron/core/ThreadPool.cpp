#include "core/ThreadPool.hpp"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <climits>
#include <new>
#include <string_view>
#include <utility>

#include "core/AvailableCPUs.hpp"

namespace tessaron::core {

namespace {

// Sleeping on a word and waking its sleepers, straight through the kernel:
// std::atomic's wait() yields the processor a few times before it sleeps,
// and on a busy machine a yielding thread may not get it back for a whole
// time slice of another program.
static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t) && std::atomic<uint32_t>::is_always_lock_free);

// Sleeps unless `word` no longer holds `seen`; may return early.
void sleepOn(std::atomic<uint32_t>& word, uint32_t seen) noexcept {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
}

void wakeAll(std::atomic<uint32_t>& word) noexcept {
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

// The width at which a loop is expected to end soonest beside `others`
// runnable threads of other programs on `cpus` CPUs. Up to the CPUs left
// free, each thread has one of its own. Past that, the system shares the
// CPUs evenly among all runnable threads, so w threads get w·cpus/(others
// + w) CPUs' worth, but loops then lose a good part of it waiting for
// chunks whose threads are paused: bench/TrainerBusyMachineBench found 8
// threads beside 4 busy programs on 8 CPUs about 0.6 times as fast as
// their share promised. One thread waits for nobody. So a machine with
// CPUs to spare gets as many threads as it has free, and one already
// overloaded gets all of them, whose share then outweighs the waiting.
unsigned widthFor(size_t others, size_t cpus, unsigned threads) {
    constexpr double sharedEfficiency = 0.6;
    unsigned best = 1;
    double bestSpeed = 0;
    for (unsigned width = 1; width <= threads; ++width) {
        const double runnable = double(others + width);
        double speed = double(width);
        if (others + width > cpus) {
            speed *= double(cpus) / runnable;
            if (width > 1) speed *= sharedEfficiency;
        }
        if (speed >= bestSpeed) best = width, bestSpeed = speed;
    }
    return best;
}

}  // namespace

std::optional<ThreadPool::MachineLoad> ThreadPool::machineLoad(size_t poolAwake) noexcept {
    // "0.52 0.58 0.59 3/412 12345": the fourth field's first number. Read
    // without allocating: the caller of a loop does this.
    const int file = ::open("/proc/loadavg", O_RDONLY | O_CLOEXEC);
    if (file < 0) return std::nullopt;
    char buffer[128];
    const ssize_t length = ::read(file, buffer, sizeof buffer);
    ::close(file);
    if (length <= 0) return std::nullopt;
    std::string_view text(buffer, size_t(length));
    for (int field = 0; field < 3; ++field) {
        const size_t blank = text.find(' ');
        if (blank == std::string_view::npos) return std::nullopt;
        text.remove_prefix(blank + 1);
    }
    size_t runnable = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), runnable);
    if (error != std::errc() || end == text.data() || end == text.data() + text.size() || *end != '/')
        return std::nullopt;
    const long cpus = ::sysconf(_SC_NPROCESSORS_ONLN);
    if (cpus <= 0) return std::nullopt;
    return MachineLoad{size_t(cpus), runnable > poolAwake ? runnable - poolAwake : 0};
}

ThreadPool::ThreadPool(unsigned threads) {
    if (threads == 0) threads = unsigned(std::max<size_t>(1, availableCPUs()));
    shares_ = std::make_unique<Share[]>(threads);
    width_ = threads;
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
    stopping_ = true;
    ++workerNews_;
    wakeAll(workerNews_);
    ++widthNews_;
    wakeAll(widthNews_);
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
                std::lock_guard lock(failureMutex_);
                if (!failure_) failure_ = std::current_exception();
                failed_ = true;
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

// Joins the newest loop if it is still open. `seen` becomes that loop's
// number either way, so a worker too late for a loop waits for the next.
bool ThreadPool::join(uint64_t& seen) {
    uint64_t word = loop_.load();
    for (;;) {
        seen = loopOf(word);
        if ((word & openBit) == 0) return false;
        if (loop_.compare_exchange_weak(word, word + 1)) return true;
    }
}

// Leaves the loop joined; the last worker out of a closed loop wakes the
// caller if it sleeps.
void ThreadPool::leave() {
    const uint64_t before = loop_.fetch_sub(1);
    if ((before & openBit) == 0 && (before & insideMask) == 1 && callerAsleep_.load()) {
        ++callerNews_;
        wakeAll(callerNews_);
    }
}

// Sleeps while the pool is too narrow for this worker.
void ThreadPool::park(unsigned worker) {
    // Counted before the look at the width: a pool that widens after it
    // sees a parked worker and wakes it.
    ++parked_;
    for (uint32_t news = widthNews_.load(); worker >= width_.load() && !stopping_.load(); news = widthNews_.load())
        sleepOn(widthNews_, news);
    --parked_;
}

void ThreadPool::workerLoop(unsigned worker) {
    uint64_t seen = 0;
    for (;;) {
        if (worker >= width_.load()) park(worker);
        const auto moved = [&] { return stopping_.load() || loopOf(loop_.load()) != seen; };
        if (!spinUntil(moved)) {
            // Counted before the last look: a loop that opens after it sees
            // a sleeper and wakes it, and the news word has changed by then.
            ++sleepers_;
            for (uint32_t news = workerNews_.load(); !moved(); news = workerNews_.load()) sleepOn(workerNews_, news);
            --sleepers_;
        }
        if (stopping_) return;
        if (!join(seen)) continue;
        // The width is that of the loop joined (it changes only between
        // loops): past it, this worker has no part in the loop.
        if (worker < width_.load()) runChunks(worker);
        leave();
    }
}

void ThreadPool::followMachineLoad(LoadProbe probe, std::chrono::nanoseconds every) noexcept {
    probe_ = probe;
    lookInterval_ = every;
    othersSeen_.fill(0);
    looks_ = 0;
    nextLook_ = {};
    if (!probe_) setWidth(size());
}

void ThreadPool::setWidth(unsigned width) {
    const unsigned before = width_.load();
    if (width == before) return;
    width_ = width;
    if (width > before) {
        ++widthNews_;
        if (parked_.load() > 0) wakeAll(widthNews_);
    }
}

void ThreadPool::lookAtLoad() {
    const auto now = std::chrono::steady_clock::now();
    if (now < nextLook_) return;
    nextLook_ = now + lookInterval_;
    // Every worker not asleep is runnable, working or spinning.
    const size_t asleep = std::min<size_t>(sleepers_.load() + parked_.load(), size() - 1);
    const std::optional<MachineLoad> load = probe_(size() - asleep);
    if (!load) return;  // nothing known: the width stays
    othersSeen_[looks_++ % loadLooks] = load->others;
    // The load most of the last looks saw: neither a passing load nor one
    // look that missed it moves the width (the looks before the first ones
    // found none).
    std::array<size_t, loadLooks> seen = othersSeen_;
    std::nth_element(seen.begin(), seen.begin() + loadLooks / 2, seen.end());
    const size_t others = seen[loadLooks / 2];
    setWidth(widthFor(others, std::max<size_t>(1, load->cpus), size()));
}

void ThreadPool::run(size_t count, size_t grain, void* context, Invoke invoke) {
    if (count == 0) return;
    grain = std::max<size_t>(1, grain);
    if (workers_.empty() || count <= grain) {
        invoke(context, 0, count, 0);
        return;
    }
    if (probe_) lookAtLoad();
    // No worker is inside a loop here, and none reads these before it has
    // joined the one opened below. Workers past the width have no share and
    // take no chunk.
    context_ = context;
    invoke_ = invoke;
    count_ = count;
    grain_ = grain;
    const size_t chunks = (count + grain - 1) / grain, width = width_.load();
    for (size_t worker = 0; worker < size(); ++worker) {
        const size_t start = std::min(worker, width) * chunks / width;
        shares_[worker].next.store(start, std::memory_order_relaxed);
        shares_[worker].end = std::min(worker + 1, width) * chunks / width;
    }
    const uint64_t number = loopOf(loop_.load()) + 1;
    loop_.store(number << 32 | openBit);
    if (sleepers_.load() > 0) {
        ++workerNews_;
        wakeAll(workerNews_);
    }
    runChunks(0);
    // Every chunk has been taken: closed, the loop takes no more workers,
    // and ends when those inside have finished theirs.
    loop_.fetch_and(~openBit);
    const auto finished = [&] { return (loop_.load() & insideMask) == 0; };
    if (!spinUntil(finished)) {
        callerAsleep_ = true;
        for (uint32_t news = callerNews_.load(); !finished(); news = callerNews_.load()) sleepOn(callerNews_, news);
        callerAsleep_ = false;
    }
    context_ = nullptr;
    if (failed_.load()) {
        std::lock_guard lock(failureMutex_);
        failed_ = false;
        std::rethrow_exception(std::exchange(failure_, nullptr));
    }
}

}  // namespace tessaron::core
