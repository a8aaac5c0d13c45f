#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

#include "core/Error.hpp"
#include "input/CropLayout.hpp"
#include "input/PersonMaskMode.hpp"
#include "input/PersonSegmenter.hpp"

namespace tessaron::input {

// Masks people in crop images: an 8-bit grey mask of the image's size, 0 over
// people (grown by the dilation radius) and 255 elsewhere. Keeps no state
// between calls beyond its segmenter; one image at a time.
class PersonMasker {
public:
    enum class MaskerErrorKind { segmentationFailed, imageConversionFailed };
    class MaskerError : public core::ErrorOf<MaskerErrorKind> {
    public:
        using ErrorOf::ErrorOf;
    };

    // A mask and whether it masks anyone; false means all 255.
    struct MaskResult {
        cv::Mat mask;  // CV_8UC1
        bool peopleFound = false;
    };

    // Without a segmenter, OpenCV's HOG people detector refined by GrabCut.
    explicit PersonMasker(PersonMaskMode mode, std::shared_ptr<PersonSegmenter> segmenter = nullptr);

    const PersonMaskMode mode;
    const int dilationRadius = 8;  // image pixels
    const std::uint8_t confidenceThreshold = 128;
    const double minPersonFraction = 0.0005;

    std::string segmenterName() const { return segmenter_->name(); }

    MaskResult maskAllPeople(const cv::Mat& image);
    // Picks the instance most likely to be the camera's operator, weighting
    // by the crop's pitch (looking down favours large, low instances).
    MaskResult maskOperator(const cv::Mat& image, const std::optional<CropSpec>& view);

    // A binary mask (255 = person) grown by the dilation radius carried over
    // to its own scale, inverted, scaled to the image size and thresholded.
    cv::Mat refineMask(const cv::Mat& binaryMask, int imageWidth, int imageHeight) const;

    // Copies width × height bytes into a mask image.
    static cv::Mat makeMaskImage(const std::vector<std::uint8_t>& bytes, int width, int height);
    static cv::Mat makeMaskImage(const std::uint8_t* bytes, int width, int height);
    // The PNG encoding of a mask; throws imageConversionFailed.
    static std::string encodePNG(const cv::Mat& mask);
    // Writes the mask as an 8-bit grey PNG, creating missing parent folders.
    static void writePNG(const cv::Mat& mask, const std::filesystem::path& url);

private:
    MaskResult allKeep(const cv::Mat& image) const;

    std::shared_ptr<PersonSegmenter> segmenter_;
};

}  // namespace tessaron::input
