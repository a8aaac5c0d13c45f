#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <random>

#include "spz/GaussianCloud.hpp"
#include "spz/Gzip.hpp"
#include "SPZErrorCapture.hpp"
#include "spz/SPZError.hpp"
#include "support/TempDir.hpp"

using spz::CoordinateSystem;
using spz::GaussianCloud;
using spz::SPZError;
using spz::testing::errorOf;
using spz::testing::kindOf;

namespace {

const spz::PackOptions fromRub{CoordinateSystem::rub};

// One point at degree `degree`, every field set from the arguments.
GaussianCloud singlePoint(spz::Vec3f position, int degree = 0, float shValue = 0, float alpha = 0, float scale = 0,
                          float color = 0) {
    GaussianCloud cloud;
    cloud.numPoints = 1;
    cloud.shDegree = degree;
    cloud.positions = {position[0], position[1], position[2]};
    cloud.scales = {scale, scale, scale};
    cloud.rotations = {0, 0, 0, 1};
    cloud.alphas = {alpha};
    cloud.colors = {color, color, color};
    cloud.sh.assign(std::size_t(3 * spz::SpzHeader::shDimension(degree)), shValue);
    return cloud;
}

std::int32_t fixedPoint(const spz::PackedGaussians& packed, std::size_t component) {
    std::int32_t value = std::int32_t(packed.positions[3 * component]) | std::int32_t(packed.positions[3 * component + 1]) << 8 |
                         std::int32_t(packed.positions[3 * component + 2]) << 16;
    return (value & 0x800000) ? value - 0x1000000 : value;
}


GaussianCloud randomCloud(int count, int degree, std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::normal_distribution<float> normal(0, 1);
    GaussianCloud cloud;
    cloud.numPoints = count;
    cloud.shDegree = degree;
    for (int i = 0; i < count; ++i) {
        for (int axis = 0; axis < 3; ++axis) {
            cloud.positions.push_back(normal(generator) * 10);
            cloud.scales.push_back(-3 + normal(generator));
            cloud.colors.push_back(normal(generator));
        }
        for (int c = 0; c < 4; ++c) cloud.rotations.push_back(normal(generator));
        cloud.alphas.push_back(normal(generator) * 2);
        for (int k = 0; k < 3 * spz::SpzHeader::shDimension(degree); ++k) cloud.sh.push_back(normal(generator) * 0.2f);
    }
    return cloud;
}

}  // namespace

TEST(GaussianCloud, PositionsUseTwelveFractionalBitsWhenTheyFit) {
    auto packed = spz::packGaussians(singlePoint({1.0f / 4096, -2048, 2047.9997f}), fromRub);
    EXPECT_EQ(packed.fractionalBits, 12);
    EXPECT_EQ(fixedPoint(packed, 0), 1);
    EXPECT_EQ(fixedPoint(packed, 1), -8388608);
    EXPECT_EQ(fixedPoint(packed, 2), 8388607);
}

TEST(GaussianCloud, LargerScenesGiveUpFractionalBitsInsteadOfWrapping) {
    // 2048 itself does not fit 24 bits at 12 fractional bits.
    auto packed = spz::packGaussians(singlePoint({2048, 0, 0}), fromRub);
    EXPECT_EQ(packed.fractionalBits, 11);
    EXPECT_EQ(fixedPoint(packed, 0), 2048 << 11);
    auto far = spz::packGaussians(singlePoint({0, -100000.25f, 5}), fromRub);
    EXPECT_EQ(far.fractionalBits, 6);
    GaussianCloud back = spz::unpackGaussians(far, {CoordinateSystem::rub});
    EXPECT_EQ(back.positions[1], -100000.25f);
    EXPECT_EQ(back.positions[2], 5.0f);
    // The largest magnitude that still fits at no fractional bits.
    EXPECT_EQ(spz::packGaussians(singlePoint({8388607, 0, 0}), fromRub).fractionalBits, 0);
}

TEST(GaussianCloud, PositionsThatFitNowhereOrAreNotFiniteAreRefused) {
    EXPECT_EQ(kindOf([] { spz::packGaussians(singlePoint({8388608, 0, 0}), fromRub); }), SPZError::Kind::invalidData);
    for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()})
        EXPECT_EQ(kindOf([&] { spz::packGaussians(singlePoint({0, bad, 0}), fromRub); }), SPZError::Kind::invalidData);
}

