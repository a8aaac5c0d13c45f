#include "input/VideoSource.hpp"

#include <gtest/gtest.h>

#include <opencv2/core.hpp>

#include "TestVideo.hpp"
#include "support/TempDir.hpp"

using tessaron::input::VideoSource;
using tessaron::testing::TempDir;
using tessaron::testing::TestVideo;

namespace {

// Frame i is uniform grey 10·i, so a decoded frame names its own index.
TestVideo countingVideo(int frames, int width = 64, int height = 48) {
    TestVideo video;
    video.width = width;
    video.height = height;
    video.frameCount = frames;
    video.frame = [=](int i) { return tessaron::testing::uniformFrame(width, height, 10 * i + 5); };
    return video;
}

int readAll(VideoSource& source, std::vector<int>* greys = nullptr) {
    cv::Mat frame;
    int count = 0;
    while (source.readFrame(frame)) {
        EXPECT_EQ(frame.type(), CV_8UC4);
        if (greys) greys->push_back(frame.at<cv::Vec4b>(frame.rows / 2, frame.cols / 2)[1]);
        ++count;
    }
    return count;
}

}  // namespace

class VideoSourceContainers : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(VideoSourceContainers, ReadsEveryFrameInOrderThenEnds) {
    TempDir folder;
    TestVideo video = countingVideo(20);
    video.codec = GetParam().second;
    video.write(folder / ("clip" + GetParam().first));

    VideoSource source(folder / ("clip" + GetParam().first));
    EXPECT_EQ(source.naturalWidth(), 64);
    EXPECT_EQ(source.naturalHeight(), 48);
    EXPECT_NEAR(source.nominalFrameRate(), 25.0, 1e-9);
    EXPECT_NEAR(source.durationSeconds(), 0.8, 0.05);
    std::vector<int> greys;
    EXPECT_EQ(readAll(source, &greys), 20);
    for (int i = 0; i < 20; ++i) EXPECT_NEAR(greys[std::size_t(i)], 10 * i + 5, 3) << "frame " << i;
    cv::Mat frame;
    EXPECT_FALSE(source.readFrame(frame)) << "the end stays the end";
}

INSTANTIATE_TEST_SUITE_P(Formats, VideoSourceContainers,
                         ::testing::Values(std::pair{".mp4", "mjpeg"}, std::pair{".avi", "mjpeg"},
                                           std::pair{".mkv", "mpeg4"}, std::pair{".mp4", "mpeg4"}));

class VideoSourceDamage : public ::testing::TestWithParam<std::tuple<std::string, std::string, bool>> {};

TEST_P(VideoSourceDamage, DamagedSecondHalfIsAReadErrorNotAnEnd) {
    const auto& [extension, codec, truncate] = GetParam();
    TempDir folder;
    TestVideo video = countingVideo(40, 160, 120);
    video.codec = codec;
    video.frame = [](int i) { return tessaron::testing::checkerFrame(160, 120, 4 + i % 5); };
    const auto file = folder / ("clip" + extension);
    video.write(file);
    if (truncate)
        tessaron::testing::truncateTo(file, 0.6);
    else
        tessaron::testing::scribbleOver(file, 0.5);

    VideoSource source(file);
    cv::Mat frame;
    int frames = 0;
    try {
        while (source.readFrame(frame)) ++frames;
        FAIL() << "reached a clean end after " << frames << " frames";
    } catch (const VideoSource::VideoError& error) {
        EXPECT_EQ(error.kind(), VideoSource::ErrorKind::readFailed);
        EXPECT_STREQ(error.what(), "The video could not be read to the end.");
    }
    EXPECT_GT(frames, 5) << "the intact first half decodes";
    EXPECT_LT(frames, 40);
}

INSTANTIATE_TEST_SUITE_P(Damage, VideoSourceDamage,
                         ::testing::Values(std::tuple{".mp4", "mjpeg", false}, std::tuple{".mp4", "mjpeg", true},
                                           std::tuple{".avi", "mjpeg", false}, std::tuple{".avi", "mjpeg", true},
                                           std::tuple{".mp4", "mpeg4", false}, std::tuple{".mp4", "mpeg4", true},
                                           std::tuple{".mkv", "mpeg4", false}));

