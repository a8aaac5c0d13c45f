#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <random>
#include <vector>

#include "Trainer/AdamOptimizer.hpp"
#include "Trainer/Densifier.hpp"
#include "Trainer/GaussianModel.hpp"
#include "Trainer/ImageLoss.hpp"
#include "Trainer/Rasterizer.hpp"
#include "core/ThreadPool.hpp"
#include "Trainer/TrainingDataset.hpp"

namespace tessaron::trainer {

// The training schedule. Defaults are the usual ones of Gaussian splatting.
struct TrainingSettings {
    int64_t iterations = 7000;
    int64_t positionLrMaxSteps = 30000;
    int64_t capMax = 1000000;
    Vec3 background{0, 0, 0};
    unsigned threads = 0;  // 0: one per core
    uint64_t seed = 0;

    float positionLrInitial = 0.00016f;  // times the scene's extent
    float positionLrFinal = 0.0000016f;
    float shDCLr = 0.0025f;
    float shRestLr = 0.0025f / 20;
    float opacityLr = 0.05f;
    float scaleLr = 0.005f;
    float rotationLr = 0.001f;

    int64_t shDegreeInterval = 1000;
    int64_t densifyFrom = 500;
    int64_t densifyUntil = 15000;
    int64_t densifyInterval = 100;
    int64_t opacityResetInterval = 3000;
    // Opacities pulled down need steps to grow back: no reset this close to
    // the end, so that a run of 3,000 steps does not end on a transparent model.
    int64_t opacityResetMinRemaining = 1000;
    Densifier::Settings densifier;

    // Early stop: from the end of densification, the held-out PSNR is
    // measured every `earlyStopInterval` steps; training ends once it gained
    // less than `earlyStopGain` dB since the last measurement.
    std::optional<double> earlyStopGain;
    int64_t earlyStopInterval = 1000;
};

// Optimises a set of Gaussians against the training photos of a dataset:
// each step renders one photo's camera (in a shuffled order per pass over the
// photos), takes the loss and its gradient, and moves every parameter by
// Adam; the density control adds and removes Gaussians on its schedule.
class Trainer {
public:
    struct StepReport {
        int64_t step = 0;
        float loss = 0;
        size_t splats = 0;
        double milliseconds = 0;  // of this step
    };

    Trainer(const TrainingDataset& dataset, GaussianModel initial, TrainingSettings settings);

    // Runs the steps; `onStep` is called after each. Returns the number of
    // steps done (fewer than the iterations after an early stop).
    int64_t train(const std::function<void(const StepReport&)>& onStep);

    // One optimisation step against training image `view`; returns the loss.
    float step(size_t view);

    // PSNR in dB of the current model over the held-out images (all pooled);
    // none when the dataset holds none out.
    std::optional<double> evaluationPsnr();
    // The same over any list of images.
    double psnr(const std::vector<TrainingImage>& images);

    // Drops the Gaussians farther than `radius` from the frame's origin.
    size_t cull(float radius);

    const GaussianModel& model() const noexcept { return model_; }
    int shDegree() const noexcept { return shDegree_; }
    float positionLearningRate(int64_t step) const;
    core::ThreadPool& pool() noexcept { return pool_; }

private:
    const TrainingDataset& dataset_;
    TrainingSettings settings_;
    core::ThreadPool pool_;
    Rasterizer rasterizer_;
    ImageLoss loss_;
    AdamOptimizer optimizer_;
    Densifier densifier_;
    GaussianModel model_;
    GaussianModel gradients_;
    std::mt19937_64 random_;
    std::vector<size_t> order_;
    size_t orderPosition_ = 0;
    int shDegree_ = 0;
    int64_t stepsDone_ = 0;
    std::vector<float> image_, photo_, imageGradient_, meanGradientNorms_;
};

}  // namespace tessaron::trainer
