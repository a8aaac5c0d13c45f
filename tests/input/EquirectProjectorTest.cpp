#include "input/EquirectProjector.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/core.hpp>

using tessaron::input::CropLayout;
using tessaron::input::CropLayoutPreset;
using tessaron::input::CropSpec;
using tessaron::input::EquirectProjector;

namespace {

// Each texel names its own column in (B, G) and row in (R, A) as 16-bit
// numbers; bilinear sampling of such a ramp returns the sampled position
// wherever the low byte does not wrap inside the 2 × 2 neighbourhood.
cv::Mat coordinatePanorama(int width, int height) {
    cv::Mat image(height, width, CV_8UC4);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) image.at<cv::Vec4b>(y, x) = cv::Vec4b(x & 255, x >> 8, y & 255, y >> 8);
    return image;
}

cv::Point2d decode(const cv::Vec4b& texel) { return {texel[1] * 256.0 + texel[0], texel[3] * 256.0 + texel[2]}; }

CropLayout layoutOf(std::vector<CropSpec> crops) {
    CropLayout layout(CropLayoutPreset::horizontal8, 1, 1);
    layout.crops = std::move(crops);
    return layout;
}

// Where the sampling of crop pixel (x, y) lands in texel coordinates of a
// W × H panorama: the ray through the pixel centre, its longitude and
// latitude, u·W − ½ and v·H − ½.
cv::Point2d expectedSource(const CropSpec& crop, int x, int y, int width, int height) {
    const double focal = crop.size / (2 * std::tan(crop.fovDegrees * M_PI / 360));
    const double center = crop.size / 2.0;
    const cv::Vec3d d =
        crop.rigFromCam() * cv::normalize(cv::Vec3d((x + 0.5 - center) / focal, (y + 0.5 - center) / focal, 1));
    const double lon = std::atan2(d[0], d[2]);
    const double lat = std::asin(std::clamp(-d[1], -1.0, 1.0));
    return {(0.5 + lon / (2 * M_PI)) * width - 0.5, (0.5 - lat / M_PI) * height - 0.5};
}

bool nearByteWrap(double coordinate) {
    const double low = std::fmod(coordinate, 256.0);
    return low < 1.5 || low > 254.5;
}

}  // namespace

class EquirectProbe : public ::testing::TestWithParam<CropSpec> {};

TEST_P(EquirectProbe, EveryPixelSamplesWhereItsRayPoints) {
    const int width = 1024, height = 512;
    const CropSpec crop = GetParam();
    EquirectProjector projector(layoutOf({crop}));
    const auto images = projector.project(coordinatePanorama(width, height));
    ASSERT_EQ(images.size(), 1u);
    ASSERT_EQ(images[0].size(), cv::Size(crop.size, crop.size));
    ASSERT_EQ(images[0].type(), CV_8UC4);
    int probed = 0;
    for (int y = 0; y < crop.size; y += 7)
        for (int x = 0; x < crop.size; x += 7) {
            const cv::Point2d expected = expectedSource(crop, x, y, width, height);
            if (nearByteWrap(expected.x) || nearByteWrap(expected.y)) continue;
            if (expected.x < 0.5 || expected.x > width - 1.5 || expected.y < 0.5 || expected.y > height - 1.5) continue;
            const cv::Point2d sampled = decode(images[0].at<cv::Vec4b>(y, x));
            ASSERT_NEAR(sampled.x, expected.x, 0.6) << "pixel " << x << "," << y;
            ASSERT_NEAR(sampled.y, expected.y, 0.6) << "pixel " << x << "," << y;
            ++probed;
        }
    EXPECT_GT(probed, 500);
}

INSTANTIATE_TEST_SUITE_P(Crops, EquirectProbe,
                         ::testing::Values(CropSpec{0, 0, 0, 100, 256}, CropSpec{1, 90, 0, 100, 256},
                                           CropSpec{2, 225, 0, 60, 200}, CropSpec{3, 0, 55, 100, 256},
                                           CropSpec{4, 270, -55, 100, 256}, CropSpec{5, 30, 20, 120, 199}));

TEST(EquirectProjector, StraightAheadCentreIsThePanoramaCentre) {
    EquirectProjector projector(layoutOf({CropSpec{0, 0, 0, 100, 2048}}));
    const auto crop = projector.project(coordinatePanorama(3840, 1920))[0];
    // The crop's centre lies between pixels 1023 and 1024, the panorama's
    // between texels 1919 and 1920 (and rows 959 and 960).
    cv::Point2d mean(0, 0);
    for (int y : {1023, 1024})
        for (int x : {1023, 1024}) mean += decode(crop.at<cv::Vec4b>(y, x)) * 0.25;
    EXPECT_NEAR(mean.x, 1919.5, 1.0);
    EXPECT_NEAR(mean.y, 959.5, 1.0);
}

TEST(EquirectProjector, TheCropBehindWrapsAcrossTheSeam) {
    const int width = 1024, height = 512;
    cv::Mat panorama(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) {
            const double value = 128 + 100 * std::sin(2 * M_PI * (x + 0.5) / width);
            panorama.at<cv::Vec3b>(y, x) = cv::Vec3b(uchar(std::lround(value)), 128, uchar(y / 2));
        }
    EquirectProjector projector(layoutOf({CropSpec{0, 180, 0, 100, 256}}));
    const cv::Mat crop = projector.project(panorama)[0];
    ASSERT_EQ(crop.type(), CV_8UC3);
    for (int y = 0; y < 256; y += 16) {
        for (int x = 1; x < 256; ++x)
            ASSERT_LE(std::abs(int(crop.at<cv::Vec3b>(y, x)[0]) - int(crop.at<cv::Vec3b>(y, x - 1)[0])), 2)
                << "step at column " << x << ", row " << y;
        EXPECT_NEAR(crop.at<cv::Vec3b>(y, 128)[0], 128, 3) << "the seam sits mid-crop";
    }
}

