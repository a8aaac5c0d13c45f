#include "input/VideoFrameExtractor.hpp"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>
#include <memory>
#include <mutex>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/AtomicFile.hpp"
#include "input/EquirectProjector.hpp"
#include "input/VideoSource.hpp"

namespace tessaron::input {

namespace {

using FrameExtractionError = VideoFrameExtractor::FrameExtractionError;
using ErrorKind = VideoFrameExtractor::FrameExtractionErrorKind;
using Progress = VideoFrameExtractor::Progress;

struct OpenedVideo {
    std::unique_ptr<VideoSource> source;
    std::int64_t totalEstimate = 0;
};

OpenedVideo openVideo(const std::filesystem::path& videoURL, std::int64_t stride) {
    if (stride < 1)
        throw FrameExtractionError(ErrorKind::invalidStride,
                                   "The frame stride must be at least 1 (got " + std::to_string(stride) + ").");
    OpenedVideo video;
    try {
        video.source = std::make_unique<VideoSource>(videoURL);
    } catch (const VideoSource::VideoError& error) {
        if (error.kind() == VideoSource::ErrorKind::noVideoTrack)
            throw FrameExtractionError(ErrorKind::noVideoTrack, "No video track found in the provided file.");
        throw;
    }
    video.totalEstimate =
        VideoFrameExtractor::totalEstimate(video.source->durationSeconds(), video.source->nominalFrameRate());
    return video;
}

void throwIfCancelled(const Progress& progress) {
    if (progress.isCancelled && progress.isCancelled()) throw core::CancellationError();
}

void report(const Progress& progress, std::int64_t frameIndex, std::int64_t totalEstimate, const std::string& counts) {
    if (progress.onExtractionProgress) progress.onExtractionProgress(frameIndex, totalEstimate);
    if (progress.onLog)
        progress.onLog("Frame " + std::to_string(frameIndex) + "/" + std::to_string(totalEstimate) + " — " + counts);
}

// The selection both paths share: every decoded frame is polled for
// cancellation; every stride-th one is scored when the filter is on; blurry
// ones are counted (every 5th reported) and the rest handed to `keep`.
void forEachSelectedFrame(OpenedVideo& video, std::int64_t stride, bool sharpnessEnabled, double sharpnessThreshold,
                          const Progress& progress, const std::function<void(std::int64_t frameIndex)>& reportBlurry,
                          const std::function<void(const cv::Mat& bgra, std::int64_t frameIndex)>& keep,
                          std::int64_t& blurryCount) {
    cv::Mat frame;
    for (std::int64_t frameIndex = 0;; ++frameIndex) {
        try {
            if (!video.source->readFrame(frame)) return;
        } catch (const VideoSource::VideoError& error) {
            if (error.kind() != VideoSource::ErrorKind::readFailed) throw;
            throw FrameExtractionError(ErrorKind::unreadableToEnd, "The video could not be read to the end.");
        }
        throwIfCancelled(progress);
        if (frameIndex % stride != 0) continue;
        if (sharpnessEnabled && VideoFrameExtractor::sharpness(frame) < sharpnessThreshold) {
            ++blurryCount;
            if (progress.onBlurrySkipped) progress.onBlurrySkipped(blurryCount);
            if (blurryCount % 5 == 0) reportBlurry(frameIndex);
            continue;
        }
        keep(frame, frameIndex);
    }
}

// Runs `work` for each index on all cores and waits for all of them; the
// first failure to arrive is thrown once every item has ended.
void forAllInParallel(std::size_t count, const std::function<void(std::size_t)>& work) {
    std::mutex failureLock;
    std::exception_ptr firstFailure;
    cv::parallel_for_(cv::Range(0, int(count)), [&](const cv::Range& range) {
        for (int i = range.start; i < range.end; ++i) {
            try {
                work(std::size_t(i));
            } catch (...) {
                std::lock_guard<std::mutex> guard(failureLock);
                if (!firstFailure) firstFailure = std::current_exception();
            }
        }
    });
    if (firstFailure) std::rethrow_exception(firstFailure);
}

std::filesystem::path cameraFolder(const std::filesystem::path& base, const CropSpec& crop) {
    return base / ("cam" + std::to_string(crop.id));
}

}  // namespace

std::int64_t VideoFrameExtractor::totalEstimate(double durationSeconds, double frameRate) {
    const double product = durationSeconds * frameRate;
    // 2^63 as a double; anything at or above it does not fit.
    if (!std::isfinite(product) || product >= 9223372036854775808.0 || product <= -9223372036854775808.0) return 0;
    return std::int64_t(product);
}

std::string VideoFrameExtractor::frameFileName(std::int64_t number) {
    char name[40];
    std::snprintf(name, sizeof name, "frame_%06lld.jpg", static_cast<long long>(number));
    return name;
}

double VideoFrameExtractor::sharpness(const cv::Mat& bgra) {
    if (bgra.empty() || bgra.type() != CV_8UC4) return 0;
    const int width = bgra.cols / 4, height = bgra.rows / 4;
    if (width < 1 || height < 1) return 0;

    cv::Mat luma(height, width, CV_8UC1);
    for (int y = 0; y < height; ++y) {
        const uchar* source = bgra.ptr<uchar>(4 * y);
        uchar* target = luma.ptr<uchar>(y);
        for (int x = 0; x < width; ++x) {
            const uchar* pixel = source + 16 * x;
            target[x] = uchar((77 * pixel[2] + 150 * pixel[1] + 29 * pixel[0]) >> 8);
        }
    }
    cv::Scalar mean, deviation;
    try {
        // Kernel (0 1 0; 1 −4 1; 0 1 0), undivided, saturated to 0…255,
        // edges repeated.
        cv::Mat laplacian;
        cv::Laplacian(luma, laplacian, CV_8U, 1, 1, 0, cv::BORDER_REPLICATE);
        cv::meanStdDev(laplacian, mean, deviation);
    } catch (const cv::Exception&) {
        return 0;  // an unscorable frame counts as blurry under any positive threshold
    }
    const float meanValue = float(mean[0]);
    const float meanOfSquares = float(deviation[0] * deviation[0] + mean[0] * mean[0]);
    return double(meanOfSquares - meanValue * meanValue);
}

std::string VideoFrameExtractor::encodeJPEG(const cv::Mat& image) {
    std::vector<uchar> encoded;
    bool encodedOK = false;
    try {
        encodedOK = !image.empty() && cv::imencode(".jpg", image, encoded, {cv::IMWRITE_JPEG_QUALITY, 95});
    } catch (const cv::Exception&) {
        encodedOK = false;
    }
    if (!encodedOK || encoded.empty())
        throw FrameExtractionError(ErrorKind::jpegEncodeFailed, "Failed to encode an extracted frame as JPEG.");
    return std::string(encoded.begin(), encoded.end());
}

void VideoFrameExtractor::writeJPEG(const cv::Mat& image, const std::filesystem::path& url) {
    core::AtomicFile::write(url, encodeJPEG(image));
}

std::int64_t VideoFrameExtractor::extractFrames(const std::filesystem::path& videoURL,
                                                const std::filesystem::path& outputDir, std::int64_t stride,
                                                bool sharpnessEnabled, double sharpnessThreshold,
                                                const Progress& progress) {
    OpenedVideo video = openVideo(videoURL, stride);
    std::filesystem::create_directories(outputDir);

    std::int64_t keptCount = 0, blurryCount = 0;
    auto counts = [&] {
        return sharpnessEnabled
                   ? std::to_string(keptCount) + " kept, " + std::to_string(blurryCount) + " blurry skipped"
                   : std::to_string(keptCount) + " extracted";
    };
    forEachSelectedFrame(
        video, stride, sharpnessEnabled, sharpnessThreshold, progress,
        [&](std::int64_t frameIndex) { report(progress, frameIndex, video.totalEstimate, counts()); },
        [&](const cv::Mat& frame, std::int64_t frameIndex) {
            writeJPEG(frame, outputDir / frameFileName(keptCount));
            ++keptCount;
            report(progress, frameIndex, video.totalEstimate, counts());
        },
        blurryCount);
    return keptCount;
}

std::int64_t VideoFrameExtractor::extract360Frames(const std::filesystem::path& videoURL,
                                                   const std::filesystem::path& outputDir, const CropLayout& cropLayout,
                                                   std::int64_t stride, bool sharpnessEnabled,
                                                   double sharpnessThreshold, PersonMasker* masker,
                                                   const std::optional<std::filesystem::path>& maskDir,
                                                   const PreviewCallback& preview, const Progress& progress) {
    OpenedVideo video = openVideo(videoURL, stride);
    EquirectProjector projector(cropLayout);
    const std::vector<CropSpec>& crops = cropLayout.crops;
    for (const CropSpec& crop : crops) {
        std::filesystem::create_directories(cameraFolder(outputDir, crop));
        if (maskDir) std::filesystem::create_directories(cameraFolder(*maskDir, crop));
    }

    const bool masking = masker != nullptr && maskDir.has_value() && !crops.empty();
    // One PNG of an all-keep mask, written for every crop without people.
    std::optional<std::string> fallbackMask;
    if (masking) {
        const int size = crops.front().size;
        const cv::Mat allKeep = PersonMasker::makeMaskImage(
            std::vector<std::uint8_t>(std::size_t(std::max(size, 0)) * std::size_t(std::max(size, 0)), 255), size,
            size);
        try {
            fallbackMask = PersonMasker::encodePNG(allKeep);
        } catch (const PersonMasker::MaskerError&) {
            fallbackMask.reset();  // each empty mask is then encoded on its own
        }
        if (progress.onLog) progress.onLog("Person segmenter: " + masker->segmenterName());
    }

    std::int64_t rigFrameCount = 0, blurryCount = 0, maskFailures = 0, maskedImages = 0;
    auto counts = [&] {
        return std::to_string(rigFrameCount) + " rig frames (" +
               std::to_string(rigFrameCount * std::int64_t(crops.size())) + " images), " + std::to_string(blurryCount) +
               " blurry skipped";
    };

    auto writeMask = [&](const CropSpec& crop, const cv::Mat& image, const std::filesystem::path& maskFile) {
        ++maskedImages;
        try {
            PersonMasker::MaskResult result;
            switch (masker->mode) {
                case PersonMaskMode::off:
                    result = {cv::Mat(image.rows, image.cols, CV_8UC1, cv::Scalar(255)), false};
                    break;
                case PersonMaskMode::allPeople: result = masker->maskAllPeople(image); break;
                case PersonMaskMode::operatorOnly: result = masker->maskOperator(image, crop); break;
            }
            if (!result.peopleFound && fallbackMask)
                core::AtomicFile::write(maskFile, *fallbackMask);
            else
                PersonMasker::writePNG(result.mask, maskFile);
            return;
        } catch (const std::exception&) {
            ++maskFailures;  // counted and reported once; the crop keeps an all-keep mask
        }
        if (fallbackMask)
            core::AtomicFile::write(maskFile, *fallbackMask);
        else
            PersonMasker::writePNG(cv::Mat(crop.size, crop.size, CV_8UC1, cv::Scalar(255)), maskFile);
    };

    auto lastPreview = std::chrono::steady_clock::time_point::min();
    auto keepFrame = [&](const cv::Mat& frame, std::int64_t frameIndex) {
        const std::vector<cv::Mat> images = projector.project(frame);
        const std::string fileName = frameFileName(rigFrameCount);
        forAllInParallel(images.size(),
                         [&](std::size_t i) { writeJPEG(images[i], cameraFolder(outputDir, crops[i]) / fileName); });
        if (masking)
            for (std::size_t i = 0; i < images.size(); ++i)
                writeMask(crops[i], images[i], cameraFolder(*maskDir, crops[i]) / (fileName + ".png"));
        ++rigFrameCount;
        report(progress, frameIndex, video.totalEstimate, counts());

        if (!preview) return;
        const auto now = std::chrono::steady_clock::now();
        if (lastPreview != std::chrono::steady_clock::time_point::min() &&
            now - lastPreview <= std::chrono::milliseconds(500))
            return;
        Conversion360Preview record;
        const double scale = std::min(1280.0 / frame.cols, 1.0);
        if (scale < 1)
            cv::resize(frame, record.equirect, cv::Size(), scale, scale, cv::INTER_AREA);
        else
            record.equirect = frame.clone();
        record.crops = images;
        record.sourceFrameIndex = frameIndex;
        record.extractedFrames = rigFrameCount;
        lastPreview = now;
        preview(record);
    };

    auto warnAboutMasks = [&] {
        if (maskFailures > 0 && progress.onLog)
            progress.onLog("⚠ Person masking failed for " + std::to_string(maskFailures) + " of " +
                           std::to_string(maskedImages) + " crop images; they were given all-keep masks.");
    };
    try {
        forEachSelectedFrame(
            video, stride, sharpnessEnabled, sharpnessThreshold, progress,
            [&](std::int64_t frameIndex) { report(progress, frameIndex, video.totalEstimate, counts()); }, keepFrame,
            blurryCount);
    } catch (...) {
        warnAboutMasks();  // the count still belongs in the log when the run ends early
        throw;
    }
    warnAboutMasks();
    return rigFrameCount;
}

}  // namespace tessaron::input
