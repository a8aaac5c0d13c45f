#include "input/VideoFrameExtractor.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "ExtractionRecorder.hpp"
#include "TestVideo.hpp"
#include "support/TempDir.hpp"

using tessaron::input::VideoFrameExtractor;
using tessaron::testing::ExtractionRecorder;
using tessaron::testing::TempDir;
using tessaron::testing::TestVideo;
using Kind = VideoFrameExtractor::FrameExtractionErrorKind;

namespace {

// 100 frames at 25 per second: 4 s, an estimate of 100. Frames whose index
// is 10 more than a multiple of 20 are flat grey, the others checkerboards.
TestVideo mixedVideo(int frames = 100) {
    TestVideo video;
    video.width = 64;
    video.height = 48;
    video.frameCount = frames;
    video.frame = [](int i) {
        return i % 20 == 10 ? tessaron::testing::uniformFrame(64, 48, 120)
                            : tessaron::testing::checkerFrame(64, 48, 5 + i % 3);
    };
    return video;
}

cv::Mat toBGRA(const cv::Mat& bgr) {
    cv::Mat bgra;
    cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
    return bgra;
}

}  // namespace

TEST(Sharpness, IsTheLaplacianVarianceOfEveryFourthPixel) {
    // Sampled pixels: one white on black; the others are noise the score
    // must not see.
    cv::Mat frame(16, 16, CV_8UC4);
    cv::randu(frame, 0, 256);
    for (int y = 0; y < 16; y += 4)
        for (int x = 0; x < 16; x += 4) frame.at<cv::Vec4b>(y, x) = cv::Vec4b(0, 0, 0, 255);
    frame.at<cv::Vec4b>(4, 4) = cv::Vec4b(255, 255, 255, 255);
    // Luma 255 at (1, 1): its four neighbours read 255, itself −1020 → 0.
    // Mean 63.75, mean square 16256.25.
    EXPECT_EQ(VideoFrameExtractor::sharpness(frame), 16256.25 - 63.75 * 63.75);
}

TEST(Sharpness, EdgesRepeatTheNearestPixel) {
    // Luma columns 10, 20, 40, 80 in every row. Repeated edges give the
    // responses 10, 10, 20, 0 (the last saturates from −40); mirrored edges
    // would give 20 in the first column.
    cv::Mat wide(16, 20, CV_8UC4, cv::Scalar(0, 0, 0, 255));
    const uchar greys[] = {10, 20, 40, 80};
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x)
            wide.at<cv::Vec4b>(y, x) = cv::Vec4b(greys[x / 4], greys[x / 4], greys[x / 4], 255);
    const cv::Mat frame = wide(cv::Rect(0, 0, 16, 16));  // rows longer than the image
    EXPECT_EQ(VideoFrameExtractor::sharpness(frame), 150.0 - 100.0);
}

TEST(Sharpness, FlatSmallAndUnreadableFramesScoreZero) {
    EXPECT_EQ(VideoFrameExtractor::sharpness(cv::Mat(64, 64, CV_8UC4, cv::Scalar(90, 90, 90, 255))), 0.0);
    EXPECT_EQ(VideoFrameExtractor::sharpness(cv::Mat(3, 400, CV_8UC4, cv::Scalar(0, 0, 0, 255))), 0.0);
    EXPECT_EQ(VideoFrameExtractor::sharpness(toBGRA(tessaron::testing::checkerFrame(64, 3, 1))), 0.0);
    EXPECT_EQ(VideoFrameExtractor::sharpness(cv::Mat()), 0.0);
    EXPECT_EQ(VideoFrameExtractor::sharpness(tessaron::testing::checkerFrame(64, 64, 1)), 0.0) << "not BGRA";
}

TEST(Sharpness, BlurLowersTheScore) {
    const cv::Mat sharp = toBGRA(tessaron::testing::checkerFrame(320, 240, 8));
    cv::Mat blurred;
    cv::GaussianBlur(sharp, blurred, cv::Size(0, 0), 6);
    EXPECT_GT(VideoFrameExtractor::sharpness(sharp), 1000);
    EXPECT_LT(VideoFrameExtractor::sharpness(blurred), 50);
}

