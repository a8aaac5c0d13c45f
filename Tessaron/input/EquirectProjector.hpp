#pragma once

#include <vector>

#include <opencv2/core/mat.hpp>

#include "core/Error.hpp"
#include "input/CropLayout.hpp"

namespace tessaron::input {

// Renders the pinhole crops of a CropLayout from one equirectangular image.
// Each crop pixel (x, y) looks along rigFromCam · normalise((x + 0.5 − c)/f,
// (y + 0.5 − c)/f, 1); its longitude atan2(d.x, d.z) and latitude
// asin(−d.y) pick the panorama point u = 0.5 + lon/2π, v = 0.5 − lat/π,
// sampled bilinearly with wrap-around across the left and right edges.
//
// The sampling maps are built once per panorama size and reused, and the
// remapping runs on all cores. One projector serves one projection at a time.
class EquirectProjector {
public:
    enum class ProjectorErrorKind { kernelCompileFailed, noDevice, textureCreationFailed, imageConversionFailed };
    class ProjectorError : public core::ErrorOf<ProjectorErrorKind> {
    public:
        using ErrorOf::ErrorOf;
    };

    explicit EquirectProjector(CropLayout layout);

    const CropLayout& layout() const noexcept { return layout_; }

    // One image per crop, in crop order, of the source's pixel type (8-bit,
    // 1, 3 or 4 channels; alpha is sampled like the colours). The images own
    // their pixels. An empty or unsupported source throws
    // ProjectorError(imageConversionFailed).
    std::vector<cv::Mat> project(const cv::Mat& equirect);

    // The 4n + 1 unit rig-frame directions through a crop's border: top edge
    // left to right, right edge down, bottom edge right to left, left edge up,
    // ending where it began. No half-pixel offset. n must be at least 1.
    static std::vector<cv::Vec3d> borderRays(const CropSpec& crop, int samplesPerEdge);

    using Polyline = std::vector<cv::Point2d>;
    // Per crop, its border traced on a W × H panorama in pixel coordinates,
    // split into separate polylines wherever it crosses the seam.
    static std::vector<std::vector<Polyline>> footprints(const std::vector<CropSpec>& crops, int samplesPerEdge,
                                                         double equirectWidth, double equirectHeight);

private:
    struct CropMaps {
        cv::Mat coordinates;  // fixed-point source positions, CV_16SC2
        cv::Mat fractions;    // their sub-pixel parts, CV_16UC1
    };
    void buildMaps(cv::Size equirectSize);

    CropLayout layout_;
    cv::Size mapsSize_;
    std::vector<CropMaps> maps_;
};

}  // namespace tessaron::input
