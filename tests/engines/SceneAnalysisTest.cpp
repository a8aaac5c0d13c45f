#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "support/ModelFixtures.hpp"
#include "engines/SceneAnalysis.hpp"
#include "support/TempDir.hpp"

using namespace tessaron::colmap;
using namespace tessaron::engines;
using tessaron::testing::TempDir;

namespace {

// Points at the corners of a 10 x 10 square on X-Z (one per quadrant), and
// images at camera centres given as (x, z) with an identity rotation.
class SceneBuilder {
public:
    uint64_t addPoint(double x, double z) {
        uint64_t id = model.points3D.size() + 100;
        model.points3D[id] = Point3DModel{id, x, 7.0, z, 0, 0, 0, 0.1, {}};
        return id;
    }
    ImageModel& addImage(double centreX, double centreZ, std::vector<uint64_t> observed = {}) {
        int32_t id = int32_t(model.images.size()) + 1;
        ImageModel& image = model.images[id];
        image.imageId = id;
        image.tx = -centreX;
        image.tz = -centreZ;
        for (uint64_t pointId : observed) image.points2D.push_back({1, 2, pointId});
        return image;
    }
    COLMAPModel model;
};

SceneBuilder quadrantScene() {
    SceneBuilder scene;
    scene.addPoint(0, 0);    // row 0, column 0
    scene.addPoint(10, 0);   // row 0, column 1 (maxX falls in the last column)
    scene.addPoint(0, 10);   // row 1, column 0
    scene.addPoint(10, 10);  // row 1, column 1
    return scene;
}

}  // namespace

TEST(SceneAnalysis, OneQuadrantPerImageScoresAQuarterAndAllFourScoreOne) {
    SceneBuilder scene = quadrantScene();
    scene.addImage(0, 0, {100, 100});
    scene.addImage(5, 0, {101});
    scene.addImage(2, 0, {103, ImageModel::kNoPoint3D, 999});
    auto analysis = SceneAnalysis::analyze(scene.model, 2, 2);
    ASSERT_TRUE(analysis);
    EXPECT_DOUBLE_EQ(analysis->imageOverlapScore, 0.25);
    EXPECT_DOUBLE_EQ(analysis->cameraToSceneSpreadRatio, 5.0 / 10.0);

    SceneBuilder all = quadrantScene();
    all.addImage(0, 0, {100, 101, 102, 103});
    all.addImage(1, 1, {103, 102, 101, 100});
    EXPECT_DOUBLE_EQ(SceneAnalysis::analyze(all.model, 2, 2)->imageOverlapScore, 1.0);
}

TEST(SceneAnalysis, ImagesWithoutValidPointsAreLeftOutOfTheMean) {
    SceneBuilder scene = quadrantScene();
    scene.addImage(0, 0, {100, 101});  // half the cells
    scene.addImage(1, 0, {ImageModel::kNoPoint3D, 12345});
    scene.addImage(2, 0);
    EXPECT_DOUBLE_EQ(SceneAnalysis::analyze(scene.model, 2, 2)->imageOverlapScore, 0.5);

    SceneBuilder none = quadrantScene();
    none.addImage(0, 0, {ImageModel::kNoPoint3D});
    EXPECT_DOUBLE_EQ(SceneAnalysis::analyze(none.model, 2, 2)->imageOverlapScore, 1.0);
}

TEST(SceneAnalysis, DegenerateGridsAndExtents) {
    SceneBuilder scene = quadrantScene();
    scene.addImage(3, 4, {100});
    // A single camera spreads 1e-6.
    auto single = SceneAnalysis::analyze(scene.model, 1, 1);
    ASSERT_TRUE(single);
    EXPECT_EQ(single->imageOverlapScore, 0.0);
    EXPECT_DOUBLE_EQ(single->cameraToSceneSpreadRatio, 1e-6 / 10.0);

    SceneBuilder line;
    line.addPoint(2, 0);
    line.addPoint(2, 8);
    line.addImage(0, 0, {100, 101});
    line.addImage(0, 4, {100});
    auto onLine = SceneAnalysis::analyze(line.model, 2, 2);
    ASSERT_TRUE(onLine);
    EXPECT_EQ(onLine->imageOverlapScore, 1.0);
    EXPECT_DOUBLE_EQ(onLine->cameraToSceneSpreadRatio, 4.0 / 8.0);

    SceneBuilder point;
    point.addPoint(1, 1);
    point.addImage(0, 0, {100});
    point.addImage(0, 3, {100});
    EXPECT_DOUBLE_EQ(SceneAnalysis::analyze(point.model, 2, 2)->cameraToSceneSpreadRatio, 3.0 / 1e-6);
}

TEST(SceneAnalysis, NothingForMissingEmptyOrBrokenModels) {
    TempDir folder;
    EXPECT_FALSE(SceneAnalysis::analyze(folder / "missing", 2, 2));

    COLMAPModel pointsOnly = quadrantScene().model;
    EXPECT_FALSE(SceneAnalysis::analyze(pointsOnly, 2, 2));
    SceneBuilder imagesOnly;
    imagesOnly.addImage(0, 0);
    EXPECT_FALSE(SceneAnalysis::analyze(imagesOnly.model, 2, 2));

    COLMAPUtils::writeModel(tessaron::testing::makeModel(4, 10, 2), folder / "model");
    EXPECT_TRUE(SceneAnalysis::analyze(folder / "model", 2, 2));
    std::filesystem::resize_file(folder / "model/points3D.bin", 20);
    EXPECT_FALSE(SceneAnalysis::analyze(folder / "model", 2, 2));
}

TEST(SceneAnalysis, NothingForNonFiniteCoordinatesOrAnOverflowingGrid) {
    SceneBuilder scene = quadrantScene();
    uint64_t broken = scene.addPoint(std::numeric_limits<double>::quiet_NaN(), 5);
    scene.addImage(0, 0, {100});
    EXPECT_TRUE(SceneAnalysis::analyze(scene.model, 2, 2));  // the NaN point is not observed
    scene.addImage(1, 0, {broken});
    EXPECT_FALSE(SceneAnalysis::analyze(scene.model, 2, 2));

    SceneBuilder grid = quadrantScene();
    grid.addImage(0, 0, {100});
    EXPECT_FALSE(SceneAnalysis::analyze(grid.model, int64_t(1) << 40, int64_t(1) << 40));
}
