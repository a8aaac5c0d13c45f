#include "SplatRenderer/Half.hpp"

#include <bit>

#include "spz/SpzMath.hpp"

namespace splatrenderer {

Half toHalf(float value) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const auto sign = std::uint16_t((bits >> 16) & 0x8000u);
    const std::uint32_t magnitude = bits & 0x7FFFFFFFu;
    if (magnitude > 0x7F800000u) return {std::uint16_t(sign | 0x7E00u | ((magnitude >> 13) & 0x1FFu))};
    // 65520 lies halfway between the largest half (65504) and the next power
    // of two; ties go to the even neighbour, which is infinity.
    if (magnitude >= 0x477FF000u) return {std::uint16_t(sign | 0x7C00u)};

    const std::uint32_t exponent = magnitude >> 23;
    if (exponent >= 113) {
        // Normal half: keep 10 mantissa bits and round the 13 dropped ones.
        std::uint32_t half = ((exponent - 112) << 10) | ((magnitude >> 13) & 0x3FFu);
        const std::uint32_t dropped = magnitude & 0x1FFFu;
        if (dropped > 0x1000u || (dropped == 0x1000u && (half & 1u))) ++half;  // a carry moves into the exponent
        return {std::uint16_t(sign | half)};
    }
    // Subnormal half (units of 2^-24): below 2^-25 everything rounds to zero.
    if (exponent < 102) return {sign};
    const std::uint32_t mantissa = (magnitude & 0x7FFFFFu) | 0x800000u;
    const std::uint32_t shift = 126 - exponent;  // 14 to 24
    std::uint32_t half = mantissa >> shift;
    const std::uint32_t dropped = mantissa & ((1u << shift) - 1);
    const std::uint32_t halfway = 1u << (shift - 1);
    if (dropped > halfway || (dropped == halfway && (half & 1u))) ++half;
    return {std::uint16_t(sign | half)};
}

float toFloat(Half value) { return spz::halfToFloat(value.bits); }

}  // namespace splatrenderer
