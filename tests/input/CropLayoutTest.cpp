#include "input/CropLayout.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/core.hpp>

using tessaron::input::CropLayout;
using tessaron::input::CropLayoutPreset;
using tessaron::input::CropSpec;
using tessaron::input::RigCropLayout;
using PairKey = CropLayout::PairKey;

namespace {

std::vector<std::string> frames(int count) {
    std::vector<std::string> names;
    for (int i = 0; i < count; ++i) names.push_back("frame_" + std::string(5, '0') + std::to_string(i) + ".jpg");
    return names;
}

cv::Matx33d fromQuaternion(const std::vector<double>& q) {
    const double w = q[0], x = q[1], y = q[2], z = q[3];
    return cv::Matx33d(1 - 2 * (y * y + z * z), 2 * (x * y - w * z), 2 * (x * z + w * y),  //
                       2 * (x * y + w * z), 1 - 2 * (x * x + z * z), 2 * (y * z - w * x),  //
                       2 * (x * z - w * y), 2 * (y * z + w * x), 1 - 2 * (x * x + y * y));
}

}  // namespace

TEST(CropLayoutPreset, RawValuesDisplayNamesAndOrder) {
    using namespace tessaron::input;
    EXPECT_THAT(allCropLayoutPresets(),
                ::testing::ElementsAre(CropLayoutPreset::fullSphere16, CropLayoutPreset::horizontal8));
    EXPECT_EQ(toString(CropLayoutPreset::fullSphere16), "fullSphere16");
    EXPECT_EQ(toString(CropLayoutPreset::horizontal8), "horizontal8");
    EXPECT_EQ(displayName(CropLayoutPreset::fullSphere16), "Full Sphere (16 crops)");
    EXPECT_EQ(displayName(CropLayoutPreset::horizontal8), "Horizontal (8 crops)");
    EXPECT_EQ(cropLayoutPresetFromString("horizontal8"), CropLayoutPreset::horizontal8);
    EXPECT_EQ(cropLayoutPresetFromString("Horizontal8"), std::nullopt);
    EXPECT_EQ(cropLayoutPresetFromString(""), std::nullopt);
}

TEST(CropLayout, PresetsListHorizonCropsThenTiltLevels) {
    const CropLayout full(CropLayoutPreset::fullSphere16, 2048, 100);
    ASSERT_EQ(full.crops.size(), 16u);
    const double yaws[] = {0, 45, 90, 135, 180, 225, 270, 315, 0, 90, 180, 270, 0, 90, 180, 270};
    for (std::size_t i = 0; i < 16; ++i) {
        const double pitch = i < 8 ? 0 : (i < 12 ? 55 : -55);
        EXPECT_EQ(full.crops[i], (CropSpec{std::int64_t(i), yaws[i], pitch, 100, 2048})) << "crop " << i;
    }
    const CropLayout ring(CropLayoutPreset::horizontal8, 512, 90);
    ASSERT_EQ(ring.crops.size(), 8u);
    EXPECT_EQ(ring.crops[7], (CropSpec{7, 315, 0, 90, 512}));
    EXPECT_EQ(ring.cameraCount(), 8);
    EXPECT_EQ(full.referenceCameraName(), "cam0");
    EXPECT_NE(ring, CropLayout(CropLayoutPreset::horizontal8, 512, 91));
    EXPECT_EQ(ring, CropLayout(CropLayoutPreset::horizontal8, 512, 90));
}

TEST(CropLayout, RigFromCamTurnsRightForYawAndUpForPitch) {
    auto axis = [](double yaw, double pitch) {
        const cv::Matx33d r = CropSpec{0, yaw, pitch, 100, 16}.rigFromCam();
        return cv::Vec3d(r(0, 2), r(1, 2), r(2, 2));
    };
    EXPECT_LT(cv::norm(axis(0, 0) - cv::Vec3d(0, 0, 1)), 1e-12);
    EXPECT_LT(cv::norm(axis(90, 0) - cv::Vec3d(1, 0, 0)), 1e-12);  // yaw 90 looks along +x
    EXPECT_LT(cv::norm(axis(180, 0) - cv::Vec3d(0, 0, -1)), 1e-12);
    const cv::Vec3d up = axis(0, 55);
    EXPECT_NEAR(up[1], -std::sin(55 * M_PI / 180), 1e-12);  // up is −y
    for (const CropSpec& crop : CropLayout(CropLayoutPreset::fullSphere16, 64, 100).crops) {
        const cv::Matx33d r = crop.rigFromCam();
        EXPECT_LT(cv::norm(r * r.t() - cv::Matx33d::eye()), 1e-12);
        EXPECT_NEAR(cv::determinant(r), 1.0, 1e-12);
    }
}

