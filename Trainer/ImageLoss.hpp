#pragma once

#include <cstdint>
#include <vector>

#include "core/ThreadPool.hpp"

namespace tessaron::trainer {

// The photometric loss 0.8 · L1 + 0.2 · (1 − SSIM) between a rendered image
// and a photo (both height x width x 3 floats in [0, 1]), and its gradient
// with respect to the rendered image. SSIM uses an 11-tap Gaussian window
// (σ 1.5) with zero padding, per channel, averaged over all values.
//
// Pixels whose mask value is 0 are left out: the rendered value there is
// replaced by the photo's before the loss, so they add nothing and receive
// no gradient. Buffers are kept between calls.
class ImageLoss {
public:
    static constexpr float l1Weight = 0.8f;
    static constexpr float ssimWeight = 0.2f;

    explicit ImageLoss(core::ThreadPool& pool) : pool_(pool) {}

    // `mask`: width x height bytes or empty (no mask).
    float evaluate(const std::vector<float>& rendered, const std::vector<float>& photo,
                   const std::vector<uint8_t>& mask, int width, int height, std::vector<float>& gradient);

    // The mean SSIM of the last evaluate().
    float lastSsim() const noexcept { return lastSsim_; }

    // Peak signal-to-noise ratio in dB over the pixels the mask keeps, with
    // the rendered values clamped to [0, 1]; the mean squared error of the
    // two images goes in, so several images can be pooled.
    static double squaredErrorSum(const std::vector<float>& rendered, const std::vector<float>& photo,
                                  const std::vector<uint8_t>& mask, size_t& valueCount);
    static double psnr(double squaredErrorSum, size_t valueCount);

    // The PSNR of a set of views as novel-view evaluations report it: the
    // mean of each image's own, so that one view showing what no training
    // photo saw does not stand for all of them. An image its mask leaves
    // empty counts for nothing.
    class MeanPsnr {
    public:
        // Returns the image's own PSNR (0 for an empty one).
        double add(const std::vector<float>& rendered, const std::vector<float>& photo,
                   const std::vector<uint8_t>& mask);
        double value() const noexcept { return images_ > 0 ? sum_ / double(images_) : 0.0; }

    private:
        double sum_ = 0;
        size_t images_ = 0;
    };

private:
    // Whole-image planes of one channel at a time, and a few rows per worker.
    static constexpr int planeCount = 11;
    static constexpr int scratchRows = 5;

    core::ThreadPool& pool_;
    std::vector<float> planes_, scratch_;
    std::vector<double> rowSums_;
    float lastSsim_ = 0;
};

}  // namespace tessaron::trainer
