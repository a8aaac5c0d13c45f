#include <gtest/gtest.h>

#include "partition/PartitionerDetail.hpp"

using namespace tessaron;
using namespace tessaron::partition;
using Cluster = detail::Cluster;

namespace {

colmap::Point3DMap pointsWithErrors(const std::vector<double>& errors) {
    colmap::Point3DMap points;
    for (size_t index = 0; index < errors.size(); ++index) {
        colmap::Point3DModel point;
        point.point3D_id = index + 1;
        point.error = errors[index];
        points[point.point3D_id] = point;
    }
    return points;
}

// An image observing `count` points with ids starting at `firstId`.
colmap::ImageModel imageSeeing(int32_t id, uint64_t firstId, int count) {
    colmap::ImageModel image;
    image.imageId = id;
    for (int index = 0; index < count; ++index) image.points2D.push_back({0, 0, firstId + uint64_t(index)});
    image.points2D.push_back({0, 0, colmap::ImageModel::kNoPoint3D});
    return image;
}

std::vector<uint64_t> idRange(uint64_t first, uint64_t count) {
    std::vector<uint64_t> ids;
    for (uint64_t id = first; id < first + count; ++id) ids.push_back(id);
    return ids;
}

}  // namespace

TEST(SfMFilter, FewerThanTenPointsPassUntouched) {
    auto points = pointsWithErrors({0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 0.1, 50});
    bool logged = false;
    EXPECT_EQ(detail::filterSfMPoints(points, [&](const std::string&) { logged = true; }), points);
    EXPECT_FALSE(logged);
}

TEST(SfMFilter, RemovesPointsAboveMeanPlusTwoSigma) {
    std::vector<double> errors(19, 0.5);
    errors.push_back(20.0);
    std::vector<std::string> lines;
    auto kept = detail::filterSfMPoints(pointsWithErrors(errors),
                                        [&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(kept.size(), 19u);
    EXPECT_FALSE(kept.count(20));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "SfM quality filter: 20 → 19 points (removed 1, 5.0%)");
    EXPECT_EQ(lines[1], "  Reprojection error threshold: 9.975 px (mean=1.475, σ=4.250)");
}

TEST(SfMFilter, APointAtTheThresholdStays) {
    // mean 0.2, sigma 0.4: the threshold is exactly 1.0.
    auto points = pointsWithErrors({0, 0, 0, 0, 0, 0, 0, 0, 1, 1});
    EXPECT_EQ(detail::filterSfMPoints(points).size(), 10u);
}

TEST(RobustRange, SmallListsGiveTheirExtremes) {
    EXPECT_EQ(detail::robustRange({}).low, 0.0);
    auto three = detail::robustRange({5, -2, 100});
    EXPECT_EQ(three.low, -2.0);
    EXPECT_EQ(three.high, 100.0);
}

TEST(RobustRange, LargerListsClipToTheQuartileRange) {
    auto range = detail::robustRange({100, 0, 1, 2, 3, 4, 5, 6});
    EXPECT_EQ(range.low, 0.0);    // max(2 - 6, p2 = 0)
    EXPECT_EQ(range.high, 12.0);  // min(6 + 6, p98 = 100)
}

TEST(ClusterGeometry3D, MissingPointsGiveTheOriginAndATinyRadius) {
    colmap::Point3DMap points;
    points[1] = {1, 1, 2, 3, 0, 0, 0, 0, {}};
    points[2] = {2, 3, 2, 3, 0, 0, 0, 0, {}};
    auto geometry = detail::clusterCentroidsAndRadii3D(
        {Cluster{0, 0, {7, 8}, 0}, Cluster{0, 0, {1, 2, 99}, 0}}, points);
    EXPECT_EQ(geometry.centroids[0], (Vec3{0, 0, 0}));
    EXPECT_EQ(geometry.radii[0], 1e-6);
    EXPECT_EQ(geometry.centroids[1], (Vec3{2, 2, 3}));
    EXPECT_EQ(geometry.radii[1], 1.0);
}

TEST(CameraAssignment, TenObservationsAreNeeded) {
    colmap::ImageMap images{{1, imageSeeing(1, 1, 9)}, {2, imageSeeing(2, 1, 10)}, {3, imageSeeing(3, 1, 40)}};
    CameraCentreMap centres{{1, {0, 0, 0}}, {2, {0, 0, 0}}};  // image 3 has no centre: neither kept nor dropped
    std::vector<Cluster> clusters{Cluster{0, 0, idRange(1, 40), 1}};
    std::vector<std::string> lines;
    auto result = detail::assignCameras(images, centres, clusters, {idRange(1, 40)}, {{0, 0, 0}},
                                        {1.0}, [&](const std::string& line) { lines.push_back(line); });
    EXPECT_EQ(result.cameraSets, (std::vector<std::vector<int32_t>>{{2}}));
    EXPECT_EQ(result.dropped, 1);
    EXPECT_EQ(lines, (std::vector<std::string>{"  Cluster 0: 1 cameras assigned",
                                               "  Dropped 1 camera(s) with < 10 points observed anywhere (SfM failures)"}));
}

TEST(CameraAssignment, ASecondCellNeedsThirtyPercentAndNearness) {
    // 40 observations in cell 0 (ids 1-40); cell 1 holds ids 29-40 (12 of them),
    // cell 2 ids 30-40 (11 of them).
    colmap::ImageMap images{{5, imageSeeing(5, 1, 40)}};
    CameraCentreMap centres{{5, {0, 0, 0}}};
    std::vector<Cluster> clusters(3);
    std::vector<std::vector<uint64_t>> expanded{idRange(1, 40), idRange(29, 12), idRange(30, 11)};
    std::vector<Vec3> centroids{{1, 0, 0}, {2, 0, 0}, {1.5, 0, 0}};
    auto near = detail::assignCameras(images, centres, clusters, expanded, centroids, {1, 5, 5});
    EXPECT_EQ(near.cameraSets, (std::vector<std::vector<int32_t>>{{5}, {5}, {}}));
    // Too far: 2 > 1 + 0.2 x 4.
    auto far = detail::assignCameras(images, centres, clusters, expanded, centroids, {1, 4, 5});
    EXPECT_EQ(far.cameraSets, (std::vector<std::vector<int32_t>>{{5}, {}, {}}));
}

TEST(CameraAssignment, TiesGoToTheLowerCell) {
    colmap::ImageMap images{{1, imageSeeing(1, 1, 20)}};
    CameraCentreMap centres{{1, {0, 0, 0}}};
    std::vector<Cluster> clusters(2);
    auto result = detail::assignCameras(images, centres, clusters, {idRange(11, 10), idRange(1, 10)},
                                        {{0, 0, 0}, {100, 0, 0}}, {1, 1});
    EXPECT_EQ(result.cameraSets, (std::vector<std::vector<int32_t>>{{1}, {}}));
    auto none = detail::assignCameras(images, centres, {}, {}, {}, {});
    EXPECT_EQ(none.dropped, 1);
}
