#include "spz/SpzMath.hpp"

#include <bit>
#include <cmath>

namespace spz {

float halfToFloat(std::uint16_t half) {
    std::uint32_t sign = std::uint32_t(half >> 15) << 31;
    std::uint32_t exponent = (half >> 10) & 0x1F;
    std::uint32_t mantissa = half & 0x3FF;
    if (exponent == 0x1F) return std::bit_cast<float>(sign | 0x7F800000u | (mantissa << 13));
    if (exponent == 0) {
        // Subnormal: mantissa × 2^-24, exact in float.
        float magnitude = std::ldexp(float(mantissa), -24);
        return sign ? -magnitude : magnitude;
    }
    return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (mantissa << 13));
}

std::uint16_t floatToHalf(float value) {
    std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    std::uint16_t sign = std::uint16_t((bits >> 16) & 0x8000);
    std::uint32_t exponent = (bits >> 23) & 0xFF;
    std::uint32_t mantissa = bits & 0x7FFFFF;
    if (exponent == 0xFF && mantissa != 0) return std::uint16_t(sign | 0x7C01);
    if (exponent >= 143) return std::uint16_t(sign | 0x7C00);
    if (exponent >= 113) return std::uint16_t(sign | ((exponent - 112) << 10) | (mantissa >> 13));
    if (exponent >= 82) return std::uint16_t(sign | ((mantissa | 0x800000) >> (126 - exponent)));
    return sign;
}

float squaredNorm(const Vec3f& v) { return v[0] * v[0] + v[1] * v[1] + v[2] * v[2]; }

float norm(const Vec3f& v) { return std::sqrt(squaredNorm(v)); }

float norm(const Quat4f& q) { return std::sqrt(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3]); }

Vec3f normalized(const Vec3f& v) {
    float squared = squaredNorm(v);
    // Estimate 1/sqrt from the exponent bits, then two Newton-Raphson steps.
    float estimate = std::bit_cast<float>(0x5F3759DFu - (std::bit_cast<std::uint32_t>(squared) >> 1));
    estimate = estimate * (1.5f - 0.5f * squared * estimate * estimate);
    estimate = estimate * (1.5f - 0.5f * squared * estimate * estimate);
    return times(v, estimate);
}

Quat4f normalized(const Quat4f& q) { return times(q, 1.0f / norm(q)); }

Vec3f times(const Quat4f& q, const Vec3f& v) {
    float x = q[0], y = q[1], z = q[2], w = q[3];
    float xx = x * x, yy = y * y, zz = z * z, xy = x * y, xz = x * z, yz = y * z, wx = w * x, wy = w * y, wz = w * z;
    return {(1 - 2 * (yy + zz)) * v[0] + 2 * (xy - wz) * v[1] + 2 * (xz + wy) * v[2],
            2 * (xy + wz) * v[0] + (1 - 2 * (xx + zz)) * v[1] + 2 * (yz - wx) * v[2],
            2 * (xz - wy) * v[0] + 2 * (yz + wx) * v[1] + (1 - 2 * (xx + yy)) * v[2]};
}

Quat4f times(const Quat4f& a, const Quat4f& b) {
    return normalized(Quat4f{a[3] * b[0] + a[0] * b[3] + a[1] * b[2] - a[2] * b[1],
                             a[3] * b[1] - a[0] * b[2] + a[1] * b[3] + a[2] * b[0],
                             a[3] * b[2] + a[0] * b[1] - a[1] * b[0] + a[2] * b[3],
                             a[3] * b[3] - a[0] * b[0] - a[1] * b[1] - a[2] * b[2]});
}

Vec3f times(const Vec3f& a, const Vec3f& b) { return {a[0] * b[0], a[1] * b[1], a[2] * b[2]}; }

Vec3f times(const Vec3f& v, float factor) { return {v[0] * factor, v[1] * factor, v[2] * factor}; }

Quat4f times(const Quat4f& q, float factor) { return {q[0] * factor, q[1] * factor, q[2] * factor, q[3] * factor}; }

Vec3f plus(const Vec3f& a, const Vec3f& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2]}; }

Quat4f plus(const Quat4f& a, const Quat4f& b) { return {a[0] + b[0], a[1] + b[1], a[2] + b[2], a[3] + b[3]}; }

Quat4f axisAngleQuat(const Vec3f& rotationVector) {
    float angleSquared = squaredNorm(rotationVector);
    if (angleSquared > 0) {
        float angle = std::sqrt(angleSquared);
        Vec3f axisPart = times(rotationVector, std::sin(angle / 2) / angle);
        return normalized(Quat4f{axisPart[0], axisPart[1], axisPart[2], std::cos(angle / 2)});
    }
    Vec3f half = times(rotationVector, 0.5f);
    return normalized(Quat4f{half[0], half[1], half[2], 1.0f});
}

}  // namespace spz
