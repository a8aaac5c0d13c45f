#include "Trainer/TrainingDataset.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <new>

#include <opencv2/calib3d.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "core/AtomicFile.hpp"
#include "core/NumberText.hpp"
#include "core/RegularFile.hpp"
#include "core/TextDecoding.hpp"
#include "Trainer/ImageHeader.hpp"

namespace tessaron::trainer {

namespace fs = std::filesystem;

namespace {

enum CameraModelId { simplePinhole = 0, pinhole = 1, simpleRadial = 2, radial = 3, opencv = 4, fullOpencv = 6 };

// The largest photo the engine takes: OpenCV's own bounds for a decoded image.
constexpr uint64_t largestSide = uint64_t(1) << 20;
constexpr uint64_t largestPixels = uint64_t(1) << 30;

struct Intrinsics {
    double fx, fy, cx, cy;
    std::vector<double> distortion;  // OpenCV order k1 k2 p1 p2 [k3 k4 k5 k6]; empty: none
};

Intrinsics intrinsicsOf(const colmap::CameraModel& camera) {
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
void checkMemoryForDecoding(uint64_t width, uint64_t height) {
    const size_t bytes = size_t(std::max<uint64_t>(width, 1)) * size_t(std::max<uint64_t>(height, 1)) * 3 * 2;
    // Held in a volatile so that the compiler keeps the allocation.
    void* volatile probe = ::operator new(std::min<size_t>(bytes, size_t(1) << 32));
    ::operator delete(probe);
}

// Paths and names as bytes reach the file system unchanged; in messages they
// are shown as text.
std::string shown(const fs::path& path) { return core::decodeUTF8Lossy(path.string()); }

std::string sizeText(uint64_t width, uint64_t height) {
    return std::to_string(width) + " × " + std::to_string(height);
}

// An encoded file: only regular files are opened (a FIFO would block the
// engine for good), and a file larger than any photo of `pixels` pixels can
// be is refused before it is read.
std::vector<uint8_t> readEncoded(const fs::path& path, const std::string& what, uint64_t pixels) {
    // Eight bytes a pixel hold 16-bit RGBA uncompressed; metadata comes on top.
    const uint64_t largest = pixels * 8 + (uint64_t(64) << 20);
    try {
        return core::readWholeFileBytes(path, largest);
    } catch (const core::Error& error) {
        // "Could not read <path>: <reason>".
        throw TrainingDataset::LoadError(core::decodeUTF8Lossy(error.what()) + " (" + what + ")");
    }
}

// The stored size the header of an encoded photo or mask announces.
ImageHeader headerOf(const std::vector<uint8_t>& bytes, const fs::path& path, const std::string& what) {
    std::optional<ImageHeader> header = ImageHeader::read(bytes);
    if (!header)
        throw TrainingDataset::LoadError(what + " " + shown(path) +
                                         " is not a JPEG, PNG, TIFF or BMP file whose header gives its size");
    return *header;
}

// Decodes at the size the header announced; the orientation tag is not
// applied, since COLMAP measured the photo as stored.
cv::Mat decode(const std::vector<uint8_t>& bytes, const ImageHeader& header, int flags, const fs::path& path,
               const std::string& what) {
    cv::Mat decoded = cv::imdecode(cv::Mat(1, int(bytes.size()), CV_8U, const_cast<uint8_t*>(bytes.data())),
                                   flags | cv::IMREAD_IGNORE_ORIENTATION);
    if (decoded.empty()) {
        checkMemoryForDecoding(header.width, header.height);
        throw TrainingDataset::LoadError("could not decode " + what + " " + shown(path));
    }
    if (uint64_t(decoded.cols) != header.width || uint64_t(decoded.rows) != header.height)
        throw TrainingDataset::LoadError(what + " " + shown(path) + " decoded at " +
                                         sizeText(uint64_t(decoded.cols), uint64_t(decoded.rows)) +
                                         " pixels, its header says " + sizeText(header.width, header.height));
    return decoded;
}

// Finite in double, a pose can still overflow the floats the renderer uses.
bool isFinite(const ViewCamera& view) {
    auto finite = [](float value) { return std::isfinite(value); };
    return finite(view.fx) && finite(view.fy) && finite(view.cx) && finite(view.cy) &&
           std::all_of(view.rotation.begin(), view.rotation.end(), finite) &&
           std::all_of(view.translation.begin(), view.translation.end(), finite);
}

// Whether `stored` is `full` divided by `factor`, rounded either way.
bool downscaledSide(uint64_t stored, uint64_t full, int factor) {
    const uint64_t f = uint64_t(factor);
    return stored == std::max<uint64_t>(1, full / f) || stored == (full + f - 1) / f;
}

TrainingImage loadImage(const colmap::ImageModel& image, const colmap::CameraModel& camera,
                        const TrainingDataset::Options& options) {
    const fs::path path = options.imagesFolder / image.name;
    const int factor = std::max(1, options.downscale);
    // The photo is at its camera's size, or already at the training size.
    const uint64_t scaledWidth = std::max<uint64_t>(1, camera.width / uint64_t(factor));
    const uint64_t scaledHeight = std::max<uint64_t>(1, camera.height / uint64_t(factor));
    std::vector<uint8_t> bytes = readEncoded(path, "image", camera.width * camera.height);
    const ImageHeader header = headerOf(bytes, path, "image");
    const bool atCameraSize = header.width == camera.width && header.height == camera.height;
    const bool atTrainingSize = factor > 1 && downscaledSide(header.width, camera.width, factor) &&
                                downscaledSide(header.height, camera.height, factor);
    if (!atCameraSize && !atTrainingSize) {
        std::string expected = sizeText(camera.width, camera.height);
        if (factor > 1)
            expected += " or, downscaled " + std::to_string(factor) + "×, " + sizeText(scaledWidth, scaledHeight);
        throw TrainingDataset::LoadError("image " + shown(path) + " is " + sizeText(header.width, header.height) +
                                         " pixels, but its camera " + std::to_string(camera.cameraId) + " is " +
                                         expected);
    }
    cv::Mat bgr = decode(bytes, header, cv::IMREAD_COLOR, path, "image");
    bytes = {};

    Intrinsics k = intrinsicsOf(camera);
    // A photo stored at the training size: scale the intrinsics to it.
    if (!atCameraSize) {
        double sx = double(bgr.cols) / double(camera.width), sy = double(bgr.rows) / double(camera.height);
        k.fx *= sx;
        k.cx *= sx;
        k.fy *= sy;
        k.cy *= sy;
    }
    if (distorted(k)) bgr = undistort(bgr, k);

    const int fullWidth = bgr.cols, fullHeight = bgr.rows;
    const int width = atCameraSize ? int(scaledWidth) : fullWidth;
    const int height = atCameraSize ? int(scaledHeight) : fullHeight;
    if (width != fullWidth || height != fullHeight) {
        cv::Mat small;
        cv::resize(bgr, small, cv::Size(width, height), 0, 0, cv::INTER_AREA);
        bgr = small;
    }

    TrainingImage result;
    result.name = image.name;
    // What is left is a pinhole camera at the photo's full size.
    colmap::CameraModel undistorted;
    undistorted.cameraId = camera.cameraId;
    undistorted.modelId = pinhole;
    undistorted.width = uint64_t(fullWidth);
    undistorted.height = uint64_t(fullHeight);
    undistorted.params = {k.fx, k.fy, k.cx, k.cy};
    result.camera = TrainingDataset::cameraOf(undistorted, image, width, height, options);
    if (!isFinite(result.camera))
        throw TrainingDataset::LoadError("image " + core::decodeUTF8Lossy(image.name) +
                                         " has a pose or camera beyond the range the engine computes in");

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
        // A photo without a mask keeps every pixel; anything else there must
        // be a regular file.
        if (core::RegularFile::openForReading(maskPath).error() != std::errc::no_such_file_or_directory) {
            std::vector<uint8_t> maskBytes = readEncoded(maskPath, "mask", uint64_t(fullWidth) * uint64_t(fullHeight));
            const ImageHeader maskHeader = headerOf(maskBytes, maskPath, "mask");
            if (maskHeader.width > uint64_t(fullWidth) || maskHeader.height > uint64_t(fullHeight))
                throw TrainingDataset::LoadError("mask " + shown(maskPath) + " is " +
                                                 sizeText(maskHeader.width, maskHeader.height) +
                                                 " pixels, larger than its photo (" +
                                                 sizeText(uint64_t(fullWidth), uint64_t(fullHeight)) + ")");
            cv::Mat mask = decode(maskBytes, maskHeader, cv::IMREAD_GRAYSCALE, maskPath, "mask");
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

void TrainingDataset::checkCamera(const colmap::CameraModel& camera) {
    const std::string name = "camera " + std::to_string(camera.cameraId);
    if (camera.width < 1 || camera.height < 1 || camera.width > largestSide || camera.height > largestSide ||
        camera.width * camera.height > largestPixels)
        throw LoadError(name + " is " + sizeText(camera.width, camera.height) +
                        " pixels: a camera needs a width and a height of 1 to " + std::to_string(largestSide) +
                        ", and at most " + std::to_string(largestPixels) + " pixels");
    for (size_t index = 0; index < camera.params.size(); ++index)
        if (!std::isfinite(camera.params[index]))
            throw LoadError(name + " has parameter " + std::to_string(index + 1) + " of " +
                            std::to_string(camera.params.size()) + " = " + core::shortestText(camera.params[index]) +
                            ", not a finite number");
    // Every COLMAP model begins with its focal length: one (f) or two (fx, fy).
    static constexpr std::array<size_t, 11> focalLengths = {1, 2, 1, 1, 2, 2, 2, 2, 1, 1, 2};
    const size_t focalCount = camera.modelId >= 0 && size_t(camera.modelId) < focalLengths.size()
                                  ? focalLengths[size_t(camera.modelId)]
                                  : 0;
    for (size_t index = 0; index < std::min(focalCount, camera.params.size()); ++index)
        if (!(camera.params[index] > 0))
            throw LoadError(name + " has a focal length of " + core::shortestText(camera.params[index]) +
                            ", not a positive number");
}

void TrainingDataset::checkPose(const colmap::ImageModel& image) {
    const std::array<double, 7> pose = {image.qw, image.qx, image.qy, image.qz, image.tx, image.ty, image.tz};
    const std::string name = "image " + core::decodeUTF8Lossy(image.name);
    if (!std::all_of(pose.begin(), pose.end(), [](double value) { return std::isfinite(value); })) {
        std::string values;
        for (double value : pose) values += (values.empty() ? "" : " ") + core::shortestText(value);
        throw LoadError(name + " has a pose that is not finite (qw qx qy qz tx ty tz: " + values + ")");
    }
    const double norm =
        std::sqrt(image.qw * image.qw + image.qx * image.qx + image.qy * image.qy + image.qz * image.qz);
    if (!(norm > 0) || !std::isfinite(norm))
        throw LoadError(name + " has a rotation quaternion of no usable length");
}

ViewCamera TrainingDataset::cameraOf(const colmap::CameraModel& camera, const colmap::ImageModel& image, int width,
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

TrainingDataset TrainingDataset::load(const colmap::COLMAPModel& model, const Options& options) {
    std::vector<const colmap::ImageModel*> images;
    for (const auto& [id, image] : model.images) images.push_back(&image);
    std::sort(images.begin(), images.end(), [](const auto* a, const auto* b) { return a->name < b->name; });

    TrainingDataset dataset;
    Vec3 mean{0, 0, 0};
    std::vector<Vec3> centres;
    for (size_t index = 0; index < images.size(); ++index) {
        const colmap::ImageModel& image = *images[index];
        // A name such as "../../secret.jpg" would read a file outside the dataset.
        if (auto outside = colmap::COLMAPUtils::imageNameOutsideFolder(image.name)) throw LoadError(*outside);
        auto camera = model.cameras.find(image.cameraId);
        if (camera == model.cameras.end())
            throw LoadError("image " + core::decodeUTF8Lossy(image.name) + " refers to camera " +
                            std::to_string(image.cameraId) + ", which cameras.bin does not hold");
        checkCamera(camera->second);
        checkPose(image);
        TrainingImage loaded;
        try {
            loaded = loadImage(image, camera->second, options);
        } catch (const cv::Exception& failure) {
            // OpenCV reports memory it cannot allocate as its own error.
            if (failure.code == cv::Error::StsNoMem) throw std::bad_alloc();
            throw LoadError("could not load image " + core::decodeUTF8Lossy(image.name) + ": " + failure.what());
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
