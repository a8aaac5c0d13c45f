#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <iterator>
#include <sstream>
#include <mutex>
#include <thread>

#include "engines/ProcessMonitor.hpp"
#include "support/WaitUntil.hpp"

extern char** environ;

using namespace tessaron::engines;
using namespace std::chrono_literals;

namespace {

// Every list the monitor publishes, in order.
class SnapshotRecorder {
public:
    void attach(ProcessMonitor& monitor) {
        monitor.setOnSnapshots([this](const std::vector<ProcessSnapshot>& list) {
            std::lock_guard lock(mutex_);
            lists_.push_back(list);
            changed_.notify_all();
        });
    }

    // The list with index `index` (0-based), waiting for it.
    std::vector<ProcessSnapshot> list(size_t index) {
        std::unique_lock lock(mutex_);
        bool arrived = changed_.wait_for(lock, tessaron::testing::conditionTimeout, [&] { return lists_.size() > index; });
        if (!arrived) throw std::runtime_error("no list number " + std::to_string(index) + " was published");
        return lists_[index];
    }

    size_t count() {
        std::lock_guard lock(mutex_);
        return lists_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::vector<ProcessSnapshot>> lists_;
};

// A shell child that this test reaps itself, so it can stay a zombie.
class Child {
public:
    explicit Child(const std::string& script) {
        std::vector<std::string> storage{"/bin/sh", "-c", script};
        std::vector<char*> argv;
        for (auto& argument : storage) argv.push_back(argument.data());
        argv.push_back(nullptr);
        if (::posix_spawn(&pid_, "/bin/sh", nullptr, nullptr, argv.data(), environ) != 0)
            throw std::runtime_error("could not start " + script);
    }
    ~Child() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            reap();
        }
    }
    int32_t pid() const { return pid_; }
    void reap() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
    }
    // Waits until the child has exited but is not reaped.
    void waitUntilZombie() {
        siginfo_t info{};
        ::waitid(P_PID, id_t(pid_), &info, WEXITED | WNOWAIT);
    }

private:
    pid_t pid_ = -1;
};

// User plus system time of a process in seconds, read independently of the
// monitor from fields 14 and 15 of /proc/<pid>/stat.
double cpuSecondsOf(int32_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string contents((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    std::istringstream fields(contents.substr(contents.rfind(')') + 2));
    std::string field;
    for (int index = 3; index <= 13; ++index) fields >> field;
    double userTicks = 0, systemTicks = 0;
    fields >> userTicks >> systemTicks;
    return (userTicks + systemTicks) / double(::sysconf(_SC_CLK_TCK));
}

// The state letter of /proc/<pid>/stat ('T' when stopped by a signal).
char stateOf(int32_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string contents((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    size_t nameEnd = contents.rfind(')');
    return nameEnd == std::string::npos || nameEnd + 2 >= contents.size() ? '?' : contents[nameEnd + 2];
}

// Stops `pid` and waits until it no longer runs, so its CPU time holds still.
bool stop(int32_t pid) {
    ::kill(pid, SIGSTOP);
    return tessaron::testing::waitUntil([pid] { return stateOf(pid) == 'T'; });
}

const ProcessSnapshot* find(const std::vector<ProcessSnapshot>& list, int32_t pid) {
    for (const auto& snapshot : list)
        if (snapshot.id == pid) return &snapshot;
    return nullptr;
}

}  // namespace

TEST(ProcessMonitor, FirstListIsTheApplicationAloneThenItTicksEverySecond) {
    SnapshotRecorder recorder;  // outlives the monitor, which may publish until it is gone
    ProcessMonitor monitor;
    recorder.attach(monitor);
    monitor.start();
    monitor.start();  // a second start adds nothing and starts no second ticker

    auto first = recorder.list(0);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].name, "Tessaron");
    EXPECT_EQ(first[0].id, int32_t(::getpid()));
    EXPECT_TRUE(first[0].alive);
    EXPECT_GT(first[0].rssBytes, 0u);

    // Two lists come at once (the watch and the start), the next from a tick.
    auto started = std::chrono::steady_clock::now();
    auto ticked = recorder.list(2);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 500ms);
    EXPECT_EQ(ticked.size(), 1u);
    auto latest = monitor.snapshots();
    ASSERT_EQ(latest.size(), 1u);
    EXPECT_EQ(latest[0].name, "Tessaron");
}

// A monitor without its ticker: lists come only from watch, unwatch and
// sampleNow(), so each test knows which list is which. Its clock stands
// still until a test moves it.
class ProcessMonitorSampling : public ::testing::Test {
protected:
    void SetUp() override { recorder.attach(monitor); }
    // Unwatching a tag nobody uses samples at once and changes nothing else.
    void sampleNow() { monitor.unwatch("no such tag"); }

    SnapshotRecorder recorder;  // outlives the monitor, which may publish until it is gone
    std::atomic<double> clockSeconds = 1000;
    ProcessMonitor monitor{tessaron::core::inlineExecutor(), [this] { return clockSeconds.load(); }};
};

