#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "spz/PackedGaussian.hpp"

using spz::Quat4f;

namespace {

const std::array<float, 3> noFlip{1, 1, 1};

std::uint32_t word(const std::array<std::uint8_t, 4>& bytes) {
    return std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16 |
           std::uint32_t(bytes[3]) << 24;
}

Quat4f roundTrip(const Quat4f& q) {
    auto bytes = spz::packQuaternionSmallestThree(q, noFlip);
    return spz::unpackQuaternionSmallestThree(bytes.data(), noFlip);
}

void expectSameRotation(const Quat4f& a, const Quat4f& b, float tolerance) {
    // q and -q are one rotation.
    float dot = a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
    EXPECT_NEAR(std::abs(dot), 1.0f, tolerance);
}

}  // namespace

TEST(PackedGaussian, FieldDecodingsFollowTheFormatsScales) {
    EXPECT_FLOAT_EQ(spz::unpackScale(0), -10.0f);
    EXPECT_FLOAT_EQ(spz::unpackScale(255), 5.9375f);
    EXPECT_NEAR(spz::unpackAlpha(128), 0.00784f, 1e-5);
    EXPECT_EQ(spz::unpackAlpha(0), -std::numeric_limits<float>::infinity());
    EXPECT_EQ(spz::unpackAlpha(255), std::numeric_limits<float>::infinity());
    EXPECT_NEAR(spz::unpackColor(255), (1.0f - 0.5f) / 0.15f, 1e-6);
    EXPECT_FLOAT_EQ(spz::unpackSH(128), 0.0f);
    EXPECT_FLOAT_EQ(spz::unpackSH(0), -1.0f);
    std::uint8_t minusOne[3] = {0xFF, 0xFF, 0xFF};
    std::uint8_t signBit[3] = {0x00, 0x00, 0x80};
    EXPECT_FLOAT_EQ(spz::unpackFixedPoint(minusOne, 1.0f / 4096), -1.0f / 4096);
    EXPECT_FLOAT_EQ(spz::unpackFixedPoint(signBit, 1.0f / 4096), -2048.0f);
}

TEST(PackedGaussian, IdentityZeroLengthAndNonFiniteRotationsPackToTheTopIndexWord) {
    auto bytes = spz::packQuaternionSmallestThree({0, 0, 0, 1}, noFlip);
    EXPECT_EQ(word(bytes), 0xC0000000u);
    EXPECT_EQ(spz::unpackQuaternionSmallestThree(bytes.data(), noFlip), (Quat4f{0, 0, 0, 1}));
    EXPECT_EQ(word(spz::packQuaternionSmallestThree({0, 0, 0, 0}, noFlip)), 0xC0000000u);
    float nan = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(word(spz::packQuaternionSmallestThree({nan, 0, 0, 1}, noFlip)), 0xC0000000u);
    float infinity = std::numeric_limits<float>::infinity();
    EXPECT_EQ(word(spz::packQuaternionSmallestThree({infinity, 0, 0, 1}, noFlip)), 0xC0000000u);
}

TEST(PackedGaussian, NegatedQuaternionDecodesToTheSameRotation) {
    Quat4f q{0.1f, -0.7f, 0.3f, 0.5f};
    Quat4f negated{-0.1f, 0.7f, -0.3f, -0.5f};
    EXPECT_EQ(roundTrip(q), roundTrip(negated));
    // The largest component (y) is the one left out and comes back positive.
    EXPECT_EQ(word(spz::packQuaternionSmallestThree(q, noFlip)) >> 30, 1u);
    EXPECT_GT(roundTrip(q)[1], 0.0f);
}

TEST(PackedGaussian, EqualLargestMagnitudesKeepTheLowerIndex) {
    EXPECT_EQ(word(spz::packQuaternionSmallestThree({0.5f, 0.5f, 0.5f, 0.5f}, noFlip)) >> 30, 0u);
    EXPECT_EQ(word(spz::packQuaternionSmallestThree({0, -0.6f, 0, 0.6f}, noFlip)) >> 30, 1u);
}

