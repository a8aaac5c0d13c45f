// The thread pool when memory runs out: a chunk that cannot allocate on a
// worker thread, and a pool whose threads cannot all be started, both end in
// std::bad_alloc on the caller's thread instead of ending the process.
#include <gtest/gtest.h>

#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <vector>
#include <cstdlib>
#include <fstream>
#include <new>
#include <optional>
#include <string>
#include <thread>

#include "core/AvailableCPUs.hpp"
#include "core/ProcFiles.hpp"
#include "core/ThreadPool.hpp"
#include "support/SingleCPUAffinity.hpp"
#include "support/WaitUntil.hpp"

using tessaron::core::ThreadPool;

namespace {

// Private writable memory of this process in bytes (what RLIMIT_DATA counts).
size_t dataBytes() {
    const auto status = tessaron::core::procfiles::read("/proc/self/status");
    return status ? size_t(tessaron::core::procfiles::number(*status, "VmData").value_or(0)) * 1024 : 0;
}

size_t defaultStackBytes() {
    pthread_attr_t attributes;
    size_t bytes = 8u << 20;
    if (pthread_getattr_default_np(&attributes) == 0) {
        pthread_attr_getstacksize(&attributes, &bytes);
        pthread_attr_destroy(&attributes);
    }
    return bytes;
}

}  // namespace

TEST(ThreadPool, AChunkThatCannotAllocateOnAWorkerFailsTheLoopOnTheCaller) {
    ThreadPool pool(4);
    std::atomic<int> chunks{0};
    EXPECT_THROW(pool.parallelFor(64, 1,
                                  [&](size_t, size_t, unsigned worker) {
                                      ++chunks;
                                      if (worker != 0) throw std::bad_alloc();
                                      while (chunks < 2) std::this_thread::yield();  // let a worker take one
                                  }),
                 std::bad_alloc);
    // The pool stays usable after a failed loop.
    std::atomic<size_t> done{0};
    pool.parallelFor(100, 7, [&](size_t begin, size_t end, unsigned) { done += end - begin; });
    EXPECT_EQ(done, 100u);
}

TEST(ThreadPool, ThreadsThatCannotBeStartedAreOutOfMemory) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "AddressSanitizer ends the process itself when its memory runs out";
#endif
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // In a child: room for about one more thread stack, then a pool of many.
    EXPECT_EXIT(
        {
            const rlim_t ceiling = rlim_t(dataBytes() + defaultStackBytes() * 3 / 2);
            struct rlimit limit {};
            getrlimit(RLIMIT_DATA, &limit);
            limit.rlim_cur = ceiling;
            if (setrlimit(RLIMIT_DATA, &limit) != 0) std::_Exit(3);
            try {
                ThreadPool pool(16);
            } catch (const std::bad_alloc&) {
                std::_Exit(0);
            }
            std::_Exit(1);
        },
        ::testing::ExitedWithCode(0), "");
}

// Loops back to back (workers still spinning) and after pauses long enough
// for every worker to fall asleep: each loop covers every item once, the
// workers take part, and a failing chunk still reaches the caller.
TEST(ThreadPool, LoopsRunWhetherTheWorkersSpinOrSleepBetweenThem) {
    ThreadPool pool(4);
    std::vector<int> covered(997);
    for (int loop = 1; loop <= 60; ++loop) {
        if (loop % 20 == 0) {
            EXPECT_TRUE(tessaron::testing::waitUntil([&] { return pool.sleepingWorkers() == pool.size() - 1; }));
        }
        std::atomic<unsigned> workers{0};
        pool.parallelFor(covered.size(), 1, [&](size_t begin, size_t end, unsigned worker) {
            workers |= 1u << worker;
            for (size_t item = begin; item < end; ++item) covered[item] += 1;
            // The caller (worker 0) waits for a worker's first chunk, so that
            // it cannot finish the loop alone however busy the machine is.
            if (worker == 0) {
                EXPECT_TRUE(tessaron::testing::waitUntil([&] { return (workers.load() & ~1u) != 0; }));
            }
        });
        for (int count : covered) ASSERT_EQ(count, loop);
        EXPECT_NE(workers.load() & ~1u, 0u) << "loop " << loop;
    }
    EXPECT_TRUE(tessaron::testing::waitUntil([&] { return pool.sleepingWorkers() == pool.size() - 1; }));
    EXPECT_THROW(pool.parallelFor(8, 1, [](size_t begin, size_t, unsigned) {
        if (begin == 5) throw std::runtime_error("chunk failed");
    }),
                 std::runtime_error);
}

