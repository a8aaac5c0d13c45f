// The tour's sample data, made at build time by our own generators, as the
// application finds it: a COLMAP model, a plan of it, and a result that an
// independent reader takes back.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>

#include "SplatFormats/AutodetectSceneReader.hpp"
#include "core/ResourceLocator.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "partition/PartitionPlan.hpp"

namespace tessaron::testing {
namespace {

TEST(TourResources, AreInTheResourcesFolderAndDecode) {
    const auto tourData = core::ResourceLocator::resource("TourData");
    ASSERT_TRUE(tourData);
    const auto model = colmap::COLMAPUtils::readModel(*tourData / "sparse" / "0");
    // The sample's images, as its dataset profile and reconstruction count them.
    EXPECT_EQ(model.images.size(), 100u);
    EXPECT_GT(model.points3D.size(), 1000u);

    // The six cells its training counts through, none skipped.
    const auto plan = partition::PartitionPlan::load(*tourData / "tour_partition_plan.json");
    EXPECT_EQ(plan.trainableCells().size(), 6u);
    EXPECT_EQ(plan.cells.size(), 6u);
    EXPECT_EQ(plan.totalImages, 100);
    for (const auto& cell : plan.cells) {
        if (!cell.expandedPointIds) continue;
        for (uint64_t point : *cell.expandedPointIds) ASSERT_TRUE(model.points3D.count(point)) << point;
    }

    const auto result = core::ResourceLocator::resource("dummy_tour.ply");
    ASSERT_TRUE(result);
    auto points = splatformats::AutodetectSceneReader(*result).readAll();
    ASSERT_EQ(points.size(), model.points3D.size());
    // One splat per model point, the whole model moved and scaled into the
    // viewer's opening view: centred on the origin, its longest side 5 long.
    std::array<double, 3> low{1e300, 1e300, 1e300}, high{-1e300, -1e300, -1e300};
    for (const auto& [id, point] : model.points3D) {
        const std::array<double, 3> position{point.x, point.y, point.z};
        for (size_t axis = 0; axis < 3; ++axis) {
            low[axis] = std::min(low[axis], position[axis]);
            high[axis] = std::max(high[axis], position[axis]);
        }
    }
    double longest = 0;
    for (size_t axis = 0; axis < 3; ++axis) longest = std::max(longest, high[axis] - low[axis]);
    const double scale = 5.0 / longest;
    const auto& first = model.points3D.begin()->second;
    EXPECT_NEAR(points.front().position[0], (first.x - (low[0] + high[0]) / 2) * scale, 1e-4);
    EXPECT_NEAR(points.front().position[2], (first.z - (low[2] + high[2]) / 2) * scale, 1e-4);
    for (const auto& point : points)
        for (size_t axis = 0; axis < 3; ++axis) ASSERT_LE(std::abs(point.position[axis]), 2.5f + 1e-4f);
}

}  // namespace
}  // namespace tessaron::testing
