#include <gtest/gtest.h>

#include <cmath>

#include "RendererTestSupport.hpp"
#include "SplatRenderer/EncodedSplatPoint.hpp"

using namespace splatrenderer;
using splatrenderer::testing::bytesOf;
using Color = SplatPoint::Color;
using Opacity = SplatPoint::Opacity;
using Scale = SplatPoint::Scale;

namespace {

SplatPoint pointWith(Color color, Opacity opacity, Scale scale, Quaternion rotation) {
    return SplatPoint({1.5f, -2.0f, 0.25f}, color, opacity, scale, rotation);
}

std::array<float, 6> covariance(const EncodedSplatPoint& record) {
    return {toFloat(record.covA.x), toFloat(record.covA.y), toFloat(record.covA.z),
            toFloat(record.covB.x), toFloat(record.covB.y), toFloat(record.covB.z)};
}

}  // namespace

TEST(EncodedSplatPoint, RecordBytesAreLittleEndianAndPacked) {
    // 8-bit colour (255, 0, 128), opacity byte 255, linear scale (1, 2, 3),
    // a 45° turn about z: Σ = R diag(1, 4, 9) Rᵀ has Σ00 = Σ11 = 2.5,
    // Σ01 = -1.5, Σ22 = 9 and no other entry.
    const EncodedSplatPoint record(pointWith(Color::sRGBUInt8({255, 0, 128}), Opacity::linearUInt8(255),
                                             Scale::linearFloat({1, 2, 3}),
                                             Quaternion{0, 0, std::sin(float(M_PI) / 8), std::cos(float(M_PI) / 8)}));
    const std::vector<std::uint8_t> expected = {
        0x00, 0x00, 0xC0, 0x3F,  // x 1.5
        0x00, 0x00, 0x00, 0xC0,  // y -2.0
        0x00, 0x00, 0x80, 0x3E,  // z 0.25
        0x17, 0x3F,              // red 1.7724609375
        0x17, 0xBF,              // green -1.7724609375
        0x1E, 0x1F,              // blue 0.00695037841796875
        0x00, 0x3C,              // opacity 1.0
        0x00, 0x41,              // Σ00 2.5
        0x00, 0xBE,              // Σ01 -1.5
        0x00, 0x00,              // Σ02 0
        0x00, 0x41,              // Σ11 2.5
        0x00, 0x00,              // Σ12 0
        0x80, 0x48,              // Σ22 9
    };
    EXPECT_EQ(bytesOf(record), expected);
}

TEST(EncodedSplatPoint, OpacityIsDecodedButNotClamped) {
    auto alpha = [](Opacity opacity) {
        return toFloat(EncodedSplatPoint(pointWith(Color::sRGBUInt8({0, 0, 0}), opacity, Scale::linearFloat({1, 1, 1}),
                                                   Quaternion{}))
                           .colorSH0.a);
    };
    EXPECT_EQ(alpha(Opacity::logitFloat(0)), 0.5f);
    EXPECT_EQ(alpha(Opacity::linearUInt8(255)), 1.0f);
    EXPECT_EQ(alpha(Opacity::linearFloat(1.7f)), 1.7001953125f);
    EXPECT_EQ(alpha(Opacity::linearUInt8(0)), 0.0f);
}

TEST(EncodedSplatPoint, ScaleOnlyAndExponentScales) {
    const EncodedSplatPoint linear(
        pointWith(Color::sRGBUInt8({0, 0, 0}), Opacity::linearUInt8(1), Scale::linearFloat({1, 2, 3}), Quaternion{}));
    EXPECT_EQ(covariance(linear), (std::array<float, 6>{1, 0, 0, 4, 0, 9}));
    const EncodedSplatPoint exponent(pointWith(Color::sRGBUInt8({0, 0, 0}), Opacity::linearUInt8(1),
                                               Scale::exponent({0, std::log(2.0f), std::log(3.0f)}), Quaternion{}));
    EXPECT_EQ(covariance(exponent), (std::array<float, 6>{1, 0, 0, 4, 0, 9}));
}

class ZeroAndLongQuaternions : public ::testing::TestWithParam<Quaternion> {};

TEST_P(ZeroAndLongQuaternions, PackLikeTheIdentity) {
    auto pack = [](Quaternion rotation) {
        return bytesOf(EncodedSplatPoint(
            pointWith(Color::sRGBUInt8({9, 8, 7}), Opacity::linearUInt8(200), Scale::linearFloat({0.5f, 2, 3}), rotation)));
    };
    EXPECT_EQ(pack(GetParam()), pack(Quaternion{0, 0, 0, 1}));
}

INSTANTIATE_TEST_SUITE_P(Rotations, ZeroAndLongQuaternions,
                         ::testing::Values(Quaternion{0, 0, 0, 0}, Quaternion{0, 0, 0, 2}, Quaternion{0, 0, 0, 1e-20f}));

TEST(EncodedSplatPoint, DecodedConstructorTakesTheQuaternionAsGiven) {
    // (0, 0, 1, 1) normalised is a quarter turn, which leaves a unit sphere
    // alone; taken as given, its matrix also stretches x and y.
    const EncodedSplatPoint record({0, 0, 0}, {0.1f, 0.2f, 0.3f}, 0.75f, {1, 1, 1}, Quaternion{0, 0, 1, 1});
    EXPECT_EQ(toFloat(record.colorSH0.a), 0.75f);
    EXPECT_EQ(toFloat(record.colorSH0.r), toFloat(toHalf(0.1f)));
    EXPECT_EQ(covariance(record), (std::array<float, 6>{5, 0, 0, 5, 0, 1}));
    const EncodedSplatPoint zero({0, 0, 0}, {0, 0, 0}, 1, {2, 2, 2}, Quaternion{0, 0, 0, 0});
    EXPECT_EQ(covariance(zero), (std::array<float, 6>{4, 0, 0, 4, 0, 4}));  // the zero quaternion's R is the identity
}
