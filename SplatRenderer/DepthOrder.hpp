#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "SplatRenderer/ChunkedSplatIndex.hpp"
#include "SplatRenderer/EncodedSplatPoint.hpp"
#include "SplatRenderer/GPUBuffer.hpp"
#include "SplatRenderer/RadixSort.hpp"

namespace splatrenderer {

// One chunk as the sorter sees it: the renderer's chunk index and the
// chunk's records (shared, never written while the chunk is in use).
struct ChunkReference {
    std::uint16_t chunkIndex = 0;
    std::shared_ptr<const GPUBuffer<EncodedSplatPoint>> buffer;
};

// The farthest-first order of every splat of a list of chunks, by squared
// distance from the camera. Equal distances keep the fill order: chunk
// list order, then splat index. Its scratch storage is kept between passes,
// so a pass over as many splats as the last allocates nothing.
class DepthOrder {
public:
    static std::int64_t totalSplatCount(std::span<const ChunkReference> chunks);

    // Computes every splat's depth key; reads positions without any lock.
    void fill(std::span<const ChunkReference> chunks, const std::array<float, 3>& camera, ParallelWorkers* workers);
    // Sorts what fill() computed into `target`, which must have room for it,
    // sets the target's count and marks it dirty.
    void sortInto(GPUBuffer<ChunkedSplatIndex>& target, ParallelWorkers* workers);
    std::int64_t filledCount() const noexcept { return std::int64_t(keys_.size()); }

    // Descending depth as an ascending key: larger squared distances give
    // smaller keys; NaN sorts before everything.
    static std::uint32_t descendingKey(float depth);

private:
    // sortTempStorage: one key and one reference per splat.
    std::vector<std::uint32_t> keys_;
    std::vector<ChunkedSplatIndex> references_;
    std::vector<std::int64_t> chunkStarts_;
    RadixSort<ChunkedSplatIndex> radixSort_;
};

}  // namespace splatrenderer
