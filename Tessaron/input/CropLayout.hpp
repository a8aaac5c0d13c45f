#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core/matx.hpp>

#include "input/RigCropLayout.hpp"

namespace tessaron::input {

// The crop rigs a 360° video is cut into. Raw values are stored; display
// names are shown in the settings and the run log.
enum class CropLayoutPreset { fullSphere16, horizontal8 };

const std::vector<CropLayoutPreset>& allCropLayoutPresets();
std::string toString(CropLayoutPreset preset);
std::optional<CropLayoutPreset> cropLayoutPresetFromString(const std::string& rawValue);
std::string displayName(CropLayoutPreset preset);

// One square pinhole crop of the sphere. Rig and camera frames both have
// x right, y down, z forward; positive yaw turns right, positive pitch looks up.
struct CropSpec {
    std::int64_t id = 0;
    double yawDegrees = 0;
    double pitchDegrees = 0;
    double fovDegrees = 0;
    int size = 0;

    // R_y(yaw) · R_x(pitch): camera-frame directions into the rig frame.
    cv::Matx33d rigFromCam() const;

    friend bool operator==(const CropSpec&, const CropSpec&) = default;
};

// A preset's crops: eight horizon crops (ids 0-7, yaw 45·id), then for the
// full sphere ids 8-11 at pitch +55 and 12-15 at pitch −55 (yaw 0, 90, 180,
// 270). Every crop shares the field of view and size, and there is always at
// least one crop: the intrinsics come from the first.
class CropLayout : public RigCropLayout {
public:
    using PairKey = CameraPairKey;

    CropLayout(CropLayoutPreset preset, int cropSize, double fovDegrees);

    CropLayoutPreset preset;
    std::vector<CropSpec> crops;

    std::int64_t cameraCount() const override;
    std::string referenceCameraName() const override;
    using RigCropLayout::cameraParams;
    std::string cameraParams(std::int64_t camera) const override;
    std::string rigConfigJSON() const override;
    using RigCropLayout::matchPairLines;
    std::vector<std::string> matchPairLines(const std::vector<std::string>& frameNames,
                                            int temporalWindow) const override;

    // Horizon ring neighbours, pairs within each tilt level (+55, −55) and
    // each tilted crop with the horizon crops within 67.5° of yaw; sorted.
    std::vector<PairKey> cameraPairs() const;

    friend bool operator==(const CropLayout& a, const CropLayout& b) {
        return a.preset == b.preset && a.crops == b.crops;
    }
};

}  // namespace tessaron::input
