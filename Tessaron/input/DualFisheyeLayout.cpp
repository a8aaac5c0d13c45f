#include "input/DualFisheyeLayout.hpp"

#include <algorithm>
#include <set>

namespace tessaron::input {

std::int64_t DualFisheyeLayout::cameraCount() const { return std::int64_t(crops.size()); }

std::string DualFisheyeLayout::referenceCameraName() const { return "cam" + std::to_string(crops.front().cropId); }

std::string DualFisheyeLayout::cameraParams(std::int64_t /*camera*/) const {
    // No distortion terms: the COLMAP runner completes them for OPENCV.
    return rig::pinholeParamsText(crops.front().focalLength, crops.front().size * 0.5);
}

const cv::Vec3d& DualFisheyeLayout::lensCenter(int lens) const {
    if (lens < 0 || std::size_t(lens) >= lensCenters.size())
        throw LayoutError("Dual-fisheye crop names lens " + std::to_string(lens) + " but the layout has " +
                          std::to_string(lensCenters.size()) + " lens centres");
    return lensCenters[std::size_t(lens)];
}

std::string DualFisheyeLayout::rigConfigJSON() const {
    const LensCrop& reference = crops.front();
    const double focal = reference.focalLength;
    const double center = reference.size * 0.5;
    const nlohmann::json params{focal, focal, center, center, 0.0, 0.0, 0.0, 0.0};
    auto cameraObject = [&](const LensCrop& crop) {
        return nlohmann::json{{"image_prefix", "cam" + std::to_string(crop.cropId) + "/"},
                              {"camera_model_name", "OPENCV"},
                              {"camera_params", params}};
    };

    nlohmann::json document = nlohmann::json::array();
    if (useRig) {
        nlohmann::json cameras = nlohmann::json::array();
        for (std::size_t i = 0; i < crops.size(); ++i) {
            nlohmann::json camera = cameraObject(crops[i]);
            if (i == 0) {
                camera["ref_sensor"] = true;
            } else {
                const cv::Matx33d camFromRig = crops[i].rigFromCamRotation.t();
                camera["cam_from_rig_rotation"] = rig::quaternionWXYZ(camFromRig * reference.rigFromCamRotation);
                const cv::Vec3d offset = lensCenter(crops[i].lens) - lensCenter(reference.lens);
                const cv::Vec3d translation = -(camFromRig * offset);
                camera["cam_from_rig_translation"] = {translation[0], translation[1], translation[2]};
            }
            cameras.push_back(std::move(camera));
        }
        document.push_back(nlohmann::json{{"cameras", std::move(cameras)}});
    } else {
        for (const LensCrop& crop : crops) {
            nlohmann::json camera = cameraObject(crop);
            camera["ref_sensor"] = true;
            document.push_back(nlohmann::json{{"cameras", nlohmann::json::array({std::move(camera)})}});
        }
    }
    return rig::prettyJSON(document);
}

std::vector<DualFisheyeLayout::PairKey> DualFisheyeLayout::cameraPairs() const {
    std::set<PairKey> pairs;
    std::vector<std::int64_t> lensIds[2];
    for (const LensCrop& crop : crops)
        if (crop.lens == 0 || crop.lens == 1) lensIds[crop.lens].push_back(crop.cropId);
    for (auto& ids : lensIds) {
        std::sort(ids.begin(), ids.end());
        for (std::size_t i = 0; i < ids.size(); ++i)
            for (std::size_t j = i + 1; j < ids.size(); ++j) pairs.insert(PairKey::of(ids[i], ids[j]));
    }
    if (!lensIds[0].empty() && !lensIds[1].empty()) {
        pairs.insert(PairKey::of(lensIds[0].front(), lensIds[1].back()));
        pairs.insert(PairKey::of(lensIds[0].back(), lensIds[1].front()));
    }
    return {pairs.begin(), pairs.end()};
}

std::vector<std::string> DualFisheyeLayout::matchPairLines(const std::vector<std::string>& frameNames,
                                                           int temporalWindow) const {
    std::vector<std::int64_t> cameraIds;
    for (const LensCrop& crop : crops) cameraIds.push_back(crop.cropId);
    // Pair values are positions in the crop list; the lines name each
    // position's crop id, and end at the first pair outside the list.
    std::vector<PairKey> namedPairs;
    for (const PairKey& pair : cameraPairs()) {
        if (pair.a < 0 || pair.b < 0 || std::size_t(pair.a) >= crops.size() || std::size_t(pair.b) >= crops.size())
            break;
        namedPairs.push_back(PairKey{crops[std::size_t(pair.a)].cropId, crops[std::size_t(pair.b)].cropId});
    }
    return rig::matchPairLines(cameraIds, namedPairs, frameNames, temporalWindow);
}

}  // namespace tessaron::input
