#include <gtest/gtest.h>

#include "partition/MemoryModel.hpp"
#include "partition/PartitionerDetail.hpp"

using tessaron::partition::MemoryModel;
namespace detail = tessaron::partition::detail;

TEST(MemoryModel, BytesPerGaussianFollowTheTileCount) {
    EXPECT_EQ(MemoryModel(320, 320).bytesPerGaussian(), 1971);  // exactly 400 tiles
    EXPECT_EQ(MemoryModel(304, 320).bytesPerGaussian(), 3275);  // 19 x 20 tiles
    EXPECT_EQ(MemoryModel(305, 320).bytesPerGaussian(), 1971);  // a partial tile counts
}

TEST(CapSearch, ReturnsLoWhenNotEvenLoFitsAndHiWhenHiFits) {
    EXPECT_EQ(detail::estimateMemoryAndCap(500, 4000, 3000, 50000, 5000000, 1.0), 50000);
    EXPECT_EQ(detail::estimateMemoryAndCap(10, 320, 320, 50000, 5000000, 64.0), 5000000);
}

TEST(CapSearch, CloseBoundsGiveLoWhenHiDoesNotFit) {
    MemoryModel model(1600, 1200);
    double budget = model.memGB(20, 100000) / 0.99;  // lo fits exactly, lo + 5000 does not
    EXPECT_EQ(detail::estimateMemoryAndCap(20, 1600, 1200, 100000, 105000, budget), 100000);
}

TEST(CapSearch, BisectionFitsTheLimitWithin5000) {
    MemoryModel model(1600, 1200);
    double budget = 3.0;
    int64_t cap = detail::estimateMemoryAndCap(40, 1600, 1200, 50000, 5000000, budget);
    EXPECT_LE(model.memGB(40, cap), 0.99 * budget);
    EXPECT_GT(model.memGB(40, cap + 5001), 0.99 * budget);
}

TEST(CapSearch, TheLimitIsNinetyNinePercentOfTheBudget) {
    MemoryModel model(1600, 1200);
    double budget = model.memGB(20, 5000000) / 0.995;  // hi lies between 0.99 x budget and the budget
    EXPECT_LT(detail::estimateMemoryAndCap(20, 1600, 1200, 50000, 5000000, budget), 5000000);
}
