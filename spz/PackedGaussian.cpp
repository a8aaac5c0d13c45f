#include "spz/PackedGaussian.hpp"

#include <cmath>

namespace spz {

namespace {

// 1/√2 in single precision: the largest magnitude of a non-largest component.
constexpr float sqrt1_2 = 0.70710677f;

}  // namespace

const ByteDecodings& byteDecodings() {
    static const ByteDecodings tables = [] {
        ByteDecodings decodings;
        for (int byte = 0; byte < 256; ++byte) {
            decodings.alpha[std::size_t(byte)] = unpackAlpha(std::uint8_t(byte));
            decodings.color[std::size_t(byte)] = unpackColor(std::uint8_t(byte));
            decodings.scale[std::size_t(byte)] = unpackScale(std::uint8_t(byte));
            decodings.sh[std::size_t(byte)] = unpackSH(std::uint8_t(byte));
        }
        return decodings;
    }();
    return tables;
}

float unpackAlpha(std::uint8_t byte) {
    float a = float(byte) / 255.0f;
    return std::log(a / (1.0f - a));
}

float unpackColor(std::uint8_t byte) { return (float(byte) / 255.0f - 0.5f) / 0.15f; }

float unpackScale(std::uint8_t byte) { return float(byte) / 16.0f - 10.0f; }

float unpackSH(std::uint8_t byte) { return (float(byte) - 128.0f) / 128.0f; }

float unpackFixedPoint(const std::uint8_t* bytes, float scale) {
    std::int32_t value = std::int32_t(bytes[0]) | std::int32_t(bytes[1]) << 8 | std::int32_t(bytes[2]) << 16;
    if (value & 0x800000) value -= 0x1000000;  // bit 23 is the sign
    return float(value) * scale;
}

Quat4f unpackQuaternionSmallestThree(const std::uint8_t* bytes, const std::array<float, 3>& flipQ) {
    std::uint32_t word = std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
                         std::uint32_t(bytes[3]) << 24;
    int largest = int(word >> 30);
    Quat4f q{};
    float sumSquares = 0;
    for (int index = 3; index >= 0; --index) {
        if (index == largest) continue;
        std::uint32_t magnitude = word & 0x1FF;
        bool negative = (word & 0x200) != 0;
        word >>= 10;
        float component = float(magnitude) * sqrt1_2 / 511.0f;
        q[std::size_t(index)] = negative ? -component : component;
        sumSquares += component * component;
    }
    // Clamped: three rounded components can add up to just above 1.
    q[std::size_t(largest)] = std::sqrt(std::max(0.0f, 1.0f - sumSquares));
    for (std::size_t axis = 0; axis < 3; ++axis) q[axis] *= flipQ[axis];
    return q;
}

Quat4f unpackQuaternionFirstThree(const std::uint8_t* bytes, const std::array<float, 3>& flipQ) {
    constexpr float step = float(1.0 / 127.5);
    Quat4f q{};
    for (std::size_t axis = 0; axis < 3; ++axis) q[axis] = (float(bytes[axis]) * step - 1.0f) * flipQ[axis];
    q[3] = std::sqrt(std::max(0.0f, 1.0f - (q[0] * q[0] + q[1] * q[1] + q[2] * q[2])));
    return q;
}

std::array<std::uint8_t, 4> packQuaternionSmallestThree(const Quat4f& rotation, const std::array<float, 3>& flipQ) {
    float length = norm(rotation);
    Quat4f q{0, 0, 0, 1};
    if (std::isfinite(length) && length > 0) {
        q = times(rotation, 1.0f / length);
        for (std::size_t axis = 0; axis < 3; ++axis) q[axis] *= flipQ[axis];
    }
    std::size_t largest = 0;
    for (std::size_t index = 1; index < 4; ++index)
        if (std::abs(q[index]) > std::abs(q[largest])) largest = index;
    bool largestNegative = q[largest] < 0;
    std::uint32_t word = std::uint32_t(largest);
    for (std::size_t index = 0; index < 4; ++index) {
        if (index == largest) continue;
        std::uint32_t sign = ((q[index] < 0) != largestNegative) ? 0x200 : 0;
        // Rounding may carry a component at exactly 1/√2 to 512; 9 bits hold 511.
        std::uint32_t magnitude = std::min(511u, std::uint32_t(std::floor(std::abs(q[index]) / sqrt1_2 * 511.0f + 0.5f)));
        word = (word << 10) | sign | magnitude;
    }
    return {std::uint8_t(word), std::uint8_t(word >> 8), std::uint8_t(word >> 16), std::uint8_t(word >> 24)};
}

UnpackedGaussian PackedGaussian::unpack(bool usesFloat16, bool usesQuaternionSmallestThree, int fractionalBits,
                                        const CoordinateConverter& converter) const {
    UnpackedGaussian result;
    if (usesFloat16) {
        for (std::size_t axis = 0; axis < 3; ++axis) {
            auto half = std::uint16_t(position[2 * axis] | position[2 * axis + 1] << 8);
            result.position[axis] = halfToFloat(half) * converter.flipP[axis];
        }
    } else {
        float scale = std::ldexp(1.0f, -fractionalBits);
        for (std::size_t axis = 0; axis < 3; ++axis)
            result.position[axis] = unpackFixedPoint(&position[3 * axis], scale) * converter.flipP[axis];
    }
    result.rotation = usesQuaternionSmallestThree ? unpackQuaternionSmallestThree(rotation.data(), converter.flipQ)
                                                  : unpackQuaternionFirstThree(rotation.data(), converter.flipQ);
    const ByteDecodings& tables = byteDecodings();
    for (std::size_t axis = 0; axis < 3; ++axis) {
        result.scale[axis] = tables.scale[this->scale[axis]];
        result.color[axis] = tables.color[color[axis]];
    }
    result.alpha = tables.alpha[alpha];
    for (std::size_t k = 0; k < 15; ++k) {
        result.shR[k] = tables.sh[shR[k]] * converter.flipSh[k];
        result.shG[k] = tables.sh[shG[k]] * converter.flipSh[k];
        result.shB[k] = tables.sh[shB[k]] * converter.flipSh[k];
    }
    return result;
}

}  // namespace spz
