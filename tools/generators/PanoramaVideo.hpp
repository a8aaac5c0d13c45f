#pragma once

#include <filesystem>

#include <opencv2/core/mat.hpp>

namespace tessaron::generators {

// An equirectangular video made for the 360° views: a sky whose blue follows
// the longitude as one smooth wave (continuous across the seam), a
// checkerboard ground below the horizon that keeps every frame sharp, and,
// when asked, a person-shaped figure standing straight ahead that OpenCV's
// people detector finds in the crops looking at it. The scene turns by
// `degreesPerFrame` of yaw per frame. Written as Motion JPEG in an AVI.
struct PanoramaVideo {
    int width = 1280;
    int height = 640;
    int frameCount = 20;
    double framesPerSecond = 10;
    bool withPerson = true;
    double degreesPerFrame = 0;

    // Frame `index` as 8-bit BGR.
    cv::Mat frame(int index) const;
    // Throws std::runtime_error when the file cannot be written.
    void write(const std::filesystem::path& file) const;
};

}  // namespace tessaron::generators
