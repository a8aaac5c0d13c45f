#include "input/EquirectProjector.hpp"

#include <algorithm>
#include <climits>
#include <cmath>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

namespace tessaron::input {

namespace {

struct LonLat {
    double lon;
    double lat;
};

LonLat lonLat(const cv::Vec3d& direction) {
    return {std::atan2(direction[0], direction[2]), std::asin(std::clamp(-direction[1], -1.0, 1.0))};
}

}  // namespace

EquirectProjector::EquirectProjector(CropLayout layout) : layout_(std::move(layout)) {
    for (const CropSpec& crop : layout_.crops)
        if (crop.size < 1)
            throw ProjectorError(ProjectorErrorKind::textureCreationFailed,
                                 "Crop " + std::to_string(crop.id) + " has no pixels (size " +
                                     std::to_string(crop.size) + ").");
}

void EquirectProjector::buildMaps(cv::Size equirectSize) {
    maps_.clear();
    const double width = equirectSize.width;
    const double height = equirectSize.height;
    for (const CropSpec& crop : layout_.crops) {
        const int size = crop.size;
        const double focal = rig::focalLength(size, crop.fovDegrees);
        const double center = size * 0.5;
        const cv::Matx33d rigFromCam = crop.rigFromCam();
        cv::Mat mapX(size, size, CV_32FC1), mapY(size, size, CV_32FC1);
        cv::parallel_for_(cv::Range(0, size), [&](const cv::Range& rows) {
            for (int y = rows.start; y < rows.end; ++y) {
                float* rowX = mapX.ptr<float>(y);
                float* rowY = mapY.ptr<float>(y);
                for (int x = 0; x < size; ++x) {
                    cv::Vec3d ray((x + 0.5 - center) / focal, (y + 0.5 - center) / focal, 1.0);
                    const LonLat angles = lonLat(rigFromCam * cv::normalize(ray));
                    const double u = 0.5 + angles.lon / (2 * M_PI);
                    const double v = std::clamp(0.5 - angles.lat / M_PI, 0.0, 1.0);
                    // Texel centres sit at half-integers of u·W and v·H. The
                    // column may fall half a texel beyond either edge, where the
                    // remap wraps it across the seam; rows are clamped, so the
                    // poles never blend in the opposite pole's row.
                    rowX[x] = float(u * width - 0.5);
                    rowY[x] = float(std::clamp(v * height - 0.5, 0.0, height - 1));
                }
            }
        });
        CropMaps maps;
        cv::convertMaps(mapX, mapY, maps.coordinates, maps.fractions, CV_16SC2);
        maps_.push_back(std::move(maps));
    }
    mapsSize_ = equirectSize;
}

std::vector<cv::Mat> EquirectProjector::project(const cv::Mat& equirect) {
    if (equirect.empty() || equirect.depth() != CV_8U ||
        (equirect.channels() != 1 && equirect.channels() != 3 && equirect.channels() != 4))
        throw ProjectorError(ProjectorErrorKind::imageConversionFailed,
                             "The panorama is not an 8-bit grey, BGR or BGRA image.");
    // The fixed-point sampling maps address at most 32767 pixels per axis.
    if (equirect.cols > SHRT_MAX || equirect.rows > SHRT_MAX)
        throw ProjectorError(ProjectorErrorKind::imageConversionFailed,
                             "The panorama is too large (" + std::to_string(equirect.cols) + " × " +
                                 std::to_string(equirect.rows) + " pixels).");
    if (equirect.size() != mapsSize_ || maps_.size() != layout_.crops.size()) buildMaps(equirect.size());

    std::vector<cv::Mat> crops;
    crops.reserve(maps_.size());
    for (const CropMaps& maps : maps_) {
        cv::Mat crop;
        cv::remap(equirect, crop, maps.coordinates, maps.fractions, cv::INTER_LINEAR, cv::BORDER_WRAP);
        crops.push_back(std::move(crop));
    }
    return crops;
}

std::vector<cv::Vec3d> EquirectProjector::borderRays(const CropSpec& crop, int samplesPerEdge) {
    const int n = std::max(samplesPerEdge, 1);
    const double size = crop.size;
    const double step = size / n;
    const double focal = rig::focalLength(size, crop.fovDegrees);
    const cv::Matx33d rigFromCam = crop.rigFromCam();

    std::vector<cv::Point2d> points;
    points.reserve(std::size_t(4 * n + 1));
    for (int k = 0; k <= n; ++k) points.emplace_back(step * k, 0);
    for (int k = 1; k <= n; ++k) points.emplace_back(size, step * k);
    for (int k = 1; k <= n; ++k) points.emplace_back(size - step * k, size);
    for (int k = 1; k <= n; ++k) points.emplace_back(0, size - step * k);

    std::vector<cv::Vec3d> rays;
    rays.reserve(points.size());
    for (const cv::Point2d& point : points) {
        cv::Vec3d ray((point.x - size / 2) / focal, (point.y - size / 2) / focal, 1.0);
        rays.push_back(cv::normalize(rigFromCam * ray));
    }
    return rays;
}

std::vector<std::vector<EquirectProjector::Polyline>> EquirectProjector::footprints(const std::vector<CropSpec>& crops,
                                                                                    int samplesPerEdge,
                                                                                    double equirectWidth,
                                                                                    double equirectHeight) {
    std::vector<std::vector<Polyline>> result;
    result.reserve(crops.size());
    for (const CropSpec& crop : crops) {
        std::vector<Polyline> polylines;
        Polyline current;
        double previousU = 0;
        for (const cv::Vec3d& ray : borderRays(crop, samplesPerEdge)) {
            const LonLat angles = lonLat(ray);
            const double u = angles.lon / (2 * M_PI) + 0.5;
            if (!current.empty() && std::fabs(u - previousU) > 0.5) {
                if (current.size() >= 2) polylines.push_back(std::move(current));
                current = Polyline();
            }
            current.emplace_back(equirectWidth * u, equirectHeight * (0.5 - angles.lat / M_PI));
            previousU = u;
        }
        if (current.size() >= 2) polylines.push_back(std::move(current));
        result.push_back(std::move(polylines));
    }
    return result;
}

}  // namespace tessaron::input
