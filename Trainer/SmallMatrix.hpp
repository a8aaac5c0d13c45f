#pragma once

#include <array>
#include <cmath>

#include "Trainer/Lanes.hpp"

namespace tessaron::trainer {

// Fixed-size vectors and row-major matrices for the per-Gaussian geometry,
// where a general linear-algebra library would cost more in call overhead
// than the arithmetic itself. Their elements are floats, or the eight lanes
// of lanes::Floats when eight Gaussians are handled at once. Always inlined,
// as the lane helpers are: an eight-lane call left out of line would cross
// from a caller's AVX2 clone into code built for any x86-64, whose calling
// convention for vectors differs (unoptimised builds inline nothing else).
template <typename F>
using Vec3Of = std::array<F, 3>;
template <typename F>
using Mat3Of = std::array<F, 9>;  // row-major
using Vec3 = Vec3Of<float>;
using Mat3 = Mat3Of<float>;

template <typename F>
inline __attribute__((always_inline)) Vec3Of<F> operator+(const Vec3Of<F>& a, const Vec3Of<F>& b) {
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
}
template <typename F>
inline __attribute__((always_inline)) Vec3Of<F> operator-(const Vec3Of<F>& a, const Vec3Of<F>& b) {
    return {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
}
template <typename F>
inline __attribute__((always_inline)) Vec3Of<F> operator*(F s, const Vec3Of<F>& a) {
    return {s * a[0], s * a[1], s * a[2]};
}
template <typename F>
inline __attribute__((always_inline)) F dot(const Vec3Of<F>& a, const Vec3Of<F>& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}
template <typename F>
inline __attribute__((always_inline)) F length(const Vec3Of<F>& a) {
    return lanes::squareRoot(dot(a, a));
}

template <typename F>
inline __attribute__((always_inline)) Vec3Of<F> multiply(const Mat3Of<F>& m, const Vec3Of<F>& v) {
    return {m[0] * v[0] + m[1] * v[1] + m[2] * v[2], m[3] * v[0] + m[4] * v[1] + m[5] * v[2],
            m[6] * v[0] + m[7] * v[1] + m[8] * v[2]};
}

// mᵀ v
template <typename F>
inline __attribute__((always_inline)) Vec3Of<F> multiplyTransposed(const Mat3Of<F>& m, const Vec3Of<F>& v) {
    return {m[0] * v[0] + m[3] * v[1] + m[6] * v[2], m[1] * v[0] + m[4] * v[1] + m[7] * v[2],
            m[2] * v[0] + m[5] * v[1] + m[8] * v[2]};
}

template <typename F>
inline __attribute__((always_inline)) Mat3Of<F> multiply(const Mat3Of<F>& a, const Mat3Of<F>& b) {
    Mat3Of<F> c{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) c[i * 3 + j] = a[i * 3] * b[j] + a[i * 3 + 1] * b[3 + j] + a[i * 3 + 2] * b[6 + j];
    return c;
}

template <typename F>
inline __attribute__((always_inline)) Mat3Of<F> transposed(const Mat3Of<F>& m) {
    return {m[0], m[3], m[6], m[1], m[4], m[7], m[2], m[5], m[8]};
}

// m mᵀ, each value computed once and mirrored (the same products as
// multiply(m, transposed(m)), so the same result).
template <typename F>
inline __attribute__((always_inline)) Mat3Of<F> timesOwnTranspose(const Mat3Of<F>& m) {
    Mat3Of<F> c{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j <= i; ++j)
            c[i * 3 + j] = c[j * 3 + i] = m[i * 3] * m[j * 3] + m[i * 3 + 1] * m[j * 3 + 1] + m[i * 3 + 2] * m[j * 3 + 2];
    return c;
}

// A matrix or vector of floats in every lane.
template <typename F, size_t n>
inline __attribute__((always_inline)) std::array<F, n> broadcast(const std::array<float, n>& values) {
    std::array<F, n> out;
    for (size_t k = 0; k < n; ++k) out[k] = lanes::splat<F>(values[k]);
    return out;
}

// Rotation of the unit quaternion (w, x, y, z).
template <typename F>
inline __attribute__((always_inline)) Mat3Of<F> rotationOf(F w, F x, F y, F z) {
    return {1.0f - 2.0f * (y * y + z * z), 2.0f * (x * y - w * z),        2.0f * (x * z + w * y),
            2.0f * (x * y + w * z),        1.0f - 2.0f * (x * x + z * z), 2.0f * (y * z - w * x),
            2.0f * (x * z - w * y),        2.0f * (y * z + w * x),        1.0f - 2.0f * (x * x + y * y)};
}

template <typename F>
inline __attribute__((always_inline)) F sigmoid(F x) {
    return 1.0f / (1.0f + lanes::exponential(-x));
}
inline float logit(float p) { return std::log(p / (1.0f - p)); }

}  // namespace tessaron::trainer