TEST(GaussianCloud, ManyPositionsAreScannedInRunsAndTheFirstBadOneIsNamed) {
    // Enough points for several runs of the side-by-side scan. The bad
    // values lie in different runs: the earlier is named, whichever run
    // finishes first.
    std::vector<float> positions(3 * 300'000, 1.5f);
    positions[3 * 250'000 + 2] = std::numeric_limits<float>::quiet_NaN();
    positions[3 * 70'001 + 1] = -std::numeric_limits<float>::infinity();
    try {
        spz::packPositions(positions, fromRub);
        ADD_FAILURE() << "accepted";
    } catch (const SPZError& error) {
        EXPECT_EQ(error.kind(), SPZError::Kind::invalidData);
        EXPECT_NE(std::string(error.what()).find("position of point 70001 is not finite (-inf)"), std::string::npos)
            << error.what();
    }
    // The extremes of every run count: the largest sits in the last one.
    positions[3 * 250'000 + 2] = 0;
    positions[3 * 70'001 + 1] = -3000;
    positions[3 * 299'999] = 70000;
    auto packed = spz::packPositions(positions, fromRub);
    EXPECT_EQ(packed.fractionalBits, 6);
    EXPECT_EQ(packed.bytes.size(), positions.size() * 3);
    GaussianCloud cloud = randomCloud(1, 0, 1);
    cloud.numPoints = 300'000;
    cloud.positions = positions;
    cloud.resize(300'000);
    spz::PackedGaussians whole = spz::packGaussians(cloud, fromRub);
    EXPECT_EQ(whole.positions, packed.bytes);
    GaussianCloud back = spz::unpackGaussians(whole, {CoordinateSystem::rub});
    EXPECT_EQ(back.positions[3 * 299'999], 70000.0f);
    EXPECT_EQ(back.positions[3 * 70'001 + 1], -3000.0f);
    EXPECT_EQ(back.positions[3 * 123'456], 1.5f);
}

TEST(GaussianCloud, ScalarFieldsQuantiseAndClamp) {
    EXPECT_EQ(spz::packGaussians(singlePoint({}, 0, 0, 0, -10), fromRub).scales[0], 0);
    EXPECT_EQ(spz::packGaussians(singlePoint({}, 0, 0, 0, 5.9375f), fromRub).scales[0], 255);
    EXPECT_EQ(spz::packGaussians(singlePoint({}, 0, 0, 0, 40), fromRub).scales[0], 255);
    EXPECT_EQ(spz::packGaussians(singlePoint({}, 0, 0, 0, -40), fromRub).scales[0], 0);
    EXPECT_EQ(spz::packGaussians(singlePoint({}, 0, 0, 0), fromRub).alphas[0], 128);  // round(127.5)
    EXPECT_EQ(spz::packGaussians(singlePoint({}, 0, 0, 0, 0, 0), fromRub).colors[0], 128);
    EXPECT_EQ(spz::packGaussians(singlePoint({}, 0, 0, 0, 0, 100), fromRub).colors[0], 255);
}

TEST(GaussianCloud, NotANumberPacksToZeroBytes) {
    float nan = std::numeric_limits<float>::quiet_NaN();
    auto packed = spz::packGaussians(singlePoint({}, 1, nan, nan, nan, nan), fromRub);
    EXPECT_EQ(packed.scales[0], 0);
    EXPECT_EQ(packed.alphas[0], 0);
    EXPECT_EQ(packed.colors[0], 0);
    EXPECT_EQ(packed.sh[0], 128);  // a missing coefficient is a zero coefficient
}

TEST(GaussianCloud, ShCoefficientsFallIntoBucketsOfEightAndSixteen) {
    EXPECT_EQ(spz::packGaussians(singlePoint({}, 3, 0), fromRub).sh, spz::Bytes(45, 128));
    EXPECT_EQ(spz::packGaussians(singlePoint({}, 3, 1), fromRub).sh, spz::Bytes(45, 255));
    EXPECT_EQ(spz::packGaussians(singlePoint({}, 3, -1), fromRub).sh, spz::Bytes(45, 0));
    EXPECT_EQ(spz::packGaussians(singlePoint({}, 3, 1e30f), fromRub).sh, spz::Bytes(45, 255));
    std::mt19937 generator(11);
    std::uniform_real_distribution<float> value(-1.2f, 1.2f);
    GaussianCloud cloud = singlePoint({}, 3);
    for (int round = 0; round < 200; ++round) {
        for (auto& coefficient : cloud.sh) coefficient = value(generator);
        auto packed = spz::packGaussians(cloud, fromRub);
        for (std::size_t index = 0; index < 45; ++index) {
            std::uint8_t byte = packed.sh[index];
            int bucket = index < 9 ? 8 : 16;
            EXPECT_TRUE(byte % bucket == 0 || byte == 255) << int(byte) << " at " << index;
        }
    }
}

TEST(GaussianCloud, InconsistentArraysAndOversizedCloudsAreRefused) {
    GaussianCloud cloud = singlePoint({});
    cloud.alphas.push_back(0);
    EXPECT_FALSE(cloud.checkSizes());
    EXPECT_EQ(kindOf([&] { spz::packGaussians(cloud, fromRub); }), SPZError::Kind::invalidData);
    GaussianCloud huge;
    huge.numPoints = 10'000'001;
    huge.positions.resize(3 * 10'000'001);
    huge.scales.resize(3 * 10'000'001);
    huge.rotations.resize(4 * 10'000'001);
    huge.alphas.resize(10'000'001);
    huge.colors.resize(3 * 10'000'001);
    EXPECT_EQ(kindOf([&] { spz::packGaussians(huge, fromRub); }), SPZError::Kind::tooManyPoints);
}

TEST(GaussianCloud, PackingFromRdfStoresRub) {
    GaussianCloud cloud = singlePoint({1, 2, 3});
    auto packed = spz::packGaussians(cloud, {CoordinateSystem::rdf});
    EXPECT_EQ(fixedPoint(packed, 0), 4096);
    EXPECT_EQ(fixedPoint(packed, 1), -2 * 4096);
    EXPECT_EQ(fixedPoint(packed, 2), -3 * 4096);
    GaussianCloud back = spz::unpackGaussians(packed, {CoordinateSystem::rdf});
    EXPECT_EQ(back.positions, (std::vector<float>{1, 2, 3}));
}

TEST(GaussianCloud, SavedCloudLoadsBackWithinQuantisation) {
    GaussianCloud cloud = randomCloud(500, 3, 5);
    cloud.antialiased = true;
    spz::Bytes file = spz::saveSpz(cloud, {CoordinateSystem::rdf});
    GaussianCloud back = spz::loadSpz(file, {CoordinateSystem::rdf});
    ASSERT_EQ(back.numPoints, 500);
    EXPECT_EQ(back.shDegree, 3);
    EXPECT_TRUE(back.antialiased);
    for (std::size_t i = 0; i < cloud.positions.size(); ++i) {
        EXPECT_NEAR(back.positions[i], cloud.positions[i], 0.5f / 4096 + 1e-6f);
        EXPECT_NEAR(back.scales[i], std::clamp(cloud.scales[i], -10.0f, 5.9375f), 1.0f / 32 + 1e-5f);
        EXPECT_NEAR(back.colors[i], std::clamp(cloud.colors[i], -3.34f, 3.34f), 0.5f / 38.25f + 1e-3f);
    }
    for (int i = 0; i < 500; ++i) {
        float expected = 1 / (1 + std::exp(-cloud.alphas[std::size_t(i)]));
        float actual = 1 / (1 + std::exp(-back.alphas[std::size_t(i)]));
        EXPECT_NEAR(actual, expected, 0.5f / 255 + 1e-5f);
        spz::Quat4f q = spz::normalized(spz::Quat4f{cloud.rotations[4 * i], cloud.rotations[4 * i + 1],
                                                    cloud.rotations[4 * i + 2], cloud.rotations[4 * i + 3]});
        float dot = 0;
        for (int c = 0; c < 4; ++c) dot += q[std::size_t(c)] * back.rotations[std::size_t(4 * i + c)];
        EXPECT_NEAR(std::abs(dot), 1.0f, 2e-5f);
    }
    for (std::size_t i = 0; i < cloud.sh.size(); ++i) {
        bool firstBand = (i / 3) % 15 < 3;
        // Half a bucket, plus the rounding to whole 128ths before bucketing.
        EXPECT_NEAR(back.sh[i], cloud.sh[i], (firstBand ? 4.5f : 8.5f) / 128 + 1e-5f);
    }
}

TEST(GaussianCloud, ConvertingCoordinatesFlipsPositionsRotationsAndHarmonics) {
    GaussianCloud cloud = singlePoint({1, 2, 3}, 3, 1);
    cloud.rotations = {0.1f, 0.2f, 0.3f, 0.9f};
    cloud.rotate180DegAboutX();
    EXPECT_EQ(cloud.positions, (std::vector<float>{1, -2, -3}));
    EXPECT_EQ(cloud.rotations, (std::vector<float>{0.1f, -0.2f, -0.3f, 0.9f}));
    auto flips = spz::coordinateConverter(CoordinateSystem::rub, CoordinateSystem::rdf).flipSh;
    for (std::size_t k = 0; k < 15; ++k)
        for (std::size_t channel = 0; channel < 3; ++channel) EXPECT_EQ(cloud.sh[3 * k + channel], flips[k]);
    GaussianCloud empty;
    empty.convertCoordinates(CoordinateSystem::rub, CoordinateSystem::ldf);
    EXPECT_TRUE(empty.positions.empty());
}

TEST(GaussianCloud, MedianVolumeIsTheEllipsoidOfTheMedianScales) {
    GaussianCloud cloud = singlePoint({});
    EXPECT_FLOAT_EQ(cloud.medianVolume(), 4.18879f);
    cloud = randomCloud(4, 0, 1);
    cloud.scales = {0, 0, 0, 1, 1, 1, 2, 2, 2, -1, -1, -1};
    EXPECT_FLOAT_EQ(cloud.medianVolume(), std::exp(3.0f) * 4.18879f);  // upper median of an even count
    EXPECT_FLOAT_EQ(GaussianCloud{}.medianVolume(), 0.01f);
}
