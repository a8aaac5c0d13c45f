#pragma once

#include <cstdint>
#include <string>

namespace tessaron::engines {

// The memory a training run needs, in GB (2^30 bytes): the decoded images
// plus a per-pixel working set, a per-Gaussian cost that depends on how many
// 16 x 16 tiles an image has, and a fixed overhead, with 8% headroom.
// Used by the single-model memory-fit check, for cells whose parameters are
// overridden, and by the tests' engine to simulate running out of memory.
struct MemoryEstimate {
    static constexpr int64_t tileSize = 16;
    // Tile count from which the smaller per-Gaussian cost applies.
    static constexpr int64_t manyTiles = 400;
    static constexpr int64_t bytesPerGaussianManyTiles = 1971;
    static constexpr int64_t bytesPerGaussianFewTiles = 3275;

    static int64_t tileCount(int64_t width, int64_t height);
    static int64_t bytesPerGaussian(int64_t width, int64_t height);

    // Image size in pixels (after downscaling), image count, Gaussian cap.
    static double gigabytes(int64_t width, int64_t height, int64_t imageCount, int64_t gaussianCap);

    // "This model size needs about <need> GB of memory, more than the
    // <budget> GB this computer can give it. ..."
    static std::string fitMessage(double needGB, double budgetGB);
};

}  // namespace tessaron::engines