TEST(VideoFrameExtractor, TotalEstimateIsTruncatedAndFinite) {
    EXPECT_EQ(VideoFrameExtractor::totalEstimate(4.0, 25.0), 100);
    EXPECT_EQ(VideoFrameExtractor::totalEstimate(3.99, 29.97), 119);
    EXPECT_EQ(VideoFrameExtractor::totalEstimate(std::numeric_limits<double>::infinity(), 30), 0);
    EXPECT_EQ(VideoFrameExtractor::totalEstimate(std::nan(""), 30), 0);
    EXPECT_EQ(VideoFrameExtractor::totalEstimate(1e300, 30), 0);
    EXPECT_EQ(VideoFrameExtractor::totalEstimate(0, 30), 0);
    EXPECT_EQ(VideoFrameExtractor::frameFileName(12), "frame_000012.jpg");
    EXPECT_EQ(VideoFrameExtractor::frameFileName(1234567), "frame_1234567.jpg");
}

TEST(VideoFrameExtractor, EveryTenthFrameWithoutTheFilter) {
    TempDir folder;
    mixedVideo().write(folder / "walk.mp4");
    ExtractionRecorder recorder;
    const auto kept = VideoFrameExtractor::extractFrames(folder / "walk.mp4", folder / "work/images", 10, false, 0,
                                                         recorder.progress());
    EXPECT_EQ(kept, 10);
    EXPECT_THAT(recorder.fileNames(folder / "work/images"),
                ::testing::ElementsAre("frame_000000.jpg", "frame_000001.jpg", "frame_000002.jpg", "frame_000003.jpg",
                                       "frame_000004.jpg", "frame_000005.jpg", "frame_000006.jpg", "frame_000007.jpg",
                                       "frame_000008.jpg", "frame_000009.jpg"));
    ASSERT_EQ(recorder.lines.size(), 10u);
    EXPECT_EQ(recorder.lines.front(), "Frame 0/100 — 1 extracted");
    EXPECT_EQ(recorder.lines.back(), "Frame 90/100 — 10 extracted");
    EXPECT_EQ(recorder.progressValues.back(), (std::pair<std::int64_t, std::int64_t>(90, 100)));
    // frame_000001.jpg is source frame 10, the flat grey one.
    const cv::Mat second = cv::imread((folder / "work/images/frame_000001.jpg").string());
    ASSERT_EQ(second.size(), cv::Size(64, 48));
    EXPECT_NEAR(cv::mean(second)[1], 120, 3);
    EXPECT_LT(VideoFrameExtractor::sharpness(toBGRA(second)), 1.0);
}

TEST(VideoFrameExtractor, TheFilterSkipsBlurryFramesAndKeepsTheNumbersContinuous) {
    TempDir folder;
    mixedVideo().write(folder / "walk.mp4");
    ExtractionRecorder recorder;
    const auto kept =
        VideoFrameExtractor::extractFrames(folder / "walk.mp4", folder / "images", 10, true, 50.0, recorder.progress());
    EXPECT_EQ(kept, 5);
    EXPECT_THAT(recorder.fileNames(folder / "images"),
                ::testing::ElementsAre("frame_000000.jpg", "frame_000001.jpg", "frame_000002.jpg", "frame_000003.jpg",
                                       "frame_000004.jpg"));
    EXPECT_THAT(
        recorder.lines,
        ::testing::ElementsAre("Frame 0/100 — 1 kept, 0 blurry skipped", "Frame 20/100 — 2 kept, 1 blurry skipped",
                               "Frame 40/100 — 3 kept, 2 blurry skipped", "Frame 60/100 — 4 kept, 3 blurry skipped",
                               "Frame 80/100 — 5 kept, 4 blurry skipped", "Frame 90/100 — 5 kept, 5 blurry skipped"));
    for (int i = 0; i < 5; ++i) {
        const cv::Mat frame = cv::imread((folder / "images" / VideoFrameExtractor::frameFileName(i)).string());
        EXPECT_GT(VideoFrameExtractor::sharpness(toBGRA(frame)), 50.0) << "file " << i;
    }
}