TEST(CropLayout, CameraParamsComeFromTheFirstCrop) {
    CropLayout layout(CropLayoutPreset::fullSphere16, 2048, 100);
    EXPECT_EQ(layout.cameraParams(), "859.2380,859.2380,1024.0,1024.0");
    EXPECT_EQ(layout.cameraParams(15), "859.2380,859.2380,1024.0,1024.0");
    layout.crops[3].size = 100;  // the invariant says equal sizes; only the first counts anyway
    EXPECT_EQ(layout.cameraParams(3), "859.2380,859.2380,1024.0,1024.0");
    EXPECT_EQ(CropLayout(CropLayoutPreset::horizontal8, 1000, 90).cameraParams(), "500.0000,500.0000,500.0,500.0");
}

TEST(CropLayout, CameraPairsOfTheRing) {
    const CropLayout ring(CropLayoutPreset::horizontal8, 64, 100);
    EXPECT_THAT(ring.cameraPairs(), ::testing::ElementsAre(PairKey{0, 1}, PairKey{0, 7}, PairKey{1, 2}, PairKey{2, 3},
                                                           PairKey{3, 4}, PairKey{4, 5}, PairKey{5, 6}, PairKey{6, 7}));
}

TEST(CropLayout, CameraPairsOfTheFullSphere) {
    const auto pairs = CropLayout(CropLayoutPreset::fullSphere16, 64, 100).cameraPairs();
    ASSERT_EQ(pairs.size(), 44u);
    EXPECT_TRUE(std::is_sorted(pairs.begin(), pairs.end()));
    auto partners = [&](std::int64_t camera) {
        std::vector<std::int64_t> found;
        for (const PairKey& pair : pairs) {
            EXPECT_LT(pair.a, pair.b);
            if (pair.a == camera) found.push_back(pair.b);
            if (pair.b == camera) found.push_back(pair.a);
        }
        std::sort(found.begin(), found.end());
        return found;
    };
    // Tilted yaw 0 meets horizon yaws 315, 0 and 45 (circular distance) and its level.
    EXPECT_THAT(partners(8), ::testing::ElementsAre(0, 1, 7, 9, 10, 11));
    EXPECT_THAT(partners(14), ::testing::ElementsAre(3, 4, 5, 12, 13, 15));
    EXPECT_THAT(partners(7), ::testing::ElementsAre(0, 6, 8, 11, 12, 15));
}

TEST(CropLayout, MatchLineCountsForTenFrames) {
    EXPECT_EQ(CropLayout(CropLayoutPreset::horizontal8, 64, 100).matchPairLines(frames(10), 4).size(), 464u);
    EXPECT_EQ(CropLayout(CropLayoutPreset::fullSphere16, 64, 100).matchPairLines(frames(10), 4).size(), 1712u);
    const CropLayout ring(CropLayoutPreset::horizontal8, 64, 100);
    const RigCropLayout& rig = ring;
    EXPECT_EQ(rig.matchPairLines(frames(10)), ring.matchPairLines(frames(10), 4)) << "the short form uses window 4";
}

TEST(CropLayout, MatchLinesInOrder) {
    const CropLayout ring(CropLayoutPreset::horizontal8, 64, 100);
    const auto lines = ring.matchPairLines({"a.jpg", "b.jpg", "c.jpg"}, 1);
    // 8 cameras × 2 temporal lines, then 8 pairs × (3 + 2 + 2) cross lines.
    ASSERT_EQ(lines.size(), 16u + 56u);
    EXPECT_EQ(lines[0], "cam0/a.jpg cam0/b.jpg");
    EXPECT_EQ(lines[1], "cam0/b.jpg cam0/c.jpg");
    EXPECT_EQ(lines[15], "cam7/b.jpg cam7/c.jpg");
    EXPECT_THAT(std::vector<std::string>(lines.begin() + 16, lines.begin() + 23),
                ::testing::ElementsAre("cam0/a.jpg cam1/a.jpg", "cam0/a.jpg cam1/b.jpg", "cam1/a.jpg cam0/b.jpg",
                                       "cam0/b.jpg cam1/b.jpg", "cam0/b.jpg cam1/c.jpg", "cam1/b.jpg cam0/c.jpg",
                                       "cam0/c.jpg cam1/c.jpg"));
    EXPECT_EQ(lines[23], "cam0/a.jpg cam7/a.jpg");
}

TEST(CropLayout, MatchLinesAtTheEdges) {
    const CropLayout full(CropLayoutPreset::fullSphere16, 64, 100);
    EXPECT_TRUE(full.matchPairLines({}, 4).empty()) << "no frames, not even cross-camera lines";
    const auto single = full.matchPairLines({"only.jpg"}, 4);
    EXPECT_EQ(single.size(), 44u) << "one same-frame line per camera pair";
    for (const auto& line : single) EXPECT_THAT(line, ::testing::MatchesRegex("cam[0-9]+/only.jpg cam[0-9]+/only.jpg"));
    const auto wide = CropLayout(CropLayoutPreset::horizontal8, 64, 100).matchPairLines(frames(3), 50);
    // Window past the end: frames 0-1, 0-2, 1-2 per camera, nothing further.
    EXPECT_EQ(wide.size(), 8u * 3u + 8u * 7u);
}

