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
            throw ProjectorError(
                ProjectorErrorKind::textureCreationFailed,
                "Crop " + std::to_string(crop.id) + " has no pixels (size " + std::to_string(crop.size) + ").");
}

void EquirectProjector::buildMaps(cv::Size equirectSize) {
    const std::size_t cropCount = layout_.crops.size();
    std::vector<cv::Mat> mapsX(cropCount), mapsY(cropCount);
    std::vector<int> firstRow(cropCount + 1, 0);  // rows of all crops, numbered as one range
    for (std::size_t i = 0; i < cropCount; ++i) {
        const int size = layout_.crops[i].size;
        mapsX[i].create(size, size, CV_32FC1);
        mapsY[i].create(size, size, CV_32FC1);
        firstRow[i + 1] = firstRow[i] + size;
    }
    cv::parallel_for_(cv::Range(0, firstRow.back()), [&](const cv::Range& rows) {
        for (int row = rows.start; row < rows.end; ++row) {
            const auto crop =
                std::size_t(std::upper_bound(firstRow.begin(), firstRow.end(), row) - firstRow.begin() - 1);
            const CropSpec& spec = layout_.crops[crop];
            const int y = row - firstRow[crop];
            const double focal = rig::focalLength(spec.size, spec.fovDegrees);
            const double center = spec.size * 0.5;
            const cv::Matx33d r = spec.rigFromCam();
            const double width = equirectSize.width, height = equirectSize.height;
            float* rowX = mapsX[crop].ptr<float>(y);
            float* rowY = mapsY[crop].ptr<float>(y);
            const double rayY = (y + 0.5 - center) / focal;
            for (int x = 0; x < spec.size; ++x) {
                const double rayX = (x + 0.5 - center) / focal;
                // The ray need not be normalised: longitude and latitude
                // depend on its direction only.
                const double dx = r(0, 0) * rayX + r(0, 1) * rayY + r(0, 2);
                const double dy = r(1, 0) * rayX + r(1, 1) * rayY + r(1, 2);
                const double dz = r(2, 0) * rayX + r(2, 1) * rayY + r(2, 2);
                const double lon = std::atan2(dx, dz);
                const double lat = std::atan2(-dy, std::sqrt(dx * dx + dz * dz));
                const double u = 0.5 + lon / (2 * M_PI);
                const double v = std::clamp(0.5 - lat / M_PI, 0.0, 1.0);
                // Texel centres sit at half-integers of u·W and v·H. The
                // column may fall half a texel beyond either edge, where the
                // remap wraps it across the seam; rows are clamped, so the
                // poles never blend in the opposite pole's row.
                rowX[x] = float(u * width - 0.5);
                rowY[x] = float(std::clamp(v * height - 0.5, 0.0, height - 1));
            }
        }
    });
    maps_.clear();
    for (std::size_t i = 0; i < cropCount; ++i) {
        CropMaps maps;
        cv::convertMaps(mapsX[i], mapsY[i], maps.coordinates, maps.fractions, CV_16SC2);
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
