#include "viewmodel/Inspector360Loader.hpp"

#include <algorithm>
#include <cmath>
#include <exception>

#include <opencv2/imgproc.hpp>

#include "core/Error.hpp"
#include "core/ParallelFor.hpp"
#include "input/PersonMasker.hpp"
#include "input/VideoSource.hpp"

namespace tessaron::viewmodel {

namespace {

// The crops of a run are those of the run's layout, whatever their size.
constexpr double fieldOfViewDegrees = 100;
constexpr int samplesPerEdge = 24;
// The frame is taken at 0.2 s, or within the second after it.
constexpr double frameSeconds = 0.2;
constexpr double frameToleranceSeconds = 1.0;

void throwIfStopped(const std::stop_token& stop) {
    if (stop.stop_requested()) throw core::CancellationError();
}

// `image` scaled down (never up) to at most `width` pixels wide.
cv::Mat narrowedTo(const cv::Mat& image, int width) {
    if (image.cols <= width) return image;
    const int height = std::max(1, int(std::lround(double(image.rows) * width / image.cols)));
    cv::Mat small;
    cv::resize(image, small, cv::Size(width, height), 0, 0, cv::INTER_AREA);
    return small;
}

// A deep copy of an 8-bit BGRA picture.
QImage imageOf(const cv::Mat& bgra) {
    // BGRA bytes are ARGB32 words on a little-endian machine.
    return QImage(bgra.data, bgra.cols, bgra.rows, int(bgra.step), QImage::Format_ARGB32).copy();
}

}  // namespace

Inspector360Loader::Inspector360Loader(QObject* parent) : Inspector360Loader(Options{}, parent) {}

Inspector360Loader::Inspector360Loader(Options options, QObject* parent) : QObject(parent), options_(std::move(options)) {}

Inspector360Loader::~Inspector360Loader() {
    mainThread_.invalidate();
    for (auto& [generation, run] : runs_) run.request_stop();
    runs_.clear();  // joins
}

void Inspector360Loader::load(const Request& request) {
    cancel();
    const uint64_t generation = generation_;
    runs_.emplace(generation, std::jthread([this, request, options = options_, generation,
                                            deliver = mainThread_.executor()](std::stop_token stop) {
                      // Only the report leaves this thread, posted to the GUI thread.
                      std::shared_ptr<const Inspector360Rendering> rendering;
                      QString error;
                      try {
                          rendering = std::make_shared<const Inspector360Rendering>(render(request, options, stop));
                      } catch (const core::CancellationError&) {
                          // Superseded: nobody waits for this run's result.
                      } catch (const std::exception& failure) {
                          error = QStringLiteral("Could not render crops: ") + QString::fromStdString(failure.what());
                      }
                      deliver([this, generation, rendering, error] {
                          if (generation == generation_) {
                              if (rendering)
                                  emit loaded(rendering);
                              else if (!error.isEmpty())
                                  emit failed(error);
                          }
                          runEnded(generation);
                      });
                  }));
}

void Inspector360Loader::cancel() {
    ++generation_;
    for (auto& [generation, run] : runs_) run.request_stop();
}

void Inspector360Loader::runEnded(uint64_t generation) {
    // The run posted this as its last act: the join is immediate.
    runs_.erase(generation);
}

Inspector360Rendering Inspector360Loader::render(const Request& request, const Options& options, std::stop_token stop) {
    input::VideoSource source(request.input);
    const cv::Mat frame = source.frameAt(frameSeconds, frameToleranceSeconds);
    throwIfStopped(stop);

    const input::CropLayout layout(request.preset, std::max(1, options.cropSize), fieldOfViewDegrees);
    // Projected from the frame at the crops' own pixel density: a finer
    // panorama would only alias, and costs time.
    const double focal = layout.crops.front().size / 2.0 / std::tan(fieldOfViewDegrees * M_PI / 360);
    const cv::Mat panorama = narrowedTo(frame, std::max(2, int(std::ceil(2 * M_PI * focal))));
    input::EquirectProjector projector(layout);
    const std::vector<cv::Mat> crops = projector.project(panorama);
    throwIfStopped(stop);

    Inspector360Rendering rendering;
    const cv::Mat shown = narrowedTo(frame, std::max(1, options.frameWidth));
    rendering.equirect = imageOf(shown);
    rendering.footprints = input::EquirectProjector::footprints(layout.crops, samplesPerEdge, shown.cols, shown.rows);
    rendering.crops.reserve(crops.size());
    for (const cv::Mat& crop : crops) rendering.crops.push_back(imageOf(crop));
    rendering.maskedCrops.assign(crops.size(), std::nullopt);

    if (request.maskMode != input::PersonMaskMode::off) {
        core::parallelFor(crops.size(), [&](size_t index) {
            if (stop.stop_requested()) return;
            input::PersonMasker masker(request.maskMode,
                                       options.makeSegmenter ? options.makeSegmenter() : nullptr);
            try {
                const input::PersonMasker::MaskResult result =
                    request.maskMode == input::PersonMaskMode::operatorOnly
                        ? masker.maskOperator(crops[index], index < layout.crops.size()
                                                                ? std::optional(layout.crops[index])
                                                                : std::nullopt)
                        : masker.maskAllPeople(crops[index]);
                if (result.peopleFound) rendering.maskedCrops[index] = tintPeople(crops[index], result.mask);
            } catch (const std::exception&) {
                // A crop that cannot be masked shows without a tint; the
                // others go on.
            }
        });
        throwIfStopped(stop);
    }
    return rendering;
}

QImage Inspector360Loader::tintPeople(const cv::Mat& crop, const cv::Mat& mask) {
    cv::Mat bgr;
    switch (crop.channels()) {
    case 1: cv::cvtColor(crop, bgr, cv::COLOR_GRAY2BGR); break;
    case 4: cv::cvtColor(crop, bgr, cv::COLOR_BGRA2BGR); break;
    default: bgr = crop.clone(); break;
    }
    cv::Mat people;
    cv::Mat sized = mask;
    if (sized.size() != bgr.size()) cv::resize(mask, sized, bgr.size(), 0, 0, cv::INTER_NEAREST);
    cv::compare(sized, 0, people, cv::CMP_EQ);
    cv::Mat tinted;
    cv::addWeighted(bgr, 0.5, cv::Mat(bgr.size(), CV_8UC3, cv::Scalar(0.2 * 255, 0.1 * 255, 255)), 0.5, 0, tinted);
    tinted.copyTo(bgr, people);
    cv::Mat rgb;
    cv::cvtColor(bgr, rgb, cv::COLOR_BGR2RGB);
    return QImage(rgb.data, rgb.cols, rgb.rows, int(rgb.step), QImage::Format_RGB888).copy();
}

}  // namespace tessaron::viewmodel
