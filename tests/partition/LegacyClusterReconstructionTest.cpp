#include <gtest/gtest.h>

#include <cmath>
// GCC 12 warns about std::regex internals (maybe-uninitialized) when the
// sanitizers are on: a known false positive.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <regex>
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif

#include "MergeTestSupport.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "partition/PartitionerDetail.hpp"
#include "support/PlannedTown.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::partition;
using tessaron::colmap::COLMAPModel;
using tessaron::colmap::COLMAPUtils;
using tessaron::colmap::ImageModel;
using tessaron::testing::LogLines;
using tessaron::testing::TempDir;
namespace support = tessaron::testing;

namespace {

using Cluster = detail::Cluster;

// A plan of an older format: the seed and the cells' bounds, no ids.
PartitionPlan withoutStoredIds(PartitionPlan plan) {
    for (auto& cell : plan.cells) {
        cell.cameraIds.reset();
        cell.expandedPointIds.reset();
    }
    return plan;
}

// The planned town with its plan in the older format.
struct LegacyTown : support::PlannedTown {
    LegacyTown() : PlannedTown(240, 20000) { plan = withoutStoredIds(plan); }
};

ImageModel observing(std::vector<uint64_t> ids) {
    ImageModel image;
    for (uint64_t id : ids) image.points2D.push_back({1, 2, id});
    return image;
}

}  // namespace

TEST(LegacyClusterReconstruction, RebuildsTheSameClustersFromTheSeedOnEveryRun) {
    LegacyTown town;
    auto trainable = town.plan.trainableCells();
    ASSERT_GE(trainable.size(), 2u);

    std::vector<std::string> firstBytes;
    LogLines firstLog;
    auto first = VastGaussianPartitioner::executePartition(town.plan, town.dir / "sparse/0", town.dir / "one",
                                                           std::nullopt, firstLog.sink());
    auto second = VastGaussianPartitioner::executePartition(town.plan, town.dir / "sparse/0", town.dir / "two");
    ASSERT_EQ(first.size(), trainable.size());
    ASSERT_EQ(second.size(), trainable.size());
    for (size_t index = 0; index < first.size(); ++index)
        for (const char* file : {"cameras.bin", "images.bin", "points3D.bin"})
            EXPECT_EQ(support::fileBytes(first[index].url / file), support::fileBytes(second[index].url / file));

    // The clusters are those of the seeded k-means over the core points.
    auto filtered = detail::filterSfMPoints(town.model.points3D);
    std::vector<GroundPoint> records;
    std::vector<double> xs, zs;
    for (const auto& [id, point] : filtered) {
        records.push_back({id, point.x, point.z});
        xs.push_back(point.x);
        zs.push_back(point.z);
    }
    auto rangeX = detail::robustRange(xs), rangeZ = detail::robustRange(zs);
    std::vector<GroundPoint> core;
    for (const auto& record : records)
        if (record.x >= rangeX.low && record.x <= rangeX.high && record.z >= rangeZ.low && record.z <= rangeZ.high)
            core.push_back(record);
    auto clusters = detail::kMeansXZ(core, int64_t(trainable.size()), 0, 50);

    EXPECT_EQ(firstLog.lines[3], "Legacy plan: reconstructing clusters from seed 0");
    EXPECT_EQ(firstLog.lines[4], "Reconstructed " + std::to_string(clusters.size()) + " clusters from seed 0");
    std::set<int32_t> everyImage;
    for (size_t k = 0; k < trainable.size(); ++k) {
        auto expanded = detail::expandedPointSet(k, records, clusters, 0.2);
        COLMAPModel cell = COLMAPUtils::readModel(first[k].url);
        for (uint64_t id : expanded) EXPECT_TRUE(cell.points3D.contains(id));
        std::regex line(trainable[k].id + ": (\\d+) images, (\\d+) pts \\(cluster " + std::to_string(k) + "\\)");
        std::smatch match;
        ASSERT_TRUE(std::regex_match(firstLog.lines[5 + k], match, line)) << firstLog.lines[5 + k];
        EXPECT_EQ(std::stoull(match[2]), expanded.size());
        EXPECT_LE(std::stoull(match[1]), cell.images.size());
        for (const auto& [id, image] : cell.images) everyImage.insert(id);
        EXPECT_EQ(first[k].coreBounds, trainable[k].coreBounds);
    }
    // The orphan sweep leaves no photo out.
    EXPECT_EQ(everyImage.size(), town.model.images.size());
}

TEST(LegacyClusterReconstruction, APlanWithoutTrainableCellsWritesNothing) {
    LegacyTown town;
    PartitionPlan plan = town.plan;
    plan.clusterSeed = 7;
    for (auto& cell : plan.cells) cell.imageCount = 3;
    LogLines log;
    std::vector<std::pair<int64_t, int64_t>> progress;
    auto written = VastGaussianPartitioner::executePartition(
        plan, town.dir / "sparse/0", town.dir / "partitions", std::nullopt, log.sink(),
        [&](int64_t done, int64_t total) { progress.emplace_back(done, total); });
    EXPECT_TRUE(written.empty());
    EXPECT_EQ(progress, (std::vector<std::pair<int64_t, int64_t>>{{0, 0}}));
    EXPECT_FALSE(std::filesystem::exists(town.dir / "partitions"));
    ASSERT_EQ(log.lines.size(), 4 + plan.cells.size());
    EXPECT_EQ(log.lines[3], "Legacy plan: reconstructing clusters from seed 7");
    EXPECT_EQ(log.lines[4], plan.cells[0].id + ": 3 images → skipped (need ≥8)");
}

