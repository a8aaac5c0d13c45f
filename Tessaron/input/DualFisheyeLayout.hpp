#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <opencv2/core/matx.hpp>

#include "input/RigCropLayout.hpp"

namespace tessaron::input {

// The lens model of a dual-fisheye recording; carried, not yet read.
struct FisheyeModel {
    double focal = 0;
    double centerX = 0;
    double centerY = 0;
    double maxThetaDeg = 0;
};

// A rig of crops cut from the two lenses of a raw dual-fisheye recording,
// described to COLMAP with the OPENCV camera model. No input route builds one
// yet: raw dual-fisheye files are only recognised.
class DualFisheyeLayout : public RigCropLayout {
public:
    using PairKey = CameraPairKey;

    struct LensCrop {
        std::int64_t cropId = 0;  // equals the crop's position in the list
        int lens = 0;             // 0 or 1
        cv::Matx33d rigFromCamRotation = cv::Matx33d::eye();
        double focalLength = 0;
        int size = 0;
    };

    // A crop names a lens that has no centre.
    class LayoutError : public RigConfigError {
    public:
        using RigConfigError::RigConfigError;
    };

    std::vector<LensCrop> crops;
    std::vector<cv::Vec3d> lensCenters;  // per lens, in the rig frame
    FisheyeModel model;
    bool useRig = true;

    std::int64_t cameraCount() const override;
    std::string referenceCameraName() const override;
    using RigCropLayout::cameraParams;
    std::string cameraParams(std::int64_t camera) const override;
    std::string rigConfigJSON() const override;
    using RigCropLayout::matchPairLines;
    std::vector<std::string> matchPairLines(const std::vector<std::string>& frameNames,
                                            int temporalWindow) const override;

    // Every pair within a lens, plus first-of-lens-0 with last-of-lens-1 and
    // last-of-lens-0 with first-of-lens-1; values are crop ids, sorted.
    std::vector<PairKey> cameraPairs() const;

private:
    const cv::Vec3d& lensCenter(int lens) const;
};

}  // namespace tessaron::input
