#include "SplatRenderer/Matrix4.hpp"

#include <cmath>

namespace splatrenderer {

namespace {

Vector3f normalised(const Vector3f& v) {
    const float length = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    return {v[0] / length, v[1] / length, v[2] / length};
}

Vector3f cross(const Vector3f& a, const Vector3f& b) {
    return {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
}

float dot(const Vector3f& a, const Vector3f& b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

}  // namespace

Matrix4 Matrix4::identity() {
    Matrix4 result;
    for (int i = 0; i < 4; ++i) result(i, i) = 1;
    return result;
}

Matrix4 Matrix4::lookAt(const Vector3f& eye, const Vector3f& target, const Vector3f& up) {
    const Vector3f forward = normalised({target[0] - eye[0], target[1] - eye[1], target[2] - eye[2]});
    const Vector3f side = normalised(cross(forward, up));
    const Vector3f trueUp = cross(side, forward);
    Matrix4 view = identity();
    for (int column = 0; column < 3; ++column) {
        view(column, 0) = side[std::size_t(column)];
        view(column, 1) = trueUp[std::size_t(column)];
        view(column, 2) = -forward[std::size_t(column)];
    }
    view(3, 0) = -dot(side, eye);
    view(3, 1) = -dot(trueUp, eye);
    view(3, 2) = dot(forward, eye);
    return view;
}

Matrix4 Matrix4::perspective(float verticalFieldOfViewRadians, float aspect, float nearDistance, float farDistance) {
    const float focal = 1.0f / std::tan(verticalFieldOfViewRadians / 2);
    Matrix4 projection;
    projection(0, 0) = focal / aspect;
    projection(1, 1) = focal;
    projection(2, 2) = nearDistance / (farDistance - nearDistance);
    projection(3, 2) = nearDistance * farDistance / (farDistance - nearDistance);
    projection(2, 3) = -1;
    return projection;
}

Matrix4 Matrix4::operator*(const Matrix4& other) const {
    Matrix4 result;
    for (int column = 0; column < 4; ++column)
        for (int row = 0; row < 4; ++row) {
            float sum = 0;
            for (int k = 0; k < 4; ++k) sum += (*this)(k, row) * other(column, k);
            result(column, row) = sum;
        }
    return result;
}

Matrix4 Matrix4::inverse() const {
    // Laplace expansion by 2×2 minors of the upper and lower row pairs;
    // a(i, j) is row i, column j.
    auto a = [this](int row, int column) { return (*this)(column, row); };
    const float s0 = a(0, 0) * a(1, 1) - a(1, 0) * a(0, 1);
    const float s1 = a(0, 0) * a(1, 2) - a(1, 0) * a(0, 2);
    const float s2 = a(0, 0) * a(1, 3) - a(1, 0) * a(0, 3);
    const float s3 = a(0, 1) * a(1, 2) - a(1, 1) * a(0, 2);
    const float s4 = a(0, 1) * a(1, 3) - a(1, 1) * a(0, 3);
    const float s5 = a(0, 2) * a(1, 3) - a(1, 2) * a(0, 3);
    const float c5 = a(2, 2) * a(3, 3) - a(3, 2) * a(2, 3);
    const float c4 = a(2, 1) * a(3, 3) - a(3, 1) * a(2, 3);
    const float c3 = a(2, 1) * a(3, 2) - a(3, 1) * a(2, 2);
    const float c2 = a(2, 0) * a(3, 3) - a(3, 0) * a(2, 3);
    const float c1 = a(2, 0) * a(3, 2) - a(3, 0) * a(2, 2);
    const float c0 = a(2, 0) * a(3, 1) - a(3, 0) * a(2, 1);
    const float scale = 1.0f / (s0 * c5 - s1 * c4 + s2 * c3 + s3 * c2 - s4 * c1 + s5 * c0);
    Matrix4 result;
    auto set = [&result, scale](int row, int column, float value) { result(column, row) = value * scale; };
    set(0, 0, a(1, 1) * c5 - a(1, 2) * c4 + a(1, 3) * c3);
    set(0, 1, -a(0, 1) * c5 + a(0, 2) * c4 - a(0, 3) * c3);
    set(0, 2, a(3, 1) * s5 - a(3, 2) * s4 + a(3, 3) * s3);
    set(0, 3, -a(2, 1) * s5 + a(2, 2) * s4 - a(2, 3) * s3);
    set(1, 0, -a(1, 0) * c5 + a(1, 2) * c2 - a(1, 3) * c1);
    set(1, 1, a(0, 0) * c5 - a(0, 2) * c2 + a(0, 3) * c1);
    set(1, 2, -a(3, 0) * s5 + a(3, 2) * s2 - a(3, 3) * s1);
    set(1, 3, a(2, 0) * s5 - a(2, 2) * s2 + a(2, 3) * s1);
    set(2, 0, a(1, 0) * c4 - a(1, 1) * c2 + a(1, 3) * c0);
    set(2, 1, -a(0, 0) * c4 + a(0, 1) * c2 - a(0, 3) * c0);
    set(2, 2, a(3, 0) * s4 - a(3, 1) * s2 + a(3, 3) * s0);
    set(2, 3, -a(2, 0) * s4 + a(2, 1) * s2 - a(2, 3) * s0);
    set(3, 0, -a(1, 0) * c3 + a(1, 1) * c1 - a(1, 2) * c0);
    set(3, 1, a(0, 0) * c3 - a(0, 1) * c1 + a(0, 2) * c0);
    set(3, 2, -a(3, 0) * s3 + a(3, 1) * s1 - a(3, 2) * s0);
    set(3, 3, a(2, 0) * s3 - a(2, 1) * s1 + a(2, 2) * s0);
    return result;
}

}  // namespace splatrenderer
