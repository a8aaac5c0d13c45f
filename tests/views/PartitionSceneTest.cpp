// The partition view's scene without drawing: assignment to centroids,
// flashes when cells appear, labels, the highlight of the trained cell,
// the turn when a plan arrives and where the camera looks from.
#include <gtest/gtest.h>

#include <clocale>

#include "support/DecimalCommaLocale.hpp"
#include "views/PartitionScene.hpp"

namespace tessaron::testing {
namespace {

using partition::PartitionCell;
using partition::PartitionPlan;
using partition::Point2D;
using views::ParsedCloud;
using views::PartitionScene;
using views::Vector3;

std::shared_ptr<const ParsedCloud> cloudOf(const std::vector<Vector3>& positions, double upSign = -1) {
    auto cloud = std::make_shared<ParsedCloud>();
    for (const auto& p : positions) {
        cloud->positions.push_back(p);
        cloud->pointsXZ.push_back({p.x, p.z});
    }
    cloud->bounds = {-2, 2, -2, 2};
    cloud->yLow = -1;
    cloud->yHigh = 1;
    cloud->upSign = upSign;
    return cloud;
}

// Points spread over [-2, 2] x [-2, 2] on a 9 x 9 grid.
std::shared_ptr<const ParsedCloud> gridCloud(double upSign = -1) {
    std::vector<Vector3> positions;
    for (int i = -4; i <= 4; ++i)
        for (int j = -4; j <= 4; ++j) positions.push_back({i * 0.5, 0, j * 0.5});
    return cloudOf(positions, upSign);
}

PartitionScene makeScene() {
    return PartitionScene([](const std::vector<std::string>&) { return 2.0; });
}

PartitionScene::Inputs live(std::vector<Point2D> centroids) {
    PartitionScene::Inputs inputs;
    inputs.progressCentroids = std::move(centroids);
    return inputs;
}

PartitionCell cell(const std::string& id, int64_t images, partition::CellBounds bounds = {}) {
    PartitionCell c;
    c.id = id;
    c.imageCount = images;
    c.expandedBounds = bounds;
    c.recommendedCapMax = 1'234'567;
    c.recommendedIterations = 30'999;
    c.estimatedMemoryGB = 3.26;
    return c;
}

std::shared_ptr<const PartitionPlan> planOf(std::vector<PartitionCell> cells,
                                            std::optional<std::vector<Point2D>> centroids = std::nullopt) {
    auto plan = std::make_shared<PartitionPlan>();
    plan->cells = std::move(cells);
    plan->clusterCentroids = std::move(centroids);
    plan->sceneBounds = {-1, 1, -1, 1};
    plan->normalization = {0, 0, 0, 2};
    return plan;
}

TEST(PartitionSceneTest, EqualDistancesGoToTheLowerCentroid) {
    const auto cloud = cloudOf({{0, 5, 0}, {0.9, 0, 0}, {-0.9, 0, 0}, {0, 0, std::nan("")}});
    const auto buckets = PartitionScene::assignPoints(*cloud, {{1, 0}, {-1, 0}, {0, 1}});
    ASSERT_EQ(buckets.size(), 3u);
    // (0, 0) lies at distance 1 from all three: index 0 wins; NaN never beats.
    ASSERT_EQ(buckets[0].size(), 3u);
    EXPECT_EQ(buckets[0][0], (Vector3{0, 5, 0}));
    EXPECT_EQ(buckets[0][1], (Vector3{0.9, 0, 0}));
    EXPECT_TRUE(std::isnan(buckets[0][2].z));
    ASSERT_EQ(buckets[1].size(), 1u);
    EXPECT_TRUE(buckets[2].empty());
}

TEST(PartitionSceneTest, WithoutCentroidsTheWholeCloudIsOneGreyNodeWithoutLabels) {
    auto scene = makeScene();
    ASSERT_TRUE(scene.installCloud(gridCloud(), 0));
    EXPECT_FALSE(scene.installCloud(gridCloud(), 0));
    ASSERT_NE(scene.unassignedPoints(), nullptr);
    EXPECT_EQ(scene.unassignedPoints()->positions.size(), 81u);
    EXPECT_EQ(scene.unassignedPoints()->color, PartitionScene::unassignedColor);
    EXPECT_TRUE(scene.cellNodes().empty());
    EXPECT_TRUE(scene.labelNodes().empty());
    EXPECT_EQ(scene.lastSignature(), "live|");
}

TEST(PartitionSceneTest, GrowingFromThreeToFourCentroidsFlashesOnlyTheFourth) {
    auto scene = makeScene();
    scene.setInitialInputs(live({{-1, -1}, {1, -1}, {-1, 1}}));
    scene.installCloud(gridCloud(), 0);
    ASSERT_EQ(scene.cellNodes().size(), 3u);
    EXPECT_EQ(scene.lastSignature(), "live|-1.0000,-1.0000;1.0000,-1.0000;-1.0000,1.0000");
    for (const auto& node : scene.cellNodes()) EXPECT_FALSE(node.flashStart);

    scene.update(live({{-1, -1}, {1, -1}, {-1, 1}, {1, 1}}), 5);
    ASSERT_EQ(scene.cellNodes().size(), 4u);
    for (int index = 0; index < 3; ++index) EXPECT_FALSE(scene.cellNodes()[index].flashStart) << index;
    EXPECT_EQ(scene.cellNodes()[3].flashStart, 5.0);
    EXPECT_EQ(scene.cellNodes()[3].name, "cell_3");
    EXPECT_EQ(scene.contentBumpStart(), 5.0);
    // The cell swells to 1.04 and the content to 1.01, then both settle.
    EXPECT_NEAR(scene.cellScaleAt(3, 5.12), 1.04, 1e-9);
    EXPECT_NEAR(scene.contentScaleAt(5.15), 1.01, 1e-9);
    EXPECT_EQ(scene.cellScaleAt(3, 6), 1.0);
    EXPECT_EQ(scene.cellScaleAt(0, 5.12), 1.0);
    // The additive copy shows for 0.6 s.
    auto additive = [&](double now) {
        const auto frame = scene.frameAt(now);
        return std::count_if(frame.points.begin(), frame.points.end(), [](const auto& layer) { return layer.additive; });
    };
    EXPECT_EQ(additive(5.3), 1);
    EXPECT_EQ(additive(5.7), 0);
}

struct GrowthCase {
    std::vector<Point2D> before;
    std::vector<Point2D> after;
    std::vector<bool> flashed;
    bool bumped;
};

class CentroidGrowth : public ::testing::TestWithParam<GrowthCase> {};

TEST_P(CentroidGrowth, FlashesExactlyTheNewCentroids) {
    auto scene = makeScene();
    scene.setInitialInputs(live(GetParam().before));
    scene.installCloud(gridCloud(), 0);
    scene.update(live(GetParam().after), 1);
    ASSERT_EQ(scene.cellNodes().size(), GetParam().flashed.size());
    for (std::size_t index = 0; index < GetParam().flashed.size(); ++index)
        EXPECT_EQ(scene.cellNodes()[index].flashStart.has_value(), GetParam().flashed[index]) << index;
    EXPECT_EQ(scene.contentBumpStart().has_value(), GetParam().bumped);
}

INSTANTIATE_TEST_SUITE_P(
    Changes, CentroidGrowth,
    ::testing::Values(
        // From nothing: no flash.
        GrowthCase{{}, {{0, 0}, {1, 1}, {-1, -1}, {1, -1}}, {false, false, false, false}, false},
        // Shrinking: no flash.
        GrowthCase{{{0, 0}, {1, 1}, {-1, -1}}, {{0, 0}, {1, 1}}, {false, false}, false},
        // Growing while all moved: all flash.
        GrowthCase{{{0, 0}, {1, 1}}, {{0.1, 0}, {1.1, 1}, {-1, -1}}, {true, true, true}, true},
        // A move within 1e-6 is no move.
        GrowthCase{{{0, 0}, {1, 1}}, {{5e-7, 0}, {1, 1}, {-1, -1}}, {false, false, true}, true}));

TEST(PartitionSceneTest, ThePlansCentroidsAreItsClusterCentroidsOrItsCellCentresInWorldUnits) {
    auto plan = std::make_shared<PartitionPlan>(*planOf({cell("cell_0", 10, {0, 0.5, -0.5, 0.5}), cell("cell_1", 10, {-1, 0, 0, 1})}));
    plan->normalization = {10, 0, -4, 2};
    EXPECT_EQ(PartitionScene::planCentroids(*plan),
              (std::vector<PartitionScene::Centroid>{{10.5, -4}, {9, -3}}));
    plan->clusterCentroids = std::vector<Point2D>{{0.5, 0.5}};
    EXPECT_EQ(PartitionScene::planCentroids(*plan), (std::vector<PartitionScene::Centroid>{{11, -3}}));
    plan->clusterCentroids = std::vector<Point2D>{};
    EXPECT_EQ(PartitionScene::planCentroids(*plan).size(), 2u);
}

TEST(PartitionSceneTest, LabelsShowCapIterationsAndMemoryForTheCellsThatHaveACentroid) {
    TempDir folder("label-locale");
    const bool comma = useDecimalCommaLocale(folder);
    auto scene = makeScene();
    PartitionScene::Inputs inputs;
    inputs.plan = planOf({cell("a", 10), cell("b", 10), cell("c", 10)}, std::vector<Point2D>{{-0.5, 0}, {0.5, 0}});
    scene.setInitialInputs(inputs);
    scene.installCloud(gridCloud(), 0);
    std::setlocale(LC_NUMERIC, "C");
    if (!comma) GTEST_LOG_(INFO) << "no decimal-comma locale: the label is checked in the C locale only";

    ASSERT_EQ(scene.labelNodes().size(), 2u);
    EXPECT_EQ(scene.labelNodes()[0].lines, (std::vector<std::string>{"cap 1234K", "30K it · 3.3 GB"}));
    EXPECT_EQ(scene.labelNodes()[1].color, PartitionScene::cellPalette()[1]);
    EXPECT_EQ(scene.lastSignature(), "plan|-1.0000,0.0000;1.0000,0.0000");
    // Size 4 (the plan's bounds times radius 2): cap 0.24, min(0.38 * 4 / 2, 0.24).
    EXPECT_NEAR(scene.labelNodes()[0].height, 0.24, 1e-12);
    // Beyond the cloud on the camera's side: up sign -1, so below yLow.
    EXPECT_NEAR(scene.labelNodes()[0].position.y, -1.24, 1e-12);
    EXPECT_EQ(scene.labelNodes()[0].position.x, -1);
}

TEST(PartitionSceneTest, TheTrainedCellIsTheKthTrainableCellInPlanOrder) {
    // Cell b is skipped (too few images); d and e are sub-cells appended
    // after an out-of-memory retry.
    const auto plan = planOf({cell("a", 20), cell("b", 3), cell("c", 20), cell("d", 9), cell("e", 8)});
    EXPECT_EQ(PartitionScene::trainingHighlight(plan.get(), 0), 0);
    EXPECT_EQ(PartitionScene::trainingHighlight(plan.get(), 1), 2);
    EXPECT_EQ(PartitionScene::trainingHighlight(plan.get(), 2), 3);
    EXPECT_EQ(PartitionScene::trainingHighlight(plan.get(), 3), 4);
    EXPECT_EQ(PartitionScene::trainingHighlight(plan.get(), 4), std::nullopt);
    EXPECT_EQ(PartitionScene::trainingHighlight(plan.get(), -1), std::nullopt);
    EXPECT_EQ(PartitionScene::trainingHighlight(plan.get(), std::nullopt), std::nullopt);
    EXPECT_EQ(PartitionScene::trainingHighlight(nullptr, 0), std::nullopt);
    // A rig of 2 views needs 16 images per trained cell.
    auto rig = std::make_shared<PartitionPlan>(*plan);
    rig->viewsPerFrame = 2;
    EXPECT_EQ(PartitionScene::trainingHighlight(rig.get(), 1), 2);
    EXPECT_EQ(PartitionScene::trainingHighlight(rig.get(), 2), std::nullopt);
    // One cell: nothing to pick out.
    EXPECT_EQ(PartitionScene::trainingHighlight(planOf({cell("a", 20)}).get(), 0), std::nullopt);
}

TEST(PartitionSceneTest, TheHighlightedCellPulsesAndTheOthersAreDimmed) {
    auto scene = makeScene();
    PartitionScene::Inputs inputs;
    inputs.plan = planOf({cell("a", 10), cell("b", 10), cell("c", 10)},
                         std::vector<Point2D>{{-0.5, 0}, {0.5, 0}, {0, 0.5}});
    scene.setInitialInputs(inputs);
    scene.installCloud(gridCloud(), 0);
    const int rebuilds = scene.rebuildCount();

    inputs.highlightedCellIndex = 1;
    scene.update(inputs, 10);
    EXPECT_EQ(scene.rebuildCount(), rebuilds) << "a highlight alone rebuilds nothing";
    EXPECT_EQ(scene.cellOpacityAt(0, 10), PartitionScene::dimmedOpacity);
    EXPECT_EQ(scene.cellOpacityAt(2, 10), PartitionScene::dimmedOpacity);
    EXPECT_EQ(scene.cellOpacityAt(1, 10), 1.0);
    EXPECT_NEAR(scene.cellOpacityAt(1, 10.9), 0.7, 1e-9);
    EXPECT_NEAR(scene.cellOpacityAt(1, 11.8), 1.0, 1e-9);
    EXPECT_EQ(scene.labelNodes()[1].opacity, 1.0);
    EXPECT_EQ(scene.labelNodes()[0].opacity, PartitionScene::dimmedOpacity);
    EXPECT_TRUE(scene.isAnimating(100));

    // The same inputs again: the running pulse goes on undisturbed.
    scene.update(inputs, 10.45);
    EXPECT_EQ(scene.cellNodes()[1].pulseStart, 10.0);

    // An index that matches no cell dims every cell and pulses none.
    inputs.highlightedCellIndex = 7;
    scene.update(inputs, 12);
    for (std::size_t index = 0; index < 3; ++index) {
        EXPECT_EQ(scene.cellOpacityAt(index, 12.5), PartitionScene::dimmedOpacity);
        EXPECT_EQ(scene.labelNodes()[index].opacity, PartitionScene::dimmedOpacity);
    }

    inputs.highlightedCellIndex.reset();
    scene.update(inputs, 13);
    for (std::size_t index = 0; index < 3; ++index) EXPECT_EQ(scene.cellOpacityAt(index, 13.5), 1.0);
    EXPECT_EQ(scene.rebuildCount(), rebuilds);
}

TEST(PartitionSceneTest, APlanArrivingTurnsTheContentOnceAndAgainAfterItWasRemoved) {
    auto scene = makeScene();
    scene.installCloud(gridCloud(), 0);
    PartitionScene::Inputs inputs;
    inputs.plan = planOf({cell("a", 10), cell("b", 10)}, std::vector<Point2D>{{-0.5, 0}, {0.5, 0}});
    scene.update(inputs, 2);
    EXPECT_TRUE(scene.hasSpunForPlan());
    EXPECT_EQ(scene.spinStart(), 2.0);
    EXPECT_NEAR(scene.contentTurnAt(2.6), M_PI, 1e-9);
    EXPECT_EQ(scene.contentTurnAt(3.3), 0);
    EXPECT_TRUE(scene.camera().isMoving(2.5));

    scene.update(inputs, 4);
    EXPECT_EQ(scene.spinStart(), 2.0);

    scene.update({}, 5);
    EXPECT_FALSE(scene.hasSpunForPlan());
    scene.update(inputs, 6);
    EXPECT_EQ(scene.spinStart(), 6.0);
}

TEST(PartitionSceneTest, AViewMadeWithAPlanAlreadyPresentDoesNotTurn) {
    auto scene = makeScene();
    PartitionScene::Inputs inputs;
    inputs.plan = planOf({cell("a", 10), cell("b", 10)}, std::vector<Point2D>{{-0.5, 0}, {0.5, 0}});
    scene.setInitialInputs(inputs);
    scene.installCloud(gridCloud(), 0);
    scene.update(inputs, 1);
    EXPECT_FALSE(scene.spinStart());
    EXPECT_FALSE(scene.camera().isMoving(1.5));
}

TEST(PartitionSceneTest, AnEmptyCloudGetsTheCameraOverTheDefaultFrameAndDrawsNothing) {
    auto scene = makeScene();
    scene.setInitialInputs(live({{0, 0}, {1, 1}}));
    scene.installCloud(std::make_shared<ParsedCloud>(), 0);
    EXPECT_TRUE(scene.frameAt(0).points.empty());
    const auto pose = scene.frameAt(0).camera;
    // Size 2, h = 3, below yLow = -1 (up sign -1).
    EXPECT_EQ(pose.position, (Vector3{0, -4, 0}));
    EXPECT_EQ(pose.zFar, 140);
}

struct MarkerCase {
    double upSign;
    double cameraY;  // yHigh + 1.5 size or yLow - 1.5 size, size 4
    bool plusZAbove;  // whether a marker at +Z shows above the centre
};

class CameraPlacement : public ::testing::TestWithParam<MarkerCase> {};

TEST_P(CameraPlacement, PlusXShowsOnTheRightAndTheUpSignFlipsZ) {
    auto scene = makeScene();
    scene.installCloud(gridCloud(GetParam().upSign), 0);
    const auto pose = scene.frameAt(0).camera;
    EXPECT_EQ(pose.position, (Vector3{0, GetParam().cameraY, 0}));
    const auto right = pose.project({1, 0, 0}, 800, 600);
    ASSERT_TRUE(right);
    EXPECT_GT(right->x, 400);
    EXPECT_NEAR(right->y, 300, 1e-9);
    const auto plusZ = pose.project({0, 0, 1}, 800, 600);
    ASSERT_TRUE(plusZ);
    EXPECT_NEAR(plusZ->x, 400, 1e-9);
    EXPECT_EQ(plusZ->y < 300, GetParam().plusZAbove);
}

INSTANTIATE_TEST_SUITE_P(UpSigns, CameraPlacement,
                         ::testing::Values(MarkerCase{1, 7, false}, MarkerCase{-1, -7, true}));

}  // namespace
}  // namespace tessaron::testing
