#include "SplatRenderer/DepthOrder.hpp"

#include <algorithm>
#include <bit>

namespace splatrenderer {

std::int64_t DepthOrder::totalSplatCount(std::span<const ChunkReference> chunks) {
    std::int64_t total = 0;
    for (const auto& chunk : chunks) total += chunk.buffer->count();
    return total;
}

std::uint32_t DepthOrder::descendingKey(float depth) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(depth);
    // Float bits made to order as unsigned integers, then reversed.
    const std::uint32_t ordered = (bits & 0x80000000u) ? ~bits : (bits | 0x80000000u);
    return ~ordered;
}

void DepthOrder::fill(std::span<const ChunkReference> chunks, const std::array<float, 3>& camera,
                      ParallelWorkers* workers) {
    chunkStarts_.assign(1, 0);
    for (const auto& chunk : chunks) chunkStarts_.push_back(chunkStarts_.back() + chunk.buffer->count());
    const std::int64_t count = chunkStarts_.back();
    keys_.resize(std::size_t(count));
    references_.resize(std::size_t(count));

    auto fillShare = [&](int member, int members) {
        auto [begin, end] = ParallelWorkers::share(count, member, members);
        if (begin == end) return;
        // The chunk holding `begin`, then on through the chunks in order.
        auto chunk = std::size_t(std::upper_bound(chunkStarts_.begin(), chunkStarts_.end(), begin) -
                                 chunkStarts_.begin() - 1);
        for (std::int64_t k = begin; k < end; ++chunk) {
            const std::int64_t chunkStart = chunkStarts_[chunk];
            const std::int64_t chunkEnd = std::min(chunkStarts_[chunk + 1], end);
            const EncodedSplatPoint* records = chunks[chunk].buffer->values();
            const std::uint16_t chunkIndex = chunks[chunk].chunkIndex;
            for (; k < chunkEnd; ++k) {
                const auto splat = std::uint32_t(k - chunkStart);
                const auto& position = records[splat].position;
                const float dx = position[0] - camera[0];
                const float dy = position[1] - camera[1];
                const float dz = position[2] - camera[2];
                keys_[std::size_t(k)] = descendingKey(dx * dx + dy * dy + dz * dz);
                references_[std::size_t(k)] = ChunkedSplatIndex(chunkIndex, splat);
            }
        }
    };
    if (workers != nullptr && count >= 65536)
        workers->run([&](int member) { fillShare(member, workers->memberCount()); });
    else
        fillShare(0, 1);
}

void DepthOrder::sortInto(GPUBuffer<ChunkedSplatIndex>& target, ParallelWorkers* workers) {
    radixSort_.sort(keys_, references_, target.values(), workers);
    target.setCount(std::int64_t(keys_.size()));
    target.markDirty();
}

}  // namespace splatrenderer
