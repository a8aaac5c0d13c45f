#include "SplatRenderer/LocalityOrder.hpp"

#include <cmath>
#include <numeric>

#include "SplatRenderer/RadixSort.hpp"

namespace splatrenderer {

namespace {

std::uint32_t spreadBits(std::uint32_t value) {
    // Bit i of the 10-bit value moves to bit 3i.
    value &= 0x3FFu;
    value = (value | (value << 16)) & 0x030000FFu;
    value = (value | (value << 8)) & 0x0300F00Fu;
    value = (value | (value << 4)) & 0x030C30C3u;
    value = (value | (value << 2)) & 0x09249249u;
    return value;
}

}  // namespace

std::uint32_t LocalityOrder::mortonCode(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return spreadBits(x) | (spreadBits(y) << 1) | (spreadBits(z) << 2);
}

std::uint32_t LocalityOrder::quantise(float value, float lower, float inverseExtent) {
    const float t = (value - lower) * inverseExtent;
    if (t <= 0) return 0;
    if (t > 1) return 1023;
    if (!(t == t)) return 0;  // an overflowing extent makes t NaN: take the lower face
    return std::uint32_t(t * 1023.0f);
}

std::optional<std::vector<std::uint32_t>> LocalityOrder::permutation(std::span<const EncodedSplatPoint> splats) {
    const std::size_t count = splats.size();
    if (count < 4) return std::nullopt;

    std::array<float, 3> sum{}, squares{};
    for (const auto& splat : splats)
        for (int axis = 0; axis < 3; ++axis) {
            sum[axis] += splat.position[axis];
            squares[axis] += splat.position[axis] * splat.position[axis];
        }
    std::array<float, 3> lower{}, inverseExtent{};
    for (int axis = 0; axis < 3; ++axis) {
        const float mean = sum[axis] / float(count);
        const float deviation = std::sqrt(squares[axis] / float(count) - mean * mean);
        lower[axis] = mean - 2.5f * deviation;
        const float extent = (mean + 2.5f * deviation) - lower[axis];
        if (!(extent > 0)) return std::nullopt;  // flat, or not a number
        inverseExtent[axis] = 1.0f / extent;
    }

    std::vector<std::uint32_t> codes(count);
    std::vector<std::uint32_t> indices(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto& position = splats[i].position;
        codes[i] = mortonCode(quantise(position[0], lower[0], inverseExtent[0]),
                              quantise(position[1], lower[1], inverseExtent[1]),
                              quantise(position[2], lower[2], inverseExtent[2]));
        indices[i] = std::uint32_t(i);
    }
    std::vector<std::uint32_t> order(count);
    RadixSort<std::uint32_t>().sort(codes, indices, order.data());
    return order;
}

void LocalityOrder::optimize(SplatChunk& chunk) {
    auto order = permutation(chunk.splats->elements());
    if (!order) return;
    permute(chunk.splats->values(), 1, *order);
    if (chunk.shCoefficients && chunk.shDegree != SHDegree::sh0)
        permute(chunk.shCoefficients->values(), std::size_t(SplatChunk::coefficientsPerSplat(chunk.shDegree)), *order);
    chunk.splats->markDirty();
    if (chunk.shCoefficients) chunk.shCoefficients->markDirty();
}

}  // namespace splatrenderer
