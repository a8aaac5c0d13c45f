#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "SplatFormats/SHDegree.hpp"
#include "SplatRenderer/EncodedSplatPoint.hpp"
#include "SplatRenderer/GPUBuffer.hpp"

namespace splatrenderer {

using splatformats::SHDegree;

// A block of splats as the renderer holds them: one record per splat, and
// for degrees above 0 the higher-order harmonic coefficients in halves,
// m = 3 × ((degree + 1)² − 1) per splat in the order of
// SplatPoint::Color::higherOrderSHCoefficients. Copying a chunk shares its
// buffers. Once added to a renderer its buffers are never written again.
struct SplatChunk {
    std::shared_ptr<GPUBuffer<EncodedSplatPoint>> splats;
    std::shared_ptr<GPUBuffer<Half>> shCoefficients;  // none for degree 0
    SHDegree shDegree = SHDegree::sh0;

    SplatChunk(std::shared_ptr<GPUBuffer<EncodedSplatPoint>> splats, std::shared_ptr<GPUBuffer<Half>> shCoefficients,
               SHDegree shDegree)
        : splats(std::move(splats)), shCoefficients(std::move(shCoefficients)), shDegree(shDegree) {}

    // Packs every point, with the coefficients of the first point's degree.
    // Throws GPUBuffer::Error when the device cannot hold them.
    SplatChunk(const GPUDevice& device, std::span<const SplatPoint> points);

    // The points as chunks that each fit the device's buffers, in order:
    // a large scene becomes several chunks.
    static std::vector<SplatChunk> makeChunks(const GPUDevice& device, std::span<const SplatPoint> points);

    // The most splats of the given degree that one chunk can hold.
    static std::int64_t maxSplatsPerChunk(const GPUDevice& device, SHDegree degree);

    std::int64_t splatCount() const noexcept { return splats->count(); }

    // Halves per splat for a degree: 0, 9, 24, 45.
    static int coefficientsPerSplat(SHDegree degree);
};

}  // namespace splatrenderer
