#pragma once

#include <string>
#include <vector>

#include <opencv2/core/mat.hpp>

namespace tessaron::input {

// Finds people in an image for the person masker. Implementations throw on
// failure; the masker passes the error on.
class PersonSegmenter {
public:
    virtual ~PersonSegmenter() = default;

    // Named in the run log, so a run says which segmenter made its masks.
    virtual std::string name() const = 0;

    // One person-confidence byte per pixel (CV_8UC1, any size; 128 and above
    // counts as person) for an 8-bit BGR or BGRA image.
    virtual cv::Mat segmentPeople(const cv::Mat& image) = 0;

    // One mask per person instance, CV_32FC1 at the image's size (0.5 and
    // above counts as person). An instance whose mask could not be read is
    // an empty Mat and is passed over.
    virtual std::vector<cv::Mat> personInstances(const cv::Mat& image) = 0;
};

}  // namespace tessaron::input
