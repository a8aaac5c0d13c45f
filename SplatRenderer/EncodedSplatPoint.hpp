#pragma once

#include <array>
#include <cstddef>

#include "SplatFormats/SplatPoint.hpp"
#include "SplatRenderer/Half.hpp"

namespace splatrenderer {

using splatformats::Quaternion;
using splatformats::SplatPoint;
using splatformats::Vector3;

struct PackedRGBHalf4 {
    Half r, g, b, a;
};

struct PackedHalf3 {
    Half x, y, z;
};

// One splat as the shaders read it: 32 bytes, little-endian, no padding.
// The colour halves hold the degree-0 harmonic coefficient (not a display
// colour) and the linear opacity; covA and covB the upper triangle of the
// 3-D covariance (Σ00 Σ01 Σ02, Σ11 Σ12 Σ22).
struct EncodedSplatPoint {
    std::array<float, 3> position{};
    PackedRGBHalf4 colorSH0{};
    PackedHalf3 covA{};
    PackedHalf3 covB{};

    EncodedSplatPoint() = default;
    // Decodes the point's colour, opacity and scale; a zero quaternion
    // counts as the identity, any other is normalised.
    explicit EncodedSplatPoint(const SplatPoint& point);
    // Values already decoded; the quaternion is used exactly as given.
    EncodedSplatPoint(const Vector3& position, const Vector3& colorSH0, float opacity, const Vector3& scale,
                      const Quaternion& rotation);
};

static_assert(sizeof(PackedRGBHalf4) == 8 && sizeof(PackedHalf3) == 6);
static_assert(sizeof(EncodedSplatPoint) == 32 && alignof(EncodedSplatPoint) == 4);
static_assert(offsetof(EncodedSplatPoint, colorSH0) == 12 && offsetof(EncodedSplatPoint, covA) == 20 &&
              offsetof(EncodedSplatPoint, covB) == 26);

}  // namespace splatrenderer