TEST_F(ProcessMonitorSampling, BusyChildShowsItsShareOfACoreAndItsMemory) {
    // The child is stopped while the monitor reads it, so that the monitor
    // and this test see the same CPU time however busy the machine is; the
    // monitor's clock moves by exactly the time the share is taken over.
    Child busy("while :; do :; done");
    ASSERT_TRUE(stop(busy.pid()));
    monitor.watch("busy", busy.pid());
    auto baseline = recorder.list(0);
    ASSERT_NE(find(baseline, busy.pid()), nullptr);
    double cpuBefore = cpuSecondsOf(busy.pid());

    ::kill(busy.pid(), SIGCONT);
    ASSERT_TRUE(tessaron::testing::waitUntil([&] { return cpuSecondsOf(busy.pid()) >= cpuBefore + 0.3; }));
    ASSERT_TRUE(stop(busy.pid()));
    double cpuSpent = cpuSecondsOf(busy.pid()) - cpuBefore;
    clockSeconds = clockSeconds + 0.5;
    sampleNow();
    auto measured = recorder.list(1);
    const ProcessSnapshot* snapshot = find(measured, busy.pid());
    ASSERT_NE(snapshot, nullptr);
    EXPECT_EQ(snapshot->name, "busy");
    EXPECT_TRUE(snapshot->alive);
    EXPECT_GT(snapshot->rssBytes, 0u);
    // The kernel's own account of the child's CPU time over the half second.
    EXPECT_NEAR(snapshot->cpuPercent, cpuSpent / 0.5 * 100, 1e-6);
    EXPECT_GE(snapshot->cpuPercent, 60.0);
}

TEST_F(ProcessMonitorSampling, EndedChildAppearsOnceAsNotAliveThenNeverAgain) {
    Child child("sleep 0.2");
    monitor.watch("colmap", child.pid());
    auto whileRunning = recorder.list(0);
    ASSERT_NE(find(whileRunning, child.pid()), nullptr);
    EXPECT_TRUE(find(whileRunning, child.pid())->alive);

    // Not reaped yet: a zombie already counts as ended.
    child.waitUntilZombie();
    sampleNow();
    auto ended = recorder.list(1);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0], (ProcessSnapshot{child.pid(), "colmap", 0, 0.0, false}));

    sampleNow();
    EXPECT_TRUE(recorder.list(2).empty());
    child.reap();
}

TEST_F(ProcessMonitorSampling, UnreadablePidIsAddedThenDroppedAsEnded) {
    Child child("exit 0");
    int32_t pid = child.pid();
    child.reap();  // the pid no longer names a process
    monitor.watch("trevik", pid);
    EXPECT_EQ(recorder.list(0), (std::vector<ProcessSnapshot>{{pid, "trevik", 0, 0.0, false}}));
    sampleNow();
    EXPECT_TRUE(recorder.list(1).empty());
}

TEST_F(ProcessMonitorSampling, WatchIgnoresKnownPidsAndUnwatchRemovesEveryEntryOfTheTag) {
    Child first("exec sleep 30"), second("exec sleep 30"), third("exec sleep 30");
    monitor.watch("colmap", first.pid());
    monitor.watch("trevik", second.pid());
    monitor.watch("colmap", third.pid());
    monitor.watch("other", first.pid());  // known pid: no entry, no sample
    monitor.unwatch("colmap");

    auto afterWatches = recorder.list(2);
    ASSERT_EQ(afterWatches.size(), 3u);
    EXPECT_EQ(afterWatches[0].id, first.pid());
    EXPECT_EQ(afterWatches[0].name, "colmap");
    EXPECT_EQ(afterWatches[1].id, second.pid());
    EXPECT_EQ(afterWatches[2].id, third.pid());

    auto afterUnwatch = recorder.list(3);
    ASSERT_EQ(afterUnwatch.size(), 1u);
    EXPECT_EQ(afterUnwatch[0].id, second.pid());
    EXPECT_EQ(afterUnwatch[0].name, "trevik");
    EXPECT_EQ(recorder.count(), 4u);
}

TEST(ProcessMonitor, ListsPublishedAfterTheMonitorWentAwayAreDropped) {
    // An executor that only collects the work, like a main loop that has not
    // run yet when the monitor is released.
    std::mutex mutex;
    std::vector<std::function<void()>> pending;
    int handled = 0;
    {
        ProcessMonitor monitor([&](std::function<void()> work) {
            std::lock_guard lock(mutex);
            pending.push_back(std::move(work));
        });
        monitor.setOnSnapshots([&](const std::vector<ProcessSnapshot>&) { ++handled; });
        monitor.start();
        tessaron::testing::waitUntil([&] {
            std::lock_guard lock(mutex);
            return !pending.empty();
        });
    }
    std::lock_guard lock(mutex);
    ASSERT_FALSE(pending.empty());
    for (auto& work : pending) work();
    EXPECT_EQ(handled, 0);
}
