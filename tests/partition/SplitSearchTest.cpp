#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "partition/PlannerMath.hpp"
#include "partition/PartitionerDetail.hpp"

using namespace tessaron::partition;
using Cluster = detail::Cluster;

namespace {

// A long strip of points along x with cameras along it.
struct Strip {
    std::vector<GroundPoint> points;
    std::vector<Point2D> cameras;
};

Strip strip(size_t pointCount, size_t cameraCount) {
    planner::SeededGenerator generator(3);
    Strip result;
    for (size_t index = 0; index < pointCount; ++index)
        result.points.push_back({index, generator.next() * 100, generator.next() * 10});
    for (size_t index = 0; index < cameraCount; ++index)
        result.cameras.push_back({double(index) * 100 / double(cameraCount), 5});
    return result;
}

std::vector<std::vector<Cluster>> search(const Strip& input, bool balanced, int64_t& appended,
                                         const std::vector<int64_t>& visible = {}) {
    appended = -1;
    return detail::splitCandidates({.corePoints = input.points,
                                    .cameraPositions = input.cameras,
                                    .visibleCounts = visible,
                                    .gaussiansPerPoint = 200.0,
                                    .imageWidth = 1600,
                                    .imageHeight = 1200,
                                    .budgetGB = 2.0,
                                    .seed = 7,
                                    .balanced = balanced},
                                   [&](int64_t count) { appended = count; });
}

}  // namespace

TEST(PrincipalAxis, FollowsTheSpread) {
    std::vector<GroundPoint> diagonal{{1, 0, 0}, {2, 1, 1}, {3, 2, 2}, {4, 3, 3}};
    auto axis = detail::principalAxis(diagonal);
    EXPECT_NEAR(axis.cosTheta, std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(axis.sinTheta, std::sqrt(0.5), 1e-15);
    EXPECT_EQ(axis.meanX, 1.5);
    EXPECT_EQ(axis.meanZ, 1.5);
}

TEST(SplitCandidates, TinyCellsOrTooFewCamerasGiveOnlyTheKMeansSplit) {
    int64_t appended;
    Strip three = strip(3, 10);
    auto candidates = search(three, true, appended);
    ASSERT_EQ(candidates.size(), 1u);
    EXPECT_EQ(candidates[0], detail::kMeansXZ(three.points, 2, 7, 50));
    EXPECT_EQ(appended, 0);

    auto oneCamera = search(strip(500, 1), true, appended);
    EXPECT_EQ(oneCamera.size(), 1u);
    EXPECT_EQ(appended, 0);
}

TEST(SplitCandidates, CutsAreTwoWaySplitsWithoutRepeats) {
    int64_t appended;
    Strip input = strip(600, 40);
    auto candidates = search(input, false, appended);
    EXPECT_EQ(appended, 0);
    ASSERT_GE(candidates.size(), 2u);
    EXPECT_LE(candidates.size(), 6u);  // at most 5 cuts and the k-means split
    for (size_t index = 0; index < candidates.size(); ++index) {
        ASSERT_EQ(candidates[index].size(), 2u);
        EXPECT_EQ(candidates[index][0].pointIds.size() + candidates[index][1].pointIds.size(), 600u);
        for (size_t earlier = 0; earlier < index; ++earlier) {
            EXPECT_NE(candidates[index][0].pointIds, candidates[earlier][0].pointIds);
            EXPECT_NE(candidates[index][1].pointIds, candidates[earlier][0].pointIds);
        }
    }
    EXPECT_EQ(candidates, search(input, false, appended));
}

TEST(SplitCandidates, BalancedCutsAreCountedAndBounded) {
    int64_t appended;
    Strip input = strip(600, 40);
    auto plain = search(input, false, appended);
    std::vector<int64_t> visible(40);
    for (size_t index = 0; index < visible.size(); ++index) visible[index] = int64_t(index * index);
    auto balanced = search(input, true, appended, visible);
    EXPECT_GE(appended, 1);
    EXPECT_LE(appended, 12);
    EXPECT_LE(balanced.size(), plain.size() + size_t(appended));
    // The memory-driven cuts come first and are unchanged.
    for (size_t index = 0; index + 1 < plain.size(); ++index) EXPECT_EQ(balanced[index], plain[index]);
    EXPECT_EQ(balanced.back(), plain.back());  // the k-means split stays last
}

TEST(SplitCandidates, TheKMeansSplitIsDroppedWhenACutRepeatsIt) {
    // Two far blobs: the principal cut and k-means agree on the halves.
    std::vector<GroundPoint> points;
    for (uint64_t id = 0; id < 40; ++id) points.push_back({id, (id < 20 ? 0.0 : 1000.0) + double(id % 5), double(id % 3)});
    std::vector<Point2D> cameras{{0, 0}, {2, 1}, {1000, 0}, {1002, 1}};
    auto candidates = detail::splitCandidates({.corePoints = points,
                                               .cameraPositions = cameras,
                                               .gaussiansPerPoint = 10.0,
                                               .imageWidth = 640,
                                               .imageHeight = 480,
                                               .budgetGB = 8.0,
                                               .seed = 1});
    auto kMeans = detail::kMeansXZ(points, 2, 1, 50);
    for (const auto& candidate : candidates) EXPECT_NE(candidate, kMeans);
}

TEST(SplitCandidates, UnusableOptionsAreRefusedWithTheFieldsName) {
    const Strip input = strip(200, 4);
    const detail::SplitOptions usable{.corePoints = input.points,
                                      .cameraPositions = input.cameras,
                                      .gaussiansPerPoint = 200.0,
                                      .imageWidth = 1600,
                                      .imageHeight = 1200,
                                      .budgetGB = 2.0};
    auto with = [&](auto change) {
        detail::SplitOptions options = usable;
        change(options);
        return options;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const std::vector<std::pair<detail::SplitOptions, std::string>> cases = {
        {with([](auto& o) { o.imageWidth = 0; }), "Split option imageWidth must be at least 1 (is 0)"},
        {with([](auto& o) { o.imageHeight = -3; }), "Split option imageHeight must be at least 1 (is -3)"},
        {with([](auto& o) { o.gaussiansPerPoint = -1; }), "Split option gaussiansPerPoint must be a number of at least 0"},
        {with([&](auto& o) { o.gaussiansPerPoint = nan; }),
         "Split option gaussiansPerPoint must be a number of at least 0"},
        {with([](auto& o) { o.budgetGB = 0; }), "Split option budgetGB must be a number above 0"},
        {with([&](auto& o) { o.budgetGB = nan; }), "Split option budgetGB must be a number above 0"},
    };
    for (const auto& [options, message] : cases) {
        bool reported = false;
        try {
            detail::splitCandidates(options, [&](int64_t) { reported = true; });
            ADD_FAILURE() << "no error for " << message;
        } catch (const VastGaussianPartitioner::OptionsError& error) {
            EXPECT_EQ(std::string(error.what()), message);
        }
        EXPECT_FALSE(reported) << message;
    }
    EXPECT_FALSE(detail::splitCandidates(usable).empty());
}
