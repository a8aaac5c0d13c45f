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
// that are huge on screen or in the world. Under a binding cap the huge ones
// are split instead, into the room that pruning the transparent ones makes,
// and that room is filled in the same pass. No pass removes more than a
// quarter of the cap beyond what it adds.
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

    // Clones and splits (never growing the model beyond `capMax`) and
    // prunes; `pruneLarge` turns on the size tests. Resets the statistics.
    Outcome densifyAndPrune(GaussianModel& model, AdamOptimizer& optimizer, float extent, int64_t capMax,
                            bool pruneLarge, std::mt19937_64& random);

    // Pulls every opacity down to at most `resetOpacity`.
    void resetOpacity(GaussianModel& model, AdamOptimizer& optimizer) const;

private:
    void resetStatistics(size_t count);
    static float largestScale(const GaussianModel& model, size_t index);
    // Appends the two halves of a split of Gaussian `index`.
    void appendSplit(GaussianModel& model, size_t index, std::mt19937_64& random) const;
    // Clones or splits Gaussian `index` (splits it whatever its size when
    // `mustSplit`), marking a split original in keep_ to go.
    void grow(GaussianModel& model, uint32_t index, bool mustSplit, float extent, std::mt19937_64& random,
              Outcome& outcome);
    // The two kinds of pass; each leaves in keep_ which Gaussians stay.
    Outcome densifyFreely(GaussianModel& model, const std::vector<uint32_t>& candidates, float extent,
                          bool pruneLarge, size_t cap, std::mt19937_64& random);
    Outcome densifyUnderCap(GaussianModel& model, std::vector<uint32_t> candidates,
                            const std::vector<uint32_t>& oversized, float extent, bool pruneLarge, size_t cap,
                            std::mt19937_64& random);

    Settings settings_;
    std::vector<float> gradientSum_;
    std::vector<uint32_t> views_;
    std::vector<float> maxRadius_;
    std::vector<uint8_t> keep_;
};

}  // namespace tessaron::trainer
