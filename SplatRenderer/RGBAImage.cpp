#include "SplatRenderer/RGBAImage.hpp"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace splatrenderer {

void RGBAImage::writePNG(const std::filesystem::path& file) const {
    const cv::Mat rgba(height, width, CV_8UC4, const_cast<std::uint8_t*>(pixels.data()));
    cv::Mat bgra;
    cv::cvtColor(rgba, bgra, cv::COLOR_RGBA2BGRA);
    bool written = false;
    try {
        written = cv::imwrite(file.string(), bgra);
    } catch (const cv::Exception& error) {
        throw Error(ErrorKind::cannotWrite, "Cannot write " + file.string() + ": " + error.what());
    }
    if (!written) throw Error(ErrorKind::cannotWrite, "Cannot write " + file.string());
}

}  // namespace splatrenderer
