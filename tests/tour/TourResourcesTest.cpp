// The tour's sample data, made at build time by our own generators, as the
// application finds it: a COLMAP model, a plan of it, and a result that an
// independent reader takes back.
#include <gtest/gtest.h>

#include "SplatFormats/AutodetectSceneReader.hpp"
#include "core/ResourceLocator.hpp"
#include "engines/COLMAPUtils.hpp"
#include "partition/PartitionPlan.hpp"

namespace tessaron::testing {
namespace {

TEST(TourResources, AreInTheResourcesFolderAndDecode) {
    const auto tourData = core::ResourceLocator::resource("TourData");
    ASSERT_TRUE(tourData);
    const auto model = engines::COLMAPUtils::readModel(*tourData / "sparse" / "0");
    EXPECT_EQ(model.images.size(), 60u);
    EXPECT_GT(model.points3D.size(), 1000u);

    const auto plan = partition::PartitionPlan::load(*tourData / "tour_partition_plan.json");
    EXPECT_GE(plan.trainableCells().size(), 2u);
    EXPECT_EQ(plan.totalImages, 60);
    for (const auto& cell : plan.cells) {
        if (!cell.expandedPointIds) continue;
        for (uint64_t point : *cell.expandedPointIds) ASSERT_TRUE(model.points3D.count(point)) << point;
    }

    const auto result = core::ResourceLocator::resource("dummy_tour.ply");
    ASSERT_TRUE(result);
    auto points = splatformats::AutodetectSceneReader(*result).readAll();
    ASSERT_EQ(points.size(), model.points3D.size());
    // One splat per model point, where the point is.
    const auto& first = model.points3D.begin()->second;
    EXPECT_FLOAT_EQ(points.front().position[0], float(first.x));
    EXPECT_FLOAT_EQ(points.front().position[2], float(first.z));
}

}  // namespace
}  // namespace tessaron::testing
