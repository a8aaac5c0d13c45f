#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>

#include "spz/PackedGaussian.hpp"
#include "spz/SpzHeader.hpp"

namespace spz {

// The header values a stream's arrays are read by.
struct PackedStreamValues {
    std::int32_t numPoints = 0;
    std::int32_t shDegree = 0;
    std::int32_t fractionalBits = 0;
    bool antialiased = false;
    bool usesQuaternionSmallestThree = true;

    static PackedStreamValues of(const SpzHeader& header) noexcept;
};

// The in-memory image of one SPZ stream: header values and the six arrays.
struct PackedGaussians : PackedStreamValues {
    Bytes positions;
    Bytes scales;
    Bytes rotations;
    Bytes alphas;
    Bytes colors;
    Bytes sh;

    // Half-float positions, known from the array length rather than the version.
    bool usesFloat16() const noexcept { return positions.size() == std::size_t(numPoints) * 6; }
    bool checkSizes() const noexcept;

    PackedGaussian at(std::int32_t index) const;
    UnpackedGaussian unpack(std::int32_t index, const CoordinateConverter& converter) const;
};

// The six arrays of one stream read in place, in storage that `owner` keeps
// alive: a whole file's inflated stream is decoded without copying it apart.
struct PackedArraysView : PackedStreamValues {
    std::span<const std::uint8_t> positions;
    std::span<const std::uint8_t> scales;
    std::span<const std::uint8_t> rotations;
    std::span<const std::uint8_t> alphas;
    std::span<const std::uint8_t> colors;
    std::span<const std::uint8_t> sh;
    std::shared_ptr<const void> owner;

    bool usesFloat16() const noexcept { return positions.size() == std::size_t(numPoints) * 6; }
};

// Parses a decompressed SPZ stream; throws SPZError (header checks, then
// readError when the stream is shorter than the header's sizes).
PackedGaussians deserializePackedGaussians(std::span<const std::uint8_t> stream);
// A version-3 stream of the arrays as stored.
Bytes serializePackedGaussians(const PackedGaussians& packed);

// A whole SPZ file, decompressed and parsed. Inflation stops at the length the
// header asks for (the rest is only checked), so no input can make it
// allocate more than the largest legal stream.
PackedGaussians loadSpzPacked(std::span<const std::uint8_t> file);
PackedGaussians loadSpzPacked(const std::filesystem::path& path);
// The same load and checks, the arrays left where inflation put them.
PackedArraysView loadSpzArrays(std::span<const std::uint8_t> file);
PackedArraysView loadSpzArrays(const std::filesystem::path& path);

}  // namespace spz
