#include "input/DualFisheyeLayout.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "input/CropLayout.hpp"

using tessaron::input::CropSpec;
using tessaron::input::DualFisheyeLayout;
using PairKey = DualFisheyeLayout::PairKey;

namespace {

DualFisheyeLayout fourCropRig() {
    DualFisheyeLayout layout;
    const double yaws[] = {0, 90, 180, 270};
    for (int i = 0; i < 4; ++i)
        layout.crops.push_back({i, i < 2 ? 0 : 1, CropSpec{i, yaws[i], 0, 100, 800}.rigFromCam(), 400.5, 800});
    layout.lensCenters = {cv::Vec3d(0, 0, 0.01), cv::Vec3d(0, 0, -0.01)};
    layout.model = {400, 960, 960, 95};
    return layout;
}

}  // namespace

TEST(DualFisheyeLayout, DescribesItselfLikeAnyRig) {
    const DualFisheyeLayout layout = fourCropRig();
    EXPECT_EQ(layout.cameraCount(), 4);
    EXPECT_EQ(layout.referenceCameraName(), "cam0");
    EXPECT_EQ(layout.cameraParams(), "400.5000,400.5000,400.0,400.0");
    EXPECT_THAT(layout.cameraPairs(),
                ::testing::ElementsAre(PairKey{0, 1}, PairKey{0, 3}, PairKey{1, 2}, PairKey{2, 3}));
}

TEST(DualFisheyeLayout, RigConfigCarriesRotationsAndLensOffsets) {
    const DualFisheyeLayout layout = fourCropRig();
    const auto cameras = nlohmann::json::parse(layout.rigConfigJSON())[0]["cameras"];
    ASSERT_EQ(cameras.size(), 4u);
    EXPECT_EQ(cameras[0]["ref_sensor"], true);
    EXPECT_EQ(cameras[0]["camera_model_name"], "OPENCV");
    EXPECT_EQ(cameras[0]["camera_params"], nlohmann::json::parse("[400.5, 400.5, 400, 400, 0, 0, 0, 0]"));
    for (std::size_t i = 1; i < 4; ++i) {
        const auto& camera = cameras[i];
        EXPECT_FALSE(camera.contains("ref_sensor"));
        const auto expectedRotation = tessaron::input::rig::quaternionWXYZ(layout.crops[i].rigFromCamRotation.t() *
                                                                           layout.crops[0].rigFromCamRotation);
        const auto rotation = camera["cam_from_rig_rotation"].get<std::vector<double>>();
        for (int k = 0; k < 4; ++k) EXPECT_NEAR(rotation[std::size_t(k)], expectedRotation[std::size_t(k)], 1e-12);
        const auto translation = camera["cam_from_rig_translation"].get<std::vector<double>>();
        const cv::Vec3d expected =
            i < 2 ? cv::Vec3d(0, 0, 0) : cv::Vec3d(-(layout.crops[i].rigFromCamRotation.t() * cv::Vec3d(0, 0, -0.02)));
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(translation[std::size_t(k)], expected[k], 1e-15) << "crop " << i;
    }
    EXPECT_NEAR(cameras[2]["cam_from_rig_translation"][2].get<double>(), -0.02, 1e-12) << "lens 1 sits behind lens 0";
}

TEST(DualFisheyeLayout, WithoutARigEveryCropIsItsOwnReference) {
    DualFisheyeLayout layout = fourCropRig();
    layout.useRig = false;
    const auto document = nlohmann::json::parse(layout.rigConfigJSON());
    ASSERT_EQ(document.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i) {
        ASSERT_EQ(document[i]["cameras"].size(), 1u);
        const auto& camera = document[i]["cameras"][0];
        EXPECT_EQ(camera["ref_sensor"], true);
        EXPECT_EQ(camera["image_prefix"], "cam" + std::to_string(i) + "/");
        EXPECT_FALSE(camera.contains("cam_from_rig_rotation"));
    }
}

TEST(DualFisheyeLayout, ALensWithoutACentreIsAnError) {
    DualFisheyeLayout layout = fourCropRig();
    layout.crops[3].lens = 2;
    EXPECT_THROW(layout.rigConfigJSON(), DualFisheyeLayout::LayoutError);
}

TEST(DualFisheyeLayout, MatchLinesStopAtAPairOutsideTheCropList) {
    const DualFisheyeLayout layout = fourCropRig();
    // 4 cameras × 1 temporal line, then 4 pairs × (2 + 1 + 1) cross lines.
    EXPECT_EQ(layout.matchPairLines({"a.jpg", "b.jpg"}).size(), 4u + 16u);

    DualFisheyeLayout broken;
    broken.crops = {{0, 0, cv::Matx33d::eye(), 300, 600},
                    {1, 0, cv::Matx33d::eye(), 300, 600},
                    {5, 1, cv::Matx33d::eye(), 300, 600}};
    broken.lensCenters = {cv::Vec3d(0, 0, 0), cv::Vec3d(0, 0, 0)};
    // Pairs (0,1), (0,5), (1,5): only the first names positions in the list.
    EXPECT_THAT(broken.matchPairLines({"a.jpg"}, 4), ::testing::ElementsAre("cam0/a.jpg cam1/a.jpg"));
    EXPECT_THAT(broken.matchPairLines({"a.jpg", "b.jpg"}, 1),
                ::testing::ElementsAre("cam0/a.jpg cam0/b.jpg", "cam1/a.jpg cam1/b.jpg", "cam5/a.jpg cam5/b.jpg",
                                       "cam0/a.jpg cam1/a.jpg", "cam0/a.jpg cam1/b.jpg", "cam1/a.jpg cam0/b.jpg",
                                       "cam0/b.jpg cam1/b.jpg"));
}
