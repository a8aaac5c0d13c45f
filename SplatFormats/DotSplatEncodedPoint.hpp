#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "SplatFormats/SplatPoint.hpp"

namespace splatformats {

// One 32-byte record of a .splat file, little-endian, no header or padding:
// position (3 floats), linear scales (3 floats), r g b a bytes (a is the
// opacity), rotation bytes w x y z as (value × 128 + 128).
struct DotSplatEncodedPoint {
    static constexpr std::size_t byteWidth = 32;

    Vector3 position{};
    Vector3 scales{};
    std::array<std::uint8_t, 4> color{};
    std::array<std::uint8_t, 4> rot{};

    DotSplatEncodedPoint() = default;
    explicit DotSplatEncodedPoint(const SplatPoint& point);
    // The record at `offset` of `bytes`, in the given byte order.
    DotSplatEncodedPoint(const std::uint8_t* bytes, std::size_t offset, bool bigEndian);

    // Writes the 32 bytes little-endian at `destination`.
    void store(std::uint8_t* destination) const;
    SplatPoint splatPoint() const;
};

}  // namespace splatformats
