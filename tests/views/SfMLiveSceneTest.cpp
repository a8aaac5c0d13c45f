// The live SfM cloud without drawing: the doubling id stride, flashes of
// the points a snapshot adds, and the framing camera.
#include <gtest/gtest.h>

#include "views/SfMLiveScene.hpp"

namespace tessaron::testing {
namespace {

using viewmodel::SfMLiveSnapshot;
using views::SfMLiveScene;
using views::Vector3;

// Ids first..last with positions (id, -id, id / 2).
SfMLiveSnapshot snapshot(const std::string& folder, uint64_t first, uint64_t last) {
    SfMLiveSnapshot result;
    result.url = "/snapshots/" + folder;
    for (uint64_t id = first; id <= last; ++id) {
        result.ids.push_back(id);
        result.positions.push_back({float(id), -float(id), float(id) / 2});
    }
    return result;
}

std::size_t flashedPoints(const SfMLiveScene& scene, double now) {
    std::size_t count = 0;
    for (const auto& layer : scene.frameAt(now).points)
        if (layer.additive) count += layer.points->positions.size();
    return count;
}

TEST(SfMLiveSceneTest, TheStrideDoublesUntilAtMost120000PointsAreDrawnAndChoosesByID) {
    SfMLiveScene scene;
    ASSERT_TRUE(scene.update(snapshot("a", 1, 250000), 0));
    EXPECT_EQ(scene.samplingStride(), 4u);
    ASSERT_NE(scene.base(), nullptr);
    EXPECT_EQ(scene.base()->positions.size(), 62500u);
    EXPECT_EQ(scene.base()->positions.front().x, 4);
    EXPECT_EQ(scene.base()->color, SfMLiveScene::liveBaseColor);
    EXPECT_TRUE(scene.seenIDs().contains(250000));
    EXPECT_FALSE(scene.seenIDs().contains(250001));
    // The first snapshot flashes in full.
    EXPECT_EQ(flashedPoints(scene, 0.1), 62500u);

    // A smaller snapshot later keeps the stride.
    ASSERT_TRUE(scene.update(snapshot("b", 1, 1000), 5));
    EXPECT_EQ(scene.samplingStride(), 4u);
    EXPECT_EQ(scene.base()->positions.size(), 250u);
}

TEST(SfMLiveSceneTest, ASnapshotWithNewIDsFlashesOnlyThoseAndTheFlashFades) {
    SfMLiveScene scene;
    scene.update(snapshot("a", 1, 100), 0);
    scene.update(snapshot("b", 1, 130), 2);
    EXPECT_EQ(scene.base()->positions.size(), 130u);
    EXPECT_EQ(flashedPoints(scene, 2.1), 30u);
    const auto frame = scene.frameAt(2.1);
    ASSERT_EQ(frame.points.size(), 2u);
    EXPECT_EQ(frame.points[1].points->color, SfMLiveScene::liveNewPointColor);
    EXPECT_EQ(frame.points[1].points->positions.front(), (Vector3{101, -101, 50.5}));
    EXPECT_GT(frame.points[1].opacity, 0.5);
    EXPECT_EQ(flashedPoints(scene, 3.3), 0u);
    EXPECT_FALSE(scene.isAnimating(3.3));
}

TEST(SfMLiveSceneTest, TheSameFolderTwiceIsIgnoredAndAnEmptySnapshotKeepsTheCloud) {
    SfMLiveScene scene;
    scene.update(snapshot("a", 1, 100), 0);
    const auto base = scene.base();
    EXPECT_FALSE(scene.update(snapshot("a", 1, 500), 1));
    EXPECT_EQ(scene.base(), base);

    EXPECT_TRUE(scene.update(snapshot("empty", 1, 0), 2));
    EXPECT_EQ(scene.base(), base);
    EXPECT_TRUE(scene.seenIDs().empty());
    EXPECT_EQ(scene.loadedURL(), std::filesystem::path("/snapshots/empty"));
    // Nothing was seen any more, so everything flashes again.
    scene.update(snapshot("c", 1, 100), 3);
    EXPECT_EQ(flashedPoints(scene, 3.1), 100u);
}

TEST(SfMLiveSceneTest, TheCameraGlidesBelowTheBulkOfTheCloudLookingUp) {
    SfMLiveScene scene;
    std::vector<Vector3> positions;
    for (int i = 0; i < 1000; ++i) positions.push_back({double(i % 10), double(i % 7), double(i % 5) * 2});
    positions.push_back({1e6, -1e6, 1e6});  // a stray point is beyond the 98th percentile
    scene.frameCamera(positions, 0);
    EXPECT_FALSE(scene.camera().isMoving(0)) << "the first framing is at once";
    scene.frameCamera(positions, 10);
    const auto settled = scene.camera().poseAt(11);
    // x 0..9, z 0..8: extent 9; y from 0: camera at 0 - 13.5.
    EXPECT_NEAR(settled.position.x, 4.5, 1e-12);
    EXPECT_NEAR(settled.position.z, 4, 1e-12);
    EXPECT_NEAR(settled.position.y, -13.5, 1e-12);
    EXPECT_NEAR(settled.zFar, 280, 1e-12);
    EXPECT_EQ(settled.forward, (Vector3{0, 1, 0}));
    EXPECT_TRUE(scene.camera().isMoving(10.5));
    EXPECT_FALSE(scene.camera().isMoving(11));
}

}  // namespace
}  // namespace tessaron::testing
