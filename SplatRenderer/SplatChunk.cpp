#include "SplatRenderer/SplatChunk.hpp"

#include <algorithm>

namespace splatrenderer {

int SplatChunk::coefficientsPerSplat(SHDegree degree) {
    const int order = int(degree) + 1;
    return 3 * (order * order - 1);
}

SplatChunk::SplatChunk(const GPUDevice& device, std::span<const SplatPoint> points) {
    const auto count = std::int64_t(points.size());
    shDegree = points.empty() ? SHDegree::sh0 : points.front().color.shDegree();
    splats = std::make_shared<GPUBuffer<EncodedSplatPoint>>(device, count);
    splats->setCount(count);
    EncodedSplatPoint* records = splats->values();
    for (std::int64_t i = 0; i < count; ++i) records[i] = EncodedSplatPoint(points[std::size_t(i)]);

    if (shDegree == SHDegree::sh0) return;
    const std::int64_t perSplat = coefficientsPerSplat(shDegree);
    shCoefficients = std::make_shared<GPUBuffer<Half>>(device, count * perSplat);
    shCoefficients->setCount(count * perSplat);
    Half* halves = shCoefficients->values();
    for (std::int64_t i = 0; i < count; ++i) {
        // A point of a lower degree leaves the rest of its slot zero; one of
        // a higher degree writes no further than its own slot.
        const std::vector<float> coefficients = points[std::size_t(i)].color.higherOrderSHCoefficients();
        Half* slot = halves + i * perSplat;
        const auto written = std::min<std::int64_t>(perSplat, std::int64_t(coefficients.size()));
        for (std::int64_t j = 0; j < written; ++j) slot[j] = toHalf(coefficients[std::size_t(j)]);
        std::fill(slot + written, slot + perSplat, Half{});
    }
}

std::int64_t SplatChunk::maxSplatsPerChunk(const GPUDevice& device, SHDegree degree) {
    std::int64_t most = GPUBuffer<EncodedSplatPoint>::maxCapacity(device);
    if (const int perSplat = coefficientsPerSplat(degree); perSplat > 0)
        most = std::min(most, GPUBuffer<Half>::maxCapacity(device) / perSplat);
    return std::max<std::int64_t>(most, 1);
}

std::vector<SplatChunk> SplatChunk::makeChunks(const GPUDevice& device, std::span<const SplatPoint> points) {
    std::vector<SplatChunk> chunks;
    if (points.empty()) {
        chunks.emplace_back(device, points);
        return chunks;
    }
    // Each chunk takes its degree from its first point, so its size does too.
    for (std::size_t first = 0; first < points.size();) {
        const auto perChunk = std::size_t(maxSplatsPerChunk(device, points[first].color.shDegree()));
        const std::size_t taken = std::min(perChunk, points.size() - first);
        chunks.emplace_back(device, points.subspan(first, taken));
        first += taken;
    }
    return chunks;
}

}  // namespace splatrenderer
