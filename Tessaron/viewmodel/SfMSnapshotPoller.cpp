#include "viewmodel/SfMSnapshotPoller.hpp"

#include <algorithm>
#include <system_error>
#include <utility>
#include <vector>

#include "colmap/COLMAPUtils.hpp"

namespace tessaron::viewmodel {

namespace fs = std::filesystem;

SfMSnapshotPoller::SfMSnapshotPoller(Folder folder, Sink sink, std::chrono::milliseconds interval)
    : folder_(std::move(folder)), sink_(std::move(sink)), interval_(interval) {
    QObject::connect(&timer_, &QTimer::timeout, [this] { poll(); });
}

SfMSnapshotPoller::~SfMSnapshotPoller() {
    // Nothing the read posts runs from now on; the read itself is short.
    mainThread_.invalidate();
    if (read_.joinable()) read_.join();
}

void SfMSnapshotPoller::update(bool wanted) {
    if (!wanted) {
        timer_.stop();
    } else if (!timer_.isActive()) {
        timer_.start(interval_);
    }
}

void SfMSnapshotPoller::poll() {
    const std::optional<fs::path> snapshots = folder_();
    // One read at a time: a large model is not read twice at once.
    if (!snapshots || reading_) return;
    reading_ = true;
    // The previous worker has posted its result and ended.
    if (read_.joinable()) read_.join();
    read_ = std::jthread([this, post = mainThread_.executor(), snapshots = *snapshots, known = lastName_] {
        std::optional<std::string> newest = newestSnapshotName(snapshots);
        std::shared_ptr<const SfMLiveSnapshot> snapshot;
        if (newest && newest != known) snapshot = readSnapshot(snapshots / *newest);
        // `this` is named only inside posted work, which runs while it lives.
        post([this, snapshots, newest = std::move(newest), snapshot = std::move(snapshot)] {
            reading_ = false;
            // The workspace changed while the file was read.
            if (!snapshot || folder_() != snapshots) return;
            lastName_ = newest;
            sink_(snapshot);
        });
    });
}

std::optional<std::string> SfMSnapshotPoller::newestSnapshotName(const fs::path& snapshots) {
    std::error_code error;
    fs::directory_iterator entries(snapshots, error);
    if (error) return std::nullopt;
    std::optional<std::string> newest;
    for (const fs::directory_entry& entry : entries) {
        std::string name = entry.path().filename().string();
        if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; }))
            continue;
        if (!newest || name > *newest) newest = std::move(name);
    }
    return newest;
}

std::shared_ptr<const SfMLiveSnapshot> SfMSnapshotPoller::readSnapshot(const fs::path& folder) {
    std::vector<colmap::PointPosition> points;
    try {
        points = colmap::COLMAPUtils::readPointPositions(folder / "points3D.bin");
    } catch (const colmap::COLMAPUtils::ParseError&) {
        return nullptr;  // a half-written file
    } catch (const core::FileError&) {
        return nullptr;  // not written yet, or already removed
    }
    if (points.empty()) return nullptr;
    auto snapshot = std::make_shared<SfMLiveSnapshot>();
    snapshot->url = folder;
    snapshot->ids.reserve(points.size());
    snapshot->positions.reserve(points.size());
    for (const colmap::PointPosition& point : points) {
        snapshot->ids.push_back(point.point3D_id);
        snapshot->positions.push_back({float(point.x), float(point.y), float(point.z)});
    }
    return snapshot;
}

}  // namespace tessaron::viewmodel
