#pragma once

#include <QTimer>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "viewmodel/MainThreadExecutor.hpp"
#include "viewmodel/SfMLiveSnapshot.hpp"

namespace tessaron::viewmodel {

// The live point cloud of a running COLMAP mapper: while polling, it looks
// at COLMAP's snapshots folder once per interval, reads the newest numbered
// snapshot on a worker when it is new, and hands it to the sink while the
// folder is still the current one.
//
// Threads: everything but the read belongs to the thread that created the
// poller, where the sink runs. Work the read posts never outlives the poller.
class SfMSnapshotPoller {
public:
    // The current snapshots folder; none while there is none to look at.
    using Folder = std::function<std::optional<std::filesystem::path>()>;
    using Sink = std::function<void(std::shared_ptr<const SfMLiveSnapshot> snapshot)>;

    SfMSnapshotPoller(Folder folder, Sink sink, std::chrono::milliseconds interval);
    // Waits for a read in flight; its result is dropped.
    ~SfMSnapshotPoller();
    SfMSnapshotPoller(const SfMSnapshotPoller&) = delete;
    SfMSnapshotPoller& operator=(const SfMSnapshotPoller&) = delete;

    // Polls while `wanted`; a running poll keeps its cadence.
    void update(bool wanted);
    void stop() { timer_.stop(); }
    bool isPolling() const { return timer_.isActive(); }
    // Forgets the snapshot last handed on, so that a new operation gets its
    // first one even where the folder names repeat.
    void forget() { lastName_.reset(); }
    // One look; skipped while the previous read runs.
    void poll();
    // From a poll's read until its result has been handled here.
    bool isReading() const { return reading_; }

    // The greatest all-digit folder name in plain string order ("5" after
    // "10", as COLMAP's unpadded numbers sort); none when there is none or
    // the folder cannot be listed yet.
    static std::optional<std::string> newestSnapshotName(const std::filesystem::path& snapshots);
    // The snapshot's points, or none while its file is missing, still being
    // written or empty: the next poll tries again.
    static std::shared_ptr<const SfMLiveSnapshot> readSnapshot(const std::filesystem::path& folder);

private:
    Folder folder_;
    Sink sink_;
    std::chrono::milliseconds interval_;
    QTimer timer_;
    // The snapshot folder last handed on; none before the first.
    std::optional<std::string> lastName_;
    bool reading_ = false;
    // The worker of the read in flight (or of the last one).
    std::jthread read_;
    // Declared last, so that it is invalidated first.
    MainThreadExecutor mainThread_;
};

}  // namespace tessaron::viewmodel
