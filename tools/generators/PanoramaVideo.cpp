#include "generators/PanoramaVideo.hpp"

#include <cmath>
#include <stdexcept>
#include <vector>

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

namespace tessaron::generators {

namespace {

// A standing figure: head, torso, arms and legs, `height` pixels from the
// feet at `feet` up.
void paintFigure(cv::Mat& image, cv::Point feet, double height) {
    const double u = height / 8;
    const cv::Scalar skin(120, 150, 190), shirt(60, 40, 150), trousers(60, 40, 30);
    auto at = [&](double dx, double dy) { return cv::Point(int(feet.x + dx * u), int(feet.y - dy * u)); };
    cv::ellipse(image, at(0, 7.4), cv::Size(int(u * 0.55), int(u * 0.7)), 0, 0, 360, skin, -1, cv::LINE_AA);
    const std::vector<cv::Point> torso{at(-1.1, 6.5), at(1.1, 6.5), at(0.9, 3.6), at(-0.9, 3.6)};
    cv::fillConvexPoly(image, torso, shirt, cv::LINE_AA);
    for (double side : {-1.0, 1.0}) {
        cv::line(image, at(side * 1.0, 6.3), at(side * 1.5, 3.4), shirt, std::max(1, int(0.5 * u)), cv::LINE_AA);
        cv::line(image, at(side * 0.5, 3.7), at(side * 0.7, 0.2), trousers, std::max(1, int(0.7 * u)), cv::LINE_AA);
    }
}

}  // namespace

cv::Mat PanoramaVideo::frame(int index) const {
    cv::Mat image(height, width, CV_8UC3);
    const int horizon = height / 2;
    const double turn = degreesPerFrame * index * M_PI / 180;
    for (int y = 0; y < height; ++y) {
        auto* row = image.ptr<cv::Vec3b>(y);
        for (int x = 0; x < width; ++x) {
            const double longitude = 2 * M_PI * (x + 0.5) / width - M_PI + turn;
            if (y < horizon) {
                const auto blue = uchar(std::lround(190 + 50 * std::sin(longitude)));
                const auto green = uchar(std::lround(150 + 40 * double(y) / horizon));
                row[x] = cv::Vec3b(blue, green, 120);
            } else {
                const int cell = std::max(4, width / 64);
                const int shifted = int(std::lround(x + turn / (2 * M_PI) * width));
                const bool dark = ((((shifted % width) + width) % width) / cell + (y - horizon) / cell) % 2;
                row[x] = dark ? cv::Vec3b(90, 110, 110) : cv::Vec3b(150, 170, 165);
            }
        }
    }
    if (withPerson) paintFigure(image, cv::Point(width / 2, horizon + height / 6), height * 0.3);
    return image;
}

void PanoramaVideo::write(const std::filesystem::path& file) const {
    cv::VideoWriter writer(file.string(), cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), framesPerSecond,
                           cv::Size(width, height));
    if (!writer.isOpened()) throw std::runtime_error("cannot write the panorama video " + file.string());
    for (int i = 0; i < frameCount; ++i) writer.write(frame(i));
}

}  // namespace tessaron::generators
