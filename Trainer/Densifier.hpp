#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "Trainer/AdamOptimizer.hpp"
#include "Trainer/GaussianModel.hpp"
#include "Trainer/GaussianProjection.hpp"
#include "core/ThreadPool.hpp"

namespace tessaron::trainer {

// Adaptive density control: Gaussians whose image-space position keeps
// getting a large gradient are under-reconstructing. Small ones are cloned,
// large ones split in two smaller ones drawn from their own distribution.
// Transparent Gaussians are pruned, and (once opacity has been reset) those
// that are huge on screen or in the world.
class Densifier {
public:
    struct Settings {
        float gradientThreshold = 0.0002f;
        float percentDense = 0.01f;        // of the scene's extent: clone below, split above
        float minOpacity = 0.005f;
        float maxScreenRadius = 20;        // pixels
        float maxWorldScale = 0.1f;        // of the scene's extent
        float splitScaleDivisor = 1.6f;
        float resetOpacity = 0.01f;
    };

    struct Outcome {
        size_t cloned = 0, split = 0, pruned = 0;
    };

    Densifier() = default;
    explicit Densifier(Settings settings) : settings_(settings) {}

    // Adds one view's statistics: the gradient size of each visible
    // Gaussian's image-space mean and its radius; every step while the
    // model grows, so on all of the pool's threads.
    void record(const std::vector<float>& meanGradientNorms, const std::vector<ProjectedGaussian>& projected,
                core::ThreadPool& pool);

    // Clones and splits (never growing the model beyond `capMax`), then
    // prunes; `pruneLarge` turns on the size tests. Resets the statistics.
    Outcome densifyAndPrune(GaussianModel& model, AdamOptimizer& optimizer, float extent, int64_t capMax,
                            bool pruneLarge, std::mt19937_64& random);

    // Pulls every opacity down to at most `resetOpacity`.
    void resetOpacity(GaussianModel& model, AdamOptimizer& optimizer) const;

private:
    void resetStatistics(size_t count);

    Settings settings_;
    std::vector<float> gradientSum_;
    std::vector<uint32_t> views_;
    std::vector<float> maxRadius_;
};

}  // namespace tessaron::trainer