TEST(PackedGaussian, SmallestThreeRoundTripsWithinItsPrecision) {
    for (Quat4f q : {Quat4f{0.1f, 0.2f, 0.3f, 0.9f}, Quat4f{-0.5f, 0.5f, -0.5f, 0.5f}, Quat4f{1, 2, 3, 4},
                     Quat4f{0.70710677f, 0.70710677f, 0, 0}, Quat4f{0, 0, -1, 0}}) {
        Quat4f unit = spz::normalized(q);
        expectSameRotation(roundTrip(unit), unit, 2e-5f);
    }
}

TEST(PackedGaussian, SquareRootOfTheLeftOutComponentIsClampedAtZero) {
    // Three components at the largest magnitude: their squares add up to 1.5.
    std::uint32_t packedWord = (3u << 30) | (511u << 20) | (511u << 10) | 511u;
    std::uint8_t bytes[4] = {std::uint8_t(packedWord), std::uint8_t(packedWord >> 8), std::uint8_t(packedWord >> 16),
                             std::uint8_t(packedWord >> 24)};
    Quat4f q = spz::unpackQuaternionSmallestThree(bytes, noFlip);
    EXPECT_EQ(q[3], 0.0f);
    EXPECT_FALSE(std::isnan(q[3]));
}

TEST(PackedGaussian, FirstThreeRotationsNeverDecodeToExactlyZero) {
    std::uint8_t bytes[3] = {128, 128, 128};
    Quat4f q = spz::unpackQuaternionFirstThree(bytes, noFlip);
    EXPECT_NEAR(q[0], 0.0039216f, 1e-6);
    EXPECT_EQ(q[0], q[1]);
    EXPECT_EQ(q[1], q[2]);
    EXPECT_NEAR(q[3], 0.99998f, 1e-5);
}

TEST(PackedGaussian, UnpackAppliesTheConverterSigns) {
    spz::PackedGaussian point;
    // x = 1, y = 2, z = 3 at 12 fractional bits.
    for (int axis = 0; axis < 3; ++axis) {
        int fixed = (axis + 1) * 4096;
        point.position[3 * axis] = std::uint8_t(fixed);
        point.position[3 * axis + 1] = std::uint8_t(fixed >> 8);
        point.position[3 * axis + 2] = std::uint8_t(fixed >> 16);
    }
    point.rotation = spz::packQuaternionSmallestThree({0.5f, 0.5f, 0.5f, 0.5f}, noFlip);
    point.shR.fill(192);  // +0.5
    point.shG.fill(128);
    point.shB.fill(64);
    auto converter = spz::coordinateConverter(spz::CoordinateSystem::rub, spz::CoordinateSystem::rdf);
    spz::UnpackedGaussian u = point.unpack(false, true, 12, converter);
    EXPECT_EQ(u.position, (spz::Vec3f{1, -2, -3}));
    EXPECT_NEAR(u.rotation[0], 0.5f, 2e-3);
    EXPECT_NEAR(u.rotation[1], -0.5f, 2e-3);
    EXPECT_NEAR(u.rotation[2], -0.5f, 2e-3);
    EXPECT_NEAR(u.rotation[3], 0.5f, 2e-3);
    for (std::size_t k = 0; k < 15; ++k) {
        EXPECT_EQ(u.shR[k], 0.5f * converter.flipSh[k]);
        EXPECT_EQ(u.shB[k], -0.5f * converter.flipSh[k]);
    }
    // Honours the header's fractional bits.
    EXPECT_EQ(point.unpack(false, true, 10, converter).position[0], 4.0f);
}

TEST(PackedGaussian, HalfFloatPositionsDecodeExactlyIncludingInfinity) {
    spz::PackedGaussian point;
    point.position = {0x00, 0x3C, 0x00, 0xFC, 0x01, 0x00};  // 1.0, -inf, smallest subnormal
    spz::UnpackedGaussian u = point.unpack(true, true, 12, spz::CoordinateConverter{});
    EXPECT_EQ(u.position[0], 1.0f);
    EXPECT_EQ(u.position[1], -std::numeric_limits<float>::infinity());
    EXPECT_EQ(u.position[2], std::ldexp(1.0f, -24));
}
