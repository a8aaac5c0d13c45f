#pragma once

#include <array>
#include <cstdint>

namespace spz {

using Vec3f = std::array<float, 3>;
using Quat4f = std::array<float, 4>;  // x, y, z, w (w is the real part)

// IEEE binary16 to float, exactly (subnormals, infinities, NaN).
float halfToFloat(std::uint16_t half);
// Float to binary16 by truncation, sign kept; NaN gives 0x7C01 with the sign.
std::uint16_t floatToHalf(float value);

float squaredNorm(const Vec3f& v);
float norm(const Vec3f& v);
float norm(const Quat4f& q);
// Unit length through a refined reciprocal square root estimate.
Vec3f normalized(const Vec3f& v);
Quat4f normalized(const Quat4f& q);

// The vector rotated by the quaternion.
Vec3f times(const Quat4f& q, const Vec3f& v);
// Hamilton product a·b, normalised.
Quat4f times(const Quat4f& a, const Quat4f& b);
Vec3f times(const Vec3f& a, const Vec3f& b);
Vec3f times(const Vec3f& v, float factor);
Quat4f times(const Quat4f& q, float factor);
Vec3f plus(const Vec3f& a, const Vec3f& b);
Quat4f plus(const Quat4f& a, const Quat4f& b);

// A rotation vector (axis times angle) as a unit quaternion.
Quat4f axisAngleQuat(const Vec3f& rotationVector);

}  // namespace spz
