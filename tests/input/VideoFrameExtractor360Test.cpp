#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "ExtractionRecorder.hpp"
#include "KeyColourSegmenter.hpp"
#include "TestVideo.hpp"
#include "core/AtomicFile.hpp"
#include "input/VideoFrameExtractor.hpp"
#include "support/TempDir.hpp"

using tessaron::input::CropLayout;
using tessaron::input::CropLayoutPreset;
using tessaron::input::PersonMasker;
using tessaron::input::PersonMaskMode;
using tessaron::input::VideoFrameExtractor;
using tessaron::testing::ExtractionRecorder;
using tessaron::testing::KeyColourSegmenter;
using tessaron::testing::TempDir;
using tessaron::testing::TestVideo;
using Preview = VideoFrameExtractor::Conversion360Preview;

namespace {

// A panorama whose longitude shows as a smooth blue wave, continuous across
// the seam, with a keyed "person" (red, green 0, instance 1) straight ahead
// below the horizon. Frames whose index is 10 more than a multiple of 20
// are flat grey, so the filter has something to skip.
cv::Mat panorama(int width, int height, int index) {
    if (index % 20 == 10) return tessaron::testing::uniformFrame(width, height, 100);
    cv::Mat image(height, width, CV_8UC3);
    for (int x = 0; x < width; ++x) {
        const double longitude = 2 * M_PI * (x + 0.5) / width - M_PI;
        const auto blue = uchar(std::lround(128 + 100 * std::sin(longitude)));
        // A checkerboard in the lowest quarter gives the frame its sharpness.
        for (int y = 0; y < height; ++y)
            image.at<cv::Vec3b>(y, x) =
                cv::Vec3b(blue, uchar(y < height * 3 / 4 ? 160 : 120 + ((x / 8 + y / 8) % 2) * 80), uchar(60));
    }
    tessaron::testing::paintPerson(
        image, cv::Rect(width / 2 - width / 16, height / 2 + height / 16, width / 8, height / 6), 1, 255);
    return image;
}

TestVideo panoramaVideo(int width, int height, int frames) {
    TestVideo video;
    video.width = width;
    video.height = height;
    video.frameCount = frames;
    video.frame = [=](int i) { return panorama(width, height, i); };
    return video;
}

std::filesystem::path frameIn(const std::filesystem::path& folder, int camera, int number) {
    return folder / ("cam" + std::to_string(camera)) / VideoFrameExtractor::frameFileName(number);
}

}  // namespace

TEST(Extract360Frames, SixteenCamerasOfTenRigFrames) {
    TempDir folder;
    panoramaVideo(256, 128, 100).write(folder / "pano.mp4");
    ExtractionRecorder recorder;
    const CropLayout layout(CropLayoutPreset::fullSphere16, 32, 100);
    const auto rigFrames =
        VideoFrameExtractor::extract360Frames(folder / "pano.mp4", folder / "images", layout, 10, false, 0, nullptr,
                                              std::nullopt, nullptr, recorder.progress());
    EXPECT_EQ(rigFrames, 10);
    ASSERT_EQ(recorder.fileNames(folder / "images").size(), 16u);
    for (int camera = 0; camera < 16; ++camera)
        recorder.expectCompleteFrames(folder / "images" / ("cam" + std::to_string(camera)), 10);
    EXPECT_EQ(cv::imread(frameIn(folder / "images", 9, 4).string()).size(), cv::Size(32, 32));
    EXPECT_FALSE(std::filesystem::exists(folder / "masks"));
    ASSERT_EQ(recorder.lines.size(), 10u);
    EXPECT_EQ(recorder.lines.front(), "Frame 0/100 — 1 rig frames (16 images), 0 blurry skipped");
    EXPECT_EQ(recorder.lines.back(), "Frame 90/100 — 10 rig frames (160 images), 0 blurry skipped");
}

TEST(Extract360Frames, BlurryFramesUseNoRigNumber) {
    TempDir folder;
    panoramaVideo(256, 128, 100).write(folder / "pano.mp4");
    ExtractionRecorder recorder;
    const CropLayout layout(CropLayoutPreset::horizontal8, 32, 100);
    EXPECT_EQ(VideoFrameExtractor::extract360Frames(folder / "pano.mp4", folder / "images", layout, 10, true, 20.0,
                                                    nullptr, std::nullopt, nullptr, recorder.progress()),
              5);
    recorder.expectCompleteFrames(folder / "images/cam7", 5);
    EXPECT_EQ(recorder.lines.back(), "Frame 90/100 — 5 rig frames (40 images), 5 blurry skipped");
    EXPECT_EQ(std::count_if(recorder.lines.begin(), recorder.lines.end(),
                            [](const std::string& line) { return line.find("blurry skipped") != std::string::npos; }),
              6)
        << "five kept frames and the fifth blurry one";
}

