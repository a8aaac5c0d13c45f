#include "spz/GaussianCloud.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/AtomicFile.hpp"
#include "core/NumberText.hpp"
#include "core/ParallelFor.hpp"
#include "spz/Gzip.hpp"
#include "spz/SPZError.hpp"

namespace spz {

namespace {

constexpr int preferredFractionalBits = 12;
constexpr std::int64_t fixedPointMinimum = -(std::int64_t(1) << 23);
constexpr std::int64_t fixedPointMaximum = (std::int64_t(1) << 23) - 1;

// Round half away from zero for |value| < 2^30: exact in double, and the
// conversion truncates toward zero. Branch-free, since it runs on every
// value of a cloud (std::round is a library call here).
int roundHalfAwayFromZero(float value) { return int(double(value) + std::copysign(0.5, double(value))); }

// Rounds half away from zero and clamps to a byte; NaN gives 0.
std::uint8_t roundToByte(float value) {
    if (!(value > 0)) return 0;
    if (value >= 255) return 255;
    return std::uint8_t(roundHalfAwayFromZero(value));
}

// One SH value to its byte, in buckets of 8 (first band) or 16; NaN packs as 0.
template <int bucket>
std::uint8_t packSHInBuckets(float value, float flip) {
    float scaled = flip * value * 128.0f;
    scaled = std::isnan(scaled) ? 0.0f : scaled;
    // Saturated before converting so that no value overflows the integer.
    scaled = std::min(std::max(scaled, -1024.0f), 1024.0f);
    int centred = std::max(roundHalfAwayFromZero(scaled) + 128 + bucket / 2, 0);
    return std::uint8_t(std::min(centred & ~(bucket - 1), 255));
}

// Positions are scanned and packed side by side in runs of this many values.
constexpr std::size_t positionRun = std::size_t(3) << 16;

// The most fractional bits (12 at most) at which every component fits the
// signed 24-bit range after rounding.
int choosePositionFractionalBits(std::span<const float> positions, const CoordinateConverter& converter) {
    struct Extent {
        float smallest = 0, largest = 0;
        std::size_t firstNotFinite = SIZE_MAX;
    };
    std::vector<Extent> extents((positions.size() + positionRun - 1) / positionRun);
    tessaron::core::parallelFor(extents.size(), [&](std::size_t run) {
        Extent& extent = extents[run];
        const std::size_t end = std::min(positions.size(), (run + 1) * positionRun);
        for (std::size_t i = run * positionRun; i < end; ++i) {
            float value = positions[i] * converter.flipP[i % 3];
            if (!std::isfinite(value)) {
                extent.firstNotFinite = i;
                return;
            }
            extent.smallest = std::min(extent.smallest, value);
            extent.largest = std::max(extent.largest, value);
        }
    });
    float smallest = 0, largest = 0;
    for (const Extent& extent : extents) {
        // The first of them all is named, as a scan in order would.
        if (extent.firstNotFinite != SIZE_MAX)
            throw SPZError::invalidData("position of point " + std::to_string(extent.firstNotFinite / 3) +
                                        " is not finite (" + tessaron::core::shortestText(positions[extent.firstNotFinite]) +
                                        ")");
        smallest = std::min(smallest, extent.smallest);
        largest = std::max(largest, extent.largest);
    }
    for (int bits = preferredFractionalBits; bits >= 0; --bits) {
        double scale = std::ldexp(1.0, bits);
        if (std::round(double(largest) * scale) <= double(fixedPointMaximum) &&
            std::round(double(smallest) * scale) >= double(fixedPointMinimum))
            return bits;
    }
    throw SPZError::invalidData("a position coordinate of magnitude " +
                                tessaron::core::shortestText(std::max(-smallest, largest)) +
                                " does not fit the 24-bit fixed-point range");
}

}  // namespace

std::uint8_t packScale(float logScale) { return roundToByte((logScale + 10.0f) * 16.0f); }

std::uint8_t packColor(float dc) { return roundToByte(dc * 38.25f + 127.5f); }

std::uint8_t packAlpha(float logit) {
    float sigmoid = 1.0f / (1.0f + std::exp(-logit));
    return roundToByte(sigmoid * 255.0f);
}

std::uint8_t packSH(float value, float flip, std::size_t coefficient) {
    // The first band keeps one more bit than the others.
    return coefficient < 3 ? packSHInBuckets<8>(value, flip) : packSHInBuckets<16>(value, flip);
}

PackedPositions packPositions(std::span<const float> positions, const PackOptions& options) {
    CoordinateConverter converter = coordinateConverter(options.from, CoordinateSystem::rub);
    PackedPositions packed;
    packed.fractionalBits = choosePositionFractionalBits(positions, converter);
    packed.bytes.resize(positions.size() * 3);
    float positionScale = std::ldexp(1.0f, packed.fractionalBits);
    tessaron::core::parallelFor((positions.size() + positionRun - 1) / positionRun, [&](std::size_t run) {
        const std::size_t end = std::min(positions.size(), (run + 1) * positionRun);
        for (std::size_t i = run * positionRun; i < end; ++i) {
            // Fits 24 bits: checked when the fractional bits were chosen.
            auto fixed = std::int32_t(std::round(converter.flipP[i % 3] * positions[i] * positionScale));
            packed.bytes[3 * i] = std::uint8_t(fixed);
            packed.bytes[3 * i + 1] = std::uint8_t(fixed >> 8);
            packed.bytes[3 * i + 2] = std::uint8_t(fixed >> 16);
        }
    });
    return packed;
}

bool GaussianCloud::checkSizes() const noexcept {
    if (numPoints < 0 || shDegree < 0 || shDegree > 3) return false;
    std::size_t count = std::size_t(numPoints);
    return positions.size() == 3 * count && scales.size() == 3 * count && rotations.size() == 4 * count &&
           alphas.size() == count && colors.size() == 3 * count &&
           sh.size() == 3 * std::size_t(SpzHeader::shDimension(shDegree)) * count;
}

void GaussianCloud::resize(std::int32_t count) {
    numPoints = count;
    std::size_t points = std::size_t(count);
    positions.resize(3 * points);
    scales.resize(3 * points);
    rotations.resize(4 * points);
    alphas.resize(points);
    colors.resize(3 * points);
    sh.resize(3 * std::size_t(SpzHeader::shDimension(shDegree)) * points);
}

void GaussianCloud::convertCoordinates(CoordinateSystem from, CoordinateSystem to) {
    if (numPoints < 1) return;
    CoordinateConverter converter = coordinateConverter(from, to);
    std::size_t count = std::size_t(numPoints);
    for (std::size_t i = 0; i < positions.size(); ++i) positions[i] *= converter.flipP[i % 3];
    for (std::size_t i = 0; i < rotations.size(); ++i)
        if (i % 4 < 3) rotations[i] *= converter.flipQ[i % 4];
    if (sh.size() >= 3 * count) {
        std::size_t dimension = sh.size() / 3 / count;
        for (std::size_t point = 0; point < count; ++point)
            for (std::size_t k = 0; k < std::min<std::size_t>(dimension, 15); ++k)
                for (std::size_t channel = 0; channel < 3; ++channel)
                    sh[(point * dimension + k) * 3 + channel] *= converter.flipSh[k];
    }
}

void GaussianCloud::rotate180DegAboutX() { convertCoordinates(CoordinateSystem::rub, CoordinateSystem::rdf); }

float GaussianCloud::medianVolume() const {
    if (numPoints < 1) return 0.01f;
    std::vector<float> sums;
    sums.reserve(scales.size() / 3);
    for (std::size_t i = 0; i + 2 < scales.size(); i += 3) sums.push_back(scales[i] + scales[i + 1] + scales[i + 2]);
    if (sums.empty()) return 0.01f;
    auto middle = sums.begin() + std::ptrdiff_t(sums.size() / 2);
    std::nth_element(sums.begin(), middle, sums.end());
    return std::exp(*middle) * 4.18879f;
}

PackedGaussians packGaussians(const GaussianCloud& cloud, const PackOptions& options) {
    if (!cloud.checkSizes())
        throw SPZError::invalidData("the cloud's arrays do not match its " + std::to_string(cloud.numPoints) +
                                    " points at degree " + std::to_string(cloud.shDegree));
    if (std::uint32_t(cloud.numPoints) > SpzHeader::maximumPointCount) throw SPZError::tooManyPoints(cloud.numPoints);

    CoordinateConverter converter = coordinateConverter(options.from, CoordinateSystem::rub);
    std::size_t count = std::size_t(cloud.numPoints);
    std::size_t dimension = std::size_t(SpzHeader::shDimension(cloud.shDegree));

    PackedGaussians packed;
    packed.numPoints = cloud.numPoints;
    packed.shDegree = cloud.shDegree;
    PackedPositions positions = packPositions(cloud.positions, options);
    packed.fractionalBits = positions.fractionalBits;
    packed.positions = std::move(positions.bytes);
    packed.antialiased = cloud.antialiased;
    packed.usesQuaternionSmallestThree = true;
    packed.scales.resize(count * 3);
    packed.rotations.resize(count * 4);
    packed.alphas.resize(count);
    packed.colors.resize(count * 3);
    packed.sh.resize(count * 3 * dimension);

    for (std::size_t i = 0; i < count * 3; ++i) {
        packed.scales[i] = packScale(cloud.scales[i]);
        packed.colors[i] = packColor(cloud.colors[i]);
    }
    for (std::size_t i = 0; i < count; ++i) {
        packed.alphas[i] = packAlpha(cloud.alphas[i]);
        const float* rotation = &cloud.rotations[4 * i];
        auto word = packQuaternionSmallestThree({rotation[0], rotation[1], rotation[2], rotation[3]}, converter.flipQ);
        std::copy(word.begin(), word.end(), packed.rotations.begin() + std::ptrdiff_t(4 * i));
    }
    for (std::size_t point = 0; point < count; ++point) {
        std::size_t first = point * dimension * 3;
        for (std::size_t k = 0; k < dimension; ++k)
            for (std::size_t channel = 0; channel < 3; ++channel)
                packed.sh[first + 3 * k + channel] = packSH(cloud.sh[first + 3 * k + channel], converter.flipSh[k], k);
    }
    return packed;
}

GaussianCloud unpackGaussians(const PackedGaussians& packed, const UnpackOptions& options) {
    if (!packed.checkSizes())
        throw SPZError::invalidData("the packed arrays do not match their " + std::to_string(packed.numPoints) + " points");
    std::size_t count = std::size_t(packed.numPoints);
    GaussianCloud cloud;
    cloud.shDegree = packed.shDegree;
    cloud.antialiased = packed.antialiased;
    cloud.resize(packed.numPoints);

    const CoordinateConverter identity;
    bool usesFloat16 = packed.usesFloat16();
    float positionScale = std::ldexp(1.0f, -packed.fractionalBits);
    for (std::size_t i = 0; i < count * 3; ++i) {
        if (usesFloat16)
            cloud.positions[i] = halfToFloat(std::uint16_t(packed.positions[2 * i] | packed.positions[2 * i + 1] << 8));
        else
            cloud.positions[i] = unpackFixedPoint(&packed.positions[3 * i], positionScale);
        cloud.scales[i] = unpackScale(packed.scales[i]);
        cloud.colors[i] = unpackColor(packed.colors[i]);
    }
    for (std::size_t i = 0; i < count; ++i) {
        cloud.alphas[i] = unpackAlpha(packed.alphas[i]);
        Quat4f rotation = packed.usesQuaternionSmallestThree
                              ? unpackQuaternionSmallestThree(&packed.rotations[4 * i], identity.flipQ)
                              : unpackQuaternionFirstThree(&packed.rotations[3 * i], identity.flipQ);
        std::copy(rotation.begin(), rotation.end(), cloud.rotations.begin() + std::ptrdiff_t(4 * i));
    }
    for (std::size_t i = 0; i < cloud.sh.size(); ++i) cloud.sh[i] = unpackSH(packed.sh[i]);
    cloud.convertCoordinates(CoordinateSystem::rub, options.to);
    return cloud;
}

GaussianCloud loadSpz(std::span<const std::uint8_t> file, const UnpackOptions& options) {
    return unpackGaussians(loadSpzPacked(file), options);
}

GaussianCloud loadSpz(const std::filesystem::path& path, const UnpackOptions& options) {
    return unpackGaussians(loadSpzPacked(path), options);
}

Bytes saveSpz(const GaussianCloud& cloud, const PackOptions& options) {
    return compressGzipped(serializePackedGaussians(packGaussians(cloud, options)));
}

void saveSpz(const GaussianCloud& cloud, const std::filesystem::path& path, const PackOptions& options) {
    Bytes file = saveSpz(cloud, options);
    tessaron::core::AtomicFile::write(path, std::string_view(reinterpret_cast<const char*>(file.data()), file.size()));
}

}  // namespace spz
