#pragma once

#include <opencv2/objdetect.hpp>

#include "input/PersonSegmenter.hpp"

namespace tessaron::input {

// People found by OpenCV's built-in HOG people detector (its coefficients
// ship inside OpenCV), each detection refined to a silhouette by GrabCut.
// Works on a copy scaled to at most `analysisSize` pixels on its long side,
// so people shorter than about a fifth of the image go unseen; its quality is
// below that of a learned segmenter.
class HogPersonSegmenter : public PersonSegmenter {
public:
    explicit HogPersonSegmenter(int analysisSize = 640);

    std::string name() const override;
    // At the analysis scale: 255 over any person, 0 elsewhere.
    cv::Mat segmentPeople(const cv::Mat& image) override;
    std::vector<cv::Mat> personInstances(const cv::Mat& image) override;

private:
    struct Analysis {
        std::vector<cv::Mat> instances;  // CV_8UC1 at the analysis scale, 255 = person
        cv::Size size;
    };
    Analysis analyse(const cv::Mat& image) const;

    int analysisSize_;
    cv::HOGDescriptor detector_;
};

}  // namespace tessaron::input