TEST(Extract360Frames, AVideoShorterThanAStrideGivesOneRigFrame) {
    TempDir folder;
    panoramaVideo(256, 128, 5).write(folder / "pano.mkv");
    EXPECT_EQ(VideoFrameExtractor::extract360Frames(folder / "pano.mkv", folder / "images",
                                                    CropLayout(CropLayoutPreset::horizontal8, 16, 100), 10, true, 1.0,
                                                    nullptr, std::nullopt, nullptr),
              1);
}

TEST(Extract360Frames, EveryCropGetsAMaskAndEmptyOnesShareTheFallback) {
    TempDir folder;
    panoramaVideo(512, 256, 3).write(folder / "pano.mp4");
    auto segmenter = std::make_shared<KeyColourSegmenter>();
    PersonMasker masker(PersonMaskMode::allPeople, segmenter);
    ExtractionRecorder recorder;
    const CropLayout layout(CropLayoutPreset::fullSphere16, 64, 100);
    EXPECT_EQ(VideoFrameExtractor::extract360Frames(folder / "pano.mp4", folder / "images", layout, 1, false, 0,
                                                    &masker, folder / "masks", nullptr, recorder.progress()),
              3);
    EXPECT_EQ(recorder.lines.front(), "Person segmenter: key colour");
    EXPECT_EQ(segmenter->calls, 48);
    // Crops without people share the one fallback PNG; the others mask the
    // person, which the crops straight ahead (0) and ahead looking down (12)
    // always see.
    const std::string fallback = PersonMasker::encodePNG(cv::Mat(64, 64, CV_8UC1, cv::Scalar(255)));
    int fallbacks = 0;
    for (int camera = 0; camera < 16; ++camera)
        for (int number = 0; number < 3; ++number) {
            const auto mask = folder / "masks" / ("cam" + std::to_string(camera)) /
                              (VideoFrameExtractor::frameFileName(number) + ".png");
            ASSERT_TRUE(std::filesystem::exists(mask)) << mask;
            if (tessaron::core::readWholeFile(mask) == fallback) {
                EXPECT_NE(camera, 0);
                EXPECT_NE(camera, 12);
                ++fallbacks;
                continue;
            }
            const cv::Mat read = cv::imread(mask.string(), cv::IMREAD_UNCHANGED);
            ASSERT_EQ(read.type(), CV_8UC1);
            ASSERT_EQ(read.size(), cv::Size(64, 64));
            EXPECT_GT(cv::countNonZero(read == 0), 0) << mask;
        }
    EXPECT_GE(fallbacks, 3 * 10) << "most crops see nobody";
}

TEST(Extract360Frames, AFailedMaskKeepsTheCropWholeAndIsReportedOnce) {
    TempDir folder;
    panoramaVideo(256, 128, 2).write(folder / "pano.mp4");
    auto segmenter = std::make_shared<KeyColourSegmenter>();
    segmenter->callsUntilFailure = 0;  // every crop fails
    PersonMasker masker(PersonMaskMode::operatorOnly, segmenter);
    ExtractionRecorder recorder;
    EXPECT_EQ(VideoFrameExtractor::extract360Frames(folder / "pano.mp4", folder / "images",
                                                    CropLayout(CropLayoutPreset::horizontal8, 32, 100), 1, false, 0,
                                                    &masker, folder / "masks", nullptr, recorder.progress()),
              2);
    const std::string fallback = PersonMasker::encodePNG(cv::Mat(32, 32, CV_8UC1, cv::Scalar(255)));
    EXPECT_EQ(tessaron::core::readWholeFile(folder / "masks/cam0/frame_000001.jpg.png"), fallback);
    EXPECT_EQ(recorder.lines.back(),
              "⚠ Person masking failed for 16 of 16 crop images; they were given all-keep masks.");
    EXPECT_EQ(std::count_if(recorder.lines.begin(), recorder.lines.end(),
                            [](const std::string& line) { return line.rfind("⚠ ", 0) == 0; }),
              1);
}

TEST(Extract360Frames, PreviewsComeFirstAtOnceThenAtMostTwicePerSecond) {
    TempDir folder;
    panoramaVideo(2560, 1280, 4).write(folder / "wide.mp4");
    std::vector<Preview> previews;
    std::vector<std::chrono::steady_clock::time_point> times;
    VideoFrameExtractor::extract360Frames(folder / "wide.mp4", folder / "images",
                                          CropLayout(CropLayoutPreset::horizontal8, 16, 100), 1, false, 0, nullptr,
                                          std::nullopt, [&](const Preview& preview) {
                                              previews.push_back(preview);
                                              times.push_back(std::chrono::steady_clock::now());
                                          });
    ASSERT_GE(previews.size(), 1u);
    EXPECT_EQ(previews[0].sourceFrameIndex, 0);
    EXPECT_EQ(previews[0].extractedFrames, 1);
    EXPECT_EQ(previews[0].equirect.size(), cv::Size(1280, 640));
    ASSERT_EQ(previews[0].crops.size(), 8u);
    EXPECT_EQ(previews[0].crops[3].size(), cv::Size(16, 16));
    for (std::size_t i = 1; i < times.size(); ++i)
        EXPECT_GT(times[i] - times[i - 1], std::chrono::milliseconds(450)) << "preview " << i;
}

