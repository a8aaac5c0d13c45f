#pragma once

#include <cstdint>
#include <filesystem>
#include <span>
#include <vector>

#include "spz/CoordinateSystem.hpp"
#include "spz/PackedGaussians.hpp"

namespace spz {

// A whole cloud as flat float arrays, one per field; N = numPoints and D the
// SH coefficients per channel (0, 3, 8, 15 for degrees 0 to 3).
struct GaussianCloud {
    std::int32_t numPoints = 0;
    std::int32_t shDegree = 0;
    bool antialiased = false;
    std::vector<float> positions;  // 3N: x, y, z
    std::vector<float> scales;     // 3N: natural log of the scale per axis
    std::vector<float> rotations;  // 4N: x, y, z, w (w real)
    std::vector<float> alphas;     // N: logit opacity
    std::vector<float> colors;     // 3N: DC coefficient r, g, b
    std::vector<float> sh;         // 3DN: per point D triples r, g, b

    bool checkSizes() const noexcept;
    // Sets the point count and sizes every array for it at the current
    // degree, keeping the values of the points that remain.
    void resize(std::int32_t count);
    void convertCoordinates(CoordinateSystem from, CoordinateSystem to);
    void rotate180DegAboutX();
    // Median ellipsoid volume; 0.01 for an empty cloud.
    float medianVolume() const;
};

struct PackOptions {
    CoordinateSystem from = CoordinateSystem::unspecified;
};

struct UnpackOptions {
    CoordinateSystem to = CoordinateSystem::unspecified;
};

// Quantises a cloud into the version-3 arrays, in RUB. Positions use 12
// fractional bits, or the most that hold the largest magnitude in 24 bits.
// Throws SPZError::invalidData for arrays that do not match the point count
// and for a position that is not finite or fits at no fractional-bit count,
// and SPZError::tooManyPoints above the format's 10,000,000 points.
PackedGaussians packGaussians(const GaussianCloud& cloud, const PackOptions& options);

// Single fields as packGaussians packs them: log scale, DC colour, logit
// alpha, and SH coefficient `coefficient` (0 to 14) of a channel after
// multiplying by the coordinate flip `flip`. Rounded half away from zero and
// clamped; NaN packs as 0.
std::uint8_t packScale(float logScale);
std::uint8_t packColor(float dc);
std::uint8_t packAlpha(float logit);
std::uint8_t packSH(float value, float flip, std::size_t coefficient);

// Positions (x, y, z per point) as packGaussians packs them, at the fractional
// bits that suit them all; the same failures for them.
struct PackedPositions {
    Bytes bytes;
    std::int32_t fractionalBits = 0;
};
PackedPositions packPositions(std::span<const float> positions, const PackOptions& options);
GaussianCloud unpackGaussians(const PackedGaussians& packed, const UnpackOptions& options);

GaussianCloud loadSpz(std::span<const std::uint8_t> file, const UnpackOptions& options);
GaussianCloud loadSpz(const std::filesystem::path& path, const UnpackOptions& options);
Bytes saveSpz(const GaussianCloud& cloud, const PackOptions& options);
// Replaces the file only once all its bytes are written.
void saveSpz(const GaussianCloud& cloud, const std::filesystem::path& path, const PackOptions& options);

}  // namespace spz
