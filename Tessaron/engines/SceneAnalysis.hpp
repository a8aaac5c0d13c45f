#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

#include "colmap/COLMAPUtils.hpp"

namespace tessaron::engines {

// How a COLMAP reconstruction lies on the model's X-Z plane (Y ignored): how
// far the cameras spread compared with the scene, and how much of the scene
// one image sees on a rows x cols grid over the points' extent.
struct SceneAnalysis {
    // Larger X-Z extent of the camera centres over that of the 3D points.
    double cameraToSceneSpreadRatio = 0;
    // Mean share of grid cells one image observes, 0...1; 0 for a grid of
    // fewer than two cells, 1 when the points have no extent along X or Z.
    double imageOverlapScore = 0;

    // Reads the model folder; nothing when it cannot be read, has no points
    // or no images, or its numbers or the grid overflow. Synchronous; runs on
    // any thread.
    static std::optional<SceneAnalysis> analyze(const std::filesystem::path& modelFolder, int64_t rows, int64_t cols);
    static std::optional<SceneAnalysis> analyze(const colmap::COLMAPModel& model, int64_t rows, int64_t cols);

    bool operator==(const SceneAnalysis&) const = default;
};

}  // namespace tessaron::engines
