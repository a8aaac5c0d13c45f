#include "input/CropLayout.hpp"

#include <cmath>
#include <set>

namespace tessaron::input {

const std::vector<CropLayoutPreset>& allCropLayoutPresets() {
    static const std::vector<CropLayoutPreset> presets{CropLayoutPreset::fullSphere16, CropLayoutPreset::horizontal8};
    return presets;
}

std::string toString(CropLayoutPreset preset) {
    switch (preset) {
        case CropLayoutPreset::fullSphere16: return "fullSphere16";
        case CropLayoutPreset::horizontal8: return "horizontal8";
    }
    return {};
}

std::optional<CropLayoutPreset> cropLayoutPresetFromString(const std::string& rawValue) {
    for (CropLayoutPreset preset : allCropLayoutPresets())
        if (toString(preset) == rawValue) return preset;
    return std::nullopt;
}

std::string displayName(CropLayoutPreset preset) {
    switch (preset) {
        case CropLayoutPreset::fullSphere16: return "Full Sphere (16 crops)";
        case CropLayoutPreset::horizontal8: return "Horizontal (8 crops)";
    }
    return {};
}

cv::Matx33d CropSpec::rigFromCam() const {
    const double yaw = yawDegrees * M_PI / 180;
    const double pitch = pitchDegrees * M_PI / 180;
    const double cy = std::cos(yaw), sy = std::sin(yaw), cp = std::cos(pitch), sp = std::sin(pitch);
    // Columns: camera x, y and z (the optical axis) in the rig frame.
    // clang-format off
    return cv::Matx33d(cy,  sy * sp, sy * cp,
                       0,   cp,      -sp,
                       -sy, cy * sp, cy * cp);
    // clang-format on
}

CropLayout::CropLayout(CropLayoutPreset preset, int cropSize, double fovDegrees) : preset(preset) {
    auto add = [&](double yaw, double pitch) {
        crops.push_back(CropSpec{std::int64_t(crops.size()), yaw, pitch, fovDegrees, cropSize});
    };
    for (int i = 0; i < 8; ++i) add(45.0 * i, 0);
    if (preset == CropLayoutPreset::fullSphere16) {
        for (double pitch : {55.0, -55.0})
            for (double yaw : {0.0, 90.0, 180.0, 270.0}) add(yaw, pitch);
    }
}

std::int64_t CropLayout::cameraCount() const { return std::int64_t(crops.size()); }

std::string CropLayout::referenceCameraName() const { return "cam" + std::to_string(crops.front().id); }

std::string CropLayout::cameraParams(std::int64_t /*camera*/) const {
    const CropSpec& first = crops.front();
    return rig::pinholeParamsText(rig::focalLength(first.size, first.fovDegrees), first.size * 0.5);
}

std::string CropLayout::rigConfigJSON() const {
    const CropSpec& first = crops.front();
    const double focal = rig::focalLength(first.size, first.fovDegrees);
    const double center = first.size * 0.5;
    nlohmann::json cameras = nlohmann::json::array();
    for (const CropSpec& crop : crops) {
        nlohmann::json camera{
            {"image_prefix", "cam" + std::to_string(crop.id) + "/"},
            {"camera_model_name", "PINHOLE"},
            {"camera_params", {focal, focal, center, center}},
        };
        if (crop.id == 0) {
            camera["ref_sensor"] = true;
        } else {
            camera["cam_from_rig_rotation"] = rig::quaternionWXYZ(crop.rigFromCam().t());
            camera["cam_from_rig_translation"] = {0.0, 0.0, 0.0};
        }
        cameras.push_back(std::move(camera));
    }
    nlohmann::json document = nlohmann::json::array();
    document.push_back(nlohmann::json{{"cameras", std::move(cameras)}});
    return rig::prettyJSON(document);
}

std::vector<CropLayout::PairKey> CropLayout::cameraPairs() const {
    std::set<PairKey> pairs;
    std::vector<const CropSpec*> horizon;
    for (const CropSpec& crop : crops)
        if (crop.pitchDegrees == 0) horizon.push_back(&crop);
    for (std::size_t i = 0; i < horizon.size(); ++i) {
        const CropSpec* next = horizon[(i + 1) % horizon.size()];
        if (next != horizon[i]) pairs.insert(PairKey::of(horizon[i]->id, next->id));  // a lone crop has no ring
    }

    for (double level : {55.0, -55.0}) {
        std::vector<const CropSpec*> tilted;
        for (const CropSpec& crop : crops)
            if (crop.pitchDegrees == level) tilted.push_back(&crop);
        for (std::size_t i = 0; i < tilted.size(); ++i) {
            for (std::size_t j = i + 1; j < tilted.size(); ++j) pairs.insert(PairKey::of(tilted[i]->id, tilted[j]->id));
            for (const CropSpec* ring : horizon) {
                double distance = std::fmod(std::fabs(ring->yawDegrees - tilted[i]->yawDegrees), 360.0);
                distance = std::min(distance, 360.0 - distance);
                if (distance <= 67.5) pairs.insert(PairKey::of(tilted[i]->id, ring->id));
            }
        }
    }
    return {pairs.begin(), pairs.end()};
}

std::vector<std::string> CropLayout::matchPairLines(const std::vector<std::string>& frameNames,
                                                    int temporalWindow) const {
    std::vector<std::int64_t> cameraIds;
    for (const CropSpec& crop : crops) cameraIds.push_back(crop.id);
    return rig::matchPairLines(cameraIds, cameraPairs(), frameNames, temporalWindow);
}

}  // namespace tessaron::input
