#pragma once

#include <filesystem>
#include <functional>
#include <set>

#include <opencv2/core/mat.hpp>

namespace tessaron::testing {

// A video the tests encode themselves with FFmpeg's libraries. The container
// follows the file's extension (.mp4, .avi, .mkv, .mov).
struct TestVideo {
    int width = 64;
    int height = 48;
    int frameCount = 10;
    int framesPerSecond = 25;
    // MJPEG at the best quality keeps pixel probes close; "mpeg4" is the
    // alternative.
    std::string codec = "mjpeg";
    int rotationDegrees = 0;  // clockwise display rotation written into the stream
    bool moovFirst = true;    // MP4/MOV: index before the samples
    // Frames written as empty chunks, as capture programs mark dropped
    // frames in AVI files (intra-only codecs).
    std::set<int> droppedFrames;

    // Frame i as 8-bit BGR of width × height.
    std::function<cv::Mat(int index)> frame;

    void write(const std::filesystem::path& file) const;
};

// A uniform BGR frame.
cv::Mat uniformFrame(int width, int height, int grey);
// A high-contrast checkerboard of `cell`-pixel squares, sharp edges.
cv::Mat checkerFrame(int width, int height, int cell);

// Overwrites the bytes from `fraction` of the file to its end with a fixed
// pseudo-random pattern; the size stays.
void scribbleOver(const std::filesystem::path& file, double fraction);
// A mono 16-bit PCM WAV of silence: a media file without a video stream.
void writeSilentWAV(const std::filesystem::path& file, int samples);
// Cuts the file to `fraction` of its size.
void truncateTo(const std::filesystem::path& file, double fraction);

}  // namespace tessaron::testing
