#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>
#include <opencv2/core/matx.hpp>

#include "core/Error.hpp"

namespace tessaron::input {

// How the COLMAP runner sees a camera rig cut from one panorama or lens pair:
// camera count, reference camera, PINHOLE-style parameter text, the bytes of
// rig_config.json and the lines of match_pairs.txt.
class RigCropLayout {
public:
    // The rig description cannot be serialised (a number that JSON cannot hold).
    class RigConfigError : public core::Error {
    public:
        using Error::Error;
    };

    virtual ~RigCropLayout() = default;

    virtual std::int64_t cameraCount() const = 0;
    // "cam" + the first crop's id; the runner lists this folder for frame names.
    virtual std::string referenceCameraName() const = 0;
    // "%.4f,%.4f,%.1f,%.1f" of (f, f, c, c); every camera shares the first crop's.
    virtual std::string cameraParams(std::int64_t camera) const = 0;
    std::string cameraParams() const { return cameraParams(0); }
    virtual std::string rigConfigJSON() const = 0;
    // `temporalWindow` must be at least 1 when there are frames.
    virtual std::vector<std::string> matchPairLines(const std::vector<std::string>& frameNames,
                                                    int temporalWindow) const = 0;
    // The form the runner uses: a temporal window of 4.
    std::vector<std::string> matchPairLines(const std::vector<std::string>& frameNames) const {
        return matchPairLines(frameNames, 4);
    }
};

// An unordered camera pair, stored with a < b.
struct CameraPairKey {
    std::int64_t a = 0;
    std::int64_t b = 0;

    static CameraPairKey of(std::int64_t first, std::int64_t second) {
        return first < second ? CameraPairKey{first, second} : CameraPairKey{second, first};
    }
    friend auto operator<=>(const CameraPairKey&, const CameraPairKey&) = default;
};

namespace rig {

// The unit quaternion [w, x, y, z] of a rotation matrix, branch order and
// ties (>=) as COLMAP's rig description expects them.
std::vector<double> quaternionWXYZ(const cv::Matx33d& rotation);

// f and c of a square pinhole of `size` pixels and a full field of view.
double focalLength(double size, double fovDegrees);
std::string pinholeParamsText(double focal, double center);

// Temporal pairs per camera (every frame with the next `temporalWindow`
// frames), then for every camera pair and frame the same-frame pair and the
// two cross pairs with the next frame. Both lists hold camera ids, the
// number written after "cam".
std::vector<std::string> matchPairLines(const std::vector<std::int64_t>& cameraIds,
                                        const std::vector<CameraPairKey>& pairs,
                                        const std::vector<std::string>& frameNames, int temporalWindow);

// Pretty-printed JSON with sorted keys in the layout of the platform writer
// the rig files were first made with: two-space indent, "key" : value, one
// array element per line, "/" escaped as "\/", whole doubles without ".0".
// A non-finite number throws RigCropLayout::RigConfigError.
std::string prettyJSON(const nlohmann::json& document);

}  // namespace rig

}  // namespace tessaron::input
