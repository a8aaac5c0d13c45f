#pragma once

#include <array>

namespace splatrenderer {

using Vector3f = std::array<float, 3>;

// A 4×4 single-precision matrix, column-major as GLSL reads it: element
// (column c, row r) is values[4c + r].
struct Matrix4 {
    std::array<float, 16> values{};

    float& operator()(int column, int row) { return values[std::size_t(4 * column + row)]; }
    float operator()(int column, int row) const { return values[std::size_t(4 * column + row)]; }
    bool operator==(const Matrix4&) const = default;

    static Matrix4 identity();
    // A right-handed camera at `eye` looking at `target` (it looks down its
    // own −z, with `up` on screen upward).
    static Matrix4 lookAt(const Vector3f& eye, const Vector3f& target, const Vector3f& up);
    // A perspective projection with reversed depth: the near plane maps to
    // 1 and the far plane to 0 (clip-space depth from 0 to 1).
    static Matrix4 perspective(float verticalFieldOfViewRadians, float aspect, float nearDistance, float farDistance);

    Matrix4 operator*(const Matrix4& other) const;
    // The general inverse; a singular matrix gives non-finite values.
    Matrix4 inverse() const;
};

}  // namespace splatrenderer
