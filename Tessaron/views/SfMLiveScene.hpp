#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <unordered_set>
#include <vector>

#include "viewmodel/SfMLiveSnapshot.hpp"
#include "views/OrbitCamera.hpp"
#include "views/PointScene.hpp"

namespace tessaron::views {

// The live structure-from-motion cloud without any drawing: the newest
// snapshot's points thinned by a doubling id stride, the points that were
// not in the previous snapshot flashing cyan, and a camera that glides to
// frame the growing cloud from below. Times are seconds of one monotonic
// clock passed in by the owner. GUI thread only.
class SfMLiveScene {
public:
    static constexpr std::size_t maximumDrawnPoints = 120000;
    static constexpr std::size_t framingSampleTarget = 20000;
    static constexpr double flashDuration = 1.2;
    static constexpr double cameraGlideDuration = 1.0;
    static constexpr RGBColor liveBaseColor{0.75, 0.78, 0.82};
    static constexpr RGBColor liveNewPointColor{0.45, 0.95, 1.0};

    struct Flash {
        PointSetPointer points;
        double start = 0;
    };

    SfMLiveScene();

    // Draws a snapshot; one whose folder was the last drawn is ignored.
    // Returns whether it was taken.
    bool update(const viewmodel::SfMLiveSnapshot& snapshot, double now);

    // Places the camera below the bulk of `positions` (2% ignored at each
    // end), looking up along +Y; no move without positions.
    void frameCamera(const std::vector<Vector3>& positions, double now);

    PointSceneFrame frameAt(double now) const;
    bool isAnimating(double now) const;

    std::uint64_t samplingStride() const { return samplingStride_; }
    const std::unordered_set<std::uint64_t>& seenIDs() const { return seenIDs_; }
    const PointSetPointer& base() const { return base_; }
    const std::vector<Flash>& flashes() const { return flashes_; }
    const std::optional<std::filesystem::path>& loadedURL() const { return loadedURL_; }
    OrbitCamera& camera() { return camera_; }
    const OrbitCamera& camera() const { return camera_; }

private:
    OrbitCamera camera_;
    PointSetPointer base_;
    std::vector<Flash> flashes_;
    std::optional<std::filesystem::path> loadedURL_;
    std::unordered_set<std::uint64_t> seenIDs_;
    std::uint64_t samplingStride_ = 1;
    bool framed_ = false;
};

}  // namespace tessaron::views
