#pragma once

#include <cstdint>
#include <vector>

#include "Trainer/GaussianModel.hpp"
#include "Trainer/GaussianProjection.hpp"
#include "core/HugePages.hpp"
#include "core/ThreadPool.hpp"
#include "Trainer/ViewCamera.hpp"

namespace tessaron::trainer {

// Renders Gaussians into an image and carries the image's gradient back to
// their parameters. Each Gaussian is projected to an ellipse, listed in the
// 16 x 16 pixel tiles its footprint's box touches, and every tile composits
// its list front to back (sorted by depth), stopping a pixel once almost
// nothing shows through. Within a tile, each entry visits only the half rows
// of eight pixels its footprint reaches, eight pixels at a time in vector
// registers. Tiles run in parallel on the pool.
//
// Buffers grow to the largest frame seen and are reused, so steady training
// allocates nothing per frame. One Rasterizer serves one frame at a time:
// backward() uses what the last forward() left behind.
class Rasterizer {
public:
    static constexpr int tileSize = 16;
    static constexpr float maxAlpha = 0.99f;
    static constexpr float minAlpha = 1.0f / 255.0f;
    static constexpr float minTransmittance = 1e-4f;

    explicit Rasterizer(core::ThreadPool& pool) : pool_(pool) {}

    // `image`: height x width x 3 floats, row by row.
    void forward(const GaussianModel& model, const ViewCamera& camera, int shDegree, const Vec3& background,
                 std::vector<float>& image);

    // `imageGradient`: the loss's gradient with respect to each value of the
    // image forward() produced. Overwrites `gradients` (resized to the model
    // if needed) with the gradient of every parameter, except the colour
    // coefficients above `shDegree`, which keep what they hold (zero while
    // the degree only rises, as in training), and writes, per Gaussian, the
    // size of the gradient of its image-space mean (0 for Gaussians out of
    // view) to `meanGradientNorms`.
    void backward(const GaussianModel& model, const ViewCamera& camera, int shDegree, const Vec3& background,
                  const std::vector<float>& imageGradient, GaussianModel& gradients,
                  std::vector<float>& meanGradientNorms);

    // The projections of the last forward(): radius 0 for Gaussians not drawn.
    const std::vector<ProjectedGaussian>& projected() const noexcept { return projected_; }
    // Tile-list entries of the last forward(): a measure of its work.
    size_t entryCount() const noexcept { return entrySplats_.size(); }

    // What the pixel loops read of a projected Gaussian, copied to each of
    // its tile entries so that a pass over a tile's list reads memory in
    // order.
    struct EntrySplat {
        float meanX, meanY;
        // Alpha = 2^((expA·dx + expB·dy)·dx + expC·dy² + logOpacity).
        float expA, expB, expC, logOpacity;
        float colour[3];
        // 2^(2·expC): how the ratio of an alpha to the one a row above
        // changes from row to row.
        float rowStep;
    };
    // A projected Gaussian as the tiles are filled: one cache line, read in
    // depth order, that is in no order in memory.
    struct alignas(64) TileSplat {
        EntrySplat entry;
        // The pixels [x0, x1) x [y0, y1) around its footprint, and the
        // footprint row by row: dx within -slope·dy ± sqrt(reachSquared -
        // dy²·spread), where slope = expB / (2·expA).
        int32_t x0, x1, y0, y1;
        float reachSquared, spread;
    };
    static_assert(sizeof(TileSplat) == 64);
    // Per tile entry, what its pixels pass back, as sums over them (g: the
    // gradient of the alpha's exponent; dx, dy: offsets from the centre):
    // Σg, Σg·dx, Σg·dx², the three colours' gradients, Σg·dy, Σg·dy²,
    // Σg·dx·dy.
    struct GradientSums {
        static constexpr int count = 9;
        float values[count] = {};
    };

private:
    struct TileRect {
        int16_t x0 = 0, y0 = 0, x1 = 0, y1 = 0;  // tiles [x0, x1) x [y0, y1)
    };
    // The tiles' lists of the Gaussians they show, front to back: bin()
    // runs the steps below it in order.
    void bin(const GaussianModel& model, const ViewCamera& camera, int shDegree);
    struct DrawnGaussians {
        uint32_t count = 0;
        int keyBits = 0;  // the low bits in which their depths differ
    };
    void projectChunks(const GaussianModel& model, const ViewCamera& camera, int shDegree, size_t chunkSize);
    DrawnGaussians totalChunks();
    void sortByDepth(size_t chunkSize, const DrawnGaussians& drawn);
    void countTileEntries(size_t chunkSize, size_t fillSize, uint32_t drawn);
    void orderTiles();
    void fillTiles(const ViewCamera& camera, size_t fillSize, uint32_t drawn);

    void renderTile(int tile, const ViewCamera& camera, const Vec3& background, float* image);
    void backwardTile(int tile, const ViewCamera& camera, const Vec3& background, const float* imageGradient);

    core::ThreadPool& pool_;
    int tilesX_ = 0, tilesY_ = 0;
    Vec3 centre_{};
    std::vector<ProjectedGaussian> projected_;
    std::vector<TileRect> rects_;
    std::vector<uint32_t> tileStart_;  // tiles + 1 offsets into the entries
    // Per chunk of Gaussians projected: how many it draws, their slots, the
    // range of their depths' bits, and where its slots start.
    struct ProjectedChunk {
        uint32_t drawn, slots, nearestKey, farthestKey, firstSlot;
    };
    std::vector<ProjectedChunk> projectedChunks_;
    // Per Gaussian drawn, front to back: its depth's bits << 32 | its index
    // (and the radix sort's other half).
    core::HugePageVector<uint64_t> depthOrder_, depthOrderSpare_;
    std::vector<uint32_t> digitCounts_;   // per block of a sort pass and digit
    std::vector<uint32_t> chunkCursors_;  // per chunk of the depth order and tile: its count, then where its entries go
    std::vector<uint32_t> digitStarts_;   // per digit + 1 of a sort pass: where its items start
    std::vector<uint32_t> placeCursors_;  // per digit or tile, while blocks' offsets are laid out
    std::vector<uint64_t> tileKeys_;      // per tile: what orders tileOrder_
    std::vector<uint32_t> tileOrder_;  // tiles, longest list first
    core::HugePageVector<TileSplat> splats_;    // per Gaussian
    core::HugePageVector<EntrySplat> entrySplats_;  // tile by tile, front to back
    core::HugePageVector<uint32_t> entryRows_;  // per entry: the half rows of its tile it reaches, as bits
    core::HugePageVector<GradientSums> entrySums_;
    core::HugePageVector<uint32_t> slotStart_;    // per Gaussian + 1: its entries' slots
    core::HugePageVector<uint32_t> entryOfSlot_;
    std::vector<float> finalTransmittance_;  // per pixel
    std::vector<uint32_t> lastEntry_;        // per pixel: the tile's entries below it may have been composited
};

}  // namespace tessaron::trainer
