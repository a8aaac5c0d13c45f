// The live point cloud of a running COLMAP mapper, from its snapshot folders.

#include <algorithm>
#include <system_error>
#include <utility>

#include "colmap/COLMAPUtils.hpp"
#include "viewmodel/PipelineViewModel.hpp"

namespace tessaron::viewmodel {

namespace {

namespace fs = std::filesystem;

// The greatest all-digit folder name in plain string order ("5" after "10",
// as COLMAP's unpadded numbers sort); none when there is none or the folder
// cannot be listed yet.
std::optional<std::string> newestSnapshotName(const fs::path& snapshots) {
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

// The snapshot's points, or none while its file is missing, still being
// written or empty: the next poll tries again.
std::shared_ptr<const SfMLiveSnapshot> readSnapshot(const fs::path& folder) {
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

}  // namespace

bool PipelineViewModel::runsGlobalMapper() const {
    // The driver's own rule: a 360° rig always runs the incremental mapper.
    return useGlobalMapper_ && !(isInputVideo_ && treatAs360_);
}

void PipelineViewModel::updateSfMSnapshotPolling(const pipeline::PipelineState& state) {
    if (state.kind == pipeline::PipelineState::Kind::processingSfM && !runsGlobalMapper()) {
        // A second report while polling keeps the running timer.
        if (!sfmSnapshotPollTimer_.isActive()) sfmSnapshotPollTimer_.start(configuration_.sfmSnapshotPollMilliseconds);
    } else {
        sfmSnapshotPollTimer_.stop();
    }
}

void PipelineViewModel::pollSfMSnapshot() {
    const OptionalPath snapshots = sfmSnapshotsURL();
    // One read at a time: a large model is not read twice at once.
    if (!snapshots || snapshotReadInFlight_) return;
    snapshotReadInFlight_ = true;
    // The previous worker has posted its result and ended.
    if (snapshotRead_.joinable()) snapshotRead_.join();
    snapshotRead_ = std::jthread([this, post = executor(), snapshots = *snapshots, known = lastSfMSnapshotDirName_] {
        std::optional<std::string> newest = newestSnapshotName(snapshots);
        std::shared_ptr<const SfMLiveSnapshot> snapshot;
        if (newest && newest != known) snapshot = readSnapshot(snapshots / *newest);
        // `this` is named only inside posted work, which runs while it lives.
        post([this, snapshots, newest = std::move(newest), snapshot = std::move(snapshot)] {
            snapshotReadInFlight_ = false;
            // The workspace changed while the file was read.
            if (!snapshot || sfmSnapshotsURL() != snapshots) return;
            lastSfMSnapshotDirName_ = newest;
            setLatestSfMSnapshot(snapshot);
        });
    });
}

}  // namespace tessaron::viewmodel