TEST(VideoFrameExtractor, ThresholdZeroKeepsEvenFlatFrames) {
    TempDir folder;
    mixedVideo(30).write(folder / "walk.avi");
    EXPECT_EQ(VideoFrameExtractor::extractFrames(folder / "walk.avi", folder / "images", 10, true, 0.0), 3);
    EXPECT_EQ(VideoFrameExtractor::extractFrames(folder / "walk.avi", folder / "every", 1, false, 0.0), 30);
    EXPECT_EQ(VideoFrameExtractor::extractFrames(folder / "walk.avi", folder / "short", 1000, false, 0.0), 1)
        << "shorter than one stride: frame 0 only";
}

TEST(VideoFrameExtractor, WhatCannotBeReadIsAnError) {
    TempDir folder;
    mixedVideo(10).write(folder / "walk.mp4");
    try {
        VideoFrameExtractor::extractFrames(folder / "walk.mp4", folder / "images", 0, false, 0);
        FAIL();
    } catch (const VideoFrameExtractor::FrameExtractionError& error) {
        EXPECT_EQ(error.kind(), Kind::invalidStride);
    }
    tessaron::testing::writeSilentWAV(folder / "voice.wav", 4000);
    try {
        VideoFrameExtractor::extractFrames(folder / "voice.wav", folder / "images", 1, false, 0);
        FAIL();
    } catch (const VideoFrameExtractor::FrameExtractionError& error) {
        EXPECT_EQ(error.kind(), Kind::noVideoTrack);
        EXPECT_STREQ(error.what(), "No video track found in the provided file.");
    }
    EXPECT_FALSE(std::filesystem::exists(folder / "images")) << "nothing is created for a file that is no video";
    tessaron::testing::writeTextFile(folder / "blocked", "a file where the folder should go");
    EXPECT_THROW(VideoFrameExtractor::extractFrames(folder / "walk.mp4", folder / "blocked/images", 1, false, 0),
                 std::filesystem::filesystem_error);
}

TEST(VideoFrameExtractor, AVideoThatBreaksHalfwayFailsAndKeepsWhatWasWritten) {
    TempDir folder;
    TestVideo video = mixedVideo(40);
    video.frame = [](int i) { return tessaron::testing::checkerFrame(64, 48, 2 + i % 5); };
    video.write(folder / "broken.avi");
    tessaron::testing::scribbleOver(folder / "broken.avi", 0.5);
    ExtractionRecorder recorder;
    try {
        VideoFrameExtractor::extractFrames(folder / "broken.avi", folder / "images", 1, false, 0, recorder.progress());
        FAIL() << "a damaged video is no clean end";
    } catch (const VideoFrameExtractor::FrameExtractionError& error) {
        EXPECT_EQ(error.kind(), Kind::unreadableToEnd);
        EXPECT_STREQ(error.what(), "The video could not be read to the end.");
    }
    const auto names = recorder.fileNames(folder / "images");
    EXPECT_GT(names.size(), 5u);
    EXPECT_EQ(names.size(), recorder.lines.size());
    recorder.expectCompleteFrames(folder / "images", names.size());
}

TEST(VideoFrameExtractor, CancellationStopsBeforeTheNextFrameAndLeavesCompleteFiles) {
    TempDir folder;
    mixedVideo().write(folder / "walk.mp4");
    ExtractionRecorder recorder;
    recorder.cancelAtPoll = 35;  // polled with frame index 34: frames 0, 10, 20 and 30 are written
    EXPECT_THROW(
        VideoFrameExtractor::extractFrames(folder / "walk.mp4", folder / "images", 10, false, 0, recorder.progress()),
        tessaron::core::CancellationError);
    EXPECT_EQ(recorder.fileNames(folder / "images").size(), 4u);
    recorder.expectCompleteFrames(folder / "images", 4);
    EXPECT_EQ(recorder.lines.back(), "Frame 30/100 — 4 extracted");
}