TEST(LegacyClusterReconstruction, CellsWithoutAClusterAreWrittenEmpty) {
    // Every point at one spot: k-means finds one cluster for two cells.
    TempDir dir;
    COLMAPModel model;
    model.cameras[1] = {1, 1, 640, 480, {500, 500, 320, 240}};
    for (uint64_t id = 1; id <= 12; ++id) {
        model.points3D[id].point3D_id = id;
        model.points3D[id].x = 1;
        model.points3D[id].z = 2;
        model.points3D[id].error = 0.5;
    }
    for (int32_t id = 1; id <= 3; ++id) {
        ImageModel image = observing({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
        image.imageId = id;
        image.cameraId = 1;
        image.tz = 5.0 + id;
        model.images[id] = image;
    }
    COLMAPUtils::writeModel(model, dir / "sparse/0");
    PartitionPlan plan;
    plan.clusterSeed = 0;
    for (const char* id : {"cell_0", "cell_1"}) {
        PartitionCell cell;
        cell.id = id;
        cell.imageCount = 8;
        plan.cells.push_back(cell);
    }
    LogLines log;
    auto written = VastGaussianPartitioner::executePartition(plan, dir / "sparse/0", dir / "partitions",
                                                             std::nullopt, log.sink());
    ASSERT_EQ(written.size(), 2u);
    EXPECT_TRUE(log.contains("Reconstructed 1 clusters from seed 0"));
    EXPECT_EQ(COLMAPUtils::readModel(written[0].url).images.size(), 3u);
    COLMAPModel empty = COLMAPUtils::readModel(written[1].url);
    EXPECT_TRUE(empty.images.empty());
    EXPECT_TRUE(empty.points3D.empty());
    EXPECT_EQ(empty.cameras, model.cameras);
    EXPECT_TRUE(log.contains("cell_1: 0 images, 0 points → writing COLMAP data"));
}

TEST(LegacyClusterReconstruction, ExpandedSetsReachIntoANeighbourOnlyWithinTheMargin) {
    // Two clusters of radius 1 centred at x = 0 and x = 2.
    std::vector<Cluster> clusters = {{0, 0, {}, 1}, {2, 0, {}, 1}};
    std::vector<GroundPoint> records = {{1, 0.5, 0}, {2, 1.15, 0}, {3, 1.25, 0}, {4, 0, 1.2}, {5, 0, 1.21}};
    auto set = detail::expandedPointSet(0, records, clusters, 0.2);
    // x = 1.15 is nearer cluster 1 and 0.3 farther from cluster 0 than from it, more than 0.2 × radius;
    // x = 1.25 and z = 1.21 lie beyond 1.2 × radius; z = 1.2 is on that limit.
    EXPECT_EQ(set, (PointIdSet{1, 4}));
    // 0.1 farther from cluster 0 than from cluster 1: within the margin.
    std::vector<GroundPoint> near = {{6, 1.05, 0}};
    EXPECT_EQ(detail::expandedPointSet(0, near, clusters, 0.2), (PointIdSet{6}));
}

TEST(LegacyClusterReconstruction, OverlapCountsValidObservationsInTheSet) {
    std::vector<uint64_t> ids;
    for (uint64_t id = 1; id <= 300; ++id) ids.push_back(id);
    ids.push_back(ImageModel::kNoPoint3D);
    PointIdSet cluster;
    for (uint64_t id = 1; id <= 12; ++id) cluster.insert(id);
    auto overlap = detail::clusterOverlap(observing(ids), cluster);
    EXPECT_EQ(overlap.n, 12);
    EXPECT_DOUBLE_EQ(overlap.f, 0.04);
    auto none = detail::clusterOverlap(observing({ImageModel::kNoPoint3D}), cluster);
    EXPECT_EQ(none.n, 0);
    EXPECT_EQ(none.f, 0);
}

TEST(LegacyClusterReconstruction, DistanceRatioNeedsTenKnownPointsAndOneInTheSet) {
    tessaron::colmap::Point3DMap points;
    for (uint64_t id = 1; id <= 10; ++id) points[id].x = id <= 5 ? 1.0 : 3.0;  // five at distance 1, five at 3
    PointIdSet nearOnes = {1, 2, 3, 4, 5};
    Vec3 centre{0, 0, 0};
    auto ratio = detail::distanceRatio(centre, observing({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}),
                                       nearOnes, points);
    ASSERT_TRUE(ratio);
    EXPECT_DOUBLE_EQ(*ratio, 0.5);
    EXPECT_FALSE(detail::distanceRatio(centre, observing({1, 2, 3, 4, 5, 6, 7, 8, 9, 99}),
                                       nearOnes, points));
    EXPECT_FALSE(detail::distanceRatio(centre, observing({6, 7, 8, 9, 10, 6, 7, 8, 9, 10}),
                                       nearOnes, points));
    tessaron::colmap::Point3DMap atCentre;
    for (uint64_t id = 1; id <= 10; ++id) atCentre[id].x = 0.0005;
    EXPECT_FALSE(detail::distanceRatio(centre, observing({1, 2, 3, 4, 5, 6, 7, 8, 9, 10}),
                                       nearOnes, atCentre));
}
