#include <gtest/gtest.h>

#include <set>

#include "partition/PlannerMath.hpp"
#include "partition/PartitionerDetail.hpp"

using namespace tessaron::partition;
using Cluster = detail::Cluster;

namespace {

std::vector<GroundPoint> scatter(size_t count, uint64_t seed) {
    planner::SeededGenerator generator(seed);
    std::vector<GroundPoint> points;
    for (size_t index = 0; index < count; ++index) {
        double blob = double(index % 3) * 10;
        points.push_back({index * 7 + 1, blob + generator.next() * 4, generator.next() * 4 - blob});
    }
    return points;
}

void expectEveryPointOnce(const std::vector<Cluster>& clusters, const std::vector<GroundPoint>& points) {
    std::multiset<uint64_t> ids;
    for (const auto& cluster : clusters) {
        EXPECT_FALSE(cluster.pointIds.empty());
        EXPECT_TRUE(std::is_sorted(cluster.pointIds.begin(), cluster.pointIds.end()));
        ids.insert(cluster.pointIds.begin(), cluster.pointIds.end());
    }
    std::multiset<uint64_t> expected;
    for (const auto& point : points) expected.insert(point.id);
    EXPECT_EQ(ids, expected);
}

}  // namespace

TEST(KMeans, SameInputGivesSameClusters) {
    auto points = scatter(300, 5);
    for (int64_t k : {2, 3, 7}) {
        auto first = detail::kMeansXZ(points, k, 17, 50);
        EXPECT_EQ(first, detail::kMeansXZ(points, k, 17, 50));
        EXPECT_EQ(first.size(), size_t(k));
        expectEveryPointOnce(first, points);
    }
}

TEST(KMeans, FindsSeparatedBlobs) {
    auto points = scatter(300, 9);
    auto clusters = detail::kMeansXZ(points, 3, 0, 50);
    for (const auto& cluster : clusters) EXPECT_EQ(cluster.pointIds.size(), 100u);
}

TEST(KMeans, SmallInputs) {
    EXPECT_TRUE(detail::kMeansXZ({}, 3, 0, 50).empty());
    std::vector<GroundPoint> points{{4, 0, 0}, {2, 2, 0}, {9, 1, 3}};
    auto one = detail::kMeansXZ(points, 1, 0, 50);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].pointIds, (std::vector<uint64_t>{2, 4, 9}));
    EXPECT_EQ(one[0].centroidX, 1.0);
    EXPECT_EQ(one[0].centroidZ, 1.0);
    EXPECT_EQ(one[0].radius, 2.0);
    // k above the point count: one cluster per point.
    auto many = detail::kMeansXZ(points, 10, 0, 50);
    EXPECT_EQ(many.size(), 3u);
    expectEveryPointOnce(many, points);
}

TEST(KMeans, ZeroIterationsLeaveEveryPointInTheFirstCluster) {
    auto points = scatter(30, 2);
    auto clusters = detail::kMeansXZ(points, 3, 4, 0);
    ASSERT_EQ(clusters.size(), 3u);
    EXPECT_EQ(clusters[0].pointIds.size(), 30u);
    EXPECT_TRUE(clusters[1].pointIds.empty());
    EXPECT_EQ(clusters[1].radius, 0.0);
}

TEST(KMeans, CoincidentPointsGiveFewerClustersThatCoverEverything) {
    std::vector<GroundPoint> points{{1, 5, 5}, {2, 5, 5}, {3, 5, 5}, {4, 5, 5}};
    auto clusters = detail::kMeansXZ(points, 2, 0, 50);
    ASSERT_EQ(clusters.size(), 1u);
    expectEveryPointOnce(clusters, points);
    // Two positions: two clusters at most, even when more are asked for.
    points.push_back({5, 6, 5});
    auto two = detail::kMeansXZ(points, 4, 0, 50);
    EXPECT_EQ(two.size(), 2u);
    expectEveryPointOnce(two, points);
}

TEST(BisectLargest, OneClusterNeverDrawsANumber) {
    auto points = scatter(50, 3);
    auto any = detail::bisectLargest(points, 1, 0);
    EXPECT_EQ(any, detail::bisectLargest(points, 1, 123456789));
    ASSERT_EQ(any.size(), 1u);
    EXPECT_EQ(any[0], detail::kMeansXZ(points, 1, 5, 50)[0]);
}

TEST(BisectLargest, SplitsTheLargestUntilTheTarget) {
    auto points = scatter(200, 8);
    auto clusters = detail::bisectLargest(points, 5, 3);
    EXPECT_EQ(clusters.size(), 5u);
    expectEveryPointOnce(clusters, points);
    EXPECT_EQ(clusters, detail::bisectLargest(points, 5, 3));
}

TEST(BisectLargest, StopsWhenNoClusterCanBeSplit) {
    std::vector<GroundPoint> points;
    for (uint64_t id = 0; id < 10; ++id) points.push_back({id, id < 5 ? 0.0 : 9.0, 1.0});
    auto clusters = detail::bisectLargest(points, 6, 0);
    EXPECT_EQ(clusters.size(), 2u);
    expectEveryPointOnce(clusters, points);
    EXPECT_TRUE(detail::bisectLargest({}, 3, 0).empty());
}