// Each worker starts with its own share of a loop: every chunk below waits
// until all workers hold one, so none can take a second before the others
// have taken their first. And a worker held up in its share has the rest
// of it done by the others, in chunks of the same bounds.
TEST(ThreadPool, WorkersTakeTheirOwnShareFirstAndHelpWithTheOthers) {
    ThreadPool pool(4);
    for (int loop = 0; loop < 20; ++loop) {
        std::atomic<unsigned> entered{0};
        std::vector<int> ranBy(pool.size(), -1);
        pool.parallelFor(pool.size() * 3, 3, [&](size_t begin, size_t end, unsigned worker) {
            ASSERT_EQ(end - begin, 3u);
            ranBy[begin / 3] = int(worker);
            ++entered;
            while (entered.load() < pool.size()) std::this_thread::yield();
        });
        for (unsigned chunk = 0; chunk < pool.size(); ++chunk) EXPECT_EQ(ranBy[chunk], int(chunk)) << "loop " << loop;
    }
    // The first share is chunks 0-4 of 20; whoever runs chunk 0 waits in it
    // until the other 19 are done, so the rest of that share is someone
    // else's.
    std::atomic<unsigned> done{0};
    std::vector<unsigned> ranBy(20, 99);
    pool.parallelFor(20, 1, [&](size_t begin, size_t, unsigned worker) {
        ranBy[begin] = worker;
        if (begin == 0)
            while (done.load() < 19) std::this_thread::yield();
        else
            ++done;
    });
    for (size_t chunk = 1; chunk < 5; ++chunk) EXPECT_NE(ranBy[chunk], ranBy[0]) << "chunk " << chunk;
    for (unsigned worker : ranBy) EXPECT_LT(worker, pool.size());
}

// A pool of "one thread per CPU" counts the CPUs the process may run on
// (its affinity, as taskset or a container's cpuset sets it), not the
// machine's.
TEST(ThreadPool, ADefaultPoolHasAThreadPerCPUTheAffinityAllows) {
    const size_t allowed = tessaron::core::availableCPUs();
    EXPECT_EQ(ThreadPool().size(), allowed);
    tessaron::testing::SingleCPUAffinity one;
    EXPECT_EQ(one.allowedBefore(), allowed);
    EXPECT_EQ(tessaron::core::availableCPUs(), 1u);
    ThreadPool pool;
    EXPECT_EQ(pool.size(), 1u);
    // The caller alone runs the loop, in one piece.
    std::vector<std::array<size_t, 3>> calls;
    pool.parallelFor(10, 1, [&](size_t begin, size_t end, unsigned worker) { calls.push_back({begin, end, worker}); });
    EXPECT_EQ(calls, (std::vector<std::array<size_t, 3>>{{0, 10, 0}}));
}

namespace {

// A worker thread held in a signal handler stands for one the system has
// paused: it takes part in nothing until it is released.
std::atomic<bool> heldWorkerInHandler{false};
std::atomic<bool> heldWorkerReleased{false};

void holdWorker(int) {
    heldWorkerInHandler = true;
    while (!heldWorkerReleased.load()) {
#if defined(__x86_64__) || defined(__i386__)
        __builtin_ia32_pause();
#endif
    }
}

// The thread of each worker, from a loop that every worker joins: each
// chunk waits until all of them are inside.
std::vector<pthread_t> workerThreads(ThreadPool& pool) {
    std::vector<pthread_t> threads(pool.size());
    std::atomic<unsigned> entered{0};
    pool.parallelFor(pool.size(), 1, [&](size_t, size_t, unsigned worker) {
        threads[worker] = pthread_self();
        ++entered;
        while (entered.load() < pool.size()) std::this_thread::yield();
    });
    return threads;
}

}  // namespace

// Loops end when their chunks are done: a worker that does not come (paused
// by the system between two loops) holds up no loop, and the others do its
// share. Once back, it joins loops again.
TEST(ThreadPool, AWorkerThatDoesNotComeHoldsUpNoLoop) {
    ThreadPool pool(4);
    const std::vector<pthread_t> threads = workerThreads(pool);
    struct sigaction hold {}, previous{};
    hold.sa_handler = holdWorker;
    sigemptyset(&hold.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &hold, &previous), 0);
    heldWorkerInHandler = false;
    heldWorkerReleased = false;
    ASSERT_EQ(pthread_kill(threads[2], SIGUSR1), 0);
    while (!heldWorkerInHandler.load()) std::this_thread::yield();

    std::atomic<bool> loopsDone{false};
    std::atomic<unsigned> ranChunks{0};
    std::vector<int> covered(500);
    std::jthread caller([&] {
        for (int loop = 1; loop <= 50; ++loop) {
            std::atomic<unsigned> workers{0};
            pool.parallelFor(covered.size(), 1, [&](size_t begin, size_t end, unsigned worker) {
                workers |= 1u << worker;
                for (size_t item = begin; item < end; ++item) covered[item] += 1;
            });
            ranChunks |= workers.load();
        }
        loopsDone = true;
    });
    // A generous deadline: a pool that waits for the held worker never gets there.
    EXPECT_TRUE(tessaron::testing::waitUntil([&] { return loopsDone.load(); }, std::chrono::seconds(60)))
        << "the loops waited for a worker that never came";
    heldWorkerReleased = true;
    caller.join();
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(ranChunks.load() & (1u << 2), 0u);
    for (int count : covered) ASSERT_EQ(count, 50);
    // Released, it takes part again.
    EXPECT_EQ(workerThreads(pool), threads);
}

