#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/Error.hpp"
#include "colmap/COLMAPUtils.hpp"
#include "Trainer/SmallMatrix.hpp"
#include "Trainer/ViewCamera.hpp"

namespace tessaron::trainer {

// One photo with its camera, ready to train against: undistorted, scaled to
// the training size, colours as decoded (r, g, b bytes per pixel, row by
// row: a quarter of what floats would hold for every photo of a cell), and
// the mask (0 = leave the pixel out) when the photo has one.
struct TrainingImage {
    std::string name;
    ViewCamera camera;
    std::vector<uint8_t> pixels;
    std::vector<uint8_t> mask;  // empty: every pixel counts

    // The colours as floats in [0, 1], into `out` (resized).
    void colours(std::vector<float>& out) const;
    // Values [begin, end) of the colours as floats, into out[begin, end).
    void colours(float* out, size_t begin, size_t end) const;
    // Sets the colours from floats in [0, 1] (clamped, rounded to bytes).
    void setColours(const std::vector<float>& colours);
};

// The photos of a COLMAP dataset (<dataset>/sparse/0 and <dataset>/images)
// in the frame the engine trains in: world positions p become
// (p − translation) · scale.
class TrainingDataset {
public:
    class LoadError : public core::Error {
    public:
        using core::Error::Error;
    };

    struct Options {
        std::filesystem::path imagesFolder;
        int downscale = 1;
        std::optional<std::filesystem::path> maskFolder;
        // Hold out every eighth photo (by name) for evaluation.
        bool holdOut = false;
        Vec3 frameTranslation{0, 0, 0};
        float frameScale = 1;
    };

    static constexpr size_t holdOutEvery = 8;

    // Throws LoadError for an image name that leaves the images folder
    // (COLMAPUtils::imageNameOutsideFolder), a camera it cannot use
    // (checkCamera, or a model it cannot undistort), a pose checkPose
    // refuses, an image that is missing, not a regular file, of another size
    // than its camera (or the camera's downscaled size) or that cannot be
    // decoded, or a mask of the wrong kind; throws std::bad_alloc when the
    // photos do not fit in memory.
    static TrainingDataset load(const colmap::COLMAPModel& model, const Options& options);

    // Checked once when a model is read, so that a broken camera fails the
    // run instead of rendering nothing. Throws LoadError naming the camera
    // when its size is not from 1 to 2^20 a side (2^30 pixels at most), a
    // parameter is not finite, or a focal length is not positive.
    static void checkCamera(const colmap::CameraModel& camera);
    // Throws LoadError naming the image when its pose holds a value that is
    // not finite, or its quaternion has no usable length.
    static void checkPose(const colmap::ImageModel& image);

    // The camera of a COLMAP image in the training frame, at the given image
    // size (intrinsics scaled from the camera's own size). Throws LoadError
    // for a camera model other than the pinhole and radial ones.
    static ViewCamera cameraOf(const colmap::CameraModel& camera, const colmap::ImageModel& image, int width,
                               int height, const Options& options);

    std::vector<TrainingImage> training;
    std::vector<TrainingImage> evaluation;
    // 1.1 × the largest distance of a camera centre from their mean: the
    // scene's size for learning rates and densification.
    float extent = 1;
};

}  // namespace tessaron::trainer
