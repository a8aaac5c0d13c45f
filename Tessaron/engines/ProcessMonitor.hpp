#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/Executor.hpp"
#include "core/SerialQueue.hpp"

namespace tessaron::engines {

// One measurement of one watched process.
struct ProcessSnapshot {
    int32_t id = 0;     // the pid
    std::string name;   // "Tessaron" for the application, else the tag it is watched under
    uint64_t rssBytes = 0;  // memory footprint; 0 when the process was not readable
    double cpuPercent = 0;  // since the previous sample, percent of one core; 0 when not readable
    bool alive = false;     // false when the process has ended or was not readable

    bool operator==(const ProcessSnapshot&) const = default;
};

// Samples, once a second, the CPU use and memory footprint of the application
// and of the child processes registered with it, from /proc, and publishes
// the list through an executor (the app layer passes one that posts to the
// Qt event loop).
//
// Memory is the nearest Linux equivalent of a physical footprint: resident
// anonymous and shared-memory pages plus swapped-out pages (RssAnon +
// RssShmem + VmSwap of /proc/<pid>/status); clean file-backed pages, which
// the system can drop at will, do not count. When those fields are missing
// the resident size (VmRSS) stands in.
//
// Thread ownership: `watched_` is read and written only on `serialQueue_`;
// the ticker thread only enqueues samples; the published list and the
// handler live in `publication_`, guarded by its mutex. A tick or a publish
// that comes after the monitor was destroyed does nothing.
class ProcessMonitor {
public:
    using SnapshotsHandler = std::function<void(const std::vector<ProcessSnapshot>&)>;

    static constexpr const char* kApplicationName = "Tessaron";
    // Seconds on a monotonic clock: the time CPU use is divided by.
    using Clock = std::function<double()>;

    explicit ProcessMonitor(core::Executor publishExecutor = core::inlineExecutor(), Clock clock = steadySeconds);
    // Stops the ticker, then finishes queued samples without publishing them.
    ~ProcessMonitor();
    ProcessMonitor(const ProcessMonitor&) = delete;
    ProcessMonitor& operator=(const ProcessMonitor&) = delete;

    // Watches the application itself and starts the one-second ticker, with
    // one sample at once. A second call does nothing.
    void start();
    // From any thread; a pid that is already watched (under any name) is
    // ignored. Samples at once.
    void watch(const std::string& name, int32_t pid);
    // Removes every entry watched under `name` and samples at once.
    void unwatch(const std::string& name);

    // The latest published list, in the order processes were added.
    std::vector<ProcessSnapshot> snapshots() const;
    // The standard clock: the steady clock in seconds.
    static double steadySeconds();
    // Called through the executor after each published list; never with a
    // lock held.
    void setOnSnapshots(SnapshotsHandler handler);

private:
    struct Watched {
        std::string name;
        int32_t pid = 0;
        uint64_t prevCPUNanos = 0;
        double prevSampleTime = 0;  // seconds on clock_
    };

    struct Publication {
        std::mutex mutex;
        std::vector<ProcessSnapshot> snapshots;
        SnapshotsHandler onSnapshots;
    };

    void scheduleSample();
    void sample();  // on serialQueue_
    void publish(std::vector<ProcessSnapshot> list);

    core::Executor publishExecutor_;
    Clock clock_;
    std::shared_ptr<Publication> publication_ = std::make_shared<Publication>();
    std::vector<Watched> watched_;
    std::atomic<bool> stopping_ = false;  // set by the destructor; queued samples then do nothing
    std::mutex startMutex_;  // guards ticker_ against two concurrent start() calls
    std::jthread ticker_;
    // Last member: destroyed first, finishing queued samples while the
    // fields above still exist.
    core::SerialQueue serialQueue_{"com.tessaron.process-monitor"};
};

}  // namespace tessaron::engines
