#include "SplatFormats/DotSplatEncodedPoint.hpp"

#include <cmath>

#include "PlyKit/ByteCodec.hpp"

namespace splatformats {

namespace {

using FloatCodec = plykit::ByteCodec<float>;

}  // namespace

DotSplatEncodedPoint::DotSplatEncodedPoint(const SplatPoint& point)
    : position(point.position), scales(point.scale.asLinearFloat()) {
    ByteTriple rgb = point.color.asSRGBUInt8();
    color = {rgb[0], rgb[1], rgb[2], point.opacity.asLinearUInt8()};

    Quaternion q = point.rotation;
    float squaredLength = q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w;
    if (squaredLength == 0) {
        q = Quaternion{};
    } else {
        float length = std::sqrt(squaredLength);
        q = {q.x / length, q.y / length, q.z / length, q.w / length};
    }
    // The identity's 1 × 128 + 128 = 256 clamps to 255.
    auto encode = [](float component) { return truncateToByte(component * 128.0f + 128.0f); };
    rot = {encode(q.w), encode(q.x), encode(q.y), encode(q.z)};
}

DotSplatEncodedPoint::DotSplatEncodedPoint(const std::uint8_t* bytes, std::size_t offset, bool bigEndian) {
    for (std::size_t axis = 0; axis < 3; ++axis) {
        position[axis] = FloatCodec::load(bytes, offset + 4 * axis, bigEndian);
        scales[axis] = FloatCodec::load(bytes, offset + 12 + 4 * axis, bigEndian);
    }
    for (std::size_t index = 0; index < 4; ++index) {
        color[index] = bytes[offset + 24 + index];
        rot[index] = bytes[offset + 28 + index];
    }
}

void DotSplatEncodedPoint::store(std::uint8_t* destination) const {
    FloatCodec::storeArray(position, destination, 0, false);
    FloatCodec::storeArray(scales, destination, 12, false);
    for (std::size_t index = 0; index < 4; ++index) {
        destination[24 + index] = color[index];
        destination[28 + index] = rot[index];
    }
}

SplatPoint DotSplatEncodedPoint::splatPoint() const {
    float x = float(rot[1]) - 128, y = float(rot[2]) - 128, z = float(rot[3]) - 128, w = float(rot[0]) - 128;
    Quaternion rotation;
    if (x != 0 || y != 0 || z != 0 || w != 0) {
        float length = std::sqrt(x * x + y * y + z * z + w * w);
        rotation = {x / length, y / length, z / length, w / length};
    }
    // Bytes 255, 128, 128, 128 decode to exactly the identity: 127 / 127.
    return SplatPoint(position, SplatPoint::Color::sRGBUInt8({color[0], color[1], color[2]}),
                      SplatPoint::Opacity::linearUInt8(color[3]), SplatPoint::Scale::linearFloat(scales), rotation);
}

}  // namespace splatformats