namespace {

// The load a test tells a pool: CPUs and other programs' runnable threads,
// or nothing known.
std::atomic<size_t> toldCPUs{8};
std::atomic<size_t> toldOthers{0};
std::atomic<bool> loadKnown{true};

std::optional<ThreadPool::MachineLoad> toldLoad(size_t) {
    if (!loadKnown.load()) return std::nullopt;
    return ThreadPool::MachineLoad{toldCPUs.load(), toldOthers.load()};
}

// Runs `loops` loops (each looks at the load once); the workers that ran
// chunks in any of them. Worker 0 waits in its first chunk until a worker
// of the width has run one, so that the others' part does not depend on
// how fast the caller is.
unsigned runLoops(ThreadPool& pool, int loops) {
    unsigned ranBy = 0;
    for (int loop = 0; loop < loops; ++loop) {
        std::atomic<unsigned> workers{0};
        std::vector<int> covered(301);
        pool.parallelFor(covered.size(), 1, [&](size_t begin, size_t end, unsigned worker) {
            workers |= 1u << worker;
            for (size_t item = begin; item < end; ++item) covered[item] += 1;
            if (worker == 0 && begin == 0 && pool.width() > 1) {
                EXPECT_TRUE(tessaron::testing::waitUntil([&] { return (workers.load() & ~1u) != 0; }));
            }
        });
        for (int count : covered) EXPECT_EQ(count, 1);
        ranBy |= workers.load();
    }
    return ranBy;
}

// A loop each of whose chunks waits until every worker holds one.
void everyWorkerTakesPart(ThreadPool& pool) {
    std::atomic<unsigned> entered{0};
    pool.parallelFor(pool.size(), 1, [&](size_t, size_t, unsigned) {
        ++entered;
        EXPECT_TRUE(tessaron::testing::waitUntil([&] { return entered.load() == pool.size(); }));
    });
}

unsigned widthBeside(unsigned threads, size_t cpus, size_t others) {
    ThreadPool pool(threads);
    toldCPUs = cpus;
    toldOthers = others;
    pool.followMachineLoad(&toldLoad, std::chrono::nanoseconds(0));
    runLoops(pool, 20);
    return pool.width();
}

}  // namespace

// Beside other busy programs a pool that follows the load runs its loops on
// the CPUs they leave free: workers past that take no chunk, and come back
// as soon as the CPUs are free again. A passing load, or one that already
// overloads the machine, leaves all threads at work.
TEST(ThreadPool, APoolFollowingTheLoadRunsOnTheCPUsOtherProgramsLeaveFree) {
    loadKnown = true;
    ThreadPool pool(8);
    toldCPUs = 8;
    toldOthers = 4;
    pool.followMachineLoad(&toldLoad, std::chrono::nanoseconds(0));
    // Seen at seven of sixteen looks, the load may be passing; at the
    // eighth, it is what the looks mostly see.
    runLoops(pool, 7);
    EXPECT_EQ(pool.width(), 8u);
    runLoops(pool, 1);
    EXPECT_EQ(pool.width(), 4u);
    const unsigned narrow = runLoops(pool, 30);
    EXPECT_EQ(narrow & ~0xFu, 0u) << std::hex << narrow;
    EXPECT_NE(narrow & 0xEu, 0u);

    // One look that misses the load changes nothing.
    toldOthers = 0;
    runLoops(pool, 1);
    EXPECT_EQ(pool.width(), 4u);
    // Free again for most of the looks: all workers take part in the next loop.
    runLoops(pool, 7);
    EXPECT_EQ(pool.width(), 4u);
    runLoops(pool, 1);
    EXPECT_EQ(pool.width(), 8u);
    everyWorkerTakesPart(pool);

    // A load of unknown size changes nothing; no probe, all threads again.
    toldOthers = 4;
    loadKnown = false;
    runLoops(pool, 20);
    EXPECT_EQ(pool.width(), 8u);
    loadKnown = true;
    runLoops(pool, 20);
    EXPECT_EQ(pool.width(), 4u);
    pool.followMachineLoad(nullptr);
    EXPECT_EQ(pool.width(), 8u);
    everyWorkerTakesPart(pool);

    EXPECT_EQ(widthBeside(4, 8, 4), 4u);
    EXPECT_EQ(widthBeside(8, 8, 1), 7u);
    EXPECT_EQ(widthBeside(4, 8, 6), 2u);
    EXPECT_EQ(widthBeside(4, 2, 0), 2u);
    EXPECT_EQ(widthBeside(8, 8, 20), 8u);  // overloaded anyway: the share of all threads
    EXPECT_EQ(widthBeside(8, 8, 7), 8u);
}

// The kernel's count is read on this machine (a fault there would quietly
// leave every pool at full width).
TEST(ThreadPool, TheMachinesLoadIsRead) {
    const auto load = ThreadPool::machineLoad(0);
    ASSERT_TRUE(load.has_value());
    EXPECT_EQ(load->cpus, size_t(::sysconf(_SC_NPROCESSORS_ONLN)));
    // This thread is runnable while it reads.
    EXPECT_GE(load->others, 1u);
    EXPECT_EQ(ThreadPool::machineLoad(1000000)->others, 0u);
}
