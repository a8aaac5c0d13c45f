#include <gtest/gtest.h>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "engines/ProcessMonitor.hpp"

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

    // The list with index `index` (0-based), waiting up to five seconds.
    std::vector<ProcessSnapshot> list(size_t index) {
        std::unique_lock lock(mutex_);
        bool arrived = changed_.wait_for(lock, 5s, [&] { return lists_.size() > index; });
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

TEST(ProcessMonitor, BusyChildShowsAboutOneCoreAndItsMemory) {
    Child busy("while :; do :; done");
    SnapshotRecorder recorder;  // outlives the monitor, which may publish until it is gone
    ProcessMonitor monitor;
    recorder.attach(monitor);
    monitor.watch("busy", busy.pid());
    auto baseline = recorder.list(0);
    ASSERT_NE(find(baseline, busy.pid()), nullptr);

    std::this_thread::sleep_for(1s);
    monitor.unwatch("no such tag");  // samples at once
    auto measured = recorder.list(1);
    const ProcessSnapshot* snapshot = find(measured, busy.pid());
    ASSERT_NE(snapshot, nullptr);
    EXPECT_EQ(snapshot->name, "busy");
    EXPECT_TRUE(snapshot->alive);
    EXPECT_GT(snapshot->rssBytes, 0u);
    // One core is 100; the bounds leave room for a machine shared with
    // other work.
    EXPECT_GT(snapshot->cpuPercent, 50.0);
    EXPECT_LT(snapshot->cpuPercent, 150.0);
}

TEST(ProcessMonitor, EndedChildAppearsOnceAsNotAliveThenNeverAgain) {
    Child child("sleep 0.2");
    SnapshotRecorder recorder;  // outlives the monitor, which may publish until it is gone
    ProcessMonitor monitor;
    recorder.attach(monitor);
    monitor.watch("colmap", child.pid());
    auto whileRunning = recorder.list(0);
    ASSERT_NE(find(whileRunning, child.pid()), nullptr);
    EXPECT_TRUE(find(whileRunning, child.pid())->alive);

    // Not reaped yet: a zombie already counts as ended.
    child.waitUntilZombie();
    monitor.unwatch("no such tag");
    auto ended = recorder.list(1);
    ASSERT_EQ(ended.size(), 1u);
    EXPECT_EQ(ended[0], (ProcessSnapshot{child.pid(), "colmap", 0, 0.0, false}));

    monitor.unwatch("no such tag");
    EXPECT_TRUE(recorder.list(2).empty());
    child.reap();
}

TEST(ProcessMonitor, UnreadablePidIsAddedThenDroppedAsEnded) {
    Child child("exit 0");
    int32_t pid = child.pid();
    child.reap();  // the pid no longer names a process
    SnapshotRecorder recorder;  // outlives the monitor, which may publish until it is gone
    ProcessMonitor monitor;
    recorder.attach(monitor);
    monitor.watch("trevik", pid);
    EXPECT_EQ(recorder.list(0), (std::vector<ProcessSnapshot>{{pid, "trevik", 0, 0.0, false}}));
    monitor.unwatch("no such tag");
    EXPECT_TRUE(recorder.list(1).empty());
}

TEST(ProcessMonitor, WatchIgnoresKnownPidsAndUnwatchRemovesEveryEntryOfTheTag) {
    Child first("exec sleep 30"), second("exec sleep 30"), third("exec sleep 30");
    SnapshotRecorder recorder;  // outlives the monitor, which may publish until it is gone
    ProcessMonitor monitor;
    recorder.attach(monitor);
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
        for (int attempt = 0; attempt < 500; ++attempt) {
            {
                std::lock_guard lock(mutex);
                if (!pending.empty()) break;
            }
            std::this_thread::sleep_for(2ms);
        }
    }
    std::lock_guard lock(mutex);
    ASSERT_FALSE(pending.empty());
    for (auto& work : pending) work();
    EXPECT_EQ(handled, 0);
}
