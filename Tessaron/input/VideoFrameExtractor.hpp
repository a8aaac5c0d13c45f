#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "core/Error.hpp"
#include "input/CropLayout.hpp"
#include "input/PersonMasker.hpp"

namespace tessaron::input {

// Turns a video into numbered JPEG training images, frame_000000.jpg on,
// numbered without gaps in the order frames are kept: the plain path writes
// whole frames into one folder, the 360° path cuts each kept equirectangular
// frame into the crops of a rig, one folder per crop camera, with optional
// person masks. Both keep every stride-th decoded frame and skip frames whose
// sharpness score is below the threshold when the filter is on.
//
// Both calls block the calling thread (the run's worker) until the video is
// done, an error is thrown or cancellation is seen; files written before an
// early end stay, and every file on disk is complete.
class VideoFrameExtractor {
public:
    enum class FrameExtractionErrorKind { noVideoTrack, jpegEncodeFailed, unreadableToEnd, invalidStride };
    class FrameExtractionError : public core::ErrorOf<FrameExtractionErrorKind> {
    public:
        using ErrorOf::ErrorOf;
    };

    // How an extraction reports and is stopped. Every member may be empty.
    // The callbacks run on the extracting thread.
    struct Progress {
        // (index of the current decoded frame, estimated total frames)
        std::function<void(std::int64_t frameIndex, std::int64_t totalEstimate)> onExtractionProgress;
        // One progress line for the run log's extraction step.
        std::function<void(const std::string& text)> onLog;
        // Polled once per decoded frame; true ends the run with CancellationError.
        std::function<bool()> isCancelled;
        // Each frame the blur filter refuses, with the count refused so far.
        std::function<void(std::int64_t blurryCount)> onBlurrySkipped;
    };

    // What the live conversion view shows of the newest rig frame.
    struct Conversion360Preview {
        cv::Mat equirect;            // the source frame, at most 1280 pixels wide
        std::vector<cv::Mat> crops;  // full size, in crop order
        std::int64_t sourceFrameIndex = 0;
        std::int64_t extractedFrames = 0;  // rig frames done, this one included
    };
    using PreviewCallback = std::function<void(const Conversion360Preview&)>;

    // Returns the number of JPEG files written into `outputDir` (created when
    // missing). `stride` must be at least 1.
    static std::int64_t extractFrames(const std::filesystem::path& videoURL, const std::filesystem::path& outputDir,
                                      std::int64_t stride, bool sharpnessEnabled, double sharpnessThreshold,
                                      const Progress& progress = {});

    // Returns the number of rig frames: each wrote one crop per camera into
    // outputDir/cam<id>/frame_%06d.jpg and, with a masker and a mask folder,
    // one mask per crop into maskDir/cam<id>/<image file name>.png. Masking
    // failures keep an all-keep mask and are reported in one warning line.
    static std::int64_t extract360Frames(const std::filesystem::path& videoURL, const std::filesystem::path& outputDir,
                                         const CropLayout& cropLayout, std::int64_t stride, bool sharpnessEnabled,
                                         double sharpnessThreshold, PersonMasker* masker,
                                         const std::optional<std::filesystem::path>& maskDir,
                                         const PreviewCallback& preview, const Progress& progress = {});

    // The variance of the 3×3 Laplacian over a luma plane sampled at every
    // 4th column of every 4th row of a BGRA frame; 0 when it cannot be
    // computed (not 8-bit BGRA, under 4 × 4 pixels).
    static double sharpness(const cv::Mat& bgra);

    // JPEG at quality 95 of an 8-bit grey, BGR or BGRA image; throws
    // FrameExtractionError(jpegEncodeFailed).
    static std::string encodeJPEG(const cv::Mat& image);
    // Encodes and writes one image; a write error is thrown.
    static void writeJPEG(const cv::Mat& image, const std::filesystem::path& url);

    // Int(duration × frame rate), truncated; 0 when not finite or out of range.
    static std::int64_t totalEstimate(double durationSeconds, double frameRate);
    // "frame_000012.jpg"
    static std::string frameFileName(std::int64_t number);
};

}  // namespace tessaron::input
