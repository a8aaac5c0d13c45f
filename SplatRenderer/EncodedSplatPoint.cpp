#include "SplatRenderer/EncodedSplatPoint.hpp"

#include <cmath>

namespace splatrenderer {

namespace {

float linearOpacity(const SplatPoint::Opacity& opacity) {
    switch (opacity.kind()) {
        case SplatPoint::Opacity::Kind::logitFloat:
            return 1.0f / (1.0f + std::exp(-opacity.floatValue()));
        case SplatPoint::Opacity::Kind::linearFloat:
            return opacity.floatValue();  // not clamped
        case SplatPoint::Opacity::Kind::linearUInt8:
            return float(opacity.byteValue()) / 255.0f;
    }
    return 0;
}

Quaternion unitRotation(const Quaternion& q) {
    const float squaredLength = q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w;
    if (squaredLength == 0) return Quaternion{0, 0, 0, 1};
    const float length = std::sqrt(squaredLength);
    return Quaternion{q.x / length, q.y / length, q.z / length, q.w / length};
}

}  // namespace

EncodedSplatPoint::EncodedSplatPoint(const SplatPoint& point)
    : EncodedSplatPoint(point.position, point.color.sh0(), linearOpacity(point.opacity), point.scale.asLinearFloat(),
                        unitRotation(point.rotation)) {}

EncodedSplatPoint::EncodedSplatPoint(const Vector3& centre, const Vector3& dcCoefficient, float opacity,
                                     const Vector3& scale, const Quaternion& rotation)
    : position(centre) {
    const float x = rotation.x, y = rotation.y, z = rotation.z, w = rotation.w;
    const float r[3][3] = {
        {1 - 2 * (y * y + z * z), 2 * (x * y - z * w), 2 * (x * z + y * w)},
        {2 * (x * y + z * w), 1 - 2 * (x * x + z * z), 2 * (y * z - x * w)},
        {2 * (x * z - y * w), 2 * (y * z + x * w), 1 - 2 * (x * x + y * y)},
    };
    // M = R × diag(s), Σ = M × Mᵀ.
    float m[3][3];
    for (int row = 0; row < 3; ++row)
        for (int column = 0; column < 3; ++column) m[row][column] = r[row][column] * scale[column];
    auto sigma = [&m](int i, int j) { return m[i][0] * m[j][0] + m[i][1] * m[j][1] + m[i][2] * m[j][2]; };

    colorSH0 = {toHalf(dcCoefficient[0]), toHalf(dcCoefficient[1]), toHalf(dcCoefficient[2]), toHalf(opacity)};
    covA = {toHalf(sigma(0, 0)), toHalf(sigma(0, 1)), toHalf(sigma(0, 2))};
    covB = {toHalf(sigma(1, 1)), toHalf(sigma(1, 2)), toHalf(sigma(2, 2))};
}

}  // namespace splatrenderer
