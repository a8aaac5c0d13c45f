#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "RendererTestSupport.hpp"
#include "SplatRenderer/LocalityOrder.hpp"
#include "SplatRenderer/SplatChunk.hpp"

using namespace splatrenderer;
using splatformats::SHCoefficients;
using splatrenderer::testing::llvmpipeDevice;
using splatrenderer::testing::roundSplat;

namespace {

SplatPoint harmonicSplat(std::array<float, 3> position, std::size_t tripleCount, float base) {
    SHCoefficients triples;
    for (std::size_t i = 0; i < tripleCount; ++i) triples.push_back({base + float(i), base + 0.25f, -base - float(i)});
    return SplatPoint(position, SplatPoint::Color::sphericalHarmonicFloat(triples), SplatPoint::Opacity::logitFloat(0),
                      SplatPoint::Scale::exponent({0, 0, 0}), Quaternion{});
}

std::vector<float> positionsX(const SplatChunk& chunk) {
    std::vector<float> xs;
    for (const auto& record : chunk.splats->elements()) xs.push_back(record.position[0]);
    return xs;
}

}  // namespace

TEST(SplatChunk, DegreeThreeGivesFortyFiveHalvesPerSplat) {
    const std::vector<SplatPoint> points{harmonicSplat({0, 0, 0}, 16, 1), harmonicSplat({1, 0, 0}, 16, 100)};
    SplatChunk chunk(llvmpipeDevice(), points);
    EXPECT_EQ(chunk.shDegree, SHDegree::sh3);
    ASSERT_NE(chunk.shCoefficients, nullptr);
    EXPECT_EQ(chunk.shCoefficients->count(), 90);
    const Half* halves = chunk.shCoefficients->values();
    // Slot 0 begins with triple 1 of the first point, slot 1 with the second's.
    EXPECT_EQ(toFloat(halves[0]), 2.0f);
    EXPECT_EQ(toFloat(halves[1]), 1.25f);
    EXPECT_EQ(toFloat(halves[2]), -2.0f);
    EXPECT_EQ(toFloat(halves[44]), -16.0f);
    EXPECT_EQ(toFloat(halves[45]), 101.0f);
}

TEST(SplatChunk, MixedDegreesKeepToTheFirstPointsSlotWidth) {
    // Degree 1 from the first point: nine halves each. A degree-3 point
    // writes only its first nine; a degree-0 point leaves zeros.
    const std::vector<SplatPoint> points{harmonicSplat({0, 0, 0}, 4, 1), harmonicSplat({1, 0, 0}, 16, 10),
                                         harmonicSplat({2, 0, 0}, 1, 20)};
    SplatChunk chunk(llvmpipeDevice(), points);
    EXPECT_EQ(chunk.shDegree, SHDegree::sh1);
    ASSERT_EQ(chunk.shCoefficients->count(), 27);
    const Half* halves = chunk.shCoefficients->values();
    EXPECT_EQ(toFloat(halves[9]), 11.0f);
    EXPECT_EQ(toFloat(halves[17]), -13.0f);
    for (int i = 18; i < 27; ++i) EXPECT_EQ(toFloat(halves[i]), 0.0f);
}

TEST(SplatChunk, ALargeSceneBecomesSeveralChunksThatFitTheDevice) {
    // 32 records per 1 KiB buffer.
    const GPUDevice small(1024);
    std::vector<SplatPoint> points;
    for (int i = 0; i < 100; ++i) points.push_back(roundSplat({float(i), 0, 0}, 1, {1, 2, 3}));
    auto chunks = SplatChunk::makeChunks(small, points);
    ASSERT_EQ(chunks.size(), 4u);
    EXPECT_EQ(chunks[3].splatCount(), 4);
    EXPECT_EQ(chunks[1].splats->values()[0].position[0], 32.0f);

    // Degree 3 needs 45 halves (90 bytes) per splat: 11 splats per chunk.
    std::vector<SplatPoint> harmonic;
    for (int i = 0; i < 100; ++i) harmonic.push_back(harmonicSplat({float(i), 0, 0}, 16, 0));
    EXPECT_EQ(SplatChunk::maxSplatsPerChunk(small, SHDegree::sh3), 11);
    EXPECT_EQ(SplatChunk::maxSplatsPerChunk(small, SHDegree::sh1), 32);
    auto harmonicChunks = SplatChunk::makeChunks(small, harmonic);
    ASSERT_EQ(harmonicChunks.size(), 10u);
    EXPECT_EQ(harmonicChunks[0].splatCount(), 11);
    EXPECT_EQ(harmonicChunks[9].splatCount(), 1);
    EXPECT_EQ(harmonicChunks[9].shCoefficients->count(), 45);
    EXPECT_EQ(SplatChunk::makeChunks(small, std::vector<SplatPoint>{}).size(), 1u);
}

TEST(LocalityOrder, MortonCodesInterleaveXThenYThenZ) {
    EXPECT_EQ(LocalityOrder::mortonCode(1, 0, 0), 1u);
    EXPECT_EQ(LocalityOrder::mortonCode(0, 1, 0), 2u);
    EXPECT_EQ(LocalityOrder::mortonCode(0, 0, 1), 4u);
    EXPECT_EQ(LocalityOrder::mortonCode(3, 0, 0), 9u);
    EXPECT_EQ(LocalityOrder::mortonCode(1023, 1023, 1023), 1073741823u);
}

