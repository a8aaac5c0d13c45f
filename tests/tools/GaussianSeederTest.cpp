#include <gtest/gtest.h>

#include <cmath>

#include "trevik/GaussianSeeder.hpp"

using tessaron::trevik::GaussianSeed;
using tessaron::trevik::GaussianSeeder;
using tessaron::trevik::SeedPoint;

TEST(GaussianSeeder, ScaleIsTheLogOfTheMeanDistanceToThreeNeighbours) {
    // Point 0 has neighbours at 1, 2 and 3; the far point 4 is not among them.
    std::vector<SeedPoint> points = {
        {{0, 0, 0}, 255, 0, 128}, {{1, 0, 0}, 0, 0, 0}, {{0, 2, 0}, 0, 0, 0},
        {{0, 0, 3}, 0, 0, 0},     {{0, 0, 40}, 0, 0, 0},
    };
    std::vector<GaussianSeed> seeds = GaussianSeeder::seed(points, 1);
    ASSERT_EQ(seeds.size(), points.size());
    EXPECT_FLOAT_EQ(seeds[0].logScale, float(std::log(2.0)));
    EXPECT_EQ(seeds[0].x, 0.0f);
    EXPECT_FLOAT_EQ(seeds[0].dc0, GaussianSeeder::colourToDC(255));
    EXPECT_FLOAT_EQ(seeds[0].dc1, GaussianSeeder::colourToDC(0));
    EXPECT_FLOAT_EQ(seeds[0].dc2, GaussianSeeder::colourToDC(128));
    EXPECT_EQ(seeds[3].z, 3.0f);
}

TEST(GaussianSeeder, CoincidentAndIsolatedPointsGetFiniteScales) {
    std::vector<SeedPoint> same(4, SeedPoint{{5, 5, 5}, 1, 2, 3});
    for (const GaussianSeed& seed : GaussianSeeder::seed(same))
        EXPECT_FLOAT_EQ(seed.logScale, float(std::log(GaussianSeeder::minimumDistance)));

    std::vector<GaussianSeed> alone = GaussianSeeder::seed({SeedPoint{{1, 1, 1}, 0, 0, 0}});
    ASSERT_EQ(alone.size(), 1u);
    EXPECT_FLOAT_EQ(alone[0].logScale, float(std::log(GaussianSeeder::isolatedDistance)));
}

TEST(GaussianSeeder, SubsampleIsEvenlySpreadAndDeterministic) {
    EXPECT_EQ(GaussianSeeder::subsampleIndices(10, 4), (std::vector<size_t>{0, 2, 5, 7}));
    EXPECT_EQ(GaussianSeeder::subsampleIndices(3, 5), (std::vector<size_t>{0, 1, 2}));
    EXPECT_TRUE(GaussianSeeder::subsampleIndices(5, 0).empty());
    std::vector<size_t> half = GaussianSeeder::subsampleIndices(1000001, 500000);
    ASSERT_EQ(half.size(), 500000u);
    EXPECT_TRUE(std::is_sorted(half.begin(), half.end()));
    EXPECT_EQ(std::adjacent_find(half.begin(), half.end()), half.end());
    EXPECT_EQ(half, GaussianSeeder::subsampleIndices(1000001, 500000));
}