TEST(Extract360Frames, CancellationLeavesWholeRigFrames) {
    TempDir folder;
    panoramaVideo(256, 128, 40).write(folder / "pano.mp4");
    ExtractionRecorder recorder;
    recorder.cancelAtPoll = 12;
    EXPECT_THROW(VideoFrameExtractor::extract360Frames(folder / "pano.mp4", folder / "images",
                                                       CropLayout(CropLayoutPreset::horizontal8, 16, 100), 5, false, 0,
                                                       nullptr, std::nullopt, nullptr, recorder.progress()),
                 tessaron::core::CancellationError);
    for (int camera = 0; camera < 8; ++camera)  // frames 0, 5 and 10 were kept before poll 12
        recorder.expectCompleteFrames(folder / "images" / ("cam" + std::to_string(camera)), 3);
}

TEST(Extract360Frames, AVideoThatBreaksHalfwayIsAnError) {
    TempDir folder;
    panoramaVideo(256, 128, 40).write(folder / "pano.avi");
    tessaron::testing::scribbleOver(folder / "pano.avi", 0.5);
    ExtractionRecorder recorder;
    try {
        VideoFrameExtractor::extract360Frames(folder / "pano.avi", folder / "images",
                                              CropLayout(CropLayoutPreset::horizontal8, 16, 100), 1, false, 0, nullptr,
                                              std::nullopt, nullptr, recorder.progress());
        FAIL();
    } catch (const VideoFrameExtractor::FrameExtractionError& error) {
        EXPECT_STREQ(error.what(), "The video could not be read to the end.");
    }
    const auto written = recorder.fileNames(folder / "images/cam0").size();
    EXPECT_GT(written, 5u);
    for (int camera = 0; camera < 8; ++camera)
        recorder.expectCompleteFrames(folder / "images" / ("cam" + std::to_string(camera)), written);
}

// The full-size case: a 3840 × 1920 panorama into sixteen 2048-pixel crops.
TEST(Extract360Frames, FullSphereCropsOfAUHDPanorama) {
    TempDir folder;
    TestVideo video = panoramaVideo(3840, 1920, 1);
    video.frame = [](int) {
        cv::Mat image = panorama(3840, 1920, 0);
        // A white marker centred on the panorama's centre, between texels
        // 1919 and 1920 and rows 959 and 960.
        image(cv::Rect(1912, 952, 16, 16)).setTo(cv::Scalar(255, 255, 255));
        return image;
    };
    video.write(folder / "uhd.mp4");
    const CropLayout layout(CropLayoutPreset::fullSphere16, 2048, 100);
    EXPECT_EQ(VideoFrameExtractor::extract360Frames(folder / "uhd.mp4", folder / "images", layout, 1, false, 0, nullptr,
                                                    std::nullopt, nullptr),
              1);
    for (int camera = 0; camera < 16; ++camera)
        ASSERT_EQ(ExtractionRecorder::fileNames(folder / "images" / ("cam" + std::to_string(camera))).size(), 1u);

    const cv::Mat ahead = cv::imread(frameIn(folder / "images", 0, 0).string());
    ASSERT_EQ(ahead.size(), cv::Size(2048, 2048));
    cv::Mat white;
    cv::inRange(ahead, cv::Scalar(200, 200, 200), cv::Scalar(255, 255, 255), white);
    const cv::Moments moments = cv::moments(white, true);
    ASSERT_GT(moments.m00, 100);
    EXPECT_NEAR(moments.m10 / moments.m00, 1023.5, 1.0);
    EXPECT_NEAR(moments.m01 / moments.m00, 1023.5, 1.0);

    const cv::Mat behind = cv::imread(frameIn(folder / "images", 4, 0).string());
    ASSERT_EQ(behind.size(), cv::Size(2048, 2048));
    for (int y = 200; y < 1000; y += 100)
        for (int x = 1000; x < 1048; ++x)
            ASSERT_LE(std::abs(int(behind.at<cv::Vec3b>(y, x)[0]) - int(behind.at<cv::Vec3b>(y, x - 1)[0])), 8)
                << "a step in the wave at column " << x << ", row " << y;
}