TEST(LocalityOrder, QuantisationClampsToTheBoxFaces) {
    EXPECT_EQ(LocalityOrder::quantise(-1, 0, 1), 0u);
    EXPECT_EQ(LocalityOrder::quantise(0, 0, 1), 0u);
    EXPECT_EQ(LocalityOrder::quantise(0.5f, 0, 1), 511u);
    EXPECT_EQ(LocalityOrder::quantise(1, 0, 1), 1023u);
    EXPECT_EQ(LocalityOrder::quantise(1.5f, 0, 1), 1023u);
    EXPECT_EQ(LocalityOrder::quantise(0, 0, std::numeric_limits<float>::infinity()), 0u);
}

TEST(LocalityOrder, SplatsBeyondThreeDeviationsLandOnTheFaces) {
    // Eight splats at ±1 on every axis have mean 0 and deviation 1: a splat
    // at +3 quantises to the top face, one at -3 to the bottom.
    std::vector<SplatPoint> points;
    for (int i = 0; i < 8; ++i)
        points.push_back(roundSplat({i & 1 ? 1.0f : -1.0f, i & 2 ? 1.0f : -1.0f, i & 4 ? 1.0f : -1.0f}, 1, {0, 0, 0}));
    SplatChunk chunk(llvmpipeDevice(), points);
    auto order = LocalityOrder::permutation(chunk.splats->elements());
    ASSERT_TRUE(order.has_value());
    EXPECT_EQ(*order, (std::vector<std::uint32_t>{0, 1, 2, 3, 4, 5, 6, 7}));  // already in Morton order
    const float lower = -2.5f, inverseExtent = 1.0f / 5.0f;
    EXPECT_EQ(LocalityOrder::quantise(3, lower, inverseExtent), 1023u);
    EXPECT_EQ(LocalityOrder::quantise(-3, lower, inverseExtent), 0u);
}

TEST(LocalityOrder, SmallFlatOrNonFiniteChunksStayAsTheyAre) {
    const std::vector<SplatPoint> three{roundSplat({3, 3, 3}, 1, {0, 0, 0}), roundSplat({0, 1, 2}, 1, {0, 0, 0}),
                                        roundSplat({1, 0, 5}, 1, {0, 0, 0})};
    SplatChunk small(llvmpipeDevice(), three);
    LocalityOrder::optimize(small);
    EXPECT_EQ(positionsX(small), (std::vector<float>{3, 0, 1}));

    std::vector<SplatPoint> flat;
    for (float x : {5.0f, 1.0f, 3.0f, 0.0f, 2.0f}) flat.push_back(roundSplat({x, -x, 7}, 1, {0, 0, 0}));
    SplatChunk flatChunk(llvmpipeDevice(), flat);
    LocalityOrder::optimize(flatChunk);
    EXPECT_EQ(positionsX(flatChunk), (std::vector<float>{5, 1, 3, 0, 2}));

    flat[2] = roundSplat({std::numeric_limits<float>::infinity(), 1, 1}, 1, {0, 0, 0});
    flat[4] = roundSplat({1, 2, 3}, 1, {0, 0, 0});
    SplatChunk infinite(llvmpipeDevice(), flat);
    LocalityOrder::optimize(infinite);
    EXPECT_EQ(infinite.splats->values()[1].position[0], 1.0f);
    EXPECT_EQ(infinite.splats->values()[4].position[0], 1.0f);
}

TEST(LocalityOrder, ReordersByCodeKeepingTiesAndCoefficientSlotsTogether) {
    // Four corners in reverse Morton order, then a twin of the first: the
    // twins share a code and keep their relative order.
    const std::vector<std::array<float, 3>> corners{{1, 1, 1}, {-1, 1, 1}, {1, -1, -1}, {-1, -1, -1}, {1, 1, 1}};
    std::vector<SplatPoint> points;
    for (std::size_t i = 0; i < corners.size(); ++i) points.push_back(harmonicSplat(corners[i], 4, float(i)));
    SplatChunk chunk(llvmpipeDevice(), points);
    SplatChunk alias = chunk;  // shares the buffers
    LocalityOrder::optimize(chunk);
    // Codes: (-1,-1,-1) 0, (1,-1,-1) 1, (-1,1,1) 6, (1,1,1) 7 (twice).
    const std::vector<float> expectedFirstCoefficient{3, 2, 1, 0, 4};
    for (std::size_t k = 0; k < corners.size(); ++k) {
        // Slot k still belongs to record k: its first half is base + 1.
        EXPECT_EQ(toFloat(alias.shCoefficients->values()[k * 9]), expectedFirstCoefficient[k] + 1) << k;
        const auto& position = alias.splats->values()[k].position;
        EXPECT_EQ(position[0], corners[std::size_t(expectedFirstCoefficient[k])][0]) << k;
    }
    EXPECT_EQ(chunk.splatCount(), 5);
}
