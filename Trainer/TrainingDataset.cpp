#include "Trainer/TrainingDataset.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <new>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

namespace tessaron::trainer {

namespace fs = std::filesystem;

namespace {

enum CameraModelId { simplePinhole = 0, pinhole = 1, simpleRadial = 2, radial = 3, opencv = 4, fullOpencv = 6 };

struct Intrinsics {
    double fx, fy, cx, cy;
    std::vector<double> distortion;  // OpenCV order k1 k2 p1 p2 [k3 k4 k5 k6]; empty: none
};

Intrinsics intrinsicsOf(const engines::CameraModel& camera) {
    const auto& p = camera.params;
    auto need = [&](size_t count) {
        if (p.size() < count)
            throw TrainingDataset::LoadError("camera " + std::to_string(camera.cameraId) + " has " +
                                             std::to_string(p.size()) + " parameters, its model needs " +
                                             std::to_string(count));
    };
    switch (camera.modelId) {
        case simplePinhole: need(3); return {p[0], p[0], p[1], p[2], {}};
        case pinhole: need(4); return {p[0], p[1], p[2], p[3], {}};
        case simpleRadial: need(4); return {p[0], p[0], p[1], p[2], {p[3], 0, 0, 0}};
        case radial: need(5); return {p[0], p[0], p[1], p[2], {p[3], p[4], 0, 0}};
        case opencv: need(8); return {p[0], p[1], p[2], p[3], {p[4], p[5], p[6], p[7]}};
        case fullOpencv:
            need(12);
            return {p[0], p[1], p[2], p[3], {p[4], p[5], p[6], p[7], p[8], p[9], p[10], p[11]}};
        default:
            throw TrainingDataset::LoadError("camera " + std::to_string(camera.cameraId) + " uses camera model " +
                                             std::to_string(camera.modelId) +
                                             ", which the engine cannot undistort (it takes pinhole, radial and "
                                             "OpenCV models; undistort the images with COLMAP first)");
    }
}

bool distorted(const Intrinsics& intrinsics) {
    return std::any_of(intrinsics.distortion.begin(), intrinsics.distortion.end(), [](double k) { return k != 0; });
}

// Removes the lens distortion, keeping the focal length and principal point.
cv::Mat undistort(const cv::Mat& image, const Intrinsics& k) {
    // OpenCV puts pixel centres on whole numbers, COLMAP half a pixel further.
    cv::Mat matrix = (cv::Mat_<double>(3, 3) << k.fx, 0, k.cx - 0.5, 0, k.fy, k.cy - 0.5, 0, 0, 1);
    cv::Mat result;
    cv::undistort(image, result, matrix, cv::Mat(k.distortion, true));
    return result;
}

// A decoder that ran out of memory says no more than one that met a broken
// file. When the memory for the decoded picture cannot be had either, memory
// is the cause: throws std::bad_alloc then. The probe asks for the picture
// twice over, so that the buffer the failed decoder gave back cannot serve it.
void checkMemoryForDecoding(const engines::CameraModel& camera) {
    const size_t bytes =
        size_t(std::max<uint64_t>(camera.width, 1)) * size_t(std::max<uint64_t>(camera.height, 1)) * 3 * 2;
    // Held in a volatile so that the compiler keeps the allocation.
    void* volatile probe = ::operator new(std::min<size_t>(bytes, size_t(1) << 32));
    ::operator delete(probe);
}

TrainingImage loadImage(const engines::ImageModel& image, const engines::CameraModel& camera,
                        const TrainingDataset::Options& options) {
    const fs::path path = options.imagesFolder / image.name;
    std::error_code error;
    if (!fs::exists(path, error)) throw TrainingDataset::LoadError("image not found: " + path.string());
    cv::Mat bgr = cv::imread(path.string(), cv::IMREAD_COLOR);
    if (bgr.empty()) {
        checkMemoryForDecoding(camera);
        throw TrainingDataset::LoadError("could not decode image " + path.string());
    }

    Intrinsics k = intrinsicsOf(camera);
    // Photos stored at another size than the camera's: scale the intrinsics.
    if (camera.width > 0 && camera.height > 0 &&
        (uint64_t(bgr.cols) != camera.width || uint64_t(bgr.rows) != camera.height)) {
        double sx = double(bgr.cols) / double(camera.width), sy = double(bgr.rows) / double(camera.height);
        k.fx *= sx;
        k.cx *= sx;
        k.fy *= sy;
        k.cy *= sy;
    }
    if (distorted(k)) bgr = undistort(bgr, k);

    const int fullWidth = bgr.cols, fullHeight = bgr.rows;
    const int width = std::max(1, fullWidth / options.downscale), height = std::max(1, fullHeight / options.downscale);
    if (width != fullWidth || height != fullHeight) {
        cv::Mat small;
        cv::resize(bgr, small, cv::Size(width, height), 0, 0, cv::INTER_AREA);
        bgr = small;
    }

    TrainingImage result;
    result.name = image.name;
    // What is left is a pinhole camera at the photo's full size.
    engines::CameraModel undistorted;
    undistorted.cameraId = camera.cameraId;
    undistorted.modelId = pinhole;
    undistorted.width = uint64_t(fullWidth);
    undistorted.height = uint64_t(fullHeight);
    undistorted.params = {k.fx, k.fy, k.cx, k.cy};
    result.camera = TrainingDataset::cameraOf(undistorted, image, width, height, options);

    result.pixels.resize(size_t(width) * size_t(height) * 3);
    for (int y = 0; y < height; ++y) {
        const uint8_t* row = bgr.ptr<uint8_t>(y);
        uint8_t* out = result.pixels.data() + size_t(y) * size_t(width) * 3;
        for (int x = 0; x < width; ++x) {
            out[x * 3] = row[x * 3 + 2];
            out[x * 3 + 1] = row[x * 3 + 1];
            out[x * 3 + 2] = row[x * 3];
        }
    }

    if (options.maskFolder) {
        const fs::path maskPath = *options.maskFolder / (image.name + ".png");
        if (fs::exists(maskPath, error)) {
            cv::Mat mask = cv::imread(maskPath.string(), cv::IMREAD_GRAYSCALE);
            if (mask.empty()) {
                checkMemoryForDecoding(camera);
                throw TrainingDataset::LoadError("could not decode mask " + maskPath.string());
            }
            if (mask.cols != width || mask.rows != height) {
                cv::Mat resized;
                cv::resize(mask, resized, cv::Size(width, height), 0, 0, cv::INTER_NEAREST);
                mask = resized;
            }
            result.mask.resize(size_t(width) * size_t(height));
            for (int y = 0; y < height; ++y) {
                const uint8_t* row = mask.ptr<uint8_t>(y);
                for (int x = 0; x < width; ++x) result.mask[size_t(y) * size_t(width) + size_t(x)] = row[x] >= 128;
            }
        }
    }
    return result;
}

}  // namespace

ViewCamera TrainingDataset::cameraOf(const engines::CameraModel& camera, const engines::ImageModel& image, int width,
                                     int height, const Options& options) {
    Intrinsics k = intrinsicsOf(camera);
    ViewCamera view;
    view.width = width;
    view.height = height;
    const double sx = camera.width > 0 ? double(width) / double(camera.width) : 1.0;
    const double sy = camera.height > 0 ? double(height) / double(camera.height) : 1.0;
    view.fx = float(k.fx * sx);
    view.fy = float(k.fy * sy);
    view.cx = float(k.cx * sx);
    view.cy = float(k.cy * sy);
    double n = std::sqrt(image.qw * image.qw + image.qx * image.qx + image.qy * image.qy + image.qz * image.qz);
    if (!(n > 0)) n = 1;
    view.rotation = rotationOf(float(image.qw / n), float(image.qx / n), float(image.qy / n), float(image.qz / n));
    // x_cam = R p + t with p = p'/s + c  ⇒  s · x_cam = R p' + s (R c + t).
    Vec3 rc = multiply(view.rotation, options.frameTranslation);
    view.translation = {options.frameScale * (rc[0] + float(image.tx)), options.frameScale * (rc[1] + float(image.ty)),
                        options.frameScale * (rc[2] + float(image.tz))};
    return view;
}

TrainingDataset TrainingDataset::load(const engines::COLMAPModel& model, const Options& options) {
    std::vector<const engines::ImageModel*> images;
    for (const auto& [id, image] : model.images) images.push_back(&image);
    std::sort(images.begin(), images.end(), [](const auto* a, const auto* b) { return a->name < b->name; });

    TrainingDataset dataset;
    Vec3 mean{0, 0, 0};
    std::vector<Vec3> centres;
    for (size_t index = 0; index < images.size(); ++index) {
        const engines::ImageModel& image = *images[index];
        auto camera = model.cameras.find(image.cameraId);
        if (camera == model.cameras.end())
            throw LoadError("image " + image.name + " refers to camera " + std::to_string(image.cameraId) +
                            ", which cameras.bin does not hold");
        TrainingImage loaded;
        try {
            loaded = loadImage(image, camera->second, options);
        } catch (const cv::Exception& failure) {
            // OpenCV reports memory it cannot allocate as its own error.
            if (failure.code == cv::Error::StsNoMem) throw std::bad_alloc();
            throw LoadError("could not load image " + image.name + ": " + failure.what());
        }
        centres.push_back(loaded.camera.centre());
        mean = mean + loaded.camera.centre();
        bool heldOut = options.holdOut && index % holdOutEvery == 0;
        (heldOut ? dataset.evaluation : dataset.training).push_back(std::move(loaded));
    }
    if (dataset.training.empty()) throw LoadError("the dataset has no images to train on");
    mean = (1.0f / float(centres.size())) * mean;
    float largest = 0;
    for (const Vec3& centre : centres) largest = std::max(largest, length(centre - mean));
    dataset.extent = largest > 0 ? 1.1f * largest : 1.0f;
    return dataset;
}

void TrainingImage::colours(std::vector<float>& out) const {
    out.resize(pixels.size());
    colours(out.data(), 0, pixels.size());
}

void TrainingImage::colours(float* out, size_t begin, size_t end) const {
    static const std::array<float, 256> table = [] {
        std::array<float, 256> values{};
        for (size_t i = 0; i < values.size(); ++i) values[i] = float(i) / 255.0f;
        return values;
    }();
    for (size_t i = begin; i < end; ++i) out[i] = table[pixels[i]];
}

void TrainingImage::setColours(const std::vector<float>& colours) {
    pixels.resize(colours.size());
    for (size_t i = 0; i < colours.size(); ++i)
        pixels[i] = uint8_t(std::lround(std::clamp(colours[i], 0.0f, 1.0f) * 255.0f));
}

}  // namespace tessaron::trainer
