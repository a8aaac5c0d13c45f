#pragma once

// A dataset on disk as the engine reads it, made from ground-truth Gaussians:
// photos rendered by the trainer's own renderer (lossless PNG), a PINHOLE
// COLMAP model of the cameras, and one SfM point per true Gaussian.

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include "colmap/COLMAPUtils.hpp"
#include "Trainer/Rasterizer.hpp"
#include "TrainerTestScenes.hpp"

namespace tessaron::testing {

// The unit quaternion (w, x, y, z) of a rotation matrix.
inline std::array<double, 4> quaternionOf(const trainer::Mat3& r) {
    double trace = r[0] + r[4] + r[8];
    if (trace > 0) {
        double s = std::sqrt(trace + 1.0) * 2;
        return {0.25 * s, (r[7] - r[5]) / s, (r[2] - r[6]) / s, (r[3] - r[1]) / s};
    }
    if (r[0] > r[4] && r[0] > r[8]) {
        double s = std::sqrt(1.0 + r[0] - r[4] - r[8]) * 2;
        return {(r[7] - r[5]) / s, 0.25 * s, (r[1] + r[3]) / s, (r[2] + r[6]) / s};
    }
    if (r[4] > r[8]) {
        double s = std::sqrt(1.0 + r[4] - r[0] - r[8]) * 2;
        return {(r[2] - r[6]) / s, (r[1] + r[3]) / s, 0.25 * s, (r[5] + r[7]) / s};
    }
    double s = std::sqrt(1.0 + r[8] - r[0] - r[4]) * 2;
    return {(r[3] - r[1]) / s, (r[2] + r[6]) / s, (r[5] + r[7]) / s, 0.25 * s};
}

inline void writeImage(const std::filesystem::path& file, const std::vector<float>& pixels, int width, int height) {
    cv::Mat bgr(height, width, CV_8UC3);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x)
            for (int c = 0; c < 3; ++c) {
                float value = pixels[(size_t(y) * width + x) * 3 + c];
                bgr.at<cv::Vec3b>(y, x)[2 - c] = uint8_t(std::lround(std::clamp(value, 0.0f, 1.0f) * 255));
            }
    std::filesystem::create_directories(file.parent_path());
    cv::imwrite(file.string(), bgr);
}

struct RenderedDataset {
    trainer::GaussianModel truth;
    std::vector<trainer::ViewCamera> cameras;
    std::vector<std::string> names;

    static std::string imageName(int index) {
        std::string number = std::to_string(index);
        return "view_" + std::string(3 - std::min<size_t>(3, number.size()), '0') + number + ".png";
    }

    static RenderedDataset write(const std::filesystem::path& folder, int views, int width, int height,
                                 size_t gaussians = 150) {
        RenderedDataset dataset;
        dataset.truth = groundTruth(gaussians, 5);
        core::ThreadPool pool(2);
        trainer::Rasterizer rasterizer(pool);
        colmap::CameraMap cameras;
        colmap::ImageMap images;
        for (int index = 0; index < views; ++index) {
            trainer::ViewCamera camera = arcCamera(index, views, width, height);
            std::vector<float> pixels;
            rasterizer.forward(dataset.truth, camera, 0, trainer::Vec3{0, 0, 0}, pixels);
            std::string name = imageName(index);
            writeImage(folder / "images" / name, pixels, width, height);
            dataset.cameras.push_back(camera);
            dataset.names.push_back(name);

            colmap::ImageModel image;
            image.imageId = index + 1;
            image.cameraId = 1;
            image.name = name;
            auto q = quaternionOf(camera.rotation);
            image.qw = q[0];
            image.qx = q[1];
            image.qy = q[2];
            image.qz = q[3];
            image.tx = camera.translation[0];
            image.ty = camera.translation[1];
            image.tz = camera.translation[2];
            images[image.imageId] = image;
        }
        const trainer::ViewCamera& first = dataset.cameras.front();
        cameras[1] = colmap::CameraModel{1, 1, uint64_t(width), uint64_t(height),
                                          {first.fx, first.fy, first.cx, first.cy}};
        colmap::Point3DMap points;
        for (size_t index = 0; index < dataset.truth.size(); ++index) {
            colmap::Point3DModel point;
            point.point3D_id = index + 1;
            const float* p = dataset.truth.at(trainer::GaussianModel::position, index);
            point.x = p[0];
            point.y = p[1];
            point.z = p[2];
            const float* dc = dataset.truth.at(trainer::GaussianModel::shDC, index);
            auto channel = [](float coefficient) {
                return uint8_t(std::lround(std::clamp(0.5f + 0.28209479f * coefficient, 0.0f, 1.0f) * 255));
            };
            point.r = channel(dc[0]);
            point.g = channel(dc[1]);
            point.b = channel(dc[2]);
            point.track = {{1, 0}};
            points.emplace(point.point3D_id, point);
        }
        std::filesystem::create_directories(folder / "sparse" / "0");
        colmap::COLMAPUtils::writeModel(cameras, images, points, folder / "sparse" / "0");
        return dataset;
    }
};

}  // namespace tessaron::testing
