#pragma once

#include <cstdint>

namespace tessaron::partition {

// Predicted peak memory of training one cell, in GB of 2^30 bytes, for a
// training image size W x H: decoded images at 3 bytes per pixel, plus a
// per-pixel working set, the Gaussians and a fixed 2.8e8 bytes, with 8 %
// headroom.
class MemoryModel {
public:
    MemoryModel(int64_t width, int64_t height) noexcept;

    double memGB(int64_t images, int64_t gaussians) const noexcept;
    // memGB(0, 0): what a cell costs before any image or Gaussian.
    double fixedOverheadGB() const noexcept { return memGB(0, 0); }
    // Small images pay more per Gaussian: below 400 tiles of 16 x 16 pixels.
    int64_t bytesPerGaussian() const noexcept { return bytesPerGaussian_; }

private:
    int64_t pixels_;
    int64_t bytesPerGaussian_;
};

}  // namespace tessaron::partition
