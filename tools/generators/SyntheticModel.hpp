#pragma once

#include <cstdint>

#include "colmap/COLMAPUtils.hpp"

namespace tessaron::generators {

// A made-up COLMAP reconstruction of a town for planner tests and
// benchmarks: cameras at eye height along streets (or on a regular grid),
// points on the ground and on building facades, each observed by the cameras
// that see it (projected through a pinhole camera, nearest first), with small
// reprojection errors and a few outliers. The same options give the same
// model, bit for bit.
struct SyntheticModelOptions {
    enum class Layout { streets, grid };

    Layout layout = Layout::streets;
    int64_t imageCount = 200;
    int64_t pointCount = 20000;
    uint64_t seed = 1;
    uint64_t imageWidth = 1600;
    uint64_t imageHeight = 1200;
    int64_t maxTrackLength = 8;
    double outlierFraction = 0.01;  // points with a large reprojection error
    double strayFraction = 0.002;   // points far outside the scene
    // Above 0: images are named "cam<k>/frame_<n>.jpg", k cycling through the
    // rig's cameras; otherwise "frame_<n>.jpg".
    int64_t rigViews = 0;
};

colmap::COLMAPModel makeSyntheticModel(const SyntheticModelOptions& options);

}  // namespace tessaron::generators
