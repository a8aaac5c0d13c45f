#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>

#include <opencv2/core/mat.hpp>

#include "core/Error.hpp"

namespace tessaron::input {

// One video file decoded with FFmpeg's libraries, a frame at a time, as
// 8-bit BGRA. Unlike OpenCV's capture it tells the end of the stream from a
// read or decode error, which the frame extractors must report.
//
// Not thread-safe: one reader per instance.
class VideoSource {
public:
    enum class ErrorKind { openFailed, noVideoTrack, decoderUnavailable, readFailed, frameUnavailable };
    class VideoError : public core::ErrorOf<ErrorKind> {
    public:
        using ErrorOf::ErrorOf;
    };

    // Opens the file and its first video stream's decoder; throws VideoError.
    explicit VideoSource(const std::filesystem::path& path);
    ~VideoSource();
    VideoSource(const VideoSource&) = delete;
    VideoSource& operator=(const VideoSource&) = delete;

    // The stream's nominal (average) frame rate; 0 when the file gives none.
    double nominalFrameRate() const;
    // The container's duration in seconds (the stream's when the container
    // has none); 0 when unknown.
    double durationSeconds() const;
    // The coded size, before any display rotation.
    int naturalWidth() const;
    int naturalHeight() const;
    // Clockwise display rotation, a multiple of 90 in [0, 360).
    int rotationDegrees() const;

    // The next decoded frame as CV_8UC4 BGRA in `bgra` (a fresh buffer each
    // call); false at the end of the stream. A demuxing or decoding error, or
    // a stream that ends before its own index says it should, throws
    // VideoError(readFailed).
    bool readFrame(cv::Mat& bgra);

    // The first frame shown at or after `seconds` and no later than
    // `seconds + toleranceAfter`, as BGRA with the display rotation applied.
    // Seeks, so it is meant for a fresh source. Throws VideoError.
    cv::Mat frameAt(double seconds, double toleranceAfter);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace tessaron::input
