#pragma once

#include <atomic>
#include <set>
#include <stdexcept>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "input/PersonSegmenter.hpp"

namespace tessaron::testing {

// A deterministic segmenter for tests. A pixel whose green channel is below
// 40 is keyed: its red channel is the person confidence byte (and red / 256
// its instance value), its blue channel / 64, rounded, its instance id
// (0 = no instance). Everything else is background. The spacing survives
// JPEG compression well enough for videos made of such colours.
class KeyColourSegmenter : public input::PersonSegmenter {
public:
    int maskDivisor = 1;                     // segmentPeople answers at image size / divisor
    std::set<int> unreadableInstances;       // answered as empty masks
    std::atomic<int> callsUntilFailure{-1};  // fail the call after this many; -1 never
    std::atomic<int> calls{0};

    std::string name() const override { return "key colour"; }

    cv::Mat segmentPeople(const cv::Mat& image) override {
        countCall();
        cv::Mat confidence(image.rows, image.cols, CV_8UC1, cv::Scalar(0));
        forEachKeyed(image, [&](int x, int y, int, uchar red) { confidence.at<uchar>(y, x) = red; });
        if (maskDivisor == 1) return confidence;
        cv::Mat small;
        cv::resize(confidence, small, cv::Size(image.cols / maskDivisor, image.rows / maskDivisor), 0, 0,
                   cv::INTER_NEAREST);
        return small;
    }

    std::vector<cv::Mat> personInstances(const cv::Mat& image) override {
        countCall();
        std::vector<cv::Mat> instances;
        for (int id = 1; id <= 4; ++id) {
            cv::Mat mask(image.rows, image.cols, CV_32FC1, cv::Scalar(0));
            bool any = false;
            forEachKeyed(image, [&](int x, int y, int instance, uchar red) {
                if (instance != id) return;
                mask.at<float>(y, x) = float(red) / 256.0f;
                any = true;
            });
            if (any) instances.push_back(unreadableInstances.count(id) ? cv::Mat() : mask);
        }
        return instances;
    }

private:
    void countCall() {
        if (callsUntilFailure.load() == 0) throw std::runtime_error("key colour segmenter failed on purpose");
        if (callsUntilFailure.load() > 0) --callsUntilFailure;
        ++calls;
    }

    template <typename Visit>
    static void forEachKeyed(const cv::Mat& image, Visit visit) {
        const int channels = image.channels();
        for (int y = 0; y < image.rows; ++y) {
            const uchar* row = image.ptr<uchar>(y);
            for (int x = 0; x < image.cols; ++x) {
                const uchar* pixel = row + channels * x;
                if (pixel[1] >= 40) continue;
                visit(x, y, (pixel[0] + 32) / 64, pixel[2]);
            }
        }
    }
};

// A BGR image of background green with nothing keyed.
inline cv::Mat greenScreen(int width, int height) { return cv::Mat(height, width, CV_8UC3, cv::Scalar(40, 200, 40)); }

// Paints a keyed rectangle: instance `id`, confidence `red`.
inline void paintPerson(cv::Mat& image, const cv::Rect& area, int id, int red) {
    image(area).setTo(cv::Scalar(64 * id, 0, red));
}

}  // namespace tessaron::testing
