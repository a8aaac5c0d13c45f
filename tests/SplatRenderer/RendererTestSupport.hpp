#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "SplatFormats/SplatPoint.hpp"
#include "SplatRenderer/GPUDevice.hpp"

namespace splatrenderer::testing {

using splatformats::SplatPoint;

// Mesa's llvmpipe: 128 MiB storage blocks.
inline GPUDevice llvmpipeDevice() { return GPUDevice(134217728); }

// The bytes of a plain value, as a GPU reads them.
template <typename T>
std::vector<std::uint8_t> bytesOf(const T& value) {
    std::vector<std::uint8_t> bytes(sizeof(T));
    std::memcpy(bytes.data(), &value, sizeof(T));
    return bytes;
}

// A round opaque splat of linear radius `scale` and 8-bit colour.
inline SplatPoint roundSplat(std::array<float, 3> position, float scale, std::array<std::uint8_t, 3> color,
                             std::uint8_t opacity = 255) {
    return SplatPoint(position, SplatPoint::Color::sRGBUInt8(color), SplatPoint::Opacity::linearUInt8(opacity),
                      SplatPoint::Scale::linearFloat({scale, scale, scale}), splatformats::Quaternion{0, 0, 0, 1});
}

// Small splats spread over a few units, as a trained scene's would be.
inline std::vector<SplatPoint> scatteredSplats(std::size_t count, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<float> spread(0, 2);
    std::uniform_int_distribution<int> channel(0, 255);
    std::vector<SplatPoint> points;
    points.reserve(count);
    for (std::size_t i = 0; i < count; ++i)
        points.push_back(roundSplat({spread(generator), spread(generator), spread(generator)}, 0.02f,
                                    {std::uint8_t(channel(generator)), std::uint8_t(channel(generator)),
                                     std::uint8_t(channel(generator))}));
    return points;
}

}  // namespace splatrenderer::testing
