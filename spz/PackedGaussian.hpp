#pragma once

#include <array>
#include <cstdint>

#include "spz/CoordinateSystem.hpp"
#include "spz/SpzMath.hpp"

namespace spz {

// One decoded Gaussian: log scale, logit alpha, DC colour, and up to 15 SH
// coefficients per channel (coefficient k of each channel at index k).
struct UnpackedGaussian {
    Vec3f position{0, 0, 0};
    Quat4f rotation{0, 0, 0, 1};
    Vec3f scale{0, 0, 0};
    Vec3f color{0, 0, 0};
    float alpha = 0;
    std::array<float, 15> shR{};
    std::array<float, 15> shG{};
    std::array<float, 15> shB{};
};

// One Gaussian as the bytes of the SPZ arrays.
struct PackedGaussian {
    std::array<std::uint8_t, 9> position{};  // the first 6 only for half-float positions
    std::array<std::uint8_t, 4> rotation{};  // the first 3 only for versions 1 and 2
    std::array<std::uint8_t, 3> scale{};
    std::array<std::uint8_t, 3> color{};
    std::uint8_t alpha = 0;
    std::array<std::uint8_t, 15> shR{};
    std::array<std::uint8_t, 15> shG{};
    std::array<std::uint8_t, 15> shB{};

    UnpackedGaussian unpack(bool usesFloat16, bool usesQuaternionSmallestThree, int fractionalBits,
                            const CoordinateConverter& converter) const;
};

// The single-byte fields' values for every byte, computed once: decoders
// look them up millions of times.
struct ByteDecodings {
    std::array<float, 256> alpha{}, color{}, scale{}, sh{};
};
const ByteDecodings& byteDecodings();

// Decoding of single fields, shared by the per-point and the whole-cloud paths.
float unpackAlpha(std::uint8_t byte);
float unpackColor(std::uint8_t byte);
float unpackScale(std::uint8_t byte);
float unpackSH(std::uint8_t byte);
float unpackFixedPoint(const std::uint8_t* bytes, float scale);
Quat4f unpackQuaternionSmallestThree(const std::uint8_t* bytes, const std::array<float, 3>& flipQ);
Quat4f unpackQuaternionFirstThree(const std::uint8_t* bytes, const std::array<float, 3>& flipQ);

// Encoding: the rotation normalised, its largest component left out and made
// positive; a zero-length or non-finite rotation packs as the identity.
std::array<std::uint8_t, 4> packQuaternionSmallestThree(const Quat4f& q, const std::array<float, 3>& flipQ);

}  // namespace spz
