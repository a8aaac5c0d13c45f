#include <gtest/gtest.h>

#include "partition/LayoutEvaluator.hpp"
#include "partition/MemoryModel.hpp"
#include "partition/PartitionerDetail.hpp"
#include "generators/SyntheticModel.hpp"

using namespace tessaron;
using namespace tessaron::partition;
using Cluster = detail::Cluster;

namespace {

void expectSameEvaluation(const detail::LayoutEval& actual,
         const detail::LayoutEval& expected) {
    EXPECT_EQ(actual.expandedSets, expected.expandedSets);
    EXPECT_EQ(actual.cellCameraIds, expected.cellCameraIds);
    EXPECT_EQ(actual.dropped, expected.dropped);
    EXPECT_EQ(actual.prodImageCounts, expected.prodImageCounts);
    EXPECT_EQ(actual.targetMems, expected.targetMems);  // bit for bit
    EXPECT_EQ(actual.totalDemand, expected.totalDemand);
    EXPECT_EQ(actual.worstMem, expected.worstMem);
    EXPECT_EQ(actual.allFeasible, expected.allFeasible);
}

struct Scene {
    colmap::COLMAPModel model;
    CameraCentreMap centres;
    std::vector<GroundPoint> records;
};

Scene makeScene(tessaron::generators::SyntheticModelOptions::Layout layout, uint64_t seed) {
    tessaron::generators::SyntheticModelOptions options;
    options.layout = layout;
    options.imageCount = 120;
    options.pointCount = 6000;
    options.seed = seed;
    Scene scene{tessaron::generators::makeSyntheticModel(options), {}, {}};
    for (const auto& [id, image] : scene.model.images)
        if (id % 17 != 0) scene.centres[id] = detail::cameraCentre(image);  // some without a centre
    for (const auto& [id, point] : scene.model.points3D) scene.records.push_back({id, point.x, point.z});
    return scene;
}

class LayoutEvaluation : public ::testing::TestWithParam<std::tuple<tessaron::generators::SyntheticModelOptions::Layout, int>> {};

}  // namespace

// Each cell replaced by its two-way split, evaluated from a prepared base,
// equals the evaluation of the whole new layout.
TEST_P(LayoutEvaluation, SplitCandidatesFromAPreparedBaseMatchTheWholeLayout) {
    auto [layoutKind, cellCount] = GetParam();
    Scene scene = makeScene(layoutKind, 5);
    auto index = planner::SceneIndex::build(scene.model.images, scene.model.points3D, scene.centres);
    auto dense = detail::kMeansXZ(index.records, cellCount, 2, 50);
    planner::LayoutEvaluator evaluator(index, MemoryModel(640, 480), 1.5, 20.0);
    for (size_t worst = 0; worst < dense.size(); ++worst) {
        std::vector<planner::CellShape> baseShapes;
        for (size_t i = 0; i < dense.size(); ++i)
            if (i != worst) baseShapes.push_back(planner::shapeOf(index, dense[i]));
        auto base = evaluator.prepare(baseShapes);
        std::vector<GroundPoint> members;
        for (uint64_t id : dense[worst].pointIds) members.push_back(index.records[id]);
        auto halves = detail::kMeansXZ(members, 2, 9, 50);
        std::vector<planner::CellShape> added;
        for (const auto& half : halves) added.push_back(planner::shapeOf(index, half));
        auto incremental = evaluator.evaluate(base, added, true);

        // The same layout with real point ids, evaluated whole.
        std::vector<Cluster> layout;
        for (size_t i = 0; i < dense.size(); ++i)
            if (i != worst) layout.push_back(dense[i]);
        layout.insert(layout.end(), halves.begin(), halves.end());
        for (auto& cluster : layout)
            for (auto& id : cluster.pointIds) id = index.pointIds[id];
        auto expected = detail::evaluateLayout(1.5, 20.0, layout, scene.model.images,
                                               scene.model.points3D, scene.centres, 640, 480);
        detail::LayoutEval actual;
        for (const auto& set : incremental.expandedSets) {
            std::vector<uint64_t> ids;
            for (uint32_t point : set) ids.push_back(index.pointIds[point]);
            actual.expandedSets.push_back(ids);
        }
        for (const auto& set : incremental.cameraSets) {
            std::vector<int32_t> ids;
            for (uint32_t image : set) ids.push_back(index.imageIds[image]);
            actual.cellCameraIds.push_back(ids);
        }
        actual.dropped = incremental.dropped;
        actual.prodImageCounts = incremental.cameraCounts;
        actual.targetMems = incremental.targetMems;
        actual.totalDemand = incremental.totalDemand;
        actual.worstMem = incremental.worstMem;
        actual.allFeasible = incremental.allFeasible;
        expectSameEvaluation(actual, expected);
        auto withoutSets = evaluator.evaluate(base, added, false);
        EXPECT_EQ(withoutSets.cameraSets, incremental.cameraSets);
        EXPECT_EQ(withoutSets.expandedCounts, incremental.expandedCounts);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LayoutEvaluation,
    ::testing::Combine(::testing::Values(tessaron::generators::SyntheticModelOptions::Layout::streets,
                                         tessaron::generators::SyntheticModelOptions::Layout::grid),
                       ::testing::Values(1, 2, 5, 9)));

TEST(LayoutEvaluation, EmptyLayoutIsFeasibleAndDropsEveryCamera) {
    Scene scene = makeScene(tessaron::generators::SyntheticModelOptions::Layout::grid, 1);
    auto eval = detail::evaluateLayout(1.0, 1.0, {}, scene.model.images, scene.model.points3D,
                                       scene.centres, 640, 480);
    EXPECT_TRUE(eval.allFeasible);
    EXPECT_EQ(eval.worstMem, 0.0);
    EXPECT_EQ(eval.dropped, int64_t(scene.centres.size()));
    EXPECT_TRUE(eval.targetMems.empty());
}
