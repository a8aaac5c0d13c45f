#include "input/PersonMasker.hpp"

#include <cmath>
#include <cstring>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/AtomicFile.hpp"
#include "input/HogPersonSegmenter.hpp"

namespace tessaron::input {

namespace {

using MaskerError = PersonMasker::MaskerError;
using Kind = PersonMasker::MaskerErrorKind;

MaskerError segmentationFailed(const std::string& detail) {
    return MaskerError(Kind::segmentationFailed, "Person segmentation failed: " + detail);
}

MaskerError imageConversionFailed(const std::string& detail) {
    return MaskerError(Kind::imageConversionFailed, "The person mask image could not be made: " + detail);
}

}  // namespace

PersonMasker::PersonMasker(PersonMaskMode mode, std::shared_ptr<PersonSegmenter> segmenter)
    : mode(mode), segmenter_(segmenter ? std::move(segmenter) : std::make_shared<HogPersonSegmenter>()) {}

PersonMasker::MaskResult PersonMasker::allKeep(const cv::Mat& image) const {
    return {cv::Mat(image.rows, image.cols, CV_8UC1, cv::Scalar(255)), false};
}

PersonMasker::MaskResult PersonMasker::maskAllPeople(const cv::Mat& image) {
    const cv::Mat confidence = segmenter_->segmentPeople(image);
    if (confidence.empty() || confidence.type() != CV_8UC1) throw segmentationFailed("no person confidence map");

    cv::Mat binary;
    cv::compare(confidence, cv::Scalar(confidenceThreshold), binary, cv::CMP_GE);
    const double fraction = double(cv::countNonZero(binary)) / (double(confidence.cols) * double(confidence.rows));
    if (fraction >= minPersonFraction) return {refineMask(binary, image.cols, image.rows), true};
    return allKeep(image);
}

PersonMasker::MaskResult PersonMasker::maskOperator(const cv::Mat& image, const std::optional<CropSpec>& view) {
    const std::vector<cv::Mat> instances = segmenter_->personInstances(image);

    // Looking down, the operator fills the lower part of the crop.
    double viewWeight = 1.15;
    if (view && view->pitchDegrees < 0) viewWeight = 1.5;
    if (view && view->pitchDegrees > 0) viewWeight = 0.85;

    double bestScore = 0;
    cv::Mat winner;
    for (const cv::Mat& instance : instances) {
        if (instance.empty() || instance.type() != CV_32FC1) continue;  // unreadable instance mask
        cv::Mat binary;
        cv::compare(instance, cv::Scalar(0.5), binary, cv::CMP_GE);
        double count = 0;
        double rowSum = 0;
        for (int y = 0; y < binary.rows; ++y) {
            const double inRow = cv::countNonZero(binary.row(y));
            count += inRow;
            rowSum += inRow * y;
        }
        if (count < 1) continue;
        const double pixels = double(binary.cols) * double(binary.rows);
        const double area = count / pixels;
        const double verticalCentre = (rowSum / count) / binary.rows;
        const double placeBonus = verticalCentre > 0.55 ? 0.5 : 0;
        const double score = area * (viewWeight + placeBonus);
        if (score > bestScore) {
            bestScore = score;
            winner = binary;
        }
    }
    if (!winner.empty()) {
        const double fraction = double(cv::countNonZero(winner)) / (double(winner.cols) * double(winner.rows));
        if (fraction >= 0.04) return {refineMask(winner, image.cols, image.rows), true};
    }
    return allKeep(image);
}

cv::Mat PersonMasker::refineMask(const cv::Mat& binaryMask, int imageWidth, int imageHeight) const {
    if (binaryMask.empty() || binaryMask.type() != CV_8UC1 || imageWidth < 1 || imageHeight < 1)
        throw segmentationFailed("no binary mask to refine");
    // The radius in image pixels, carried over to the mask's own scale.
    const int radius =
        std::max(1, int(std::ceil(double(binaryMask.cols) * double(dilationRadius) / double(imageWidth))));
    cv::Mat refined;
    try {
        const cv::Mat element = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(2 * radius + 1, 2 * radius + 1));
        cv::Mat grown;
        cv::dilate(binaryMask, grown, element);
        cv::bitwise_not(grown, grown);
        cv::resize(grown, refined, cv::Size(imageWidth, imageHeight), 0, 0, cv::INTER_LINEAR);
    } catch (const cv::Exception& error) {
        throw segmentationFailed(error.what());
    }
    cv::threshold(refined, refined, 127, 255, cv::THRESH_BINARY);
    return refined;
}

cv::Mat PersonMasker::makeMaskImage(const std::uint8_t* bytes, int width, int height) {
    if (!bytes || width < 1 || height < 1) throw imageConversionFailed("no pixels");
    cv::Mat mask(height, width, CV_8UC1);
    std::memcpy(mask.data, bytes, std::size_t(width) * std::size_t(height));
    return mask;
}

cv::Mat PersonMasker::makeMaskImage(const std::vector<std::uint8_t>& bytes, int width, int height) {
    if (width < 1 || height < 1 || bytes.size() != std::size_t(width) * std::size_t(height))
        throw imageConversionFailed(std::to_string(bytes.size()) + " bytes for " + std::to_string(width) + " × " +
                                    std::to_string(height) + " pixels");
    return makeMaskImage(bytes.data(), width, height);
}

std::string PersonMasker::encodePNG(const cv::Mat& mask) {
    if (mask.empty() || mask.type() != CV_8UC1) throw imageConversionFailed("not an 8-bit grey image");
    std::vector<uchar> encoded;
    try {
        if (!cv::imencode(".png", mask, encoded)) throw imageConversionFailed("PNG encoding failed");
    } catch (const cv::Exception& error) {
        throw imageConversionFailed(error.what());
    }
    return std::string(encoded.begin(), encoded.end());
}

void PersonMasker::writePNG(const cv::Mat& mask, const std::filesystem::path& url) {
    if (url.has_parent_path()) std::filesystem::create_directories(url.parent_path());
    const std::string encoded = encodePNG(mask);
    try {
        core::AtomicFile::write(url, encoded);
    } catch (const core::AtomicFile::WriteError& error) {
        throw imageConversionFailed(error.what());
    }
}

}  // namespace tessaron::input