TEST(VideoSource, DroppedFramesInAnAVIAreNoDamage) {
    TempDir folder;
    TestVideo video = countingVideo(12);
    video.droppedFrames = {4, 5, 9};
    video.write(folder / "capture.avi");
    VideoSource source(folder / "capture.avi");
    std::vector<int> greys;
    EXPECT_EQ(readAll(source, &greys), 9);
    EXPECT_NEAR(greys[4], 65, 3) << "frame 6 follows frame 3";
}

TEST(VideoSource, RotationIsReportedButNotAppliedToTheNaturalSize) {
    TempDir folder;
    TestVideo video = countingVideo(30);
    video.rotationDegrees = 90;
    video.frame = [](int i) {
        cv::Mat image = tessaron::testing::uniformFrame(64, 48, 10 * i + 5);
        image(cv::Rect(0, 0, 16, 12)).setTo(cv::Scalar(0, 0, 255));  // red in the top left corner
        return image;
    };
    video.write(folder / "portrait.mp4");

    VideoSource source(folder / "portrait.mp4");
    EXPECT_EQ(source.naturalWidth(), 64);
    EXPECT_EQ(source.naturalHeight(), 48);
    EXPECT_EQ(source.rotationDegrees(), 90);

    cv::Mat frame = source.frameAt(0.2, 1.0);
    ASSERT_EQ(frame.cols, 48);
    ASSERT_EQ(frame.rows, 64);
    // Turned a quarter clockwise, the top left corner moves to the top right.
    const cv::Vec4b topRight = frame.at<cv::Vec4b>(4, 44);
    EXPECT_GT(topRight[2], 200);
    EXPECT_LT(topRight[1], 60);
    // 0.2 s at 25 frames per second is frame 5.
    EXPECT_NEAR(frame.at<cv::Vec4b>(40, 24)[1], 55, 3);
}

TEST(VideoSource, FrameAtFindsTheFirstFrameAtOrAfterTheTime) {
    TempDir folder;
    countingVideo(25).write(folder / "clip.mp4");
    {
        VideoSource source(folder / "clip.mp4");
        EXPECT_EQ(source.rotationDegrees(), 0);
        EXPECT_NEAR(source.frameAt(0.5, 1.0).at<cv::Vec4b>(10, 10)[1], 10 * 13 + 5, 3);  // 12.5 rounds up to 13
    }
    {
        VideoSource source(folder / "clip.mp4");
        EXPECT_NEAR(source.frameAt(0.0, 1.0).at<cv::Vec4b>(10, 10)[1], 5, 3);
    }
    VideoSource source(folder / "clip.mp4");
    try {
        source.frameAt(5.0, 1.0);
        FAIL() << "a time past the end has no frame";
    } catch (const VideoSource::VideoError& error) {
        EXPECT_EQ(error.kind(), VideoSource::ErrorKind::frameUnavailable);
    }
}

TEST(VideoSource, FilesWithoutVideoAreRefusedAtOpening) {
    TempDir folder;
    tessaron::testing::writeTextFile(folder / "notes.mp4", "not a video at all, just some words\n");
    tessaron::testing::writeSilentWAV(folder / "silence.wav", 8000);
    try {
        VideoSource source(folder / "notes.mp4");
        FAIL();
    } catch (const VideoSource::VideoError& error) {
        EXPECT_EQ(error.kind(), VideoSource::ErrorKind::openFailed);
        EXPECT_NE(std::string(error.what()).find("notes.mp4"), std::string::npos);
    }
    try {
        VideoSource source(folder / "silence.wav");
        FAIL();
    } catch (const VideoSource::VideoError& error) {
        EXPECT_EQ(error.kind(), VideoSource::ErrorKind::noVideoTrack);
        EXPECT_STREQ(error.what(), "No video track found in the provided file.");
    }
    EXPECT_THROW(VideoSource(folder / "missing.mp4"), VideoSource::VideoError);
}
