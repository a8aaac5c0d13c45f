#include "engines/ProcessMonitor.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <optional>
#include <sstream>
#include <string_view>

namespace tessaron::engines {

namespace {

// The whole of a small /proc file, or nothing when it cannot be read (the
// process has gone, or is not ours to read).
std::optional<std::string> readProcFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string contents;
    std::array<char, 4096> chunk;
    for (;;) {
        ssize_t count = ::read(fd, chunk.data(), chunk.size());
        if (count < 0 && errno == EINTR) continue;
        if (count < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (count == 0) break;
        contents.append(chunk.data(), size_t(count));
    }
    ::close(fd);
    return contents;
}

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
    auto contents = readProcFile("/proc/" + std::to_string(pid) + "/stat");
    if (!contents) return std::nullopt;
    // The command name in parentheses may hold blanks and parentheses; the
    // fields start after the last ')'.
    size_t nameEnd = contents->rfind(')');
    if (nameEnd == std::string::npos) return std::nullopt;
    std::istringstream fields(contents->substr(nameEnd + 1));
    std::string state;
    fields >> state;
    if (state.empty() || state == "Z" || state == "X" || state == "x") return std::nullopt;
    // Fields 4..13 of the file, then utime (14) and stime (15), then 16..23
    // and rss (24), counted from the pid as field 1.
    std::string skipped;
    for (int field = 4; field <= 13; ++field) fields >> skipped;
    uint64_t userTicks = 0, systemTicks = 0;
    fields >> userTicks >> systemTicks;
    for (int field = 16; field <= 23; ++field) fields >> skipped;
    int64_t residentPages = 0;
    fields >> residentPages;
    if (!fields) return std::nullopt;
    static const uint64_t pageSize = uint64_t(::sysconf(_SC_PAGESIZE));
    return StatReading{ticksToNanos(userTicks) + ticksToNanos(systemTicks),
                       residentPages > 0 ? uint64_t(residentPages) * pageSize : 0};
}

// The footprint from /proc/<pid>/status (see the class comment), or nothing
// when the file or its memory fields cannot be read.
std::optional<uint64_t> readFootprint(int32_t pid) {
    auto contents = readProcFile("/proc/" + std::to_string(pid) + "/status");
    if (!contents) return std::nullopt;
    std::optional<uint64_t> anonymousKB, sharedMemoryKB, swapKB, residentKB;
    std::istringstream lines(*contents);
    std::string line;
    while (std::getline(lines, line)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos) continue;
        std::string_view key(line.data(), colon);
        std::optional<uint64_t>* target = key == "RssAnon"    ? &anonymousKB
                                          : key == "RssShmem" ? &sharedMemoryKB
                                          : key == "VmSwap"   ? &swapKB
                                          : key == "VmRSS"    ? &residentKB
                                                              : nullptr;
        if (target == nullptr) continue;
        uint64_t kilobytes = 0;
        std::istringstream value(line.substr(colon + 1));
        if (value >> kilobytes) *target = kilobytes;
    }
    if (anonymousKB) return (*anonymousKB + sharedMemoryKB.value_or(0) + swapKB.value_or(0)) * 1024;
    if (residentKB) return *residentKB * 1024;
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
