#pragma once

#include <cstdint>
#include <filesystem>
#include <vector>

#include "SplatFormats/SplatPoint.hpp"

namespace tessaron::generators {

// A splat scene that is cheap to store but dear to draw: many large, faint
// Gaussians that overlap in a ball round the origin, so that from the
// viewer's opening camera (7.5 units back) every one of them covers much of
// the picture. At the defaults it is 200,000 Gaussians with degree-3
// harmonics, about 50 MB as a binary Gaussian PLY. The same options give the
// same scene, bit for bit.
struct HeavySplatSceneOptions {
    std::int64_t count = 200'000;
    float ballRadius = 2.0f;  // centres lie uniformly in this ball
    float minimumScale = 0.6f;  // linear scale of each axis, drawn log-uniformly
    float maximumScale = 1.6f;
    float minimumOpacity = 0.02f;  // linear opacity, drawn uniformly
    float maximumOpacity = 0.08f;
    unsigned shDegree = 3;
    std::uint64_t seed = 1;
};

std::vector<splatformats::SplatPoint> makeHeavySplatScene(const HeavySplatSceneOptions& options = {});

// Writes the scene as a binary Gaussian PLY.
void writeHeavySplatScene(const std::filesystem::path& file, const HeavySplatSceneOptions& options = {});

}  // namespace tessaron::generators
