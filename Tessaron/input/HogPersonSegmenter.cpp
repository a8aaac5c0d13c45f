#include "input/HogPersonSegmenter.hpp"

#include <algorithm>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "input/PersonMasker.hpp"

namespace tessaron::input {

namespace {

// Detections weaker than this are mostly texture that looks upright.
constexpr double minimumDetectionWeight = 0.5;
constexpr int grabCutIterations = 3;

cv::Mat toBGR(const cv::Mat& image) {
    cv::Mat bgr;
    if (image.type() == CV_8UC3)
        bgr = image;
    else if (image.type() == CV_8UC4)
        cv::cvtColor(image, bgr, cv::COLOR_BGRA2BGR);
    else if (image.type() == CV_8UC1)
        cv::cvtColor(image, bgr, cv::COLOR_GRAY2BGR);
    else
        throw PersonMasker::MaskerError(PersonMasker::MaskerErrorKind::imageConversionFailed,
                                        "The person mask image could not be made: not an 8-bit image");
    return bgr;
}

// GrabCut inside a margin around the detection; the detection box itself
// when GrabCut finds no foreground or cannot run.
cv::Mat silhouette(const cv::Mat& image, const cv::Rect& detection) {
    const cv::Rect bounds(0, 0, image.cols, image.rows);
    const cv::Rect person = detection & bounds;
    cv::Mat instance = cv::Mat::zeros(image.size(), CV_8UC1);
    if (person.empty()) return instance;

    const int marginX = person.width / 2, marginY = person.height / 4;
    const cv::Rect region =
        cv::Rect(person.x - marginX, person.y - marginY, person.width + 2 * marginX, person.height + 2 * marginY) &
        bounds;
    cv::Mat labels(region.size(), CV_8UC1, cv::Scalar(cv::GC_BGD));
    cv::Mat background, foreground;
    bool segmented = false;
    try {
        cv::grabCut(image(region), labels, person - region.tl(), background, foreground, grabCutIterations,
                    cv::GC_INIT_WITH_RECT);
        cv::Mat chosen = (labels == cv::GC_FGD) | (labels == cv::GC_PR_FGD);
        if (cv::countNonZero(chosen) > 0) {
            chosen.copyTo(instance(region));
            segmented = true;
        }
    } catch (const cv::Exception&) {
        // A region without background samples: the box below stands in.
    }
    if (!segmented) instance(person).setTo(255);
    return instance;
}

}  // namespace

HogPersonSegmenter::HogPersonSegmenter(int analysisSize) : analysisSize_(std::max(analysisSize, 128)) {
    detector_.setSVMDetector(cv::HOGDescriptor::getDefaultPeopleDetector());
}

std::string HogPersonSegmenter::name() const { return "OpenCV HOG people detector + GrabCut"; }

HogPersonSegmenter::Analysis HogPersonSegmenter::analyse(const cv::Mat& image) const {
    if (image.empty())
        throw PersonMasker::MaskerError(PersonMasker::MaskerErrorKind::segmentationFailed,
                                        "Person segmentation failed: empty image");
    const cv::Mat bgr = toBGR(image);
    const double scale = std::min(1.0, double(analysisSize_) / double(std::max(bgr.cols, bgr.rows)));
    cv::Mat small;
    if (scale < 1)
        cv::resize(bgr, small, cv::Size(), scale, scale, cv::INTER_AREA);
    else
        small = bgr;

    Analysis analysis;
    analysis.size = small.size();
    if (small.cols < detector_.winSize.width || small.rows < detector_.winSize.height) return analysis;
    std::vector<cv::Rect> detections;
    std::vector<double> weights;
    try {
        detector_.detectMultiScale(small, detections, weights, 0, cv::Size(8, 8), cv::Size(16, 16), 1.05, 2.0);
    } catch (const cv::Exception& error) {
        throw PersonMasker::MaskerError(PersonMasker::MaskerErrorKind::segmentationFailed,
                                        std::string("Person segmentation failed: ") + error.what());
    }
    for (std::size_t i = 0; i < detections.size(); ++i)
        if (i >= weights.size() || weights[i] >= minimumDetectionWeight)
            analysis.instances.push_back(silhouette(small, detections[i]));
    return analysis;
}

cv::Mat HogPersonSegmenter::segmentPeople(const cv::Mat& image) {
    Analysis analysis = analyse(image);
    cv::Mat people = cv::Mat::zeros(analysis.size, CV_8UC1);
    for (const cv::Mat& instance : analysis.instances) people |= instance;
    return people;
}

std::vector<cv::Mat> HogPersonSegmenter::personInstances(const cv::Mat& image) {
    Analysis analysis = analyse(image);
    std::vector<cv::Mat> instances;
    for (const cv::Mat& instance : analysis.instances) {
        cv::Mat scaled;
        cv::resize(instance, scaled, image.size(), 0, 0, cv::INTER_LINEAR);
        cv::Mat values;
        scaled.convertTo(values, CV_32FC1, 1.0 / 255.0);
        instances.push_back(std::move(values));
    }
    return instances;
}

}  // namespace tessaron::input