TEST(CropLayout, RigConfigJSONIsExact) {
    CropLayout layout(CropLayoutPreset::horizontal8, 2048, 100);
    layout.crops = {layout.crops[0], layout.crops[2]};
    const std::string params = R"([
          859.2380223255348,
          859.2380223255348,
          1024,
          1024
        ])";
    const std::string expected = R"([
  {
    "cameras" : [
      {
        "camera_model_name" : "PINHOLE",
        "camera_params" : )" + params +
                                 R"(,
        "image_prefix" : "cam0\/",
        "ref_sensor" : true
      },
      {
        "cam_from_rig_rotation" : [
          0.7071067811865476,
          -0,
          -0.7071067811865475,
          0
        ],
        "cam_from_rig_translation" : [
          0,
          0,
          0
        ],
        "camera_model_name" : "PINHOLE",
        "camera_params" : )" + params +
                                 R"(,
        "image_prefix" : "cam2\/"
      }
    ]
  }
])";
    EXPECT_EQ(layout.rigConfigJSON(), expected);
}

TEST(CropLayout, RigConfigOfTheFullSphereDescribesEveryCropRotation) {
    const CropLayout layout(CropLayoutPreset::fullSphere16, 2048, 100);
    const auto document = nlohmann::json::parse(layout.rigConfigJSON());
    ASSERT_TRUE(document.is_array());
    ASSERT_EQ(document.size(), 1u);
    const auto& cameras = document[0]["cameras"];
    ASSERT_EQ(cameras.size(), 16u);
    for (std::size_t i = 0; i < 16; ++i) {
        const auto& camera = cameras[i];
        EXPECT_EQ(camera["image_prefix"], "cam" + std::to_string(i) + "/");
        EXPECT_EQ(camera["camera_model_name"], "PINHOLE");
        EXPECT_NEAR(camera["camera_params"][0].get<double>(), 859.2380223255348, 1e-9);
        if (i == 0) {
            EXPECT_EQ(camera["ref_sensor"], true);
            EXPECT_FALSE(camera.contains("cam_from_rig_rotation"));
            EXPECT_FALSE(camera.contains("cam_from_rig_translation"));
            continue;
        }
        EXPECT_FALSE(camera.contains("ref_sensor"));
        const auto q = camera["cam_from_rig_rotation"].get<std::vector<double>>();
        EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0, 1e-12);
        // The quaternion is the rig-to-camera rotation, the transpose of rigFromCam.
        EXPECT_LT(cv::norm(fromQuaternion(q) - layout.crops[i].rigFromCam().t()), 1e-9) << "crop " << i;
        EXPECT_EQ(camera["cam_from_rig_translation"], nlohmann::json::array({0, 0, 0}));
    }
}

class QuaternionBranches : public ::testing::TestWithParam<cv::Vec3d> {};

TEST_P(QuaternionBranches, EveryBranchRoundTrips) {
    // Rodrigues: rotation by |v| about v.
    const cv::Vec3d v = GetParam();
    const double angle = cv::norm(v);
    const cv::Vec3d k = v / angle;
    const cv::Matx33d cross(0, -k[2], k[1], k[2], 0, -k[0], -k[1], k[0], 0);
    const cv::Matx33d rotation = cv::Matx33d::eye() + std::sin(angle) * cross + (1 - std::cos(angle)) * (cross * cross);
    const auto q = tessaron::input::rig::quaternionWXYZ(rotation);
    EXPECT_NEAR(q[0] * q[0] + q[1] * q[1] + q[2] * q[2] + q[3] * q[3], 1.0, 1e-12);
    EXPECT_LT(cv::norm(fromQuaternion(q) - rotation), 1e-9);
}

// Small angles take the trace branch; half turns about x, y and z the other three.
INSTANTIATE_TEST_SUITE_P(Rotations, QuaternionBranches,
                         ::testing::Values(cv::Vec3d(0.1, 0.2, 0.3), cv::Vec3d(M_PI * 0.99, 0, 0),
                                           cv::Vec3d(0, M_PI * 0.99, 0), cv::Vec3d(0, 0, M_PI * 0.99),
                                           cv::Vec3d(2.0, 1.0, 0.5)));

TEST(CropLayout, NumbersJSONCannotHoldAreAnError) {
    CropLayout layout(CropLayoutPreset::horizontal8, 2048, 0);  // zero field of view: infinite focal length
    EXPECT_THROW(layout.rigConfigJSON(), RigCropLayout::RigConfigError);
}
