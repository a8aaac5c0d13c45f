#include "engines/ProcessMonitor.hpp"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <string_view>

#include "core/ProcFiles.hpp"

namespace tessaron::engines {

namespace {

// What /proc/<pid>/stat tells about a process that has not ended.
struct StatReading {
    uint64_t cpuNanos = 0;       // user + system time
    uint64_t residentBytes = 0;  // rss
};

uint64_t ticksToNanos(uint64_t ticks) {
    static const uint64_t ticksPerSecond = [] {
        long value = ::sysconf(_SC_CLK_TCK);
        return value > 0 ? uint64_t(value) : uint64_t(100);
    }();
    constexpr uint64_t kNanosPerSecond = 1'000'000'000;
    // Split so that large tick counts cannot overflow the product.
    return ticks / ticksPerSecond * kNanosPerSecond + ticks % ticksPerSecond * kNanosPerSecond / ticksPerSecond;
}

// Nothing when the file cannot be read or the process is a zombie or dead:
// an ended child that its parent has not reaped yet counts as ended.
std::optional<StatReading> readStat(int32_t pid) {
    const auto contents = core::procfiles::read("/proc/" + std::to_string(pid) + "/stat");
    if (!contents) return std::nullopt;
    const auto fields = core::procfiles::StatFields::parse(*contents);
    if (!fields) return std::nullopt;
    const std::string_view state = (*fields)[3];
    if (state.empty() || state == "Z" || state == "X" || state == "x") return std::nullopt;
    const auto userTicks = fields->numberAt(14), systemTicks = fields->numberAt(15);
    const auto residentPages = fields->numberAt(24);
    if (!userTicks || !systemTicks || !residentPages) return std::nullopt;
    static const uint64_t pageSize = uint64_t(::sysconf(_SC_PAGESIZE));
    return StatReading{ticksToNanos(uint64_t(std::max<int64_t>(0, *userTicks))) +
                           ticksToNanos(uint64_t(std::max<int64_t>(0, *systemTicks))),
                       *residentPages > 0 ? uint64_t(*residentPages) * pageSize : 0};
}

// The footprint from /proc/<pid>/status (see the class comment), or nothing
// when the file or its memory fields cannot be read.
std::optional<uint64_t> readFootprint(int32_t pid) {
    const auto contents = core::procfiles::read("/proc/" + std::to_string(pid) + "/status");
    if (!contents) return std::nullopt;
    const auto kilobytes = [&](std::string_view key) { return core::procfiles::number(*contents, key); };
    if (const auto anonymousKB = kilobytes("RssAnon"))
        return (*anonymousKB + kilobytes("RssShmem").value_or(0) + kilobytes("VmSwap").value_or(0)) * 1024;
    if (const auto residentKB = kilobytes("VmRSS")) return *residentKB * 1024;
    return std::nullopt;
}

}  // namespace

double ProcessMonitor::steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

ProcessMonitor::ProcessMonitor(core::Executor publishExecutor, Clock clock)
    : publishExecutor_(std::move(publishExecutor)), clock_(std::move(clock)) {}

ProcessMonitor::~ProcessMonitor() {
    stopping_ = true;
    ticker_.request_stop();
    if (ticker_.joinable()) ticker_.join();
    // serialQueue_ goes next (last member): the samples still queued see
    // `stopping_` and publish nothing.
}

void ProcessMonitor::start() {
    std::lock_guard lock(startMutex_);
    if (ticker_.joinable()) return;
    watch(kApplicationName, int32_t(::getpid()));
    ticker_ = std::jthread([this](std::stop_token stop) {
        std::mutex mutex;
        std::condition_variable_any wake;
        std::unique_lock tickLock(mutex);
        auto nextTick = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        for (;;) {
            wake.wait_until(tickLock, stop, nextTick, [] { return false; });
            if (stop.stop_requested()) return;
            scheduleSample();
            nextTick += std::chrono::seconds(1);
            // After a suspend, skip the missed ticks instead of catching up.
            auto now = std::chrono::steady_clock::now();
            if (nextTick < now) nextTick = now + std::chrono::seconds(1);
        }
    });
    scheduleSample();
}

void ProcessMonitor::watch(const std::string& name, int32_t pid) {
    serialQueue_.async([this, name, pid] {
        bool known = std::any_of(watched_.begin(), watched_.end(), [pid](const Watched& entry) { return entry.pid == pid; });
        if (known) return;
        auto reading = readStat(pid);
        watched_.push_back({name, pid, reading ? reading->cpuNanos : 0, clock_()});
        sample();
    });
}

void ProcessMonitor::unwatch(const std::string& name) {
    serialQueue_.async([this, name] {
        std::erase_if(watched_, [&name](const Watched& entry) { return entry.name == name; });
        sample();
    });
}

std::vector<ProcessSnapshot> ProcessMonitor::snapshots() const {
    std::lock_guard lock(publication_->mutex);
    return publication_->snapshots;
}

void ProcessMonitor::setOnSnapshots(SnapshotsHandler handler) {
    std::lock_guard lock(publication_->mutex);
    publication_->onSnapshots = std::move(handler);
}

void ProcessMonitor::scheduleSample() {
    serialQueue_.async([this] { sample(); });
}

void ProcessMonitor::sample() {
    if (stopping_) return;
    double now = clock_();
    std::vector<ProcessSnapshot> list;
    list.reserve(watched_.size());
    for (auto& entry : watched_) {
        auto reading = readStat(entry.pid);
        if (!reading) {
            list.push_back({entry.pid, entry.name, 0, 0, false});
            continue;
        }
        double elapsed = std::max(now - entry.prevSampleTime, 1e-6);
        double cpuSeconds =
            reading->cpuNanos >= entry.prevCPUNanos ? double(reading->cpuNanos - entry.prevCPUNanos) / 1e9 : 0.0;
        uint64_t footprint = readFootprint(entry.pid).value_or(reading->residentBytes);
        list.push_back({entry.pid, entry.name, footprint, cpuSeconds / elapsed * 100.0, true});
        entry.prevCPUNanos = reading->cpuNanos;
        entry.prevSampleTime = now;
    }
    // An ended process is published once more as not alive, then dropped.
    std::erase_if(watched_, [&list](const Watched& entry) {
        return std::none_of(list.begin(), list.end(),
                            [&entry](const ProcessSnapshot& snapshot) { return snapshot.id == entry.pid && snapshot.alive; });
    });
    publish(std::move(list));
}

void ProcessMonitor::publish(std::vector<ProcessSnapshot> list) {
    std::weak_ptr<Publication> weakPublication = publication_;
    publishExecutor_([weakPublication, list = std::move(list)] {
        auto publication = weakPublication.lock();
        if (!publication) return;  // the monitor is gone
        SnapshotsHandler handler;
        {
            std::lock_guard lock(publication->mutex);
            publication->snapshots = list;
            handler = publication->onSnapshots;
        }
        if (handler) handler(list);
    });
}

}  // namespace tessaron::engines
