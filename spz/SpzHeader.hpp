#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace spz {

using Bytes = std::vector<std::uint8_t>;

// The 16-byte header of an SPZ stream (after gzip), little-endian:
// magic "NGSP", version, point count, SH degree, fractional bits, flags, reserved.
struct SpzHeader {
    static constexpr std::uint32_t magic = 0x5053474E;
    static constexpr std::size_t byteCount = 16;
    static constexpr std::uint32_t writtenVersion = 3;
    static constexpr std::uint32_t maximumPointCount = 10'000'000;
    // Fixed-point positions beyond 24 fractional bits would carry no integer part.
    static constexpr int maximumFractionalBits = 24;
    // The longest stream any legal header can ask for: 9-byte positions,
    // 4-byte rotations and degree-3 harmonics at the maximum point count.
    static constexpr std::size_t largestStreamSize = byteCount + std::size_t(maximumPointCount) * (9 + 1 + 3 + 3 + 4 + 45);
    // The largest compressed file such a stream can make: stored deflate
    // blocks add 5 bytes per 64 KiB, and the gzip header's optional name,
    // comment and extra field get 64 KiB. Anything larger is not read.
    static constexpr std::size_t largestFileSize = largestStreamSize + largestStreamSize / 8192 + (std::size_t(1) << 16);

    std::uint32_t version = writtenVersion;
    std::uint32_t numPoints = 0;
    int shDegree = 0;
    int fractionalBits = 12;
    bool antialiased = false;

    // Checks the fields in the order a reader must report them: magic,
    // version, point count, degree, fractional bits. Throws SPZError.
    static SpzHeader parse(std::span<const std::uint8_t> bytes);
    void appendTo(Bytes& bytes) const;

    // SH coefficients per colour channel: 0, 3, 8, 15 for degrees 0 to 3.
    static int shDimension(int shDegree) noexcept;

    std::size_t positionBytesPerPoint() const noexcept { return version == 1 ? 6 : 9; }
    std::size_t rotationBytesPerPoint() const noexcept { return version < 3 ? 3 : 4; }
    std::size_t shBytesPerPoint() const noexcept { return std::size_t(3 * shDimension(shDegree)); }
    // Header plus the six arrays.
    std::size_t streamLength() const noexcept;
};

}  // namespace spz