TEST(EquirectProjector, LookingUpSeesTheZenithWithoutTheNadir) {
    // A coarse panorama, so that the half texel above the top row's centres
    // covers many crop pixels around the zenith.
    const int width = 128, height = 64;
    cv::Mat panorama(height, width, CV_8UC3, cv::Scalar(0, 0, 0));
    panorama.row(0).setTo(cv::Scalar(255, 255, 255));
    panorama.row(height - 1).setTo(cv::Scalar(0, 0, 255));  // red nadir
    EquirectProjector projector(layoutOf({CropSpec{8, 0, 55, 100, 512}}));
    const cv::Mat crop = projector.project(panorama)[0];
    // A 100° crop pitched up 55° reaches 105° at the middle of its top edge;
    // the zenith lies 35° above the optical axis, f·tan 35° ≈ 150 pixels
    // above the centre.
    EXPECT_GT(crop.at<cv::Vec3b>(106, 256)[0], 250);
    for (int y = 0; y < 512; ++y)
        for (int x = 0; x < 512; ++x) {
            const cv::Vec3b pixel = crop.at<cv::Vec3b>(y, x);
            ASSERT_LE(pixel[2], pixel[1] + 2) << "the nadir row bled into the zenith at " << x << "," << y;
        }
}

TEST(EquirectProjector, MapsFollowThePanoramaSizeAndPixelType) {
    EquirectProjector projector(CropLayout(CropLayoutPreset::fullSphere16, 32, 100));
    auto first = projector.project(coordinatePanorama(256, 128));
    ASSERT_EQ(first.size(), 16u);
    cv::Mat grey(64, 128, CV_8UC1, cv::Scalar(77));
    auto second = projector.project(grey);
    ASSERT_EQ(second.size(), 16u);
    for (const cv::Mat& crop : second) {
        EXPECT_EQ(crop.type(), CV_8UC1);
        EXPECT_EQ(crop.size(), cv::Size(32, 32));
        EXPECT_EQ(cv::countNonZero(crop != 77), 0);
    }
    auto third = projector.project(coordinatePanorama(256, 128));
    for (std::size_t i = 0; i < 16; ++i) EXPECT_EQ(cv::norm(first[i], third[i], cv::NORM_INF), 0) << "crop " << i;
}

TEST(EquirectProjector, RefusesWhatItCannotSample) {
    EquirectProjector projector(layoutOf({CropSpec{0, 0, 0, 100, 16}}));
    try {
        projector.project(cv::Mat());
        FAIL();
    } catch (const EquirectProjector::ProjectorError& error) {
        EXPECT_EQ(error.kind(), EquirectProjector::ProjectorErrorKind::imageConversionFailed);
    }
    EXPECT_THROW(projector.project(cv::Mat(16, 32, CV_16UC1)), EquirectProjector::ProjectorError);
    EXPECT_THROW(EquirectProjector(layoutOf({CropSpec{0, 0, 0, 100, 0}})), EquirectProjector::ProjectorError);
}

TEST(EquirectProjector, BorderRaysCircleTheCrop) {
    const CropSpec crop{0, 30, 10, 100, 2048};
    const auto rays = EquirectProjector::borderRays(crop, 24);
    ASSERT_EQ(rays.size(), 97u);
    EXPECT_LT(cv::norm(rays.front() - rays.back()), 1e-12);
    const double focal = 2048 / (2 * std::tan(50 * M_PI / 180));
    const cv::Vec3d corner = cv::normalize(crop.rigFromCam() * cv::Vec3d(-1024 / focal, -1024 / focal, 1));
    EXPECT_LT(cv::norm(rays.front() - corner), 1e-12) << "starts at the top left corner, no half-pixel offset";
    const cv::Vec3d topRight = cv::normalize(crop.rigFromCam() * cv::Vec3d(1024 / focal, -1024 / focal, 1));
    EXPECT_LT(cv::norm(rays[24] - topRight), 1e-12);
    for (const auto& ray : rays) EXPECT_NEAR(cv::norm(ray), 1.0, 1e-12);
}

TEST(EquirectProjector, FootprintsSplitAtTheSeam) {
    const CropLayout layout(CropLayoutPreset::fullSphere16, 2048, 100);
    const auto footprints = EquirectProjector::footprints(layout.crops, 24, 3840, 1920);
    ASSERT_EQ(footprints.size(), 16u);
    ASSERT_EQ(footprints[0].size(), 1u) << "straight ahead: one closed loop";
    EXPECT_EQ(footprints[0][0].size(), 97u);
    EXPECT_NEAR(footprints[0][0][12].x, 1920, 1e-9) << "top edge midpoint on the centre column";
    EXPECT_GE(footprints[4].size(), 2u) << "yaw 180 straddles the seam";
    EXPECT_GE(footprints[8].size(), 2u) << "pitch +55 circles the zenith and crosses the seam";
    for (const auto& crop : footprints)
        for (const auto& line : crop) {
            EXPECT_GE(line.size(), 2u);
            for (const auto& point : line) {
                EXPECT_GE(point.x, 0);
                EXPECT_LE(point.x, 3840);
                EXPECT_GE(point.y, 0);
                EXPECT_LE(point.y, 1920);
            }
        }
}
